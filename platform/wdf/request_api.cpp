// The WdfRequest* entry points: argument checks, then the request's own operations (request.cpp,
// request_send.cpp). Calls that are valid on a completed request a driver still references (its status,
// its queue, cancelling it) look the handle up allowing for that; the rest treat a completed request as
// deleted.
#include "platform/wdf/device.h"
#include "platform/wdf/file_object.h"
#include "platform/wdf/io_state.h"
#include "platform/wdf/io_target.h"
#include "platform/wdf/queue.h"
#include "platform/wdf/request.h"

using namespace zv::wdf;

namespace {

zv::wdf::Request* requestOf(WDFREQUEST handle, const char* routine, bool allowCompleted = false) {
    enterCall(routine);
    return zv::wdf::Request::fromHandle(handle, routine, allowCompleted);
}

NTSTATUS createRequest(PWDF_OBJECT_ATTRIBUTES attributes, PIRP irp, bool ownsIrp, Object* defaultParent,
                       const char* routine, WDFREQUEST* out) {
    zv::wdf::Request* request = nullptr;
    NTSTATUS status = create<zv::wdf::Request>(attributes, defaultParent, routine, &request, irp, ownsIrp);
    if (!NT_SUCCESS(status))
        return status;
    *out = request->requestHandle();
    return STATUS_SUCCESS;
}

} // namespace

EXTERN_C NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                                   WDFREQUEST* Request) {
    constexpr const char* routine = "WdfRequestCreate";
    enterCall(routine);
    if (Request == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    zv::wdf::IoTarget* target = nullptr;
    if (IoTarget != nullptr) {
        target = resolve<zv::wdf::IoTarget>(IoTarget, routine);
        if (target == nullptr)
            return STATUS_INVALID_HANDLE;
    }
    // The IRP has a stack location for every device of the target's stack.
    CCHAR stackSize = 1;
    if (target != nullptr && target->targetDevice() != nullptr)
        stackSize = target->targetDevice()->StackSize;
    PIRP irp = IoAllocateIrp(stackSize, FALSE);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    Object* parent = target != nullptr && target->io() != nullptr ? &target->io()->device : nullptr;
    NTSTATUS status = createRequest(RequestAttributes, irp, true, parent, routine, Request);
    if (!NT_SUCCESS(status))
        IoFreeIrp(irp);
    return status;
}

EXTERN_C NTSTATUS WdfRequestCreateFromIrp(PWDF_OBJECT_ATTRIBUTES RequestAttributes, PIRP Irp,
                                          BOOLEAN RequestFreesIrp, WDFREQUEST* Request) {
    constexpr const char* routine = "WdfRequestCreateFromIrp";
    enterCall(routine);
    if (Request == nullptr || Irp == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "NULL IRP or output handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *Request = nullptr;
    return createRequest(RequestAttributes, Irp, RequestFreesIrp != FALSE, nullptr, routine, Request);
}

EXTERN_C NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams) {
    constexpr const char* routine = "WdfRequestReuse";
    zv::wdf::Request* request = requestOf(Request, routine);
    if (request == nullptr)
        return STATUS_INVALID_HANDLE;
    if (ReuseParams == nullptr) {
        reportViolation(rule::kBadParameter, request, routine, "no reuse parameters");
        return STATUS_INVALID_PARAMETER;
    }
    return request->reuse(*ReuseParams, routine);
}

EXTERN_C VOID WdfRequestWdmFormatUsingStackLocation(WDFREQUEST Request, PIO_STACK_LOCATION Stack) {
    constexpr const char* routine = "WdfRequestWdmFormatUsingStackLocation";
    zv::wdf::Request* request = requestOf(Request, routine);
    if (request == nullptr)
        return;
    if (Stack == nullptr) {
        reportViolation(rule::kBadParameter, request, routine, "no stack location");
        return;
    }
    request->formatUsingStackLocation(*Stack, routine);
}

EXTERN_C VOID WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request) {
    constexpr const char* routine = "WdfRequestFormatRequestUsingCurrentType";
    if (zv::wdf::Request* request = requestOf(Request, routine))
        request->formatUsingCurrentType(routine);
}

EXTERN_C BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options) {
    constexpr const char* routine = "WdfRequestSend";
    zv::wdf::Request* request = requestOf(Request, routine);
    if (request == nullptr)
        return FALSE;
    auto* target = resolve<zv::wdf::IoTarget>(Target, routine);
    if (target == nullptr) {
        if (request->irp() != nullptr)
            request->irp()->IoStatus.Status = STATUS_INVALID_HANDLE;
        return FALSE;
    }
    return request->send(*target, Options, routine);
}

EXTERN_C VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request,
                                             PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                             WDFCONTEXT CompletionContext) {
    if (zv::wdf::Request* request = requestOf(Request, "WdfRequestSetCompletionRoutine"))
        request->setCompletionRoutine(CompletionRoutine, CompletionContext);
}

EXTERN_C VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params) {
    constexpr const char* routine = "WdfRequestGetCompletionParams";
    zv::wdf::Request* request = requestOf(Request, routine);
    if (request == nullptr)
        return;
    if (Params == nullptr) {
        reportViolation(rule::kBadParameter, request, routine, "no parameter record");
        return;
    }
    request->completionParams(Params);
}

EXTERN_C NTSTATUS WdfRequestGetStatus(WDFREQUEST Request) {
    constexpr const char* routine = "WdfRequestGetStatus";
    zv::wdf::Request* request = requestOf(Request, routine, true);
    if (request == nullptr)
        return STATUS_INVALID_HANDLE;
    if (request->irp() == nullptr)
        return request->completionParams().IoStatus.Status;
    return request->irp()->IoStatus.Status;
}

EXTERN_C NTSTATUS WdfRequestAllocateTimer(WDFREQUEST Request) {
    zv::wdf::Request* request = requestOf(Request, "WdfRequestAllocateTimer");
    return request != nullptr ? request->allocateTimer() : STATUS_INVALID_HANDLE;
}

EXTERN_C BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request) {
    // The caller holds a reference: the request may have come back and even been completed meanwhile.
    zv::wdf::Request* request = requestOf(Request, "WdfRequestCancelSentRequest", true);
    return request != nullptr && request->cancelSent() ? TRUE : FALSE;
}

EXTERN_C VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status) {
    constexpr const char* routine = "WdfRequestComplete";
    if (zv::wdf::Request* request = requestOf(Request, routine, true))
        request->completeByDriver(Status, std::nullopt, IO_NO_INCREMENT, routine);
}

EXTERN_C VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information) {
    constexpr const char* routine = "WdfRequestCompleteWithInformation";
    if (zv::wdf::Request* request = requestOf(Request, routine, true))
        request->completeByDriver(Status, Information, IO_NO_INCREMENT, routine);
}

EXTERN_C VOID WdfRequestCompleteWithPriorityBoost(WDFREQUEST Request, NTSTATUS Status, CCHAR PriorityBoost) {
    constexpr const char* routine = "WdfRequestCompleteWithPriorityBoost";
    if (zv::wdf::Request* request = requestOf(Request, routine, true))
        request->completeByDriver(Status, std::nullopt, PriorityBoost, routine);
}

EXTERN_C VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information) {
    zv::wdf::Request* request = requestOf(Request, "WdfRequestSetInformation");
    if (request != nullptr && request->irp() != nullptr)
        request->irp()->IoStatus.Information = Information;
}

EXTERN_C ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request) {
    zv::wdf::Request* request = requestOf(Request, "WdfRequestGetInformation", true);
    if (request == nullptr)
        return 0;
    return request->irp() != nullptr ? request->irp()->IoStatus.Information
                                     : request->completionParams().IoStatus.Information;
}

EXTERN_C VOID WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel) {
    constexpr const char* routine = "WdfRequestMarkCancelable";
    if (zv::wdf::Request* request = requestOf(Request, routine))
        request->markCancelable(EvtRequestCancel, routine);
}

EXTERN_C NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request) {
    constexpr const char* routine = "WdfRequestUnmarkCancelable";
    zv::wdf::Request* request = requestOf(Request, routine);
    return request != nullptr ? request->unmarkCancelable(routine) : STATUS_INVALID_HANDLE;
}

EXTERN_C BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request) {
    zv::wdf::Request* request = requestOf(Request, "WdfRequestIsCanceled");
    return request != nullptr && request->isCanceled() ? TRUE : FALSE;
}

EXTERN_C VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue) {
    constexpr const char* routine = "WdfRequestStopAcknowledge";
    if (zv::wdf::Request* request = requestOf(Request, routine))
        request->stopAcknowledge(Requeue != FALSE, routine);
}

namespace {

// The two buffer retrievals differ only in the side of the request they read.
NTSTATUS retrieveBuffer(WDFREQUEST Request, bool input, size_t minimum, PVOID* Buffer, size_t* Length,
                        const char* routine) {
    zv::wdf::Request* request = requestOf(Request, routine);
    if (request == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Buffer == nullptr) {
        reportViolation(rule::kBadParameter, request, routine, "the buffer pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    return request->retrieveBuffer(input, minimum, Buffer, Length, routine);
}

} // namespace

EXTERN_C NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength,
                                                PVOID* Buffer, size_t* Length) {
    return retrieveBuffer(Request, true, MinimumRequiredLength, Buffer, Length,
                          "WdfRequestRetrieveInputBuffer");
}

EXTERN_C NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize,
                                                 PVOID* Buffer, size_t* Length) {
    return retrieveBuffer(Request, false, MinimumRequiredSize, Buffer, Length,
                          "WdfRequestRetrieveOutputBuffer");
}

EXTERN_C NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    constexpr const char* routine = "WdfRequestRetrieveInputMemory";
    zv::wdf::Request* request = requestOf(Request, routine);
    if (request == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Memory == nullptr) {
        reportViolation(rule::kBadParameter, request, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    return request->retrieveMemory(true, Memory, routine);
}

EXTERN_C NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory) {
    constexpr const char* routine = "WdfRequestRetrieveOutputMemory";
    zv::wdf::Request* request = requestOf(Request, routine);
    if (request == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Memory == nullptr) {
        reportViolation(rule::kBadParameter, request, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    return request->retrieveMemory(false, Memory, routine);
}

EXTERN_C VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters) {
    constexpr const char* routine = "WdfRequestGetParameters";
    zv::wdf::Request* request = requestOf(Request, routine);
    if (request == nullptr)
        return;
    if (Parameters == nullptr || Parameters->Size != sizeof(WDF_REQUEST_PARAMETERS)) {
        reportViolation(rule::kBadParameter, request, routine,
                        "the record must be initialised with WDF_REQUEST_PARAMETERS_INIT");
        return;
    }
    request->parameters(Parameters);
}

EXTERN_C KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request) {
    zv::wdf::Request* request = requestOf(Request, "WdfRequestGetRequestorMode");
    return request != nullptr && request->irp() != nullptr ? request->irp()->RequestorMode : KernelMode;
}

EXTERN_C WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request) {
    zv::wdf::Request* request = requestOf(Request, "WdfRequestGetIoQueue", true);
    if (request == nullptr || request->origin() != zv::wdf::Request::Origin::Delivered ||
        request->place() == zv::wdf::Request::Place::Completed || request->queue() == nullptr)
        return nullptr;
    return request->queue()->queueHandle();
}

EXTERN_C WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request) {
    zv::wdf::Request* request = requestOf(Request, "WdfRequestGetFileObject");
    if (request == nullptr)
        return nullptr;
    zv::wdf::FileObject* file = request->fileObject();
    return file != nullptr ? static_cast<WDFFILEOBJECT>(static_cast<void*>(file->handle())) : nullptr;
}

EXTERN_C PIRP WdfRequestWdmGetIrp(WDFREQUEST Request) {
    zv::wdf::Request* request = requestOf(Request, "WdfRequestWdmGetIrp");
    return request != nullptr ? request->irp() : nullptr;
}

EXTERN_C NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue) {
    constexpr const char* routine = "WdfRequestForwardToIoQueue";
    zv::wdf::Request* request = requestOf(Request, routine);
    auto* queue = resolve<zv::wdf::Queue>(DestinationQueue, routine);
    if (request == nullptr || queue == nullptr)
        return STATUS_INVALID_HANDLE;
    return request->forwardToQueue(*queue, routine);
}

EXTERN_C NTSTATUS WdfRequestRequeue(WDFREQUEST Request) {
    constexpr const char* routine = "WdfRequestRequeue";
    zv::wdf::Request* request = requestOf(Request, routine);
    return request != nullptr ? request->requeue(routine) : STATUS_INVALID_HANDLE;
}

EXTERN_C NTSTATUS WdfRequestForwardToParentDeviceIoQueue(WDFREQUEST Request, WDFQUEUE ParentDeviceQueue,
                                                         PWDF_REQUEST_FORWARD_OPTIONS ForwardOptions) {
    constexpr const char* routine = "WdfRequestForwardToParentDeviceIoQueue";
    zv::wdf::Request* request = requestOf(Request, routine);
    auto* queue = resolve<zv::wdf::Queue>(ParentDeviceQueue, routine);
    if (request == nullptr || queue == nullptr)
        return STATUS_INVALID_HANDLE;
    return request->forwardToParent(*queue, ForwardOptions, routine);
}
