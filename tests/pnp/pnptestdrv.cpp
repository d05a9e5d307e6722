// A function driver module for the Plug and Play tests, loaded by the PnP manager through the service table.
// It registers every Plug and Play and power callback and writes a line for each to the debug output (see
// pnptestdrv.h), so that a test sees the order the framework called them in; a device's hardware key can
// make callbacks fail or refuse. A device with a unit number is named, has a symbolic link and a device
// interface, and answers reads, writes and device controls from an application: a write is kept, a read
// returns it, and one request can be held across power changes.
#include <ntddk.h>
#include <ntstrsafe.h>
#include <wdf.h>

#include "tests/pnp/pnptestdrv.h"

typedef struct _PNPTEST_CONTEXT {
    ULONG Unit;
    ULONG Faults;
    ULONG Length;
    UCHAR Buffer[PNPTEST_BUFFER_BYTES];
    WDFREQUEST Held;
} PNPTEST_CONTEXT, *PPNPTEST_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PNPTEST_CONTEXT, GetTestContext)

extern "C" DRIVER_INITIALIZE DriverEntry;
EVT_WDF_DRIVER_DEVICE_ADD PnpTestEvtDeviceAdd;
EVT_WDF_DEVICE_PREPARE_HARDWARE PnpTestEvtPrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE PnpTestEvtReleaseHardware;
EVT_WDF_DEVICE_D0_ENTRY PnpTestEvtD0Entry;
EVT_WDF_DEVICE_D0_ENTRY_POST_INTERRUPTS_ENABLED PnpTestEvtD0EntryPost;
EVT_WDF_DEVICE_D0_EXIT PnpTestEvtD0Exit;
EVT_WDF_DEVICE_D0_EXIT_PRE_INTERRUPTS_DISABLED PnpTestEvtD0ExitPre;
EVT_WDF_DEVICE_SELF_MANAGED_IO_INIT PnpTestEvtSelfManagedIoInit;
EVT_WDF_DEVICE_SELF_MANAGED_IO_SUSPEND PnpTestEvtSelfManagedIoSuspend;
EVT_WDF_DEVICE_SELF_MANAGED_IO_RESTART PnpTestEvtSelfManagedIoRestart;
EVT_WDF_DEVICE_SELF_MANAGED_IO_FLUSH PnpTestEvtSelfManagedIoFlush;
EVT_WDF_DEVICE_SELF_MANAGED_IO_CLEANUP PnpTestEvtSelfManagedIoCleanup;
EVT_WDF_DEVICE_SURPRISE_REMOVAL PnpTestEvtSurpriseRemoval;
EVT_WDF_DEVICE_QUERY_REMOVE PnpTestEvtQueryRemove;
EVT_WDF_DEVICE_QUERY_STOP PnpTestEvtQueryStop;
EVT_WDF_DEVICE_RELATIONS_QUERY PnpTestEvtRelationsQuery;
EVT_WDF_DEVICE_CONTEXT_CLEANUP PnpTestEvtDeviceCleanup;
EVT_WDF_IO_QUEUE_IO_READ PnpTestEvtIoRead;
EVT_WDF_IO_QUEUE_IO_WRITE PnpTestEvtIoWrite;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL PnpTestEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_STOP PnpTestEvtIoStop;
EVT_WDF_IO_QUEUE_IO_RESUME PnpTestEvtIoResume;

static const GUID PnpTestInterfaceGuid = PNPTEST_INTERFACE_GUID_INIT;

static VOID Record(WDFDEVICE Device, PCSTR Event) {
    DbgPrint("ZVPNP %u %s\n", GetTestContext(Device)->Unit, Event);
}

static VOID RecordPower(WDFDEVICE Device, PCSTR Event, PCSTR Which, WDF_POWER_DEVICE_STATE State) {
    DbgPrint("ZVPNP %u %s %s=%d action=%d\n", GetTestContext(Device)->Unit, Event, Which, (int)State,
             (int)WdfDeviceGetSystemPowerAction(Device));
}

static BOOLEAN Faulty(WDFDEVICE Device, ULONG Fault) {
    return (GetTestContext(Device)->Faults & Fault) != 0 ? TRUE : FALSE;
}

static ULONG QueryHardwareValue(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING Name, ULONG Default) {
    WDFKEY key = NULL;
    ULONG value = Default;
    if (NT_SUCCESS(WdfFdoInitOpenRegistryKey(DeviceInit, PLUGPLAY_REGKEY_DEVICE, KEY_READ,
                                             WDF_NO_OBJECT_ATTRIBUTES, &key))) {
        if (!NT_SUCCESS(WdfRegistryQueryULong(key, Name, &value)))
            value = Default;
        WdfRegistryClose(key);
    }
    return value;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, PnpTestEvtDeviceAdd);
    return WdfDriverCreate(DriverObject, RegistryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

static NTSTATUS NameDevice(PWDFDEVICE_INIT DeviceInit, ULONG Unit) {
    DECLARE_UNICODE_STRING_SIZE(name, 64);
    NTSTATUS status = RtlUnicodeStringPrintf(&name, L"\\Device\\ZvPnpTest%u", Unit);
    if (!NT_SUCCESS(status))
        return status;
    return WdfDeviceInitAssignName(DeviceInit, &name);
}

static NTSTATUS PublishDevice(WDFDEVICE Device, ULONG Unit) {
    DECLARE_UNICODE_STRING_SIZE(link, 64);
    NTSTATUS status = RtlUnicodeStringPrintf(&link, L"\\DosDevices\\ZvPnpTest%u", Unit);
    if (!NT_SUCCESS(status))
        return status;
    status = WdfDeviceCreateSymbolicLink(Device, &link);
    if (!NT_SUCCESS(status))
        return status;
    return WdfDeviceCreateDeviceInterface(Device, &PnpTestInterfaceGuid, NULL);
}

NTSTATUS PnpTestEvtDeviceAdd(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit) {
    DECLARE_CONST_UNICODE_STRING(unitName, L"" PNPTEST_VALUE_UNIT);
    DECLARE_CONST_UNICODE_STRING(faultsName, L"" PNPTEST_VALUE_FAULTS);
    WDF_PNPPOWER_EVENT_CALLBACKS callbacks;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_IO_QUEUE_CONFIG queueConfig;
    WDFDEVICE device;
    UNREFERENCED_PARAMETER(Driver);

    ULONG unit = QueryHardwareValue(DeviceInit, &unitName, (ULONG)-1);
    ULONG faults = QueryHardwareValue(DeviceInit, &faultsName, 0);

    WdfDeviceInitSetDeviceType(DeviceInit, PNPTEST_DEVICE_TYPE);
    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&callbacks);
    callbacks.EvtDevicePrepareHardware = PnpTestEvtPrepareHardware;
    callbacks.EvtDeviceReleaseHardware = PnpTestEvtReleaseHardware;
    callbacks.EvtDeviceD0Entry = PnpTestEvtD0Entry;
    callbacks.EvtDeviceD0EntryPostInterruptsEnabled = PnpTestEvtD0EntryPost;
    callbacks.EvtDeviceD0Exit = PnpTestEvtD0Exit;
    callbacks.EvtDeviceD0ExitPreInterruptsDisabled = PnpTestEvtD0ExitPre;
    callbacks.EvtDeviceSelfManagedIoInit = PnpTestEvtSelfManagedIoInit;
    callbacks.EvtDeviceSelfManagedIoSuspend = PnpTestEvtSelfManagedIoSuspend;
    callbacks.EvtDeviceSelfManagedIoRestart = PnpTestEvtSelfManagedIoRestart;
    callbacks.EvtDeviceSelfManagedIoFlush = PnpTestEvtSelfManagedIoFlush;
    callbacks.EvtDeviceSelfManagedIoCleanup = PnpTestEvtSelfManagedIoCleanup;
    callbacks.EvtDeviceSurpriseRemoval = PnpTestEvtSurpriseRemoval;
    callbacks.EvtDeviceQueryRemove = PnpTestEvtQueryRemove;
    callbacks.EvtDeviceQueryStop = PnpTestEvtQueryStop;
    callbacks.EvtDeviceRelationsQuery = PnpTestEvtRelationsQuery;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &callbacks);
    if (unit != (ULONG)-1) {
        NTSTATUS status = NameDevice(DeviceInit, unit);
        if (!NT_SUCCESS(status))
            return status;
    }

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PNPTEST_CONTEXT);
    attributes.EvtCleanupCallback = PnpTestEvtDeviceCleanup;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    NTSTATUS status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    PPNPTEST_CONTEXT context = GetTestContext(device);
    context->Unit = unit;
    context->Faults = faults;
    Record(device, "DeviceAdd");
    if (faults & PNPTEST_FAULT_DEVICE_ADD)
        return PNPTEST_FAILURE_STATUS;
    if (faults & PNPTEST_FAULT_NOT_STOPPABLE)
        WdfDeviceSetStaticStopRemove(device, FALSE);

    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoRead = PnpTestEvtIoRead;
    queueConfig.EvtIoWrite = PnpTestEvtIoWrite;
    queueConfig.EvtIoDeviceControl = PnpTestEvtIoDeviceControl;
    queueConfig.EvtIoStop = PnpTestEvtIoStop;
    queueConfig.EvtIoResume = PnpTestEvtIoResume;
    status = WdfIoQueueCreate(device, &queueConfig, WDF_NO_OBJECT_ATTRIBUTES, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    if (unit != (ULONG)-1)
        return PublishDevice(device, unit);
    return STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtPrepareHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesRaw,
                                   WDFCMRESLIST ResourcesTranslated) {
    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    Record(Device, "PrepareHardware");
    return Faulty(Device, PNPTEST_FAULT_PREPARE_HARDWARE) ? PNPTEST_FAILURE_STATUS : STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtReleaseHardware(WDFDEVICE Device, WDFCMRESLIST ResourcesTranslated) {
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    Record(Device, "ReleaseHardware");
    return STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtD0Entry(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    RecordPower(Device, "D0Entry", "prev", PreviousState);
    return Faulty(Device, PNPTEST_FAULT_D0_ENTRY) ? PNPTEST_FAILURE_STATUS : STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtD0EntryPost(WDFDEVICE Device, WDF_POWER_DEVICE_STATE PreviousState) {
    UNREFERENCED_PARAMETER(PreviousState);
    Record(Device, "D0EntryPost");
    return STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtD0Exit(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    RecordPower(Device, "D0Exit", "target", TargetState);
    return STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtD0ExitPre(WDFDEVICE Device, WDF_POWER_DEVICE_STATE TargetState) {
    UNREFERENCED_PARAMETER(TargetState);
    Record(Device, "D0ExitPre");
    return STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtSelfManagedIoInit(WDFDEVICE Device) {
    Record(Device, "SmioInit");
    return STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtSelfManagedIoSuspend(WDFDEVICE Device) {
    Record(Device, "SmioSuspend");
    return STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtSelfManagedIoRestart(WDFDEVICE Device) {
    Record(Device, "SmioRestart");
    return STATUS_SUCCESS;
}

VOID PnpTestEvtSelfManagedIoFlush(WDFDEVICE Device) {
    Record(Device, "SmioFlush");
}

VOID PnpTestEvtSelfManagedIoCleanup(WDFDEVICE Device) {
    Record(Device, "SmioCleanup");
}

VOID PnpTestEvtSurpriseRemoval(WDFDEVICE Device) {
    Record(Device, "SurpriseRemoval");
}

NTSTATUS PnpTestEvtQueryRemove(WDFDEVICE Device) {
    Record(Device, "QueryRemove");
    return Faulty(Device, PNPTEST_FAULT_VETO_QUERY_REMOVE) ? PNPTEST_VETO_STATUS : STATUS_SUCCESS;
}

NTSTATUS PnpTestEvtQueryStop(WDFDEVICE Device) {
    Record(Device, "QueryStop");
    return Faulty(Device, PNPTEST_FAULT_VETO_QUERY_STOP) ? PNPTEST_VETO_STATUS : STATUS_SUCCESS;
}

VOID PnpTestEvtRelationsQuery(WDFDEVICE Device, DEVICE_RELATION_TYPE RelationType) {
    DbgPrint("ZVPNP %u Relations type=%d\n", GetTestContext(Device)->Unit, (int)RelationType);
}

VOID PnpTestEvtDeviceCleanup(WDFOBJECT Device) {
    Record((WDFDEVICE)Device, "Cleanup");
}

static PPNPTEST_CONTEXT QueueContext(WDFQUEUE Queue) {
    return GetTestContext(WdfIoQueueGetDevice(Queue));
}

VOID PnpTestEvtIoRead(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PPNPTEST_CONTEXT context = QueueContext(Queue);
    PVOID buffer = NULL;
    size_t size = 0;
    NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, 1, &buffer, &size);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    size_t count = Length < context->Length ? Length : context->Length;
    RtlCopyMemory(buffer, context->Buffer, count);
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, count);
}

VOID PnpTestEvtIoWrite(WDFQUEUE Queue, WDFREQUEST Request, size_t Length) {
    PPNPTEST_CONTEXT context = QueueContext(Queue);
    PVOID buffer = NULL;
    size_t size = 0;
    NTSTATUS status = WdfRequestRetrieveInputBuffer(Request, 1, &buffer, &size);
    if (!NT_SUCCESS(status)) {
        WdfRequestComplete(Request, status);
        return;
    }
    size_t count = Length < PNPTEST_BUFFER_BYTES ? Length : PNPTEST_BUFFER_BYTES;
    RtlCopyMemory(context->Buffer, buffer, count);
    context->Length = (ULONG)count;
    WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, count);
}

VOID PnpTestEvtIoDeviceControl(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                               size_t InputBufferLength, ULONG IoControlCode) {
    PPNPTEST_CONTEXT context = QueueContext(Queue);
    UNREFERENCED_PARAMETER(OutputBufferLength);
    UNREFERENCED_PARAMETER(InputBufferLength);
    switch (IoControlCode) {
        case IOCTL_PNPTEST_GET_UNIT: {
            PULONG unit = NULL;
            NTSTATUS status = WdfRequestRetrieveOutputBuffer(Request, sizeof(ULONG), (PVOID*)&unit, NULL);
            if (!NT_SUCCESS(status)) {
                WdfRequestComplete(Request, status);
                return;
            }
            *unit = context->Unit;
            WdfRequestCompleteWithInformation(Request, STATUS_SUCCESS, sizeof(ULONG));
            return;
        }
        case IOCTL_PNPTEST_HOLD:
            if (context->Held != NULL) {
                WdfRequestComplete(Request, STATUS_DEVICE_BUSY);
                return;
            }
            context->Held = Request;
            return;
        case IOCTL_PNPTEST_RELEASE:
            if (context->Held != NULL) {
                WDFREQUEST held = context->Held;
                context->Held = NULL;
                WdfRequestComplete(held, STATUS_SUCCESS);
            }
            WdfRequestComplete(Request, STATUS_SUCCESS);
            return;
        default:
            WdfRequestComplete(Request, STATUS_INVALID_DEVICE_REQUEST);
            return;
    }
}

VOID PnpTestEvtIoStop(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags) {
    PPNPTEST_CONTEXT context = QueueContext(Queue);
    DbgPrint("ZVPNP %u IoStop action=%x\n", context->Unit, ActionFlags);
    if (ActionFlags & WdfRequestStopActionSuspend) {
        // The held request stays the driver's across the power-down.
        WdfRequestStopAcknowledge(Request, FALSE);
        return;
    }
    if (context->Held == Request)
        context->Held = NULL;
    WdfRequestComplete(Request, STATUS_CANCELLED);
}

VOID PnpTestEvtIoResume(WDFQUEUE Queue, WDFREQUEST Request) {
    UNREFERENCED_PARAMETER(Request);
    DbgPrint("ZVPNP %u IoResume\n", QueueContext(Queue)->Unit);
}
