// The framework's USB target: the USB device object (WDFUSBDEVICE), its interfaces (WDFUSBINTERFACE) and
// their pipes (WDFUSBPIPE), with the records and initialisers drivers fill for them. A USB device object
// and its pipes are I/O targets: their handles may be passed wherever a WDFIOTARGET is asked for.
#ifndef ZV_WDFUSB_H
#define ZV_WDFUSB_H

#include "wdfobject.h"
#include "wdfmemory.h"
#include "wdfrequest.h"
#include "wdfiotarget.h"

#include "usb.h"
#include "usbbusif.h"

#include <string.h>

// ---- Device information ----

#define WDF_USB_DEVICE_TRAIT_SELF_POWERED 0x00000001
#define WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE 0x00000002
#define WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED 0x00000004

// HcdPortCapabilities bit: the host controller supports real-time threads.
#define USB_HCD_CAPS_SUPPORTS_RT_THREADS 0x00000001

typedef struct _WDF_USB_DEVICE_INFORMATION {
    ULONG Size;
    USBD_VERSION_INFORMATION UsbdVersionInformation;
    ULONG HcdPortCapabilities;
    ULONG Traits;
} WDF_USB_DEVICE_INFORMATION, *PWDF_USB_DEVICE_INFORMATION;

FORCEINLINE VOID WDF_USB_DEVICE_INFORMATION_INIT(PWDF_USB_DEVICE_INFORMATION Information) {
    memset(Information, 0, sizeof(WDF_USB_DEVICE_INFORMATION));
    Information->Size = sizeof(WDF_USB_DEVICE_INFORMATION);
}

// ---- Configuration selection ----

typedef enum _WdfUsbTargetDeviceSelectConfigType {
    WdfUsbTargetDeviceSelectConfigTypeInvalid = 0,
    WdfUsbTargetDeviceSelectConfigTypeDeconfig = 1,
    WdfUsbTargetDeviceSelectConfigTypeSingleInterface = 2,
    WdfUsbTargetDeviceSelectConfigTypeMultiInterface = 3,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesPairsDescriptor = 4,
    WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor = 5,
    WdfUsbTargetDeviceSelectConfigTypeUrb = 6,
} WdfUsbTargetDeviceSelectConfigType,
    WDF_USB_DEVICE_SELECT_CONFIG_TYPE;

typedef enum _WdfUsbTargetDeviceSelectSettingType {
    WdfUsbInterfaceSelectSettingTypeDescriptor = 0x10,
    WdfUsbInterfaceSelectSettingTypeSetting = 0x11,
    WdfUsbInterfaceSelectSettingTypeUrb = 0x12,
} WdfUsbTargetDeviceSelectSettingType;

typedef struct _WDF_USB_INTERFACE_SETTING_PAIR {
    WDFUSBINTERFACE UsbInterface;
    UCHAR SettingIndex;
} WDF_USB_INTERFACE_SETTING_PAIR, *PWDF_USB_INTERFACE_SETTING_PAIR;

typedef struct _WDF_USB_DEVICE_SELECT_CONFIG_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectConfigType Type;
    union {
        struct {
            PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
            PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors;
            ULONG NumInterfaceDescriptors;
        } Descriptor;
        struct {
            PURB Urb;
        } Urb;
        // Out: the pipes and the interface selected.
        struct {
            UCHAR NumberConfiguredPipes;
            WDFUSBINTERFACE ConfiguredUsbInterface;
        } SingleInterface;
        // In: the pairs (pairs form only); out: the interfaces configured.
        struct {
            UCHAR NumberInterfaces;
            PWDF_USB_INTERFACE_SETTING_PAIR Pairs;
            UCHAR NumberOfConfiguredInterfaces;
        } MultiInterface;
    } Types;
} WDF_USB_DEVICE_SELECT_CONFIG_PARAMS, *PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS;

FORCEINLINE VOID
WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    memset(Params, 0, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeSingleInterface;
}

// Without pairs every interface is selected in its first setting; with pairs, each listed interface in
// the setting its pair names.
FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, UCHAR NumberInterfaces,
    PWDF_USB_INTERFACE_SETTING_PAIR SettingPairs) {
    memset(Params, 0, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    if (SettingPairs != NULL && NumberInterfaces != 0) {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesPairsDescriptor;
        Params->Types.MultiInterface.NumberInterfaces = NumberInterfaces;
        Params->Types.MultiInterface.Pairs = SettingPairs;
    } else {
        Params->Type = WdfUsbTargetDeviceSelectConfigTypeMultiInterface;
    }
}

FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(
    PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params, PUSB_CONFIGURATION_DESCRIPTOR ConfigDescriptor,
    PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptors, ULONG NumInterfaceDescriptors) {
    memset(Params, 0, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor;
    Params->Types.Descriptor.ConfigurationDescriptor = ConfigDescriptor;
    Params->Types.Descriptor.InterfaceDescriptors = InterfaceDescriptors;
    Params->Types.Descriptor.NumInterfaceDescriptors = NumInterfaceDescriptors;
}

FORCEINLINE VOID WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_URB(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params,
                                                              PURB Urb) {
    memset(Params, 0, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeUrb;
    Params->Types.Urb.Urb = Urb;
}

FORCEINLINE VOID
WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    memset(Params, 0, sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS));
    Params->Size = sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS);
    Params->Type = WdfUsbTargetDeviceSelectConfigTypeDeconfig;
}

typedef struct _WDF_USB_INTERFACE_SELECT_SETTING_PARAMS {
    ULONG Size;
    WdfUsbTargetDeviceSelectSettingType Type;
    union {
        struct {
            PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
        } Descriptor;
        struct {
            UCHAR SettingIndex;
        } Interface;
        struct {
            PURB Urb;
        } Urb;
    } Types;
} WDF_USB_INTERFACE_SELECT_SETTING_PARAMS, *PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS;

FORCEINLINE VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_DESCRIPTOR(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, PUSB_INTERFACE_DESCRIPTOR Interface) {
    memset(Params, 0, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeDescriptor;
    Params->Types.Descriptor.InterfaceDescriptor = Interface;
}

FORCEINLINE VOID WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(
    PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, UCHAR SettingIndex) {
    memset(Params, 0, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeSetting;
    Params->Types.Interface.SettingIndex = SettingIndex;
}

FORCEINLINE VOID
WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_URB(PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params, PURB Urb) {
    memset(Params, 0, sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS));
    Params->Size = sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS);
    Params->Type = WdfUsbInterfaceSelectSettingTypeUrb;
    Params->Types.Urb.Urb = Urb;
}

// ---- Pipes ----

typedef enum _WDF_USB_PIPE_TYPE {
    WdfUsbPipeTypeInvalid = 0,
    WdfUsbPipeTypeControl,
    WdfUsbPipeTypeIsochronous,
    WdfUsbPipeTypeBulk,
    WdfUsbPipeTypeInterrupt,
} WDF_USB_PIPE_TYPE,
    *PWDF_USB_PIPE_TYPE;

FORCEINLINE WDF_USB_PIPE_TYPE UsbdPipeTypeToWdf(USBD_PIPE_TYPE UsbdPipeType) {
    static const WDF_USB_PIPE_TYPE types[] = {WdfUsbPipeTypeControl, WdfUsbPipeTypeIsochronous,
                                              WdfUsbPipeTypeBulk, WdfUsbPipeTypeInterrupt};
    return (ULONG)UsbdPipeType < 4 ? types[UsbdPipeType] : WdfUsbPipeTypeInvalid;
}

typedef struct _WDF_USB_PIPE_INFORMATION {
    ULONG Size;
    ULONG MaximumPacketSize;
    UCHAR EndpointAddress;
    UCHAR Interval;
    UCHAR SettingIndex;
    WDF_USB_PIPE_TYPE PipeType;
    ULONG MaximumTransferSize;
} WDF_USB_PIPE_INFORMATION, *PWDF_USB_PIPE_INFORMATION;

FORCEINLINE VOID WDF_USB_PIPE_INFORMATION_INIT(PWDF_USB_PIPE_INFORMATION Info) {
    memset(Info, 0, sizeof(WDF_USB_PIPE_INFORMATION));
    Info->Size = sizeof(WDF_USB_PIPE_INFORMATION);
}

FORCEINLINE BOOLEAN WDF_USB_PIPE_DIRECTION_IN(UCHAR EndpointAddress) {
    return (EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? TRUE : FALSE;
}

FORCEINLINE BOOLEAN WDF_USB_PIPE_DIRECTION_OUT(UCHAR EndpointAddress) {
    return (EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) ? FALSE : TRUE;
}

// ---- Control transfers ----

typedef enum _WDF_USB_BMREQUEST_DIRECTION {
    BmRequestHostToDevice = 0,
    BmRequestDeviceToHost = 1,
} WDF_USB_BMREQUEST_DIRECTION;

typedef enum _WDF_USB_BMREQUEST_TYPE {
    BmRequestStandard = 0,
    BmRequestClass = 1,
    BmRequestVendor = 2,
} WDF_USB_BMREQUEST_TYPE;

typedef enum _WDF_USB_BMREQUEST_RECIPIENT {
    BmRequestToDevice = 0,
    BmRequestToInterface = 1,
    BmRequestToEndpoint = 2,
    BmRequestToOther = 3,
} WDF_USB_BMREQUEST_RECIPIENT;

typedef union _WDF_USB_CONTROL_SETUP_PACKET {
    struct {
        union {
            struct {
                UCHAR Recipient : 2;
                UCHAR Reserved : 3;
                UCHAR Type : 2;
                UCHAR Dir : 1;
            } Request;
            UCHAR Byte;
        } bm;
        UCHAR bRequest;
        union {
            struct {
                UCHAR LowByte;
                UCHAR HiByte;
            } Bytes;
            USHORT Value;
        } wValue;
        union {
            struct {
                UCHAR LowByte;
                UCHAR HiByte;
            } Bytes;
            USHORT Value;
        } wIndex;
        USHORT wLength;
    } Packet;
    struct {
        UCHAR Bytes[8];
    } Generic;
} WDF_USB_CONTROL_SETUP_PACKET, *PWDF_USB_CONTROL_SETUP_PACKET;

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                   WDF_USB_BMREQUEST_DIRECTION Direction,
                                                   WDF_USB_BMREQUEST_RECIPIENT Recipient, UCHAR Request,
                                                   USHORT Value, USHORT Index) {
    memset(Packet, 0, sizeof(WDF_USB_CONTROL_SETUP_PACKET));
    Packet->Packet.bm.Request.Dir = (UCHAR)Direction;
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestStandard;
    Packet->Packet.bm.Request.Recipient = (UCHAR)Recipient;
    Packet->Packet.bRequest = Request;
    Packet->Packet.wValue.Value = Value;
    Packet->Packet.wIndex.Value = Index;
}

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_CLASS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                         WDF_USB_BMREQUEST_DIRECTION Direction,
                                                         WDF_USB_BMREQUEST_RECIPIENT Recipient, UCHAR Request,
                                                         USHORT Value, USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestClass;
}

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_VENDOR(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                          WDF_USB_BMREQUEST_DIRECTION Direction,
                                                          WDF_USB_BMREQUEST_RECIPIENT Recipient,
                                                          UCHAR Request, USHORT Value, USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, Direction, Recipient, Request, Value, Index);
    Packet->Packet.bm.Request.Type = (UCHAR)BmRequestVendor;
}

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_FEATURE(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                           WDF_USB_BMREQUEST_RECIPIENT BmRequestRecipient,
                                                           USHORT FeatureSelector, USHORT Index,
                                                           BOOLEAN SetFeature) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, BmRequestHostToDevice, BmRequestRecipient,
                                      SetFeature ? USB_REQUEST_SET_FEATURE : USB_REQUEST_CLEAR_FEATURE,
                                      FeatureSelector, Index);
}

FORCEINLINE VOID WDF_USB_CONTROL_SETUP_PACKET_INIT_GET_STATUS(PWDF_USB_CONTROL_SETUP_PACKET Packet,
                                                              WDF_USB_BMREQUEST_RECIPIENT BmRequestRecipient,
                                                              USHORT Index) {
    WDF_USB_CONTROL_SETUP_PACKET_INIT(Packet, BmRequestDeviceToHost, BmRequestRecipient,
                                      USB_REQUEST_GET_STATUS, 0, Index);
    Packet->Packet.wLength = sizeof(USHORT);
}

// ---- Completion parameters of a request sent to a USB target ----

typedef enum _WDF_USB_REQUEST_TYPE {
    WdfUsbRequestTypeInvalid = 0,
    WdfUsbRequestTypeNoFormat,
    WdfUsbRequestTypeDeviceString,
    WdfUsbRequestTypeDeviceControlTransfer,
    WdfUsbRequestTypeDeviceUrb,
    WdfUsbRequestTypePipeWrite,
    WdfUsbRequestTypePipeRead,
    WdfUsbRequestTypePipeAbort,
    WdfUsbRequestTypePipeReset,
    WdfUsbRequestTypePipeUrb,
} WDF_USB_REQUEST_TYPE,
    *PWDF_USB_REQUEST_TYPE;

typedef struct _WDF_USB_REQUEST_COMPLETION_PARAMS {
    USBD_STATUS UsbdStatus;
    WDF_USB_REQUEST_TYPE Type;
    union {
        struct {
            WDFMEMORY Buffer;
            USHORT LangID;
            UCHAR StringIndex;
            // The bytes the whole string descriptor needs, when the buffer was too small.
            UCHAR RequiredSize;
        } DeviceString;
        struct {
            WDFMEMORY Buffer;
            WDF_USB_CONTROL_SETUP_PACKET SetupPacket;
            ULONG Length;
        } DeviceControlTransfer;
        struct {
            WDFMEMORY Buffer;
        } DeviceUrb;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeWrite;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } PipeRead;
        struct {
            WDFMEMORY Buffer;
        } PipeUrb;
    } Parameters;
} WDF_USB_REQUEST_COMPLETION_PARAMS, *PWDF_USB_REQUEST_COMPLETION_PARAMS;

WDF_EXTERN_C_START

// ---- WDFUSBDEVICE ----

// Creates the USB device object of a function driver's device: reads the device and configuration
// descriptors and queries the bus interface (PASSIVE_LEVEL). Parent: the device.
NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                  WDFUSBDEVICE* UsbDevice);
NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice,
                                               PWDF_USB_DEVICE_INFORMATION Information);
VOID WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                           PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor);
// With a NULL buffer or one too small: STATUS_BUFFER_TOO_SMALL and *ConfigDescriptorLength = wTotalLength (a
// too-small buffer still receives what fits).
NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                    PUSHORT ConfigDescriptorLength);
// String is NULL to learn the length; *NumCharacters is in and out (characters, not bytes). A String too
// small receives what fits, with STATUS_BUFFER_OVERFLOW.
NTSTATUS WdfUsbTargetDeviceQueryString(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                       PWDF_REQUEST_SEND_OPTIONS RequestOptions, PUSHORT String,
                                       PUSHORT NumCharacters, UCHAR StringIndex, USHORT LangID);
NTSTATUS WdfUsbTargetDeviceAllocAndQueryString(WDFUSBDEVICE UsbDevice,
                                               PWDF_OBJECT_ATTRIBUTES StringMemoryAttributes,
                                               WDFMEMORY* StringMemory, PUSHORT NumCharacters,
                                               UCHAR StringIndex, USHORT LangID);
NTSTATUS WdfUsbTargetDeviceFormatRequestForString(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                  WDFMEMORY Memory, PWDFMEMORY_OFFSET Offset,
                                                  UCHAR StringIndex, USHORT LangID);
UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice);
WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex);
NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice, PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                        PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params);
USBD_CONFIGURATION_HANDLE WdfUsbTargetDeviceWdmGetConfigurationHandle(WDFUSBDEVICE UsbDevice);
NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                            PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
                                                            PULONG BytesTransferred);
NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                           PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                           WDFMEMORY TransferMemory,
                                                           PWDFMEMORY_OFFSET TransferOffset);
NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb);
// The URB lives in UrbMemory (at the offset, when given) and must stay valid until completion.
NTSTATUS WdfUsbTargetDeviceFormatRequestForUrb(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                               WDFMEMORY UrbMemory, PWDFMEMORY_OFFSET UrbMemoryOffset);
// The handle to pass where a WDFIOTARGET is asked for (the same object).
WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice);

// ---- WDFUSBINTERFACE ----

BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface);
BYTE WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface);
BYTE WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex);
VOID WdfUsbInterfaceGetEndpointInformation(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                           UCHAR EndpointIndex, PWDF_USB_PIPE_INFORMATION EndpointInfo);
VOID WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor);
BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface);
BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface);
// NULL past the last configured pipe; PipeInfo (optional) receives the pipe's information.
WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                            PWDF_USB_PIPE_INFORMATION PipeInfo);
NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface, PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                      PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params);

// ---- WDFUSBPIPE ----

VOID WdfUsbTargetPipeGetInformation(WDFUSBPIPE Pipe, PWDF_USB_PIPE_INFORMATION PipeInformation);
BOOLEAN WdfUsbTargetPipeIsInEndpoint(WDFUSBPIPE Pipe);
BOOLEAN WdfUsbTargetPipeIsOutEndpoint(WDFUSBPIPE Pipe);
WDF_USB_PIPE_TYPE WdfUsbTargetPipeGetType(WDFUSBPIPE Pipe);
VOID WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(WDFUSBPIPE Pipe);
USBD_PIPE_HANDLE WdfUsbTargetPipeWdmGetPipeHandle(WDFUSBPIPE UsbPipe);
// The handle to pass where a WDFIOTARGET is asked for (the same object).
WDFIOTARGET WdfUsbTargetPipeGetIoTarget(WDFUSBPIPE Pipe);

// A NULL memory is a zero-length transfer. Only bulk and interrupt pipes of the matching direction.
NTSTATUS WdfUsbTargetPipeFormatRequestForWrite(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY WriteMemory,
                                               PWDFMEMORY_OFFSET WriteOffset);
NTSTATUS WdfUsbTargetPipeFormatRequestForRead(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY ReadMemory,
                                              PWDFMEMORY_OFFSET ReadOffset);
NTSTATUS WdfUsbTargetPipeWriteSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                            PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesWritten);
NTSTATUS WdfUsbTargetPipeReadSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PWDF_MEMORY_DESCRIPTOR MemoryDescriptor, PULONG BytesRead);
NTSTATUS WdfUsbTargetPipeFormatRequestForAbort(WDFUSBPIPE Pipe, WDFREQUEST Request);
NTSTATUS WdfUsbTargetPipeAbortSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions);
NTSTATUS WdfUsbTargetPipeFormatRequestForReset(WDFUSBPIPE Pipe, WDFREQUEST Request);
NTSTATUS WdfUsbTargetPipeResetSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                            PWDF_REQUEST_SEND_OPTIONS RequestOptions);
NTSTATUS WdfUsbTargetPipeSendUrbSynchronously(WDFUSBPIPE Pipe, WDFREQUEST Request,
                                              PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb);
NTSTATUS WdfUsbTargetPipeFormatRequestForUrb(WDFUSBPIPE Pipe, WDFREQUEST Request, WDFMEMORY UrbMemory,
                                             PWDFMEMORY_OFFSET UrbMemoryOffset);

WDF_EXTERN_C_END

#endif // ZV_WDFUSB_H
