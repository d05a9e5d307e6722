// A bus driver module for the child-tree tests, loaded by the PnP manager through the service table. Its
// device keeps a default child list; at its start it reports the children its hardware key names, and an
// application's device control reports another set. Each child is a framework PDO with the IDs of
// childbusdrv.h, a text, and capabilities saying its ID is unique on the machine.
#include <ntddk.h>
#include <ntstrsafe.h>
#include <wdf.h>

#include "tests/pnp/childbusdrv.h"

typedef struct _CHILDBUS_DESCRIPTION {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header;
    ULONG Number;
} CHILDBUS_DESCRIPTION, *PCHILDBUS_DESCRIPTION;

#define CHILDBUS_MAX_CHILDREN 8

extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD ChildBusEvtDeviceAdd;
EVT_WDF_DEVICE_PREPARE_HARDWARE ChildBusEvtPrepareHardware;
EVT_WDF_CHILD_LIST_CREATE_DEVICE ChildBusEvtCreateDevice;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ChildBusEvtIoDeviceControl;

static VOID ChildBusReport(WDFDEVICE Device, ULONG Children) {
    WDFCHILDLIST list = WdfFdoGetDefaultChildList(Device);
    WdfChildListBeginScan(list);
    for (ULONG n = 0; n < CHILDBUS_MAX_CHILDREN; n++) {
        if ((Children & (1u << n)) == 0)
            continue;
        CHILDBUS_DESCRIPTION description;
        WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description.Header, sizeof(description));
        description.Number = n;
        WdfChildListAddOrUpdateChildDescriptionAsPresent(list, &description.Header, NULL);
    }
    WdfChildListEndScan(list);
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, ChildBusEvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

NTSTATUS ChildBusEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    DECLARE_CONST_UNICODE_STRING(name, L"\\Device\\" CHILDBUS_LINK);
    DECLARE_CONST_UNICODE_STRING(link, L"\\DosDevices\\" CHILDBUS_LINK);
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_CHILD_LIST_CONFIG listConfig;
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDFDEVICE device;
    UNREFERENCED_PARAMETER(Driver);

    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_BUS_EXTENDER);
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = ChildBusEvtPrepareHardware;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
    WDF_CHILD_LIST_CONFIG_INIT(&listConfig, sizeof(CHILDBUS_DESCRIPTION), ChildBusEvtCreateDevice);
    WdfFdoInitSetDefaultChildListConfig(DeviceInit, &listConfig, WDF_NO_OBJECT_ATTRIBUTES);
    NTSTATUS status = WdfDeviceInitAssignName(DeviceInit, &name);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfDeviceCreate(&DeviceInit, WDF_NO_OBJECT_ATTRIBUTES, &device);
    if (!NT_SUCCESS(status))
        return status;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchSequential);
    queueConfig.EvtIoDeviceControl = ChildBusEvtIoDeviceControl;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    return WdfDeviceCreateSymbolicLink(device, &link);
}

NTSTATUS ChildBusEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                    WDFCMRESLIST ResourcesTranslated) {
    DECLARE_CONST_UNICODE_STRING(childrenName, L"" CHILDBUS_VALUE_CHILDREN);
    WDFKEY key = NULL;
    ULONG children = 0;
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    if (NT_SUCCESS(WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                            WDF_NO_OBJECT_ATTRIBUTES, &key))) {
        if (!NT_SUCCESS(WdfRegistryQueryULong(key, &childrenName, &children)))
            children = 0;
        WdfRegistryClose(key);
    }
    ChildBusReport(Device, children);
    return STATUS_SUCCESS;
}

NTSTATUS ChildBusEvtCreateDevice(WDFCHILDLIST ChildList,
                                 PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                                 PWDFDEVICE_INIT ChildInit) {
    PCHILDBUS_DESCRIPTION description =
        CONTAINING_RECORD(IdentificationDescription, CHILDBUS_DESCRIPTION, Header);
    DECLARE_UNICODE_STRING_SIZE(buffer, 128);
    DECLARE_CONST_UNICODE_STRING(driven, L"ZV\\PnpTestDevice");
    DECLARE_CONST_UNICODE_STRING(unbound, L"ZV\\NoDriverForThis");
    DECLARE_CONST_UNICODE_STRING(location, L"Child bus");
    WDF_DEVICE_PNP_CAPABILITIES capabilities;
    WDFDEVICE child;
    UNREFERENCED_PARAMETER(ChildList);

    NTSTATUS status = RtlUnicodeStringPrintf(&buffer, L"USB\\VID_1A2B&PID_3C4D&MI_%02u", description->Number);
    if (NT_SUCCESS(status))
        status = WdfPdoInitAssignDeviceID(ChildInit, &buffer);
    if (NT_SUCCESS(status))
        status = WdfPdoInitAddHardwareID(ChildInit, &buffer);
    if (NT_SUCCESS(status))
        status = WdfPdoInitAddHardwareID(ChildInit, (description->Number % 2) == 0 ? &driven : &unbound);
    if (NT_SUCCESS(status))
        status = RtlUnicodeStringPrintf(&buffer, L"ABC123_%02u", description->Number);
    if (NT_SUCCESS(status))
        status = WdfPdoInitAssignInstanceID(ChildInit, &buffer);
    if (NT_SUCCESS(status))
        status = RtlUnicodeStringPrintf(&buffer, L"Child function %u", description->Number);
    if (NT_SUCCESS(status))
        status = WdfPdoInitAddDeviceText(ChildInit, &buffer, &location, 0x409);
    if (!NT_SUCCESS(status))
        return status;
    WdfPdoInitSetDefaultLocale(ChildInit, 0x409);
    status = WdfDeviceCreate(&ChildInit, WDF_NO_OBJECT_ATTRIBUTES, &child);
    if (!NT_SUCCESS(status))
        return status;
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&capabilities);
    capabilities.UniqueID = WdfTrue;
    capabilities.Address = description->Number;
    WdfDeviceSetPnpCapabilities(child, &capabilities);
    return STATUS_SUCCESS;
}

VOID ChildBusEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                size_t InputBufferLength, ULONG IoControlCode) {
    PULONG children = NULL;
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    if (IoControlCode != IOCTL_CHILDBUS_SET_CHILDREN) {
        WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
        return;
    }
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, sizeof(ULONG), (PVOID*)&children, NULL);
    if (NT_SUCCESS(status))
        ChildBusReport(WdfIoQueueGetDevice(Queue), *children);
    WdfRequestComplete(Request, status);
}
