// USB 2.0 additions: the interface association descriptor, the device qualifier and the other-speed
// configuration.
#ifndef ZV_USB200_H
#define ZV_USB200_H

#include "usb100.h"

#define USB_DEVICE_QUALIFIER_DESCRIPTOR_TYPE 0x06
#define USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE 0x07
#define USB_INTERFACE_POWER_DESCRIPTOR_TYPE 0x08
#define USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE 0x0B

#pragma pack(push, 1)

typedef struct _USB_DEVICE_QUALIFIER_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    USHORT bcdUSB;
    UCHAR bDeviceClass;
    UCHAR bDeviceSubClass;
    UCHAR bDeviceProtocol;
    UCHAR bMaxPacketSize0;
    UCHAR bNumConfigurations;
    UCHAR bReserved;
} USB_DEVICE_QUALIFIER_DESCRIPTOR, *PUSB_DEVICE_QUALIFIER_DESCRIPTOR;

typedef struct _USB_INTERFACE_ASSOCIATION_DESCRIPTOR {
    UCHAR bLength;
    UCHAR bDescriptorType;
    UCHAR bFirstInterface;
    UCHAR bInterfaceCount;
    UCHAR bFunctionClass;
    UCHAR bFunctionSubClass;
    UCHAR bFunctionProtocol;
    UCHAR iFunction;
} USB_INTERFACE_ASSOCIATION_DESCRIPTOR, *PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR;

#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(USB_DEVICE_QUALIFIER_DESCRIPTOR) == 10, "USB_DEVICE_QUALIFIER_DESCRIPTOR layout");
static_assert(sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR) == 8,
              "USB_INTERFACE_ASSOCIATION_DESCRIPTOR layout");
#endif

#endif // ZV_USB200_H
