// The USB device object (WDFUSBDEVICE): creation with the descriptor reads and the bus interface query,
// the descriptors and strings it hands out, configuration selection, control transfers and URBs sent
// through it; and the URB formatting and synchronous sending every USB target shares.
#include "platform/wdf/usb_device.h"

#include "platform/wdf/device.h"
#include "platform/wdf/device_stack.h"
#include "platform/wdf/io_state.h"

#include <usbbusif.h>
#include <usbioctl.h>

#include <algorithm>
#include <cstring>
#include <limits>

namespace zv::wdf {

// ---- Shared URB machinery ----

UsbFormat::UsbFormat(WDF_USB_REQUEST_TYPE type) {
    params_.Type = type;
}

PURB UsbFormat::ownUrb(size_t size) {
    storage_.assign((size + sizeof(uint64_t) - 1) / sizeof(uint64_t), 0);
    urb_ = reinterpret_cast<PURB>(storage_.data());
    return urb_;
}

void UsbFormat::completed(PIRP irp, WDF_REQUEST_COMPLETION_PARAMS& params) {
    params_.UsbdStatus = urb_ != nullptr ? urb_->UrbHeader.Status : USBD_STATUS_SUCCESS;
    switch (params_.Type) {
        case WdfUsbRequestTypePipeRead:
        case WdfUsbRequestTypePipeWrite: {
            // The stack leaves the bytes moved in the URB; the request's information says the same.
            const ULONG moved = urb_->UrbBulkOrInterruptTransfer.TransferBufferLength;
            (params_.Type == WdfUsbRequestTypePipeRead ? params_.Parameters.PipeRead.Length
                                                       : params_.Parameters.PipeWrite.Length) = moved;
            irp->IoStatus.Information = moved;
            break;
        }
        case WdfUsbRequestTypeDeviceControlTransfer:
            params_.Parameters.DeviceControlTransfer.Length = urb_->UrbControlTransfer.TransferBufferLength;
            irp->IoStatus.Information = urb_->UrbControlTransfer.TransferBufferLength;
            break;
        case WdfUsbRequestTypeDeviceString: {
            const auto& d = urb_->UrbControlDescriptorRequest;
            irp->IoStatus.Information = d.TransferBufferLength;
            if (d.TransferBufferLength >= 1 && d.TransferBuffer != nullptr)
                params_.Parameters.DeviceString.RequiredSize = *static_cast<const UCHAR*>(d.TransferBuffer);
            break;
        }
        default:
            break;
    }
    params.IoStatus.Information = irp->IoStatus.Information;
    params.Parameters.Usb.Completion = &params_;
}

NTSTATUS formatUrbRequest(IoTarget&, Request& request, std::unique_ptr<UsbFormat> format,
                          std::vector<Memory*> references, const char* routine) {
    PIO_STACK_LOCATION next = nullptr;
    if (!request.formattable(routine) || !request.nextLocation(routine, &next))
        return STATUS_INVALID_DEVICE_REQUEST;
    request.dropFormatting();
    memset(next, 0, sizeof *next);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.Others.Argument1 = format->urb();
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    Request::Format generic;
    generic.type = WdfRequestTypeUsb;
    generic.ioctl = IOCTL_INTERNAL_USB_SUBMIT_URB;
    request.formatted(generic, std::move(references));
    request.setTargetFormat(std::move(format));
    return STATUS_SUCCESS;
}

NTSTATUS sendUrbSynchronously(IoTarget& target, WDFREQUEST driverRequest,
                              const WDF_REQUEST_SEND_OPTIONS* options, ULONG extraFlags,
                              std::unique_ptr<UsbFormat> format, std::vector<Memory*> references,
                              const char* routine, ULONG_PTR* transferred,
                              const std::function<void(const URB&)>& answered) {
    if (transferred != nullptr)
        *transferred = 0;
    if (options != nullptr && options->Size != sizeof(WDF_REQUEST_SEND_OPTIONS)) {
        reportViolation(rule::kSendOptions, &target, routine,
                        "the options were not initialised with WDF_REQUEST_SEND_OPTIONS_INIT");
        return STATUS_INVALID_PARAMETER;
    }
    WDFREQUEST handle = driverRequest;
    if (handle == nullptr) {
        NTSTATUS status = WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target.targetHandle(), &handle);
        if (!NT_SUCCESS(status))
            return status;
    }
    NTSTATUS status = STATUS_INVALID_HANDLE;
    if (Request* request = Request::fromHandle(handle, routine)) {
        status = formatUrbRequest(target, *request, std::move(format), std::move(references), routine);
        if (NT_SUCCESS(status)) {
            WDF_REQUEST_SEND_OPTIONS send;
            WDF_REQUEST_SEND_OPTIONS_INIT(&send, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS | extraFlags);
            if (options != nullptr) {
                send.Flags |= options->Flags & ~static_cast<ULONG>(WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
                send.Timeout = options->Timeout;
            }
            request->send(target, &send, routine);
            status = request->irp()->IoStatus.Status;
            if (transferred != nullptr)
                *transferred = request->irp()->IoStatus.Information;
            auto* usb = static_cast<UsbFormat*>(request->targetFormat());
            if (answered && usb != nullptr && usb->urb() != nullptr)
                answered(*usb->urb());
        }
    }
    if (driverRequest == nullptr)
        WdfObjectDelete(handle);
    return status;
}

bool usbUrbUsable(const Object* target, PURB urb, const char* routine) {
    if (urb != nullptr && urb->UrbHeader.Length >= sizeof(_URB_HEADER))
        return true;
    reportViolation(rule::kUsbMisuse, target, routine, "NULL URB or a URB header shorter than _URB_HEADER");
    return false;
}

bool usbUrbSpanUsable(const Object* target, const MemorySpan& span, const char* routine) {
    if (span.memory != nullptr && span.length >= sizeof(_URB_HEADER) &&
        reinterpret_cast<uintptr_t>(span.data) % alignof(URB) == 0 &&
        static_cast<PURB>(span.data)->UrbHeader.Length <= span.length)
        return true;
    reportViolation(rule::kUsbMisuse, target, routine, "the memory does not hold a whole, aligned URB");
    return false;
}

namespace {

ULONG ulongLength(size_t length) {
    return static_cast<ULONG>(std::min<size_t>(length, std::numeric_limits<ULONG>::max()));
}

// Gives a format the descriptor request URB for `buffer`.
void fillDescriptorUrb(UsbFormat& format, UCHAR descriptorType, UCHAR index, USHORT language, void* buffer,
                       ULONG length) {
    auto& d = format.ownUrb(sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST))->UrbControlDescriptorRequest;
    d.Hdr.Length = sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.TransferBufferLength = length;
    d.TransferBuffer = buffer;
    d.Index = index;
    d.DescriptorType = descriptorType;
    d.LanguageId = language;
}

std::unique_ptr<UsbFormat> descriptorFormat(WDF_USB_REQUEST_TYPE type, UCHAR descriptorType, UCHAR index,
                                            USHORT language, void* buffer, ULONG length) {
    auto format = std::make_unique<UsbFormat>(type);
    fillDescriptorUrb(*format, descriptorType, index, language, buffer, length);
    return format;
}

// The distinct interface numbers of a configuration, in descriptor order.
std::vector<uint8_t> interfaceNumbers(const std::vector<uint8_t>& config) {
    std::vector<uint8_t> numbers;
    size_t at = 0;
    while (at + 2 <= config.size()) {
        uint8_t length = config[at];
        if (length < 2 || at + length > config.size())
            break;
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            uint8_t number = config[at + 2];
            if (std::find(numbers.begin(), numbers.end(), number) == numbers.end())
                numbers.push_back(number);
        }
        at += length;
    }
    return numbers;
}

} // namespace

// ---- UsbTargetDevice ----

UsbTargetDevice::UsbTargetDevice(Object* parent, DeviceIoState* io, PDEVICE_OBJECT lower)
    : IoTarget(parent, io, lower, false, kType) {
    if (io != nullptr)
        io->targets.push_back(this);
    information_.Size = sizeof information_;
}

NTSTATUS UsbTargetDevice::getDescriptor(UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length,
                                        ULONG* got, const char* routine) {
    *got = 0;
    return sendUrbSynchronously(
        *this, nullptr, nullptr, 0,
        descriptorFormat(WdfUsbRequestTypeDeviceUrb, type, index, language, buffer, length), {}, routine,
        nullptr, [&](const URB& urb) {
            *got = std::min(urb.UrbControlDescriptorRequest.TransferBufferLength, length);
        });
}

NTSTATUS UsbTargetDevice::initialize(const char* routine) {
    ULONG got = 0;
    NTSTATUS status = getDescriptor(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, &deviceDescriptor_,
                                    sizeof deviceDescriptor_, &got, routine);
    if (!NT_SUCCESS(status))
        return status;
    if (got < sizeof deviceDescriptor_ || deviceDescriptor_.bDescriptorType != USB_DEVICE_DESCRIPTOR_TYPE)
        return STATUS_DEVICE_DATA_ERROR;

    USB_CONFIGURATION_DESCRIPTOR header{};
    status = getDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, &header, sizeof header, &got, routine);
    if (!NT_SUCCESS(status))
        return status;
    if (got < sizeof header || header.bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        header.wTotalLength < sizeof header)
        return STATUS_DEVICE_DATA_ERROR;
    config_.assign(header.wTotalLength, 0);
    status = getDescriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, config_.data(),
                           ulongLength(config_.size()), &got, routine);
    if (!NT_SUCCESS(status))
        return status;
    if (got < config_.size())
        return STATUS_DEVICE_DATA_ERROR;

    if (header.bmAttributes & USB_CONFIG_SELF_POWERED)
        information_.Traits |= WDF_USB_DEVICE_TRAIT_SELF_POWERED;
    if (header.bmAttributes & USB_CONFIG_REMOTE_WAKEUP)
        information_.Traits |= WDF_USB_DEVICE_TRAIT_REMOTE_WAKE_CAPABLE;

    // The bus interface tells the USBDI version and the speed; a stack without one leaves them unknown.
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    IrpResult query =
        sendAndWait(targetDevice(), IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION& s) {
            s.Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
            s.Parameters.QueryInterface.Size = sizeof bus;
            s.Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
            s.Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
            s.Parameters.QueryInterface.InterfaceSpecificData = nullptr;
        });
    if (NT_SUCCESS(query.status)) {
        if (bus.GetUSBDIVersion != nullptr)
            bus.GetUSBDIVersion(bus.BusContext, &information_.UsbdVersionInformation,
                                &information_.HcdPortCapabilities);
        if (bus.IsDeviceHighSpeed != nullptr && bus.IsDeviceHighSpeed(bus.BusContext))
            information_.Traits |= WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED;
        if (bus.InterfaceDereference != nullptr)
            bus.InterfaceDereference(bus.BusContext);
    }
    rebuildInterfaces(nullptr, nullptr, routine);
    return STATUS_SUCCESS;
}

void UsbTargetDevice::dropInterfaces() {
    std::vector<UsbInterface*> old = std::exchange(interfaces_, {});
    for (UsbInterface* i : old)
        i->deleteTree();
}

NTSTATUS UsbTargetDevice::rebuildInterfaces(const _URB_SELECT_CONFIGURATION* answer,
                                            const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                                            const char* routine) {
    dropInterfaces();
    for (uint8_t number : interfaceNumbers(config_)) {
        UsbInterface* i = nullptr;
        NTSTATUS status = create<UsbInterface>(WDF_NO_OBJECT_ATTRIBUTES, this, routine, &i, *this, number);
        if (!NT_SUCCESS(status))
            return status;
        interfaces_.push_back(i);
    }
    if (answer == nullptr)
        return STATUS_SUCCESS;
    const auto* base = reinterpret_cast<const uint8_t*>(answer);
    size_t at = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    const size_t end = answer->Hdr.Length;
    while (at + GET_USBD_INTERFACE_SIZE(0) <= end) {
        const auto* info = reinterpret_cast<const USBD_INTERFACE_INFORMATION*>(base + at);
        if (info->Length < GET_USBD_INTERFACE_SIZE(0) || at + info->Length > end)
            break;
        auto it = std::find_if(interfaces_.begin(), interfaces_.end(),
                               [&](UsbInterface* i) { return i->number() == info->InterfaceNumber; });
        if (it != interfaces_.end()) {
            NTSTATUS status = (*it)->configure(*info, pipeAttributes, routine);
            if (!NT_SUCCESS(status))
                return status;
        }
        at += info->Length;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbTargetDevice::selectConfig(const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                                       WDF_USB_DEVICE_SELECT_CONFIG_PARAMS& params, const char* routine) {
    std::vector<const USB_INTERFACE_DESCRIPTOR*> chosen;
    const USB_CONFIGURATION_DESCRIPTOR* configuration =
        reinterpret_cast<const USB_CONFIGURATION_DESCRIPTOR*>(config_.data());
    switch (params.Type) {
        case WdfUsbTargetDeviceSelectConfigTypeDeconfig: {
            auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceUrb);
            _URB_SELECT_CONFIGURATION urb{};
            urb.Hdr.Length = sizeof urb;
            urb.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
            urb.ConfigurationDescriptor = nullptr;
            format->borrowUrb(reinterpret_cast<PURB>(&urb));
            NTSTATUS status =
                sendUrbSynchronously(*this, nullptr, nullptr, 0, std::move(format), {}, routine);
            if (!NT_SUCCESS(status))
                return status;
            configurationHandle_ = nullptr;
            return rebuildInterfaces(nullptr, nullptr, routine);
        }
        case WdfUsbTargetDeviceSelectConfigTypeSingleInterface:
            if (interfaces_.size() != 1) {
                reportViolation(rule::kUsbMisuse, this, routine,
                                "a single-interface selection on a device with " +
                                    std::to_string(interfaces_.size()) + " interfaces");
                return STATUS_INVALID_PARAMETER;
            }
            [[fallthrough]];
        case WdfUsbTargetDeviceSelectConfigTypeMultiInterface:
            for (UsbInterface* i : interfaces_)
                if (!i->settings().empty())
                    chosen.push_back(i->settings()[0]);
            break;
        case WdfUsbTargetDeviceSelectConfigTypeInterfacesPairsDescriptor: {
            auto& multi = params.Types.MultiInterface;
            if (multi.Pairs == nullptr || multi.NumberInterfaces != interfaces_.size()) {
                reportViolation(rule::kUsbMisuse, this, routine,
                                "the setting pairs must name every interface");
                return STATUS_INVALID_PARAMETER;
            }
            for (UCHAR n = 0; n < multi.NumberInterfaces; ++n) {
                auto* i = resolve<UsbInterface>(multi.Pairs[n].UsbInterface, routine);
                if (i == nullptr)
                    return STATUS_INVALID_HANDLE;
                if (&i->device() != this || multi.Pairs[n].SettingIndex >= i->settings().size()) {
                    reportViolation(rule::kUsbMisuse, i, routine,
                                    "the pair names another device's interface or a setting it lacks");
                    return STATUS_INVALID_PARAMETER;
                }
                chosen.push_back(i->settings()[multi.Pairs[n].SettingIndex]);
            }
            break;
        }
        case WdfUsbTargetDeviceSelectConfigTypeInterfacesDescriptor: {
            auto& d = params.Types.Descriptor;
            if (d.ConfigurationDescriptor == nullptr || d.InterfaceDescriptors == nullptr ||
                d.NumInterfaceDescriptors == 0) {
                reportViolation(rule::kUsbMisuse, this, routine, "the descriptors to select are missing");
                return STATUS_INVALID_PARAMETER;
            }
            configuration = d.ConfigurationDescriptor;
            for (ULONG n = 0; n < d.NumInterfaceDescriptors; ++n) {
                if (d.InterfaceDescriptors[n] == nullptr) {
                    reportViolation(rule::kUsbMisuse, this, routine, "a NULL interface descriptor");
                    return STATUS_INVALID_PARAMETER;
                }
                chosen.push_back(d.InterfaceDescriptors[n]);
            }
            break;
        }
        case WdfUsbTargetDeviceSelectConfigTypeUrb: {
            PURB urb = params.Types.Urb.Urb;
            if (urb == nullptr || urb->UrbHeader.Function != URB_FUNCTION_SELECT_CONFIGURATION ||
                urb->UrbHeader.Length < sizeof(_URB_SELECT_CONFIGURATION)) {
                reportViolation(rule::kUsbMisuse, this, routine, "not a select-configuration URB");
                return STATUS_INVALID_PARAMETER;
            }
            auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceUrb);
            format->borrowUrb(urb);
            NTSTATUS status =
                sendUrbSynchronously(*this, nullptr, nullptr, 0, std::move(format), {}, routine);
            if (!NT_SUCCESS(status))
                return status;
            configurationHandle_ = urb->UrbSelectConfiguration.ConfigurationHandle;
            return rebuildInterfaces(&urb->UrbSelectConfiguration, pipeAttributes, routine);
        }
        default:
            reportViolation(rule::kUsbMisuse, this, routine, "not a WdfUsbTargetDeviceSelectConfigType");
            return STATUS_INVALID_PARAMETER;
    }

    // The select-configuration URB for the chosen settings.
    size_t size = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    for (const USB_INTERFACE_DESCRIPTOR* d : chosen)
        size += GET_USBD_INTERFACE_SIZE(d->bNumEndpoints);
    size = std::max(size, sizeof(_URB_SELECT_CONFIGURATION));
    if (size > std::numeric_limits<USHORT>::max())
        return STATUS_INVALID_PARAMETER;
    std::vector<uint64_t> storage((size + 7) / 8, 0);
    auto* urb = reinterpret_cast<_URB_SELECT_CONFIGURATION*>(storage.data());
    urb->Hdr.Length = static_cast<USHORT>(size);
    urb->Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    urb->ConfigurationDescriptor = const_cast<PUSB_CONFIGURATION_DESCRIPTOR>(configuration);
    auto* at = reinterpret_cast<uint8_t*>(&urb->Interface);
    for (const USB_INTERFACE_DESCRIPTOR* d : chosen) {
        auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(at);
        info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(d->bNumEndpoints));
        info->InterfaceNumber = d->bInterfaceNumber;
        info->AlternateSetting = d->bAlternateSetting;
        info->NumberOfPipes = d->bNumEndpoints;
        for (ULONG p = 0; p < d->bNumEndpoints; ++p)
            info->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        at += info->Length;
    }
    if (chosen.empty())
        urb->Hdr.Length = static_cast<USHORT>(offsetof(_URB_SELECT_CONFIGURATION, Interface));
    auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceUrb);
    format->borrowUrb(reinterpret_cast<PURB>(urb));
    NTSTATUS status = sendUrbSynchronously(*this, nullptr, nullptr, 0, std::move(format), {}, routine);
    if (!NT_SUCCESS(status))
        return status;
    configurationHandle_ = urb->ConfigurationHandle;
    status = rebuildInterfaces(urb, pipeAttributes, routine);
    if (!NT_SUCCESS(status))
        return status;

    UCHAR configured = 0;
    for (UsbInterface* i : interfaces_)
        if (i->interfaceHandle() != nullptr)
            ++configured;
    if (params.Type == WdfUsbTargetDeviceSelectConfigTypeSingleInterface) {
        params.Types.SingleInterface.ConfiguredUsbInterface = interfaces_[0]->usbHandle();
        params.Types.SingleInterface.NumberConfiguredPipes =
            static_cast<UCHAR>(interfaces_[0]->pipes().size());
    } else if (params.Type == WdfUsbTargetDeviceSelectConfigTypeMultiInterface ||
               params.Type == WdfUsbTargetDeviceSelectConfigTypeInterfacesPairsDescriptor) {
        params.Types.MultiInterface.NumberOfConfiguredInterfaces = configured;
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbTargetDevice::readString(WDFREQUEST request, const WDF_REQUEST_SEND_OPTIONS* options, UCHAR index,
                                     USHORT language, std::vector<USHORT>* characters, const char* routine) {
    // The header first, for bLength; then the whole descriptor.
    uint8_t buffer[255] = {};
    // The request (the driver's, maybe) keeps a URB of its own, so nothing it holds dies with this call.
    auto send = [&](ULONG length, ULONG* got) {
        *got = 0;
        auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceString);
        fillDescriptorUrb(*format, USB_STRING_DESCRIPTOR_TYPE, index, language, format->ownBuffer(length),
                          length);
        return sendUrbSynchronously(*this, request, options, 0, std::move(format), {}, routine, nullptr,
                                    [&](const URB& urb) {
                                        const auto& answer = urb.UrbControlDescriptorRequest;
                                        *got = std::min(answer.TransferBufferLength, length);
                                        memcpy(buffer, answer.TransferBuffer, *got);
                                    });
    };
    ULONG got = 0;
    NTSTATUS status = send(2, &got);
    if (!NT_SUCCESS(status))
        return status;
    const uint8_t length = buffer[0];
    if (got < 2 || length < 2 || (length & 1) != 0 || buffer[1] != USB_STRING_DESCRIPTOR_TYPE)
        return STATUS_DEVICE_DATA_ERROR;
    status = send(length, &got);
    if (!NT_SUCCESS(status))
        return status;
    if (got != length || buffer[0] != length)
        return STATUS_DEVICE_DATA_ERROR;
    characters->resize((length - 2) / 2);
    if (!characters->empty()) // an empty string has no characters to copy (and no storage)
        memcpy(characters->data(), buffer + 2, characters->size() * sizeof(USHORT));
    return STATUS_SUCCESS;
}

void UsbTargetDevice::onCleanup() {
    interfaces_.clear();
    IoTarget::onCleanup();
}

} // namespace zv::wdf

// ---- Entry points ----

using namespace zv::wdf;

namespace {

UsbTargetDevice* usbDeviceOf(WDFUSBDEVICE handle, const char* routine) {
    return resolve<UsbTargetDevice>(handle, routine);
}

} // namespace

EXTERN_C NTSTATUS WdfUsbTargetDeviceCreate(WDFDEVICE Device, PWDF_OBJECT_ATTRIBUTES Attributes,
                                           WDFUSBDEVICE* UsbDevice) {
    constexpr const char* routine = "WdfUsbTargetDeviceCreate";
    enterCall(routine, true);
    if (UsbDevice == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *UsbDevice = nullptr;
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    DeviceIoState* io = ioStateOf(*device);
    if (io == nullptr || io->lower == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    UsbTargetDevice* usb = nullptr;
    NTSTATUS status = create<UsbTargetDevice>(Attributes, device, routine, &usb, io, io->lower);
    if (!NT_SUCCESS(status))
        return status;
    status = usb->initialize(routine);
    if (!NT_SUCCESS(status)) {
        usb->deleteTree();
        return status;
    }
    *UsbDevice = usb->usbHandle();
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceRetrieveInformation(WDFUSBDEVICE UsbDevice,
                                                        PWDF_USB_DEVICE_INFORMATION Information) {
    constexpr const char* routine = "WdfUsbTargetDeviceRetrieveInformation";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Information == nullptr || Information->Size != sizeof(WDF_USB_DEVICE_INFORMATION)) {
        reportViolation(rule::kBadParameter, usb, routine,
                        "the record was not initialised with WDF_USB_DEVICE_INFORMATION_INIT");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    *Information = usb->information();
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfUsbTargetDeviceGetDeviceDescriptor(WDFUSBDEVICE UsbDevice,
                                                    PUSB_DEVICE_DESCRIPTOR UsbDeviceDescriptor) {
    constexpr const char* routine = "WdfUsbTargetDeviceGetDeviceDescriptor";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr)
        return;
    if (UsbDeviceDescriptor == nullptr) {
        reportViolation(rule::kBadParameter, usb, routine, "NULL descriptor record");
        return;
    }
    *UsbDeviceDescriptor = usb->deviceDescriptor();
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceRetrieveConfigDescriptor(WDFUSBDEVICE UsbDevice, PVOID ConfigDescriptor,
                                                             PUSHORT ConfigDescriptorLength) {
    constexpr const char* routine = "WdfUsbTargetDeviceRetrieveConfigDescriptor";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr)
        return STATUS_INVALID_HANDLE;
    if (ConfigDescriptorLength == nullptr) {
        reportViolation(rule::kBadParameter, usb, routine, "NULL length");
        return STATUS_INVALID_PARAMETER;
    }
    const std::vector<uint8_t>& config = usb->configurationDescriptor();
    const USHORT total = static_cast<USHORT>(config.size());
    if (ConfigDescriptor == nullptr) {
        *ConfigDescriptorLength = total;
        return STATUS_BUFFER_TOO_SMALL;
    }
    const USHORT room = *ConfigDescriptorLength;
    memcpy(ConfigDescriptor, config.data(), std::min(room, total));
    *ConfigDescriptorLength = total;
    return room < total ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceQueryString(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                PWDF_REQUEST_SEND_OPTIONS RequestOptions, PUSHORT String,
                                                PUSHORT NumCharacters, UCHAR StringIndex, USHORT LangID) {
    constexpr const char* routine = "WdfUsbTargetDeviceQueryString";
    enterCall(routine, true);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr)
        return STATUS_INVALID_HANDLE;
    if (NumCharacters == nullptr) {
        reportViolation(rule::kBadParameter, usb, routine, "NULL character count");
        return STATUS_INVALID_PARAMETER;
    }
    std::vector<USHORT> characters;
    NTSTATUS status = usb->readString(Request, RequestOptions, StringIndex, LangID, &characters, routine);
    if (!NT_SUCCESS(status))
        return status;
    const USHORT room = *NumCharacters;
    *NumCharacters = static_cast<USHORT>(characters.size());
    if (String == nullptr)
        return STATUS_SUCCESS;
    if (!characters.empty())
        memcpy(String, characters.data(), std::min<size_t>(room, characters.size()) * sizeof(USHORT));
    return room < characters.size() ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceAllocAndQueryString(WDFUSBDEVICE UsbDevice,
                                                        PWDF_OBJECT_ATTRIBUTES StringMemoryAttributes,
                                                        WDFMEMORY* StringMemory, PUSHORT NumCharacters,
                                                        UCHAR StringIndex, USHORT LangID) {
    constexpr const char* routine = "WdfUsbTargetDeviceAllocAndQueryString";
    enterCall(routine, true);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr)
        return STATUS_INVALID_HANDLE;
    if (StringMemory == nullptr) {
        reportViolation(rule::kBadParameter, usb, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *StringMemory = nullptr;
    if (NumCharacters != nullptr)
        *NumCharacters = 0;
    std::vector<USHORT> characters;
    NTSTATUS status = usb->readString(nullptr, nullptr, StringIndex, LangID, &characters, routine);
    if (!NT_SUCCESS(status))
        return status;
    // The memory belongs to the USB device unless the attributes name another parent.
    WDF_OBJECT_ATTRIBUTES attributes;
    if (StringMemoryAttributes != nullptr) {
        attributes = *StringMemoryAttributes;
    } else {
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    }
    if (attributes.ParentObject == nullptr)
        attributes.ParentObject = usb->handle();
    WDFMEMORY memory = nullptr;
    void* buffer = nullptr;
    const size_t bytes = std::max<size_t>(characters.size(), 1) * sizeof(USHORT);
    status = WdfMemoryCreate(&attributes, NonPagedPool, 0, bytes, &memory, &buffer);
    if (!NT_SUCCESS(status))
        return status;
    memset(buffer, 0, bytes);
    if (!characters.empty())
        memcpy(buffer, characters.data(), characters.size() * sizeof(USHORT));
    *StringMemory = memory;
    if (NumCharacters != nullptr)
        *NumCharacters = static_cast<USHORT>(characters.size());
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceFormatRequestForString(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                           WDFMEMORY Memory, PWDFMEMORY_OFFSET Offset,
                                                           UCHAR StringIndex, USHORT LangID) {
    constexpr const char* routine = "WdfUsbTargetDeviceFormatRequestForString";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    zv::wdf::Request* request = zv::wdf::Request::fromHandle(Request, routine);
    if (usb == nullptr || request == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan span;
    NTSTATUS status = memorySpanOf(Memory, Offset, routine, &span);
    if (!NT_SUCCESS(status))
        return status;
    if (span.memory == nullptr || span.length < sizeof(USB_COMMON_DESCRIPTOR)) {
        reportViolation(rule::kUsbMisuse, usb, routine,
                        "a string request needs a buffer of two bytes or more");
        return STATUS_INVALID_PARAMETER;
    }
    auto format = descriptorFormat(WdfUsbRequestTypeDeviceString, USB_STRING_DESCRIPTOR_TYPE, StringIndex,
                                   LangID, span.data, ulongLength(std::min<size_t>(span.length, 255)));
    auto& params = format->usbParams().Parameters.DeviceString;
    params.Buffer = Memory;
    params.LangID = LangID;
    params.StringIndex = StringIndex;
    return formatUrbRequest(*usb, *request, std::move(format), {span.memory}, routine);
}

EXTERN_C UCHAR WdfUsbTargetDeviceGetNumInterfaces(WDFUSBDEVICE UsbDevice) {
    constexpr const char* routine = "WdfUsbTargetDeviceGetNumInterfaces";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    return usb != nullptr ? static_cast<UCHAR>(usb->interfaces().size()) : 0;
}

EXTERN_C WDFUSBINTERFACE WdfUsbTargetDeviceGetInterface(WDFUSBDEVICE UsbDevice, UCHAR InterfaceIndex) {
    constexpr const char* routine = "WdfUsbTargetDeviceGetInterface";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr || InterfaceIndex >= usb->interfaces().size())
        return nullptr;
    return usb->interfaces()[InterfaceIndex]->usbHandle();
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceSelectConfig(WDFUSBDEVICE UsbDevice,
                                                 PWDF_OBJECT_ATTRIBUTES PipeAttributes,
                                                 PWDF_USB_DEVICE_SELECT_CONFIG_PARAMS Params) {
    constexpr const char* routine = "WdfUsbTargetDeviceSelectConfig";
    enterCall(routine, true);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Params == nullptr || Params->Size != sizeof(WDF_USB_DEVICE_SELECT_CONFIG_PARAMS)) {
        reportViolation(
            rule::kUsbMisuse, usb, routine,
            "the parameters were not initialised with a WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT form");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (PipeAttributes != nullptr) {
        NTSTATUS status = checkAttributes(PipeAttributes, routine);
        if (!NT_SUCCESS(status))
            return status;
    }
    return usb->selectConfig(PipeAttributes, *Params, routine);
}

EXTERN_C USBD_CONFIGURATION_HANDLE WdfUsbTargetDeviceWdmGetConfigurationHandle(WDFUSBDEVICE UsbDevice) {
    constexpr const char* routine = "WdfUsbTargetDeviceWdmGetConfigurationHandle";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    return usb != nullptr ? usb->configurationHandle() : nullptr;
}

namespace {

std::unique_ptr<UsbFormat> controlFormat(const WDF_USB_CONTROL_SETUP_PACKET& setup, const MemorySpan& span,
                                         WDFMEMORY handle) {
    auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceControlTransfer);
    auto& c = format->ownUrb(sizeof(_URB_CONTROL_TRANSFER))->UrbControlTransfer;
    c.Hdr.Length = sizeof(_URB_CONTROL_TRANSFER);
    c.Hdr.Function = URB_FUNCTION_CONTROL_TRANSFER;
    c.PipeHandle = nullptr;
    const bool in = setup.Packet.bm.Request.Dir == BmRequestDeviceToHost;
    c.TransferFlags = USBD_DEFAULT_PIPE_TRANSFER | (in ? USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK
                                                       : USBD_TRANSFER_DIRECTION_OUT);
    c.TransferBufferLength = ulongLength(span.length);
    c.TransferBuffer = span.length != 0 ? span.data : nullptr;
    WDF_USB_CONTROL_SETUP_PACKET packet = setup;
    // The data stage is as long as the buffer.
    packet.Packet.wLength = static_cast<USHORT>(std::min<size_t>(span.length, 0xFFFF));
    memcpy(c.SetupPacket, packet.Generic.Bytes, sizeof c.SetupPacket);
    auto& params = format->usbParams().Parameters.DeviceControlTransfer;
    params.Buffer = handle;
    params.SetupPacket = packet;
    return format;
}

bool checkControl(UsbTargetDevice* usb, const WDF_USB_CONTROL_SETUP_PACKET* setup, const MemorySpan& span,
                  const char* routine) {
    if (setup == nullptr) {
        reportViolation(rule::kUsbMisuse, usb, routine, "NULL setup packet");
        return false;
    }
    if (span.length > 0xFFFF) {
        reportViolation(rule::kUsbMisuse, usb, routine, "a control transfer moves at most 65535 bytes");
        return false;
    }
    return true;
}

} // namespace

EXTERN_C NTSTATUS WdfUsbTargetDeviceSendControlTransferSynchronously(
    WDFUSBDEVICE UsbDevice, WDFREQUEST Request, PWDF_REQUEST_SEND_OPTIONS RequestOptions,
    PWDF_USB_CONTROL_SETUP_PACKET SetupPacket, PWDF_MEMORY_DESCRIPTOR MemoryDescriptor,
    PULONG BytesTransferred) {
    constexpr const char* routine = "WdfUsbTargetDeviceSendControlTransferSynchronously";
    enterCall(routine, true);
    if (BytesTransferred != nullptr)
        *BytesTransferred = 0;
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan span;
    NTSTATUS status = memorySpanOfDescriptor(MemoryDescriptor, routine, &span);
    if (!NT_SUCCESS(status))
        return status;
    if (!checkControl(usb, SetupPacket, span, routine))
        return STATUS_INVALID_PARAMETER;
    std::vector<zv::wdf::Memory*> references;
    if (span.memory != nullptr)
        references.push_back(span.memory);
    ULONG_PTR moved = 0;
    status = sendUrbSynchronously(
        *usb, Request, RequestOptions, 0,
        controlFormat(*SetupPacket, span,
                      span.memory != nullptr ? MemoryDescriptor->u.HandleType.Memory : nullptr),
        std::move(references), routine, &moved);
    if (BytesTransferred != nullptr)
        *BytesTransferred = static_cast<ULONG>(moved);
    return status;
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceFormatRequestForControlTransfer(WDFUSBDEVICE UsbDevice,
                                                                    WDFREQUEST Request,
                                                                    PWDF_USB_CONTROL_SETUP_PACKET SetupPacket,
                                                                    WDFMEMORY TransferMemory,
                                                                    PWDFMEMORY_OFFSET TransferOffset) {
    constexpr const char* routine = "WdfUsbTargetDeviceFormatRequestForControlTransfer";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    zv::wdf::Request* request = zv::wdf::Request::fromHandle(Request, routine);
    if (usb == nullptr || request == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan span;
    NTSTATUS status = memorySpanOf(TransferMemory, TransferOffset, routine, &span);
    if (!NT_SUCCESS(status))
        return status;
    if (!checkControl(usb, SetupPacket, span, routine))
        return STATUS_INVALID_PARAMETER;
    std::vector<zv::wdf::Memory*> references;
    if (span.memory != nullptr)
        references.push_back(span.memory);
    return formatUrbRequest(*usb, *request, controlFormat(*SetupPacket, span, TransferMemory),
                            std::move(references), routine);
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceSendUrbSynchronously(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                         PWDF_REQUEST_SEND_OPTIONS RequestOptions, PURB Urb) {
    constexpr const char* routine = "WdfUsbTargetDeviceSendUrbSynchronously";
    enterCall(routine, true);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    if (usb == nullptr)
        return STATUS_INVALID_HANDLE;
    if (!usbUrbUsable(usb, Urb, routine))
        return STATUS_INVALID_PARAMETER;
    auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceUrb);
    format->borrowUrb(Urb);
    return sendUrbSynchronously(*usb, Request, RequestOptions, 0, std::move(format), {}, routine);
}

EXTERN_C NTSTATUS WdfUsbTargetDeviceFormatRequestForUrb(WDFUSBDEVICE UsbDevice, WDFREQUEST Request,
                                                        WDFMEMORY UrbMemory,
                                                        PWDFMEMORY_OFFSET UrbMemoryOffset) {
    constexpr const char* routine = "WdfUsbTargetDeviceFormatRequestForUrb";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    zv::wdf::Request* request = zv::wdf::Request::fromHandle(Request, routine);
    if (usb == nullptr || request == nullptr)
        return STATUS_INVALID_HANDLE;
    MemorySpan span;
    NTSTATUS status = memorySpanOf(UrbMemory, UrbMemoryOffset, routine, &span);
    if (!NT_SUCCESS(status))
        return status;
    if (!usbUrbSpanUsable(usb, span, routine))
        return STATUS_INVALID_PARAMETER;
    auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceUrb);
    format->borrowUrb(static_cast<PURB>(span.data));
    format->usbParams().Parameters.DeviceUrb.Buffer = UrbMemory;
    return formatUrbRequest(*usb, *request, std::move(format), {span.memory}, routine);
}

EXTERN_C WDFIOTARGET WdfUsbTargetDeviceGetIoTarget(WDFUSBDEVICE UsbDevice) {
    constexpr const char* routine = "WdfUsbTargetDeviceGetIoTarget";
    enterCall(routine);
    UsbTargetDevice* usb = usbDeviceOf(UsbDevice, routine);
    return usb != nullptr ? usb->targetHandle() : nullptr;
}
