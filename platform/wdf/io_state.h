// The request path's per-device state (DeviceIoState: queues, the dispatching table, file objects, the
// default I/O target) and the per-machine tables that find it again: a device's state, and the request
// that holds an IRP at a given stack location. Also the few scheduling helpers every part of the request
// path shares: running work "soon" on a fiber of its own, and waiting for progress during power passes.
#ifndef ZV_WDF_IO_STATE_H
#define ZV_WDF_IO_STATE_H

#include "platform/wdf/device_io.h"
#include "platform/wdf/io_config.h"
#include "platform/wdf/object.h"
#include "platform/wdf/sync.h"

#include <functional>
#include <map>
#include <string>
#include <unordered_map>
#include <vector>

namespace zv::wdf {

class Device;
class Queue;
class Request;
class IoTarget;
class FileObject;

struct DeviceIoState {
    DeviceIoState(Device& device, IoConfig& config);
    ~DeviceIoState();
    DeviceIoState(const DeviceIoState&) = delete;
    DeviceIoState& operator=(const DeviceIoState&) = delete;

    Device& device;
    IoConfig config;
    PDEVICE_OBJECT self = nullptr;  // the device's own WDM device object
    PDEVICE_OBJECT lower = nullptr; // the device object it is attached to, if any

    std::vector<Queue*> queues; // in creation order
    Queue* defaultQueue = nullptr;
    std::map<WDF_REQUEST_TYPE, Queue*> dispatching; // WdfDeviceConfigureRequestDispatching
    IoTarget* defaultTarget = nullptr;
    std::vector<IoTarget*> targets; // every target parented below the device, the default one first
    std::unordered_map<PFILE_OBJECT, FileObject*> files;
    int opens = 0; // handles open or being opened (exclusive devices allow one)
    bool inD0 = false;
    bool removed = false; // purged for removal: queues refuse everything from now on

    // Set whenever a request of the device is completed, acknowledged or leaves the driver, so that a
    // power pass waiting for the driver can look again.
    sim::Event progress{sim::Event::Kind::Notification, false, "request progress"};

    // The queue a request of this kind goes to, or nullptr when there is none.
    Queue* route(WDF_REQUEST_TYPE type) const;
    FileObject* fileFor(PFILE_OBJECT file) const;
    // Waits (at PASSIVE_LEVEL) until `done` holds or `limit` of virtual time has gone by; false on time-out.
    bool waitFor(const std::function<bool()>& done, sim::Time limit);
};

// The state of a device; nullptr (reported for `routine`) when the device has none.
DeviceIoState* ioStateOf(Device& device);

// The request that holds an IRP at a stack location (the framework's own cancel routine finds its request
// from the IRP's current location).
void bindLocation(PIO_STACK_LOCATION location, Request* request);
void unbindLocation(PIO_STACK_LOCATION location);
Request* requestAt(PIO_STACK_LOCATION location);

// A delivered request for `irp` at its current stack location of `io`'s device, with the device's request
// attributes, bound to that location; nullptr when its context cannot be made.
Request* makeDeliveredRequest(DeviceIoState& io, PIRP irp);

// Runs `work` on a fiber of its own as soon as the scheduler gets to it: a DPC for dispatch-level work, a
// system worker for passive-level work. The request path uses it wherever running the work on the calling
// fiber could re-enter a dispatcher or a lock the caller holds.
void runSoon(std::string name, CallbackLevel level, std::function<void()> work);
// Whether the running fiber holds any lock (work that takes locks or calls drivers must then not run here).
bool holdsAnyLock();

// How long a power pass waits for the driver to acknowledge or complete before it reports and goes on.
inline constexpr sim::Time kPowerPassLimit = 30 * sim::kSecond;

} // namespace zv::wdf

#endif // ZV_WDF_IO_STATE_H
