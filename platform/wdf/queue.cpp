// Queues: presentation (the dispatch loop and when it may run on the calling fiber), the driver's start,
// stop, purge and retrieve calls with their state bits and completion callbacks, the power stop / resume
// passes and the purge at removal, and the WdfIoQueue* entry points.
#include "platform/wdf/queue.h"

#include "platform/wdf/device.h"
#include "platform/wdf/io_state.h"
#include "platform/wdf/request.h"

#include <algorithm>
#include <limits>

namespace zv::wdf {

Queue::Queue(Object* device, DeviceIoState& io, const WDF_IO_QUEUE_CONFIG& config)
    : Object(kType, device), io_(io), config_(config),
      // A function driver's queues follow the device's power state unless they say otherwise.
      powerManaged_(config.PowerManaged != WdfFalse) {}

NTSTATUS Queue::onCreated() {
    // Queue scope (its own, or the device's inherited) gives each queue a lock of its own.
    if (effectiveSynchronizationScope() == WdfSynchronizationScopeQueue) {
        auto kind = effectiveExecutionLevel() == WdfExecutionLevelPassive ? sim::Lock::Kind::Mutex
                                                                          : sim::Lock::Kind::Spin;
        queueLock_ = std::make_unique<sim::Lock>(kind, describe() + " presentation lock");
    }
    return STATUS_SUCCESS;
}

sim::Lock* Queue::callbackLock() const {
    switch (effectiveSynchronizationScope()) {
        case WdfSynchronizationScopeDevice:
            return io_.device.presentationLock();
        case WdfSynchronizationScopeQueue:
            return queueLock_.get();
        default:
            return nullptr;
    }
}

CallbackLevel Queue::level() const {
    if (sim::Lock* lock = callbackLock())
        return lock->kind() == sim::Lock::Kind::Mutex ? CallbackLevel::Passive : CallbackLevel::Dispatch;
    return effectiveExecutionLevel() == WdfExecutionLevelPassive ? CallbackLevel::Passive
                                                                 : CallbackLevel::Dispatch;
}

bool Queue::powerHeld() const {
    return powerManaged_ && !io_.inD0;
}

bool Queue::accepting() const {
    return accepting_ && !io_.removed && !closing_;
}

bool Queue::handles(WDF_REQUEST_TYPE type) const {
    if (config_.DispatchType == WdfIoQueueDispatchManual || config_.EvtIoDefault != nullptr)
        return true;
    switch (type) {
        case WdfRequestTypeRead:
            return config_.EvtIoRead != nullptr;
        case WdfRequestTypeWrite:
            return config_.EvtIoWrite != nullptr;
        case WdfRequestTypeDeviceControl:
            return config_.EvtIoDeviceControl != nullptr;
        case WdfRequestTypeDeviceControlInternal:
            return config_.EvtIoInternalDeviceControl != nullptr;
        default:
            return false;
    }
}

bool Queue::owns(const Request& request) const {
    return std::find(owned_.begin(), owned_.end(), &request) != owned_.end();
}

// ---- Arrival and presentation ----

void Queue::insert(Request& request, bool front) {
    if (!accepting()) {
        // A request the driver hands back (a stop acknowledged with requeue during a purge) is cancelled;
        // a new one is refused.
        request.setQueue(this);
        request.completeByFramework(front ? STATUS_CANCELLED : STATUS_INVALID_DEVICE_STATE);
        return;
    }
    if (!handles(request.type())) {
        request.setQueue(this);
        request.completeByFramework(STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    if (front)
        waiting_.push_front(&request);
    else
        waiting_.push_back(&request);
    request.enterQueue(*this);
    kick();
}

void Queue::cancelWaiting(Request& request) {
    auto it = std::find(waiting_.begin(), waiting_.end(), &request);
    if (it != waiting_.end())
        waiting_.erase(it);
    request.reference(this);
    reference(this);
    runSoon(describe() + " cancel", level(), [this, &request] {
        if (request.place() == Request::Place::Queued) {
            if (config_.EvtIoCanceledOnQueue != nullptr) {
                adopt(request);
                sim::Lock* lock = callbackLock();
                if (lock != nullptr)
                    lock->acquire(std::nullopt, "EvtIoCanceledOnQueue");
                invokeCallback(this, "EvtIoCanceledOnQueue",
                               [&] { config_.EvtIoCanceledOnQueue(queueHandle(), request.requestHandle()); });
                if (lock != nullptr)
                    lock->release("EvtIoCanceledOnQueue");
            } else {
                request.completeByFramework(STATUS_CANCELLED);
            }
        }
        checkStateCallbacks();
        request.dereference(this);
        dereference(this);
    });
}

void Queue::adopt(Request& request) {
    // The cancellation took the cancel routine already; the request is the driver's now.
    request.setQueue(this);
    request.handToDriver();
    owned_.push_back(&request);
}

void Queue::forget(Request& request) {
    waiting_.erase(std::remove(waiting_.begin(), waiting_.end(), &request), waiting_.end());
    owned_.erase(std::remove(owned_.begin(), owned_.end(), &request), owned_.end());
}

void Queue::released(Request& request) {
    auto it = std::find(owned_.begin(), owned_.end(), &request);
    if (it != owned_.end())
        owned_.erase(it);
    kick();
    checkStateCallbacks();
}

bool Queue::canPresent() const {
    if (waiting_.empty() || !started_ || powerHeld() || closing_)
        return false;
    switch (config_.DispatchType) {
        case WdfIoQueueDispatchSequential:
            return owned_.empty();
        case WdfIoQueueDispatchParallel:
            return config_.Settings.Parallel.NumberOfPresentedRequests == static_cast<ULONG>(-1) ||
                   owned_.size() < config_.Settings.Parallel.NumberOfPresentedRequests;
        default:
            return false;
    }
}

bool Queue::dispatchingOnCurrentFiber() const {
    sim::Fiber* self = sim::Scheduler::current()->currentFiber();
    return std::find(dispatchers_.begin(), dispatchers_.end(), self) != dispatchers_.end();
}

void Queue::kick() {
    if (!canPresent())
        return;
    sim::Scheduler& scheduler = *sim::Scheduler::current();
    sim::Fiber* self = scheduler.currentFiber();
    if (self != nullptr && dispatchingOnCurrentFiber())
        return; // the loop on this fiber presents it once the current callback returns
    const bool levelFits = level() == CallbackLevel::Dispatch || scheduler.irql() == sim::Irql::Passive;
    if (self == nullptr || holdsAnyLock() || !levelFits) {
        scheduleDispatch();
        return;
    }
    dispatchLoop();
}

void Queue::scheduleDispatch() {
    if (dispatchScheduled_)
        return;
    dispatchScheduled_ = true;
    reference(this);
    runSoon(describe() + " dispatch", level(), [this] {
        dispatchScheduled_ = false;
        dispatchLoop();
        dereference(this);
    });
}

Request* Queue::takeNext() {
    while (canPresent()) {
        Request* request = waiting_.front();
        waiting_.pop_front();
        if (request->leaveQueueToDriver())
            return request;
        // A cancellation holds it; the cancel routine finishes it.
    }
    return nullptr;
}

void Queue::dispatchLoop() {
    sim::Fiber* self = sim::Scheduler::current()->currentFiber();
    dispatchers_.push_back(self);
    reference(this);
    while (Request* request = takeNext()) {
        owned_.push_back(request);
        present(*request);
    }
    dispatchers_.erase(std::find(dispatchers_.begin(), dispatchers_.end(), self));
    dereference(this);
}

void Queue::present(Request& request) {
    request.reference(this);
    sim::Lock* lock = callbackLock();
    if (lock != nullptr)
        lock->acquire(std::nullopt, "queue presentation");
    const PIO_STACK_LOCATION s = request.location();
    const WDFQUEUE q = queueHandle();
    const WDFREQUEST r = request.requestHandle();
    switch (request.type()) {
        case WdfRequestTypeRead:
            if (config_.EvtIoRead != nullptr) {
                invokeCallback(this, "EvtIoRead",
                               [&] { config_.EvtIoRead(q, r, s->Parameters.Read.Length); });
                break;
            }
            invokeCallback(this, "EvtIoDefault", [&] { config_.EvtIoDefault(q, r); });
            break;
        case WdfRequestTypeWrite:
            if (config_.EvtIoWrite != nullptr) {
                invokeCallback(this, "EvtIoWrite",
                               [&] { config_.EvtIoWrite(q, r, s->Parameters.Write.Length); });
                break;
            }
            invokeCallback(this, "EvtIoDefault", [&] { config_.EvtIoDefault(q, r); });
            break;
        case WdfRequestTypeDeviceControl:
        case WdfRequestTypeDeviceControlInternal: {
            const bool internal = request.type() == WdfRequestTypeDeviceControlInternal;
            auto handler = internal ? config_.EvtIoInternalDeviceControl : config_.EvtIoDeviceControl;
            if (handler != nullptr) {
                const auto& p = s->Parameters.DeviceIoControl;
                invokeCallback(this, internal ? "EvtIoInternalDeviceControl" : "EvtIoDeviceControl", [&] {
                    handler(q, r, p.OutputBufferLength, p.InputBufferLength, p.IoControlCode);
                });
                break;
            }
            invokeCallback(this, "EvtIoDefault", [&] { config_.EvtIoDefault(q, r); });
            break;
        }
        default:
            invokeCallback(this, "EvtIoDefault", [&] { config_.EvtIoDefault(q, r); });
    }
    if (lock != nullptr)
        lock->release("queue presentation");
    request.dereference(this);
}

// ---- Driver calls ----

void Queue::start() {
    started_ = true;
    accepting_ = true;
    kick();
}

void Queue::stop(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait) {
    started_ = false;
    if (callback != nullptr)
        stateCallbacks_.push_back({callback, context, false});
    checkStateCallbacks();
    if (wait) {
        reference(this);
        io_.waitFor([this] { return owned_.empty(); }, std::numeric_limits<sim::Time>::max());
        dereference(this);
    }
}

void Queue::purge(PFN_WDF_IO_QUEUE_STATE callback, WDFCONTEXT context, bool wait) {
    accepting_ = false;
    if (callback != nullptr)
        stateCallbacks_.push_back({callback, context, true});
    reference(this);
    cancelWaitingAll();
    // Requests the driver owns and has marked cancelable are cancelled; the rest are the driver's to finish.
    std::vector<Request*> owned = owned_;
    for (Request* request : owned)
        if (request->cancelable() && request->irp() != nullptr)
            IoCancelIrp(request->irp());
    checkStateCallbacks();
    if (wait)
        io_.waitFor([this] { return owned_.empty() && waiting_.empty(); },
                    std::numeric_limits<sim::Time>::max());
    dereference(this);
}

void Queue::cancelWaitingAll() {
    std::deque<Request*> waiting;
    waiting.swap(waiting_);
    const bool here = !holdsAnyLock() && sim::Scheduler::current()->currentFiber() != nullptr;
    for (Request* request : waiting) {
        if (!request->leaveQueue())
            continue; // a cancellation holds it already
        if (here) {
            request->completeByFramework(STATUS_CANCELLED);
        } else {
            request->reference(this);
            reference(this);
            runSoon(describe() + " purge", CallbackLevel::Dispatch, [this, request] {
                request->completeByFramework(STATUS_CANCELLED);
                checkStateCallbacks();
                request->dereference(this);
                dereference(this);
            });
        }
    }
}

void Queue::cancelForFile(PFILE_OBJECT file) {
    std::vector<Request*> matching;
    for (Request* request : waiting_)
        if (request->location()->FileObject == file)
            matching.push_back(request);
    for (Request* request : matching) {
        waiting_.erase(std::find(waiting_.begin(), waiting_.end(), request));
        if (request->leaveQueue())
            request->completeByFramework(STATUS_CANCELLED);
    }
    checkStateCallbacks();
}

WDF_IO_QUEUE_STATE Queue::state(ULONG* queued, ULONG* owned) const {
    if (queued != nullptr)
        *queued = static_cast<ULONG>(waiting_.size());
    if (owned != nullptr)
        *owned = static_cast<ULONG>(owned_.size());
    int bits = 0;
    if (accepting())
        bits |= WdfIoQueueAcceptRequests;
    if (started_)
        bits |= WdfIoQueueDispatchRequests;
    if (waiting_.empty())
        bits |= WdfIoQueueNoRequests;
    if (owned_.empty())
        bits |= WdfIoQueueDriverNoRequests;
    if (powerHeld())
        bits |= WdfIoQueuePnpHeld;
    return static_cast<WDF_IO_QUEUE_STATE>(bits);
}

NTSTATUS Queue::retrieveNext(WDFREQUEST* out) {
    *out = nullptr;
    if (config_.DispatchType != WdfIoQueueDispatchManual) {
        reportViolation(rule::kQueueMisuse, this, "WdfIoQueueRetrieveNextRequest",
                        "only a manual queue gives its requests out on demand");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!started_ || powerHeld())
        return STATUS_WDF_PAUSED;
    while (!waiting_.empty()) {
        Request* request = waiting_.front();
        waiting_.pop_front();
        if (!request->leaveQueueToDriver())
            continue;
        owned_.push_back(request);
        *out = request->requestHandle();
        return STATUS_SUCCESS;
    }
    return STATUS_NO_MORE_ENTRIES;
}

void Queue::checkStateCallbacks() {
    std::vector<StateCallback> due;
    for (auto it = stateCallbacks_.begin(); it != stateCallbacks_.end();) {
        if (owned_.empty() && (!it->purge || waiting_.empty())) {
            due.push_back(*it);
            it = stateCallbacks_.erase(it);
        } else {
            ++it;
        }
    }
    for (const StateCallback& c : due) {
        // Delivered from a fiber of its own: the no-wait forms return first.
        reference(this);
        runSoon(describe() + (c.purge ? " purged" : " stopped"), level(), [this, c] {
            invokeCallback(this, c.purge ? "EvtIoQueuePurgeComplete" : "EvtIoQueueStopComplete",
                           [&] { c.callback(queueHandle(), c.context); });
            dereference(this);
        });
    }
}

// ---- Power and removal ----

void Queue::beginPowerDown() {
    if (!powerManaged_)
        return;
    if (config_.EvtIoStop == nullptr)
        return; // the power-down waits for the driver to complete what it owns
    std::vector<Request*> owned = owned_;
    for (Request* request : owned)
        if (owns(*request) && !request->suspended())
            request->deliverStop(WdfRequestStopActionSuspend);
}

bool Queue::powerDownSettled() const {
    if (!powerManaged_)
        return true;
    return std::all_of(owned_.begin(), owned_.end(), [](const Request* r) { return r->suspended(); });
}

void Queue::reportUnacknowledged() {
    for (Request* request : owned_) {
        if (request->suspended())
            continue;
        reportViolation(rule::kStopNotAcknowledged, request, "D0 exit",
                        config_.EvtIoStop != nullptr
                            ? "the stop callback neither acknowledged nor completed the request"
                            : "the queue has no stop callback and the driver never completed the request");
    }
}

void Queue::powerUp() {
    if (!powerManaged_)
        return;
    std::vector<Request*> owned = owned_;
    for (Request* request : owned)
        if (owns(*request) && request->suspended())
            request->deliverResume();
    kick();
}

void Queue::beginRemovalPurge() {
    accepting_ = false;
    cancelWaitingAll();
    std::vector<Request*> owned = owned_;
    for (Request* request : owned) {
        if (!owns(*request))
            continue;
        if (config_.EvtIoStop != nullptr)
            request->deliverStop(WdfRequestStopActionPurge);
        else if (request->cancelable() && request->irp() != nullptr)
            IoCancelIrp(request->irp());
    }
}

void Queue::reportNeverCompleted() {
    for (Request* request : owned_)
        reportViolation(rule::kNeverCompleted, request, "device removal",
                        "the driver still owned the request when its device went away");
}

void Queue::onCleanup() {
    closing_ = true;
    auto& queues = io_.queues;
    queues.erase(std::remove(queues.begin(), queues.end(), this), queues.end());
    if (io_.defaultQueue == this)
        io_.defaultQueue = nullptr;
    for (auto it = io_.dispatching.begin(); it != io_.dispatching.end();)
        it = it->second == this ? io_.dispatching.erase(it) : std::next(it);
    // Requests the driver still owns finish without their queue; those waiting cannot be presented any more.
    for (Request* request : owned_)
        request->setQueue(nullptr);
    owned_.clear();
    std::deque<Request*> waiting;
    waiting.swap(waiting_);
    for (Request* request : waiting)
        if (request->leaveQueue())
            request->completeByFramework(STATUS_CANCELLED);
}

} // namespace zv::wdf

// ---- Entry points ----

using namespace zv::wdf;

namespace {

zv::wdf::Queue* queueOf(WDFQUEUE handle, const char* routine) {
    return resolve<zv::wdf::Queue>(handle, routine);
}

} // namespace

EXTERN_C NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                   PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    constexpr const char* routine = "WdfIoQueueCreate";
    enterCall(routine);
    if (Queue != nullptr)
        *Queue = nullptr;
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    DeviceIoState* io = ioStateOf(*device);
    if (io == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    if (Config == nullptr || Config->Size != sizeof(WDF_IO_QUEUE_CONFIG) ||
        Config->DispatchType <= WdfIoQueueDispatchInvalid || Config->DispatchType >= WdfIoQueueDispatchMax) {
        reportViolation(rule::kBadParameter, device, routine,
                        "the config must be initialised with WDF_IO_QUEUE_CONFIG_INIT and a dispatch type");
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DispatchType == WdfIoQueueDispatchParallel &&
        Config->Settings.Parallel.NumberOfPresentedRequests == 0) {
        reportViolation(rule::kBadParameter, device, routine,
                        "a parallel queue must present at least one request");
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DispatchType != WdfIoQueueDispatchManual && Config->EvtIoDefault == nullptr &&
        Config->EvtIoRead == nullptr && Config->EvtIoWrite == nullptr &&
        Config->EvtIoDeviceControl == nullptr && Config->EvtIoInternalDeviceControl == nullptr) {
        reportViolation(rule::kBadParameter, device, routine,
                        "a queue that presents needs a request callback");
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->DefaultQueue && io->defaultQueue != nullptr) {
        reportViolation(rule::kQueueMisuse, device, routine,
                        "the device has a default queue already: " + io->defaultQueue->describe());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (QueueAttributes != nullptr && QueueAttributes->ParentObject != nullptr &&
        QueueAttributes->ParentObject != static_cast<WDFOBJECT>(Device)) {
        reportViolation(rule::kBadParameter, device, routine, "a queue's parent is its device");
        return STATUS_INVALID_PARAMETER;
    }
    if (QueueAttributes != nullptr && QueueAttributes->ExecutionLevel == WdfExecutionLevelPassive &&
        device->presentationLock() != nullptr &&
        device->presentationLock()->kind() == zv::sim::Lock::Kind::Spin &&
        QueueAttributes->SynchronizationScope != WdfSynchronizationScopeNone &&
        QueueAttributes->SynchronizationScope != WdfSynchronizationScopeQueue) {
        reportViolation(rule::kBadParameter, device, routine,
                        "a passive-level queue cannot share the device's dispatch-level presentation lock");
        return STATUS_INVALID_PARAMETER;
    }
    zv::wdf::Queue* queue = nullptr;
    NTSTATUS status = create<zv::wdf::Queue>(QueueAttributes, device, routine, &queue, *io, *Config);
    if (!NT_SUCCESS(status))
        return status;
    io->queues.push_back(queue);
    if (Config->DefaultQueue)
        io->defaultQueue = queue;
    if (Queue != nullptr)
        *Queue = queue->queueHandle();
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue,
                                                       WDF_REQUEST_TYPE RequestType) {
    constexpr const char* routine = "WdfDeviceConfigureRequestDispatching";
    enterCall(routine);
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    zv::wdf::Queue* queue = queueOf(Queue, routine);
    if (device == nullptr || queue == nullptr)
        return STATUS_INVALID_HANDLE;
    DeviceIoState* io = ioStateOf(*device);
    if (io == nullptr || &queue->io() != io) {
        reportViolation(rule::kQueueMisuse, queue, routine, "the queue belongs to another device");
        return STATUS_INVALID_PARAMETER;
    }
    switch (RequestType) {
        case WdfRequestTypeRead:
        case WdfRequestTypeWrite:
        case WdfRequestTypeDeviceControl:
        case WdfRequestTypeDeviceControlInternal:
            break;
        default:
            reportViolation(
                rule::kBadParameter, queue, routine,
                "only reads, writes and (internal) device controls can have a queue of their own");
            return STATUS_INVALID_PARAMETER;
    }
    auto it = io->dispatching.find(RequestType);
    if (it != io->dispatching.end()) {
        reportViolation(rule::kQueueMisuse, queue, routine,
                        "requests of this kind already go to " + it->second->describe());
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    io->dispatching[RequestType] = queue;
    queue->markConfigured();
    return STATUS_SUCCESS;
}

EXTERN_C WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device) {
    constexpr const char* routine = "WdfDeviceGetDefaultQueue";
    enterCall(routine);
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    if (device == nullptr)
        return nullptr;
    DeviceIoState* io = ioStateOf(*device);
    return io != nullptr && io->defaultQueue != nullptr ? io->defaultQueue->queueHandle() : nullptr;
}

EXTERN_C WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue) {
    constexpr const char* routine = "WdfIoQueueGetDevice";
    enterCall(routine);
    zv::wdf::Queue* queue = queueOf(Queue, routine);
    return queue != nullptr ? static_cast<WDFDEVICE>(queue->parent()->handle()) : nullptr;
}

EXTERN_C WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests) {
    constexpr const char* routine = "WdfIoQueueGetState";
    enterCall(routine);
    zv::wdf::Queue* queue = queueOf(Queue, routine);
    if (queue == nullptr)
        return static_cast<WDF_IO_QUEUE_STATE>(0);
    return queue->state(QueueRequests, DriverRequests);
}

EXTERN_C VOID WdfIoQueueStart(WDFQUEUE Queue) {
    constexpr const char* routine = "WdfIoQueueStart";
    enterCall(routine);
    if (zv::wdf::Queue* queue = queueOf(Queue, routine))
        queue->start();
}

EXTERN_C VOID WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context) {
    constexpr const char* routine = "WdfIoQueueStop";
    enterCall(routine);
    if (zv::wdf::Queue* queue = queueOf(Queue, routine))
        queue->stop(StopComplete, Context, false);
}

EXTERN_C VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue) {
    constexpr const char* routine = "WdfIoQueueStopSynchronously";
    enterCall(routine, true);
    if (zv::wdf::Queue* queue = queueOf(Queue, routine))
        queue->stop(nullptr, nullptr, true);
}

EXTERN_C VOID WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context) {
    constexpr const char* routine = "WdfIoQueuePurge";
    enterCall(routine);
    if (zv::wdf::Queue* queue = queueOf(Queue, routine))
        queue->purge(PurgeComplete, Context, false);
}

EXTERN_C VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue) {
    constexpr const char* routine = "WdfIoQueuePurgeSynchronously";
    enterCall(routine, true);
    if (zv::wdf::Queue* queue = queueOf(Queue, routine))
        queue->purge(nullptr, nullptr, true);
}

EXTERN_C NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest) {
    constexpr const char* routine = "WdfIoQueueRetrieveNextRequest";
    enterCall(routine);
    if (OutRequest == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *OutRequest = nullptr;
    zv::wdf::Queue* queue = queueOf(Queue, routine);
    if (queue == nullptr)
        return STATUS_INVALID_HANDLE;
    return queue->retrieveNext(OutRequest);
}
