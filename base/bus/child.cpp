// The child list's callbacks: creation of a child device for a reported function, and the answer to a
// child's wish to be re-enumerated.
//
// A child is created only for a description a scan reported; children (their IDs, texts, capabilities,
// queue and bus interface) arrive with the child list's scans and the PDO initialisation, and until then
// a creation request is refused.
#include "base/bus/bus.h"

NTSTATUS
BusEvtChildListCreateDevice(_In_ WDFCHILDLIST ChildList,
                            _In_ PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                            _In_ PWDFDEVICE_INIT ChildInit) {
    UNREFERENCED_PARAMETER(ChildInit);
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEvtChildListCreateDevice(list=0x%p, desc=0x%p)\n",
                TRACE_EVT_ENTER, ChildList, IdentificationDescription);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEvtChildListCreateDevice %X\n", TRACE_EVT_EXIT,
                STATUS_NOT_SUPPORTED);
    return STATUS_NOT_SUPPORTED;
}

// A child's request to be re-enumerated is never approved.
BOOLEAN BusEvtChildListDeviceReenumerated(_In_ WDFCHILDLIST ChildList, _In_ WDFDEVICE OldDevice,
                                          _In_ PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER OldAddressDescription,
                                          _In_ PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER NewAddressDescription) {
    UNREFERENCED_PARAMETER(OldAddressDescription);
    UNREFERENCED_PARAMETER(NewAddressDescription);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP,
                "%sBusEvtChildListDeviceReenumerated(list=0x%p, dev=0x%p)\n", TRACE_EVT_ENTER, ChildList,
                OldDevice);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEvtChildListDeviceReenumerated %d\n", TRACE_EVT_EXIT,
                FALSE);
    return FALSE;
}
