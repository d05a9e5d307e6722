// Registry values of the three kinds of key a driver keeps settings in, and the persistent per-device
// instance numbers. Every operation opens its key, uses it for one value and closes it again: no key handle
// outlives an operation and nothing is cached, so every call sees the registry as it is now.
#include "base/common/common.h"

// The serial port driver's copy traces under its own name; the code is the same.
#ifdef DRIVER_SERIAL_PORT
#define GET_FDO_REGISTRY_KEY_VALUE_NAME "SerialGetFdoRegistryKeyValue"
#else
#define GET_FDO_REGISTRY_KEY_VALUE_NAME "GetFdoRegistryKeyValue"
#endif

// Reads one REG_DWORD from an open key into Value; an absent value or one of another type leaves 0.
static BOOLEAN QueryKeyULong(_In_ WDFKEY Key, _In_ PCWSTR Name, _Out_ PULONG Value) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    NTSTATUS status = WdfRegistryQueryULong(Key, &valueName, Value);
    if (!NT_SUCCESS(status)) {
        *Value = 0;
        DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_PNP,
                    "%sWdfRegistryQueryULong(%ws) failed with status %X\n", TRACE_BODY, Name, status);
        return FALSE;
    }
    DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_PNP, "%s%ws = 0x%x\n", TRACE_BODY, Name, *Value);
    return TRUE;
}

// Writes one REG_DWORD into an open key, creating or replacing it.
static BOOLEAN AssignKeyULong(_In_ WDFKEY Key, _In_ PCWSTR Name, _In_ ULONG Value) {
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, Name);
    NTSTATUS status = WdfRegistryAssignULong(Key, &valueName, Value);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sWdfRegistryAssignULong(%ws) failed with status %X\n", TRACE_BODY, Name, status);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN GetFdoRegistryKeyValue(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PCWSTR Name, _Out_ PULONG Value) {
    WDFKEY key = NULL;
    BOOLEAN result = FALSE;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%s" GET_FDO_REGISTRY_KEY_VALUE_NAME "\n", TRACE_ENTER);

    *Value = 0;
    NTSTATUS status = WdfFdoInitOpenRegistryKey(DeviceInit, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                                WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (NT_SUCCESS(status)) {
        result = QueryKeyULong(key, Name, Value);
        WdfRegistryClose(key);
    } else {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfFdoInitOpenRegistryKey failed with status %X\n",
                    TRACE_BODY, status);
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%s" GET_FDO_REGISTRY_KEY_VALUE_NAME " %d\n", TRACE_EXIT,
                result);
    return result;
}

BOOLEAN PutFdoRegistryKeyValue(_In_ PWDFDEVICE_INIT DeviceInit, _In_ PCWSTR Name, _In_ ULONG Value) {
    WDFKEY key = NULL;
    BOOLEAN result = FALSE;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sPutFdoRegistryKeyValue\n", TRACE_ENTER);

    NTSTATUS status = WdfFdoInitOpenRegistryKey(DeviceInit, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                                WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (NT_SUCCESS(status)) {
        result = AssignKeyULong(key, Name, Value);
        WdfRegistryClose(key);
    } else {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfFdoInitOpenRegistryKey failed with status %X\n",
                    TRACE_BODY, status);
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sPutFdoRegistryKeyValue %d\n", TRACE_EXIT, result);
    return result;
}

// Opens a key of a created device (hardware or software key) and reads one value from it.
static BOOLEAN GetDeviceKeyValue(_In_ WDFDEVICE Device, _In_ ULONG KeyType, _In_ PCWSTR Name,
                                 _Out_ PULONG Value) {
    WDFKEY key = NULL;
    BOOLEAN result = FALSE;

    *Value = 0;
    NTSTATUS status =
        WdfDeviceOpenRegistryKey(Device, KeyType, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (NT_SUCCESS(status)) {
        result = QueryKeyULong(key, Name, Value);
        WdfRegistryClose(key);
    } else {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfDeviceOpenRegistryKey failed with status %X\n",
                    TRACE_BODY, status);
    }
    return result;
}

BOOLEAN GetRegistrySoftwareKeyValue(_In_ WDFDEVICE Device, _In_ PCWSTR Name, _Out_ PULONG Value) {
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sGetRegistrySoftwareKeyValue\n", TRACE_ENTER);
    BOOLEAN result = GetDeviceKeyValue(Device, PLUGPLAY_REGKEY_DRIVER, Name, Value);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sGetRegistrySoftwareKeyValue %d\n", TRACE_EXIT, result);
    return result;
}

#ifdef DRIVER_SERIAL_PORT
BOOLEAN SerialGetRegistryKeyValue(_In_ WDFDEVICE Device, _In_ PCWSTR Name, _Out_ PULONG Value) {
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sSerialGetRegistryKeyValue\n", TRACE_ENTER);
    BOOLEAN result = GetDeviceKeyValue(Device, PLUGPLAY_REGKEY_DEVICE, Name, Value);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sSerialGetRegistryKeyValue %d\n", TRACE_EXIT, result);
    return result;
}

BOOLEAN SerialPutRegistryKeyValue(_In_ WDFDEVICE Device, _In_ PCWSTR Name, _In_ ULONG Value) {
    WDFKEY key = NULL;
    BOOLEAN result = FALSE;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sSerialPutRegistryKeyValue\n", TRACE_ENTER);

    NTSTATUS status = WdfDeviceOpenRegistryKey(Device, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                               WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (NT_SUCCESS(status)) {
        result = AssignKeyULong(key, Name, Value);
        WdfRegistryClose(key);
    } else {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfDeviceOpenRegistryKey failed with status %X\n",
                    TRACE_BODY, status);
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sSerialPutRegistryKeyValue %d\n", TRACE_EXIT, result);
    return result;
}
#endif

NTSTATUS GetThenUpdateNextInstanceNumber(_In_ WDFDRIVER Driver, _Out_ PULONG InstanceNumber) {
    WDFKEY key = NULL;
    DECLARE_CONST_UNICODE_STRING(counterName, L"NextInstanceNumber");

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sGetThenUpdateNextInstanceNumber\n", TRACE_ENTER);

    NTSTATUS status =
        WdfDriverOpenParametersRegistryKey(Driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sWdfDriverOpenParametersRegistryKey failed with status %X\n", TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sGetThenUpdateNextInstanceNumber %X\n", TRACE_EXIT,
                    status);
        return status;
    }

    status = WdfRegistryQueryULong(key, &counterName, InstanceNumber);
    if (!NT_SUCCESS(status)) {
        // An absent counter: this is the driver's first device.
        *InstanceNumber = 0;
    }

    // The counter is a plain 32-bit value and wraps from 0xFFFFFFFF to 0.
    status = WdfRegistryAssignULong(key, &counterName, (ULONG)(*InstanceNumber + 1));
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfRegistryAssignULong failed with status %X\n",
                    TRACE_BODY, status);
    }

    WdfRegistryClose(key);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sGetThenUpdateNextInstanceNumber %X\n", TRACE_EXIT,
                status);
    return status;
}

NTSTATUS GetInstanceNumber(_In_ PWDFDEVICE_INIT DeviceInit, _In_ WDFDRIVER Driver,
                           _Out_ PULONG InstanceNumber) {
    NTSTATUS status = STATUS_SUCCESS;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sGetInstanceNumber\n", TRACE_ENTER);

    if (!GetFdoRegistryKeyValue(DeviceInit, L"InstanceNumber", InstanceNumber)) {
        // A new device: the counter advances before the device's own value is written, so a failed write
        // below burns the number and the next add of this device takes a fresh one.
        status = GetThenUpdateNextInstanceNumber(Driver, InstanceNumber);
        if (NT_SUCCESS(status) && !PutFdoRegistryKeyValue(DeviceInit, L"InstanceNumber", *InstanceNumber)) {
            status = STATUS_UNSUCCESSFUL;
        }
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sGetInstanceNumber %X\n", TRACE_EXIT, status);
    return status;
}
