// Framework PDOs: what a bus driver's create-device callback puts in a child's device-init record before
// WdfDeviceCreate (the IDs, texts and locale the child reports to Plug and Play, whether its requests may
// move to the parent's queues, raw mode) and what a child device can ask of its list afterwards. Every
// string is copied: the caller's buffers may go once the call returns.
#ifndef ZV_WDFPDO_H
#define ZV_WDFPDO_H

#include "ntddk.h"
#include "wdfobject.h"
#include "wdfchildlist.h"

// The interface every framework PDO hands out (IRP_MN_QUERY_INTERFACE) so that the driver above can ask
// to be taken away and enumerated afresh (a port cycle): the child list's EvtChildListDeviceReenumerated
// decides whether the child comes back.
DEFINE_GUID(GUID_REENUMERATE_SELF_INTERFACE_STANDARD, 0x2aeb0243, 0x6a6e, 0x486b, 0x82, 0xfc, 0xd8, 0x15,
            0xf6, 0xb9, 0x70, 0x06);

typedef VOID (*PREENUMERATE_SELF)(PVOID Context);

typedef struct _REENUMERATE_SELF_INTERFACE_STANDARD {
    USHORT Size;
    USHORT Version; // 1
    PVOID Context;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PREENUMERATE_SELF SurpriseRemoveAndReenumerateSelf;
} REENUMERATE_SELF_INTERFACE_STANDARD, *PREENUMERATE_SELF_INTERFACE_STANDARD;

WDF_EXTERN_C_START

// The IDs. The device and instance IDs are one string each (a second call replaces the first); hardware and
// compatible IDs accumulate in call order, most specific first.
NTSTATUS WdfPdoInitAssignDeviceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceID);
NTSTATUS WdfPdoInitAssignInstanceID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING InstanceID);
NTSTATUS WdfPdoInitAddHardwareID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING HardwareID);
NTSTATUS WdfPdoInitAddCompatibleID(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING CompatibleID);

// The description and location for one locale (a second call for the same locale replaces it); a query in
// a locale without texts gets the default locale's.
NTSTATUS WdfPdoInitAddDeviceText(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceDescription,
                                 PCUNICODE_STRING DeviceLocation, LCID LocaleId);
VOID WdfPdoInitSetDefaultLocale(PWDFDEVICE_INIT DeviceInit, LCID LocaleId);

// The child starts without a function driver (its class GUID names its setup class).
NTSTATUS WdfPdoInitAssignRawDevice(PWDFDEVICE_INIT DeviceInit, const GUID* DeviceClassGuid);

// The child's requests may be moved to the parent's queues (WdfRequestForwardToParentDeviceIoQueue).
VOID WdfPdoInitAllowForwardingRequestToParent(PWDFDEVICE_INIT DeviceInit);

// The child device's parent (the device that owns its child list).
WDFDEVICE WdfPdoGetParent(WDFDEVICE Device);

// Copies the child's identification / address description into the caller's record, whose header must
// carry the list's size (STATUS_INVALID_PARAMETER otherwise; STATUS_INVALID_DEVICE_REQUEST for a device
// that is not a framework PDO of a child list).
NTSTATUS WdfPdoRetrieveIdentificationDescription(
    WDFDEVICE Device, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER IdentificationDescription);
NTSTATUS WdfPdoRetrieveAddressDescription(WDFDEVICE Device,
                                          PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription);
NTSTATUS WdfPdoUpdateAddressDescription(WDFDEVICE Device,
                                        PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER AddressDescription);

// The child is gone: the list reports it missing and asks Plug and Play to enumerate the parent again.
NTSTATUS WdfPdoMarkMissing(WDFDEVICE Device);

// Asks Plug and Play to eject the child.
VOID WdfPdoRequestEject(WDFDEVICE Device);

WDF_EXTERN_C_END

#endif // ZV_WDFPDO_H
