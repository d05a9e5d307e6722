// See wdm_driver_side.h. Compiled as driver code.
#include "tests/kernel/wdm_driver_side.h"

#include <initguid.h>

DEFINE_GUID(GUID_ZV_DRIVER_SIDE, 0x5a6b7c8d, 0x1122, 0x3344, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb, 0xcc);

namespace {

DECLARE_CONST_UNICODE_STRING(kDeviceName, L"\\Device\\ZvDriverSide");
DECLARE_CONST_UNICODE_STRING(kLinkName, L"\\DosDevices\\ZVDRIVERSIDE");

NTSTATUS DriverSideDispatchCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    UNREFERENCED_PARAMETER(DeviceObject);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

} // namespace

extern "C" {

NTSTATUS DriverSideCreateNamedDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject) {
    DriverObject->MajorFunction[IRP_MJ_CREATE] = DriverSideDispatchCreate;
    NTSTATUS status = IoCreateDevice(DriverObject, 0, (PUNICODE_STRING)&kDeviceName, FILE_DEVICE_UNKNOWN,
                                     FILE_DEVICE_SECURE_OPEN, FALSE, DeviceObject);
    if (!NT_SUCCESS(status))
        return status;
    status = IoCreateSymbolicLink((PUNICODE_STRING)&kLinkName, (PUNICODE_STRING)&kDeviceName);
    if (!NT_SUCCESS(status)) {
        IoDeleteDevice(*DeviceObject);
        *DeviceObject = NULL;
        return status;
    }
    (*DeviceObject)->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

VOID DriverSideDeleteNamedDevice(PDEVICE_OBJECT DeviceObject) {
    IoDeleteSymbolicLink((PUNICODE_STRING)&kLinkName);
    IoDeleteDevice(DeviceObject);
}

BOOLEAN DriverSideIsItsGuid(const GUID* Guid) {
    return IsEqualGUID(*Guid, GUID_ZV_DRIVER_SIDE);
}

} // extern "C"
