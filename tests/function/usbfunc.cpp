// A small function driver for tests and benchmarks: it binds to a USB device (a child of the bus driver or
// the phone's own device), selects its configuration, finds the first vendor-specific interface with a
// bulk IN and a bulk OUT pipe, and turns an application's writes into bulk OUT transfers and its reads into
// bulk IN transfers on those pipes. The request itself travels down (its buffer is the transfer buffer), so
// nothing is copied on the way. Each device is named \DosDevices\ZvUsbFunc<n>, n counting devices in the
// order they were added.
#include <ntddk.h>
#include <wdf.h>

#include <ntstrsafe.h>
#include <usb.h>

typedef struct _FUNCTION_CONTEXT {
    WDFUSBDEVICE UsbDevice;
    WDFUSBPIPE BulkIn;
    WDFUSBPIPE BulkOut;
} FUNCTION_CONTEXT, *PFUNCTION_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(FUNCTION_CONTEXT, GetFunctionContext)

extern "C" DRIVER_INITIALIZE DriverEntry;
static EVT_WDF_DRIVER_DEVICE_ADD FunctionEvtDeviceAdd;
static EVT_WDF_DEVICE_PREPARE_HARDWARE FunctionEvtPrepareHardware;
static EVT_WDF_IO_QUEUE_IO_READ FunctionEvtIoRead;
static EVT_WDF_IO_QUEUE_IO_WRITE FunctionEvtIoWrite;
static EVT_WDF_REQUEST_COMPLETION_ROUTINE FunctionTransferComplete;

// Devices added since the driver was loaded: it numbers their names.
static LONG DevicesAdded = 0;

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    DevicesAdded = 0; // a module loaded again starts at 0
    WDF_DRIVER_CONFIG_INIT(&config, FunctionEvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

static NTSTATUS FunctionEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDFDEVICE device;
    DECLARE_UNICODE_STRING_SIZE(deviceName, 64);
    DECLARE_UNICODE_STRING_SIZE(linkName, 64);
    int unit = (int)DevicesAdded++;

    UNREFERENCED_PARAMETER(Driver);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDevicePrepareHardware = FunctionEvtPrepareHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);
    WdfDeviceInitSetIoType(DeviceInit, WdfDeviceIoDirect);
    // A symbolic link needs a named device.
    NTSTATUS status = RtlUnicodeStringPrintf(&deviceName, L"\\Device\\ZvUsbFunc%d", unit);
    if (NT_SUCCESS(status)) {
        status = WdfDeviceInitAssignName(DeviceInit, &deviceName);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, FUNCTION_CONTEXT);
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    status = RtlUnicodeStringPrintf(&linkName, L"\\DosDevices\\ZvUsbFunc%d", unit);
    if (NT_SUCCESS(status)) {
        status = WdfDeviceCreateSymbolicLink(device, &linkName);
    }
    if (!NT_SUCCESS(status)) {
        return status;
    }

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoRead = FunctionEvtIoRead;
    queueConfig.EvtIoWrite = FunctionEvtIoWrite;
    return WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
}

// The first vendor-specific interface with a bulk pair gives the pipes.
static NTSTATUS FunctionEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                           WDFCMRESLIST ResourcesTranslated) {
    PFUNCTION_CONTEXT context = GetFunctionContext(Device);
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    NTSTATUS status;

    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);

    if (context->UsbDevice == NULL) {
        status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &context->UsbDevice);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, NULL);
    status = WdfUsbTargetDeviceSelectConfig(context->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        return status;
    }

    context->BulkIn = NULL;
    context->BulkOut = NULL;
    UCHAR interfaces = WdfUsbTargetDeviceGetNumInterfaces(context->UsbDevice);
    for (UCHAR i = 0; i < interfaces && (context->BulkIn == NULL || context->BulkOut == NULL); i++) {
        WDFUSBINTERFACE usbInterface = WdfUsbTargetDeviceGetInterface(context->UsbDevice, i);
        USB_INTERFACE_DESCRIPTOR descriptor;
        WdfUsbInterfaceGetDescriptor(usbInterface, 0, &descriptor);
        if (descriptor.bInterfaceClass != 0xFF) {
            continue;
        }
        BYTE pipes = WdfUsbInterfaceGetNumConfiguredPipes(usbInterface);
        for (BYTE p = 0; p < pipes; p++) {
            WDF_USB_PIPE_INFORMATION information;
            WDF_USB_PIPE_INFORMATION_INIT(&information);
            WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(usbInterface, p, &information);
            if (information.PipeType != WdfUsbPipeTypeBulk) {
                continue;
            }
            if (WdfUsbTargetPipeIsInEndpoint(pipe) && context->BulkIn == NULL) {
                context->BulkIn = pipe;
            } else if (WdfUsbTargetPipeIsOutEndpoint(pipe) && context->BulkOut == NULL) {
                context->BulkOut = pipe;
            }
        }
    }
    if (context->BulkIn == NULL || context->BulkOut == NULL) {
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    }
    // Reads of any length: a short packet ends them.
    WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(context->BulkIn);
    return STATUS_SUCCESS;
}

static VOID FunctionTransferComplete(WDFREQUEST Request, WDFIOTARGET Target,
                                     PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context) {
    PWDF_USB_REQUEST_COMPLETION_PARAMS usb = Params->Parameters.Usb.Completion;
    BOOLEAN read = (BOOLEAN)(ULONG_PTR)Context;

    UNREFERENCED_PARAMETER(Target);
    WdfRequestCompleteWithInformation(Request, Params->IoStatus.Status,
                                      read ? usb->Parameters.PipeRead.Length
                                           : usb->Parameters.PipeWrite.Length);
}

static VOID FunctionSend(WDFREQUEST Request, WDFUSBPIPE Pipe, BOOLEAN Read) {
    WDFMEMORY memory;
    NTSTATUS status = Read ? WdfRequestRetrieveOutputMemory(Request, &memory)
                           : WdfRequestRetrieveInputMemory(Request, &memory);
    if (NT_SUCCESS(status)) {
        status = Read ? WdfUsbTargetPipeFormatRequestForRead(Pipe, Request, memory, NULL)
                      : WdfUsbTargetPipeFormatRequestForWrite(Pipe, Request, memory, NULL);
    }
    if (NT_SUCCESS(status)) {
        WdfRequestSetCompletionRoutine(Request, FunctionTransferComplete, (WDFCONTEXT)(ULONG_PTR)Read);
        if (!WdfRequestSend(Request, WdfUsbTargetPipeGetIoTarget(Pipe), WDF_NO_SEND_OPTIONS)) {
            status = WdfRequestGetStatus(Request);
        } else {
            return;
        }
    }
    WdfRequestComplete(Request, status);
}

static VOID FunctionEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    UNREFERENCED_PARAMETER(Length);
    FunctionSend(Request, GetFunctionContext(WdfIoQueueGetDevice(Queue))->BulkIn, TRUE);
}

static VOID FunctionEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    UNREFERENCED_PARAMETER(Length);
    FunctionSend(Request, GetFunctionContext(WdfIoQueueGetDevice(Queue))->BulkOut, FALSE);
}
