// A bus driver's child list: how it describes its children (identification and address descriptions, each
// a record whose header carries its size) and the callbacks the list runs. A function driver gives its
// default child list's configuration in device add (WdfFdoInitSetDefaultChildListConfig); the list itself
// comes with the device.
#ifndef ZV_WDFCHILDLIST_H
#define ZV_WDFCHILDLIST_H

#include "wdfobject.h"

typedef struct _WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER {
    ULONG IdentificationDescriptionSize; // of the whole record, header included
} WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER, *PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER;

typedef struct _WDF_CHILD_ADDRESS_DESCRIPTION_HEADER {
    ULONG AddressDescriptionSize; // of the whole record, header included
} WDF_CHILD_ADDRESS_DESCRIPTION_HEADER, *PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER;

FORCEINLINE VOID WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header, ULONG IdentificationDescriptionSize) {
    memset(Header, 0, IdentificationDescriptionSize);
    Header->IdentificationDescriptionSize = IdentificationDescriptionSize;
}

FORCEINLINE VOID WDF_CHILD_ADDRESS_DESCRIPTION_HEADER_INIT(PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER Header,
                                                           ULONG AddressDescriptionSize) {
    memset(Header, 0, AddressDescriptionSize);
    Header->AddressDescriptionSize = AddressDescriptionSize;
}

WDF_EXTERN_C_START

typedef NTSTATUS
EVT_WDF_CHILD_LIST_CREATE_DEVICE(WDFCHILDLIST ChildList,
                                 PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                                 PWDFDEVICE_INIT ChildInit);
typedef EVT_WDF_CHILD_LIST_CREATE_DEVICE* PFN_WDF_CHILD_LIST_CREATE_DEVICE;
typedef VOID EVT_WDF_CHILD_LIST_SCAN_FOR_CHILDREN(WDFCHILDLIST ChildList);
typedef EVT_WDF_CHILD_LIST_SCAN_FOR_CHILDREN* PFN_WDF_CHILD_LIST_SCAN_FOR_CHILDREN;
typedef VOID EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SourceIdentificationDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER DestinationIdentificationDescription);
typedef EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY*
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY;
typedef NTSTATUS EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SourceIdentificationDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER DestinationIdentificationDescription);
typedef EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE*
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE;
typedef BOOLEAN EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER FirstIdentificationDescription,
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER SecondIdentificationDescription);
typedef EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE*
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE;
typedef VOID EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription);
typedef EVT_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP*
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP;
typedef VOID EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY(
    WDFCHILDLIST ChildList, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER SourceAddressDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER DestinationAddressDescription);
typedef EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY* PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY;
typedef NTSTATUS EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE(
    WDFCHILDLIST ChildList, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER SourceAddressDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER DestinationAddressDescription);
typedef EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE* PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE;
typedef VOID
EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP(WDFCHILDLIST ChildList,
                                               PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription);
typedef EVT_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP* PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP;
typedef BOOLEAN
EVT_WDF_CHILD_LIST_DEVICE_REENUMERATED(WDFCHILDLIST ChildList, WDFDEVICE OldDevice,
                                       PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER OldAddressDescription,
                                       PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER NewAddressDescription);
typedef EVT_WDF_CHILD_LIST_DEVICE_REENUMERATED* PFN_WDF_CHILD_LIST_DEVICE_REENUMERATED;

typedef struct _WDF_CHILD_LIST_CONFIG {
    ULONG Size;
    ULONG IdentificationDescriptionSize;
    ULONG AddressDescriptionSize; // 0: the children have no address description
    PFN_WDF_CHILD_LIST_CREATE_DEVICE EvtChildListCreateDevice;
    PFN_WDF_CHILD_LIST_SCAN_FOR_CHILDREN EvtChildListScanForChildren;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COPY EvtChildListIdentificationDescriptionCopy;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_DUPLICATE EvtChildListIdentificationDescriptionDuplicate;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_CLEANUP EvtChildListIdentificationDescriptionCleanup;
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE EvtChildListIdentificationDescriptionCompare;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_COPY EvtChildListAddressDescriptionCopy;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_DUPLICATE EvtChildListAddressDescriptionDuplicate;
    PFN_WDF_CHILD_LIST_ADDRESS_DESCRIPTION_CLEANUP EvtChildListAddressDescriptionCleanup;
    PFN_WDF_CHILD_LIST_DEVICE_REENUMERATED EvtChildListDeviceReenumerated;
} WDF_CHILD_LIST_CONFIG, *PWDF_CHILD_LIST_CONFIG;

FORCEINLINE VOID WDF_CHILD_LIST_CONFIG_INIT(PWDF_CHILD_LIST_CONFIG Config,
                                            ULONG IdentificationDescriptionSize,
                                            PFN_WDF_CHILD_LIST_CREATE_DEVICE EvtChildListCreateDevice) {
    memset(Config, 0, sizeof(WDF_CHILD_LIST_CONFIG));
    Config->Size = sizeof(WDF_CHILD_LIST_CONFIG);
    Config->IdentificationDescriptionSize = IdentificationDescriptionSize;
    Config->EvtChildListCreateDevice = EvtChildListCreateDevice;
}

// The configuration of the device's default child list (kept with the device-init record; the list is
// made with the device). DefaultChildListAttributes may be NULL.
VOID WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT DeviceInit, PWDF_CHILD_LIST_CONFIG Config,
                                         PWDF_OBJECT_ATTRIBUTES DefaultChildListAttributes);

WDF_EXTERN_C_END

#endif // ZV_WDFCHILDLIST_H
