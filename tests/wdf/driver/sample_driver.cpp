// The sample driver: driver entry, device add, and the cleanup callbacks whose order the tests check.
#include "tests/wdf/driver/sample_driver.h"

typedef struct _SAMPLE_DRIVER_CONTEXT {
    WDFCOLLECTION Devices;
    WDFSTRING RegistryPath;
    ULONG Reserved[8];
} SAMPLE_DRIVER_CONTEXT, *PSAMPLE_DRIVER_CONTEXT;

typedef struct _SAMPLE_DEVICE_CONTEXT {
    ULONG Magic;
    ULONG InstanceNumber;
    UCHAR Reserved[64];
} SAMPLE_DEVICE_CONTEXT, *PSAMPLE_DEVICE_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SAMPLE_DRIVER_CONTEXT, SampleGetDriverContext)
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(SAMPLE_DEVICE_CONTEXT, SampleGetDeviceContext)

// The type information is a compile-time constant: no static constructor stands behind it.
static_assert(WDF_GET_CONTEXT_TYPE_INFO(SAMPLE_DEVICE_CONTEXT) ==
                  &WDF_TYPE_NAME_TO_TYPE_INFO(SAMPLE_DEVICE_CONTEXT),
              "the unique type of a context is its own type information");
static_assert(WDF_TYPE_NAME_TO_TYPE_INFO(SAMPLE_DEVICE_CONTEXT).ContextSize == sizeof(SAMPLE_DEVICE_CONTEXT),
              "the context size is the record's");
static_assert(sizeof(WCHAR) == 2 && sizeof(L'x') == 2, "driver code has 16-bit wide characters");

EVT_WDF_DRIVER_DEVICE_ADD SampleEvtDeviceAdd;
EVT_WDF_DRIVER_UNLOAD SampleEvtDriverUnload;
EVT_WDF_OBJECT_CONTEXT_CLEANUP SampleEvtDriverContextCleanup;
EVT_WDF_OBJECT_CONTEXT_DESTROY SampleEvtDriverContextDestroy;
EVT_WDF_OBJECT_CONTEXT_CLEANUP SampleEvtDeviceContextCleanup;
EVT_WDF_OBJECT_CONTEXT_DESTROY SampleEvtDeviceContextDestroy;

SAMPLE_OBSERVATIONS SampleObservations;
static BOOLEAN UnloadRegistered;
static NTSTATUS DriverEntryFailure;

static VOID SampleRecord(SAMPLE_EVENT Event) {
    if (SampleObservations.EventCount < RTL_NUMBER_OF(SampleObservations.Events))
        SampleObservations.Events[SampleObservations.EventCount++] = Event;
}

static BOOLEAN SampleAllZero(const VOID* Memory, SIZE_T Length) {
    const UCHAR* Bytes = (const UCHAR*)Memory;
    for (SIZE_T i = 0; i < Length; ++i)
        if (Bytes[i] != 0)
            return FALSE;
    return TRUE;
}

VOID SampleReset(VOID) {
    RtlZeroMemory(&SampleObservations, sizeof(SampleObservations));
    UnloadRegistered = FALSE;
    DriverEntryFailure = STATUS_SUCCESS;
}

VOID SampleSetUnloadCallback(BOOLEAN Registered) {
    UnloadRegistered = Registered;
}

VOID SampleFailDriverEntryWith(NTSTATUS Status) {
    DriverEntryFailure = Status;
}

static VOID SampleReadParameters(WDFDRIVER Driver) {
    DECLARE_CONST_UNICODE_STRING(debugLevelName, L"DebugLevel");
    WDFKEY key = NULL;
    ULONG value = 0;
    SampleObservations.DebugLevel = 5;
    NTSTATUS status =
        WdfDriverOpenParametersRegistryKey(Driver, STANDARD_RIGHTS_ALL, WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status)) {
        SampleObservations.ParametersStatus = status;
        return;
    }
    status = WdfRegistryQueryULong(key, &debugLevelName, &value);
    if (NT_SUCCESS(status))
        SampleObservations.DebugLevel = value;
    SampleObservations.ParametersStatus = status;
    WdfRegistryClose(key);
}

NTSTATUS SampleDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DRIVER_CONFIG config;
    WDFDRIVER driver;

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, SAMPLE_DRIVER_CONTEXT);
    attributes.EvtCleanupCallback = SampleEvtDriverContextCleanup;
    attributes.EvtDestroyCallback = SampleEvtDriverContextDestroy;
    WDF_DRIVER_CONFIG_INIT(&config, SampleEvtDeviceAdd);
    if (UnloadRegistered)
        config.EvtDriverUnload = SampleEvtDriverUnload;
    NTSTATUS status = WdfDriverCreate(DriverObject, RegistryPath, &attributes, &config, &driver);
    if (!NT_SUCCESS(status))
        return status;
    SampleObservations.Driver = driver;
    SampleObservations.DriverFoundByWdfGetDriver = WdfGetDriver() == driver;

    PSAMPLE_DRIVER_CONTEXT context = SampleGetDriverContext(driver);
    SampleObservations.DriverContextWasZero = SampleAllZero(context, sizeof(*context));

    // No parent named: the framework parents both to the driver.
    status = WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &context->Devices);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfStringCreate(RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &context->RegistryPath);
    if (!NT_SUCCESS(status))
        return status;
    SampleReadParameters(driver);
    return DriverEntryFailure;
}

NTSTATUS SampleEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    DECLARE_CONST_UNICODE_STRING(instanceNumberName, L"InstanceNumber");
    DECLARE_CONST_UNICODE_STRING(portNameName, L"PortName");
    DECLARE_CONST_UNICODE_STRING(com7, L"COM7");
    DECLARE_CONST_UNICODE_STRING(seenName, L"Seen");
    WDFKEY key = NULL;
    ULONG instanceNumber = 0;

    NTSTATUS status = WdfFdoInitOpenRegistryKey(DeviceInit, PLUGPLAY_REGKEY_DEVICE, STANDARD_RIGHTS_ALL,
                                                WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (!NT_SUCCESS(status))
        return status;
    SampleObservations.InstanceStatus = WdfRegistryQueryULong(key, &instanceNumberName, &instanceNumber);
    SampleObservations.InstanceNumber = instanceNumber;
    WCHAR portBuffer[128];
    UNICODE_STRING portName;
    portName.Buffer = portBuffer;
    portName.Length = 0;
    portName.MaximumLength = sizeof(portBuffer);
    SampleObservations.PortNameStatus = WdfRegistryQueryUnicodeString(key, &portNameName, NULL, &portName);
    SampleObservations.PortNameIsCom7 =
        NT_SUCCESS(SampleObservations.PortNameStatus) && portName.Length == com7.Length &&
        RtlCompareMemory(portName.Buffer, com7.Buffer, com7.Length) == com7.Length;
    WdfRegistryClose(key);

    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, SAMPLE_DEVICE_CONTEXT);
    attributes.EvtCleanupCallback = SampleEvtDeviceContextCleanup;
    attributes.EvtDestroyCallback = SampleEvtDeviceContextDestroy;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    WDFDEVICE device;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    SampleObservations.Device = device;

    PSAMPLE_DEVICE_CONTEXT context = SampleGetDeviceContext(device);
    SampleObservations.DeviceContextWasZero = SampleAllZero(context, sizeof(*context));
    context->Magic = SAMPLE_DEVICE_MAGIC;
    context->InstanceNumber = instanceNumber;

    status = WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DRIVER, STANDARD_RIGHTS_ALL,
                                      WDF_NO_OBJECT_ATTRIBUTES, &key);
    if (NT_SUCCESS(status)) {
        status = WdfRegistryAssignULong(key, &seenName, 1);
        WdfRegistryClose(key);
    }
    SampleObservations.SoftwareKeyStatus = status;
    return WdfCollectionAdd(SampleGetDriverContext(Driver)->Devices, device);
}

VOID SampleEvtDeviceContextCleanup(WDFOBJECT Device) {
    SampleRecord(SampleEventDeviceCleanup);
    // The driver is cleaned up after its devices, so its context and collection are still there.
    WDFCOLLECTION devices = SampleGetDriverContext(WdfGetDriver())->Devices;
    WdfCollectionRemove(devices, Device);
}

VOID SampleEvtDeviceContextDestroy(WDFOBJECT Device) {
    // Only the context may be touched here.
    if (SampleGetDeviceContext(Device)->Magic == SAMPLE_DEVICE_MAGIC)
        SampleRecord(SampleEventDeviceDestroy);
}

VOID SampleEvtDriverUnload(WDFDRIVER Driver) {
    UNREFERENCED_PARAMETER(Driver);
    SampleRecord(SampleEventDriverUnload);
}

VOID SampleEvtDriverContextCleanup(WDFOBJECT Driver) {
    // Its children (the collection, the string) are cleaned up already: only the context is looked at.
    if (SampleGetDriverContext(Driver)->Devices != NULL)
        SampleRecord(SampleEventDriverCleanup);
}

VOID SampleEvtDriverContextDestroy(WDFOBJECT Driver) {
    UNREFERENCED_PARAMETER(Driver);
    SampleRecord(SampleEventDriverDestroy);
}

ULONG SampleDeviceMagic(WDFOBJECT Object) {
    PSAMPLE_DEVICE_CONTEXT context = SampleGetDeviceContext(Object);
    return context != NULL ? context->Magic : 0;
}

WDFCOLLECTION SampleDeviceCollection(WDFDRIVER Driver) {
    return SampleGetDriverContext(Driver)->Devices;
}
