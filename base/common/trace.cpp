// The trace convention: DriverTrace, the debug settings read at driver entry, the device-power-state names
// and the driver object's cleanup callback. The delivered build compiles DriverTrace to an empty body; a
// build with ZV_TRACE passes the lines that DebugLevel and DebugFlag let through to the debugger output.
#include "base/common/common.h"

#include <stdarg.h>

VOID DriverTrace(_In_ ULONG Level, _In_ ULONG Flags, _In_ PCSTR Format, ...) {
#if defined(ZV_TRACE) && ZV_TRACE
    if (Level > DebugLevel || (Flags & DebugFlag) == 0) {
        return;
    }
    va_list args;
    va_start(args, Format);
    vDbgPrintEx(DPFLTR_IHVDRIVER_ID, Level, Format, args);
    va_end(args);
#else
    UNREFERENCED_PARAMETER(Level);
    UNREFERENCED_PARAMETER(Flags);
    UNREFERENCED_PARAMETER(Format);
#endif
}

VOID ReadDebugSettings(_In_ WDFDRIVER Driver) {
    WDFKEY key = NULL;
    ULONG value = 0;
    DECLARE_CONST_UNICODE_STRING(levelName, L"DebugLevel");
    DECLARE_CONST_UNICODE_STRING(flagName, L"DebugFlag");

    PAGED_CODE();

    NTSTATUS status =
        WdfDriverOpenParametersRegistryKey(Driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_DRIVER,
                    "%sWdfDriverOpenParametersRegistryKey failed with status %X\n", TRACE_BODY, status);
        return;
    }

    status = WdfRegistryQueryULong(key, &levelName, &value);
    if (NT_SUCCESS(status)) {
        DebugLevel = value;
    }
    status = WdfRegistryQueryULong(key, &flagName, &value);
    if (NT_SUCCESS(status)) {
        DebugFlag = value;
    }
    DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_DRIVER, "%sDebugLevel %d DebugFlag %x\n", TRACE_BODY,
                DebugLevel, DebugFlag);

    WdfRegistryClose(key);
}

PCSTR DevicePowerStateName(_In_ WDF_POWER_DEVICE_STATE State) {
    switch (State) {
        case WdfPowerDeviceInvalid:
            return "WdfPowerDeviceInvalid";
        case WdfPowerDeviceD0:
            return "WdfPowerDeviceD0";
        case WdfPowerDeviceD1:
            return "WdfPowerDeviceD1";
        case WdfPowerDeviceD2:
            return "WdfPowerDeviceD2";
        case WdfPowerDeviceD3:
            return "WdfPowerDeviceD3";
        case WdfPowerDeviceD3Final:
            return "WdfPowerDeviceD3Final";
        case WdfPowerDevicePrepareForHibernation:
            return "WdfPowerDevicePrepareForHibernation";
        case WdfPowerDeviceMaximum:
            return "PowerDeviceMaximum";
        default:
            return "UnKnown Device Power State";
    }
}

VOID EvtDriverContextCleanup(_In_ WDFOBJECT Driver) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_DRIVER, "***EvtDriverContextCleanup(0x%p)\n", Driver);
}
