// WDM routines called from code compiled as a driver is (16-bit wchar_t, no exceptions, no RTTI), so that
// the tests see what a driver's L"..." names, DEFINE_GUID and the inline stack-location routines give.
#ifndef ZV_TESTS_KERNEL_WDM_DRIVER_SIDE_H
#define ZV_TESTS_KERNEL_WDM_DRIVER_SIDE_H

#include <ntddk.h>

extern "C" {
// Creates \Device\ZvDriverSide (ready, not initializing) with \DosDevices\ZVDRIVERSIDE naming it, and sets
// the driver's create routine; it completes creates with STATUS_SUCCESS.
NTSTATUS DriverSideCreateNamedDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT* DeviceObject);
VOID DriverSideDeleteNamedDevice(PDEVICE_OBJECT DeviceObject);
// IsEqualGUID against the driver's own DEFINE_GUID {5a6b7c8d-1122-3344-5566-778899aabbcc}.
BOOLEAN DriverSideIsItsGuid(const GUID* Guid);
}

#endif // ZV_TESTS_KERNEL_WDM_DRIVER_SIDE_H
