// The device side of the framework below the Plug and Play manager: what WdfDeviceCreate builds in WDM, what
// the device-init calls accept, the capabilities a driver reports over its bus's answer, names and
// interfaces over the device's life, the static stop/remove hold, system power turned into device power,
// and a removed device whose cleanup waits for the last reference to its device object.
#include "tests/wdf/device_fixture.h"
#include "tests/wdf/framework_test.h"

#include <cstring>
#include <optional>
#include <ostream>

namespace {

using zv::test::deviceHooks;
using zv::test::FrameworkDeviceTest;
using zv::test::UString;
using Events = std::vector<std::string>;

std::u16string text(WDFSTRING string) {
    UNICODE_STRING s;
    WdfStringGetUnicodeString(string, &s);
    return zv::test::text(s);
}

TEST_F(FrameworkDeviceTest, CreateBuildsTheWdmDeviceAboveThePhysicalDevice) {
    run([&] {
        deviceHooks().configure = [&](PWDFDEVICE_INIT init) {
            EXPECT_EQ(WdfFdoInitWdmGetPhysicalDevice(init), pdo());
            WdfDeviceInitSetDeviceType(init, FILE_DEVICE_BUS_EXTENDER);
            WdfDeviceInitSetCharacteristics(init, FILE_REMOVABLE_MEDIA, TRUE);
            UString name(u"\\Device\\ZvDeviceTest0");
            UString sddl(u"D:P(A;;GA;;;SY)(A;;GRGW;;;BA)");
            EXPECT_EQ(WdfDeviceInitAssignName(init, name), STATUS_SUCCESS);
            EXPECT_EQ(WdfDeviceInitAssignSDDLString(init, sddl), STATUS_SUCCESS);
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(add(), STATUS_SUCCESS);
        PDEVICE_OBJECT fdo = WdfDeviceWdmGetDeviceObject(device());
        ASSERT_NE(fdo, nullptr);
        EXPECT_EQ(fdo->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
        EXPECT_EQ(fdo->Characteristics, ULONG(FILE_DEVICE_SECURE_OPEN | FILE_REMOVABLE_MEDIA));
        EXPECT_EQ(zv::kernel::deviceObjectName(fdo), u"\\Device\\ZvDeviceTest0");
        EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u) << "device add is over";
        // Attached above the PDO: one more stack location than the PDO needs.
        EXPECT_EQ(WdfDeviceWdmGetAttachedDevice(device()), pdo());
        EXPECT_EQ(WdfDeviceWdmGetPhysicalDevice(device()), pdo());
        EXPECT_EQ(pdo()->AttachedDevice, fdo);
        EXPECT_EQ(fdo->StackSize, pdo()->StackSize + 1);
        // Every major function of the driver object goes to the framework.
        PDRIVER_DISPATCH framework = fdo->DriverObject->MajorFunction[IRP_MJ_PNP];
        ASSERT_NE(framework, nullptr);
        for (PDRIVER_DISPATCH entry : fdo->DriverObject->MajorFunction)
            EXPECT_EQ(entry, framework);
        EXPECT_EQ(zv::wdf::Device::fromDeviceObject(fdo), &deviceOf(device()));

        WDFSTRING name = nullptr;
        ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &name), STATUS_SUCCESS);
        EXPECT_EQ(WdfDeviceRetrieveDeviceName(device(), name), STATUS_SUCCESS);
        EXPECT_EQ(text(name), u"\\Device\\ZvDeviceTest0");
        WdfObjectDelete(name);
        EXPECT_EQ(deviceOf(device()).settings().sddl, u"D:P(A;;GA;;;SY)(A;;GRGW;;;BA)");
    });
}

struct InitCase {
    const char* name;
    // A call the device-init record must refuse; returns its status (STATUS_SUCCESS for VOID calls).
    std::function<NTSTATUS(PWDFDEVICE_INIT)> call;
    NTSTATUS status;
};

void PrintTo(const InitCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceInitRefusalTest : public FrameworkDeviceTest, public ::testing::WithParamInterface<InitCase> {};

// Each malformed call is reported and changes nothing: the device is made from the settings as before.
TEST_P(DeviceInitRefusalTest, IsReportedAndChangesNothing) {
    const InitCase& c = GetParam();
    run([&] {
        deviceHooks().configure = [&](PWDFDEVICE_INIT init) {
            EXPECT_EQ(c.call(init), c.status);
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(add(), STATUS_SUCCESS);
        const zv::wdf::DeviceSettings& settings = deviceOf(device()).settings();
        EXPECT_NE(settings.pnpPower.EvtDeviceD0Entry, nullptr) << "the fixture's callbacks are kept";
        EXPECT_FALSE(settings.name.has_value());
        EXPECT_FALSE(settings.sddl.has_value());
        EXPECT_FALSE(settings.defaultChildList.has_value());
    });
    expectViolation(zv::wdf::rule::kBadParameter);
}

NTSTATUS EvtCreateChild(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER, PWDFDEVICE_INIT) {
    return STATUS_SUCCESS;
}

NTSTATUS childListWith(PWDFDEVICE_INIT init, const std::function<void(WDF_CHILD_LIST_CONFIG&)>& tweak) {
    WDF_CHILD_LIST_CONFIG config;
    WDF_CHILD_LIST_CONFIG_INIT(&config, 16, EvtCreateChild);
    tweak(config);
    WdfFdoInitSetDefaultChildListConfig(init, &config, WDF_NO_OBJECT_ATTRIBUTES);
    return STATUS_SUCCESS;
}

INSTANTIATE_TEST_SUITE_P(
    Calls, DeviceInitRefusalTest,
    ::testing::Values(
        InitCase{"CallbacksNotInitialised",
                 [](PWDFDEVICE_INIT init) {
                     WDF_PNPPOWER_EVENT_CALLBACKS callbacks{};
                     WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
                     return STATUS_SUCCESS;
                 },
                 STATUS_SUCCESS},
        InitCase{"EmptyName",
                 [](PWDFDEVICE_INIT init) {
                     UString name(u"");
                     return WdfDeviceInitAssignName(init, name);
                 },
                 STATUS_INVALID_PARAMETER},
        InitCase{"MalformedName",
                 [](PWDFDEVICE_INIT init) {
                     UString name(u"\\Device\\X");
                     name.get()->Length = 3; // half a character
                     return WdfDeviceInitAssignName(init, name);
                 },
                 STATUS_INVALID_PARAMETER},
        InitCase{"SddlWithoutDacl",
                 [](PWDFDEVICE_INIT init) {
                     UString sddl(u"O:BAG:SY");
                     return WdfDeviceInitAssignSDDLString(init, sddl);
                 },
                 STATUS_INVALID_PARAMETER},
        InitCase{"NoSddl", [](PWDFDEVICE_INIT init) { return WdfDeviceInitAssignSDDLString(init, nullptr); },
                 STATUS_INVALID_PARAMETER},
        InitCase{"ChildListNotInitialised",
                 [](PWDFDEVICE_INIT init) {
                     return childListWith(init, [](WDF_CHILD_LIST_CONFIG& c) { c.Size = 0; });
                 },
                 STATUS_SUCCESS},
        InitCase{"ChildListWithoutCreateCallback",
                 [](PWDFDEVICE_INIT init) {
                     return childListWith(
                         init, [](WDF_CHILD_LIST_CONFIG& c) { c.EvtChildListCreateDevice = nullptr; });
                 },
                 STATUS_SUCCESS},
        InitCase{"IdentificationSmallerThanItsHeader",
                 [](PWDFDEVICE_INIT init) {
                     return childListWith(
                         init, [](WDF_CHILD_LIST_CONFIG& c) { c.IdentificationDescriptionSize = 2; });
                 },
                 STATUS_SUCCESS}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameworkDeviceTest, ChildListConfigAndItsAttributesAreKept) {
    run([&] {
        WDF_CHILD_LIST_CONFIG config;
        deviceHooks().configure = [&](PWDFDEVICE_INIT init) {
            WDF_CHILD_LIST_CONFIG_INIT(&config, 24, EvtCreateChild);
            WDF_OBJECT_ATTRIBUTES attributes;
            WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
            attributes.SynchronizationScope = WdfSynchronizationScopeNone;
            WdfFdoInitSetDefaultChildListConfig(init, &config, &attributes);
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(add(), STATUS_SUCCESS);
        const auto& list = deviceOf(device()).settings().defaultChildList;
        ASSERT_TRUE(list.has_value());
        EXPECT_EQ(std::memcmp(&list->config, &config, sizeof config), 0);
        ASSERT_TRUE(list->attributes.has_value());
        EXPECT_EQ(list->attributes->SynchronizationScope, WdfSynchronizationScopeNone);
    });
}

// A child's record is not a function driver's: the WdfFdoInit* calls refuse it, and it is not its own
// power policy owner.
TEST_F(FrameworkDeviceTest, FdoCallsRefuseAChildsRecord) {
    run([&] {
        zv::wdf::DeviceInstance instance{u"ZV\\CHILD\\1", u"{4d36e97d-e325-11ce-bfc1-08002be10318}", 1};
        zv::wdf::DeviceInit init(driver(), instance, zv::wdf::DeviceInit::Kind::Pdo);
        EXPECT_FALSE(init.settings().powerPolicyOwner);
        EXPECT_EQ(WdfFdoInitWdmGetPhysicalDevice(init.handle()), nullptr);
        EXPECT_EQ(childListWith(init.handle(), [](WDF_CHILD_LIST_CONFIG&) {}), STATUS_SUCCESS);
        EXPECT_FALSE(init.settings().defaultChildList.has_value());
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 2u);
}

} // namespace
