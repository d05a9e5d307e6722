// The boundary between a framework device (device-init settings, Plug and Play and power) and its request
// path (queues, requests, file objects, I/O targets). The device side owns the device object and its state
// machine; the request side owns everything a request meets. Each side calls the other only through what
// is declared here.
#ifndef ZV_WDF_DEVICE_IO_H
#define ZV_WDF_DEVICE_IO_H

#include <ntddk.h>
#include <wdf.h>

#include <memory>

namespace zv::wdf {

class Device;
class DeviceInit;

// What a device-add callback said about I/O, kept in the device-init record and then in the device:
// WdfDeviceInitSetIoType, WdfDeviceInitSetRequestAttributes, WdfDeviceInitSetFileObjectConfig,
// WdfDeviceInitSetExclusive, WdfDeviceInitAssignWdmIrpPreprocessCallback. The request side implements
// those calls and defines the record; the device side only stores it.
struct IoConfig;
void destroyIoConfig(IoConfig* config);
struct IoConfigDeleter {
    void operator()(IoConfig* c) const { destroyIoConfig(c); }
};
using IoConfigPtr = std::unique_ptr<IoConfig, IoConfigDeleter>;
IoConfigPtr makeIoConfig();

// The request side's per-device state (queues, default queue, dispatching table, file objects, default
// I/O target), created by WdfDeviceCreate after the device object exists and the device is attached.
struct DeviceIoState;
void destroyDeviceIoState(DeviceIoState* state);
struct DeviceIoStateDeleter {
    void operator()(DeviceIoState* s) const { destroyDeviceIoState(s); }
};
using DeviceIoStatePtr = std::unique_ptr<DeviceIoState, DeviceIoStateDeleter>;
DeviceIoStatePtr makeDeviceIoState(Device& device, IoConfig& config);

// Every IRP that reaches the device other than IRP_MJ_PNP and IRP_MJ_POWER: create, cleanup, close,
// read, write, device controls and the rest, including WDM preprocess callbacks. Returns what the
// dispatch routine returns (STATUS_PENDING when the request stays in the framework).
NTSTATUS dispatchIoIrp(Device& device, PIRP irp);

// Power and removal, called by the device's state machine at PASSIVE_LEVEL, on the Plug and Play or power
// fiber. Each returns when the pass is over (every stop callback acknowledged or completed).
//  - powerDown: D0 exit. Power-managed queues stop presenting; each driver-owned request of them gets the
//    stop callback with WdfRequestStopActionSuspend (| cancelable bit).
//  - powerUp: D0 entry. Resume callbacks, then presentation of what waited.
//  - purgeForRemoval: after release hardware at removal: stop callback with WdfRequestStopActionPurge for
//    driver-owned requests, queued ones cancelled, power-managed queues first; every queue then refuses
//    new requests. Afterwards the verifier reports any request the driver never completed.
//  - surpriseRemoved: the device is gone; sent I/O of its targets is cancelled.
void ioPowerDown(Device& device);
void ioPowerUp(Device& device);
void ioPurgeForRemoval(Device& device);
void ioSurpriseRemoved(Device& device);

// The device's default I/O target (the next lower device object), for WdfDeviceGetIoTarget and for the
// state machine to start (D0 entry) and stop (D0 exit, removal).
WDFIOTARGET defaultIoTarget(Device& device);

} // namespace zv::wdf

#endif // ZV_WDF_DEVICE_IO_H
