// Driver-side code of the shared-support tests; see driver_side.h.
#include "tests/common/driver_side.h"

#include "base/common/common.h"

ULONG DebugLevel = 5;
ULONG DebugFlag = DEFAULT_DEBUG_FLAG;

NTSTATUS CommonTestDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DRIVER_CONFIG config;
    WDFDRIVER driver;

    TRACE_BUILD_BANNER("***Common test driver - Built %s %s\n");
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = EvtDriverContextCleanup;
    WDF_DRIVER_CONFIG_INIT(&config, WDF_NO_EVENT_CALLBACK);
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    ReadDebugSettings(driver);
    return STATUS_SUCCESS;
}

BOOLEAN TestGetFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, const char16_t* Name, PULONG Value) {
    return GetFdoRegistryKeyValue(DeviceInit, reinterpret_cast<PCWSTR>(Name), Value);
}

BOOLEAN TestPutFdoRegistryKeyValue(PWDFDEVICE_INIT DeviceInit, const char16_t* Name, ULONG Value) {
    return PutFdoRegistryKeyValue(DeviceInit, reinterpret_cast<PCWSTR>(Name), Value);
}

BOOLEAN TestGetRegistrySoftwareKeyValue(WDFDEVICE Device, const char16_t* Name, PULONG Value) {
    return GetRegistrySoftwareKeyValue(Device, reinterpret_cast<PCWSTR>(Name), Value);
}

BOOLEAN TestSerialGetRegistryKeyValue(WDFDEVICE Device, const char16_t* Name, PULONG Value) {
    return SerialGetRegistryKeyValue(Device, reinterpret_cast<PCWSTR>(Name), Value);
}

BOOLEAN TestSerialPutRegistryKeyValue(WDFDEVICE Device, const char16_t* Name, ULONG Value) {
    return SerialPutRegistryKeyValue(Device, reinterpret_cast<PCWSTR>(Name), Value);
}

VOID TestTraceWide(ULONG Level, ULONG Flags, const char16_t* Text) {
    DriverTrace(Level, Flags, "%swide %ws\n", TRACE_BODY, reinterpret_cast<PCWSTR>(Text));
}
