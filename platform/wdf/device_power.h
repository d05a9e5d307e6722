// The power side of a framework device: IRP_MJ_POWER and the device's D0 entry and exit.
//
// A system power IRP (S-IRP) reaches every device of a stack; the power policy owner (a function driver's
// device, unless it gave the role up) turns it into a device power IRP (D-IRP) for the whole stack: the
// device state its capabilities map the system state to on the way down, D0 on the way back. A D-IRP going
// down leaves D0 before it passes on; one going up passes on first and enters D0 when the devices below
// are powered. While a system transition is under way, the device knows its power action
// (WdfDeviceGetSystemPowerAction).
//
// Leaving D0: EvtDeviceSelfManagedIoSuspend, the power-managed queues' stop pass, the pre-interrupts and
// D0-exit callbacks, then the default I/O target stops (sent I/O left pending). Entering D0 is the mirror:
// the target starts, D0 entry and its post-interrupts callback, the queues resume, then self-managed I/O
// is initialised (first time) or restarted.
#ifndef ZV_WDF_DEVICE_POWER_H
#define ZV_WDF_DEVICE_POWER_H

#include <ntddk.h>
#include <wdf.h>

namespace zv::wdf {

class Device;

class DevicePower {
public:
    explicit DevicePower(Device& device) : device_(device) {}
    DevicePower(const DevicePower&) = delete;
    DevicePower& operator=(const DevicePower&) = delete;

    // The device's IRP_MJ_POWER dispatch.
    NTSTATUS dispatch(PIRP irp);

    // WdfPowerDeviceD0 while in D0; the state it left D0 for otherwise (WdfPowerDeviceD3Final before the
    // first start and after removal).
    WDF_POWER_DEVICE_STATE state() const { return state_; }
    bool inD0() const { return state_ == WdfPowerDeviceD0; }
    POWER_ACTION systemAction() const { return systemAction_; }
    SYSTEM_POWER_STATE systemState() const { return systemState_; }

    // The Plug and Play side's power transitions (start, stop, removal). enterD0 undoes what it did when
    // a callback fails and returns that status.
    NTSTATUS enterD0(WDF_POWER_DEVICE_STATE previous);
    // A failing D0-exit callback does not stop the device leaving D0; its status is returned.
    NTSTATUS leaveD0(WDF_POWER_DEVICE_STATE target);
    // Self-managed I/O at removal: flush after the hardware is released, cleanup once the queues are
    // purged (both only when it was initialised).
    void flushSelfManagedIo();
    void cleanupSelfManagedIo();

    // The device states for each system state, from the capabilities the stack reported.
    void rememberDeviceStates(const DEVICE_CAPABILITIES& capabilities);

private:
    NTSTATUS systemPower(PIRP irp);
    NTSTATUS devicePower(PIRP irp);
    // The D-IRP the power policy owner sends to the top of its stack; returns its status.
    NTSTATUS requestDevicePower(DEVICE_POWER_STATE state);
    DEVICE_POWER_STATE deviceStateFor(SYSTEM_POWER_STATE system) const;

    Device& device_;
    WDF_POWER_DEVICE_STATE state_ = WdfPowerDeviceD3Final;
    POWER_ACTION systemAction_ = PowerActionNone;
    SYSTEM_POWER_STATE systemState_ = PowerSystemWorking;
    DEVICE_POWER_STATE deviceStates_[POWER_SYSTEM_MAXIMUM] = {};
    bool deviceStatesKnown_ = false;
    bool selfManagedIoInitialised_ = false;
};

} // namespace zv::wdf

#endif // ZV_WDF_DEVICE_POWER_H
