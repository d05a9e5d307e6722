// The USB driver interface's descriptor-parsing routines.
#ifndef ZV_USBDLIB_H
#define ZV_USBDLIB_H

#include "usb.h"

#ifdef __cplusplus
extern "C" {
#endif

// The first descriptor of DescriptorType (-1: any) at or after StartPosition that lies wholly inside
// [DescriptorBuffer, DescriptorBuffer + TotalLength); NULL when there is none or the walk meets a
// descriptor whose bLength is 0 or runs past the end.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);

// The first interface descriptor at or after StartPosition that matches every criterion not -1.
PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                    PVOID StartPosition, LONG InterfaceNumber, LONG AlternateSetting,
                                    LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol);

PUSB_INTERFACE_DESCRIPTOR
USBD_ParseConfigurationDescriptor(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                  UCHAR InterfaceNumber, UCHAR AlternateSetting);

// Bytes from an interface descriptor up to the next interface descriptor or the end of the configuration.
ULONG USBD_GetInterfaceLength(PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor, PUCHAR BufferEnd);

#ifdef __cplusplus
}
#endif

#endif // ZV_USBDLIB_H
