// The parent device as device add makes it: its persistent instance number, its device type, callbacks
// and child-list configuration, its Plug and Play and power capabilities, its default queue and the bus
// information its children get; the failure of each step device add depends on; and the D0 callbacks'
// record of the power state.
#include "tests/bus/bus_fixture.h"

#include "platform/kernel/registry.h"
#include "platform/wdf/device.h"
#include "platform/wdf/io_state.h"
#include "platform/wdf/queue.h"

#include <cstring>

namespace {

using zv::kernel::registry;
using zv::kernel::RegValue;
using zv::test::BusDriver;
using zv::test::frameworkFaults;
using zv::test::parentContext;

const std::u16string kPhoneA = u"USB\\VID_1A2B&PID_3C4D\\SERIAL0001";
const std::u16string kPhoneB = u"USB\\VID_1A2B&PID_3C4D\\SERIAL0002";

class BusParentTest : public zv::test::BusTest {};

zv::wdf::Device* deviceOf(WDFDEVICE device) {
    return zv::wdf::Device::fromHandle(device);
}

std::optional<RegValue> hardwareValue(const std::u16string& instancePath, std::u16string_view name) {
    zv::wdf::DeviceInstance instance;
    instance.instancePath = instancePath;
    zv::kernel::RegKey* key = nullptr;
    if (!NT_SUCCESS(registry().openKey(instance.hardwareKeyPath(), false, &key)))
        return std::nullopt;
    const RegValue* value = key->value(name);
    return value != nullptr ? std::optional<RegValue>(*value) : std::nullopt;
}

template <class T>
bool sameBytes(const T& a, const T& b) {
    return std::memcmp(&a, &b, sizeof(T)) == 0;
}

TEST_F(BusParentTest, EachDeviceInstanceKeepsItsInstanceNumber) {
    runInFiber([&] {
        BusDriver bus;
        WDFDEVICE a = bus.add(kPhoneA);
        WDFDEVICE b = bus.add(kPhoneB);
        ASSERT_NE(a, nullptr);
        ASSERT_NE(b, nullptr);
        EXPECT_EQ(parentContext(a)->InstanceNumber, 0u);
        EXPECT_EQ(parentContext(b)->InstanceNumber, 1u);
        EXPECT_EQ(hardwareValue(kPhoneA, u"InstanceNumber"), RegValue::dword(0));
        EXPECT_EQ(hardwareValue(kPhoneB, u"InstanceNumber"), RegValue::dword(1));

        PPARENT_FDO_CONTEXT context = parentContext(a);
        EXPECT_EQ(context->Device, a);
        EXPECT_EQ(context->WdmDeviceObject, WdfDeviceWdmGetDeviceObject(a));
        EXPECT_NE(context->WdmDeviceObject, nullptr);
        // Device add does not join the collection: hardware preparation does.
        EXPECT_TRUE(bus.members().empty());
        EXPECT_FALSE(context->EnumChildrenPending);

        // The same device instance, a new device object: the same number, and the counter stays.
        bus.remove(a);
        WDFDEVICE again = bus.add(kPhoneA);
        ASSERT_NE(again, nullptr);
        EXPECT_NE(again, a);
        EXPECT_EQ(parentContext(again)->InstanceNumber, 0u);
        zv::kernel::RegKey* key = nullptr;
        ASSERT_EQ(registry().openKey(zv::test::busParametersPath(), false, &key), STATUS_SUCCESS);
        EXPECT_EQ(*key->value(u"NextInstanceNumber"), RegValue::dword(2));
    });
}

TEST_F(BusParentTest, ParentIsABusExtenderWithItsCallbacksChildListAndDefaultQueue) {
    runInFiber([&] {
        BusDriver bus;
        WDFDEVICE parent = bus.add(kPhoneA);
        ASSERT_NE(parent, nullptr);
        zv::wdf::Device* device = deviceOf(parent);

        EXPECT_EQ(device->settings().deviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
        EXPECT_EQ(WdfDeviceWdmGetDeviceObject(parent)->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));
        EXPECT_EQ(device->synchronizationScope(), WdfSynchronizationScopeDevice);
        EXPECT_EQ(device->executionLevel(), WdfExecutionLevelInheritFromParent);

        WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
        WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
        callbacks.EvtDeviceD0Entry = ParentFdoEvtDeviceD0Entry;
        callbacks.EvtDeviceD0Exit = ParentFdoEvtDeviceD0Exit;
        callbacks.EvtDevicePrepareHardware = EvtPrepareHardware;
        callbacks.EvtDeviceReleaseHardware = EvtReleaseHardware;
        callbacks.EvtDeviceSurpriseRemoval = ParentFdoEvtDeviceSurpriseRemoval;
        callbacks.EvtDeviceQueryRemove = ParentFdoEvtDeviceQueryRemove;
        callbacks.EvtDeviceQueryStop = ParentFdoEvtDeviceQueryStop;
        callbacks.EvtDeviceRelationsQuery = ParentFdoEvtDeviceRelationsQuery;
        EXPECT_TRUE(sameBytes(device->settings().pnpPower, callbacks));

        // The child list copies and compares whole descriptions as bytes, so the size must be the record's.
        ASSERT_TRUE(device->settings().defaultChildList.has_value());
        const zv::wdf::ChildListSettings& list = *device->settings().defaultChildList;
        WDF_CHILD_LIST_CONFIG listConfig;
        WDF_CHILD_LIST_CONFIG_INIT(&listConfig, sizeof(CHILD_FUNCTION_DESCRIPTION),
                                   BusEvtChildListCreateDevice);
        listConfig.EvtChildListDeviceReenumerated = BusEvtChildListDeviceReenumerated;
        EXPECT_TRUE(sameBytes(list.config, listConfig));
        EXPECT_FALSE(list.attributes.has_value());

        PPARENT_FDO_CONTEXT context = parentContext(parent);
        ASSERT_NE(context->DefaultQueue, nullptr);
        EXPECT_EQ(WdfDeviceGetDefaultQueue(parent), context->DefaultQueue);
        auto* queue = zv::wdf::resolve<zv::wdf::Queue>(context->DefaultQueue, "test");
        ASSERT_NE(queue, nullptr);
        WDF_IO_QUEUE_CONFIG queueConfig;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
        queueConfig.EvtIoDefault = ParentFdoEvtIoDefault;
        queueConfig.EvtIoDeviceControl = ParentFdoEvtIoDeviceControl;
        queueConfig.EvtIoInternalDeviceControl = ParentFdoEvtIoInternalDeviceControl;
        EXPECT_TRUE(sameBytes(queue->config(), queueConfig));
        EXPECT_EQ(queue->config().PowerManaged, WdfUseDefault);
        EXPECT_FALSE(queue->config().AllowZeroLengthRequests);
        EXPECT_EQ(queue->config().Settings.Parallel.NumberOfPresentedRequests, ULONG(-1));
        EXPECT_EQ(queue->synchronizationScope(), WdfSynchronizationScopeNone);
        EXPECT_EQ(queue->callbackLock(), nullptr);
    });
}

TEST_F(BusParentTest, CapabilitiesAndBusInformationAreSetAsTheParentReportsThem) {
    runInFiber([&] {
        BusDriver bus;
        WDFDEVICE parent = bus.add(kPhoneA);
        ASSERT_NE(parent, nullptr);
        zv::wdf::Device* device = deviceOf(parent);

        WDF_DEVICE_PNP_CAPABILITIES pnp;
        WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnp);
        pnp.SurpriseRemovalOK = WdfFalse;
        ASSERT_TRUE(device->pnpCapabilities().has_value());
        EXPECT_TRUE(sameBytes(*device->pnpCapabilities(), pnp));
        EXPECT_EQ(device->pnpCapabilities()->Address, 0xFFFFFFFFu);
        EXPECT_EQ(device->pnpCapabilities()->UINumber, 0xFFFFFFFFu);

        WDF_DEVICE_POWER_CAPABILITIES power;
        std::memset(&power, 0, sizeof(power));
        power.Size = sizeof(power);
        power.DeviceD1 = WdfFalse;
        power.DeviceD2 = WdfFalse;
        power.WakeFromD0 = WdfTrue;
        power.WakeFromD1 = WdfFalse;
        power.WakeFromD2 = WdfFalse;
        power.WakeFromD3 = WdfFalse;
        power.DeviceState[PowerSystemUnspecified] = PowerDeviceMaximum;
        power.DeviceState[PowerSystemWorking] = PowerDeviceD0;
        power.DeviceState[PowerSystemSleeping1] = PowerDeviceD3;
        power.DeviceState[PowerSystemSleeping2] = PowerDeviceD3;
        power.DeviceState[PowerSystemSleeping3] = PowerDeviceD3;
        power.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
        power.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
        power.DeviceWake = PowerDeviceD0;
        power.SystemWake = PowerSystemUnspecified;
        power.D1Latency = 0xFFFFFFFF;
        power.D2Latency = 0xFFFFFFFF;
        power.D3Latency = 0xFFFFFFFF;
        power.IdealDxStateForSx = PowerDeviceD3;
        ASSERT_TRUE(device->powerCapabilities().has_value());
        EXPECT_TRUE(sameBytes(*device->powerCapabilities(), power));

        // The children are told they sit on a USB bus.
        ASSERT_TRUE(device->busInformation().has_value());
        const PNP_BUS_INFORMATION& busInformation = *device->busInformation();
        const GUID usb = {0x9d7debbc, 0xc85d, 0x11d1, {0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a}};
        EXPECT_TRUE(busInformation.BusTypeGuid == usb);
        EXPECT_EQ(busInformation.LegacyBusType, PNPBus);
        EXPECT_EQ(busInformation.BusNumber, 0u);
    });
}

struct AddFailureCase {
    const char* name;
    const char* failing; // framework routine made to fail, or nullptr for the registry row
    NTSTATUS status;
    std::vector<const char*> notCalled;
};

TEST_F(BusParentTest, AFailingStepFailsDeviceAddAndLeavesTheCollectionAlone) {
    const AddFailureCase cases[] = {
        {"instance number", nullptr, STATUS_ACCESS_DENIED, {"WdfDeviceCreate", "WdfIoQueueCreate"}},
        {"device creation", "WdfDeviceCreate", STATUS_INSUFFICIENT_RESOURCES, {"WdfIoQueueCreate"}},
        {"default queue", "WdfIoQueueCreate", STATUS_INSUFFICIENT_RESOURCES, {}},
    };
    for (const AddFailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        zv::test::ScopedSim sim;
        capture(sim.sched());
        sim.runInFiber([&] {
            BusDriver bus;
            // A prepared parent of another device instance, and then a failing add of a new one.
            WDFDEVICE other = bus.add(kPhoneA);
            ASSERT_EQ(bus.prepare(other), STATUS_SUCCESS);
            size_t callsBefore = frameworkFaults().calls().size();
            if (c.failing != nullptr) {
                frameworkFaults().fail(c.failing, c.status);
            } else {
                zv::kernel::RegFault fault;
                fault.op = zv::kernel::RegOp::Open;
                fault.keyPath = zv::test::busParametersPath();
                fault.status = c.status;
                registry().addFault(fault);
            }
            NTSTATUS status = STATUS_SUCCESS;
            EXPECT_EQ(bus.add(kPhoneB, &status), nullptr);
            EXPECT_EQ(status, c.status);
            const auto& calls = frameworkFaults().calls();
            for (size_t i = callsBefore; i < calls.size(); ++i)
                for (const char* routine : c.notCalled)
                    EXPECT_NE(calls[i].routine, routine);
            // A device made and deleted again was never a member: its cleanup leaves the others be.
            EXPECT_EQ(bus.members(), std::vector<WDFDEVICE>{other});
            EXPECT_FALSE(parentContext(other)->EnumChildrenPending);
        });
    }
}

TEST_F(BusParentTest, D0CallbacksRecordThePowerStateAndSucceed) {
    struct Case {
        bool entry;
        WDF_POWER_DEVICE_STATE given;
        WDF_POWER_DEVICE_STATE recorded;
    };
    const Case cases[] = {
        {true, WdfPowerDeviceD3, WdfPowerDeviceD0},
        {true, WdfPowerDeviceD3Final, WdfPowerDeviceD0},
        {false, WdfPowerDeviceD3, WdfPowerDeviceD3},
        {false, WdfPowerDeviceD3Final, WdfPowerDeviceD3Final},
        {false, WdfPowerDevicePrepareForHibernation, WdfPowerDevicePrepareForHibernation},
    };
    runInFiber([&] {
        BusDriver bus;
        WDFDEVICE parent = bus.add(kPhoneA);
        ASSERT_NE(parent, nullptr);
        EXPECT_EQ(parentContext(parent)->DevicePowerState, WdfPowerDeviceInvalid);
        for (const Case& c : cases) {
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            zv::wdf::invokeCallback(deviceOf(parent), c.entry ? "EvtDeviceD0Entry" : "EvtDeviceD0Exit", [&] {
                status = c.entry ? ParentFdoEvtDeviceD0Entry(parent, c.given)
                                 : ParentFdoEvtDeviceD0Exit(parent, c.given);
            });
            EXPECT_EQ(status, STATUS_SUCCESS) << c.entry << " " << c.given;
            EXPECT_EQ(parentContext(parent)->DevicePowerState, c.recorded) << c.entry << " " << c.given;
        }
    });
    EXPECT_NE(output.find("ParentFdoEvtDeviceD0Exit(dev=0x"), std::string::npos);
    EXPECT_NE(output.find(" - moving to WdfPowerDevicePrepareForHibernation\n"), std::string::npos) << output;
}

} // namespace
