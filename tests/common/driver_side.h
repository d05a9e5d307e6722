// The driver-side half of the shared-support tests: code compiled as driver code (16-bit wchar_t), reached
// from the test through routines whose signatures do not depend on the width of wchar_t.
#ifndef ZV_TESTS_COMMON_DRIVER_SIDE_H
#define ZV_TESTS_COMMON_DRIVER_SIDE_H

#include <ntddk.h>
#include <wdf.h>


// DriverEntry of the test driver: creates the framework driver with EvtDriverContextCleanup and reads the
// debug settings, as both drivers do.
NTSTATUS CommonTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);

BOOLEAN TestGetFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, const char16_t* Name, PULONG Value);
BOOLEAN TestPutFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, const char16_t* Name, ULONG Value);
BOOLEAN TestGetRegistrySoftwareKeyValue(WDFDEVICE Device, const char16_t* Name, PULONG Value);
BOOLEAN TestSerialGetRegistryKeyValue(WDFDEVICE Device, const char16_t* Name, PULONG Value);
BOOLEAN TestSerialPutRegistryKeyValue(WDFDEVICE Device, const char16_t* Name, ULONG Value);
// A trace line with a wide-string argument, to see the format dialect reach the debug output.
VOID TestTraceWide(ULONG Level, ULONG Flags, const char16_t* Text);

#endif // ZV_TESTS_COMMON_DRIVER_SIDE_H
