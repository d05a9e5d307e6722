// Requests reaching a child's default queue, from the function driver above the child. The child answers
// the two descriptor requests that must describe the function rather than the whole device (device and
// configuration descriptor) from the function's synthesised descriptors, refuses the port operations a
// function must not perform on the shared device, and forwards everything else to the parent's default
// queue, send-and-forget: the parent then owns the request and passes it to the USB stack.
//
// These callbacks run concurrently, at the caller's IRQL (dispatch level included): they take no lock, do
// not wait and touch only the request, its URB, the child's context and the child's description, which does
// not change while the child exists.
#include "base/bus/bus.h"

#include <usbioctl.h>

// Hands the request to the parent's default queue; a refused forward completes it with its status.
static VOID ChildPdoForwardToParent(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request) {
    PCHILD_PDO_CONTEXT childContext = GetChildPdoContext(Device);
    WDF_REQUEST_FORWARD_OPTIONS forwardOptions;

    WDF_REQUEST_FORWARD_OPTIONS_INIT(&forwardOptions);
    forwardOptions.Flags = WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET;
    NTSTATUS status =
        WdfRequestForwardToParentDeviceIoQueue(Request, childContext->ParentDefaultQueue, &forwardOptions);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL,
                    "%sWdfRequestForwardToParentDeviceIoQueue failed with status %X\n", TRACE_BODY, status);
        WdfRequestComplete(Request, status);
    }
}

// A device or configuration descriptor request, answered from the function's own descriptors. The
// descriptor index and language are not looked at: the function has one configuration.
static VOID ChildPdoAnswerDescriptorRequest(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request, _In_ PURB Urb) {
    CHILD_FUNCTION_DESCRIPTION description;
    struct _URB_CONTROL_DESCRIPTOR_REQUEST* request = &Urb->UrbControlDescriptorRequest;
    const VOID* source;
    ULONG size;

    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description.Header, sizeof(description));
    NTSTATUS status = WdfPdoRetrieveIdentificationDescription(Device, &description.Header);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL,
                    "%sWdfPdoRetrieveIdentificationDescription failed with status %X\n", TRACE_BODY, status);
        WdfRequestCompleteWithInformation(Request, status, 0);
        return;
    }

    // A transfer described only by an MDL is not served.
    if (request->TransferBuffer == NULL) {
        WdfRequestCompleteWithInformation(Request, STATUS_INVALID_PARAMETER, 0);
        return;
    }

    if (request->DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE) {
        source = description.DeviceDescriptor;
        size = sizeof(USB_DEVICE_DESCRIPTOR);
    } else {
        source = description.ConfigurationDescriptor;
        size = description.ConfigurationDescriptorLength;
    }
    if (request->TransferBufferLength < size) {
        size = request->TransferBufferLength;
    }
    RtlCopyMemory(request->TransferBuffer, source, size);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, size);
}

// An empty hub name: the child has no hub of its own to name.
static VOID ChildPdoAnswerHubName(_In_ WDFREQUEST Request) {
    PUSB_HUB_NAME hubName = NULL;

    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(USB_HUB_NAME), (PVOID*)&hubName, NULL);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL,
                    "%sWdfRequestRetrieveOutputBuffer failed with status %X\n", TRACE_BODY, status);
        WdfRequestComplete(Request, status);
        return;
    }
    hubName->ActualLength = 0;
    hubName->HubName[0] = 0;
    WdfRequestComplete(Request, STATUS_SUCCESS);
}

VOID ChildPdoEvtIoInternalDeviceControl(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                        _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength,
                                        _In_ ULONG IoControlCode) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    WDF_REQUEST_PARAMETERS parameters;
    PURB urb;

    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    switch (IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            WDF_REQUEST_PARAMETERS_INIT(&parameters);
            WdfRequestGetParameters(Request, &parameters);
            urb = (PURB)parameters.Parameters.Others.Arg1;
            if (urb != NULL && urb->UrbHeader.Function == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE &&
                (urb->UrbControlDescriptorRequest.DescriptorType == USB_DEVICE_DESCRIPTOR_TYPE ||
                 urb->UrbControlDescriptorRequest.DescriptorType == USB_CONFIGURATION_DESCRIPTOR_TYPE)) {
                ChildPdoAnswerDescriptorRequest(device, Request, urb);
            } else {
                ChildPdoForwardToParent(device, Request);
            }
            break;
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_ENABLE_PORT:
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
        case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
            WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
            break;
        case IOCTL_INTERNAL_USB_GET_HUB_NAME:
            ChildPdoAnswerHubName(Request);
            break;
        default:
            ChildPdoForwardToParent(device, Request);
            break;
    }
}

VOID ChildPdoEvtIoDeviceControl(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t OutputBufferLength,
                                _In_ size_t InputBufferLength, _In_ ULONG IoControlCode) {
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);

    if (IoControlCode == IOCTL_USB_HUB_CYCLE_PORT) {
        WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
    } else {
        ChildPdoForwardToParent(WdfIoQueueGetDevice(Queue), Request);
    }
}

// Reads, writes, creates and every other request type: a child is no device to read or write.
VOID ChildPdoEvtIoDefault(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request) {
    UNREFERENCED_PARAMETER(Queue);
    WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
}
