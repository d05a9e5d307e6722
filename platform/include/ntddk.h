// The kernel executive routines the drivers call: counted strings and their ANSI conversion, memory
// helpers, registry writes relative to the well-known roots, delays and interrupt request levels on the
// simulated machine's clock, the configuration information record and debugger output. Implemented in
// platform/kernel; every routine acts on the current machine (the current scheduler).
#ifndef ZV_NTDDK_H
#define ZV_NTDDK_H

#include "ntdef.h"
#include "ntstatus.h"

#include <stdarg.h>
#include <string.h>

#ifdef __cplusplus
extern "C" {
#endif

// ---- Counted strings ----

#ifndef DECLARE_CONST_UNICODE_STRING
#define DECLARE_CONST_UNICODE_STRING(_var, _string)                                                          \
    const WCHAR _var##_buffer[] = _string;                                                                   \
    const UNICODE_STRING _var = {(USHORT)(sizeof(_string) - sizeof(WCHAR)), (USHORT)sizeof(_string),         \
                                 (PWSTR)_var##_buffer}
#endif
#ifndef DECLARE_UNICODE_STRING_SIZE
#define DECLARE_UNICODE_STRING_SIZE(_var, _size)                                                             \
    WCHAR _var##_buffer[_size];                                                                              \
    UNICODE_STRING _var = {0, (USHORT)((_size) * sizeof(WCHAR)), _var##_buffer}
#endif
#ifndef RTL_CONSTANT_STRING
#define RTL_CONSTANT_STRING(_s)                                                                              \
    { (USHORT)(sizeof(_s) - sizeof((_s)[0])), (USHORT)sizeof(_s), (PWSTR)(_s) }
#endif

// Length is the string's bytes, MaximumLength two more; a string longer than a counted string can hold is
// cut to the longest that fits (32766 characters).
VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString);
VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString);
// Copies as much as fits and adds a NUL when there is room for one.
VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString);
BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive);
WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter);

// ANSI here is UTF-8 (code page 65001). With AllocateDestinationString FALSE the text goes into the
// caller's buffer: when it does not fit, as much as fits is converted (never half a character), the NUL
// is written and STATUS_BUFFER_OVERFLOW returned. With TRUE the buffer comes from the pool; free it with
// RtlFreeAnsiString / RtlFreeUnicodeString.
ULONG RtlUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString); // with the NUL
NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString);
VOID RtlFreeAnsiString(PANSI_STRING AnsiString);
VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString);

// ---- Memory ----

#define RtlZeroMemory(Destination, Length) memset((Destination), 0, (Length))
#define RtlFillMemory(Destination, Length, Fill) memset((Destination), (Fill), (Length))
#define RtlCopyMemory(Destination, Source, Length) memcpy((Destination), (Source), (Length))
#define RtlMoveMemory(Destination, Source, Length) memmove((Destination), (Source), (Length))
#define RtlEqualMemory(Source1, Source2, Length) (!memcmp((Source1), (Source2), (Length)))
// The number of leading bytes that match.
SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length);

// ---- Registry ----

#define REG_NONE 0
#define REG_SZ 1
#define REG_EXPAND_SZ 2
#define REG_BINARY 3
#define REG_DWORD 4
#define REG_MULTI_SZ 7
#define REG_QWORD 11

// Roots the relative registry routines resolve Path against:
//   ABSOLUTE    Path is a full name (\Registry\...)
//   SERVICES    \Registry\Machine\System\CurrentControlSet\Services
//   CONTROL     \Registry\Machine\System\CurrentControlSet\Control
//   WINDOWS_NT  \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
//   DEVICEMAP   \Registry\Machine\HARDWARE\DEVICEMAP
//   USER        \Registry\User\.Default (the machine has no logged-on user; the default profile stands in)
#define RTL_REGISTRY_ABSOLUTE 0
#define RTL_REGISTRY_SERVICES 1
#define RTL_REGISTRY_CONTROL 2
#define RTL_REGISTRY_WINDOWS_NT 3
#define RTL_REGISTRY_DEVICEMAP 4
#define RTL_REGISTRY_USER 5
#define RTL_REGISTRY_MAXIMUM 6
#define RTL_REGISTRY_OPTIONAL 0x80000000

// The key must exist (RtlCreateRegistryKey makes one); the value is created or replaced. A fresh machine
// has the device map with SERIALCOMM, and the Services, Enum and Control\Class keys. PASSIVE_LEVEL only.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength);
// STATUS_OBJECT_NAME_NOT_FOUND when the value (or the key) does not exist.
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
// Creates the key and any missing parents.
NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);
NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);

// ---- Delays, interrupt request level, time ----

// Interval < 0: relative, in 100-ns units; > 0: absolute system time, which is the virtual clock;
// 0: yields. A wait, so only below DISPATCH_LEVEL. There are no APCs, so Alertable changes nothing.
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

KIRQL KeGetCurrentIrql(VOID);
VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql);
VOID KeLowerIrql(KIRQL NewIrql);
KIRQL KeRaiseIrqlToDpcLevel(VOID);

// System time is the virtual clock itself: the machine boots at the start of system time (1601-01-01), so
// an absolute due time computed from KeQuerySystemTime is a point on the clock that delays and timers use,
// and runs repeat exactly.
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);
// 100-ns units since the machine started.
ULONGLONG KeQueryInterruptTime(VOID);
// The counter runs at 10 MHz: it is the virtual clock.
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);

// ---- Configuration information ----

typedef struct _CONFIGURATION_INFORMATION {
    ULONG DiskCount;
    ULONG FloppyCount;
    ULONG CdRomCount;
    ULONG TapeCount;
    ULONG ScsiPortCount;
    ULONG SerialCount;
    ULONG ParallelCount;
    BOOLEAN AtDiskPrimaryAddressClaimed;
    BOOLEAN AtDiskSecondaryAddressClaimed;
    ULONG Version;
    ULONG MediumChangerCount;
} CONFIGURATION_INFORMATION, *PCONFIGURATION_INFORMATION;

// The machine's record; drivers update the counts in place.
PCONFIGURATION_INFORMATION IoGetConfigurationInformation(VOID);

// ---- Debugger output ----

#define DPFLTR_ERROR_LEVEL 0
#define DPFLTR_WARNING_LEVEL 1
#define DPFLTR_TRACE_LEVEL 2
#define DPFLTR_INFO_LEVEL 3
#define DPFLTR_IHVDRIVER_ID 77

// Formats with the kernel printf dialect and writes to the machine's debug output (stderr unless the
// machine routes it elsewhere). Every component and level is let through: filtering is the caller's.
ULONG DbgPrint(PCSTR Format, ...);
ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...);
ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist);
#define KdPrint(_x_) DbgPrint _x_

#ifdef __cplusplus
}
#endif

// The driver object the system hands to DriverEntry.
#ifndef ZV_DRIVER_OBJECT_DEFINED
#define ZV_DRIVER_OBJECT_DEFINED

#define IRP_MJ_MAXIMUM_FUNCTION_COUNT 28
#define IO_TYPE_DRIVER 4

struct _DEVICE_OBJECT;
struct _DRIVER_OBJECT;
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
} DRIVER_OBJECT, *PDRIVER_OBJECT;

#endif // ZV_DRIVER_OBJECT_DEFINED

#endif // ZV_NTDDK_H
