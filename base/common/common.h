// Shared driver support, compiled into each driver separately: the trace convention and the two trace
// settings, the device-power-state names, the driver object's cleanup callback, the registry-value helpers
// on the driver's Parameters key and the device's hardware and software keys, and the persistent
// per-device instance numbers.
//
// Each driver defines DebugLevel and DebugFlag with its own defaults; the serial port driver builds this
// code with DRIVER_SERIAL_PORT defined, which gives it its own trace names and its hardware-key pair.
#ifndef ZV_BASE_COMMON_H
#define ZV_BASE_COMMON_H

#include <ntddk.h>
#include <wdf.h>

// Trace levels.
#define TRACE_LEVEL_ERROR 2   // a failed platform call or a failed step
#define TRACE_LEVEL_WARNING 3 // an unexpected but tolerated input
#define TRACE_LEVEL_INFO 4    // entry, exit and milestones
#define TRACE_LEVEL_VERBOSE 5 // request parameters, registry values, URB fields

// Trace flags; each trace call passes exactly one.
#define TRACE_FLAG_DRIVER 0x1
#define TRACE_FLAG_PNP 0x2
#define TRACE_FLAG_POWER 0x4
#define TRACE_FLAG_FILE 0x10
#define TRACE_FLAG_IOCTL 0x20
#define TRACE_FLAG_WRITE 0x40
#define TRACE_FLAG_READ 0x80
#define TRACE_FLAG_REQUEST 0x800
#define TRACE_FLAG_RX_DETAIL 0x4000
#define TRACE_FLAG_TX_DETAIL 0x8000

#define DEFAULT_DEBUG_FLAG 0x1fff

// Line prefixes, the first "%s" of almost every format.
#define TRACE_EVT_ENTER "-->"
#define TRACE_EVT_EXIT "<--"
#define TRACE_ENTER "  >"
#define TRACE_EXIT "  <"
#define TRACE_BODY "   "

// The build banner: the first statement of each driver's entry routine.
#define TRACE_BUILD_BANNER(Format)                                                                           \
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_DRIVER, Format, __DATE__, __TIME__)

// The trace settings, defined by each driver with its defaults and read once at driver entry.
extern ULONG DebugLevel;
extern ULONG DebugFlag;

VOID DriverTrace(_In_ ULONG Level, _In_ ULONG Flags, _In_ PCSTR Format, ...);
VOID ReadDebugSettings(_In_ WDFDRIVER Driver);
PCSTR DevicePowerStateName(_In_ WDF_POWER_DEVICE_STATE State);
EVT_WDF_OBJECT_CONTEXT_CLEANUP EvtDriverContextCleanup;

BOOLEAN GetFdoRegistryKeyValue(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PCWSTR Name, _Out_ PULONG Value);
BOOLEAN PutFdoRegistryKeyValue(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PCWSTR Name, _In_ ULONG Value);
BOOLEAN GetRegistrySoftwareKeyValue(_In_ WDFDEVICE Device, _In_ PCWSTR Name, _Out_ PULONG Value);
NTSTATUS GetThenUpdateNextInstanceNumber(_In_ WDFDRIVER Driver, _Out_ PULONG InstanceNumber);
NTSTATUS GetInstanceNumber(_In_ PWDFDEVICE_INIT DeviceInit, _In_ WDFDRIVER Driver,
                           _Out_ PULONG InstanceNumber);

#ifdef DRIVER_SERIAL_PORT
BOOLEAN SerialGetRegistryKeyValue(_In_ WDFDEVICE Device, _In_ PCWSTR Name, _Out_ PULONG Value);
BOOLEAN SerialPutRegistryKeyValue(_In_ WDFDEVICE Device, _In_ PCWSTR Name, _In_ ULONG Value);
#endif

#endif // ZV_BASE_COMMON_H
