// Framework I/O queues (WDFQUEUE): requests waiting to be presented, the requests presented from the queue
// that the driver still owns, and the presentation itself (sequential, parallel with a limit, or manual),
// with the queue's stop, purge and power-management states.
//
// Presentation never re-enters: a request that becomes presentable while the running fiber is already
// inside this queue's dispatch loop is presented by that loop once the current callback returns; one that
// becomes presentable while the running fiber holds a lock (the presentation lock or any other), or at a
// level the queue's callbacks cannot run at, is presented from a fiber of its own.
#ifndef ZV_WDF_QUEUE_H
#define ZV_WDF_QUEUE_H

#include "platform/wdf/object.h"
#include "platform/wdf/sync.h"

#include <deque>
#include <memory>
#include <vector>

namespace zv::wdf {

class Request;
struct DeviceIoState;

class Queue final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Queue;
    Queue(Object* device, DeviceIoState& io, const WDF_IO_QUEUE_CONFIG& config);

    WDFQUEUE queueHandle() const { return static_cast<WDFQUEUE>(static_cast<void*>(handle())); }
    bool driverDeletable() const override { return !isDefault() && !configured_; }
    sim::Lock* presentationLock() override { return callbackLock(); }
    NTSTATUS onCreated() override;

    DeviceIoState& io() const { return io_; }
    const WDF_IO_QUEUE_CONFIG& config() const { return config_; }
    bool isDefault() const { return config_.DefaultQueue != FALSE; }
    void markConfigured() { configured_ = true; }
    bool powerManaged() const { return powerManaged_; }
    bool powerHeld() const;
    bool accepting() const;
    // Whether the queue has a callback for requests of this kind (a manual queue takes every kind).
    bool handles(WDF_REQUEST_TYPE type) const;
    // The lock its callbacks run under (device or queue scope) and the level they run at.
    sim::Lock* callbackLock() const;
    CallbackLevel level() const;

    // A request for the queue: waits (at the front for a requeue) and is presented when it can be. A
    // queue that does not accept (purged, removed) completes it with STATUS_INVALID_DEVICE_STATE, or with
    // STATUS_CANCELLED when it comes back from the driver.
    void insert(Request& request, bool front = false);
    // A cancellation took a waiting request: it leaves the queue, and is completed with STATUS_CANCELLED
    // (or handed to EvtIoCanceledOnQueue) from a fiber of its own.
    void cancelWaiting(Request& request);
    // The driver no longer owns `request` (completed, forwarded, given away, requeued).
    void released(Request& request);
    // A request the queue delivered to the driver in some other way (EvtIoCanceledOnQueue).
    void adopt(Request& request);
    // The request is going with its device: out of every list, nothing presented or reported for it.
    void forget(Request& request);
    bool owns(const Request& request) const;

    // Driver calls.
    void start();
    // The wait forms return once the driver owns nothing from the queue (and, purged, nothing waits).
    void stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait);
    void purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait);
    WDF_IO_QUEUE_STATE state(ULONG* queued, ULONG* owned) const;
    NTSTATUS retrieveNext(WDFREQUEST* out);

    // Power and removal passes (device_io.h).
    void beginPowerDown();
    bool powerDownSettled() const;
    void reportUnacknowledged();
    void powerUp();
    void beginRemovalPurge();
    void reportNeverCompleted();
    // Cleanup of a handle: its requests still waiting are completed with STATUS_CANCELLED.
    void cancelForFile(PFILE_OBJECT file);

    const std::deque<Request*>& waiting() const { return waiting_; }
    const std::vector<Request*>& owned() const { return owned_; }

protected:
    void onCleanup() override;

private:
    struct StateCallback {
        PFN_WDF_IO_QUEUE_STATE callback;
        WDFCONTEXT context;
        bool purge; // fires when nothing waits either
    };
    bool canPresent() const;
    void kick();
    void scheduleDispatch();
    void dispatchLoop();
    Request* takeNext();
    void present(Request& request);
    void cancelWaitingAll();
    void checkStateCallbacks();
    bool dispatchingOnCurrentFiber() const;

    DeviceIoState& io_;
    WDF_IO_QUEUE_CONFIG config_;
    bool powerManaged_;
    bool configured_ = false;
    bool started_ = true;
    bool accepting_ = true;
    bool closing_ = false;
    std::unique_ptr<sim::Lock> queueLock_; // queue-scope presentation lock
    std::deque<Request*> waiting_;
    std::vector<Request*> owned_;
    std::vector<sim::Fiber*> dispatchers_; // fibers inside the dispatch loop
    bool dispatchScheduled_ = false;
    std::vector<StateCallback> stateCallbacks_;
};

} // namespace zv::wdf

#endif // ZV_WDF_QUEUE_H
