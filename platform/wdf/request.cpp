// Requests: their place (queue, driver, in flight, gone, completed), completion with its ownership checks,
// cancellation (the framework's cancel routine and the driver's cancel callback, always delivered from a
// fiber of its own), the power stop / resume callbacks and their acknowledgement, buffer retrieval, and
// moving a request to another queue or to the parent device. Formatting and sending are in
// request_send.cpp.
#include "platform/wdf/request.h"

#include "platform/wdf/device.h"
#include "platform/wdf/file_object.h"
#include "platform/wdf/io_state.h"
#include "platform/wdf/io_target.h"
#include "platform/wdf/queue.h"

#include <algorithm>
#include <cstdio>

namespace zv::wdf {

namespace {

const char* placeName(Request::Place place) {
    switch (place) {
        case Request::Place::Idle:
            return "not sent";
        case Request::Place::Queued:
            return "waiting in a queue";
        case Request::Place::Driver:
            return "owned by the driver";
        case Request::Place::Sent:
            return "in flight to an I/O target";
        case Request::Place::Gone:
            return "given away (forwarded or sent and forgotten)";
        case Request::Place::Completed:
            return "completed";
    }
    return "?";
}

ULONG ioctlMethod(ULONG code) {
    return code & 3;
}

} // namespace

Request::Request(Object* parent, DeviceIoState& io, PIRP irp)
    : Object(kType, parent), origin_(Origin::Delivered), place_(Place::Driver), irp_(irp),
      location_(IoGetCurrentIrpStackLocation(irp)), io_(&io) {
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&completionParams_);
}

Request::Request(Object* parent, PIRP irp, bool ownsIrp)
    : Object(kType, parent), origin_(Origin::Created), place_(Place::Idle), irp_(irp), ownsIrp_(ownsIrp) {
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&completionParams_);
}

Request* Request::fromHandle(WDFREQUEST handle, const char* routine, bool allowFinished) {
    return resolve<Request>(handle, routine, allowFinished);
}

WDF_REQUEST_TYPE Request::type() const {
    if (location_ != nullptr)
        return static_cast<WDF_REQUEST_TYPE>(location_->MajorFunction);
    return format_.type;
}

FileObject* Request::fileObject() const {
    if (location_ == nullptr || io_ == nullptr || place_ == Place::Completed || place_ == Place::Gone)
        return nullptr;
    return io_->fileFor(location_->FileObject);
}

CallbackLevel Request::callbackLevel() const {
    return queue_ != nullptr ? queue_->level() : CallbackLevel::Dispatch;
}

sim::Lock* Request::callbackLock() const {
    return queue_ != nullptr ? queue_->callbackLock() : nullptr;
}

// ---- Placement ----

void Request::enterQueue(Queue& queue) {
    queue_ = &queue;
    place_ = Place::Queued;
    IoSetCancelRoutine(irp_, &Request::cancelRoutine);
    // Cancelled before it got here: take the routine back and cancel it in the queue.
    if (irp_->Cancel && IoSetCancelRoutine(irp_, nullptr) != nullptr)
        queue.cancelWaiting(*this);
}

bool Request::leaveQueueToDriver() {
    // A NULL routine means IoCancelIrp has taken it: the cancellation will finish the request.
    if (IoSetCancelRoutine(irp_, nullptr) == nullptr)
        return false;
    place_ = Place::Driver;
    return true;
}

bool Request::leaveQueue() {
    return IoSetCancelRoutine(irp_, nullptr) != nullptr;
}

// ---- Ownership checks ----

bool Request::checkDelivered(const char* routine) {
    if (origin_ == Origin::Delivered)
        return true;
    reportViolation(rule::kWrongRequestKind, this, routine,
                    "the request was created by the driver; only a request a queue delivered can be used so");
    return false;
}

bool Request::checkOwned(const char* routine, std::string_view ruleName) {
    if (place_ == Place::Driver)
        return true;
    reportViolation(ruleName, this, routine, std::string("the request is ") + placeName(place_));
    return false;
}

ULONG_PTR Request::checkInformation(ULONG_PTR information, const char* routine) {
    size_t limit = 0;
    bool bounded = true;
    switch (location_->MajorFunction) {
        case IRP_MJ_READ:
            limit = location_->Parameters.Read.Length;
            break;
        case IRP_MJ_WRITE:
            limit = location_->Parameters.Write.Length;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            limit = location_->Parameters.DeviceIoControl.OutputBufferLength;
            break;
        default:
            bounded = false; // internal controls and the rest carry no buffer length the framework knows
    }
    if (!bounded || information <= limit)
        return information;
    char detail[128];
    std::snprintf(detail, sizeof detail, "information %llu exceeds the %llu-byte buffer",
                  static_cast<unsigned long long>(information), static_cast<unsigned long long>(limit));
    reportViolation(rule::kInformationTooLarge, this, routine, detail);
    return limit;
}

void Request::checkMemoryReleased(const char* routine) {
    // A request formatted with its own buffer (a read passed down to a pipe, completed in its completion
    // routine) holds references of its own; they go with its formatting when it finishes.
    for (RequestMemory* memory : {inputMemory_, outputMemory_}) {
        if (memory == nullptr)
            continue;
        auto own = std::count(formatReferences_.begin(), formatReferences_.end(), memory);
        if (memory->formatReferences > own)
            reportViolation(rule::kMemoryStillReferenced, this, routine,
                            memory->describe() + " still formats another request");
    }
}

// ---- Completion ----

void Request::completeByDriver(NTSTATUS status, std::optional<ULONG_PTR> information, CCHAR boost,
                               const char* routine) {
    if (origin_ == Origin::Created) {
        reportViolation(rule::kWrongRequestKind, this, routine,
                        "a request the driver created is finished by deleting it, not by completing it");
        return;
    }
    if (place_ == Place::Completed) {
        reportViolation(rule::kCompletedTwice, this, routine, "the request was already completed");
        return;
    }
    if (!checkOwned(routine, rule::kNotOwned))
        return;
    if (cancelable_) {
        reportViolation(rule::kCompletedCancelable, this, routine,
                        "WdfRequestUnmarkCancelable must take the request back first");
        cancelable_ = false;
        IoSetCancelRoutine(irp_, nullptr);
    }
    ULONG_PTR info = checkInformation(information.value_or(irp_->IoStatus.Information), routine);
    checkMemoryReleased(routine);
    finish(status, info, boost);
}

void Request::completeByFramework(NTSTATUS status, ULONG_PTR information) {
    if (place_ == Place::Completed || place_ == Place::Gone)
        return;
    cancelable_ = false;
    finish(status, information, IO_NO_INCREMENT);
}

void Request::finish(NTSTATUS status, ULONG_PTR information, CCHAR boost) {
    PIRP irp = irp_;
    Queue* queue = queue_;
    FileObject* createFile = createFile_;
    DeviceIoState* io = io_;
    place_ = Place::Completed;
    disarmTimeout();
    dropFormatting();
    unbindLocation(location_);
    irp_ = nullptr;
    queue_ = nullptr;
    createFile_ = nullptr;
    stopPending_ = false;
    suspended_ = false;
    if (createFile != nullptr)
        createCompleted(*io, *createFile, status);
    IoSetCancelRoutine(irp, nullptr);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    completionParams_.IoStatus = irp->IoStatus; // what WdfRequestGetStatus reports from now on
    IoCompleteRequest(irp, boost);
    if (queue != nullptr)
        queue->released(*this);
    io->progress.set();
    deleteTree(); // the request's memory and context go now; references keep only the handle
}

void Request::leaveDriver() {
    if (queue_ != nullptr)
        queue_->released(*this);
    if (io_ != nullptr)
        io_->progress.set();
}

void Request::onCleanup() {
    disarmTimeout();
    if (origin_ == Origin::Delivered) {
        if (place_ == Place::Sent) {
            // Its device is going away with the request in flight: it is cancelled, and completed upward
            // when it comes back.
            deleteWhenBack_ = true;
            IoCancelIrp(irp_);
        } else if (place_ == Place::Queued || place_ == Place::Driver) {
            abandon();
        }
        return;
    }
    if (place_ == Place::Sent) {
        reportViolation(
            rule::kNotOwned, this, "WdfObjectDelete",
            "the request was deleted while in flight to an I/O target; it is freed when it returns");
        deleteWhenBack_ = true;
        IoCancelIrp(irp_);
        return;
    }
    dropFormatting();
    if (ownsIrp_ && irp_ != nullptr)
        IoFreeIrp(irp_);
    irp_ = nullptr;
}

void Request::abandon() {
    // Only a device deleted without the removal's purge gets here (a driver unloaded under its devices):
    // nothing may present or complete through the queue any more, and the IRP is not lost.
    if (queue_ != nullptr)
        queue_->forget(*this);
    queue_ = nullptr;
    PIRP irp = irp_;
    IoSetCancelRoutine(irp, nullptr);
    place_ = Place::Completed;
    abandoned_ = true;
    cancelable_ = false;
    dropFormatting();
    unbindLocation(location_);
    irp_ = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

// ---- Cancellation ----

void Request::cancelRoutine(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Request* request = requestAt(IoGetCurrentIrpStackLocation(irp));
    if (request == nullptr)
        return;
    switch (request->place_) {
        case Place::Queued:
            request->queue_->cancelWaiting(*request);
            break;
        case Place::Driver:
            if ((request->cancelable_ || request->cancelClaimed_) && !request->cancelScheduled_) {
                request->cancelable_ = false;
                request->cancelClaimed_ = true;
                request->scheduleCancelCallback();
            }
            break;
        default:
            break;
    }
}

void Request::markCancelable(PFN_WDF_REQUEST_CANCEL callback, const char* routine) {
    if (!checkDelivered(routine) || !checkOwned(routine, rule::kNotOwned))
        return;
    if (callback == nullptr) {
        reportViolation(rule::kBadParameter, this, routine, "no cancel callback");
        return;
    }
    cancelCallback_ = callback;
    if (cancelScheduled_)
        return; // its one cancellation has been delivered already
    // Already cancelled: the callback comes later from a fiber of its own, never inside this call (the
    // caller may hold the lock the callback takes).
    if (irp_->Cancel) {
        cancelClaimed_ = true;
        scheduleCancelCallback();
        return;
    }
    cancelable_ = true;
    IoSetCancelRoutine(irp_, &Request::cancelRoutine);
    if (irp_->Cancel && IoSetCancelRoutine(irp_, nullptr) != nullptr) {
        cancelable_ = false;
        cancelClaimed_ = true;
        scheduleCancelCallback();
    }
}

NTSTATUS Request::unmarkCancelable(const char* routine) {
    if (!checkDelivered(routine))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (place_ != Place::Driver)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!cancelable_)
        return cancelClaimed_ ? STATUS_CANCELLED : STATUS_INVALID_PARAMETER;
    cancelable_ = false;
    if (IoSetCancelRoutine(irp_, nullptr) != nullptr)
        return STATUS_SUCCESS;
    // IoCancelIrp holds the routine: when it runs, it delivers the cancel callback.
    cancelClaimed_ = true;
    return STATUS_CANCELLED;
}

bool Request::isCanceled() const {
    return irp_ != nullptr && irp_->Cancel;
}

void Request::scheduleCancelCallback() {
    cancelScheduled_ = true;
    Queue* queue = queue_;
    sim::Lock* lock = callbackLock();
    reference(this);
    if (queue != nullptr)
        queue->reference(this);
    runSoon(describe() + " cancel", callbackLevel(), [this, queue, lock] {
        if (lock != nullptr)
            lock->acquire(std::nullopt, "EvtRequestCancel");
        // Delivered even when another path completed the request meanwhile: the callback then finds it
        // completed (WdfRequestGetIoQueue is NULL) and leaves it alone.
        if (!abandoned_)
            invokeCallback(this, "EvtRequestCancel", [this] { cancelCallback_(requestHandle()); });
        if (lock != nullptr)
            lock->release("EvtRequestCancel");
        if (queue != nullptr)
            queue->dereference(this);
        dereference(this);
    });
}

// ---- Stop and resume ----

void Request::deliverStop(ULONG action) {
    Queue* queue = queue_;
    PFN_WDF_IO_QUEUE_IO_STOP stop = queue->config().EvtIoStop;
    ULONG flags = action | (cancelable_ ? WdfRequestStopRequestCancelable : 0);
    stopPending_ = true;
    reference(this);
    queue->reference(this);
    sim::Lock* lock = queue->callbackLock();
    if (lock != nullptr)
        lock->acquire(std::nullopt, "EvtIoStop");
    inStopOn_ = sim::Scheduler::current()->currentFiber();
    invokeCallback(queue, "EvtIoStop", [&] { stop(queue->queueHandle(), requestHandle(), flags); });
    inStopOn_ = nullptr;
    if (lock != nullptr)
        lock->release("EvtIoStop");
    queue->dereference(this);
    dereference(this);
}

void Request::deliverResume() {
    suspended_ = false;
    Queue* queue = queue_;
    PFN_WDF_IO_QUEUE_IO_RESUME resume = queue->config().EvtIoResume;
    if (resume == nullptr)
        return;
    reference(this);
    queue->reference(this);
    sim::Lock* lock = queue->callbackLock();
    if (lock != nullptr)
        lock->acquire(std::nullopt, "EvtIoResume");
    invokeCallback(queue, "EvtIoResume", [&] { resume(queue->queueHandle(), requestHandle()); });
    if (lock != nullptr)
        lock->release("EvtIoResume");
    queue->dereference(this);
    dereference(this);
}

void Request::stopAcknowledge(bool requeue, const char* routine) {
    if (!checkDelivered(routine))
        return;
    if (!stopPending_ || inStopOn_ != sim::Scheduler::current()->currentFiber()) {
        reportViolation(rule::kStopAcknowledgeOutsideStop, this, routine,
                        "only the queue's stop callback for this request may acknowledge it");
        return;
    }
    stopPending_ = false;
    if (requeue && place_ == Place::Sent) {
        reportViolation(
            rule::kQueueMisuse, this, routine,
            "a request in flight to an I/O target cannot go back to its queue; it stays suspended");
        requeue = false;
    }
    if (requeue) {
        if (cancelable_) {
            reportViolation(rule::kQueueMisuse, this, routine,
                            "a cancelable request cannot go back to its queue; unmark it first");
            cancelable_ = false;
            IoSetCancelRoutine(irp_, nullptr);
        }
        Queue* queue = queue_;
        queue->released(*this);
        queue->insert(*this, true);
    } else {
        suspended_ = true;
    }
    io_->progress.set();
}

// ---- Buffers and parameters ----

NTSTATUS Request::retrieveBuffer(bool input, size_t minimum, void** buffer, size_t* length,
                                 const char* routine) {
    if (!checkDelivered(routine))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (!ownedByDriver()) {
        reportViolation(rule::kNotOwned, this, routine, std::string("the request is ") + placeName(place_));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    void* data = nullptr;
    size_t size = 0;
    const WDF_DEVICE_IO_TYPE ioType = io_->config.ioType;
    auto readWrite = [&](size_t bytes) -> NTSTATUS {
        if (ioType == WdfDeviceIoNeither)
            return STATUS_INVALID_DEVICE_REQUEST;
        data = ioType == WdfDeviceIoDirect && irp_->MdlAddress != nullptr
                   ? MmGetSystemAddressForMdlSafe(irp_->MdlAddress, NormalPagePriority)
                   : irp_->AssociatedIrp.SystemBuffer;
        size = bytes;
        return STATUS_SUCCESS;
    };
    NTSTATUS status = STATUS_SUCCESS;
    const auto& ioctl = location_->Parameters.DeviceIoControl;
    switch (location_->MajorFunction) {
        case IRP_MJ_READ:
            status = input ? STATUS_INVALID_DEVICE_REQUEST : readWrite(location_->Parameters.Read.Length);
            break;
        case IRP_MJ_WRITE:
            status = input ? readWrite(location_->Parameters.Write.Length) : STATUS_INVALID_DEVICE_REQUEST;
            break;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
            const bool internal = location_->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL;
            const ULONG method = ioctlMethod(ioctl.IoControlCode);
            if (method == METHOD_NEITHER) {
                // Only a kernel-mode caller's internal control hands its buffers over as they are.
                if (!internal) {
                    status = STATUS_INVALID_DEVICE_REQUEST;
                } else {
                    data = input ? ioctl.Type3InputBuffer : irp_->UserBuffer;
                    size = input ? ioctl.InputBufferLength : ioctl.OutputBufferLength;
                }
            } else if (input || method == METHOD_BUFFERED) {
                data = irp_->AssociatedIrp.SystemBuffer;
                size = input ? ioctl.InputBufferLength : ioctl.OutputBufferLength;
            } else {
                data = irp_->MdlAddress != nullptr
                           ? MmGetSystemAddressForMdlSafe(irp_->MdlAddress, NormalPagePriority)
                           : nullptr;
                size = ioctl.OutputBufferLength;
            }
            break;
        }
        default:
            status = STATUS_INVALID_DEVICE_REQUEST;
    }
    if (buffer != nullptr)
        *buffer = nullptr;
    if (length != nullptr)
        *length = 0;
    if (!NT_SUCCESS(status))
        return status;
    if (data == nullptr || size == 0 || size < minimum)
        return STATUS_BUFFER_TOO_SMALL;
    if (buffer != nullptr)
        *buffer = data;
    if (length != nullptr)
        *length = size;
    return STATUS_SUCCESS;
}

NTSTATUS Request::retrieveMemory(bool input, WDFMEMORY* memory, const char* routine) {
    void* data = nullptr;
    size_t size = 0;
    NTSTATUS status = retrieveBuffer(input, 0, &data, &size, routine);
    if (!NT_SUCCESS(status))
        return status;
    RequestMemory*& slot = input ? inputMemory_ : outputMemory_;
    if (slot == nullptr || slot->buffer() != data || slot->size() != size) {
        if (slot != nullptr && slot->formatReferences == 0)
            slot->deleteTree();
        slot = new RequestMemory(this, data, size);
    }
    *memory = static_cast<WDFMEMORY>(slot->handle());
    return STATUS_SUCCESS;
}

void Request::parameters(WDF_REQUEST_PARAMETERS* out) const {
    const USHORT size = out->Size;
    memset(out, 0, sizeof *out);
    out->Size = size;
    const IO_STACK_LOCATION* s = location_;
    if (s == nullptr && irp_ != nullptr && isFormatted() && irp_->CurrentLocation > 1)
        s = IoGetNextIrpStackLocation(irp_);
    if (s == nullptr) {
        out->Type = WdfRequestTypeNoFormat;
        return;
    }
    out->MinorFunction = s->MinorFunction;
    out->Type = static_cast<WDF_REQUEST_TYPE>(s->MajorFunction);
    auto& p = out->Parameters;
    switch (s->MajorFunction) {
        case IRP_MJ_CREATE:
            p.Create.SecurityContext = s->Parameters.Create.SecurityContext;
            p.Create.Options = s->Parameters.Create.Options;
            p.Create.FileAttributes = s->Parameters.Create.FileAttributes;
            p.Create.ShareAccess = s->Parameters.Create.ShareAccess;
            p.Create.EaLength = s->Parameters.Create.EaLength;
            break;
        case IRP_MJ_READ:
            p.Read.Length = s->Parameters.Read.Length;
            p.Read.Key = s->Parameters.Read.Key;
            p.Read.DeviceOffset = s->Parameters.Read.ByteOffset.QuadPart;
            break;
        case IRP_MJ_WRITE:
            p.Write.Length = s->Parameters.Write.Length;
            p.Write.Key = s->Parameters.Write.Key;
            p.Write.DeviceOffset = s->Parameters.Write.ByteOffset.QuadPart;
            break;
        case IRP_MJ_DEVICE_CONTROL:
            p.DeviceIoControl.OutputBufferLength = s->Parameters.DeviceIoControl.OutputBufferLength;
            p.DeviceIoControl.InputBufferLength = s->Parameters.DeviceIoControl.InputBufferLength;
            p.DeviceIoControl.IoControlCode = s->Parameters.DeviceIoControl.IoControlCode;
            p.DeviceIoControl.Type3InputBuffer = s->Parameters.DeviceIoControl.Type3InputBuffer;
            break;
        default:
            // Internal controls carry their arguments (an URB first) where the stack location has them.
            p.Others.Arg1 = s->Parameters.Others.Argument1;
            p.Others.Arg2 = s->Parameters.Others.Argument2;
            p.Others.IoControlCode = s->Parameters.DeviceIoControl.IoControlCode;
            p.Others.Arg4 = s->Parameters.Others.Argument4;
            break;
    }
}

// ---- Moving between queues and devices ----

NTSTATUS Request::forwardToQueue(Queue& destination, const char* routine) {
    if (!checkDelivered(routine) || !checkOwned(routine, rule::kNotOwned))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (&destination.io() != io_ || &destination == queue_) {
        reportViolation(rule::kQueueMisuse, this, routine,
                        destination.describe() + (&destination == queue_ ? " is the request's own queue"
                                                                         : " belongs to another device"));
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (cancelable_) {
        reportViolation(rule::kQueueMisuse, this, routine, "a cancelable request cannot be forwarded");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!destination.accepting())
        return STATUS_WDF_BUSY;
    leaveDriver();
    destination.insert(*this);
    return STATUS_SUCCESS;
}

NTSTATUS Request::requeue(const char* routine) {
    if (!checkDelivered(routine) || !checkOwned(routine, rule::kNotOwned))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (queue_ == nullptr) {
        reportViolation(rule::kQueueMisuse, this, routine, "the request did not come from a queue");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (cancelable_) {
        reportViolation(rule::kQueueMisuse, this, routine, "a cancelable request cannot be requeued");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    Queue* queue = queue_;
    if (!queue->accepting())
        return STATUS_WDF_BUSY;
    leaveDriver();
    queue->insert(*this, true);
    return STATUS_SUCCESS;
}

NTSTATUS Request::forwardToParent(Queue& parentQueue, const WDF_REQUEST_FORWARD_OPTIONS* options,
                                  const char* routine) {
    if (!checkDelivered(routine) || !checkOwned(routine, rule::kNotOwned))
        return STATUS_INVALID_DEVICE_REQUEST;
    if (options == nullptr || options->Size != sizeof(WDF_REQUEST_FORWARD_OPTIONS) ||
        options->Flags != WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET) {
        reportViolation(rule::kSendOptions, this, routine,
                        "forwarding to the parent needs initialised options with send-and-forget alone");
        return STATUS_INVALID_PARAMETER;
    }
    if (!io_->config.allowForwardingToParent) {
        reportViolation(rule::kQueueMisuse, this, routine,
                        "the device's init did not call WdfPdoInitAllowForwardingRequestToParent");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (&parentQueue.io() == io_) {
        reportViolation(rule::kQueueMisuse, this, routine,
                        parentQueue.describe() + " is the device's own queue");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    // A child list's child forwards to its own parent only.
    if (Device* parentDevice = io_->device.parentDevice();
        parentDevice != nullptr && &parentQueue.io().device != parentDevice) {
        reportViolation(rule::kQueueMisuse, this, routine,
                        parentQueue.describe() + " does not belong to the child's parent device");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (cancelable_) {
        reportViolation(rule::kQueueMisuse, this, routine, "a cancelable request cannot be forwarded");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (!parentQueue.accepting())
        return STATUS_WDF_BUSY;
    if (irp_->CurrentLocation <= 1) {
        reportViolation(rule::kNoStackLocation, this, routine,
                        "the IRP has no stack location left for the parent device");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    DeviceIoState& parent = parentQueue.io();
    PIRP irp = irp_;
    checkMemoryReleased(routine);
    place_ = Place::Gone;
    unbindLocation(location_);
    irp_ = nullptr;
    // The parent sees the IRP at a stack location of its own, so that its completion unwinds through the
    // child's location and on to whoever sent the request to the child.
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetNextIrpStackLocation(irp);
    IoGetCurrentIrpStackLocation(irp)->DeviceObject = parent.self;
    IoMarkIrpPending(irp);
    leaveDriver();
    queue_ = nullptr;
    Request* moved = makeDeliveredRequest(parent, irp);
    if (moved == nullptr) {
        irp->IoStatus.Status = STATUS_INSUFFICIENT_RESOURCES;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    } else {
        parentQueue.insert(*moved);
    }
    deleteTree();
    return STATUS_SUCCESS;
}

} // namespace zv::wdf
