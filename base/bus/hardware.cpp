// Hardware preparation and release of the parent device: the USB bring-up of the real device (its
// capabilities from the bus below, the USB bus interface, the framework USB target, the device descriptor
// with its class check, the language, product and serial-number strings, the whole configuration
// descriptor, and the configuration selected with every interface in alternate setting 0), then the join
// of the driver's parent collection with the children enumerated, or deferred while an older parent of
// the same device instance still exists (its cleanup hands the enumeration over, parent.cpp). Release
// reports every child missing before it deconfigures the device.
//
// The USB target is made once per parent device and kept across restarts; everything else is read again
// into fresh memory at every preparation.
#include "base/bus/bus.h"

// The bus interface comes referenced from the bus below; a restart queries it again and a release is done
// with it, so the reference taken by the previous query is given back each time.
static VOID BusReleaseUsbBusInterface(_In_ PPARENT_FDO_CONTEXT ParentContext) {
    if (ParentContext->UsbBusInterface.InterfaceDereference != NULL) {
        ParentContext->UsbBusInterface.InterfaceDereference(ParentContext->UsbBusInterface.BusContext);
    }
    RtlZeroMemory(&ParentContext->UsbBusInterface, sizeof(ParentContext->UsbBusInterface));
}

// IRP_MN_QUERY_CAPABILITIES to the driver below, through a request made from an IRP of our own.
static NTSTATUS BusQueryDeviceCapabilities(_In_ WDFDEVICE Device) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    WDF_REQUEST_SEND_OPTIONS options;
    IO_STACK_LOCATION stack;
    WDFREQUEST request = NULL;
    PIRP irp;
    NTSTATUS status;

    irp = IoAllocateIrp(parentContext->WdmDeviceObject->StackSize, FALSE);
    if (irp == NULL) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sIoAllocateIrp failed\n", TRACE_BODY);
        return STATUS_UNSUCCESSFUL;
    }
    // Every Plug and Play IRP starts out unanswered.
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;

    status = WdfRequestCreateFromIrp(WDF_NO_OBJECT_ATTRIBUTES, irp, TRUE, &request);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfRequestCreateFromIrp failed with status %X\n",
                    TRACE_BODY, status);
        IoFreeIrp(irp);
        return status;
    }

    RtlZeroMemory(&parentContext->DeviceCapabilities, sizeof(DEVICE_CAPABILITIES));
    parentContext->DeviceCapabilities.Size = sizeof(DEVICE_CAPABILITIES);
    parentContext->DeviceCapabilities.Version = 1;
    parentContext->DeviceCapabilities.Address = (ULONG)-1;
    parentContext->DeviceCapabilities.UINumber = (ULONG)-1;

    RtlZeroMemory(&stack, sizeof(stack));
    stack.MajorFunction = IRP_MJ_PNP;
    stack.MinorFunction = IRP_MN_QUERY_CAPABILITIES;
    stack.Parameters.DeviceCapabilities.Capabilities = &parentContext->DeviceCapabilities;
    WdfRequestWdmFormatUsingStackLocation(request, &stack);

    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
    if (!WdfRequestSend(request, WdfDeviceGetIoTarget(Device), &options)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfRequestSend failed\n", TRACE_BODY);
    }
    // A synchronous send has completed the request either way; its status is the answer.
    status = WdfRequestGetStatus(request);
    WdfObjectDelete(request);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sIRP_MN_QUERY_CAPABILITIES failed with status %X\n",
                    TRACE_BODY, status);
    }
    return status;
}

// A string of the device in the parent's language, into framework memory parented to the device; a
// trailing NUL is left out of the length.
static NTSTATUS BusQueryDeviceString(_In_ WDFDEVICE Device, _In_ UCHAR StringIndex,
                                     _Out_ PUNICODE_STRING String) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFMEMORY memory = NULL;
    USHORT characters = 0;
    size_t size = 0;

    // Index 0 names no string (string descriptor 0 is the language list): the device has none.
    if (StringIndex == 0) {
        RtlZeroMemory(String, sizeof(*String));
        return STATUS_SUCCESS;
    }
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    NTSTATUS status = WdfUsbTargetDeviceAllocAndQueryString(
        parentContext->UsbDevice, &attributes, &memory, &characters, StringIndex, parentContext->LanguageId);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sWdfUsbTargetDeviceAllocAndQueryString(%d) failed with status %X\n", TRACE_BODY,
                    StringIndex, status);
        return status;
    }
    PWCHAR text = (PWCHAR)WdfMemoryGetBuffer(memory, &size);
    if (characters > size / sizeof(WCHAR)) {
        characters = (USHORT)(size / sizeof(WCHAR));
    }
    if (characters > 0 && text[characters - 1] == L'\0') {
        characters--;
    }
    String->Buffer = text;
    String->Length = (USHORT)(characters * sizeof(WCHAR));
    String->MaximumLength = (USHORT)(size > 0xFFFF ? 0xFFFF : size);
    return STATUS_SUCCESS;
}

NTSTATUS BusUsbSetConfiguration(_In_ WDFDEVICE Device) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    PUSB_DEVICE_DESCRIPTOR device = &parentContext->UsbDeviceDescriptor;
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDFMEMORY memory = NULL;
    PVOID buffer = NULL;
    USHORT size = 0;
    size_t languageBytes = 0;
    USHORT characters = 0;
    UNICODE_STRING serialNumber;
    NTSTATUS status;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration(dev=0x%p)\n", TRACE_ENTER,
                Device);

    WdfUsbTargetDeviceGetDeviceDescriptor(parentContext->UsbDevice, device);
    DriverTrace(TRACE_LEVEL_VERBOSE, TRACE_FLAG_PNP, "%sdevice class %02x/%02x/%02x\n", TRACE_BODY,
                device->bDeviceClass, device->bDeviceSubClass, device->bDeviceProtocol);
    BOOLEAN accepted = (device->bDeviceClass == 0x00 && device->bDeviceSubClass == 0x00 &&
                        device->bDeviceProtocol == 0x00) ||
                       (device->bDeviceClass == USB_DEVICE_CLASS_MISCELLANEOUS &&
                        device->bDeviceSubClass == 0x02 && device->bDeviceProtocol == 0x01) ||
                       device->bDeviceClass == USB_DEVICE_CLASS_COMMUNICATIONS;
    if (!accepted) {
        status = STATUS_UNSUCCESSFUL;
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sdevice class not served\n", TRACE_BODY);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    // Every child is a device with this one configuration.
    device->bNumConfigurations = 1;

    // The language: the first entry of string descriptor 0, which is not kept.
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.ParentObject = Device;
    status = WdfUsbTargetDeviceAllocAndQueryString(parentContext->UsbDevice, &attributes, &memory,
                                                   &characters, 0, 0);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sWdfUsbTargetDeviceAllocAndQueryString(0) failed with status %X\n", TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    PUCHAR languages = (PUCHAR)WdfMemoryGetBuffer(memory, &languageBytes);
    // Only what the device answered counts, whatever the buffer's size.
    if (languageBytes > (size_t)characters * sizeof(WCHAR)) {
        languageBytes = (size_t)characters * sizeof(WCHAR);
    }
    if (languageBytes < sizeof(USHORT)) {
        WdfObjectDelete(memory);
        status = STATUS_UNSUCCESSFUL;
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sno language in string descriptor 0\n", TRACE_BODY);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    parentContext->LanguageId = (USHORT)(languages[0] | (languages[1] << 8));
    WdfObjectDelete(memory);

    status = BusQueryDeviceString(Device, device->iProduct, &parentContext->ProductString);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    // The serial number names the device instance: a device without one is not served.
    status = BusQueryDeviceString(Device, device->iSerialNumber, &serialNumber);
    if (NT_SUCCESS(status) && serialNumber.Length == 0) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sempty serial number\n", TRACE_BODY);
        status = STATUS_UNSUCCESSFUL;
    }
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    parentContext->SerialNumber = serialNumber;

    // The configuration descriptor: its size first, then all of it.
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(parentContext->UsbDevice, NULL, &size);
    if (status != STATUS_BUFFER_TOO_SMALL || size < sizeof(USB_CONFIGURATION_DESCRIPTOR)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sWdfUsbTargetDeviceRetrieveConfigDescriptor answered %X with size %d\n", TRACE_BODY,
                    status, size);
        // A probe that "succeeded" without a buffer has not given the descriptor.
        if (NT_SUCCESS(status)) {
            status = STATUS_DEVICE_DATA_ERROR;
        }
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    status = WdfMemoryCreate(&attributes, NonPagedPool, BUS_POOL_TAG, size, &memory, &buffer);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfMemoryCreate failed with status %X\n",
                    TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    USHORT retrieved = size;
    status = WdfUsbTargetDeviceRetrieveConfigDescriptor(parentContext->UsbDevice, buffer, &retrieved);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sWdfUsbTargetDeviceRetrieveConfigDescriptor failed with status %X\n", TRACE_BODY,
                    status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    // The walk must not go past what the buffer holds: neither past what was retrieved nor past the
    // buffer itself, whatever the answer claims.
    PUSB_CONFIGURATION_DESCRIPTOR configuration = (PUSB_CONFIGURATION_DESCRIPTOR)buffer;
    if (retrieved > size || retrieved < sizeof(USB_CONFIGURATION_DESCRIPTOR) ||
        retrieved < configuration->wTotalLength) {
        status = STATUS_DEVICE_ENUMERATION_ERROR;
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sconfiguration of %d bytes retrieved, %d announced\n", TRACE_BODY, retrieved,
                    retrieved >= 4 ? configuration->wTotalLength : 0);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    parentContext->ConfigurationDescriptor = configuration;
    parentContext->ConfigurationDescriptorSize = retrieved;

    // Every interface in its alternate setting 0.
    WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, NULL);
    status = WdfUsbTargetDeviceSelectConfig(parentContext->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                    "%sWdfUsbTargetDeviceSelectConfig failed with status %X\n", TRACE_BODY, status);
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
        return status;
    }
    parentContext->ConfigurationHandle =
        WdfUsbTargetDeviceWdmGetConfigurationHandle(parentContext->UsbDevice);
    if (parentContext->ConfigurationHandle == NULL) {
        status = STATUS_UNSUCCESSFUL;
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sno configuration handle\n", TRACE_BODY);
    }

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbSetConfiguration %X\n", TRACE_EXIT, status);
    return status;
}

NTSTATUS BusUsbInit(_In_ WDFDEVICE Device) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    WDF_USB_DEVICE_INFORMATION information;
    NTSTATUS status;

    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbInit(dev=0x%p)\n", TRACE_ENTER, Device);

    BusReleaseUsbBusInterface(parentContext);
    status = WdfFdoQueryForInterface(Device, &USB_BUS_INTERFACE_USBDI_GUID,
                                     (PINTERFACE)&parentContext->UsbBusInterface,
                                     sizeof(USB_BUS_INTERFACE_USBDI_V1), USB_BUSIF_USBDI_VERSION_1, NULL);
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfFdoQueryForInterface failed with status %X\n",
                    TRACE_BODY, status);
        RtlZeroMemory(&parentContext->UsbBusInterface, sizeof(parentContext->UsbBusInterface));
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbInit %X\n", TRACE_EXIT, status);
        return status;
    }

    // A restart keeps the target made by the first preparation.
    if (parentContext->UsbDevice == NULL) {
        status = WdfUsbTargetDeviceCreate(Device, WDF_NO_OBJECT_ATTRIBUTES, &parentContext->UsbDevice);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                        "%sWdfUsbTargetDeviceCreate failed with status %X\n", TRACE_BODY, status);
            parentContext->UsbDevice = NULL;
            DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbInit %X\n", TRACE_EXIT, status);
            return status;
        }
    }

    WDF_USB_DEVICE_INFORMATION_INIT(&information);
    status = WdfUsbTargetDeviceRetrieveInformation(parentContext->UsbDevice, &information);
    if (NT_SUCCESS(status)) {
        parentContext->UsbDeviceTraits = information.Traits;
    } else {
        DriverTrace(TRACE_LEVEL_WARNING, TRACE_FLAG_PNP,
                    "%sWdfUsbTargetDeviceRetrieveInformation failed with status %X\n", TRACE_BODY, status);
    }

    status = BusUsbSetConfiguration(Device);
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sBusUsbInit %X\n", TRACE_EXIT, status);
    return status;
}

NTSTATUS EvtPrepareHardware(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesRaw,
                            _In_ WDFCMRESLIST ResourcesTranslated) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);
    PDRIVER_CONTEXT driverContext = GetDriverContext(WdfDeviceGetDriver(Device));
    WDFCOLLECTION collection = driverContext->ParentFdoCollection;
    BOOLEAN member = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    ULONG count;
    ULONG i;

    UNREFERENCED_PARAMETER(ResourcesRaw);
    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtPrepareHardware(dev=0x%p)\n", TRACE_EVT_ENTER,
                Device);

    status = BusQueryDeviceCapabilities(Device);
    if (NT_SUCCESS(status)) {
        status = BusUsbInit(Device);
        if (!NT_SUCCESS(status)) {
            // A failed start is not released: the bus interface taken on the way goes back now.
            BusReleaseUsbBusInterface(parentContext);
        }
    }
    if (!NT_SUCCESS(status)) {
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtPrepareHardware %X\n", TRACE_EVT_EXIT, status);
        return status;
    }

    WdfWaitLockAcquire(driverContext->ParentFdoCollectionLock, NULL);

    count = WdfCollectionGetCount(collection);
    for (i = 0; i < count; i++) {
        if (WdfCollectionGetItem(collection, i) == Device) {
            member = TRUE;
            break;
        }
    }

    if (member) {
        // A restart (after a stop or a rebalance): the parent is a member already and keeps its turn; it
        // waits only while a twin holds the children.
        parentContext->EnumChildrenPending =
            BusTwinHoldsChildren(collection, Device, parentContext->InstanceNumber);
    } else {
        // Every member with this instance number counts, so the walk does not stop at the first.
        parentContext->EnumChildrenPending = FALSE;
        for (i = 0; i < count; i++) {
            WDFOBJECT other = WdfCollectionGetItem(collection, i);
            if (other != NULL &&
                GetParentFdoContext(other)->InstanceNumber == parentContext->InstanceNumber) {
                parentContext->EnumChildrenPending = TRUE;
            }
        }
        status = WdfCollectionAdd(collection, Device);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP, "%sWdfCollectionAdd failed with status %X\n",
                        TRACE_BODY, status);
            WdfWaitLockRelease(driverContext->ParentFdoCollectionLock);
            DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtPrepareHardware %X\n", TRACE_EVT_EXIT,
                        status);
            return status;
        }
    }

    if (!parentContext->EnumChildrenPending) {
        status = BusEnumerateChildren(Device);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_IOCTL, "%sBusEnumerateChildren failed with status %X\n",
                        TRACE_BODY, status);
        }
    } else {
        DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP,
                    "%sinstance %d has an older parent: enumeration deferred\n", TRACE_BODY,
                    parentContext->InstanceNumber);
    }

    WdfWaitLockRelease(driverContext->ParentFdoCollectionLock);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtPrepareHardware %X\n", TRACE_EVT_EXIT, status);
    return status;
}

NTSTATUS EvtReleaseHardware(_In_ WDFDEVICE Device, _In_ WDFCMRESLIST ResourcesTranslated) {
    PPARENT_FDO_CONTEXT parentContext = GetParentFdoContext(Device);

    UNREFERENCED_PARAMETER(ResourcesTranslated);
    PAGED_CODE();
    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtReleaseHardware(dev=0x%p)\n", TRACE_EVT_ENTER,
                Device);

    // The children go before the configuration they use. The parent stays in the collection until its
    // cleanup; the USB target, strings and descriptors stay for a restart.
    BusRemoveChildren(Device);

    if (parentContext->UsbDevice != NULL) {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        NTSTATUS status =
            WdfUsbTargetDeviceSelectConfig(parentContext->UsbDevice, WDF_NO_OBJECT_ATTRIBUTES, &params);
        if (!NT_SUCCESS(status)) {
            DriverTrace(TRACE_LEVEL_ERROR, TRACE_FLAG_PNP,
                        "%sWdfUsbTargetDeviceSelectConfig(deconfig) failed with status %X\n", TRACE_BODY,
                        status);
        }
    }
    BusReleaseUsbBusInterface(parentContext);

    DriverTrace(TRACE_LEVEL_INFO, TRACE_FLAG_PNP, "%sEvtReleaseHardware %X\n", TRACE_EVT_EXIT,
                STATUS_SUCCESS);
    return STATUS_SUCCESS;
}
