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

// What a look-up by description found.
typedef enum _WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS {
    WdfChildListRetrieveDeviceUndefined = 0,
    WdfChildListRetrieveDeviceSuccess,       // the child's device exists
    WdfChildListRetrieveDeviceNotYetCreated, // reported, its device not created yet (or its creation failed)
    WdfChildListRetrieveDeviceNoSuchDevice,  // no child with this description
} WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS,
    *PWDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS;

// Which children an iteration visits (flags, combined).
typedef enum _WDF_RETRIEVE_CHILD_FLAGS {
    WdfRetrieveUnspecified = 0x0000,
    WdfRetrievePresentChildren = 0x0001,
    WdfRetrieveMissingChildren = 0x0002,
    WdfRetrievePendingChildren = 0x0004, // reported but without a device yet
    WdfRetrieveAddedChildren = (WdfRetrievePresentChildren | WdfRetrievePendingChildren),
    WdfRetrieveAllChildren =
        (WdfRetrievePresentChildren | WdfRetrievePendingChildren | WdfRetrieveMissingChildren),
} WDF_RETRIEVE_CHILD_FLAGS;

typedef struct _WDF_CHILD_RETRIEVE_INFO {
    ULONG Size;
    // In: the description to look for (WdfChildListRetrieveDevice); out: filled with the child's copy
    // (WdfChildListRetrieveNextDevice). May be NULL for an iteration.
    PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription;
    // Out, optional: the child's address description.
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription;
    WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS Status;
    // Optional: used instead of the list's compare for this look-up.
    PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE EvtChildListIdentificationDescriptionCompare;
} WDF_CHILD_RETRIEVE_INFO, *PWDF_CHILD_RETRIEVE_INFO;

FORCEINLINE VOID WDF_CHILD_RETRIEVE_INFO_INIT(
    PWDF_CHILD_RETRIEVE_INFO Info, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription) {
    memset(Info, 0, sizeof(WDF_CHILD_RETRIEVE_INFO));
    Info->Size = sizeof(WDF_CHILD_RETRIEVE_INFO);
    Info->IdentificationDescription = IdentificationDescription;
}

typedef struct _WDF_CHILD_LIST_ITERATOR {
    ULONG Size;
    ULONG Flags; // WDF_RETRIEVE_CHILD_FLAGS
    PVOID Reserved[4];
} WDF_CHILD_LIST_ITERATOR, *PWDF_CHILD_LIST_ITERATOR;

FORCEINLINE VOID WDF_CHILD_LIST_ITERATOR_INIT(PWDF_CHILD_LIST_ITERATOR Iterator, ULONG Flags) {
    memset(Iterator, 0, sizeof(WDF_CHILD_LIST_ITERATOR));
    Iterator->Size = sizeof(WDF_CHILD_LIST_ITERATOR);
    Iterator->Flags = Flags;
}

// The list made with an FDO from WdfFdoInitSetDefaultChildListConfig (NULL when none was given).
WDFCHILDLIST WdfFdoGetDefaultChildList(WDFDEVICE Fdo);

// A further child list of a device (its children are reported with the device's bus relations too).
NTSTATUS WdfChildListCreate(WDFDEVICE Device, PWDF_CHILD_LIST_CONFIG Config,
                            PWDF_OBJECT_ATTRIBUTES ChildListAttributes, WDFCHILDLIST* ChildList);

// The device the list belongs to (the parent of its children).
WDFDEVICE WdfChildListGetDevice(WDFCHILDLIST ChildList);

// A scan: BeginScan marks every child missing, each report marks one present (or adds it), EndScan drops
// the missing ones and asks Plug and Play to enumerate the parent again.
VOID WdfChildListBeginScan(WDFCHILDLIST ChildList);
VOID WdfChildListEndScan(WDFCHILDLIST ChildList);

// STATUS_SUCCESS: a new child; STATUS_OBJECT_NAME_EXISTS: it matches an existing child, which stays (its
// address description is updated). AddressDescription may be NULL when the list has none.
NTSTATUS WdfChildListAddOrUpdateChildDescriptionAsPresent(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
    PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription);

// Outside a scan: one child is gone (STATUS_NO_SUCH_DEVICE when none matches) / every child stays.
NTSTATUS WdfChildListUpdateChildDescriptionAsMissing(
    WDFCHILDLIST ChildList, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription);
VOID WdfChildListUpdateAllChildDescriptionsAsPresent(WDFCHILDLIST ChildList);

// The child's device for a description (Info->IdentificationDescription); Info->Status says why none.
WDFDEVICE WdfChildListRetrieveDevice(WDFCHILDLIST ChildList, PWDF_CHILD_RETRIEVE_INFO Info);

// The address description of the child matching IdentificationDescription, copied into AddressDescription.
NTSTATUS
WdfChildListRetrieveAddressDescription(WDFCHILDLIST ChildList,
                                       PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription,
                                       PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription);

// Walks the children whose state matches the iterator's flags; STATUS_NO_MORE_ENTRIES at the end. Info
// may be NULL; when given its descriptions (if not NULL) are filled.
VOID WdfChildListBeginIteration(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator);
NTSTATUS WdfChildListRetrieveNextDevice(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator,
                                        WDFDEVICE* Device, PWDF_CHILD_RETRIEVE_INFO Info);
VOID WdfChildListEndIteration(WDFCHILDLIST ChildList, PWDF_CHILD_LIST_ITERATOR Iterator);

// Asks Plug and Play to eject the child; FALSE when no child matches.
BOOLEAN WdfChildListRequestChildEject(WDFCHILDLIST ChildList,
                                      PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription);

WDF_EXTERN_C_END

#endif // ZV_WDFCHILDLIST_H
