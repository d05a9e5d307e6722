// Tests of the shared driver support: debug settings, power-state names, the trace filter, the registry
// getters and putters on the three kinds of key, and persistent instance numbers with their failure rows.
#include "tests/common/driver_side.h"

#include "platform/kernel/debug_output.h"
#include "platform/kernel/registry.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/driver.h"
#include "tests/support/sim_test.h"

#include <functional>
#include <optional>
#include <string>

// The shared support's settings and the routines without wide-string arguments, reached directly.
extern ULONG DebugLevel;
extern ULONG DebugFlag;
VOID ReadDebugSettings(WDFDRIVER Driver);
PCSTR DevicePowerStateName(WDF_POWER_DEVICE_STATE State);
VOID DriverTrace(ULONG Level, ULONG Flags, PCSTR Format, ...);
NTSTATUS GetThenUpdateNextInstanceNumber(WDFDRIVER Driver, PULONG InstanceNumber);
NTSTATUS GetInstanceNumber(PWDFDEVICE_INIT DeviceInit, WDFDRIVER Driver, PULONG InstanceNumber);

namespace {

using zv::kernel::RegFault;
using zv::kernel::registry;
using zv::kernel::RegOp;
using zv::kernel::RegValue;

const std::u16string kService = u"ZvCommonTest";

std::u16string parametersPath() {
    return zv::kernel::serviceKeyPath(kService) + u"\\Parameters";
}

zv::wdf::DeviceInstance instance(unsigned n) {
    zv::wdf::DeviceInstance i;
    i.instancePath = u"USB\\VID_1A2B&PID_3C4D\\7&2f0c&0&" + std::u16string(1, char16_t(u'0' + n));
    i.classGuid = u"{36fc9e60-c465-11cf-8056-444553540000}";
    i.driverIndex = n;
    return i;
}

void put(const std::u16string& keyPath, std::u16string_view name, RegValue value) {
    zv::kernel::RegKey* key = nullptr;
    ASSERT_TRUE(NT_SUCCESS(registry().openKey(keyPath, true, &key)));
    key->setValue(name, std::move(value));
}

std::optional<RegValue> get(const std::u16string& keyPath, std::u16string_view name) {
    zv::kernel::RegKey* key = nullptr;
    if (!NT_SUCCESS(registry().openKey(keyPath, false, &key)))
        return std::nullopt;
    const RegValue* v = key->value(name);
    return v ? std::optional<RegValue>(*v) : std::nullopt;
}

RegFault fault(RegOp op, std::u16string keyPath, std::u16string valueName, NTSTATUS status) {
    RegFault f;
    f.op = op;
    f.keyPath = std::move(keyPath);
    f.valueName = std::move(valueName);
    f.status = status;
    return f;
}

// The routines under test trace to the debug output; these tests do not look at it.
void quiet(zv::sim::Scheduler& sched) {
    sched.service<zv::kernel::DebugOutput>().setSink([](std::string_view) {});
}

// Runs `body` in a fiber of a fresh machine with the test driver loaded; `before` prepares the registry
// before DriverEntry runs.
void onFreshMachine(const std::function<void(zv::wdf::DriverRecord&, WDFDRIVER)>& body,
                    const std::function<void()>& before = {}) {
    zv::test::ScopedSim sim;
    quiet(sim.sched());
    sim.runInFiber([&] {
        if (before)
            before();
        zv::wdf::DriverRecord record(kService);
        ASSERT_EQ(record.callDriverEntry(CommonTestDriverEntry), STATUS_SUCCESS);
        body(record, static_cast<WDFDRIVER>(record.driver()->handle()));
    });
}

class CommonTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        quiet(sched());
        DebugLevel = 5;
        DebugFlag = 0x1fff;
    }

    // Runs `body` in a fiber with the test driver loaded (its DriverEntry has run).
    void withDriver(const std::function<void(WDFDRIVER)>& body) {
        runInFiber([&] {
            zv::wdf::DriverRecord record(kService);
            ASSERT_EQ(record.callDriverEntry(CommonTestDriverEntry), STATUS_SUCCESS);
            body(static_cast<WDFDRIVER>(record.driver()->handle()));
        });
    }

    // A created device of the test driver for `inst`.
    static WDFDEVICE makeDevice(WDFDRIVER driver, const zv::wdf::DeviceInstance& inst,
                                std::unique_ptr<zv::wdf::DeviceInit>* keep) {
        auto* d = zv::wdf::resolve<zv::wdf::Driver>(driver, "test");
        *keep = std::make_unique<zv::wdf::DeviceInit>(*d, inst);
        PWDFDEVICE_INIT init = (*keep)->handle();
        WDFDEVICE device = nullptr;
        EXPECT_EQ(WdfDeviceCreate(&init, WDF_NO_OBJECT_ATTRIBUTES, &device), STATUS_SUCCESS);
        return device;
    }
};

struct DebugSettingsCase {
    const char* name;
    std::optional<RegValue> level;
    std::optional<RegValue> flag;
    bool failOpen;
    ULONG expectLevel;
    ULONG expectFlag;
};

TEST_F(CommonTest, ReadDebugSettingsTakesEachDwordThatIsThere) {
    const DebugSettingsCase cases[] = {
        {"neither value", std::nullopt, std::nullopt, false, 5, 0x1fff},
        {"both values", RegValue::dword(2), RegValue::dword(0x80), false, 2, 0x80},
        {"only DebugFlag", std::nullopt, RegValue::dword(0x4000), false, 5, 0x4000},
        {"only DebugLevel", RegValue::dword(3), std::nullopt, false, 3, 0x1fff},
        {"level of the wrong type", RegValue::sz(u"3"), RegValue::dword(0x2), false, 5, 0x2},
        {"flag as a binary", RegValue::dword(4), RegValue::binary({1, 0, 0, 0}), false, 4, 0x1fff},
        {"parameters key cannot be opened", RegValue::dword(1), RegValue::dword(1), true, 5, 0x1fff},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        DebugLevel = 5;
        DebugFlag = 0x1fff;
        onFreshMachine([](zv::wdf::DriverRecord&, WDFDRIVER) {},
                       [&] {
                           if (c.level)
                               put(parametersPath(), u"DebugLevel", *c.level);
                           if (c.flag)
                               put(parametersPath(), u"DebugFlag", *c.flag);
                           if (c.failOpen)
                               registry().addFault(
                                   fault(RegOp::Open, parametersPath(), u"", STATUS_ACCESS_DENIED));
                       });
        EXPECT_EQ(DebugLevel, c.expectLevel);
        EXPECT_EQ(DebugFlag, c.expectFlag);
    }
}

TEST_F(CommonTest, DevicePowerStateNames) {
    const std::pair<int, const char*> cases[] = {
        {0, "WdfPowerDeviceInvalid"},
        {1, "WdfPowerDeviceD0"},
        {2, "WdfPowerDeviceD1"},
        {3, "WdfPowerDeviceD2"},
        {4, "WdfPowerDeviceD3"},
        {5, "WdfPowerDeviceD3Final"},
        {6, "WdfPowerDevicePrepareForHibernation"},
        {7, "PowerDeviceMaximum"},
        {8, "UnKnown Device Power State"},
        {0x7fffffff, "UnKnown Device Power State"},
        {-1, "UnKnown Device Power State"},
    };
    for (auto [state, name] : cases)
        EXPECT_STREQ(DevicePowerStateName(static_cast<WDF_POWER_DEVICE_STATE>(state)), name) << state;
}

TEST_F(CommonTest, TraceLinesPassOnlyWithinLevelAndFlagMask) {
    std::string out;
    sched().service<zv::kernel::DebugOutput>().setSink([&](std::string_view t) { out += t; });
    struct Case {
        ULONG level, flags, debugLevel, debugFlag;
        bool shown;
    };
    const Case cases[] = {
        {4, 0x1, 4, 0x1fff, true},     // at the level
        {5, 0x1, 4, 0x1fff, false},    // above the level
        {2, 0x20, 5, 0x1fff, true},    // flag inside the mask
        {2, 0x4000, 5, 0x1fff, false}, // receive detail lies outside the default mask
        {2, 0x4000, 5, 0x4000, true},  {3, 0x2, 5, 0x0, false}, // an empty mask shows nothing
    };
    runInFiber([&] {
        for (const auto& c : cases) {
            DebugLevel = c.debugLevel;
            DebugFlag = c.debugFlag;
            out.clear();
            TestTraceWide(c.level, c.flags, u"COM7");
            EXPECT_EQ(out, c.shown ? "   wide COM7\n" : "") << c.level << " " << c.flags;
        }
        DebugLevel = 5;
        DebugFlag = 0x1fff;
        out.clear();
        DriverTrace(4, 0x1, "%sGetInstanceNumber %X\n", "  <", STATUS_UNSUCCESSFUL);
        EXPECT_EQ(out, "  <GetInstanceNumber C0000001\n");
    });
}

// The getters: one table over the three kinds of key.
struct GetterCase {
    const char* name;
    std::optional<RegValue> stored;
    bool failOpen;
    bool failQuery;
    BOOLEAN expectResult;
    ULONG expectValue;
};

const GetterCase kGetterCases[] = {
    {"present", RegValue::dword(0x1234), false, false, TRUE, 0x1234},
    {"present and zero", RegValue::dword(0), false, false, TRUE, 0},
    {"absent", std::nullopt, false, false, FALSE, 0},
    {"of type REG_SZ", RegValue::sz(u"7"), false, false, FALSE, 0},
    {"a qword", RegValue::qword(7), false, false, FALSE, 0},
    {"key cannot be opened", RegValue::dword(9), true, false, FALSE, 0},
    {"query fails", RegValue::dword(9), false, true, FALSE, 0},
};

TEST_F(CommonTest, GettersOnEveryKindOfKey) {
    enum class Which { FdoInit, Software, SerialHardware };
    for (Which which : {Which::FdoInit, Which::Software, Which::SerialHardware}) {
        for (const auto& c : kGetterCases) {
            SCOPED_TRACE(c.name);
            onFreshMachine([&](zv::wdf::DriverRecord& record, WDFDRIVER driver) {
                auto inst = instance(1);
                std::u16string keyPath =
                    which == Which::Software ? inst.softwareKeyPath() : inst.hardwareKeyPath();
                if (c.stored)
                    put(keyPath, u"Value", *c.stored);
                // A decoy of the same name in the other key must not be read.
                put(which == Which::Software ? inst.hardwareKeyPath() : inst.softwareKeyPath(), u"Value",
                    RegValue::dword(0xdead));
                if (c.failOpen)
                    registry().addFault(fault(RegOp::Open, keyPath, u"", STATUS_ACCESS_DENIED));
                if (c.failQuery)
                    registry().addFault(
                        fault(RegOp::Query, keyPath, u"Value", STATUS_INSUFFICIENT_RESOURCES));
                ULONG value = 0xffffffff;
                BOOLEAN result = FALSE;
                if (which == Which::FdoInit) {
                    zv::wdf::DeviceInit init(*record.driver(), inst);
                    result = TestGetFdoRegistryKeyValue(init.handle(), u"Value", &value);
                } else {
                    std::unique_ptr<zv::wdf::DeviceInit> keep;
                    WDFDEVICE device = makeDevice(driver, inst, &keep);
                    result = which == Which::Software
                                 ? TestGetRegistrySoftwareKeyValue(device, u"Value", &value)
                                 : TestSerialGetRegistryKeyValue(device, u"Value", &value);
                }
                EXPECT_EQ(result, c.expectResult) << int(which);
                EXPECT_EQ(value, c.expectValue) << int(which);
            });
        }
    }
}

TEST_F(CommonTest, PuttersCreateOrReplaceDwordsAndReportFailures) {
    struct Case {
        const char* name;
        std::optional<RegValue> stored;
        std::optional<RegOp> failing;
        BOOLEAN expectResult;
    };
    const Case cases[] = {
        {"new value", std::nullopt, std::nullopt, TRUE},
        {"replaces a REG_SZ", RegValue::sz(u"x"), std::nullopt, TRUE},
        {"key cannot be opened", std::nullopt, RegOp::Open, FALSE},
        {"write fails", RegValue::dword(1), RegOp::Write, FALSE},
    };
    for (bool serial : {false, true}) {
        for (const auto& c : cases) {
            SCOPED_TRACE(c.name);
            onFreshMachine([&](zv::wdf::DriverRecord& record, WDFDRIVER driver) {
                auto inst = instance(2);
                if (c.stored)
                    put(inst.hardwareKeyPath(), u"MaxCount", *c.stored);
                if (c.failing)
                    registry().addFault(fault(*c.failing, inst.hardwareKeyPath(), u"", STATUS_ACCESS_DENIED));
                BOOLEAN result;
                if (serial) {
                    std::unique_ptr<zv::wdf::DeviceInit> keep;
                    WDFDEVICE device = makeDevice(driver, inst, &keep);
                    result = TestSerialPutRegistryKeyValue(device, u"MaxCount", 42);
                } else {
                    zv::wdf::DeviceInit init(*record.driver(), inst);
                    result = TestPutFdoRegistryKeyValue(init.handle(), u"MaxCount", 42);
                }
                EXPECT_EQ(result, c.expectResult);
                registry().clearFaults();
                auto v = get(inst.hardwareKeyPath(), u"MaxCount");
                if (c.expectResult) {
                    ASSERT_TRUE(v.has_value());
                    EXPECT_EQ(*v, RegValue::dword(42));
                } else {
                    EXPECT_EQ(v, c.stored);
                }
            });
        }
    }
}

TEST_F(CommonTest, InstanceNumbersPersistPerDeviceAndCountUp) {
    withDriver([&](WDFDRIVER driver) {
        auto* d = zv::wdf::resolve<zv::wdf::Driver>(driver, "test");
        auto number = [&](unsigned device) {
            zv::wdf::DeviceInit init(*d, instance(device));
            ULONG n = 0xabababab;
            EXPECT_EQ(GetInstanceNumber(init.handle(), driver, &n), STATUS_SUCCESS);
            return n;
        };
        EXPECT_EQ(number(1), 0u); // the first device ever
        EXPECT_EQ(get(instance(1).hardwareKeyPath(), u"InstanceNumber"), RegValue::dword(0));
        EXPECT_EQ(get(parametersPath(), u"NextInstanceNumber"), RegValue::dword(1));
        EXPECT_EQ(number(1), 0u); // the same device again: the counter stays
        EXPECT_EQ(get(parametersPath(), u"NextInstanceNumber"), RegValue::dword(1));
        EXPECT_EQ(number(2), 1u); // a second new device
        EXPECT_EQ(get(parametersPath(), u"NextInstanceNumber"), RegValue::dword(2));

        // A stored number of the wrong type counts as none and is replaced by a REG_DWORD.
        put(instance(3).hardwareKeyPath(), u"InstanceNumber", RegValue::sz(u"0"));
        EXPECT_EQ(number(3), 2u);
        EXPECT_EQ(get(instance(3).hardwareKeyPath(), u"InstanceNumber"), RegValue::dword(2));

        // The counter wraps without a check.
        put(parametersPath(), u"NextInstanceNumber", RegValue::dword(0xffffffff));
        EXPECT_EQ(number(4), 0xffffffffu);
        EXPECT_EQ(get(parametersPath(), u"NextInstanceNumber"), RegValue::dword(0));
        EXPECT_EQ(number(5), 0u);
    });
}

TEST_F(CommonTest, NextInstanceNumberStandsAloneFromDevices) {
    withDriver([&](WDFDRIVER driver) {
        ULONG n = 0;
        EXPECT_EQ(GetThenUpdateNextInstanceNumber(driver, &n), STATUS_SUCCESS);
        EXPECT_EQ(n, 0u);
        put(parametersPath(), u"NextInstanceNumber", RegValue::binary({9, 0, 0, 0}));
        EXPECT_EQ(GetThenUpdateNextInstanceNumber(driver, &n), STATUS_SUCCESS);
        EXPECT_EQ(n, 0u) << "a counter that is not a REG_DWORD reads as absent";
        EXPECT_EQ(get(parametersPath(), u"NextInstanceNumber"), RegValue::dword(1));
    });
}

TEST_F(CommonTest, InstanceNumberFailureRows) {
    struct Case {
        const char* name;
        RegFault fault;
        NTSTATUS expectStatus;
        ULONG expectNumber;              // n afterwards (the getter clears it first)
        std::optional<RegValue> counter; // NextInstanceNumber afterwards
        std::optional<RegValue> stored;  // the device's InstanceNumber afterwards
    };
    const Case cases[] = {
        {"parameters key cannot be opened", fault(RegOp::Open, parametersPath(), u"", STATUS_ACCESS_DENIED),
         STATUS_ACCESS_DENIED, 0, RegValue::dword(7), std::nullopt},
        {"counter write fails",
         fault(RegOp::Write, parametersPath(), u"NextInstanceNumber", STATUS_MEDIA_WRITE_PROTECTED),
         STATUS_MEDIA_WRITE_PROTECTED, 7, RegValue::dword(7), std::nullopt},
        {"device number write fails (burns a number)",
         fault(RegOp::Write, instance(1).hardwareKeyPath(), u"InstanceNumber", STATUS_ACCESS_DENIED),
         STATUS_UNSUCCESSFUL, 7, RegValue::dword(8), std::nullopt},
        {"hardware key cannot be opened at all",
         fault(RegOp::Open, instance(1).hardwareKeyPath(), u"", STATUS_ACCESS_DENIED), STATUS_UNSUCCESSFUL, 7,
         RegValue::dword(8), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        onFreshMachine(
            [&](zv::wdf::DriverRecord& record, WDFDRIVER driver) {
                registry().addFault(c.fault);
                {
                    zv::wdf::DeviceInit init(*record.driver(), instance(1));
                    ULONG n = 0xabababab;
                    EXPECT_EQ(GetInstanceNumber(init.handle(), driver, &n), c.expectStatus);
                    EXPECT_EQ(n, c.expectNumber);
                }
                registry().clearFaults();
                EXPECT_EQ(get(parametersPath(), u"NextInstanceNumber"), c.counter);
                EXPECT_EQ(get(instance(1).hardwareKeyPath(), u"InstanceNumber"), c.stored);
                // Once the registry behaves, the device takes the counter's next number.
                zv::wdf::DeviceInit init(*record.driver(), instance(1));
                ULONG n = 0;
                EXPECT_EQ(GetInstanceNumber(init.handle(), driver, &n), STATUS_SUCCESS);
                EXPECT_EQ(n, c.counter->asDword().value());
            },
            [] { put(parametersPath(), u"NextInstanceNumber", RegValue::dword(7)); });
    }
}

} // namespace
