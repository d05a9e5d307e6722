// Capabilities a driver sets (WdfDeviceSetPnpCapabilities, WdfDeviceSetPowerCapabilities): kept exactly as
// given, and applied over the bus's answer when IRP_MN_QUERY_CAPABILITIES comes back up the stack; only the
// fields not left at their "use default" value change, every call in order.
#include "tests/wdf/device_fixture.h"

#include <cstring>
#include <ostream>

namespace {

using zv::test::deviceHooks;
using zv::test::FrameworkDeviceTest;

struct CapsCase {
    const char* name;
    std::function<void(WDFDEVICE)> set;
    // The bus's answer, changed as the driver's capabilities should change it.
    std::function<void(DEVICE_CAPABILITIES&)> expect;
};

void PrintTo(const CapsCase& c, std::ostream* os) {
    *os << c.name;
}

WDF_DEVICE_PNP_CAPABILITIES pnpCaps() {
    WDF_DEVICE_PNP_CAPABILITIES caps;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&caps);
    return caps;
}

WDF_DEVICE_POWER_CAPABILITIES powerCaps() {
    WDF_DEVICE_POWER_CAPABILITIES caps;
    WDF_DEVICE_POWER_CAPABILITIES_INIT(&caps);
    return caps;
}

class CapabilitiesTest : public FrameworkDeviceTest, public ::testing::WithParamInterface<CapsCase> {};

TEST_P(CapabilitiesTest, GoOverTheBussAnswer) {
    const CapsCase& c = GetParam();
    run([&] {
        deviceHooks().created = [&](WDFDEVICE device) {
            c.set(device);
            return STATUS_SUCCESS;
        };
        // The bus's own answer, asked of the PDO alone before anything is above it.
        DEVICE_CAPABILITIES expected{};
        expected.Size = sizeof expected;
        expected.Version = 1;
        expected.Address = expected.UINumber = static_cast<ULONG>(-1);
        ASSERT_EQ(
            send(pdo(), IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                 [&](IO_STACK_LOCATION& s) { s.Parameters.DeviceCapabilities.Capabilities = &expected; })
                .status,
            STATUS_SUCCESS);
        c.expect(expected);

        ASSERT_EQ(add(), STATUS_SUCCESS);
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        DEVICE_CAPABILITIES answered = queryCapabilities(&status);
        ASSERT_EQ(status, STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&answered, &expected, sizeof answered), 0);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Records, CapabilitiesTest,
    ::testing::Values(
        CapsCase{"DefaultsLeaveTheBusAlone",
                 [](WDFDEVICE d) {
                     WDF_DEVICE_PNP_CAPABILITIES p = pnpCaps();
                     WdfDeviceSetPnpCapabilities(d, &p);
                     WDF_DEVICE_POWER_CAPABILITIES w = powerCaps();
                     WdfDeviceSetPowerCapabilities(d, &w);
                 },
                 [](DEVICE_CAPABILITIES&) {}},
        CapsCase{"TriStatesSetAndClearBits",
                 [](WDFDEVICE d) {
                     WDF_DEVICE_PNP_CAPABILITIES p = pnpCaps();
                     p.SurpriseRemovalOK = WdfFalse;
                     p.UniqueID = WdfFalse;
                     p.LockSupported = WdfTrue;
                     p.NoDisplayInUI = WdfTrue;
                     WdfDeviceSetPnpCapabilities(d, &p);
                 },
                 [](DEVICE_CAPABILITIES& e) {
                     e.SurpriseRemovalOK = 0;
                     e.UniqueID = 0;
                     e.LockSupported = 1;
                     e.NoDisplayInUI = 1;
                 }},
        CapsCase{"AddressAndUINumber",
                 [](WDFDEVICE d) {
                     WDF_DEVICE_PNP_CAPABILITIES p = pnpCaps();
                     p.Address = 3;
                     p.UINumber = 7;
                     WdfDeviceSetPnpCapabilities(d, &p);
                 },
                 [](DEVICE_CAPABILITIES& e) {
                     e.Address = 3;
                     e.UINumber = 7;
                 }},
        // A later call changes only what it sets: the earlier call's other fields stay.
        CapsCase{"LaterCallsOverrideOnlyWhatTheySet",
                 [](WDFDEVICE d) {
                     WDF_DEVICE_PNP_CAPABILITIES first = pnpCaps();
                     first.LockSupported = WdfTrue;
                     first.Removable = WdfFalse;
                     WdfDeviceSetPnpCapabilities(d, &first);
                     WDF_DEVICE_PNP_CAPABILITIES second = pnpCaps();
                     second.Removable = WdfTrue;
                     WdfDeviceSetPnpCapabilities(d, &second);
                 },
                 [](DEVICE_CAPABILITIES& e) {
                     e.LockSupported = 1;
                     e.Removable = 1;
                 }},
        // The parent bus device's table: no D1/D2, wake from D0 only, D3 for every sleeping state.
        CapsCase{"PowerStatesWakeAndLatencies",
                 [](WDFDEVICE d) {
                     WDF_DEVICE_POWER_CAPABILITIES w = powerCaps();
                     w.DeviceD1 = WdfFalse;
                     w.DeviceD2 = WdfFalse;
                     w.WakeFromD0 = WdfTrue;
                     w.WakeFromD1 = w.WakeFromD2 = w.WakeFromD3 = WdfFalse;
                     w.DeviceState[PowerSystemWorking] = PowerDeviceD0;
                     for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
                         w.DeviceState[s] = PowerDeviceD3;
                     w.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
                     w.DeviceWake = PowerDeviceD0;
                     w.SystemWake = PowerSystemUnspecified;
                     w.D2Latency = 40;
                     w.IdealDxStateForSx = PowerDeviceD3;
                     WdfDeviceSetPowerCapabilities(d, &w);
                 },
                 [](DEVICE_CAPABILITIES& e) {
                     e.DeviceD1 = e.DeviceD2 = 0;
                     e.WakeFromD0 = 1;
                     e.WakeFromD1 = e.WakeFromD2 = e.WakeFromD3 = 0;
                     e.DeviceState[PowerSystemWorking] = PowerDeviceD0;
                     for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
                         e.DeviceState[s] = PowerDeviceD3;
                     e.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
                     e.DeviceWake = PowerDeviceD0;
                     e.SystemWake = PowerSystemUnspecified;
                     e.D2Latency = 40;
                 }}),
    [](const auto& info) { return std::string(info.param.name); });

// What the driver passed is kept exactly (the last call of each kind), for the bus driver's tests to read.
TEST_F(FrameworkDeviceTest, TheRecordsAreKeptAsTheDriverPassedThem) {
    run([&] {
        WDF_DEVICE_PNP_CAPABILITIES p = pnpCaps();
        p.SurpriseRemovalOK = WdfFalse;
        WDF_DEVICE_POWER_CAPABILITIES w = powerCaps();
        w.WakeFromD0 = WdfTrue;
        PNP_BUS_INFORMATION bus{
            {0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}}, PNPBus, 0};
        deviceHooks().created = [&](WDFDEVICE device) {
            WdfDeviceSetPnpCapabilities(device, &p);
            WdfDeviceSetPowerCapabilities(device, &w);
            WdfDeviceSetBusInformationForChildren(device, &bus);
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(add(), STATUS_SUCCESS);
        const zv::wdf::Device& device = deviceOf(zv::test::FrameworkDeviceTest::device());
        ASSERT_TRUE(device.pnpCapabilities().has_value());
        ASSERT_TRUE(device.powerCapabilities().has_value());
        ASSERT_TRUE(device.busInformation().has_value());
        EXPECT_EQ(std::memcmp(&*device.pnpCapabilities(), &p, sizeof p), 0);
        EXPECT_EQ(std::memcmp(&*device.powerCapabilities(), &w, sizeof w), 0);
        EXPECT_EQ(std::memcmp(&*device.busInformation(), &bus, sizeof bus), 0);
    });
}

TEST_F(FrameworkDeviceTest, RecordsNotInitialisedAreRefused) {
    run([&] {
        deviceHooks().created = [&](WDFDEVICE device) {
            WDF_DEVICE_PNP_CAPABILITIES p = pnpCaps();
            p.Size = 0;
            p.SurpriseRemovalOK = WdfFalse;
            WdfDeviceSetPnpCapabilities(device, &p);
            WdfDeviceSetPowerCapabilities(device, nullptr);
            WdfDeviceSetBusInformationForChildren(device, nullptr);
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(add(), STATUS_SUCCESS);
        EXPECT_FALSE(deviceOf(device()).pnpCapabilities().has_value());
        EXPECT_EQ(queryCapabilities().SurpriseRemovalOK, 1u) << "the bus's answer stands";
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 3u);
}

} // namespace
