// Requests reaching the parent's default queue: those its children forward and those sent to the parent
// itself. Each is passed down to the USB stack unchanged, send-and-forget, so that the stack completes it
// straight to its originator and the parent keeps nothing. The requests the parent answers or refuses
// itself (configuration selection, node information, port operations) are told apart by the callbacks
// below as the URB handling arrives; until then every request takes the pass-down road.
#include "base/bus/bus.h"

NTSTATUS ParentFdoForwardRequestThenCompleteIfError(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request) {
    WDF_REQUEST_SEND_OPTIONS options;

    WdfRequestFormatRequestUsingCurrentType(Request);
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
    if (!WdfRequestSend(Request, WdfDeviceGetIoTarget(Device), &options)) {
        NTSTATUS status = WdfRequestGetStatus(Request);
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL, "%sWdfRequestSend failed with status %X\n",
                    TRACE_BODY, status);
        WdfRequestComplete(Request, status);
        return status;
    }
    return STATUS_SUCCESS;
}

VOID ParentFdoEvtIoDefault(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoDefault(req=0x%p)\n", TRACE_EVT_ENTER,
                Request);
    NTSTATUS status = ParentFdoForwardRequestThenCompleteIfError(WdfIoQueueGetDevice(Queue), Request);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoDefault %X\n", TRACE_EVT_EXIT, status);
}

VOID ParentFdoEvtIoDeviceControl(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t OutputBufferLength,
                                 _In_ size_t InputBufferLength, _In_ ULONG IoControlCode) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoDeviceControl(req=0x%p, code=0x%x)\n",
                TRACE_EVT_ENTER, Request, IoControlCode);
    DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_IOCTL, "%sOutputBufferLength %Ix InputBufferLength %Ix\n",
                TRACE_BODY, OutputBufferLength, InputBufferLength);
    NTSTATUS status = ParentFdoForwardRequestThenCompleteIfError(WdfIoQueueGetDevice(Queue), Request);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoDeviceControl %X\n", TRACE_EVT_EXIT,
                status);
}

VOID ParentFdoEvtIoInternalDeviceControl(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                         _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength,
                                         _In_ ULONG IoControlCode) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL,
                "%sParentFdoEvtIoInternalDeviceControl(req=0x%p, code=0x%x)\n", TRACE_EVT_ENTER, Request,
                IoControlCode);
    DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_IOCTL, "%sOutputBufferLength %Ix InputBufferLength %Ix\n",
                TRACE_BODY, OutputBufferLength, InputBufferLength);
    NTSTATUS status = ParentFdoForwardRequestThenCompleteIfError(WdfIoQueueGetDevice(Queue), Request);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoInternalDeviceControl %X\n",
                TRACE_EVT_EXIT, status);
}
