// The composite bus driver's one header: its context records (the driver's, the parent device's and the
// child device's), the identification description its child list carries, and every routine of the driver
// with the framework role it plays.
//
// The parent device (a framework FDO over the phone's USB device) owns the USB target, splits the device's
// configuration into functions and reports one child per function; every child request it gets is passed
// down to the USB stack. Parent devices of the same device instance hand their child enumeration over to
// each other through the driver-wide ParentFdoCollection (see parent.cpp and hardware.cpp).
#ifndef ZV_BASE_BUS_BUS_H
#define ZV_BASE_BUS_BUS_H

#include <ntddk.h>
#include <wdf.h>

#include <usb.h>
#include <usbbusif.h>

#include "base/common/common.h"

// Pool tag of every allocation of the bus driver: the characters "BUS " in memory order.
#define BUS_POOL_TAG 0x20535542

// The bus type the children report, {9D7DEBBC-C85D-11D1-9EB4-006008C3A19A}. The platform headers do not
// carry the bus-type GUIDs, so the driver names the one it uses itself.
DEFINE_GUID(GUID_BUS_TYPE_USB, 0x9d7debbc, 0xc85d, 0x11d1, 0x9e, 0xb4, 0x00, 0x60, 0x08, 0xc3, 0xa1, 0x9a);

// One per driver object.
typedef struct _DRIVER_CONTEXT {
    // Every parent device that has passed hardware preparation and not yet been cleaned up, oldest first.
    WDFCOLLECTION ParentFdoCollection;
    // Serialises every read or change of ParentFdoCollection and of its members' EnumChildrenPending, and
    // stays held while a member's children are enumerated. Passive level only.
    WDFWAITLOCK ParentFdoCollectionLock;
} DRIVER_CONTEXT, *PDRIVER_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(DRIVER_CONTEXT, GetDriverContext)

// One per parent device; zero-filled at creation. Strings, descriptors and buffers it points to live in
// framework memory parented to the device.
typedef struct _PARENT_FDO_CONTEXT {
    WDFDEVICE Device;
    PDEVICE_OBJECT WdmDeviceObject; // its stack size sizes the capability query
    ULONG InstanceNumber;           // persistent, from the device's hardware key
    // The children have not been enumerated because another parent with the same instance number
    // existed at hardware preparation; that parent's cleanup enumerates them.
    BOOLEAN EnumChildrenPending;
    DEVICE_CAPABILITIES DeviceCapabilities; // as the bus below reported them
    USB_BUS_INTERFACE_USBDI_V1 UsbBusInterface;
    WDFUSBDEVICE UsbDevice;
    ULONG UsbDeviceTraits;                     // WDF_USB_DEVICE_TRAIT_* bits
    USB_DEVICE_DESCRIPTOR UsbDeviceDescriptor; // bNumConfigurations forced to 1
    USHORT LanguageId;
    UNICODE_STRING ProductString;
    UNICODE_STRING SerialNumber;
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
    USHORT ConfigurationDescriptorSize;
    USBD_CONFIGURATION_HANDLE ConfigurationHandle;
    // Memory objects of the child function descriptions the last enumeration built.
    WDFCOLLECTION IdentificationDescriptions;
    WDF_POWER_DEVICE_STATE DevicePowerState; // last entered (D0 entry) or targeted (D0 exit)
    WDFQUEUE DefaultQueue;                   // where children forward their requests
} PARENT_FDO_CONTEXT, *PPARENT_FDO_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(PARENT_FDO_CONTEXT, GetParentFdoContext)

// The child list's identification description: one function of the parent's configuration. The child
// list copies and compares it as raw bytes of this size.
typedef struct _CHILD_FUNCTION_DESCRIPTION {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header;
    BOOLEAN Disabled; // the function's "DisableIf_%02x" switch is set: never reported
    UCHAR FunctionClass;
    UCHAR FunctionSubClass;
    UCHAR FunctionProtocol;
    UCHAR InterfaceNumber; // the function's first interface; names the function
    UNICODE_STRING FunctionDescription;
    PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;               // synthesised, 18 bytes
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor; // synthesised
    USHORT ConfigurationDescriptorLength;
} CHILD_FUNCTION_DESCRIPTION, *PCHILD_FUNCTION_DESCRIPTION;

// One per child device; zero-filled at creation.
typedef struct _CHILD_PDO_CONTEXT {
    WDFDEVICE Device;
    PDEVICE_OBJECT WdmDeviceObject;
    WDF_POWER_DEVICE_STATE DevicePowerState;
    WDFDEVICE ParentDevice;
    WDFQUEUE ParentDefaultQueue; // forwarded requests go here
} CHILD_PDO_CONTEXT, *PCHILD_PDO_CONTEXT;

WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(CHILD_PDO_CONTEXT, GetChildPdoContext)

// ---- Driver entry (driver.cpp) ----

extern "C" DRIVER_INITIALIZE DriverEntry;

// ---- Parent device (parent.cpp) ----

EVT_WDF_DRIVER_DEVICE_ADD EvtDeviceAdd;
VOID BusInitChildList(_In_ PWDFDEVICE_INIT DeviceInit);
EVT_WDF_DEVICE_CONTEXT_CLEANUP EvtDeviceContextCleanup;
EVT_WDF_DEVICE_D0_ENTRY ParentFdoEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT ParentFdoEvtDeviceD0Exit;
EVT_WDF_DEVICE_SURPRISE_REMOVAL ParentFdoEvtDeviceSurpriseRemoval;
EVT_WDF_DEVICE_QUERY_REMOVE ParentFdoEvtDeviceQueryRemove;
EVT_WDF_DEVICE_QUERY_STOP ParentFdoEvtDeviceQueryStop;
EVT_WDF_DEVICE_RELATIONS_QUERY ParentFdoEvtDeviceRelationsQuery;
// Whether a parent of ParentFdoCollection other than Self, with InstanceNumber, is not pending: its
// children are out (or were its own to enumerate), so no twin may enumerate now. Called with
// ParentFdoCollectionLock held.
BOOLEAN BusTwinHoldsChildren(_In_ WDFCOLLECTION Collection, _In_opt_ WDFDEVICE Self,
                             _In_ ULONG InstanceNumber);

// ---- Parent hardware preparation and release (hardware.cpp) ----

EVT_WDF_DEVICE_PREPARE_HARDWARE EvtPrepareHardware;
EVT_WDF_DEVICE_RELEASE_HARDWARE EvtReleaseHardware;
// USB bus interface, USB target (made once, kept across restarts), device information, then
// BusUsbSetConfiguration.
NTSTATUS BusUsbInit(_In_ WDFDEVICE Device);
// Device descriptor and class check, language, product and serial-number strings, the whole configuration
// descriptor, and the configuration selected with every interface in alternate setting 0.
NTSTATUS BusUsbSetConfiguration(_In_ WDFDEVICE Device);

// ---- Child enumeration and interface grouping (enumerate.cpp) ----

// Builds the function descriptions afresh and reports them through the default child list. Called with
// ParentFdoCollectionLock held.
NTSTATUS BusEnumerateChildren(_In_ WDFDEVICE Device);
// Reports every child missing.
VOID BusRemoveChildren(_In_ WDFDEVICE Device);
// Walks the parent's configuration descriptor and adds one CHILD_FUNCTION_DESCRIPTION memory object per
// function to Collection, in the order of each function's first descriptor. STATUS_DEVICE_ENUMERATION_ERROR
// when a rule fails; the records added before stay in Collection.
NTSTATUS BusGenerateIdentificationDescriptions(_In_ WDFDEVICE Device, _In_ WDFCOLLECTION Collection);
// The grouping rules: each adds one record to Collection and answers TRUE, or FALSE when the descriptors
// are malformed or a platform call fails. The association rule gives back in ConsumedLength the bytes of
// the function, from the association descriptor on.
BOOLEAN BusGenerateIdDescriptionFromInterfaceAssociation(
    _In_ WDFDEVICE Device, _In_ PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR AssociationDescriptor,
    _In_ WDFCOLLECTION Collection, _Out_ PUSHORT ConsumedLength);
BOOLEAN BusGenerateIdDescriptionFromCdcInterface(_In_ WDFDEVICE Device,
                                                 _In_ PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                 _In_ WDFCOLLECTION Collection);
BOOLEAN BusGenerateIdDescriptionMscInterface(_In_ WDFDEVICE Device,
                                             _In_ PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                             _In_ WDFCOLLECTION Collection);
BOOLEAN BusGenerateIdDescriptionFromVendorSpecificInterface(
    _In_ WDFDEVICE Device, _In_ PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, _In_ WDFCOLLECTION Collection);
// The first interface association or interface descriptor at or after StartPosition, whichever comes
// first; NULL when no interface descriptor follows (an association with no interface after it is ignored).
PUSB_COMMON_DESCRIPTOR
BusFindNextFunctionDescriptor(_In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                              _In_ USHORT TotalLength, _In_ PVOID StartPosition);
// Moves *Position to the first interface descriptor after it (the descriptor at *Position is passed over)
// and, when BundleLength is given, sets it to the bytes from that interface descriptor up to the next one
// or the end. FALSE, with *Position unchanged, when there is none or a descriptor is malformed.
BOOLEAN BusFindNextInterfaceDescriptor(_In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       _In_ USHORT TotalLength, _Inout_ PUSB_COMMON_DESCRIPTOR* Position,
                                       _Out_opt_ PUSHORT BundleLength);
// The first interface descriptor of the configuration with InterfaceNumber, and its bundle length.
BOOLEAN BusFindInterfaceDescriptorByNumber(_In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           _In_ USHORT TotalLength, _In_ UCHAR InterfaceNumber,
                                           _Out_ PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptor,
                                           _Out_opt_ PUSHORT BundleLength);

// ---- Child devices (child.cpp) ----

EVT_WDF_CHILD_LIST_CREATE_DEVICE BusEvtChildListCreateDevice;
EVT_WDF_CHILD_LIST_DEVICE_REENUMERATED BusEvtChildListDeviceReenumerated;
// Gives a child its device, hardware, compatible and instance IDs, its device text and its default locale,
// from the parent's device descriptor, strings and capabilities and the function's description.
NTSTATUS BusAssignChildIds(_In_ PWDFDEVICE_INIT ChildInit, _In_ PPARENT_FDO_CONTEXT ParentContext,
                           _In_ PCHILD_FUNCTION_DESCRIPTION Description);
EVT_WDF_DEVICE_D0_ENTRY ChildPdoEvtDeviceD0Entry;
EVT_WDF_DEVICE_D0_EXIT ChildPdoEvtDeviceD0Exit;
EVT_WDF_DEVICE_SURPRISE_REMOVAL ChildPdoEvtDeviceSurpriseRemoval;
EVT_WDF_DEVICE_QUERY_REMOVE ChildPdoEvtDeviceQueryRemove;
EVT_WDF_DEVICE_QUERY_STOP ChildPdoEvtDeviceQueryStop;

// ---- Child request routing (childio.cpp) ----

EVT_WDF_IO_QUEUE_IO_DEFAULT ChildPdoEvtIoDefault;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ChildPdoEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL ChildPdoEvtIoInternalDeviceControl;

// ---- Parent request handling (parentio.cpp) ----

EVT_WDF_IO_QUEUE_IO_DEFAULT ParentFdoEvtIoDefault;
EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL ParentFdoEvtIoDeviceControl;
EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL ParentFdoEvtIoInternalDeviceControl;
// Passes a request down to the USB stack, send-and-forget; completes it when the send fails.
NTSTATUS ParentFdoForwardRequestThenCompleteIfError(_In_ WDFDEVICE Device, _In_ WDFREQUEST Request);

#endif // ZV_BASE_BUS_BUS_H
