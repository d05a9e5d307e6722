// Requests reaching the parent's default queue: those its children forward and those sent to the parent
// itself. Almost all are passed down to the USB stack unchanged, send-and-forget, so that the stack
// completes them straight to their originator and the parent adds nothing to their completion path.
//
// Three kinds are the parent's own: a child's configuration selection, which must not reconfigure the
// shared device and becomes one interface selection per interface within the configuration the parent
// selected; the node-information query, answered as a composite parent; and the port operations no
// function may perform on the shared device, which are refused.
#include "base/bus/bus.h"

#include <usbioctl.h>

// Each interface selection a child's configuration selection turns into waits at most 1 second (relative,
// in 100-nanosecond units).
#define BUS_SELECT_INTERFACE_TIMEOUT (-10000000LL)

// The fixed part of an interface record: everything before its pipe entries.
#define BUS_INTERFACE_FIXED_SIZE (FIELD_OFFSET(USBD_INTERFACE_INFORMATION, Pipes))

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

// Selects one interface of a child's configuration selection on the real device, within the parent's
// configuration, and copies the stack's answer back into the child's record.
static NTSTATUS ParentFdoSelectOneInterface(_In_ PPARENT_FDO_CONTEXT ParentContext, _In_ WDFREQUEST Request,
                                            _Inout_ PUSBD_INTERFACE_INFORMATION Entry) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_REQUEST_SEND_OPTIONS options;
    WDFMEMORY memory = NULL;
    PURB urb = NULL;
    ULONG pipes = Entry->NumberOfPipes;
    ULONG i;

    // One pipe entry is part of the URB itself.
    size_t size =
        sizeof(struct _URB_SELECT_INTERFACE) + (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION);

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, size, &memory, (PVOID*)&urb);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL, "%sWdfMemoryCreate failed with status %X\n",
                    TRACE_BODY, status);
        return status;
    }
    RtlZeroMemory(urb, size);

    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = (USHORT)size;
    urb->UrbSelectInterface.ConfigurationHandle = ParentContext->ConfigurationHandle;
    PUSBD_INTERFACE_INFORMATION selected = &urb->UrbSelectInterface.Interface;
    selected->Length = (USHORT)(size - FIELD_OFFSET(struct _URB_SELECT_INTERFACE, Interface));
    selected->InterfaceNumber = Entry->InterfaceNumber;
    selected->AlternateSetting = Entry->AlternateSetting;
    selected->Class = Entry->Class;
    selected->SubClass = Entry->SubClass;
    selected->Protocol = Entry->Protocol;
    selected->InterfaceHandle = NULL;
    selected->NumberOfPipes = pipes;
    for (i = 0; i < pipes; i++) {
        selected->Pipes[i] = Entry->Pipes[i];
    }

    status = WdfRequestAllocateTimer(Request);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL, "%sWdfRequestAllocateTimer failed with status %X\n",
                    TRACE_BODY, status);
        WdfObjectDelete(memory);
        return status;
    }

    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_TIMEOUT);
    options.Timeout = BUS_SELECT_INTERFACE_TIMEOUT;
    status = WdfUsbTargetDeviceSendUrbSynchronously(ParentContext->UsbDevice, NULL, &options, urb);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL, "%sselecting interface %d failed with status %X\n",
                    TRACE_BODY, Entry->InterfaceNumber, status);
        WdfObjectDelete(memory);
        return status;
    }

    // The fixed part as the stack filled it, then each of the child's pipe entries. The child's own
    // pipe count bounds the copy: the record it sent has room for that many entries.
    Entry->Length = selected->Length;
    Entry->InterfaceNumber = selected->InterfaceNumber;
    Entry->AlternateSetting = selected->AlternateSetting;
    Entry->Class = selected->Class;
    Entry->SubClass = selected->SubClass;
    Entry->Protocol = selected->Protocol;
    Entry->InterfaceHandle = selected->InterfaceHandle;
    Entry->NumberOfPipes = selected->NumberOfPipes;
    for (i = 0; i < pipes; i++) {
        Entry->Pipes[i] = selected->Pipes[i];
    }

    WdfObjectDelete(memory);
    return STATUS_SUCCESS;
}

// A child's configuration selection: the configuration is the parent's, so each interface in the child's
// list is selected on its own, in list order, each waiting for its answer. The first failing step ends
// the loop; the interfaces handled before it keep their results.
static VOID ParentFdoTranslateSelectConfiguration(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request,
                                                  _In_ PURB Urb) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    NTSTATUS status = STATUS_SUCCESS;
    PUCHAR end = (PUCHAR)Urb + Urb->UrbHeader.Length;
    PUCHAR cursor = (PUCHAR)&Urb->UrbSelectConfiguration.Interface;

    while (cursor < end) {
        PUSBD_INTERFACE_INFORMATION entry = (PUSBD_INTERFACE_INFORMATION)cursor;

        // An entry must hold its fixed part, its own length and the pipe entries it claims, all within
        // the URB; anything less ends the list (the bytes left are ignored). A zero length would never
        // move the walk on.
        if ((size_t)(end - cursor) < BUS_INTERFACE_FIXED_SIZE || entry->Length < BUS_INTERFACE_FIXED_SIZE ||
            entry->Length > (size_t)(end - cursor) ||
            entry->NumberOfPipes >
                (entry->Length - BUS_INTERFACE_FIXED_SIZE) / sizeof(USBD_PIPE_INFORMATION)) {
            break;
        }

        status = ParentFdoSelectOneInterface(parentContext, Request, entry);
        if (!NT_SUCCESS(status)) {
            break;
        }
        // The stack's length moves the walk on; one it made shorter than the fixed part would not.
        if (entry->Length < BUS_INTERFACE_FIXED_SIZE) {
            break;
        }
        cursor += entry->Length;
    }

    if (NT_SUCCESS(status)) {
        Urb->UrbSelectConfiguration.ConfigurationHandle = parentContext->ConfigurationHandle;
    }
    WdfRequestComplete(Request, status);
}

// The node-information query, answered as a composite parent with the configuration's interface count.
static VOID ParentFdoAnswerNodeInformation(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    PUSB_NODE_INFORMATION nodeInformation = NULL;

    NTSTATUS status =
        WdfRequestRetrieveOutputBuffer(Request, sizeof(USB_NODE_INFORMATION), (PVOID*)&nodeInformation, NULL);
    if (NT_SUCCESS(status)) {
        nodeInformation->NodeType = UsbMIParent;
        // A parent that never got its configuration (its start failed early) has no interfaces to tell.
        nodeInformation->u.MiParentInformation.NumberOfInterfaces =
            parentContext->ConfigurationDescriptor != NULL
                ? parentContext->ConfigurationDescriptor->bNumInterfaces
                : 0;
    } else {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL,
                    "%sWdfRequestRetrieveOutputBuffer failed with status %X\n", TRACE_BODY, status);
    }
    WdfRequestComplete(Request, status);
}

VOID ParentFdoEvtIoDefault(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoDefault(req=0x%p)\n", TRACE_EVT_ENTER,
                Request);
    NTSTATUS status = ParentFdoForwardRequestThenCompleteIfError(WdfIoQueueGetDevice(Queue), Request);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoDefault %X\n", TRACE_EVT_EXIT, status);
}

VOID ParentFdoEvtIoDeviceControl(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request, _In_ size_t OutputBufferLength,
                                 _In_ size_t InputBufferLength, _In_ ULONG IoControlCode) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoDeviceControl(req=0x%p, code=0x%x)\n",
                TRACE_EVT_ENTER, Request, IoControlCode);
    DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_IOCTL, "%sOutputBufferLength %Ix InputBufferLength %Ix\n",
                TRACE_BODY, OutputBufferLength, InputBufferLength);

    switch (IoControlCode) {
        case IOCTL_USB_GET_NODE_INFORMATION:
            ParentFdoAnswerNodeInformation(device, Request);
            break;
        case IOCTL_USB_HUB_CYCLE_PORT:
            WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
            break;
        default:
            ParentFdoForwardRequestThenCompleteIfError(device, Request);
            break;
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoDeviceControl\n", TRACE_EVT_EXIT);
}

VOID ParentFdoEvtIoInternalDeviceControl(_In_ WDFQUEUE Queue, _In_ WDFREQUEST Request,
                                         _In_ size_t OutputBufferLength, _In_ size_t InputBufferLength,
                                         _In_ ULONG IoControlCode) {
    WDFDEVICE device = WdfIoQueueGetDevice(Queue);
    WDF_REQUEST_PARAMETERS parameters;
    PURB urb;

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL,
                "%sParentFdoEvtIoInternalDeviceControl(req=0x%p, code=0x%x)\n", TRACE_EVT_ENTER, Request,
                IoControlCode);
    DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_IOCTL, "%sOutputBufferLength %Ix InputBufferLength %Ix\n",
                TRACE_BODY, OutputBufferLength, InputBufferLength);

    switch (IoControlCode) {
        case IOCTL_INTERNAL_USB_SUBMIT_URB:
            WDF_REQUEST_PARAMETERS_INIT(&parameters);
            WdfRequestGetParameters(Request, &parameters);
            urb = (PURB)parameters.Parameters.Others.Arg1;
            if (urb != NULL && urb->UrbHeader.Function == URB_FUNCTION_SELECT_CONFIGURATION) {
                ParentFdoTranslateSelectConfiguration(device, Request, urb);
            } else {
                // Every other URB (and a missing one, which the stack refuses) goes down unchanged.
                ParentFdoForwardRequestThenCompleteIfError(device, Request);
            }
            break;
        case IOCTL_INTERNAL_USB_RESET_PORT:
        case IOCTL_INTERNAL_USB_ENABLE_PORT:
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            WdfRequestComplete(Request, STATUS_NOT_SUPPORTED);
            break;
        case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION:
            WdfRequestComplete(Request, STATUS_UNSUCCESSFUL);
            break;
        default:
            ParentFdoForwardRequestThenCompleteIfError(device, Request);
            break;
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_IOCTL, "%sParentFdoEvtIoInternalDeviceControl\n",
                TRACE_EVT_EXIT);
}
