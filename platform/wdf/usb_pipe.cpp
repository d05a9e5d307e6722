// USB pipes (WDFUSBPIPE): an endpoint of a configured interface, as an I/O target of its own. Reads and
// writes become bulk or interrupt transfer URBs, with the framework's rules on pipe type, direction and
// packet size; abort and reset become pipe-request URBs.
#include "platform/wdf/usb_device.h"

#include "platform/wdf/io_state.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace zv::wdf {

UsbPipe::UsbPipe(Object* parent, UsbInterface& owner, const USBD_PIPE_INFORMATION& info, uint8_t settingIndex)
    : IoTarget(parent, owner.device().io(), owner.device().targetDevice(), false, kType), owner_(owner),
      pipeHandle_(info.PipeHandle) {
    if (io() != nullptr)
        io()->targets.push_back(this);
    information_.Size = sizeof information_;
    information_.MaximumPacketSize = info.MaximumPacketSize;
    information_.EndpointAddress = info.EndpointAddress;
    information_.Interval = info.Interval;
    information_.SettingIndex = settingIndex;
    information_.PipeType = UsbdPipeTypeToWdf(info.PipeType);
    information_.MaximumTransferSize = info.MaximumTransferSize;
}

} // namespace zv::wdf

// ---- Entry points ----

using namespace zv::wdf;

namespace {

UsbPipe* pipeOf(WDFUSBPIPE handle, const char* routine) {
    return resolve<UsbPipe>(handle, routine);
}

// The transfer URB for a read or a write of `span` on `pipe`, after the framework's checks.
NTSTATUS transferFormat(UsbPipe& pipe, const MemorySpan& span, WDFMEMORY handle, bool read,
                        const char* routine, std::unique_ptr<UsbFormat>* out) {
    const WDF_USB_PIPE_INFORMATION& info = pipe.information();
    if (info.PipeType != WdfUsbPipeTypeBulk && info.PipeType != WdfUsbPipeTypeInterrupt) {
        reportViolation(rule::kUsbMisuse, &pipe, routine, "reads and writes need a bulk or interrupt pipe");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (pipe.isIn() != read) {
        reportViolation(rule::kUsbMisuse, &pipe, routine,
                        read ? "a read on an OUT endpoint" : "a write on an IN endpoint");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (span.length > std::numeric_limits<ULONG>::max())
        return STATUS_INVALID_BUFFER_SIZE;
    // A read shorter than whole packets could overrun on the last one.
    if (read && pipe.packetSizeCheck() && info.MaximumPacketSize != 0 &&
        span.length % info.MaximumPacketSize != 0)
        return STATUS_INVALID_BUFFER_SIZE;
    auto format = std::make_unique<UsbFormat>(read ? WdfUsbRequestTypePipeRead : WdfUsbRequestTypePipeWrite);
    auto& t = format->ownUrb(sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER))->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = pipe.pipeHandle();
    t.TransferFlags =
        read ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK : USBD_TRANSFER_DIRECTION_OUT;
    t.TransferBufferLength = static_cast<ULONG>(span.length);
    t.TransferBuffer = span.length != 0 ? span.data : nullptr;
    auto& params = format->usbParams().Parameters;
    if (read) {
        params.PipeRead.Buffer = handle;
        params.PipeRead.Offset = span.offset;
    } else {
        params.PipeWrite.Buffer = handle;
        params.PipeWrite.Offset = span.offset;
    }
    *out = std::move(format);
    return STATUS_SUCCESS;
}

NTSTATUS formatTransfer(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY Memory, PWDFMEMORY_OFFSET Offset,
                        bool read, const char* routine) {
    enterCall(routine);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    zv::wdf::Request* request = zv::wdf::Request::fromHandle(Request, routine);
    if (pipe == nullptr || request == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan span;
    NTSTATUS status = memorySpanOf(Memory, Offset, routine, &span);
    if (!NT_SUCCESS(status))
        return status;
    std::unique_ptr<UsbFormat> format;
    status = transferFormat(*pipe, span, Memory, read, routine, &format);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<zv::wdf::Memory*> references;
    if (span.memory != nullptr)
        references.push_back(span.memory);
    return formatUrbRequest(*pipe, *request, std::move(format), std::move(references), routine);
}

NTSTATUS transferSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                               PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG Bytes, bool read,
                               const char* routine) {
    enterCall(routine, true);
    if (Bytes != nullptr)
        *Bytes = 0;
    UsbPipe* pipe = pipeOf(Pipe, routine);
    if (pipe == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan span;
    NTSTATUS status = memorySpanOfDescriptor(MemoryDescriptor, routine, &span);
    if (!NT_SUCCESS(status))
        return status;
    WDFMEMORY handle = span.memory != nullptr ? MemoryDescriptor->u.HandleType.Memory : nullptr;
    std::unique_ptr<UsbFormat> format;
    status = transferFormat(*pipe, span, handle, read, routine, &format);
    if (!NT_SUCCESS(status))
        return status;
    std::vector<zv::wdf::Memory*> references;
    if (span.memory != nullptr)
        references.push_back(span.memory);
    ULONG_PTR moved = 0;
    status = sendUrbSynchronously(*pipe, Request, RequestOptions, 0, std::move(format), std::move(references),
                                  routine, &moved);
    if (Bytes != nullptr)
        *Bytes = static_cast<ULONG>(moved);
    return status;
}

std::unique_ptr<UsbFormat> pipeRequestFormat(UsbPipe& pipe, bool reset) {
    auto format =
        std::make_unique<UsbFormat>(reset ? WdfUsbRequestTypePipeReset : WdfUsbRequestTypePipeAbort);
    auto& p = format->ownUrb(sizeof(_URB_PIPE_REQUEST))->UrbPipeRequest;
    p.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
    p.Hdr.Function = reset ? URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL : URB_FUNCTION_ABORT_PIPE;
    p.PipeHandle = pipe.pipeHandle();
    return format;
}

NTSTATUS formatPipeRequest(WDFUSBPIPE Pipe, WDFREQUEST Request, bool reset, const char* routine) {
    enterCall(routine);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    zv::wdf::Request* request = zv::wdf::Request::fromHandle(Request, routine);
    if (pipe == nullptr || request == nullptr)
        return STATUS_INVALID_HANDLE;
    return formatUrbRequest(*pipe, *request, pipeRequestFormat(*pipe, reset), {}, routine);
}

} // namespace

EXTERN_C VOID WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation) {
    constexpr const char* routine = "WdfUsbTargetPipeGetInformation";
    enterCall(routine);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    if (pipe == nullptr)
        return;
    if (PipeInformation == nullptr || PipeInformation->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
        reportViolation(rule::kBadParameter, pipe, routine,
                        "the record was not initialised with WDF_USB_PIPE_INFORMATION_INIT");
        return;
    }
    *PipeInformation = pipe->information();
}

EXTERN_C BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe) {
    constexpr const char* routine = "WdfUsbTargetPipeIsInEndpoint";
    enterCall(routine);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    return pipe != nullptr && pipe->isIn() ? TRUE : FALSE;
}

EXTERN_C BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe) {
    constexpr const char* routine = "WdfUsbTargetPipeIsOutEndpoint";
    enterCall(routine);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    return pipe != nullptr && !pipe->isIn() ? TRUE : FALSE;
}

EXTERN_C WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe) {
    constexpr const char* routine = "WdfUsbTargetPipeGetType";
    enterCall(routine);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    return pipe != nullptr ? pipe->information().PipeType : WdfUsbPipeTypeInvalid;
}

EXTERN_C VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe) {
    constexpr const char* routine = "WdfUsbTargetPipeSetNoMaximumPacketSizeCheck";
    enterCall(routine);
    if (UsbPipe* pipe = pipeOf(Pipe, routine))
        pipe->disablePacketSizeCheck();
}

EXTERN_C USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe) {
    constexpr const char* routine = "WdfUsbTargetPipeWdmGetPipeHandle";
    enterCall(routine);
    zv::wdf::UsbPipe* pipe = pipeOf(UsbPipe, routine);
    return pipe != nullptr ? pipe->pipeHandle() : nullptr;
}

EXTERN_C WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe) {
    constexpr const char* routine = "WdfUsbTargetPipeGetIoTarget";
    enterCall(routine);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    return pipe != nullptr ? pipe->targetHandle() : nullptr;
}

EXTERN_C NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                        WDFMEMORY WriteMemory,
                                                        PWDFMEMORY_OFFSET WriteOffset) {
    return formatTransfer(Pipe, Request, WriteMemory, WriteOffset, false,
                          "WdfUsbTargetPipeFormatRequestForWrite");
}

EXTERN_C NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                       WDFMEMORY ReadMemory, PWDFMEMORY_OFFSET ReadOffset) {
    return formatTransfer(Pipe, Request, ReadMemory, ReadOffset, true,
                          "WdfUsbTargetPipeFormatRequestForRead");
}

EXTERN_C NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                     PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                     PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                     PULONG BytesWritten) {
    return transferSynchronously(Pipe, Request, RequestOptions, MemoryDescriptor, BytesWritten, false,
                                 "WdfUsbTargetPipeWriteSynchronously");
}

EXTERN_C NTSTATUS WdfUsbTargetPipeReadSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                    PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                    PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                    PULONG BytesRead) {
    return transferSynchronously(Pipe, Request, RequestOptions, MemoryDescriptor, BytesRead, true,
                                 "WdfUsbTargetPipeReadSynchronously");
}

EXTERN_C NTSTATUS WdfUsbTargetPipeFormatRequestForAbort(WDFUSBPIPE Pipe, WDFREQUEST Request) {
    return formatPipeRequest(Pipe, Request, false, "WdfUsbTargetPipeFormatRequestForAbort");
}

EXTERN_C NTSTATUS WdfUsbTargetPipeFormatRequestForReset(WDFUSBPIPE Pipe, WDFREQUEST Request) {
    return formatPipeRequest(Pipe, Request, true, "WdfUsbTargetPipeFormatRequestForReset");
}

EXTERN_C NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                     PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
    constexpr const char* routine = "WdfUsbTargetPipeAbortSynchronously";
    enterCall(routine, true);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    if (pipe == nullptr)
        return STATUS_INVALID_HANDLE;
    // A stopped pipe refuses the abort unless the options ignore the target state.
    return sendUrbSynchronously(*pipe, Request, RequestOptions, 0, pipeRequestFormat(*pipe, false), {},
                                routine);
}

EXTERN_C NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                     PWDF_REQUEST_SEND_OPTIONS RequestOptions) {
    constexpr const char* routine = "WdfUsbTargetPipeResetSynchronously";
    enterCall(routine, true);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    if (pipe == nullptr)
        return STATUS_INVALID_HANDLE;
    // What is in flight on the pipe is cancelled first: a pipe resets only when idle.
    pipe->cancelSentIo();
    return sendUrbSynchronously(*pipe, Request, RequestOptions, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE,
                                pipeRequestFormat(*pipe, true), {}, routine);
}

EXTERN_C NTSTATUS WdfUsbTargetPipeSendUrbSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                       PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb) {
    constexpr const char* routine = "WdfUsbTargetPipeSendUrbSynchronously";
    enterCall(routine, true);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    if (pipe == nullptr)
        return STATUS_INVALID_HANDLE;
    if (!usbUrbUsable(pipe, Urb, routine))
        return STATUS_INVALID_PARAMETER;
    auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypePipeUrb);
    format->borrowUrb(Urb);
    return sendUrbSynchronously(*pipe, Request, RequestOptions, 0, std::move(format), {}, routine);
}

EXTERN_C NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                                      WDFMEMORY UrbMemory,
                                                      PWDFMEMORY_OFFSET UrbMemoryOffset) {
    constexpr const char* routine = "WdfUsbTargetPipeFormatRequestForUrb";
    enterCall(routine);
    UsbPipe* pipe = pipeOf(Pipe, routine);
    zv::wdf::Request* request = zv::wdf::Request::fromHandle(Request, routine);
    if (pipe == nullptr || request == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan span;
    NTSTATUS status = memorySpanOf(UrbMemory, UrbMemoryOffset, routine, &span);
    if (!NT_SUCCESS(status))
        return status;
    if (!usbUrbSpanUsable(pipe, span, routine))
        return STATUS_INVALID_PARAMETER;
    auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypePipeUrb);
    format->borrowUrb(static_cast<PURB>(span.data));
    format->usbParams().Parameters.PipeUrb.Buffer = UrbMemory;
    return formatUrbRequest(*pipe, *request, std::move(format), {span.memory}, routine);
}
