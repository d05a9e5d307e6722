// A small driver module for the tests and the demo. It has the shape of the real drivers' entry and device
// add (build banner, framework driver with EvtDriverContextCleanup, debug settings, a persistent instance
// number per device), so loading it by service name runs the shared driver support end to end. It is
// built with its traces routed to the debug output; it writes back the debug settings it ended up with
// ("ObservedDebugLevel", "ObservedDebugFlag" in its Parameters key) so that a test can see them from
// outside the image.
#include "base/common/common.h"

ULONG DebugLevel = 4;
ULONG DebugFlag = DEFAULT_DEBUG_FLAG;

typedef struct _TEST_DEVICE_CONTEXT {
    ULONG InstanceNumber;
} TEST_DEVICE_CONTEXT, *PTEST_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(TEST_DEVICE_CONTEXT, GetTestDeviceContext)

extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD TestEvtDeviceAdd;

static VOID RecordObservedSettings(WDFDRIVER Driver) {
    WDFKEY key = NULL;
    DECLARE_CONST_UNICODE_STRING(levelName, L"ObservedDebugLevel");
    DECLARE_CONST_UNICODE_STRING(flagName, L"ObservedDebugFlag");

    if (NT_SUCCESS(WdfDriverOpenParametersRegistryKey(Driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES,
                                                      &key))) {
        WdfRegistryAssignULong(key, &levelName, DebugLevel);
        WdfRegistryAssignULong(key, &flagName, DebugFlag);
        WdfRegistryClose(key);
    }
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DRIVER_CONFIG config;
    WDFDRIVER driver;

    TRACE_BUILD_BANNER("***Test Driver - Built %s %s\n");

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = EvtDriverContextCleanup;
    WDF_DRIVER_CONFIG_INIT(&config, TestEvtDeviceAdd);
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_DRIVER, "%sWdfDriverCreate failed with status %X\n",
                    TRACE_BODY, status);
        return status;
    }
    ReadDebugSettings(driver);
    RecordObservedSettings(driver);
    return STATUS_SUCCESS;
}

NTSTATUS TestEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFDEVICE device;
    ULONG instanceNumber = 0;

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sTestEvtDeviceAdd\n", TRACE_EVT_ENTER);
    NTSTATUS status = GetInstanceNumber(DeviceInit, Driver, &instanceNumber);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sGetInstanceNumber failed with status %X\n",
                    TRACE_BODY, status);
        return status;
    }
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, TEST_DEVICE_CONTEXT);
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfDeviceCreate failed with status %X\n",
                    TRACE_BODY, status);
        return status;
    }
    GetTestDeviceContext(device)->InstanceNumber = instanceNumber;
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sTestEvtDeviceAdd instance %d\n", TRACE_EVT_EXIT,
                instanceNumber);
    return STATUS_SUCCESS;
}
