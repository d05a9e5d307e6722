// Device-init records and devices: the per-instance registry keys reached through
// WdfFdoInitOpenRegistryKey and WdfDeviceOpenRegistryKey, WdfDeviceCreate consuming its record, what a
// driver may not do with either, and the presentation lock a device-scoped device owns.
#include "tests/support/sim_test.h"
#include "tests/wdf/driver/sample_driver.h"
#include "tests/wdf/framework_test.h"

#include "platform/kernel/registry.h"
#include "platform/wdf/device.h"
#include "platform/wdf/driver.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>

namespace {

using zv::kernel::RegValue;
using zv::wdf::DeviceInit;
using zv::wdf::DeviceInstance;
using zv::wdf::DriverRecord;

const DeviceInstance kInstance{u"USB\\VID_05C6&PID_9025\\5&1a2b3c&0&1",
                               u"{4d36e978-e325-11ce-bfc1-08002be10318}", 3};
const std::u16string kHardwareKey =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\USB\\VID_05C6&PID_9025\\"
    u"5&1a2b3c&0&1\\Device Parameters";
const std::u16string kSoftwareKey = u"\\Registry\\Machine\\System\\CurrentControlSet\\Control\\Class\\"
                                    u"{4d36e978-e325-11ce-bfc1-08002be10318}\\0003";

class DeviceTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        SampleReset();
    }
    // Loads the sample driver; the test's fiber must be running.
    void load() {
        record_ = std::make_unique<DriverRecord>(u"ZvSample");
        ASSERT_EQ(record_->callDriverEntry(SampleDriverEntry), STATUS_SUCCESS);
    }
    // Ends the driver inside the fiber (its callbacks need one).
    void unload() { record_.reset(); }
    static zv::kernel::RegKey* key(const std::u16string& path) {
        zv::kernel::RegKey* k = nullptr;
        EXPECT_EQ(zv::kernel::registry().openKey(path, true, &k), STATUS_SUCCESS);
        return k;
    }

    std::unique_ptr<DriverRecord> record_;
};

TEST_F(DeviceTest, DeviceAddReadsTheHardwareKeyAndWritesTheSoftwareKey) {
    runInFiber([&] {
        key(kHardwareKey)->setValue(u"InstanceNumber", RegValue::dword(7));
        key(kHardwareKey)->setValue(u"PortName", RegValue::sz(u"COM7"));
        load();
        DeviceInit init(*record_->driver(), kInstance);
        ASSERT_EQ(record_->driver()->addDevice(init.handle()), STATUS_SUCCESS);
        EXPECT_EQ(SampleObservations.InstanceStatus, STATUS_SUCCESS);
        EXPECT_EQ(SampleObservations.InstanceNumber, 7u);
        EXPECT_TRUE(SampleObservations.PortNameIsCom7);
        EXPECT_EQ(SampleObservations.SoftwareKeyStatus, STATUS_SUCCESS);
        ASSERT_NE(zv::kernel::registry().find(kSoftwareKey), nullptr);
        EXPECT_EQ(*zv::kernel::registry().find(kSoftwareKey)->value(u"Seen"), RegValue::dword(1));

        ASSERT_TRUE(init.consumed());
        EXPECT_EQ(init.device()->handle(), SampleObservations.Device);
        EXPECT_TRUE(SampleObservations.DeviceContextWasZero);
        EXPECT_EQ(SampleDeviceMagic(SampleObservations.Device), SAMPLE_DEVICE_MAGIC);
        EXPECT_EQ(WdfDeviceGetDriver(SampleObservations.Device), SampleObservations.Driver);
        unload();
    });
}

TEST_F(DeviceTest, AFailingHardwareKeyFailsDeviceAddWithItsStatus) {
    runInFiber([&] {
        zv::kernel::registry().addFault(
            {zv::kernel::RegOp::Open, kHardwareKey, {}, STATUS_INSUFFICIENT_RESOURCES});
        load();
        DeviceInit init(*record_->driver(), kInstance);
        EXPECT_EQ(record_->driver()->addDevice(init.handle()), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_FALSE(init.consumed());
        unload();
    });
}

TEST_F(DeviceTest, ARecordUsedAfterWdfDeviceCreateAndADeviceDeletedByTheDriverAreReported) {
    runInFiber([&] {
        load();
        DeviceInit init(*record_->driver(), kInstance);
        ASSERT_EQ(record_->driver()->addDevice(init.handle()), STATUS_SUCCESS);
        WDFKEY key = nullptr;
        EXPECT_EQ(WdfFdoInitOpenRegistryKey(init.handle(), PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                            WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(key, nullptr);
        WdfObjectDelete(SampleObservations.Device);
        EXPECT_EQ(SampleDeviceMagic(SampleObservations.Device), SAMPLE_DEVICE_MAGIC)
            << "the device is still there";
        // The driver's context accessor on an object without that context.
        EXPECT_EQ(SampleDeviceMagic(SampleDeviceCollection(SampleObservations.Driver)), 0u);
        unload();
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kDeletedObject).size(), 1u);
    EXPECT_EQ(expectViolation(zv::wdf::rule::kNotDeletable).size(), 1u);
    EXPECT_EQ(expectViolation(zv::wdf::rule::kContextMismatch).size(), 1u);
}

struct KeyCase {
    const char* name;
    ULONG kind;
    std::u16string path; // empty: the kind is refused
};

void PrintTo(const KeyCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceKeyTest : public DeviceTest, public ::testing::WithParamInterface<KeyCase> {};

// Both routines open the same key for a kind, and create it when missing; a value written through one is
// read back at the path the kind names.
TEST_P(DeviceKeyTest, BothRoutinesOpenTheKeyTheKindNames) {
    const KeyCase& c = GetParam();
    runInFiber([&] {
        load();
        DeviceInit init(*record_->driver(), kInstance);
        zv::test::UString name(u"Probe");
        WDFKEY key = nullptr;
        NTSTATUS status = WdfFdoInitOpenRegistryKey(init.handle(), c.kind, STANDARD_RIGHTS_ALL,
                                                    WDF_NO_OBJECT_ATTRIBUTES, &key);
        if (c.path.empty()) {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(WdfRegistryAssignULong(key, name, 1), STATUS_SUCCESS);
            WdfRegistryClose(key);
        }

        PWDFDEVICE_INIT handle = init.handle();
        WDFDEVICE device = nullptr;
        {
            zv::wdf::DriverScope scope(record_->driver());
            ASSERT_EQ(WdfDeviceCreate(&handle, WDF_NO_OBJECT_ATTRIBUTES, &device), STATUS_SUCCESS);
        }
        EXPECT_EQ(handle, nullptr);
        status =
            WdfDeviceOpenRegistryKey(device, c.kind, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
        if (c.path.empty()) {
            EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(WdfRegistryAssignULong(key, name, 2), STATUS_SUCCESS);
            // The key belongs to the device unless the attributes say otherwise.
            EXPECT_EQ(zv::wdf::objects().find(key)->parent()->handle(), device);
            WdfRegistryClose(key);
            zv::kernel::RegKey* written = zv::kernel::registry().find(c.path);
            ASSERT_NE(written, nullptr);
            EXPECT_EQ(*written->value(u"Probe"), RegValue::dword(2));
        }
        unload();
    });
    if (c.path.empty()) {
        EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 2u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, DeviceKeyTest,
    ::testing::Values(
        KeyCase{"Hardware", PLUGPLAY_REGKEY_DEVICE, kHardwareKey},
        KeyCase{"Software", PLUGPLAY_REGKEY_DRIVER, kSoftwareKey},
        KeyCase{"HardwareOfTheCurrentProfile", PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\"
                u"CurrentControlSet\\Enum\\USB\\VID_05C6&PID_9025\\5&1a2b3c&0&1"},
        KeyCase{"SoftwareOfTheCurrentProfile", PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE,
                u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current\\System\\"
                u"CurrentControlSet\\Control\\Class\\{4d36e978-e325-11ce-bfc1-08002be10318}\\0003"},
        KeyCase{"Both", PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_DRIVER, u""}, KeyCase{"None", 0, u""}),
    [](const auto& info) { return std::string(info.param.name); });

struct LockCase {
    const char* name;
    WDF_EXECUTION_LEVEL level;
    WDF_SYNCHRONIZATION_SCOPE scope;
    bool hasLock;
    zv::sim::Lock::Kind kind;
};

void PrintTo(const LockCase& c, std::ostream* os) {
    *os << c.name;
}

class DeviceLockTest : public DeviceTest, public ::testing::WithParamInterface<LockCase> {};

TEST_P(DeviceLockTest, FollowsScopeAndLevel) {
    const LockCase& c = GetParam();
    runInFiber([&] {
        load();
        DeviceInit init(*record_->driver(), kInstance);
        PWDFDEVICE_INIT handle = init.handle();
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ExecutionLevel = c.level;
        attributes.SynchronizationScope = c.scope;
        WDFDEVICE device = nullptr;
        {
            zv::wdf::DriverScope scope(record_->driver());
            ASSERT_EQ(WdfDeviceCreate(&handle, &attributes, &device), STATUS_SUCCESS);
        }
        zv::sim::Lock* lock = init.device()->presentationLock();
        ASSERT_EQ(lock != nullptr, c.hasLock);
        if (lock != nullptr) {
            EXPECT_EQ(lock->kind(), c.kind);
        }
        unload();
    });
}

INSTANTIATE_TEST_SUITE_P(
    ScopesAndLevels, DeviceLockTest,
    ::testing::Values(LockCase{"DeviceScopeDispatch", WdfExecutionLevelInheritFromParent,
                               WdfSynchronizationScopeDevice, true, zv::sim::Lock::Kind::Spin},
                      LockCase{"DeviceScopePassive", WdfExecutionLevelPassive, WdfSynchronizationScopeDevice,
                               true, zv::sim::Lock::Kind::Mutex},
                      LockCase{"NoScope", WdfExecutionLevelInheritFromParent,
                               WdfSynchronizationScopeInheritFromParent, false, zv::sim::Lock::Kind::Spin},
                      LockCase{"QueueScope", WdfExecutionLevelPassive, WdfSynchronizationScopeQueue, false,
                               zv::sim::Lock::Kind::Spin}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
