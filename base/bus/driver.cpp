// The bus driver's entry: the framework driver with its context, the debug settings, and the driver-wide
// parent collection with the wait lock that guards it.
#include "base/bus/bus.h"

ULONG DebugLevel = 5;
ULONG DebugFlag = DEFAULT_DEBUG_FLAG;

NTSTATUS DriverEntry(_In_ PDRIVER_OBJECT DriverObject, _In_ PUNICODE_STRING RegistryPath) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DRIVER_CONFIG config;
    WDFDRIVER driver = NULL;

    TRACE_BUILD_BANNER("***Bus(Composit Parent) Driver - Built %s %s\n");
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_DRIVER, "%sDriverEntry\n", TRACE_EVT_ENTER);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, DRIVER_CONTEXT);
    attributes.EvtCleanupCallback = EvtDriverContextCleanup;
    WDF_DRIVER_CONFIG_INIT(&config, EvtDeviceAdd);
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_DRIVER, "%sWdfDriverCreate failed with status %X\n",
                    TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_DRIVER, "%sDriverEntry %X\n", TRACE_EVT_EXIT, status);
        return status;
    }

    ReadDebugSettings(driver);

    PDRIVER_CONTEXT driverContext = GetDriverContext(driver);

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    status = WdfCollectionCreate(&attributes, &driverContext->ParentFdoCollection);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_DRIVER, "%sWdfCollectionCreate failed with status %X\n",
                    TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_DRIVER, "%sDriverEntry %X\n", TRACE_EVT_EXIT, status);
        return status;
    }

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = driver;
    status = WdfWaitLockCreate(&attributes, &driverContext->ParentFdoCollectionLock);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_DRIVER, "%sWdfWaitLockCreate failed with status %X\n",
                    TRACE_BODY, status);
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_DRIVER, "%sDriverEntry %X\n", TRACE_EVT_EXIT, status);
    return status;
}
