// The parent device: its creation in device add (instance number, Plug and Play and power callbacks, child
// list, capabilities, default queue, bus information for the children), its D0, surprise-removal, query
// and relations callbacks, and its cleanup, which leaves the parent collection and hands a deferred child
// enumeration over to a parent of the same device instance that waits for it.
#include "base/bus/bus.h"

NTSTATUS EvtDeviceAdd(_In_ WDFDRIVER Driver, _Inout_ PWDFDEVICE_INIT DeviceInit) {
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPowerCallbacks;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_DEVICE_PNP_CAPABILITIES pnpCapabilities;
    WDF_DEVICE_POWER_CAPABILITIES powerCapabilities;
    WDF_IO_QUEUE_CONFIG queueConfig;
    PNP_BUS_INFORMATION busInformation;
    WDFDEVICE device = NULL;
    ULONG instanceNumber = 0;
    ULONG state;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtDeviceAdd\n", TRACE_EVT_ENTER);

    NTSTATUS status = GetInstanceNumber(DeviceInit, Driver, &instanceNumber);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sGetInstanceNumber failed with status %X\n",
                    TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtDeviceAdd %X\n", TRACE_EVT_EXIT, status);
        return status;
    }
    DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_PNP, "%sInstanceNumber %d\n", TRACE_BODY, instanceNumber);

    WdfDeviceInitSetDeviceType(DeviceInit, FILE_DEVICE_BUS_EXTENDER);

    WDF_PNPPOWER_EVENT_CALLBACKS_INIT(&pnpPowerCallbacks);
    pnpPowerCallbacks.EvtDeviceD0Entry = ParentFdoEvtDeviceD0Entry;
    pnpPowerCallbacks.EvtDeviceD0Exit = ParentFdoEvtDeviceD0Exit;
    pnpPowerCallbacks.EvtDevicePrepareHardware = EvtPrepareHardware;
    pnpPowerCallbacks.EvtDeviceReleaseHardware = EvtReleaseHardware;
    pnpPowerCallbacks.EvtDeviceSurpriseRemoval = ParentFdoEvtDeviceSurpriseRemoval;
    pnpPowerCallbacks.EvtDeviceQueryRemove = ParentFdoEvtDeviceQueryRemove;
    pnpPowerCallbacks.EvtDeviceQueryStop = ParentFdoEvtDeviceQueryStop;
    pnpPowerCallbacks.EvtDeviceRelationsQuery = ParentFdoEvtDeviceRelationsQuery;
    WdfDeviceInitSetPnpPowerEventCallbacks(DeviceInit, &pnpPowerCallbacks);

    BusInitChildList(DeviceInit);

    WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, PARENT_FDO_CONTEXT);
    attributes.EvtCleanupCallback = EvtDeviceContextCleanup;
    attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
    status = WdfDeviceCreate(&DeviceInit, &attributes, &device);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfDeviceCreate failed with status %X\n",
                    TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtDeviceAdd %X\n", TRACE_EVT_EXIT, status);
        return status;
    }

    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(device);
    parentContext->Device = device;
    parentContext->WdmDeviceObject = WdfDeviceWdmGetDeviceObject(device);
    parentContext->InstanceNumber = instanceNumber;

    // The device must not be surprise-removed silently: Plug and Play shows the user its removal.
    WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnpCapabilities);
    pnpCapabilities.SurpriseRemovalOK = WdfFalse;
    pnpCapabilities.Address = 0xFFFFFFFF;
    pnpCapabilities.UINumber = 0xFFFFFFFF;
    WdfDeviceSetPnpCapabilities(device, &pnpCapabilities);

    WDF_DEVICE_POWER_CAPABILITIES_INIT(&powerCapabilities);
    powerCapabilities.DeviceD1 = WdfFalse;
    powerCapabilities.DeviceD2 = WdfFalse;
    powerCapabilities.WakeFromD0 = WdfTrue;
    powerCapabilities.WakeFromD1 = WdfFalse;
    powerCapabilities.WakeFromD2 = WdfFalse;
    powerCapabilities.WakeFromD3 = WdfFalse;
    powerCapabilities.DeviceState[PowerSystemUnspecified] = PowerDeviceMaximum;
    powerCapabilities.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (state = PowerSystemSleeping1; state <= PowerSystemShutdown; state++) {
        powerCapabilities.DeviceState[state] = PowerDeviceD3;
    }
    powerCapabilities.DeviceWake = PowerDeviceD0;
    powerCapabilities.SystemWake = PowerSystemUnspecified;
    powerCapabilities.D1Latency = 0xFFFFFFFF;
    powerCapabilities.D2Latency = 0xFFFFFFFF;
    powerCapabilities.D3Latency = 0xFFFFFFFF;
    powerCapabilities.IdealDxStateForSx = PowerDeviceD3;
    WdfDeviceSetPowerCapabilities(device, &powerCapabilities);

    // Parallel and without synchronisation: child requests pass through it at any level, concurrently.
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&queueConfig, WdfIoQueueDispatchParallel);
    queueConfig.EvtIoDefault = ParentFdoEvtIoDefault;
    queueConfig.EvtIoDeviceControl = ParentFdoEvtIoDeviceControl;
    queueConfig.EvtIoInternalDeviceControl = ParentFdoEvtIoInternalDeviceControl;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.SynchronizationScope = WdfSynchronizationScopeNone;
    status = WdfIoQueueCreate(device, &queueConfig, &attributes, &parentContext->DefaultQueue);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfIoQueueCreate failed with status %X\n",
                    TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtDeviceAdd %X\n", TRACE_EVT_EXIT, status);
        return status;
    }

    busInformation.BusTypeGuid = GUID_BUS_TYPE_USB;
    busInformation.LegacyBusType = PNPBus;
    busInformation.BusNumber = 0;
    WdfDeviceSetBusInformationForChildren(device, &busInformation);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtDeviceAdd(dev=0x%p) %X\n", TRACE_EVT_EXIT, device,
                STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

VOID BusInitChildList(_In_ PWDFDEVICE_INIT DeviceInit) {
    WDF_CHILD_LIST_CONFIG config;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusInitChildList\n", TRACE_ENTER);

    // No address description and no copy, duplicate, compare or cleanup callbacks: the framework copies and
    // compares the descriptions as raw bytes.
    WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(CHILD_FUNCTION_DESCRIPTION), BusEvtChildListCreateDevice);
    config.EvtChildListDeviceReenumerated = BusEvtChildListDeviceReenumerated;
    WdfFdoInitSetDefaultChildListConfig(DeviceInit, &config, WDF_NO_OBJECT_ATTRIBUTES);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusInitChildList\n", TRACE_EXIT);
}

NTSTATUS ParentFdoEvtDeviceD0Entry(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE PreviousState) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_POWER,
                "%sParentFdoEvtDeviceD0Entry(dev=0x%p) - coming from %s\n", TRACE_EVT_ENTER, Device,
                DevicePowerStateName(PreviousState));
    GetParentFdoContext(Device)->DevicePowerState = WdfPowerDeviceD0;
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_POWER, "%sParentFdoEvtDeviceD0Entry %X\n", TRACE_EVT_EXIT,
                STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS ParentFdoEvtDeviceD0Exit(_In_ WDFDEVICE Device, _In_ WDF_POWER_DEVICE_STATE TargetState) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_POWER, "%sParentFdoEvtDeviceD0Exit(dev=0x%p) - moving to %s\n",
                TRACE_EVT_ENTER, Device, DevicePowerStateName(TargetState));
    GetParentFdoContext(Device)->DevicePowerState = TargetState;
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_POWER, "%sParentFdoEvtDeviceD0Exit %X\n", TRACE_EVT_EXIT,
                STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

VOID ParentFdoEvtDeviceSurpriseRemoval(_In_ WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sParentFdoEvtDeviceSurpriseRemoval(dev=0x%p)\n",
                TRACE_EVT_ENTER, Device);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sParentFdoEvtDeviceSurpriseRemoval\n", TRACE_EVT_EXIT);
}

// Removal and stop are never vetoed.
NTSTATUS ParentFdoEvtDeviceQueryRemove(_In_ WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sParentFdoEvtDeviceQueryRemove(dev=0x%p)\n",
                TRACE_EVT_ENTER, Device);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sParentFdoEvtDeviceQueryRemove %X\n", TRACE_EVT_EXIT,
                STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

NTSTATUS ParentFdoEvtDeviceQueryStop(_In_ WDFDEVICE Device) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sParentFdoEvtDeviceQueryStop(dev=0x%p)\n",
                TRACE_EVT_ENTER, Device);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sParentFdoEvtDeviceQueryStop %X\n", TRACE_EVT_EXIT,
                STATUS_SUCCESS);
    return STATUS_SUCCESS;
}

VOID ParentFdoEvtDeviceRelationsQuery(_In_ WDFDEVICE Device, _In_ DEVICE_RELATION_TYPE RelationType) {
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sParentFdoEvtDeviceRelationsQuery(dev=0x%p, type=%d)\n",
                TRACE_EVT_ENTER, Device, RelationType);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sParentFdoEvtDeviceRelationsQuery\n", TRACE_EVT_EXIT);
}

BOOLEAN BusTwinHoldsChildren(_In_ WDFCOLLECTION Collection, _In_opt_ WDFDEVICE Self,
                             _In_ ULONG InstanceNumber) {
    ULONG count = WdfCollectionGetCount(Collection);
    ULONG i;

    for (i = 0; i < count; i++) {
        WDFOBJECT member = WdfCollectionGetItem(Collection, i);
        if (member == NULL || member == Self) {
            continue;
        }
        PPARENT_FDO_CONTEXT memberContext = GetParentFdoContext(member);
        if (memberContext->InstanceNumber == InstanceNumber && !memberContext->EnumChildrenPending) {
            return TRUE;
        }
    }
    return FALSE;
}

VOID EvtDeviceContextCleanup(_In_ WDFOBJECT Device) {
    WDFDEVICE device = (WDFDEVICE)Device;
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(device);
    PDRIVER_CONTEXT driverContext = GetDriverContext(WdfDeviceGetDriver(device));
    WDFCOLLECTION collection = driverContext->ParentFdoCollection;
    ULONG count;
    ULONG i;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtDeviceContextCleanup(dev=0x%p, instance=%d)\n",
                TRACE_EVT_ENTER, Device, parentContext->InstanceNumber);

    WdfWaitLockAcquire(driverContext->ParentFdoCollectionLock, NULL);

    // A parent whose hardware preparation never reached the collection is not in it.
    count = WdfCollectionGetCount(collection);
    for (i = 0; i < count; i++) {
        if (WdfCollectionGetItem(collection, i) == Device) {
            WdfCollectionRemoveItem(collection, i);
            break;
        }
    }

    // Hand the enumeration over to the first twin that waits for it, unless a twin whose children are out
    // remains (the one leaving was then a pending twin itself): one parent per device instance at a time
    // has its children enumerated.
    if (!BusTwinHoldsChildren(collection, device, parentContext->InstanceNumber)) {
        count = WdfCollectionGetCount(collection);
        for (i = 0; i < count; i++) {
            WDFOBJECT member = WdfCollectionGetItem(collection, i);
            if (member == NULL) {
                continue;
            }
            PPARENT_FDO_CONTEXT memberContext = GetParentFdoContext(member);
            if (memberContext->InstanceNumber != parentContext->InstanceNumber ||
                !memberContext->EnumChildrenPending) {
                continue;
            }
            NTSTATUS status = BusEnumerateChildren((WDFDEVICE)member);
            if (NT_SUCCESS(status)) {
                DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sdeferred enumeration of dev=0x%p done\n",
                            TRACE_BODY, member);
                memberContext->EnumChildrenPending = FALSE;
                break;
            }
            // It stays pending; the next twin may do better.
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL,
                        "%sBusEnumerateChildren(dev=0x%p) failed with status %X\n", TRACE_BODY, member,
                        status);
        }
    }

    WdfWaitLockRelease(driverContext->ParentFdoCollectionLock);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtDeviceContextCleanup\n", TRACE_EVT_EXIT);
}
