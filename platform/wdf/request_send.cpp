// Formatting a request's next stack location and sending it to an I/O target: the framework's completion
// routine (which stops the IRP's unwinding at the request's own location, so that the driver still owns
// the request when its completion routine runs), synchronous sends, send time-outs on the virtual clock,
// send-and-forget, cancellation of a sent request, and reuse.
#include "platform/wdf/request.h"

#include "platform/wdf/io_state.h"
#include "platform/wdf/io_target.h"
#include "platform/wdf/queue.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zv::wdf {

namespace {

constexpr ULONG kKnownSendFlags = WDF_REQUEST_SEND_OPTION_TIMEOUT | WDF_REQUEST_SEND_OPTION_SYNCHRONOUS |
                                  WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE |
                                  WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET;

// The next stack location as a copy of `from` without its completion routine, as
// IoCopyCurrentIrpStackLocationToNext makes it.
void copyLocation(PIO_STACK_LOCATION to, const IO_STACK_LOCATION& from) {
    std::memcpy(to, &from, FIELD_OFFSET(IO_STACK_LOCATION, CompletionRoutine));
    to->Control = 0;
}

} // namespace

bool Request::formattable(const char* routine) {
    if (place_ == Place::Sent) {
        reportViolation(rule::kAlreadySent, this, routine, "the request is in flight to an I/O target");
        return false;
    }
    if (place_ != Place::Driver && place_ != Place::Idle) {
        reportViolation(rule::kNotOwned, this, routine, std::string("the driver does not own the request"));
        return false;
    }
    return true;
}

bool Request::nextLocation(const char* routine, PIO_STACK_LOCATION* next) {
    if (irp_ == nullptr || irp_->CurrentLocation <= 1) {
        reportViolation(rule::kNoStackLocation, this, routine,
                        "the IRP has no stack location below the request's own");
        return false;
    }
    *next = IoGetNextIrpStackLocation(irp_);
    return true;
}

void Request::formatUsingCurrentType(const char* routine) {
    if (!checkDelivered(routine) || !formattable(routine))
        return;
    PIO_STACK_LOCATION next = nullptr;
    if (!nextLocation(routine, &next))
        return;
    dropFormatting();
    IoCopyCurrentIrpStackLocationToNext(irp_);
    formattedCurrent_ = true;
    format_.type = type();
}

void Request::formatUsingStackLocation(const IO_STACK_LOCATION& stack, const char* routine) {
    if (!formattable(routine))
        return;
    PIO_STACK_LOCATION next = nullptr;
    if (!nextLocation(routine, &next))
        return;
    dropFormatting();
    copyLocation(next, stack);
    format_.type = static_cast<WDF_REQUEST_TYPE>(stack.MajorFunction);
}

void Request::formatted(const Format& format, std::vector<Memory*> references) {
    format_ = format;
    formatReferences_ = std::move(references);
    for (Memory* memory : formatReferences_) {
        memory->reference(this);
        if (auto* own = dynamic_cast<RequestMemory*>(memory))
            ++own->formatReferences;
    }
}

void Request::setSystemBuffers(void* systemBuffer, void* userBuffer) {
    if (!savedBuffers_)
        savedBuffers_ = SavedBuffers{irp_->AssociatedIrp.SystemBuffer, irp_->UserBuffer};
    irp_->AssociatedIrp.SystemBuffer = systemBuffer;
    irp_->UserBuffer = userBuffer;
}

void* Request::doubleBuffer(size_t size, void* output, size_t outputLength) {
    doubleBuffer_.assign(std::max<size_t>(size, 1), 0);
    doubleOutput_ = output;
    doubleOutputLength_ = outputLength;
    return doubleBuffer_.data();
}

void Request::restoreBuffers() {
    if (savedBuffers_ && irp_ != nullptr) {
        irp_->AssociatedIrp.SystemBuffer = savedBuffers_->systemBuffer;
        irp_->UserBuffer = savedBuffers_->userBuffer;
    }
    savedBuffers_.reset();
}

void Request::dropFormatting() {
    for (Memory* memory : formatReferences_) {
        if (auto* own = dynamic_cast<RequestMemory*>(memory))
            --own->formatReferences;
        memory->dereference(this);
    }
    formatReferences_.clear();
    restoreBuffers();
    doubleBuffer_.clear();
    doubleOutput_ = nullptr;
    doubleOutputLength_ = 0;
    format_ = Format{};
    formattedCurrent_ = false;
    targetFormat_.reset();
}

void Request::setCompletionRoutine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context) {
    completionRoutine_ = routine;
    completionContext_ = context;
}

NTSTATUS Request::allocateTimer() {
    timerAllocated_ = true;
    return STATUS_SUCCESS;
}

BOOLEAN Request::send(IoTarget& target, const WDF_REQUEST_SEND_OPTIONS* options, const char* routine) {
    auto refuse = [&](NTSTATUS status) {
        if (irp_ != nullptr)
            irp_->IoStatus.Status = status;
        return FALSE;
    };
    if (options != nullptr &&
        (options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS) || (options->Flags & ~kKnownSendFlags) != 0)) {
        reportViolation(rule::kSendOptions, this, routine,
                        "the options were not initialised with WDF_REQUEST_SEND_OPTIONS_INIT");
        return refuse(STATUS_INVALID_PARAMETER);
    }
    const ULONG flags = options != nullptr ? options->Flags : 0;
    if (place_ == Place::Sent) {
        reportViolation(rule::kAlreadySent, this, routine,
                        "the request is already in flight to an I/O target");
        return FALSE;
    }
    if (place_ != Place::Driver && place_ != Place::Idle) {
        reportViolation(rule::kNotOwned, this, routine, "the driver does not own the request");
        return FALSE;
    }
    if (cancelable_) {
        reportViolation(rule::kSendOptions, this, routine,
                        "a cancelable request must be unmarked before a send");
        return refuse(STATUS_INVALID_DEVICE_REQUEST);
    }
    if ((flags & WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) != 0) {
        if (flags != WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET) {
            reportViolation(rule::kSendOptions, this, routine, "send-and-forget goes with no other option");
            return refuse(STATUS_INVALID_PARAMETER);
        }
        if (!checkDelivered(routine))
            return refuse(STATUS_INVALID_DEVICE_REQUEST);
        if (format_.type != WdfRequestTypeNoFormat && !formattedCurrent_) {
            reportViolation(
                rule::kSendOptions, this, routine,
                "send-and-forget takes an unformatted request or one formatted with its current type");
            return refuse(STATUS_INVALID_DEVICE_REQUEST);
        }
        PIO_STACK_LOCATION next = nullptr;
        if (target.targetDevice() == nullptr || !nextLocation(routine, &next))
            return refuse(STATUS_INVALID_DEVICE_REQUEST);
        giveAway(target.targetDevice());
        return TRUE;
    }
    const bool synchronous = (flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) != 0;
    sim::Scheduler& scheduler = *sim::Scheduler::current();
    if (synchronous && scheduler.irql() != sim::Irql::Passive) {
        reportViolation(sim::rule::kPassiveOnly, this, routine,
                        std::string("a synchronous send needs PASSIVE_LEVEL; called at ") +
                            sim::irqlName(scheduler.irql()));
        return refuse(STATUS_INVALID_DEVICE_STATE);
    }
    if (origin_ == Origin::Delivered && !synchronous && completionRoutine_ == nullptr)
        return refuse(STATUS_INVALID_DEVICE_REQUEST);
    if (!isFormatted()) {
        reportViolation(rule::kSendOptions, this, routine, "the request was not formatted for the target");
        return refuse(STATUS_INVALID_DEVICE_REQUEST);
    }
    if (target.targetDevice() == nullptr)
        return refuse(STATUS_INVALID_DEVICE_STATE);
    if (static_cast<int>(irp_->CurrentLocation) - 1 < static_cast<int>(target.targetDevice()->StackSize)) {
        reportViolation(rule::kNoStackLocation, this, routine,
                        "the IRP has fewer stack locations below the request than the target's stack needs");
        return refuse(STATUS_INVALID_DEVICE_REQUEST);
    }
    NTSTATUS admitted = target.admit(flags);
    if (!NT_SUCCESS(admitted))
        return refuse(admitted);

    place_ = Place::Sent;
    ++sends_;
    sentTo_ = &target;
    sentIgnoringState_ = (flags & WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE) != 0;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&completionParams_);
    target.sent(*this);
    target.reference(this);
    reference(this); // the send's own reference, dropped when the request is back
    IoSetCompletionRoutine(irp_, &Request::sentCompletion, this, TRUE, TRUE, TRUE);
    sim::Event done(sim::Event::Kind::Notification, false, describe() + " synchronous send");
    if (synchronous) {
        syncDone_ = &done;
        reference(); // keeps the status readable after the completion routine
    }
    if ((flags & WDF_REQUEST_SEND_OPTION_TIMEOUT) != 0 && options->Timeout != 0)
        armTimeout(options->Timeout);
    PIRP irp = irp_;
    IoCallDriver(target.targetDevice(), irp);
    if (!synchronous)
        return TRUE;
    done.wait(std::nullopt, routine);
    NTSTATUS status = completionParams_.IoStatus.Status;
    dereference();
    return NT_SUCCESS(status) ? TRUE : FALSE;
}

NTSTATUS Request::sentCompletion(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<Request*>(context)->onSentComplete();
    // The IRP stops at the request's location: the driver still owns the request.
    return STATUS_MORE_PROCESSING_REQUIRED;
}

void Request::onSentComplete() {
    disarmTimeout();
    if (timedOut_ && irp_->IoStatus.Status == STATUS_CANCELLED)
        irp_->IoStatus.Status = STATUS_IO_TIMEOUT;
    timedOut_ = false;

    WDF_REQUEST_COMPLETION_PARAMS& params = completionParams_;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
    params.IoStatus = irp_->IoStatus;
    params.Type = format_.type;
    const ULONG_PTR transferred = irp_->IoStatus.Information;
    switch (format_.type) {
        case WdfRequestTypeRead:
            params.Parameters.Read.Buffer = format_.output;
            params.Parameters.Read.Length = transferred;
            params.Parameters.Read.Offset = format_.outputOffset;
            break;
        case WdfRequestTypeWrite:
            params.Parameters.Write.Buffer = format_.input;
            params.Parameters.Write.Length = transferred;
            params.Parameters.Write.Offset = format_.inputOffset;
            break;
        case WdfRequestTypeDeviceControl:
        case WdfRequestTypeDeviceControlInternal:
            params.Parameters.Ioctl.IoControlCode = format_.ioctl;
            params.Parameters.Ioctl.Input.Buffer = format_.input;
            params.Parameters.Ioctl.Input.Offset = format_.inputOffset;
            params.Parameters.Ioctl.Output.Buffer = format_.output;
            params.Parameters.Ioctl.Output.Offset = format_.outputOffset;
            params.Parameters.Ioctl.Output.Length = transferred;
            break;
        default: {
            const IO_STACK_LOCATION* next = IoGetNextIrpStackLocation(irp_);
            params.Parameters.Others.Argument1.Ptr = next->Parameters.Others.Argument1;
            params.Parameters.Others.Argument2.Ptr = next->Parameters.Others.Argument2;
            params.Parameters.Others.Argument3.Ptr = next->Parameters.Others.Argument3;
            params.Parameters.Others.Argument4.Ptr = next->Parameters.Others.Argument4;
        }
    }
    if (targetFormat_ != nullptr)
        targetFormat_->completed(irp_, params);
    if (doubleOutput_ != nullptr && NT_SUCCESS(irp_->IoStatus.Status))
        std::memcpy(doubleOutput_, doubleBuffer_.data(),
                    std::min<size_t>(static_cast<size_t>(transferred), doubleOutputLength_));
    restoreBuffers();

    IoTarget* target = sentTo_;
    sentTo_ = nullptr;
    sentIgnoringState_ = false;
    place_ = origin_ == Origin::Delivered ? Place::Driver : Place::Idle;
    target->returned(*this);
    sim::Event* done = syncDone_;
    syncDone_ = nullptr;
    if (deleteWhenBack_) {
        if (origin_ == Origin::Created) {
            if (ownsIrp_)
                IoFreeIrp(irp_);
        } else {
            // Its device went while it was in flight: it goes on up as it came back.
            place_ = Place::Completed;
            unbindLocation(location_);
            IoCompleteRequest(irp_, IO_NO_INCREMENT);
        }
        irp_ = nullptr;
    } else {
        if (origin_ == Origin::Delivered)
            io_->progress.set();
        if (completionRoutine_ != nullptr && !cleanedUp()) {
            PFN_WDF_REQUEST_COMPLETION_ROUTINE routine = completionRoutine_;
            invokeCallback(this, "EvtRequestCompletionRoutine", [&] {
                routine(requestHandle(), target->targetHandle(), &completionParams_, completionContext_);
            });
        }
    }
    if (done != nullptr)
        done->set();
    target->dereference(this);
    dereference(this);
}

void Request::armTimeout(LONGLONG timeout) {
    timerAllocated_ = true;
    sim::Scheduler& scheduler = *sim::Scheduler::current();
    sim::Time due =
        timeout < 0 ? (timeout == std::numeric_limits<LONGLONG>::min() ? std::numeric_limits<sim::Time>::max()
                                                                       : scheduler.now() - timeout)
                    : std::max<sim::Time>(timeout, scheduler.now());
    timeoutEvent_ = scheduler.at(due, describe() + " send time-out", [this, &scheduler] {
        timeoutEvent_.reset();
        timedOut_ = true;
        // IoCancelIrp runs cancel routines that take locks: it needs a fiber. The DPC runs at this same
        // instant of the virtual clock.
        reference(this);
        const uint64_t send = sends_;
        scheduler.spawnDpc(describe() + " time-out", [this, send] {
            if (place_ == Place::Sent && sends_ == send && timedOut_)
                IoCancelIrp(irp_);
            dereference(this);
        });
    });
}

void Request::disarmTimeout() {
    if (timeoutEvent_) {
        sim::Scheduler::current()->cancel(*timeoutEvent_);
        timeoutEvent_.reset();
    }
}

bool Request::cancelSent() {
    if (place_ != Place::Sent || irp_ == nullptr)
        return false;
    return IoCancelIrp(irp_) != FALSE;
}

void Request::giveAway(PDEVICE_OBJECT to) {
    if (!formattedCurrent_)
        IoCopyCurrentIrpStackLocationToNext(irp_);
    checkMemoryReleased("WdfRequestSend");
    PIRP irp = irp_;
    place_ = Place::Gone;
    unbindLocation(location_);
    irp_ = nullptr;
    format_ = Format{};
    formattedCurrent_ = false;
    IoCallDriver(to, irp);
    leaveDriver();
    queue_ = nullptr;
    deleteTree();
}

NTSTATUS Request::reuse(const WDF_REQUEST_REUSE_PARAMS& params, const char* routine) {
    if (params.Size != sizeof(WDF_REQUEST_REUSE_PARAMS) ||
        (params.Flags & ~static_cast<ULONG>(WDF_REQUEST_REUSE_SET_NEW_IRP)) != 0) {
        reportViolation(rule::kBadParameter, this, routine,
                        "the parameters were not initialised with WDF_REQUEST_REUSE_PARAMS_INIT");
        return STATUS_INVALID_PARAMETER;
    }
    if (place_ == Place::Sent) {
        reportViolation(rule::kAlreadySent, this, routine, "the request is in flight to an I/O target");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (place_ != Place::Driver && place_ != Place::Idle) {
        reportViolation(rule::kNotOwned, this, routine, "the driver does not own the request");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    const bool newIrp = (params.Flags & WDF_REQUEST_REUSE_SET_NEW_IRP) != 0;
    if (newIrp && origin_ == Origin::Delivered) {
        reportViolation(rule::kWrongRequestKind, this, routine,
                        "a request the framework delivered keeps the IRP it came with");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (newIrp && params.NewIrp == nullptr) {
        reportViolation(rule::kBadParameter, this, routine, "WDF_REQUEST_REUSE_SET_NEW_IRP with no IRP");
        return STATUS_INVALID_PARAMETER;
    }
    dropFormatting();
    completionRoutine_ = nullptr;
    completionContext_ = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS_INIT(&completionParams_);
    cancelClaimed_ = false;
    cancelScheduled_ = false;
    timedOut_ = false;
    if (cancelable_) {
        cancelable_ = false;
        IoSetCancelRoutine(irp_, nullptr);
    }
    if (newIrp) {
        if (ownsIrp_ && irp_ != nullptr)
            IoFreeIrp(irp_);
        irp_ = params.NewIrp;
        ownsIrp_ = false;
    }
    if (origin_ == Origin::Created) {
        IoReuseIrp(irp_, params.Status);
    } else {
        irp_->IoStatus.Status = params.Status;
        irp_->IoStatus.Information = 0;
    }
    return STATUS_SUCCESS;
}

} // namespace zv::wdf
