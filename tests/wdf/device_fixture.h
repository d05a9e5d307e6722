// The fixture of the device side's tests. The test plays a function driver whose device-add and Plug and
// Play / power callbacks call the hooks the test sets (kept per machine) and record their names; its
// device sits on a physical device object of the root bus, as under the Plug and Play manager, and the test
// sends it the manager's IRPs itself.
#ifndef ZV_TESTS_WDF_DEVICE_FIXTURE_H
#define ZV_TESTS_WDF_DEVICE_FIXTURE_H

#include "tests/support/sim_test.h"

#include "platform/kernel/device_object.h"
#include "platform/pnp/root_bus.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device_stack.h"
#include "platform/wdf/driver.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zv::test {

struct DeviceHooks {
    explicit DeviceHooks(sim::Scheduler&) {}
    // Sets the device-init record up before WdfDeviceCreate; a failure is device add's result.
    std::function<NTSTATUS(PWDFDEVICE_INIT)> configure;
    // Runs after WdfDeviceCreate succeeded; its status is device add's.
    std::function<NTSTATUS(WDFDEVICE)> created;
    std::function<NTSTATUS()> prepareHardware;
    std::function<NTSTATUS()> d0Entry;
    std::vector<std::string> events;
    WDFDEVICE device = nullptr;
};

inline DeviceHooks& deviceHooks() {
    return sim::Scheduler::current()->service<DeviceHooks>();
}

namespace device_callbacks {

inline void record(std::string event) {
    deviceHooks().events.push_back(std::move(event));
}

inline NTSTATUS PrepareHardware(WDFDEVICE, WDFCMRESLIST, WDFCMRESLIST) {
    record("PrepareHardware");
    return deviceHooks().prepareHardware ? deviceHooks().prepareHardware() : STATUS_SUCCESS;
}
inline NTSTATUS ReleaseHardware(WDFDEVICE, WDFCMRESLIST) {
    record("ReleaseHardware");
    return STATUS_SUCCESS;
}
inline NTSTATUS D0Entry(WDFDEVICE device, WDF_POWER_DEVICE_STATE previous) {
    record("D0Entry " + std::to_string(previous) + " " +
           std::to_string(WdfDeviceGetSystemPowerAction(device)));
    return deviceHooks().d0Entry ? deviceHooks().d0Entry() : STATUS_SUCCESS;
}
inline NTSTATUS D0Exit(WDFDEVICE device, WDF_POWER_DEVICE_STATE target) {
    record("D0Exit " + std::to_string(target) + " " + std::to_string(WdfDeviceGetSystemPowerAction(device)));
    return STATUS_SUCCESS;
}
inline VOID SurpriseRemoval(WDFDEVICE) {
    record("SurpriseRemoval");
}
inline NTSTATUS QueryRemove(WDFDEVICE) {
    record("QueryRemove");
    return STATUS_SUCCESS;
}
inline NTSTATUS QueryStop(WDFDEVICE) {
    record("QueryStop");
    return STATUS_SUCCESS;
}
inline VOID UsageNotification(WDFDEVICE, WDF_SPECIAL_FILE_TYPE type, BOOLEAN inPath) {
    record("Usage " + std::to_string(type) + " " + std::to_string(inPath));
}
inline VOID Cleanup(WDFOBJECT) {
    record("Cleanup");
}

inline NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    DeviceHooks& hooks = deviceHooks();
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = PrepareHardware;
    callbacks.EvtDeviceReleaseHardware = ReleaseHardware;
    callbacks.EvtDeviceD0Entry = D0Entry;
    callbacks.EvtDeviceD0Exit = D0Exit;
    callbacks.EvtDeviceSurpriseRemoval = SurpriseRemoval;
    callbacks.EvtDeviceQueryRemove = QueryRemove;
    callbacks.EvtDeviceQueryStop = QueryStop;
    callbacks.EvtDeviceUsageNotification = UsageNotification;
    WdfDeviceInitSetPnpPowerEventCallbacks(init, &callbacks);
    if (hooks.configure) {
        NTSTATUS status = hooks.configure(init);
        if (!NT_SUCCESS(status))
            return status;
    }
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = Cleanup;
    WDFDEVICE device = nullptr;
    NTSTATUS status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    hooks.device = device;
    return hooks.created ? hooks.created(device) : STATUS_SUCCESS;
}

inline NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, DeviceAdd);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

} // namespace device_callbacks

class FrameworkDeviceTest : public SimTest {
protected:
    static constexpr const char16_t* kInstancePath = u"ROOT\\ZVDEVICE\\0000";

    // Runs `body` on the test's fiber between loading the driver (with a PDO for it) and unloading it.
    void run(const std::function<void()>& body) {
        runInFiber([&] {
            bus_ = std::make_unique<pnp::RootBus>();
            pnp::RootDevice description;
            description.instancePath = kInstancePath;
            ASSERT_EQ(bus_->createPdo(description, &pdo_), STATUS_SUCCESS);
            kernel::setPhysicalDeviceInstance(pdo_, kInstancePath);
            record_ = std::make_unique<wdf::DriverRecord>(u"ZvDeviceTest");
            ASSERT_EQ(record_->callDriverEntry(&device_callbacks::DriverEntry), STATUS_SUCCESS);
            body();
            record_.reset();
            bus_->markMissing(pdo_);
            send(pdo_, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE);
            bus_->reapRemoved();
            bus_.reset();
        });
    }

    // The driver's device add for a device above the PDO. Returns its status; the device is device().
    NTSTATUS add() {
        wdf::DeviceInstance instance{kInstancePath, u"{4d36e97d-e325-11ce-bfc1-08002be10318}", 0};
        wdf::DeviceInit init(*record_->driver(), instance, wdf::DeviceInit::Kind::Fdo, pdo_);
        return wdf::addDevice(*record_->driver(), init);
    }

    static WDFDEVICE device() { return deviceHooks().device; }
    static wdf::Device& deviceOf(WDFDEVICE device) {
        return *static_cast<wdf::Device*>(wdf::objects().find(static_cast<WDFOBJECT>(device)));
    }
    // The events recorded since the last call.
    static std::vector<std::string> takeEvents() { return std::exchange(deviceHooks().events, {}); }

    // Sends an IRP to the top of the PDO's stack, as the Plug and Play manager does, and waits for it.
    wdf::IrpResult send(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                        const std::function<void(IO_STACK_LOCATION&)>& fill = nullptr) {
        return wdf::sendAndWait(target, major, minor, fill);
    }
    wdf::IrpResult sendToStack(UCHAR major, UCHAR minor,
                               const std::function<void(IO_STACK_LOCATION&)>& fill = nullptr) {
        PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo_);
        wdf::IrpResult result = send(top, major, minor, fill);
        ObDereferenceObject(top);
        return result;
    }
    NTSTATUS pnp(UCHAR minor) { return sendToStack(IRP_MJ_PNP, minor).status; }
    NTSTATUS systemPower(SYSTEM_POWER_STATE state, POWER_ACTION action) {
        return sendToStack(IRP_MJ_POWER, IRP_MN_SET_POWER,
                           [&](IO_STACK_LOCATION& s) {
                               s.Parameters.Power.Type = SystemPowerState;
                               s.Parameters.Power.State.SystemState = state;
                               s.Parameters.Power.ShutdownType = action;
                           })
            .status;
    }
    // IRP_MN_QUERY_CAPABILITIES with the record initialised as the Plug and Play manager does.
    DEVICE_CAPABILITIES queryCapabilities(NTSTATUS* status = nullptr) {
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof caps;
        caps.Version = 1;
        caps.Address = static_cast<ULONG>(-1);
        caps.UINumber = static_cast<ULONG>(-1);
        NTSTATUS result = sendToStack(IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& s) {
                              s.Parameters.DeviceCapabilities.Capabilities = &caps;
                          }).status;
        if (status != nullptr)
            *status = result;
        return caps;
    }

    PDEVICE_OBJECT pdo() const { return pdo_; }
    wdf::Driver& driver() const { return *record_->driver(); }

private:
    std::unique_ptr<pnp::RootBus> bus_;
    std::unique_ptr<wdf::DriverRecord> record_;
    PDEVICE_OBJECT pdo_ = nullptr;
};

} // namespace zv::test

#endif // ZV_TESTS_WDF_DEVICE_FIXTURE_H
