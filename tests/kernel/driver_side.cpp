// Driver-side uses of the kernel headers; see driver_side.h.
#include "tests/kernel/driver_side.h"

#include <ntddk.h>
#include <ntstrsafe.h>

static_assert(sizeof(WCHAR) == 2 && sizeof(L'x') == 2, "driver code sees 16-bit wide characters");

DECLARE_CONST_UNICODE_STRING(counterName, L"NextInstanceNumber");

extern "C" {

NTSTATUS DriverSideFormatPortName(PUNICODE_STRING Dest, ULONG Number) {
    return RtlUnicodeStringPrintf(Dest, L"COM%d", Number);
}

PCUNICODE_STRING DriverSideCounterName(VOID) {
    return &counterName;
}

// Counted strings carry no NUL; the value name and the REG_SZ data both need one.
static NTSTATUS Terminate(PCUNICODE_STRING Source, PWCHAR Buffer, USHORT BufferBytes) {
    UNICODE_STRING copy = {0, (USHORT)(BufferBytes - sizeof(WCHAR)), Buffer};
    NTSTATUS status = RtlUnicodeStringCopy(&copy, Source);
    if (!NT_SUCCESS(status))
        return status;
    Buffer[copy.Length / sizeof(WCHAR)] = L'\0';
    return STATUS_SUCCESS;
}

NTSTATUS DriverSideWriteSerialComm(PCUNICODE_STRING DeviceName, PCUNICODE_STRING PortName) {
    WCHAR name[64];
    WCHAR port[16];
    NTSTATUS status = Terminate(DeviceName, name, sizeof(name));
    if (NT_SUCCESS(status))
        status = Terminate(PortName, port, sizeof(port));
    if (!NT_SUCCESS(status))
        return status;
    return RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, L"SERIALCOMM", name, REG_SZ, port,
                                 PortName->Length + sizeof(WCHAR));
}

VOID DriverSideTrace(PCUNICODE_STRING Name) {
    DbgPrint("%s%ws %wZ\n", "  >", L"Trace", Name);
}

} // extern "C"
