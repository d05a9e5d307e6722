// Interface grouping and child enumeration of a parent device. The walk splits the parent's configuration
// descriptor into functions (interface associations, CDC communication interfaces with the interfaces
// their union names, mass-storage and vendor-specific interfaces) and describes each by a
// CHILD_FUNCTION_DESCRIPTION with a device and a configuration descriptor of its own, as if the function
// were a device with one configuration holding only its interfaces. BusEnumerateChildren reports the
// descriptions through the default child list in one scan; BusRemoveChildren reports every child missing.
//
// Every enumeration builds its descriptions afresh, in a collection of its own; records, descriptors and
// strings are framework memory parented to the parent device and outlive every child of that enumeration.
//
// The configuration comes from the device and is not trusted: the walk first checks that its descriptors
// chain by bLength exactly to its end, and every later step still checks each descriptor against what
// remains before it reads it. Interfaces are told apart by number: an alternate setting belongs to the
// function of its interface's setting 0 and never starts a function of its own, so that two children never
// carry the same interface number.
#include "base/bus/bus.h"

#include <ntstrsafe.h>
#include <usbdlib.h>

#define BUS_CS_INTERFACE_DESCRIPTOR_TYPE 0x24
#define BUS_CS_ENDPOINT_DESCRIPTOR_TYPE 0x25
#define BUS_CDC_UNION_FUNCTIONAL_SUBTYPE 0x06
#define BUS_CDC_SUBCLASS_ACM 0x02
#define BUS_CDC_SUBCLASS_MDLM 0x0A
#define BUS_CDC_PROTOCOL_AT_COMMANDS 0x01

// A union descriptor's subordinate interface numbers start at this offset; at least one must follow.
#define BUS_CDC_UNION_FIRST_SUBORDINATE 4

// The child list is reported with an 8-bit index.
#define BUS_MAX_FUNCTIONS 255

// "DisableIf_%02x" and its terminating NUL fit easily.
#define BUS_DISABLE_NAME_CHARS 64

// One run of a function's descriptor bytes inside the parent's configuration.
typedef struct _BUS_DESCRIPTOR_RANGE {
    PUCHAR Start;
    USHORT Length;
} BUS_DESCRIPTOR_RANGE, *PBUS_DESCRIPTOR_RANGE;

// The parent's configuration as the rules see it.
static PUCHAR BusConfigurationBegin(_In_ PPARENT_FDO_CONTEXT ParentContext) {
    return (PUCHAR)ParentContext->ConfigurationDescriptor;
}

static PUCHAR BusConfigurationEnd(_In_ PPARENT_FDO_CONTEXT ParentContext) {
    return (PUCHAR)ParentContext->ConfigurationDescriptor + ParentContext->ConfigurationDescriptorSize;
}

// Whether the descriptor at Position has a header inside [Begin, End) and all of its bLength bytes too. A
// bLength below 2 cannot even hold the descriptor's type.
static BOOLEAN BusDescriptorFits(_In_ PUCHAR Begin, _In_ PUCHAR End, _In_ PUCHAR Position) {
    if (Position < Begin || Position >= End || End - Position < (LONG_PTR)sizeof(USB_COMMON_DESCRIPTOR)) {
        return FALSE;
    }
    return Position[0] >= sizeof(USB_COMMON_DESCRIPTOR) && Position[0] <= End - Position;
}

// Whether the descriptor at Position is an interface descriptor; FALSE for one too short to be read as one.
static BOOLEAN BusIsInterfaceDescriptor(_In_ PUCHAR Position) {
    return Position[1] == USB_INTERFACE_DESCRIPTOR_TYPE && Position[0] >= sizeof(USB_INTERFACE_DESCRIPTOR);
}

// The header is a configuration descriptor and the descriptors chain by bLength exactly to the end; the
// interface and association descriptors are long enough to be read as such.
static BOOLEAN BusConfigurationIsWellFormed(_In_ PUCHAR Begin, _In_ PUCHAR End) {
    PUCHAR position = Begin;

    if (End - Begin < (LONG_PTR)sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        Begin[0] < sizeof(USB_CONFIGURATION_DESCRIPTOR) || Begin[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) {
        return FALSE;
    }
    while (position != End) {
        if (!BusDescriptorFits(Begin, End, position)) {
            return FALSE;
        }
        if (position[1] == USB_INTERFACE_DESCRIPTOR_TYPE && position[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) {
            return FALSE;
        }
        if (position[1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE &&
            position[0] < sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR)) {
            return FALSE;
        }
        position += position[0];
    }
    return TRUE;
}

// The end of a function's tail from Position on: every descriptor up to the end of the configuration or
// an interface, other-speed or association descriptor, which is not taken. An alternate setting of
// interface AlternatesOf (-1: none) is taken with what follows it. NULL when a descriptor is malformed.
static PUCHAR BusFunctionTailEnd(_In_ PUCHAR Begin, _In_ PUCHAR End, _In_ PUCHAR Position,
                                 _In_ LONG AlternatesOf) {
    while (Position != End) {
        if (!BusDescriptorFits(Begin, End, Position)) {
            return NULL;
        }
        UCHAR type = Position[1];
        if (type == USB_INTERFACE_DESCRIPTOR_TYPE) {
            if (!BusIsInterfaceDescriptor(Position)) {
                return NULL;
            }
            PUSB_INTERFACE_DESCRIPTOR next = (PUSB_INTERFACE_DESCRIPTOR)Position;
            if (next->bInterfaceNumber != AlternatesOf || next->bAlternateSetting == 0) {
                break;
            }
        } else if (type == USB_OTHER_SPEED_CONFIGURATION_DESCRIPTOR_TYPE ||
                   type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            break;
        }
        Position += Position[0];
    }
    return Position;
}

PUSB_COMMON_DESCRIPTOR
BusFindNextFunctionDescriptor(_In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                              _In_ USHORT TotalLength, _In_ PVOID StartPosition) {
    PUSB_COMMON_DESCRIPTOR association = USBD_ParseDescriptors(
        ConfigurationDescriptor, TotalLength, StartPosition, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    PUSB_COMMON_DESCRIPTOR interface = USBD_ParseDescriptors(ConfigurationDescriptor, TotalLength,
                                                             StartPosition, USB_INTERFACE_DESCRIPTOR_TYPE);

    if (interface == NULL) {
        return NULL;
    }
    if (association != NULL && (PUCHAR)association < (PUCHAR)interface) {
        return association;
    }
    return interface;
}

BOOLEAN BusFindNextInterfaceDescriptor(_In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       _In_ USHORT TotalLength, _Inout_ PUSB_COMMON_DESCRIPTOR* Position,
                                       _Out_opt_ PUSHORT BundleLength) {
    PUCHAR begin = (PUCHAR)ConfigurationDescriptor;
    PUCHAR end = begin + TotalLength;
    PUCHAR position = (PUCHAR)*Position;

    if (!BusDescriptorFits(begin, end, position)) {
        return FALSE;
    }
    // The descriptor at the position itself is passed over.
    for (position += position[0];; position += position[0]) {
        if (position == end || !BusDescriptorFits(begin, end, position)) {
            return FALSE;
        }
        if (position[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            break;
        }
    }
    if (!BusIsInterfaceDescriptor(position)) {
        return FALSE;
    }

    if (BundleLength != NULL) {
        PUCHAR bundleEnd = position + position[0];
        while (bundleEnd != end) {
            if (!BusDescriptorFits(begin, end, bundleEnd)) {
                return FALSE;
            }
            if (bundleEnd[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
                break;
            }
            bundleEnd += bundleEnd[0];
        }
        *BundleLength = (USHORT)(bundleEnd - position);
    }
    *Position = (PUSB_COMMON_DESCRIPTOR)position;
    return TRUE;
}

BOOLEAN BusFindInterfaceDescriptorByNumber(_In_ PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                           _In_ USHORT TotalLength, _In_ UCHAR InterfaceNumber,
                                           _Out_ PUSB_INTERFACE_DESCRIPTOR* InterfaceDescriptor,
                                           _Out_opt_ PUSHORT BundleLength) {
    PUSB_COMMON_DESCRIPTOR position = (PUSB_COMMON_DESCRIPTOR)ConfigurationDescriptor;
    USHORT length = 0;

    *InterfaceDescriptor = NULL;
    while (BusFindNextInterfaceDescriptor(ConfigurationDescriptor, TotalLength, &position, &length)) {
        PUSB_INTERFACE_DESCRIPTOR found = (PUSB_INTERFACE_DESCRIPTOR)position;
        if (found->bInterfaceNumber != InterfaceNumber) {
            continue;
        }
        // The alternate settings that follow belong to the interface: its function may select them.
        USHORT total = length;
        PUSB_COMMON_DESCRIPTOR next = position;
        while (BusFindNextInterfaceDescriptor(ConfigurationDescriptor, TotalLength, &next, &length)) {
            PUSB_INTERFACE_DESCRIPTOR alternate = (PUSB_INTERFACE_DESCRIPTOR)next;
            if ((PUCHAR)next != (PUCHAR)found + total || alternate->bInterfaceNumber != InterfaceNumber ||
                alternate->bAlternateSetting == 0) {
                break;
            }
            total = (USHORT)(total + length);
        }
        *InterfaceDescriptor = found;
        if (BundleLength != NULL) {
            *BundleLength = total;
        }
        return TRUE;
    }
    return FALSE;
}

// Whether a function already described in Collection carries InterfaceNumber: its children would share
// their IDs.
static BOOLEAN BusInterfaceNumberTaken(_In_ WDFCOLLECTION Collection, _In_ UCHAR InterfaceNumber) {
    ULONG count = WdfCollectionGetCount(Collection);
    ULONG i;

    for (i = 0; i < count; i++) {
        PCHILD_FUNCTION_DESCRIPTION description = (PCHILD_FUNCTION_DESCRIPTION)WdfMemoryGetBuffer(
            (WDFMEMORY)WdfCollectionGetItem(Collection, i), NULL);
        if (description->InterfaceNumber == InterfaceNumber) {
            return TRUE;
        }
    }
    return FALSE;
}

// The steps every rule shares once the function's bytes are known: the synthesised configuration and
// device descriptors, the record, its string, its disable switch, and its place in Collection.
static BOOLEAN BusAddFunctionDescription(_In_ WDFDEVICE Device, _In_ WDFCOLLECTION Collection,
                                         _In_ UCHAR FunctionClass, _In_ UCHAR FunctionSubClass,
                                         _In_ UCHAR FunctionProtocol, _In_ UCHAR InterfaceNumber,
                                         _In_ UCHAR StringIndex, _In_ UCHAR NumInterfaces,
                                         _In_ PBUS_DESCRIPTOR_RANGE Ranges, _In_ ULONG RangeCount) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFMEMORY memory = NULL;
    PVOID buffer = NULL;
    ULONG total = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    ULONG i;

    // Interface numbers are 8-bit and name the children, so only a malformed configuration has more.
    if (WdfCollectionGetCount(Collection) >= BUS_MAX_FUNCTIONS) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%smore than %d functions\n", TRACE_BODY,
                    BUS_MAX_FUNCTIONS);
        return FALSE;
    }
    if (BusInterfaceNumberTaken(Collection, InterfaceNumber)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sinterface %d starts a second function\n",
                    TRACE_BODY, InterfaceNumber);
        return FALSE;
    }
    for (i = 0; i < RangeCount; i++) {
        total += Ranges[i].Length;
    }
    if (total > 0xFFFF) {
        return FALSE;
    }

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;

    // 1. The configuration: the parent's header with this function's length and interface count, then the
    // function's bytes.
    NTSTATUS status = WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, total, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfMemoryCreate failed with status %X\n",
                    TRACE_BODY, status);
        return FALSE;
    }
    PUSB_CONFIGURATION_DESCRIPTOR configuration = (PUSB_CONFIGURATION_DESCRIPTOR)buffer;
    RtlCopyMemory(configuration, parentContext->ConfigurationDescriptor,
                  sizeof(USB_CONFIGURATION_DESCRIPTOR));
    // A longer header of the parent's would swallow the function's first bytes.
    configuration->bLength = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    configuration->wTotalLength = (USHORT)total;
    configuration->bNumInterfaces = NumInterfaces;
    PUCHAR cursor = (PUCHAR)buffer + sizeof(USB_CONFIGURATION_DESCRIPTOR);
    for (i = 0; i < RangeCount; i++) {
        RtlCopyMemory(cursor, Ranges[i].Start, Ranges[i].Length);
        cursor += Ranges[i].Length;
    }

    // 2. The device descriptor: the parent's, with the function's class.
    status = WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, sizeof(USB_DEVICE_DESCRIPTOR), &memory,
                             &buffer);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfMemoryCreate failed with status %X\n",
                    TRACE_BODY, status);
        return FALSE;
    }
    PUSB_DEVICE_DESCRIPTOR device = (PUSB_DEVICE_DESCRIPTOR)buffer;
    RtlCopyMemory(device, &parentContext->UsbDeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR));
    device->bDeviceClass = FunctionClass;
    device->bDeviceSubClass = FunctionSubClass;
    device->bDeviceProtocol = FunctionProtocol;

    // 3. The record.
    WDFMEMORY recordMemory = NULL;
    status = WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, sizeof(CHILD_FUNCTION_DESCRIPTION),
                             &recordMemory, &buffer);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfMemoryCreate failed with status %X\n",
                    TRACE_BODY, status);
        return FALSE;
    }
    PCHILD_FUNCTION_DESCRIPTION description = (PCHILD_FUNCTION_DESCRIPTION)buffer;
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&description->Header,
                                                     sizeof(CHILD_FUNCTION_DESCRIPTION));
    description->Disabled = FALSE;
    description->FunctionClass = FunctionClass;
    description->FunctionSubClass = FunctionSubClass;
    description->FunctionProtocol = FunctionProtocol;
    description->InterfaceNumber = InterfaceNumber;

    // 4. The function's own string, without a trailing NUL.
    if (StringIndex != 0) {
        WDFMEMORY stringMemory = NULL;
        USHORT characters = 0;
        size_t size = 0;
        status = WdfUsbTargetDeviceAllocAndQueryString(parentContext->UsbDevice, &attributes, &stringMemory,
                                                       &characters, StringIndex, parentContext->LanguageId);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                        "%sWdfUsbTargetDeviceAllocAndQueryString(%d) failed with status %X\n", TRACE_BODY,
                        StringIndex, status);
            return FALSE;
        }
        PWCHAR text = (PWCHAR)WdfMemoryGetBuffer(stringMemory, &size);
        if (characters > size / sizeof(WCHAR)) {
            characters = (USHORT)(size / sizeof(WCHAR));
        }
        if (characters > 0 && text[characters - 1] == L'\0') {
            characters--;
        }
        description->FunctionDescription.Buffer = text;
        description->FunctionDescription.Length = (USHORT)(characters * sizeof(WCHAR));
        description->FunctionDescription.MaximumLength = (USHORT)(size > 0xFFFF ? 0xFFFF : size);
    }

    // 5. The synthesised descriptors.
    description->DeviceDescriptor = device;
    description->ConfigurationDescriptor = configuration;
    description->ConfigurationDescriptorLength = (USHORT)total;

    // 6. The disable switch; a registry error leaves the function enabled.
    WCHAR nameBuffer[BUS_DISABLE_NAME_CHARS] = {0};
    UNICODE_STRING name;
    ULONG disable = 0;
    name.Buffer = nameBuffer;
    name.Length = 0;
    name.MaximumLength = (BUS_DISABLE_NAME_CHARS - 1) * sizeof(WCHAR); // the last character stays NUL
    status = RtlUnicodeStringPrintf(&name, L"DisableIf_%02x", InterfaceNumber);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sRtlUnicodeStringPrintf failed with status %X\n",
                    TRACE_BODY, status);
        return FALSE;
    }
    if (GetRegistrySoftwareKeyValue(Device, nameBuffer, &disable) && disable != 0) {
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sfunction of interface %d disabled\n", TRACE_BODY,
                    InterfaceNumber);
        description->Disabled = TRUE;
    }

    // 7. Into the enumeration's collection.
    status = WdfCollectionAdd(Collection, recordMemory);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfCollectionAdd failed with status %X\n",
                    TRACE_BODY, status);
        return FALSE;
    }
    return TRUE;
}

BOOLEAN BusGenerateIdDescriptionFromInterfaceAssociation(
    _In_ WDFDEVICE Device, _In_ PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR AssociationDescriptor,
    _In_ WDFCOLLECTION Collection, _Out_ PUSHORT ConsumedLength) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    PUCHAR begin = BusConfigurationBegin(parentContext);
    PUCHAR end = BusConfigurationEnd(parentContext);
    PUCHAR association = (PUCHAR)AssociationDescriptor;
    PUCHAR cursor;
    LONG lastInterface = -1;
    UCHAR k;

    *ConsumedLength = 0;
    if (!BusDescriptorFits(begin, end, association) ||
        association[0] < sizeof(USB_INTERFACE_ASSOCIATION_DESCRIPTOR)) {
        return FALSE;
    }
    // An association over no interface would make a child without one.
    if (AssociationDescriptor->bInterfaceCount == 0 ||
        AssociationDescriptor->bFirstInterface + AssociationDescriptor->bInterfaceCount - 1 > 0xFF) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sassociation over %d interfaces from %d\n",
                    TRACE_BODY, AssociationDescriptor->bInterfaceCount,
                    AssociationDescriptor->bFirstInterface);
        return FALSE;
    }

    // The associated interfaces follow in order, numbered from bFirstInterface; the class-specific and
    // endpoint descriptors between them (and the alternate settings of each) are part of the function.
    cursor = association + association[0];
    for (k = 0; k < AssociationDescriptor->bInterfaceCount; k++) {
        PUCHAR found;
        for (;;) {
            found = (PUCHAR)USBD_ParseDescriptors(parentContext->ConfigurationDescriptor,
                                                  parentContext->ConfigurationDescriptorSize, cursor,
                                                  USB_INTERFACE_DESCRIPTOR_TYPE);
            if (found == NULL || !BusIsInterfaceDescriptor(found)) {
                return FALSE;
            }
            PUSB_INTERFACE_DESCRIPTOR interface = (PUSB_INTERFACE_DESCRIPTOR)found;
            if (interface->bAlternateSetting == 0 || interface->bInterfaceNumber != lastInterface) {
                break;
            }
            cursor = found + found[0];
        }
        PUSB_INTERFACE_DESCRIPTOR interface = (PUSB_INTERFACE_DESCRIPTOR)found;
        if (interface->bInterfaceNumber != AssociationDescriptor->bFirstInterface + k ||
            interface->bAlternateSetting != 0) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                        "%sassociation from %d: interface %d (setting %d) where %d belongs\n", TRACE_BODY,
                        AssociationDescriptor->bFirstInterface, interface->bInterfaceNumber,
                        interface->bAlternateSetting, AssociationDescriptor->bFirstInterface + k);
            return FALSE;
        }
        lastInterface = interface->bInterfaceNumber;
        cursor = found + found[0];
    }

    cursor = BusFunctionTailEnd(begin, end, cursor, lastInterface);
    if (cursor == NULL) {
        return FALSE;
    }

    BUS_DESCRIPTOR_RANGE range;
    range.Start = association;
    range.Length = (USHORT)(cursor - association);
    if (!BusAddFunctionDescription(Device, Collection, AssociationDescriptor->bFunctionClass,
                                   AssociationDescriptor->bFunctionSubClass,
                                   AssociationDescriptor->bFunctionProtocol,
                                   AssociationDescriptor->bFirstInterface, AssociationDescriptor->iFunction,
                                   AssociationDescriptor->bInterfaceCount, &range, 1)) {
        return FALSE;
    }
    *ConsumedLength = range.Length;
    return TRUE;
}

// The single-interface rule of mass-storage and vendor-specific interfaces: the interface, its alternate
// settings and everything up to the next interface, association or other-speed descriptor.
static BOOLEAN BusGenerateIdDescriptionFromSingleInterface(_In_ WDFDEVICE Device,
                                                           _In_ PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                           _In_ WDFCOLLECTION Collection) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    PUCHAR begin = BusConfigurationBegin(parentContext);
    PUCHAR end = BusConfigurationEnd(parentContext);
    PUCHAR interface = (PUCHAR)InterfaceDescriptor;

    if (!BusDescriptorFits(begin, end, interface) || !BusIsInterfaceDescriptor(interface)) {
        return FALSE;
    }
    PUCHAR tailEnd =
        BusFunctionTailEnd(begin, end, interface + interface[0], InterfaceDescriptor->bInterfaceNumber);
    if (tailEnd == NULL) {
        return FALSE;
    }

    BUS_DESCRIPTOR_RANGE range;
    range.Start = interface;
    range.Length = (USHORT)(tailEnd - interface);
    return BusAddFunctionDescription(
        Device, Collection, InterfaceDescriptor->bInterfaceClass, InterfaceDescriptor->bInterfaceSubClass,
        InterfaceDescriptor->bInterfaceProtocol, InterfaceDescriptor->bInterfaceNumber,
        InterfaceDescriptor->iInterface, 1, &range, 1);
}

BOOLEAN BusGenerateIdDescriptionMscInterface(_In_ WDFDEVICE Device,
                                             _In_ PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                             _In_ WDFCOLLECTION Collection) {
    return BusGenerateIdDescriptionFromSingleInterface(Device, InterfaceDescriptor, Collection);
}

BOOLEAN
BusGenerateIdDescriptionFromVendorSpecificInterface(_In_ WDFDEVICE Device,
                                                    _In_ PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                    _In_ WDFCOLLECTION Collection) {
    return BusGenerateIdDescriptionFromSingleInterface(Device, InterfaceDescriptor, Collection);
}

BOOLEAN BusGenerateIdDescriptionFromCdcInterface(_In_ WDFDEVICE Device,
                                                 _In_ PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor,
                                                 _In_ WDFCOLLECTION Collection) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    PUCHAR begin = BusConfigurationBegin(parentContext);
    PUCHAR end = BusConfigurationEnd(parentContext);
    PUCHAR communication = (PUCHAR)InterfaceDescriptor;
    PUCHAR union_ = NULL;
    PUCHAR position;
    ULONG subordinates = 0;
    ULONG i;
    ULONG j;

    if (!BusDescriptorFits(begin, end, communication) || !BusIsInterfaceDescriptor(communication)) {
        return FALSE;
    }

    // 1. The communication bytes: the interface and its endpoint and class-specific descriptors. The last
    // union descriptor among them names the subordinate interfaces.
    for (position = communication + communication[0]; position != end; position += position[0]) {
        if (!BusDescriptorFits(begin, end, position)) {
            return FALSE;
        }
        UCHAR type = position[1];
        if (type != USB_ENDPOINT_DESCRIPTOR_TYPE && type != BUS_CS_INTERFACE_DESCRIPTOR_TYPE &&
            type != BUS_CS_ENDPOINT_DESCRIPTOR_TYPE) {
            break;
        }
        if (type == BUS_CS_INTERFACE_DESCRIPTOR_TYPE && position[0] >= 3 &&
            position[2] == BUS_CDC_UNION_FUNCTIONAL_SUBTYPE) {
            union_ = position;
        }
    }
    USHORT communicationLength = (USHORT)(position - communication);

    if (union_ != NULL) {
        // A union without a subordinate interface is malformed (and bLength - 4 would wrap).
        if (union_[0] <= BUS_CDC_UNION_FIRST_SUBORDINATE) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sunion descriptor of %d bytes\n", TRACE_BODY,
                        union_[0]);
            return FALSE;
        }
        subordinates = union_[0] - BUS_CDC_UNION_FIRST_SUBORDINATE;
        // A subordinate named twice, or the communication interface named as its own subordinate, would put
        // an interface into the function twice.
        for (i = 0; i < subordinates; i++) {
            UCHAR number = union_[BUS_CDC_UNION_FIRST_SUBORDINATE + i];
            if (number == InterfaceDescriptor->bInterfaceNumber) {
                return FALSE;
            }
            for (j = 0; j < i; j++) {
                if (union_[BUS_CDC_UNION_FIRST_SUBORDINATE + j] == number) {
                    return FALSE;
                }
            }
        }
    }

    // 2. The temporary table: the communication bytes, then each subordinate bundle in union order.
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFMEMORY tableMemory = NULL;
    PVOID buffer = NULL;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status =
        WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG,
                        (subordinates + 1) * sizeof(BUS_DESCRIPTOR_RANGE), &tableMemory, &buffer);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfMemoryCreate failed with status %X\n",
                    TRACE_BODY, status);
        return FALSE;
    }
    PBUS_DESCRIPTOR_RANGE table = (PBUS_DESCRIPTOR_RANGE)buffer;
    table[0].Start = communication;
    table[0].Length = communicationLength;

    BOOLEAN result = TRUE;
    for (i = 0; i < subordinates; i++) {
        UCHAR number = union_[BUS_CDC_UNION_FIRST_SUBORDINATE + i];
        PUSB_INTERFACE_DESCRIPTOR subordinate = NULL;
        USHORT length = 0;
        if (!BusFindInterfaceDescriptorByNumber(parentContext->ConfigurationDescriptor,
                                                parentContext->ConfigurationDescriptorSize, number,
                                                &subordinate, &length)) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                        "%sunion of interface %d names a missing interface %d\n", TRACE_BODY,
                        InterfaceDescriptor->bInterfaceNumber, number);
            result = FALSE;
            break;
        }
        table[i + 1].Start = (PUCHAR)subordinate;
        table[i + 1].Length = length;
    }

    if (result) {
        result = BusAddFunctionDescription(
            Device, Collection, InterfaceDescriptor->bInterfaceClass, InterfaceDescriptor->bInterfaceSubClass,
            InterfaceDescriptor->bInterfaceProtocol, InterfaceDescriptor->bInterfaceNumber,
            InterfaceDescriptor->iInterface, (UCHAR)(subordinates + 1), table, subordinates + 1);
    }
    WdfObjectDelete(tableMemory);
    return result;
}

NTSTATUS BusGenerateIdentificationDescriptions(_In_ WDFDEVICE Device, _In_ WDFCOLLECTION Collection) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    PUSB_CONFIGURATION_DESCRIPTOR configuration = parentContext->ConfigurationDescriptor;
    USHORT size = parentContext->ConfigurationDescriptorSize;
    NTSTATUS status = STATUS_SUCCESS;
    PUCHAR position;
    PUSB_COMMON_DESCRIPTOR found;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusGenerateIdentificationDescriptions(dev=0x%p)\n",
                TRACE_ENTER, Device);

    if (configuration == NULL ||
        !BusConfigurationIsWellFormed((PUCHAR)configuration, (PUCHAR)configuration + size)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%smalformed configuration descriptor of %d bytes\n",
                    TRACE_BODY, size);
        status = STATUS_DEVICE_ENUMERATION_ERROR;
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusGenerateIdentificationDescriptions %X\n",
                    TRACE_EXIT, status);
        return status;
    }

    for (position = (PUCHAR)configuration;
         (found = BusFindNextFunctionDescriptor(configuration, size, position)) != NULL;) {
        BOOLEAN added = FALSE;
        BOOLEAN skipped = FALSE;
        USHORT consumed = 0;

        if (found->bDescriptorType == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) {
            if (!BusGenerateIdDescriptionFromInterfaceAssociation(
                    Device, (PUSB_INTERFACE_ASSOCIATION_DESCRIPTOR)found, Collection, &consumed)) {
                status = STATUS_DEVICE_ENUMERATION_ERROR;
                break;
            }
            // The associated interfaces are never looked at again.
            position = (PUCHAR)found + consumed;
            continue;
        }

        PUSB_INTERFACE_DESCRIPTOR interface = (PUSB_INTERFACE_DESCRIPTOR)found;
        if (interface->bAlternateSetting != 0) {
            skipped = TRUE; // part of the function of its setting 0
        } else {
            switch (interface->bInterfaceClass) {
                case USB_DEVICE_CLASS_COMMUNICATIONS:
                    if ((interface->bInterfaceSubClass == BUS_CDC_SUBCLASS_ACM &&
                         interface->bInterfaceProtocol == BUS_CDC_PROTOCOL_AT_COMMANDS) ||
                        interface->bInterfaceSubClass == BUS_CDC_SUBCLASS_MDLM) {
                        added = BusGenerateIdDescriptionFromCdcInterface(Device, interface, Collection);
                    } else {
                        skipped = TRUE;
                    }
                    break;
                case USB_DEVICE_CLASS_STORAGE:
                    added = BusGenerateIdDescriptionMscInterface(Device, interface, Collection);
                    break;
                case USB_DEVICE_CLASS_VENDOR_SPECIFIC:
                    added =
                        BusGenerateIdDescriptionFromVendorSpecificInterface(Device, interface, Collection);
                    break;
                default:
                    // CDC data interfaces belong to their communication function; other classes are not
                    // served.
                    skipped = TRUE;
                    break;
            }
        }
        if (!added && !skipped) {
            status = STATUS_DEVICE_ENUMERATION_ERROR;
            break;
        }
        position = (PUCHAR)found + found->bLength;
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusGenerateIdentificationDescriptions %X\n", TRACE_EXIT,
                status);
    return status;
}

NTSTATUS BusEnumerateChildren(_In_ WDFDEVICE Device) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFCOLLECTION descriptions = NULL;
    WDFCHILDLIST childList;
    ULONG count;
    UCHAR i;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEnumerateChildren(dev=0x%p)\n", TRACE_ENTER, Device);

    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfCollectionCreate(&attributes, &descriptions);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL, "%sWdfCollectionCreate failed with status %X\n",
                    TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEnumerateChildren %X\n", TRACE_EXIT, status);
        return status;
    }
    parentContext->IdentificationDescriptions = descriptions;

    // A failed walk leaves the child list alone: the children reported before stay.
    status = BusGenerateIdentificationDescriptions(Device, descriptions);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sBusGenerateIdentificationDescriptions failed with status %X\n", TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEnumerateChildren %X\n", TRACE_EXIT, status);
        return status;
    }

    // One scan: what is reported stays or is created, every other child goes at its end.
    childList = WdfFdoGetDefaultChildList(Device);
    WdfChildListBeginScan(childList);
    count = WdfCollectionGetCount(descriptions); // at most BUS_MAX_FUNCTIONS, so the 8-bit index ends
    for (i = 0; i < count; i++) {
        PCHILD_FUNCTION_DESCRIPTION description = (PCHILD_FUNCTION_DESCRIPTION)WdfMemoryGetBuffer(
            (WDFMEMORY)WdfCollectionGetItem(descriptions, i), NULL);
        if (description->Disabled) {
            continue;
        }
        // A child that cannot be reported is skipped; the others still come.
        NTSTATUS reported =
            WdfChildListAddOrUpdateChildDescriptionAsPresent(childList, &description->Header, NULL);
        if (!NT_SUCCESS(reported)) {
            DriverTrace(
                TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                "%sWdfChildListAddOrUpdateChildDescriptionAsPresent(interface %d) failed with status %X\n",
                TRACE_BODY, description->InterfaceNumber, reported);
        }
    }
    WdfChildListEndScan(childList);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusEnumerateChildren %X\n", TRACE_EXIT, status);
    return status;
}

VOID BusRemoveChildren(_In_ WDFDEVICE Device) {
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusRemoveChildren(dev=0x%p)\n", TRACE_ENTER, Device);

    // An empty scan: every child is reported missing.
    WDFCHILDLIST childList = WdfFdoGetDefaultChildList(Device);
    WdfChildListBeginScan(childList);
    WdfChildListEndScan(childList);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusRemoveChildren\n", TRACE_EXIT);
}
