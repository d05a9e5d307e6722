// Hardware preparation and release of the parent device. Preparation ends by joining the driver's parent
// collection and then enumerating the children, or deferring that while an older parent of the same
// device instance still exists (its cleanup hands the enumeration over, parent.cpp). Release reports every
// child missing.
//
// The USB bring-up that precedes the join (capability query, USB bus interface, USB target, descriptors,
// strings, configuration) arrives with the framework's USB target; until then a parent joins with an
// empty context.
#include "base/bus/bus.h"

NTSTATUS EvtPrepareHardware(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesRaw,
                            _In_ WDFCMRESLIST ResourcesTranslated) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    PDRIVER_CONTEXT driverContext = GetDriverContext(WdfDeviceGetDriver(Device));
    WDFCOLLECTION collection = driverContext->ParentFdoCollection;
    BOOLEAN member = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count;
    ULONG i;

    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtPrepareHardware(dev=0x%p)\n", TRACE_EVT_ENTER,
                Device);

    WdfWaitLockAcquire(driverContext->ParentFdoCollectionLock, NULL);

    count = WdfCollectionGetCount(collection);
    for (i = 0; i < count; i++) {
        if (WdfCollectionGetItem(collection, i) == Device) {
            member = TRUE;
            break;
        }
    }

    if (member) {
        // A restart (after a stop or a rebalance): the parent is a member already and keeps its turn; it
        // waits only while a twin holds the children.
        parentContext->EnumChildrenPending =
            BusTwinHoldsChildren(collection, Device, parentContext->InstanceNumber);
    } else {
        // Every member with this instance number counts, so the walk does not stop at the first.
        parentContext->EnumChildrenPending = FALSE;
        for (i = 0; i < count; i++) {
            WDFOBJECT other = WdfCollectionGetItem(collection, i);
            if (other != NULL &&
                GetParentFdoContext(other)->InstanceNumber == parentContext->InstanceNumber) {
                parentContext->EnumChildrenPending = TRUE;
            }
        }
        status = WdfCollectionAdd(collection, Device);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfCollectionAdd failed with status %X\n",
                        TRACE_BODY, status);
            WdfWaitLockRelease(driverContext->ParentFdoCollectionLock);
            DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtPrepareHardware %X\n", TRACE_EVT_EXIT,
                        status);
            return status;
        }
    }

    if (!parentContext->EnumChildrenPending) {
        status = BusEnumerateChildren(Device);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL, "%sBusEnumerateChildren failed with status %X\n",
                        TRACE_BODY, status);
        }
    } else {
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP,
                    "%sinstance %d has an older parent: enumeration deferred\n", TRACE_BODY,
                    parentContext->InstanceNumber);
    }

    WdfWaitLockRelease(driverContext->ParentFdoCollectionLock);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtPrepareHardware %X\n", TRACE_EVT_EXIT, status);
    return status;
}

NTSTATUS EvtReleaseHardware(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesTranslated) {
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtReleaseHardware(dev=0x%p)\n", TRACE_EVT_ENTER,
                Device);

    // The parent stays in the collection until its cleanup.
    BusRemoveChildren(Device);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtReleaseHardware %X\n", TRACE_EVT_EXIT,
                STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
