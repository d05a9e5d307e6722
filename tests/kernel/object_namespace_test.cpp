// The object namespace: device names, DOS device symbolic links and device interfaces, and how names
// resolve to a device object and the rest of the name.
#include "tests/kernel/wdm_driver_side.h"
#include "tests/kernel/wdm_stack.h"
#include "tests/support/sim_test.h"

#include "platform/kernel/device_object.h"
#include "platform/kernel/irp.h"
#include "platform/kernel/object_namespace.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace zv::kernel {
namespace {

using test::counted;
using test::SimTest;

// {4d36e978-e325-11ce-bfc1-08002be10318}
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
constexpr GUID kOtherClass = {0x01020304, 0x0506, 0x0708, {1, 2, 3, 4, 5, 6, 7, 8}};

std::string narrow(const std::u16string& s) {
    return std::string(s.begin(), s.end());
}

class NamespaceTest : public SimTest {
protected:
    DRIVER_OBJECT driver_{};

    PDEVICE_OBJECT create(const std::u16string& name) {
        UNICODE_STRING n = counted(name);
        PDEVICE_OBJECT device = nullptr;
        EXPECT_EQ(
            IoCreateDevice(&driver_, 0, name.empty() ? nullptr : &n, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
            STATUS_SUCCESS);
        return device;
    }
    NTSTATUS link(const std::u16string& name, const std::u16string& target) {
        UNICODE_STRING l = counted(name);
        UNICODE_STRING t = counted(target);
        return IoCreateSymbolicLink(&l, &t);
    }
    NTSTATUS unlink(const std::u16string& name) {
        UNICODE_STRING l = counted(name);
        return IoDeleteSymbolicLink(&l);
    }
    NTSTATUS resolve(const std::u16string& name, ResolvedName* out) {
        return objectNamespace().resolve(name, out);
    }
};

TEST_F(NamespaceTest, DosDeviceSpellingsAreOneDirectory) {
    PDEVICE_OBJECT serial = create(u"\\Device\\ZvSerial0");
    ASSERT_EQ(link(u"\\DosDevices\\COM7", u"\\Device\\ZvSerial0"), STATUS_SUCCESS);
    struct Case {
        std::u16string name;
        NTSTATUS status;
        std::u16string remainder;
    };
    const Case cases[] = {
        {u"\\??\\COM7", STATUS_SUCCESS, u""},
        {u"\\GLOBAL??\\com7", STATUS_SUCCESS, u""},
        {u"\\DosDevices\\COM7\\sub\\path", STATUS_SUCCESS, u"\\sub\\path"},
        {u"\\Device\\ZvSerial0", STATUS_SUCCESS, u""},
        {u"\\Device\\ZvSerial0\\x", STATUS_SUCCESS, u"\\x"},
        {u"\\??\\COM8", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"\\Device\\Nothing", STATUS_OBJECT_NAME_NOT_FOUND, u""},
        {u"\\Elsewhere\\Thing", STATUS_OBJECT_PATH_NOT_FOUND, u""},
        {u"COM7", STATUS_OBJECT_NAME_INVALID, u""},
    };
    for (const Case& c : cases) {
        ResolvedName r;
        EXPECT_EQ(resolve(c.name, &r), c.status) << narrow(c.name);
        if (NT_SUCCESS(c.status)) {
            EXPECT_EQ(r.device, serial) << narrow(c.name);
            EXPECT_EQ(r.remainder, c.remainder) << narrow(c.name);
        }
    }
    // Creating it again under another spelling collides; deleting under a third removes it.
    EXPECT_EQ(link(u"\\GLOBAL??\\COM7", u"\\Device\\Other"), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(objectNamespace().linkTarget(u"\\??\\COM7"), u"\\Device\\ZvSerial0");
    ASSERT_EQ(symbolicLinks().size(), 1u);
    EXPECT_EQ(symbolicLinks()[0].name, u"\\GLOBAL??\\COM7");
    EXPECT_EQ(unlink(u"\\??\\com7"), STATUS_SUCCESS);
    EXPECT_EQ(unlink(u"\\??\\COM7"), STATUS_OBJECT_NAME_NOT_FOUND);
    ResolvedName r;
    EXPECT_EQ(resolve(u"\\??\\COM7", &r), STATUS_OBJECT_NAME_NOT_FOUND);
    IoDeleteDevice(serial);
}

TEST_F(NamespaceTest, LinksAreCheckedAndFollowedAtOpenTime) {
    struct Case {
        std::u16string name;
        std::u16string target;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"\\Device\\NotDos", u"\\Device\\X", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\", u"\\Device\\X", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\Two\\Parts", u"\\Device\\X", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\Relative", u"Device\\X", STATUS_OBJECT_NAME_INVALID},
        {u"\\??\\Dangling", u"\\Device\\NotYet", STATUS_SUCCESS},
    };
    for (const Case& c : cases)
        EXPECT_EQ(link(c.name, c.target), c.status) << narrow(c.name);
    // A link names a device by name, so it finds whichever device carries the name when it is used.
    ResolvedName r;
    EXPECT_EQ(resolve(u"\\??\\Dangling", &r), STATUS_OBJECT_NAME_NOT_FOUND);
    PDEVICE_OBJECT later = create(u"\\Device\\NotYet");
    EXPECT_EQ(resolve(u"\\??\\Dangling", &r), STATUS_SUCCESS);
    EXPECT_EQ(r.device, later);
    IoDeleteDevice(later);
    EXPECT_EQ(resolve(u"\\??\\Dangling", &r), STATUS_OBJECT_NAME_NOT_FOUND);
    // A link to a link is followed; a loop ends.
    EXPECT_EQ(link(u"\\??\\Alias", u"\\??\\Dangling"), STATUS_SUCCESS);
    PDEVICE_OBJECT again = create(u"\\Device\\NotYet");
    EXPECT_EQ(resolve(u"\\??\\Alias", &r), STATUS_SUCCESS);
    EXPECT_EQ(r.device, again);
    EXPECT_EQ(link(u"\\??\\LoopA", u"\\??\\LoopB"), STATUS_SUCCESS);
    EXPECT_EQ(link(u"\\??\\LoopB", u"\\??\\LoopA"), STATUS_SUCCESS);
    EXPECT_EQ(resolve(u"\\??\\LoopA", &r), STATUS_OBJECT_PATH_NOT_FOUND);
    IoDeleteDevice(again);
}

class InterfaceTest : public NamespaceTest {
protected:
    PDEVICE_OBJECT pdo_ = nullptr;
    void SetUp() override {
        NamespaceTest::SetUp();
        pdo_ = create(u"\\Device\\ZvPdo0");
        setPhysicalDeviceInstance(pdo_, u"ROOT\\ZVTEST\\0000");
    }
    std::u16string registerInterface(const GUID& cls, const std::u16string& reference = {}) {
        UNICODE_STRING ref = counted(reference);
        UNICODE_STRING name{};
        EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &cls, reference.empty() ? nullptr : &ref, &name),
                  STATUS_SUCCESS);
        std::u16string text(reinterpret_cast<const char16_t*>(name.Buffer), name.Length / sizeof(WCHAR));
        EXPECT_EQ(name.Buffer[name.Length / sizeof(WCHAR)], u'\0');
        RtlFreeUnicodeString(&name);
        return text;
    }
    NTSTATUS setState(const std::u16string& name, bool enable) {
        UNICODE_STRING n = counted(name);
        return IoSetDeviceInterfaceState(&n, enable ? TRUE : FALSE);
    }
};

TEST_F(InterfaceTest, RegisteredInterfaceOpensOnlyWhileEnabled) {
    std::u16string name = registerInterface(kPortsClass);
    EXPECT_EQ(name, u"\\??\\ROOT#ZVTEST#0000#{4d36e978-e325-11ce-bfc1-08002be10318}");
    // Registering again is the same interface.
    EXPECT_EQ(registerInterface(kPortsClass), name);
    ASSERT_EQ(deviceInterfaces(&kPortsClass).size(), 1u);
    EXPECT_FALSE(deviceInterfaces(&kPortsClass)[0].enabled);

    ResolvedName r;
    EXPECT_EQ(resolve(name, &r), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(setState(name, true), STATUS_SUCCESS);
    EXPECT_EQ(setState(name, true), STATUS_OBJECT_NAME_EXISTS);
    EXPECT_EQ(resolve(name, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.device, pdo_);
    EXPECT_EQ(r.remainder, u"");
    // The same name through the other spellings of the directory, in any case.
    EXPECT_EQ(resolve(u"\\GLOBAL??\\root#zvtest#0000#{4D36E978-E325-11CE-BFC1-08002BE10318}", &r),
              STATUS_SUCCESS);
    ASSERT_EQ(deviceInterfaces(nullptr, true).size(), 1u);
    EXPECT_EQ(deviceInterfaces(nullptr, true)[0].instancePath, u"ROOT\\ZVTEST\\0000");

    EXPECT_EQ(setState(name, false), STATUS_SUCCESS);
    EXPECT_EQ(setState(name, false), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(resolve(name, &r), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_TRUE(deviceInterfaces(nullptr, true).empty());
    EXPECT_EQ(setState(u"\\??\\NoSuchInterface", true), STATUS_OBJECT_NAME_NOT_FOUND);
    IoDeleteDevice(pdo_);
}

TEST_F(InterfaceTest, ReferenceStringsAreSeparateInterfacesAndReachTheDriver) {
    std::u16string plain = registerInterface(kOtherClass);
    std::u16string control = registerInterface(kOtherClass, u"control");
    EXPECT_EQ(control, plain + u"\\control");
    EXPECT_EQ(setState(control, true), STATUS_SUCCESS);
    ResolvedName r;
    EXPECT_EQ(resolve(control, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.remainder, u"\\control");
    // The interface without a reference string stays disabled.
    EXPECT_EQ(resolve(plain, &r), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(deviceInterfaces(&kOtherClass).size(), 2u);
    EXPECT_EQ(deviceInterfaces(&kOtherClass, true).size(), 1u);
    EXPECT_TRUE(deviceInterfaces(&kPortsClass).empty());
    IoDeleteDevice(pdo_);
}

// Deleting the physical device object disables its interfaces; the next device object of the same
// instance takes them over under the same names.
TEST_F(InterfaceTest, DeletedDeviceLosesItsInterfacesAndASuccessorGetsThemBack) {
    std::u16string name = registerInterface(kPortsClass);
    ASSERT_EQ(setState(name, true), STATUS_SUCCESS);
    IoDeleteDevice(pdo_);
    ResolvedName r;
    EXPECT_EQ(resolve(name, &r), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(setState(name, true), STATUS_INVALID_DEVICE_REQUEST);
    ASSERT_EQ(deviceInterfaces(&kPortsClass).size(), 1u);
    EXPECT_EQ(deviceInterfaces(&kPortsClass)[0].device, nullptr);

    pdo_ = create(u"\\Device\\ZvPdo1");
    setPhysicalDeviceInstance(pdo_, u"ROOT\\ZVTEST\\0000");
    EXPECT_EQ(registerInterface(kPortsClass), name);
    EXPECT_EQ(setState(name, true), STATUS_SUCCESS);
    EXPECT_EQ(resolve(name, &r), STATUS_SUCCESS);
    EXPECT_EQ(r.device, pdo_);
    IoDeleteDevice(pdo_);
}

TEST_F(InterfaceTest, OnlyPhysicalDeviceObjectsRegisterInterfaces) {
    PDEVICE_OBJECT fdo = create(u"");
    UNICODE_STRING name{};
    EXPECT_EQ(IoRegisterDeviceInterface(fdo, &kPortsClass, nullptr, &name), STATUS_INVALID_DEVICE_REQUEST);
    EXPECT_EQ(name.Buffer, nullptr);
    std::u16string bad = u"a\\b";
    UNICODE_STRING ref = counted(bad);
    EXPECT_EQ(IoRegisterDeviceInterface(pdo_, &kPortsClass, &ref, &name), STATUS_INVALID_PARAMETER);
    IoDeleteDevice(fdo);
    IoDeleteDevice(pdo_);
}

// Names a driver builds from L"..." literals are the names the platform looks up, and its dispatch table
// and GUIDs work from that side too.
TEST_F(NamespaceTest, DriverBuiltNamesMeetThePlatformsNames) {
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(DriverSideCreateNamedDevice(&driver_, &device), STATUS_SUCCESS);
    ResolvedName r;
    ASSERT_EQ(resolve(u"\\??\\zvdriverside", &r), STATUS_SUCCESS);
    EXPECT_EQ(r.device, device);
    EXPECT_EQ(deviceObjectName(device), u"\\Device\\ZvDriverSide");

    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_CREATE;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    NTSTATUS atTop = STATUS_PENDING;
    setIrpCompletionHandler(irp, [&atTop](PIRP done) {
        atTop = done->IoStatus.Status;
        IoFreeIrp(done);
    });
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_SUCCESS);
    EXPECT_EQ(atTop, STATUS_SUCCESS);

    std::optional<GUID> guid = guidFromString(u"{5a6b7c8d-1122-3344-5566-778899aabbcc}");
    ASSERT_TRUE(guid.has_value());
    EXPECT_TRUE(DriverSideIsItsGuid(&*guid));
    EXPECT_FALSE(DriverSideIsItsGuid(&kPortsClass));
    DriverSideDeleteNamedDevice(device);
    EXPECT_EQ(resolve(u"\\??\\ZVDRIVERSIDE", &r), STATUS_OBJECT_NAME_NOT_FOUND);
}

class GuidTextTest : public SimTest {};

TEST_F(GuidTextTest, RoundTripsAndRejectsMalformedText) {
    EXPECT_EQ(guidToString(kPortsClass), u"{4d36e978-e325-11ce-bfc1-08002be10318}");
    std::optional<GUID> back = guidFromString(u"{4D36E978-E325-11CE-BFC1-08002BE10318}");
    ASSERT_TRUE(back.has_value());
    EXPECT_TRUE(IsEqualGUID(*back, kPortsClass));
    for (std::u16string_view bad :
         {u"4d36e978-e325-11ce-bfc1-08002be10318", u"{4d36e978-e325-11ce-bfc1-08002be1031}",
          u"{4d36e978xe325-11ce-bfc1-08002be10318}", u"{4d36e978-e325-11ce-bfc1-08002be1031g}"})
        EXPECT_FALSE(guidFromString(bad).has_value());
}

} // namespace
} // namespace zv::kernel
