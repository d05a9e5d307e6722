// Routines compiled as driver code (16-bit wchar_t, no exceptions, no RTTI) that use the kernel headers
// the way the drivers do, so that the tests see what a driver's L"..." literals and macros produce.
#ifndef ZV_TESTS_KERNEL_DRIVER_SIDE_H
#define ZV_TESTS_KERNEL_DRIVER_SIDE_H

#include <ntdef.h>

extern "C" {
// RtlUnicodeStringPrintf(Dest, L"COM%d", Number).
NTSTATUS DriverSideFormatPortName(PUNICODE_STRING Dest, ULONG Number);
// A DECLARE_CONST_UNICODE_STRING of L"NextInstanceNumber".
PCUNICODE_STRING DriverSideCounterName(VOID);
// Writes SERIALCOMM\<DeviceName> = <PortName> as REG_SZ, as the serial port driver does.
NTSTATUS DriverSideWriteSerialComm(PCUNICODE_STRING DeviceName, PCUNICODE_STRING PortName);
// DbgPrint(L-free format with %ws and %wZ of driver-side strings).
VOID DriverSideTrace(PCUNICODE_STRING Name);
}

#endif // ZV_TESTS_KERNEL_DRIVER_SIDE_H
