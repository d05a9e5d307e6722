// Driver-defined interfaces a framework device hands out through IRP_MN_QUERY_INTERFACE. The record given
// to WdfDeviceAddQueryInterface is copied when it is added; a query for its GUID gets a copy of it (at most
// the size the query asks for), with its reference routine called once for the new holder.
#ifndef ZV_WDFQUERYINTERFACE_H
#define ZV_WDFQUERYINTERFACE_H

#include "ntddk.h"
#include "wdfobject.h"

WDF_EXTERN_C_START

// Called for each query of the interface after the copy is made; a failure status fails the query.
typedef NTSTATUS EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST(WDFDEVICE Device, GUID* InterfaceType,
                                                                PINTERFACE ExposedInterface,
                                                                PVOID ExposedInterfaceSpecificData);
typedef EVT_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST* PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST;

typedef struct _WDF_QUERY_INTERFACE_CONFIG {
    ULONG Size;
    // The record handed out (its Size says how many bytes); NULL only with SendQueryToParentStack.
    PINTERFACE Interface;
    const GUID* InterfaceType;
    // A PDO passes the query to its parent's stack instead of answering it.
    BOOLEAN SendQueryToParentStack;
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest;
    // The querying driver passes a record of its own in (the callback then fills or checks it).
    BOOLEAN ImportInterface;
} WDF_QUERY_INTERFACE_CONFIG, *PWDF_QUERY_INTERFACE_CONFIG;

FORCEINLINE VOID WDF_QUERY_INTERFACE_CONFIG_INIT(
    PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig, PINTERFACE Interface, const GUID* InterfaceType,
    PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST EvtDeviceProcessQueryInterfaceRequest) {
    memset(InterfaceConfig, 0, sizeof(WDF_QUERY_INTERFACE_CONFIG));
    InterfaceConfig->Size = sizeof(WDF_QUERY_INTERFACE_CONFIG);
    InterfaceConfig->Interface = Interface;
    InterfaceConfig->InterfaceType = InterfaceType;
    InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest = EvtDeviceProcessQueryInterfaceRequest;
}

// Adds the interface to the device (before it starts, typically in device add or create-device).
// STATUS_INVALID_PARAMETER for a bad config, STATUS_OBJECT_NAME_COLLISION for a GUID added already.
NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE Device, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig);

// Reference routines for an interface whose context needs no counting.
VOID WdfDeviceInterfaceReferenceNoOp(PVOID Context);
VOID WdfDeviceInterfaceDereferenceNoOp(PVOID Context);

WDF_EXTERN_C_END

#endif // ZV_WDFQUERYINTERFACE_H
