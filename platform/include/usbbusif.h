// The USB bus interface a USB device's PDO hands out to its function driver (version 0 and 1 routines).
#ifndef ZV_USBBUSIF_H
#define ZV_USBBUSIF_H

#include "usb.h"

typedef VOID (*PINTERFACE_REFERENCE)(PVOID Context);
typedef VOID (*PINTERFACE_DEREFERENCE)(PVOID Context);

#define USB_BUSIF_USBDI_VERSION_0 0x0000
#define USB_BUSIF_USBDI_VERSION_1 0x0001

typedef struct _USBD_VERSION_INFORMATION {
    ULONG USBDI_Version;
    ULONG Supported_USB_Version;
} USBD_VERSION_INFORMATION, *PUSBD_VERSION_INFORMATION;

typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_TIME)(PVOID BusContext, PULONG CurrentUsbFrame);
typedef NTSTATUS (*PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB)(PVOID BusContext, PURB Urb);
typedef NTSTATUS (*PUSB_BUSIFFN_QUERY_BUS_INFORMATION)(PVOID BusContext, ULONG Level,
                                                       PVOID BusInformationBuffer,
                                                       PULONG BusInformationBufferLength,
                                                       PULONG BusInformationActualLength);
typedef BOOLEAN (*PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED)(PVOID BusContext);
typedef VOID (*PUSB_BUSIFFN_GETUSBDI_VERSION)(PVOID BusContext, PUSBD_VERSION_INFORMATION VersionInformation,
                                              PULONG HcdCapabilities);

typedef struct _USB_BUS_INTERFACE_USBDI_V0 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
} USB_BUS_INTERFACE_USBDI_V0, *PUSB_BUS_INTERFACE_USBDI_V0;

typedef struct _USB_BUS_INTERFACE_USBDI_V1 {
    USHORT Size;
    USHORT Version;
    PVOID BusContext;
    PINTERFACE_REFERENCE InterfaceReference;
    PINTERFACE_DEREFERENCE InterfaceDereference;
    PUSB_BUSIFFN_GETUSBDI_VERSION GetUSBDIVersion;
    PUSB_BUSIFFN_QUERY_BUS_TIME QueryBusTime;
    PUSB_BUSIFFN_SUBMIT_ISO_OUT_URB SubmitIsoOutUrb;
    PUSB_BUSIFFN_QUERY_BUS_INFORMATION QueryBusInformation;
    PUSB_BUSIFFN_IS_DEVICE_HIGH_SPEED IsDeviceHighSpeed;
} USB_BUS_INTERFACE_USBDI_V1, *PUSB_BUS_INTERFACE_USBDI_V1;

// {B1A96A13-3DE0-4574-9B01-C08FEAB318D6}
#ifdef __cplusplus
inline constexpr GUID USB_BUS_INTERFACE_USBDI_GUID = {
    0xb1a96a13, 0x3de0, 0x4574, {0x9b, 0x01, 0xc0, 0x8f, 0xea, 0xb3, 0x18, 0xd6}};
static_assert(sizeof(USB_BUS_INTERFACE_USBDI_V1) ==
                  2 * sizeof(USHORT) + (sizeof(PVOID) == 8 ? 4 : 0) + 8 * sizeof(PVOID),
              "bus interface layout");
#endif

#endif // ZV_USBBUSIF_H
