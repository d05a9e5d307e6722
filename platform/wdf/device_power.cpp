// The framework's IRP_MJ_POWER handling for a device and its D0 entry and exit sequences.
#include "platform/wdf/device_power.h"

#include "platform/wdf/device.h"
#include "platform/wdf/device_stack.h"

namespace zv::wdf {

namespace {

WDFDEVICE handleOf(const Device& device) {
    return static_cast<WDFDEVICE>(device.handle());
}

WDF_POWER_DEVICE_STATE frameworkState(DEVICE_POWER_STATE state) {
    switch (state) {
        case PowerDeviceD0:
            return WdfPowerDeviceD0;
        case PowerDeviceD1:
            return WdfPowerDeviceD1;
        case PowerDeviceD2:
            return WdfPowerDeviceD2;
        default:
            return WdfPowerDeviceD3;
    }
}

NTSTATUS passOn(Device& device, PIRP irp) {
    if (PDEVICE_OBJECT lower = device.attachedDevice())
        return passDown(lower, irp);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Power IRPs succeed where the stack ends.
NTSTATUS below(Device& device, PIRP irp) {
    if (PDEVICE_OBJECT lower = device.attachedDevice())
        return forwardAndWait(lower, irp);
    irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}

NTSTATUS succeedAndPassOn(Device& device, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return passOn(device, irp);
}

} // namespace

NTSTATUS DevicePower::dispatch(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_SET_POWER:
            return stack->Parameters.Power.Type == SystemPowerState ? systemPower(irp) : devicePower(irp);
        case IRP_MN_QUERY_POWER:
            // The framework never refuses a power transition on the driver's behalf.
            return succeedAndPassOn(device_, irp);
        default:
            return passOn(device_, irp);
    }
}

NTSTATUS DevicePower::systemPower(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    SYSTEM_POWER_STATE target = stack->Parameters.Power.State.SystemState;
    if (!device_.settings().powerPolicyOwner || !device_.pnp().started()) {
        systemState_ = target;
        return succeedAndPassOn(device_, irp);
    }
    systemAction_ = stack->Parameters.Power.ShutdownType;
    if (target == PowerSystemWorking) {
        // Waking: the devices below come back first, then this stack returns to D0.
        NTSTATUS status = below(device_, irp);
        systemState_ = target;
        if (!inD0())
            requestDevicePower(PowerDeviceD0);
        systemAction_ = PowerActionNone;
        return completeIrp(irp, status);
    }
    systemState_ = target;
    if (inD0())
        requestDevicePower(deviceStateFor(target));
    return succeedAndPassOn(device_, irp);
}

NTSTATUS DevicePower::devicePower(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    DEVICE_POWER_STATE target = stack->Parameters.Power.State.DeviceState;
    if (target == PowerDeviceD0) {
        NTSTATUS status = below(device_, irp);
        if (NT_SUCCESS(status) && !inD0() && device_.pnp().started())
            status = enterD0(state_);
        return completeIrp(irp, status);
    }
    if (inD0())
        leaveD0(frameworkState(target));
    return succeedAndPassOn(device_, irp);
}

NTSTATUS DevicePower::requestDevicePower(DEVICE_POWER_STATE state) {
    PDEVICE_OBJECT self = device_.deviceObject();
    if (self == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    // The D-IRP travels the whole stack from its top, as the power manager sends it.
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(self);
    POWER_ACTION action = systemAction_;
    IrpResult result = sendAndWait(top, IRP_MJ_POWER, IRP_MN_SET_POWER, [&](IO_STACK_LOCATION& s) {
        s.Parameters.Power.Type = DevicePowerState;
        s.Parameters.Power.State.DeviceState = state;
        s.Parameters.Power.ShutdownType = action;
    });
    ObDereferenceObject(top);
    return result.status;
}

DEVICE_POWER_STATE DevicePower::deviceStateFor(SYSTEM_POWER_STATE system) const {
    if (deviceStatesKnown_ && system >= 0 && system < POWER_SYSTEM_MAXIMUM) {
        DEVICE_POWER_STATE mapped = deviceStates_[system];
        if (mapped == PowerDeviceD1 || mapped == PowerDeviceD2 || mapped == PowerDeviceD3)
            return mapped;
    }
    return PowerDeviceD3;
}

void DevicePower::rememberDeviceStates(const DEVICE_CAPABILITIES& capabilities) {
    for (int s = 0; s < POWER_SYSTEM_MAXIMUM; ++s)
        deviceStates_[s] = capabilities.DeviceState[s];
    deviceStatesKnown_ = true;
}

NTSTATUS DevicePower::enterD0(WDF_POWER_DEVICE_STATE previous) {
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = device_.settings().pnpPower;
    WDFDEVICE device = handleOf(device_);
    WDFIOTARGET target = defaultIoTarget(device_);
    if (target != nullptr)
        WdfIoTargetStart(target);
    NTSTATUS status = STATUS_SUCCESS;
    if (callbacks.EvtDeviceD0Entry != nullptr)
        invokeCallback(&device_, "EvtDeviceD0Entry",
                       [&] { status = callbacks.EvtDeviceD0Entry(device, previous); });
    if (NT_SUCCESS(status) && callbacks.EvtDeviceD0EntryPostInterruptsEnabled != nullptr) {
        invokeCallback(&device_, "EvtDeviceD0EntryPostInterruptsEnabled",
                       [&] { status = callbacks.EvtDeviceD0EntryPostInterruptsEnabled(device, previous); });
        if (!NT_SUCCESS(status) && callbacks.EvtDeviceD0Exit != nullptr)
            invokeCallback(&device_, "EvtDeviceD0Exit", [&] { callbacks.EvtDeviceD0Exit(device, previous); });
    }
    if (!NT_SUCCESS(status)) {
        if (target != nullptr)
            WdfIoTargetStop(target, WdfIoTargetLeaveSentIoPending);
        return status;
    }
    state_ = WdfPowerDeviceD0;
    ioPowerUp(device_);
    if (!selfManagedIoInitialised_) {
        if (callbacks.EvtDeviceSelfManagedIoInit != nullptr)
            invokeCallback(&device_, "EvtDeviceSelfManagedIoInit",
                           [&] { status = callbacks.EvtDeviceSelfManagedIoInit(device); });
        if (!NT_SUCCESS(status)) {
            leaveD0(previous);
            return status;
        }
        selfManagedIoInitialised_ = true;
    } else if (callbacks.EvtDeviceSelfManagedIoRestart != nullptr) {
        invokeCallback(&device_, "EvtDeviceSelfManagedIoRestart",
                       [&] { status = callbacks.EvtDeviceSelfManagedIoRestart(device); });
    }
    return status;
}

NTSTATUS DevicePower::leaveD0(WDF_POWER_DEVICE_STATE target) {
    const WDF_PNPPOWER_EVENT_CALLBACKS& callbacks = device_.settings().pnpPower;
    WDFDEVICE device = handleOf(device_);
    if (selfManagedIoInitialised_ && callbacks.EvtDeviceSelfManagedIoSuspend != nullptr)
        invokeCallback(&device_, "EvtDeviceSelfManagedIoSuspend",
                       [&] { callbacks.EvtDeviceSelfManagedIoSuspend(device); });
    // The power-managed queues stop presenting and their requests are suspended before the driver is
    // told the device leaves D0.
    ioPowerDown(device_);
    if (callbacks.EvtDeviceD0ExitPreInterruptsDisabled != nullptr)
        invokeCallback(&device_, "EvtDeviceD0ExitPreInterruptsDisabled",
                       [&] { callbacks.EvtDeviceD0ExitPreInterruptsDisabled(device, target); });
    NTSTATUS status = STATUS_SUCCESS;
    if (callbacks.EvtDeviceD0Exit != nullptr)
        invokeCallback(&device_, "EvtDeviceD0Exit",
                       [&] { status = callbacks.EvtDeviceD0Exit(device, target); });
    if (WDFIOTARGET ioTarget = defaultIoTarget(device_))
        WdfIoTargetStop(ioTarget, WdfIoTargetLeaveSentIoPending);
    state_ = target;
    return status;
}

void DevicePower::flushSelfManagedIo() {
    if (auto flush = device_.settings().pnpPower.EvtDeviceSelfManagedIoFlush;
        selfManagedIoInitialised_ && flush)
        invokeCallback(&device_, "EvtDeviceSelfManagedIoFlush", [&] { flush(handleOf(device_)); });
}

void DevicePower::cleanupSelfManagedIo() {
    if (!selfManagedIoInitialised_)
        return;
    selfManagedIoInitialised_ = false;
    if (auto cleanup = device_.settings().pnpPower.EvtDeviceSelfManagedIoCleanup)
        invokeCallback(&device_, "EvtDeviceSelfManagedIoCleanup", [&] { cleanup(handleOf(device_)); });
}

} // namespace zv::wdf
