// A framework device over its life: names and interfaces from creation to removal, the static stop/remove
// hold, system power turned into device power by the power policy owner, a failing device add, and the
// cleanup of a removed device waiting for the last reference to its device object.
#include "tests/wdf/device_fixture.h"
#include "tests/wdf/framework_test.h"

#include "platform/kernel/object_namespace.h"

#include <algorithm>
#include <ostream>

namespace {

using zv::test::deviceHooks;
using zv::test::FrameworkDeviceTest;
using zv::test::UString;
using Events = std::vector<std::string>;

const GUID kInterface = {0x1b2c3d4e, 0x5f60, 0x4172, {0x83, 0x94, 0xa5, 0xb6, 0xc7, 0xd8, 0xe9, 0xfa}};

std::optional<zv::kernel::DeviceInterfaceInfo> interfaceOf(std::u16string_view reference) {
    for (const auto& i : zv::kernel::deviceInterfaces(&kInterface))
        if (i.referenceString == reference)
            return i;
    return std::nullopt;
}

bool linkExists(std::u16string_view name) {
    auto links = zv::kernel::symbolicLinks();
    return std::any_of(links.begin(), links.end(), [&](const auto& l) { return l.name == name; });
}

TEST_F(FrameworkDeviceTest, LinksAndInterfacesFollowTheDevice) {
    run([&] {
        deviceHooks().configure = [](PWDFDEVICE_INIT init) {
            UString name(u"\\Device\\ZvLinked");
            return WdfDeviceInitAssignName(init, name);
        };
        deviceHooks().created = [](WDFDEVICE device) {
            UString link(u"\\DosDevices\\ZvLinked");
            UString reference(u"port");
            NTSTATUS status = WdfDeviceCreateSymbolicLink(device, link);
            if (NT_SUCCESS(status))
                status = WdfDeviceCreateDeviceInterface(device, &kInterface, nullptr);
            if (NT_SUCCESS(status))
                status = WdfDeviceCreateDeviceInterface(device, &kInterface, reference);
            return status;
        };
        ASSERT_EQ(add(), STATUS_SUCCESS);
        EXPECT_TRUE(linkExists(u"\\GLOBAL??\\ZvLinked"));
        ASSERT_TRUE(interfaceOf(u"").has_value());
        ASSERT_TRUE(interfaceOf(u"port").has_value());
        EXPECT_FALSE(interfaceOf(u"")->enabled) << "interfaces come on with the start";

        WDFSTRING name = nullptr;
        ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &name), STATUS_SUCCESS);
        UString reference(u"port");
        ASSERT_EQ(WdfDeviceRetrieveDeviceInterfaceString(device(), &kInterface, reference, name),
                  STATUS_SUCCESS);
        UNICODE_STRING s;
        WdfStringGetUnicodeString(name, &s);
        EXPECT_EQ(zv::test::text(s), interfaceOf(u"port")->symbolicLinkName);
        UString other(u"other");
        EXPECT_EQ(WdfDeviceRetrieveDeviceInterfaceString(device(), &kInterface, other, name),
                  STATUS_OBJECT_NAME_NOT_FOUND);
        WdfObjectDelete(name);

        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        EXPECT_TRUE(interfaceOf(u"")->enabled);
        EXPECT_TRUE(interfaceOf(u"port")->enabled);
        ASSERT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_FALSE(linkExists(u"\\GLOBAL??\\ZvLinked"));
        EXPECT_FALSE(interfaceOf(u"")->enabled);
        EXPECT_FALSE(interfaceOf(u"port")->enabled);
    });
}

TEST_F(FrameworkDeviceTest, NamesNeedANamedDevice) {
    run([&] {
        ASSERT_EQ(add(), STATUS_SUCCESS);
        UString link(u"\\DosDevices\\ZvUnnamed");
        EXPECT_EQ(WdfDeviceCreateSymbolicLink(device(), link), STATUS_INVALID_DEVICE_STATE);
        WDFSTRING name = nullptr;
        ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &name), STATUS_SUCCESS);
        EXPECT_EQ(WdfDeviceRetrieveDeviceName(device(), name), STATUS_INVALID_DEVICE_STATE);
        WdfObjectDelete(name);
        EXPECT_FALSE(linkExists(u"\\GLOBAL??\\ZvUnnamed"));
    });
}

// WdfDeviceSetStaticStopRemove counts: stop and removal are refused, without asking the driver, until
// every FALSE has its TRUE; the device says so to IRP_MN_QUERY_PNP_DEVICE_STATE.
TEST_F(FrameworkDeviceTest, StaticStopRemoveHoldsUntilBalanced) {
    run([&] {
        ASSERT_EQ(add(), STATUS_SUCCESS);
        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        takeEvents();
        WdfDeviceSetStaticStopRemove(device(), FALSE);
        WdfDeviceSetStaticStopRemove(device(), FALSE);
        EXPECT_EQ(pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_INVALID_DEVICE_STATE);
        zv::wdf::IrpResult state = sendToStack(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE);
        EXPECT_EQ(state.status, STATUS_SUCCESS);
        EXPECT_EQ(state.information & PNP_DEVICE_NOT_DISABLEABLE, ULONG_PTR(PNP_DEVICE_NOT_DISABLEABLE));
        WdfDeviceSetStaticStopRemove(device(), TRUE);
        EXPECT_EQ(pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_INVALID_DEVICE_STATE);
        EXPECT_EQ(takeEvents(), Events{});
        WdfDeviceSetStaticStopRemove(device(), TRUE);
        EXPECT_EQ(pnp(IRP_MN_QUERY_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(pnp(IRP_MN_CANCEL_STOP_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(sendToStack(IRP_MJ_PNP, IRP_MN_QUERY_PNP_DEVICE_STATE).status, STATUS_NOT_SUPPORTED);
        EXPECT_EQ(takeEvents(), Events{"QueryStop"});
        WdfDeviceSetStaticStopRemove(device(), TRUE); // one more TRUE than FALSE
        EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 1u);
}

struct PowerCase {
    const char* name;
    bool policyOwner;
    DEVICE_POWER_STATE stateForS3; // what the driver maps S3 to (PowerDeviceMaximum: the default)
    POWER_ACTION action;
    SYSTEM_POWER_STATE system;
    Events down;
    Events up;
};

void PrintTo(const PowerCase& c, std::ostream* os) {
    *os << c.name;
}

class SystemPowerTest : public FrameworkDeviceTest, public ::testing::WithParamInterface<PowerCase> {};

// The power policy owner turns the S-IRP into a D-IRP for its stack; D0 exit and entry see the target and
// previous device states and the system power action; after waking there is no system action any more.
TEST_P(SystemPowerTest, BecomesDevicePower) {
    const PowerCase& c = GetParam();
    run([&] {
        deviceHooks().configure = [&](PWDFDEVICE_INIT init) {
            WdfDeviceInitSetPowerPolicyOwnership(init, c.policyOwner ? TRUE : FALSE);
            return STATUS_SUCCESS;
        };
        deviceHooks().created = [&](WDFDEVICE device) {
            WDF_DEVICE_POWER_CAPABILITIES caps;
            WDF_DEVICE_POWER_CAPABILITIES_INIT(&caps);
            caps.DeviceState[PowerSystemSleeping3] = c.stateForS3;
            WdfDeviceSetPowerCapabilities(device, &caps);
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(add(), STATUS_SUCCESS);
        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        queryCapabilities(); // the manager asks after every start; the framework learns the mapping
        takeEvents();
        EXPECT_EQ(systemPower(c.system, c.action), STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(), c.down);
        EXPECT_EQ(systemPower(PowerSystemWorking, c.action), STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(), c.up);
        EXPECT_EQ(WdfDeviceGetSystemPowerAction(device()), PowerActionNone);
        EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Transitions, SystemPowerTest,
    ::testing::Values(
        PowerCase{"SleepToD3",
                  true,
                  PowerDeviceMaximum,
                  PowerActionSleep,
                  PowerSystemSleeping3,
                  {"D0Exit 4 2"},
                  {"D0Entry 4 2"}},
        PowerCase{"SleepToTheStateTheDriverMapped",
                  true,
                  PowerDeviceD2,
                  PowerActionSleep,
                  PowerSystemSleeping3,
                  {"D0Exit 3 2"},
                  {"D0Entry 3 2"}},
        PowerCase{"Hibernate",
                  true,
                  PowerDeviceD2,
                  PowerActionHibernate,
                  PowerSystemHibernate,
                  {"D0Exit 4 3"},
                  {"D0Entry 4 3"}},
        PowerCase{
            "NotThePolicyOwner", false, PowerDeviceMaximum, PowerActionSleep, PowerSystemSleeping3, {}, {}}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FrameworkDeviceTest, AFailedDeviceAddDeletesTheDeviceItMade) {
    run([&] {
        PDEVICE_OBJECT made = nullptr;
        deviceHooks().created = [&](WDFDEVICE device) {
            made = WdfDeviceWdmGetDeviceObject(device);
            return STATUS_INSUFFICIENT_RESOURCES;
        };
        EXPECT_EQ(add(), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(takeEvents(), Events{"Cleanup"});
        ASSERT_NE(made, nullptr);
        EXPECT_FALSE(zv::kernel::isDeviceObjectLive(made));
        EXPECT_EQ(pdo()->AttachedDevice, nullptr);
    });
}

// Removal detaches and deletes the device object at once, but the framework device is cleaned up only when
// the last reference to its device object goes (a handle still open, here a reference): meanwhile a new
// device can be added for the same instance, and the two device objects exist side by side.
TEST_F(FrameworkDeviceTest, CleanupWaitsForTheLastReference) {
    run([&] {
        ASSERT_EQ(add(), STATUS_SUCCESS);
        WDFDEVICE first = device();
        PDEVICE_OBJECT old = WdfDeviceWdmGetDeviceObject(first);
        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        ObReferenceObject(old);
        ASSERT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(), (Events{"PrepareHardware", "D0Entry 5 0", "D0Exit 5 0", "ReleaseHardware"}));
        EXPECT_TRUE(zv::kernel::isDeviceObjectLive(old));
        EXPECT_TRUE(zv::kernel::isDeviceObjectDeleted(old));
        EXPECT_EQ(pdo()->AttachedDevice, nullptr);
        EXPECT_EQ(zv::wdf::Device::fromDeviceObject(old), &deviceOf(first));

        ASSERT_EQ(add(), STATUS_SUCCESS);
        WDFDEVICE second = device();
        PDEVICE_OBJECT fresh = WdfDeviceWdmGetDeviceObject(second);
        ASSERT_NE(second, first);
        EXPECT_EQ(pdo()->AttachedDevice, fresh);
        EXPECT_EQ(deviceOf(first).instance().instancePath, deviceOf(second).instance().instancePath);

        ObDereferenceObject(old);
        EXPECT_EQ(takeEvents(), Events{"Cleanup"});
        EXPECT_FALSE(zv::kernel::isDeviceObjectLive(old));
        EXPECT_TRUE(zv::kernel::isDeviceObjectLive(fresh));

        // The last reference dropped at DISPATCH_LEVEL: the cleanup callbacks wait for a passive fiber.
        ObReferenceObject(fresh);
        ASSERT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        KIRQL irql;
        KeRaiseIrql(DISPATCH_LEVEL, &irql);
        ObDereferenceObject(fresh);
        KeLowerIrql(irql);
        EXPECT_EQ(takeEvents(), Events{});
        LARGE_INTEGER yield{};
        KeDelayExecutionThread(KernelMode, FALSE, &yield);
        EXPECT_EQ(takeEvents(), Events{"Cleanup"});
    });
}

TEST_F(FrameworkDeviceTest, UsageNotificationReachesTheDriverOnceTheStackBelowTookIt) {
    run([&] {
        ASSERT_EQ(add(), STATUS_SUCCESS);
        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        takeEvents();
        EXPECT_EQ(sendToStack(IRP_MJ_PNP, IRP_MN_DEVICE_USAGE_NOTIFICATION,
                              [](IO_STACK_LOCATION& s) {
                                  s.Parameters.UsageNotification.InPath = TRUE;
                                  s.Parameters.UsageNotification.Type = DeviceUsageTypeHibernation;
                              })
                      .status,
                  STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(), Events{"Usage 2 1"});
        EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
    });
}

TEST_F(FrameworkDeviceTest, QueryForInterfaceAsksTheStackBelow) {
    run([&] {
        ASSERT_EQ(add(), STATUS_SUCCESS);
        INTERFACE iface{};
        // The root bus offers no interfaces: the query comes back with the status it started with.
        EXPECT_EQ(WdfFdoQueryForInterface(device(), &kInterface, &iface, sizeof iface, 1, nullptr),
                  STATUS_NOT_SUPPORTED);
        EXPECT_EQ(WdfFdoQueryForInterface(device(), &kInterface, nullptr, sizeof iface, 1, nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfFdoQueryForInterface(device(), &kInterface, &iface, 2, 1, nullptr),
                  STATUS_INVALID_PARAMETER);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 2u);
}

} // namespace
