// I/O targets: started and stopped states with what a stop does to the requests in flight, the
// formatting of reads, writes and device controls for a target's device, synchronous device controls, and
// the WdfIoTarget* entry points.
#include "platform/wdf/io_target.h"

#include "platform/wdf/device.h"
#include "platform/wdf/io_state.h"
#include "platform/wdf/request.h"

#include <algorithm>
#include <limits>

namespace zv::wdf {

IoTarget::IoTarget(Object* parent, DeviceIoState* io, PDEVICE_OBJECT target, bool isDefault, ObjectType type)
    : Object(type, parent), io_(io), target_(target), isDefault_(isDefault) {}

NTSTATUS IoTarget::start(const char*) {
    if (state_ == WdfIoTargetDeleted || cleanedUp())
        return STATUS_INVALID_DEVICE_STATE;
    state_ = WdfIoTargetStarted;
    return STATUS_SUCCESS;
}

bool IoTarget::waitedFor(const Request& request) const {
    return !request.sentIgnoringState();
}

void IoTarget::stop(WDF_IO_TARGET_SENT_IO_ACTION action, const char* routine) {
    if (state_ == WdfIoTargetDeleted)
        return;
    state_ = WdfIoTargetStopped;
    switch (action) {
        case WdfIoTargetCancelSentIo:
            cancelSentIo();
            waitForSentIo(routine);
            break;
        case WdfIoTargetWaitForSentIoToComplete:
            waitForSentIo(routine);
            break;
        case WdfIoTargetLeaveSentIoPending:
            break;
        default:
            reportViolation(rule::kBadParameter, this, routine, "not a WDF_IO_TARGET_SENT_IO_ACTION");
    }
}

void IoTarget::waitForSentIo(const char* routine) {
    sim::Scheduler& scheduler = *sim::Scheduler::current();
    if (scheduler.irql() != sim::Irql::Passive) {
        reportViolation(sim::rule::kPassiveOnly, this, routine,
                        std::string("waiting for sent I/O needs PASSIVE_LEVEL; called at ") +
                            sim::irqlName(scheduler.irql()));
        return;
    }
    reference(this);
    auto busy = [this] {
        return std::any_of(sent_.begin(), sent_.end(), [this](const Request* r) { return waitedFor(*r); });
    };
    while (busy()) {
        drained_.reset();
        drained_.wait(std::nullopt, routine);
    }
    dereference(this);
}

void IoTarget::cancelSentIo() {
    // A completion may take a request out of the list while another is being cancelled.
    std::vector<Request*> sent = sent_;
    for (Request* request : sent) {
        request->reference(this);
        if (std::find(sent_.begin(), sent_.end(), request) != sent_.end())
            request->cancelSent();
        request->dereference(this);
    }
}

NTSTATUS IoTarget::admit(ULONG sendFlags) const {
    if (state_ == WdfIoTargetDeleted || cleanedUp() || target_ == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    if (state_ != WdfIoTargetStarted && (sendFlags & (WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE |
                                                      WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET)) == 0)
        return STATUS_INVALID_DEVICE_STATE;
    return STATUS_SUCCESS;
}

void IoTarget::sent(Request& request) {
    sent_.push_back(&request);
}

void IoTarget::returned(Request& request) {
    auto it = std::find(sent_.begin(), sent_.end(), &request);
    if (it != sent_.end())
        sent_.erase(it);
    drained_.set();
}

void IoTarget::onCleanup() {
    state_ = WdfIoTargetDeleted;
    if (io_ != nullptr) {
        auto& targets = io_->targets;
        targets.erase(std::remove(targets.begin(), targets.end(), this), targets.end());
        if (io_->defaultTarget == this)
            io_->defaultTarget = nullptr;
    }
    cancelSentIo();
}

} // namespace zv::wdf

// ---- Entry points ----

using namespace zv::wdf;

namespace {

IoTarget* targetOf(WDFIOTARGET handle, const char* routine) {
    return resolve<IoTarget>(handle, routine);
}

ULONG clampLength(size_t length) {
    return static_cast<ULONG>(std::min<size_t>(length, std::numeric_limits<ULONG>::max()));
}

NTSTATUS formatReadWrite(WDFIOTARGET IoTarget, WDFREQUEST Request, WDFMEMORY Memory, PWDFMEMORY_OFFSET Offset,
                         PLONGLONG DeviceOffset, bool read, const char* routine) {
    enterCall(routine);
    zv::wdf::IoTarget* target = targetOf(IoTarget, routine);
    zv::wdf::Request* request = zv::wdf::Request::fromHandle(Request, routine);
    if (target == nullptr || request == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan span;
    NTSTATUS status = memorySpanOf(Memory, Offset, routine, &span);
    if (!NT_SUCCESS(status))
        return status;
    PIO_STACK_LOCATION next = nullptr;
    if (!request->formattable(routine) || !request->nextLocation(routine, &next))
        return STATUS_INVALID_DEVICE_REQUEST;
    request->dropFormatting();
    memset(next, 0, sizeof *next);
    next->MajorFunction = read ? IRP_MJ_READ : IRP_MJ_WRITE;
    // Read and Write share one layout.
    next->Parameters.Read.Length = clampLength(span.length);
    next->Parameters.Read.ByteOffset.QuadPart = DeviceOffset != nullptr ? *DeviceOffset : 0;
    request->setSystemBuffers(span.data, span.data);
    zv::wdf::Request::Format format;
    format.type = read ? WdfRequestTypeRead : WdfRequestTypeWrite;
    (read ? format.output : format.input) = Memory;
    (read ? format.outputOffset : format.inputOffset) = span.offset;
    format.outputLength = read ? span.length : 0;
    std::vector<zv::wdf::Memory*> references;
    if (span.memory != nullptr)
        references.push_back(span.memory);
    request->formatted(format, std::move(references));
    return STATUS_SUCCESS;
}

NTSTATUS formatIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode, bool internal,
                     const MemorySpan& input, WDFMEMORY inputHandle, const MemorySpan& output,
                     WDFMEMORY outputHandle, const char* routine) {
    zv::wdf::IoTarget* target = targetOf(IoTarget, routine);
    zv::wdf::Request* request = zv::wdf::Request::fromHandle(Request, routine);
    if (target == nullptr || request == nullptr)
        return STATUS_INVALID_HANDLE;
    PIO_STACK_LOCATION next = nullptr;
    if (!request->formattable(routine) || !request->nextLocation(routine, &next))
        return STATUS_INVALID_DEVICE_REQUEST;
    request->dropFormatting();
    memset(next, 0, sizeof *next);
    next->MajorFunction = internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IoctlCode;
    next->Parameters.DeviceIoControl.InputBufferLength = clampLength(input.length);
    next->Parameters.DeviceIoControl.OutputBufferLength = clampLength(output.length);
    switch (IoctlCode & 3) {
        case METHOD_BUFFERED:
            if (input.data != nullptr && output.data != nullptr && input.data != output.data) {
                // One system buffer serves both directions, as the I/O manager's would.
                void* system =
                    request->doubleBuffer(std::max(input.length, output.length), output.data, output.length);
                memcpy(system, input.data, input.length);
                request->setSystemBuffers(system, nullptr);
            } else {
                request->setSystemBuffers(input.data != nullptr ? input.data : output.data, nullptr);
            }
            break;
        case METHOD_NEITHER:
            next->Parameters.DeviceIoControl.Type3InputBuffer = input.data;
            request->setSystemBuffers(nullptr, output.data);
            break;
        default: // the direct methods: the output travels as the caller's buffer
            request->setSystemBuffers(input.data, output.data);
            break;
    }
    zv::wdf::Request::Format format;
    format.type = internal ? WdfRequestTypeDeviceControlInternal : WdfRequestTypeDeviceControl;
    format.ioctl = IoctlCode;
    format.input = inputHandle;
    format.inputOffset = input.offset;
    format.output = outputHandle;
    format.outputOffset = output.offset;
    format.outputLength = output.length;
    std::vector<zv::wdf::Memory*> references;
    for (zv::wdf::Memory* m : {input.memory, output.memory})
        if (m != nullptr && std::find(references.begin(), references.end(), m) == references.end())
            references.push_back(m);
    request->formatted(format, std::move(references));
    return STATUS_SUCCESS;
}

NTSTATUS formatIoctlFromMemory(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode, bool internal,
                               WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                               WDFMEMORY OutputBuffer, PWDFMEMORY_OFFSET OutputBufferOffset,
                               const char* routine) {
    enterCall(routine);
    MemorySpan input, output;
    NTSTATUS status = memorySpanOf(InputBuffer, InputBufferOffset, routine, &input);
    if (NT_SUCCESS(status))
        status = memorySpanOf(OutputBuffer, OutputBufferOffset, routine, &output);
    if (!NT_SUCCESS(status))
        return status;
    return formatIoctl(IoTarget, Request, IoctlCode, internal, input, InputBuffer, output, OutputBuffer,
                       routine);
}

// A descriptor's span, and the memory object it names (NULL for a driver's buffer).
NTSTATUS spanOfDescriptor(const WDF_MEMORY_DESCRIPTOR* descriptor, const char* routine, MemorySpan* out,
                          WDFMEMORY* handle) {
    *handle = descriptor != nullptr && descriptor->Type == WdfMemoryDescriptorTypeHandle
                  ? descriptor->u.HandleType.Memory
                  : nullptr;
    return memorySpanOfDescriptor(descriptor, routine, out);
}

NTSTATUS sendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode, bool internal,
                                PWDF_MEMORY_DESCRIPTOR InputBuffer, PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned,
                                const char* routine) {
    enterCall(routine, true);
    if (BytesReturned != nullptr)
        *BytesReturned = 0;
    zv::wdf::IoTarget* target = targetOf(IoTarget, routine);
    if (target == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan input, output;
    WDFMEMORY inputHandle = nullptr, outputHandle = nullptr;
    NTSTATUS status = spanOfDescriptor(InputBuffer, routine, &input, &inputHandle);
    if (NT_SUCCESS(status))
        status = spanOfDescriptor(OutputBuffer, routine, &output, &outputHandle);
    if (!NT_SUCCESS(status))
        return status;
    // Without a request of the driver's, one is made for the call and deleted after it.
    WDFREQUEST request = Request;
    if (request == nullptr) {
        status = WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, IoTarget, &request);
        if (!NT_SUCCESS(status))
            return status;
    }
    status = formatIoctl(IoTarget, request, IoctlCode, internal, input, inputHandle, output, outputHandle,
                         routine);
    if (NT_SUCCESS(status)) {
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        if (RequestOptions != nullptr) {
            options.Flags |=
                RequestOptions->Flags & ~static_cast<ULONG>(WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
            options.Timeout = RequestOptions->Timeout;
        }
        WdfRequestSend(request, IoTarget, &options);
        status = WdfRequestGetStatus(request);
        if (BytesReturned != nullptr && NT_SUCCESS(status))
            *BytesReturned = WdfRequestWdmGetIrp(request)->IoStatus.Information;
    }
    if (Request == nullptr)
        WdfObjectDelete(request);
    return status;
}

} // namespace

EXTERN_C NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget) {
    constexpr const char* routine = "WdfIoTargetStart";
    enterCall(routine);
    zv::wdf::IoTarget* target = targetOf(IoTarget, routine);
    return target != nullptr ? target->start(routine) : STATUS_INVALID_HANDLE;
}

EXTERN_C VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action) {
    constexpr const char* routine = "WdfIoTargetStop";
    enterCall(routine);
    if (zv::wdf::IoTarget* target = targetOf(IoTarget, routine))
        target->stop(Action, routine);
}

EXTERN_C WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget) {
    constexpr const char* routine = "WdfIoTargetGetState";
    enterCall(routine);
    zv::wdf::IoTarget* target = targetOf(IoTarget, routine);
    return target != nullptr ? target->state() : WdfIoTargetStateUndefined;
}

EXTERN_C WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget) {
    constexpr const char* routine = "WdfIoTargetGetDevice";
    enterCall(routine);
    zv::wdf::IoTarget* target = targetOf(IoTarget, routine);
    if (target == nullptr || target->io() == nullptr)
        return nullptr;
    return static_cast<WDFDEVICE>(target->io()->device.handle());
}

EXTERN_C PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget) {
    constexpr const char* routine = "WdfIoTargetWdmGetTargetDeviceObject";
    enterCall(routine);
    zv::wdf::IoTarget* target = targetOf(IoTarget, routine);
    return target != nullptr ? target->targetDevice() : nullptr;
}

EXTERN_C NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                                  WDFMEMORY OutputBuffer,
                                                  PWDFMEMORY_OFFSET OutputBufferOffset,
                                                  PLONGLONG DeviceOffset) {
    return formatReadWrite(IoTarget, Request, OutputBuffer, OutputBufferOffset, DeviceOffset, true,
                           "WdfIoTargetFormatRequestForRead");
}

EXTERN_C NTSTATUS WdfIoTargetFormatRequestForWrite(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                                   WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                                   PLONGLONG DeviceOffset) {
    return formatReadWrite(IoTarget, Request, InputBuffer, InputBufferOffset, DeviceOffset, false,
                           "WdfIoTargetFormatRequestForWrite");
}

EXTERN_C NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                   WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                                   WDFMEMORY OutputBuffer,
                                                   PWDFMEMORY_OFFSET OutputBufferOffset) {
    return formatIoctlFromMemory(IoTarget, Request, IoctlCode, false, InputBuffer, InputBufferOffset,
                                 OutputBuffer, OutputBufferOffset, "WdfIoTargetFormatRequestForIoctl");
}

EXTERN_C NTSTATUS WdfIoTargetFormatRequestForInternalIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request,
                                                           ULONG IoctlCode, WDFMEMORY InputBuffer,
                                                           PWDFMEMORY_OFFSET InputBufferOffset,
                                                           WDFMEMORY OutputBuffer,
                                                           PWDFMEMORY_OFFSET OutputBufferOffset) {
    return formatIoctlFromMemory(IoTarget, Request, IoctlCode, true, InputBuffer, InputBufferOffset,
                                 OutputBuffer, OutputBufferOffset,
                                 "WdfIoTargetFormatRequestForInternalIoctl");
}

EXTERN_C NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                    PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                    PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                    PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                    PULONG_PTR BytesReturned) {
    return sendIoctlSynchronously(IoTarget, Request, IoctlCode, false, InputBuffer, OutputBuffer,
                                  RequestOptions, BytesReturned, "WdfIoTargetSendIoctlSynchronously");
}

EXTERN_C NTSTATUS WdfIoTargetSendInternalIoctlSynchronously(
    WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode, PWDF_MEMORY_DESCRIPTOR InputBuffer,
    PWDF_MEMORY_DESCRIPTOR OutputBuffer, PWDF_REQUEST_SEND_OPTIONS RequestOptions, PULONG_PTR BytesReturned) {
    return sendIoctlSynchronously(IoTarget, Request, IoctlCode, true, InputBuffer, OutputBuffer,
                                  RequestOptions, BytesReturned, "WdfIoTargetSendInternalIoctlSynchronously");
}
