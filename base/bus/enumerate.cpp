// Child enumeration of a parent device: every enumeration builds its function descriptions afresh, in a
// collection of its own parented to the device (the records of earlier enumerations stay with the device
// until it is deleted), and reports them through the device's default child list.
//
// The descriptions come from the walk of the parent's configuration descriptor, and the reports from a
// scan of the child list; both arrive with the USB bring-up and the child list's scans. Until then an
// enumeration makes its (empty) collection and reports nothing, and a release has nothing to report
// missing.
#include "base/bus/bus.h"

NTSTATUS BusEnumerateChildren(_In_ WDFDEVICE Device) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFCOLLECTION descriptions = NULL;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEnumerateChildren(dev=0x%p)\n", TRACE_ENTER, Device);

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfCollectionCreate(&attributes, &descriptions);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL, "%sWdfCollectionCreate failed with status %X\n",
                    TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEnumerateChildren %X\n", TRACE_EXIT, status);
        return status;
    }
    parentContext->IdentificationDescriptions = descriptions;

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEnumerateChildren %X\n", TRACE_EXIT, status);
    return status;
}

VOID BusRemoveChildren(_In_ WDFDEVICE Device) {
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusRemoveChildren(dev=0x%p)\n", TRACE_ENTER, Device);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusRemoveChildren\n", TRACE_EXIT);
}
