// The Plug and Play side of a framework device: IRP_MJ_PNP and the device's Plug and Play state.
//
// A function driver's device passes each IRP to the device below, before its own work when the IRP brings
// something up (start, cancel stop, cancel remove, capabilities) and after it when it takes something
// down (stop, removal). A device with nothing below it (a bus's child) answers in place of the bus.
//
//   start          pass down; the default I/O target starts; EvtDevicePrepareHardware; D0 entry
//                  (previous state WdfPowerDeviceD3Final, or D3 after a stop); interfaces on
//   query stop     refused while WdfDeviceSetStaticStopRemove holds it; EvtDeviceQueryStop may veto
//   stop           D0 exit (target D3); EvtDeviceReleaseHardware
//   query remove   refused while WdfDeviceSetStaticStopRemove holds it; EvtDeviceQueryRemove may veto
//   surprise       EvtDeviceSurpriseRemoval; the request path learns the device is gone; links and
//   removal        interfaces go; D0 exit (WdfPowerDeviceD3Final); EvtDeviceReleaseHardware
//   remove         (what surprise removal did not do already) D0 exit (WdfPowerDeviceD3Final), release
//                  hardware; the queues are purged; pass down; detach and delete the device object
//   relations      EvtDeviceRelationsQuery; bus relations from the device's children, if it has any
//   capabilities   pass down, then the capabilities the driver set go over the bus's answer
//   usage          pass down; EvtDeviceUsageNotification once the stack below took the special file on
#ifndef ZV_WDF_DEVICE_PNP_H
#define ZV_WDF_DEVICE_PNP_H

#include <ntddk.h>
#include <wdf.h>

namespace zv::wdf {

class Device;

enum class PnpState {
    Added, // made by device add, never started
    Started,
    QueryStopped,
    Stopped,
    QueryRemoved,
    SurpriseRemoved,
    Failed,  // a start failed; removal follows
    Removed, // the device object is deleted
};
const char* pnpStateName(PnpState state);

class DevicePnp {
public:
    explicit DevicePnp(Device& device) : device_(device) {}
    DevicePnp(const DevicePnp&) = delete;
    DevicePnp& operator=(const DevicePnp&) = delete;

    // The device's IRP_MJ_PNP dispatch.
    NTSTATUS dispatch(PIRP irp);

    PnpState state() const { return state_; }
    bool started() const {
        return state_ == PnpState::Started || state_ == PnpState::QueryStopped ||
               state_ == PnpState::QueryRemoved;
    }
    bool hardwarePrepared() const { return hardwarePrepared_; }

private:
    NTSTATUS start(PIRP irp);
    NTSTATUS startFramework();
    NTSTATUS queryStop(PIRP irp);
    NTSTATUS cancelStop(PIRP irp);
    NTSTATUS stop(PIRP irp);
    NTSTATUS queryRemove(PIRP irp);
    NTSTATUS cancelRemove(PIRP irp);
    NTSTATUS surpriseRemoval(PIRP irp);
    NTSTATUS remove(PIRP irp);
    NTSTATUS deviceRelations(PIRP irp);
    NTSTATUS capabilities(PIRP irp);
    NTSTATUS deviceState(PIRP irp);
    NTSTATUS usageNotification(PIRP irp);

    // Power-down and release of the hardware, for stop, surprise removal and removal.
    void powerDownAndRelease(WDF_POWER_DEVICE_STATE target);
    NTSTATUS releaseHardware();
    void releaseHardwareLists();

    Device& device_;
    PnpState state_ = PnpState::Added;
    PnpState stateBeforeQuery_ = PnpState::Added; // what a cancel of a query stop or remove returns to
    bool hardwarePrepared_ = false;
    WDFOBJECT resourcesRaw_ = nullptr;
    WDFOBJECT resourcesTranslated_ = nullptr;
};

} // namespace zv::wdf

#endif // ZV_WDF_DEVICE_PNP_H
