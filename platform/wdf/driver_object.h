// The system's DRIVER_OBJECT record. Drivers see it only through PDRIVER_OBJECT (wdfdriver.h), so its
// layout is the platform's business; it follows the kernel's field order. Kernel headers that come to
// define the record set ZV_DRIVER_OBJECT_DEFINED, and this definition steps aside.
#ifndef ZV_WDF_DRIVER_OBJECT_H
#define ZV_WDF_DRIVER_OBJECT_H

#include <wdf.h>

#ifndef ZV_DRIVER_OBJECT_DEFINED
#define ZV_DRIVER_OBJECT_DEFINED

#define IRP_MJ_MAXIMUM_FUNCTION_COUNT 28

struct _DEVICE_OBJECT;
typedef VOID DRIVER_UNLOAD(struct _DRIVER_OBJECT* DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;
typedef NTSTATUS DRIVER_INITIALIZE(struct _DRIVER_OBJECT* DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;

typedef struct _DRIVER_OBJECT {
    SHORT Type;
    SHORT Size;
    struct _DEVICE_OBJECT* DeviceObject;
    ULONG Flags;
    PVOID DriverStart;
    ULONG DriverSize;
    PVOID DriverSection;
    PVOID DriverExtension;
    UNICODE_STRING DriverName; // "\Driver\<service>"
    PUNICODE_STRING HardwareDatabase;
    PVOID FastIoDispatch;
    PDRIVER_INITIALIZE DriverInit;
    PVOID DriverStartIo;
    PDRIVER_UNLOAD DriverUnload;
    PVOID MajorFunction[IRP_MJ_MAXIMUM_FUNCTION_COUNT];
} DRIVER_OBJECT;

#define IO_TYPE_DRIVER 4

#endif // ZV_DRIVER_OBJECT_DEFINED

#endif // ZV_WDF_DRIVER_OBJECT_H
