// Child devices: the child list's callbacks that create a child device (a framework PDO) for a reported
// function and answer a child's wish to be re-enumerated, the USB-style IDs, texts and locale every child
// carries, and the child's own Plug and Play and power callbacks.
//
// A child looks to Plug and Play and to its function driver like a USB device of its own: IDs of the
// composite-function family, the USB bus interface of the real bus, and a default queue whose requests are
// answered or passed to the parent (childio.cpp). No child callback touches the USB device: the parent
// alone powers and configures it.
#include "base/bus/bus.h"

#include <ntstrsafe.h>

// Every ID and text is built in a counted buffer of this many characters.
#define BUS_ID_CHARACTERS 256

// The hardware IDs, most specific first. Formats with a revision take VID, PID, REV, MI; with MI alone
// VID, PID, MI; the class forms VID, PID and as many class codes as they name.
static NTSTATUS BusAddHardwareIds(_In_ PWDFDEVICE_INIT ChildInit, _In_ PUNICODE_STRING Buffer,
                                  _In_ USHORT Vid, _In_ USHORT Pid, _In_ USHORT Rev, _In_ UCHAR Mi,
                                  _In_ UCHAR Cls, _In_ UCHAR Sub, _In_ UCHAR Prot) {
    NTSTATUS status;
    int i;

    for (i = 0; i < 10; i++) {
        switch (i) {
            case 0:
                status = RtlUnicodeStringPrintf(Buffer, L"USB\\Vid_%04x&Pid_%04x&Rev_%04x&Mi_%02x&Os_NT", Vid,
                                                Pid, Rev, Mi);
                break;
            case 1:
                status = RtlUnicodeStringPrintf(Buffer, L"USB\\Vid_%04x&Pid_%04x&Rev_%04x&Mi_%02x", Vid, Pid,
                                                Rev, Mi);
                break;
            case 2:
                status =
                    RtlUnicodeStringPrintf(Buffer, L"USB\\Vid_%04x&Pid_%04x&Mi_%02x&Os_NT", Vid, Pid, Mi);
                break;
            case 3:
                status = RtlUnicodeStringPrintf(Buffer, L"USB\\Vid_%04x&Pid_%04x&Mi_%02x", Vid, Pid, Mi);
                break;
            case 4:
                status = RtlUnicodeStringPrintf(
                    Buffer, L"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Prot_%02x&Os_NT", Vid, Pid, Cls,
                    Sub, Prot);
                break;
            case 5:
                status = RtlUnicodeStringPrintf(Buffer,
                                                L"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Prot_%02x",
                                                Vid, Pid, Cls, Sub, Prot);
                break;
            case 6:
                status = RtlUnicodeStringPrintf(
                    Buffer, L"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x&Os_NT", Vid, Pid, Cls, Sub);
                break;
            case 7:
                status = RtlUnicodeStringPrintf(Buffer, L"USB\\Vid_%04x&Pid_%04x&Class_%02x&SubClass_%02x",
                                                Vid, Pid, Cls, Sub);
                break;
            case 8:
                status =
                    RtlUnicodeStringPrintf(Buffer, L"USB\\Vid_%04x&Pid_%04x&Class_%02x&Os_NT", Vid, Pid, Cls);
                break;
            default:
                status = RtlUnicodeStringPrintf(Buffer, L"USB\\Vid_%04x&Pid_%04x&Class_%02x", Vid, Pid, Cls);
                break;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = WdfPdoInitAddHardwareID(ChildInit, Buffer);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

static NTSTATUS BusAddCompatibleIds(_In_ PWDFDEVICE_INIT ChildInit, _In_ PUNICODE_STRING Buffer,
                                    _In_ UCHAR Cls, _In_ UCHAR Sub, _In_ UCHAR Prot) {
    NTSTATUS status;
    int i;

    for (i = 0; i < 3; i++) {
        switch (i) {
            case 0:
                status = RtlUnicodeStringPrintf(Buffer, L"USB\\Class_%02x&SubClass_%02x&Prot_%02x", Cls, Sub,
                                                Prot);
                break;
            case 1:
                status = RtlUnicodeStringPrintf(Buffer, L"USB\\Class_%02x&SubClass_%02x", Cls, Sub);
                break;
            default:
                status = RtlUnicodeStringPrintf(Buffer, L"USB\\Class_%02x", Cls);
                break;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = WdfPdoInitAddCompatibleID(ChildInit, Buffer);
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS BusAssignChildIds(_In_ PWDFDEVICE_INIT ChildInit, _In_ PPARENT_FDO_CONTEXT ParentContext,
                           _In_ PCHILD_FUNCTION_DESCRIPTION Description) {
    DECLARE_UNICODE_STRING_SIZE(buffer, BUS_ID_CHARACTERS);
    DECLARE_UNICODE_STRING_SIZE(suffix, BUS_ID_CHARACTERS);
    USHORT vid = ParentContext->UsbDeviceDescriptor.idVendor;
    USHORT pid = ParentContext->UsbDeviceDescriptor.idProduct;
    USHORT rev = ParentContext->UsbDeviceDescriptor.bcdDevice;
    UCHAR mi = Description->InterfaceNumber;
    UCHAR cls = Description->FunctionClass;
    UCHAR sub = Description->FunctionSubClass;
    UCHAR prot = Description->FunctionProtocol;

    NTSTATUS status = RtlUnicodeStringPrintf(&buffer, L"USB\\Vid_%04x&Pid_%04x&Mi_%02x", vid, pid, mi);
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAssignDeviceID(ChildInit, &buffer);
    }
    if (NT_SUCCESS(status)) {
        status = BusAddHardwareIds(ChildInit, &buffer, vid, pid, rev, mi, cls, sub, prot);
    }
    if (NT_SUCCESS(status)) {
        status = BusAddCompatibleIds(ChildInit, &buffer, cls, sub, prot);
    }

    // The instance ID: the serial number and the interface number when the bus below vouches that the
    // serial number is unique, the interface number alone otherwise.
    if (NT_SUCCESS(status)) {
        if (ParentContext->DeviceCapabilities.UniqueID) {
            status = RtlUnicodeStringCopy(&buffer, &ParentContext->SerialNumber);
            if (NT_SUCCESS(status)) {
                status = RtlUnicodeStringPrintf(&suffix, L"_%02x", mi);
            }
        } else {
            status = RtlUnicodeStringPrintf(&buffer, L"");
            if (NT_SUCCESS(status)) {
                status = RtlUnicodeStringPrintf(&suffix, L"%02x", mi);
            }
        }
    }
    if (NT_SUCCESS(status)) {
        status = RtlUnicodeStringCat(&buffer, &suffix);
    }
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAssignInstanceID(ChildInit, &buffer);
    }

    // The function's own string describes it; the product string says where it is.
    if (NT_SUCCESS(status)) {
        status = WdfPdoInitAddDeviceText(ChildInit, &Description->FunctionDescription,
                                         &ParentContext->ProductString, ParentContext->LanguageId);
    }
    if (NT_SUCCESS(status)) {
        WdfPdoInitSetDefaultLocale(ChildInit, ParentContext->LanguageId);
    }

    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sassigning the IDs of interface %d failed with status %X\n", TRACE_BODY, mi, status);
    }
    return status;
}

NTSTATUS
BusEvtChildListCreateDevice(_In_ WDFCHILDLIST ChildList,
                            _In_ PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                            _In_ PWDFDEVICE_INIT ChildInit) {
    PCHILD_FUNCTION_DESCRIPTION description =
        CONTAINING_RECORD(IdentificationDescription, CHILD_FUNCTION_DESCRIPTION, Header);
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DEVICE_PNP_CAPABILITIES pnpCapabilities;
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDF_QUERY_INTERFACE_CONFIG interfaceConfig;
    WDFDEVICE child = NULL;
    PCHILD_PDO_CONTEXT childContext;
    NTSTATUS status;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEvtChildListCreateDevice(list=0x%p, desc=0x%p)\n",
                TRACE_EVT_ENTER, ChildList, IdentificationDescription);

    WDFDEVICE parent = WdfChildListGetDevice(ChildList);
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(parent);

    WdfDeviceInitSetDeviceType(ChildInit, FILE_DEVICE_BUS_EXTENDER);

    status = BusAssignChildIds(ChildInit, parentContext, description);
    if (!NT_SUCCESS(status)) {
        goto Exit;
    }

    WdfPdoInitAllowForwardingRequestToParent(ChildInit);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDeviceD0Entry = ChildPdoEvtDeviceD0Entry;
    pnpPowerCallbacks.EvtDeviceD0Exit = ChildPdoEvtDeviceD0Exit;
    pnpPowerCallbacks.EvtDeviceSurpriseRemoval = ChildPdoEvtDeviceSurpriseRemoval;
    pnpPowerCallbacks.EvtDeviceQueryRemove = ChildPdoEvtDeviceQueryRemove;
    pnpPowerCallbacks.EvtDeviceQueryStop = ChildPdoEvtDeviceQueryStop;
    WdfDeviceInitSetPnpPowerEventCallbacks(ChildInit, &pnpPowerCallbacks);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, CHILD_PDO_CONTEXT);
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    status = WdfDeviceCreate(&ChildInit, &attributes, &child);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfDeviceCreate failed with status %X\n",
                    TRACE_BODY, status);
        goto Exit;
    }

    childContext = GetChildPdoContext(child);
    childContext->Device = child;
    childContext->WdmDeviceObject = WdfDeviceWdmGetDeviceObject(child);
    childContext->ParentDevice = parent;

    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCapabilities);
    pnpCapabilities.Removable = WdfFalse;
    pnpCapabilities.UniqueID = parentContext->DeviceCapabilities.UniqueID ? WdfTrue : WdfFalse;
    pnpCapabilities.Address = description->InterfaceNumber;
    pnpCapabilities.UINumber = 0xFFFFFFFF;
    WdfDeviceSetPnpCapabilities(child, &pnpCapabilities);

    childContext->ParentDefaultQueue = parentContext->DefaultQueue;

    // Requests are presented whatever the child's power state: the parent keeps the device powered.
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.PowerManaged = WdfFalse;
    queueConfig.EvtIoDefault = ChildPdoEvtIoDefault;
    queueConfig.EvtIoDeviceControl = ChildPdoEvtIoDeviceControl;
    queueConfig.EvtIoInternalDeviceControl = ChildPdoEvtIoInternalDeviceControl;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.SynchronizationScope = WdfSynchronizationScopeNone;
    status = WdfIoQueueCreate(child, &queueConfig, &attributes, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfIoQueueCreate failed with status %X\n",
                    TRACE_BODY, status);
        goto Exit;
    }

    // The child's driver gets the bus interface the parent got from the bus below, as it was given.
    WDF_QUERY_INTERFACE_CONFIG_INIT(&interfaceConfig, (PINTERFACE)&parentContext->UsbBusInterface,
                                    &USB_BUS_INTERFACE_USBDI_GUID, NULL);
    interfaceConfig.SendQueryToParentStack = FALSE;
    interfaceConfig.ImportInterface = FALSE;
    status = WdfDeviceAddQueryInterface(child, &interfaceConfig);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfDeviceAddQueryInterface failed with status %X\n",
                    TRACE_BODY, status);
        goto Exit;
    }

    status = STATUS_SUCCESS;

Exit:
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEvtChildListCreateDevice %X\n", TRACE_EVT_EXIT,
                status);
    return status;
}

// A child's request to be re-enumerated is never approved.
BOOLEAN BusEvtChildListDeviceReenumerated(_In_ WDFCHILDLIST ChildList, _In_ WDFDEVICE OldDevice,
                                          _In_ PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER OldAddressDescription,
                                          _In_ PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER NewAddressDescription) {
    UNREFERENCED_PARAMETER(OldAddressDescription);
    UNREFERENCED_PARAMETER(NewAddressDescription);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP,
                "%sBusEvtChildListDeviceReenumerated(list=0x%p, dev=0x%p)\n", TRACE_EVT_ENTER, ChildList,
                OldDevice);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEvtChildListDeviceReenumerated %d\n", TRACE_EVT_EXIT,
                FALSE);
    return FALSE;
}

NTSTATUS ChildPdoEvtDeviceD0Entry(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE PreviousState) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_POWER, "%sChildPdoEvtDeviceD0Entry(dev=0x%p, from %s)\n",
                TRACE_EVT_ENTER, Device, DevicePowerStateName(PreviousState));
    GetChildPdoContext(Device)->DevicePowerState = WdfPowerDeviceD0;
    return STATUS_SUCCESS;
}

NTSTATUS ChildPdoEvtDeviceD0Exit(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE TargetState) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_POWER, "%sChildPdoEvtDeviceD0Exit(dev=0x%p, to %s)\n",
                TRACE_EVT_ENTER, Device, DevicePowerStateName(TargetState));
    GetChildPdoContext(Device)->DevicePowerState = TargetState;
    return STATUS_SUCCESS;
}

VOID ChildPdoEvtDeviceSurpriseRemoval(_In_ WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sChildPdoEvtDeviceSurpriseRemoval(dev=0x%p)\n",
                TRACE_EVT_ENTER, Device);
}

// Removal and stop of a child are never vetoed.
NTSTATUS ChildPdoEvtDeviceQueryRemove(_In_ WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sChildPdoEvtDeviceQueryRemove(dev=0x%p)\n",
                TRACE_EVT_ENTER, Device);
    return STATUS_SUCCESS;
}

NTSTATUS ChildPdoEvtDeviceQueryStop(_In_ WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sChildPdoEvtDeviceQueryStop(dev=0x%p)\n", TRACE_EVT_ENTER,
                Device);
    return STATUS_SUCCESS;
}
