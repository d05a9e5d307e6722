// USB interfaces (WDFUSBINTERFACE): an interface of the device's configuration with its alternate settings
// (read from the configuration descriptor), the setting selected and the pipes the stack opened for it;
// alternate-setting selection.
#include "platform/wdf/usb_device.h"

#include "platform/wdf/io_state.h"

#include <algorithm>
#include <cstring>

namespace zv::wdf {

UsbInterface::UsbInterface(Object* parent, UsbTargetDevice& device, uint8_t interfaceNumber)
    : Object(kType, parent), device_(device), number_(interfaceNumber) {
    const std::vector<uint8_t>& config = device.configurationDescriptor();
    size_t at = 0;
    while (at + 2 <= config.size()) {
        const uint8_t length = config[at];
        if (length < 2 || at + length > config.size())
            break;
        if (config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
            config[at + 2] == interfaceNumber)
            settings_.push_back(reinterpret_cast<const USB_INTERFACE_DESCRIPTOR*>(config.data() + at));
        at += length;
    }
}

std::vector<const USB_ENDPOINT_DESCRIPTOR*> UsbInterface::endpoints(uint8_t settingIndex) const {
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> found;
    if (settingIndex >= settings_.size())
        return found;
    const std::vector<uint8_t>& config = device_.configurationDescriptor();
    const auto* setting = reinterpret_cast<const uint8_t*>(settings_[settingIndex]);
    size_t at = static_cast<size_t>(setting - config.data()) + setting[0];
    while (at + 2 <= config.size()) {
        const uint8_t length = config[at];
        if (length < 2 || at + length > config.size() || config[at + 1] == USB_INTERFACE_DESCRIPTOR_TYPE)
            break;
        if (config[at + 1] == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR))
            found.push_back(reinterpret_cast<const USB_ENDPOINT_DESCRIPTOR*>(config.data() + at));
        at += length;
    }
    return found;
}

int UsbInterface::settingIndexOf(uint8_t alternateSetting) const {
    for (size_t i = 0; i < settings_.size(); ++i)
        if (settings_[i]->bAlternateSetting == alternateSetting)
            return static_cast<int>(i);
    return -1;
}

void UsbInterface::dropPipes() {
    std::vector<UsbPipe*> old = std::exchange(pipes_, {});
    for (UsbPipe* pipe : old)
        pipe->deleteTree();
}

NTSTATUS UsbInterface::configure(const USBD_INTERFACE_INFORMATION& info,
                                 const WDF_OBJECT_ATTRIBUTES* pipeAttributes, const char* routine) {
    dropPipes();
    const int index = settingIndexOf(info.AlternateSetting);
    configuredSetting_ = static_cast<uint8_t>(std::max(index, 0));
    interfaceHandle_ = info.InterfaceHandle;
    // Pipe contexts come from the attributes; their parent is always the interface.
    WDF_OBJECT_ATTRIBUTES attributes;
    if (pipeAttributes != nullptr) {
        attributes = *pipeAttributes;
        attributes.ParentObject = nullptr;
    }
    const ULONG room = (info.Length - GET_USBD_INTERFACE_SIZE(0)) / sizeof(USBD_PIPE_INFORMATION);
    const ULONG count = std::min(info.NumberOfPipes, room);
    for (ULONG p = 0; p < count; ++p) {
        UsbPipe* pipe = nullptr;
        NTSTATUS status = create<UsbPipe>(pipeAttributes != nullptr ? &attributes : nullptr, this, routine,
                                          &pipe, *this, info.Pipes[p], configuredSetting_);
        if (!NT_SUCCESS(status))
            return status;
        pipes_.push_back(pipe);
    }
    return STATUS_SUCCESS;
}

NTSTATUS UsbInterface::selectSetting(const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                                     const WDF_USB_INTERFACE_SELECT_SETTING_PARAMS& params,
                                     const char* routine) {
    if (device_.configurationHandle() == nullptr) {
        reportViolation(rule::kUsbMisuse, this, routine, "the device has no configuration selected");
        return STATUS_INVALID_DEVICE_STATE;
    }
    int index = -1;
    switch (params.Type) {
        case WdfUsbInterfaceSelectSettingTypeSetting:
            index = params.Types.Interface.SettingIndex < settings_.size()
                        ? params.Types.Interface.SettingIndex
                        : -1;
            break;
        case WdfUsbInterfaceSelectSettingTypeDescriptor: {
            const USB_INTERFACE_DESCRIPTOR* d = params.Types.Descriptor.InterfaceDescriptor;
            if (d != nullptr && d->bInterfaceNumber == number_)
                index = settingIndexOf(d->bAlternateSetting);
            break;
        }
        case WdfUsbInterfaceSelectSettingTypeUrb: {
            PURB urb = params.Types.Urb.Urb;
            if (urb == nullptr || urb->UrbHeader.Function != URB_FUNCTION_SELECT_INTERFACE ||
                urb->UrbHeader.Length < sizeof(_URB_SELECT_INTERFACE) ||
                urb->UrbSelectInterface.Interface.InterfaceNumber != number_) {
                reportViolation(rule::kUsbMisuse, this, routine,
                                "not a select-interface URB for this interface");
                return STATUS_INVALID_PARAMETER;
            }
            auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceUrb);
            format->borrowUrb(urb);
            NTSTATUS status =
                sendUrbSynchronously(device_, nullptr, nullptr, 0, std::move(format), {}, routine);
            if (!NT_SUCCESS(status))
                return status;
            return configure(urb->UrbSelectInterface.Interface, pipeAttributes, routine);
        }
        default:
            reportViolation(rule::kUsbMisuse, this, routine, "not a WdfUsbTargetDeviceSelectSettingType");
            return STATUS_INVALID_PARAMETER;
    }
    if (index < 0) {
        reportViolation(rule::kUsbMisuse, this, routine, "the interface has no such setting");
        return STATUS_INVALID_PARAMETER;
    }
    const USB_INTERFACE_DESCRIPTOR* setting = settings_[index];
    const size_t size =
        offsetof(_URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(setting->bNumEndpoints);
    std::vector<uint64_t> storage((std::max(size, sizeof(_URB_SELECT_INTERFACE)) + 7) / 8, 0);
    auto* urb = reinterpret_cast<_URB_SELECT_INTERFACE*>(storage.data());
    urb->Hdr.Length = static_cast<USHORT>(size);
    urb->Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->ConfigurationHandle = device_.configurationHandle();
    urb->Interface.Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(setting->bNumEndpoints));
    urb->Interface.InterfaceNumber = number_;
    urb->Interface.AlternateSetting = setting->bAlternateSetting;
    urb->Interface.NumberOfPipes = setting->bNumEndpoints;
    for (ULONG p = 0; p < setting->bNumEndpoints; ++p)
        urb->Interface.Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    auto format = std::make_unique<UsbFormat>(WdfUsbRequestTypeDeviceUrb);
    format->borrowUrb(reinterpret_cast<PURB>(urb));
    NTSTATUS status = sendUrbSynchronously(device_, nullptr, nullptr, 0, std::move(format), {}, routine);
    if (!NT_SUCCESS(status))
        return status;
    return configure(urb->Interface, pipeAttributes, routine);
}

} // namespace zv::wdf

// ---- Entry points ----

using namespace zv::wdf;

namespace {

UsbInterface* interfaceOf(WDFUSBINTERFACE handle, const char* routine) {
    return resolve<UsbInterface>(handle, routine);
}

// The setting an index names; reported when there is none.
bool checkSetting(UsbInterface* i, UCHAR settingIndex, const char* routine) {
    if (settingIndex < i->settings().size())
        return true;
    reportViolation(rule::kUsbMisuse, i, routine,
                    "setting index " + std::to_string(settingIndex) + " of " +
                        std::to_string(i->settings().size()) + " settings");
    return false;
}

} // namespace

EXTERN_C BYTE WdfUsbInterfaceGetInterfaceNumber(WDFUSBINTERFACE UsbInterface) {
    constexpr const char* routine = "WdfUsbInterfaceGetInterfaceNumber";
    enterCall(routine);
    zv::wdf::UsbInterface* i = interfaceOf(UsbInterface, routine);
    return i != nullptr ? i->number() : 0;
}

EXTERN_C BYTE WdfUsbInterfaceGetNumSettings(WDFUSBINTERFACE UsbInterface) {
    constexpr const char* routine = "WdfUsbInterfaceGetNumSettings";
    enterCall(routine);
    zv::wdf::UsbInterface* i = interfaceOf(UsbInterface, routine);
    return i != nullptr ? static_cast<BYTE>(i->settings().size()) : 0;
}

EXTERN_C BYTE WdfUsbInterfaceGetNumEndpoints(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex) {
    constexpr const char* routine = "WdfUsbInterfaceGetNumEndpoints";
    enterCall(routine);
    zv::wdf::UsbInterface* i = interfaceOf(UsbInterface, routine);
    if (i == nullptr || !checkSetting(i, SettingIndex, routine))
        return 0;
    return static_cast<BYTE>(i->endpoints(SettingIndex).size());
}

EXTERN_C VOID WdfUsbInterfaceGetEndpointInformation(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                                    UCHAR EndpointIndex,
                                                    PWDF_USB_PIPE_INFORMATION EndpointInfo) {
    constexpr const char* routine = "WdfUsbInterfaceGetEndpointInformation";
    enterCall(routine);
    zv::wdf::UsbInterface* i = interfaceOf(UsbInterface, routine);
    if (i == nullptr || !checkSetting(i, SettingIndex, routine))
        return;
    if (EndpointInfo == nullptr || EndpointInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
        reportViolation(rule::kBadParameter, i, routine,
                        "the record was not initialised with WDF_USB_PIPE_INFORMATION_INIT");
        return;
    }
    auto endpoints = i->endpoints(SettingIndex);
    if (EndpointIndex >= endpoints.size()) {
        reportViolation(rule::kUsbMisuse, i, routine, "no such endpoint in the setting");
        return;
    }
    const USB_ENDPOINT_DESCRIPTOR* e = endpoints[EndpointIndex];
    WDF_USB_PIPE_INFORMATION_INIT(EndpointInfo);
    EndpointInfo->MaximumPacketSize = e->wMaxPacketSize & 0x7FF;
    EndpointInfo->EndpointAddress = e->bEndpointAddress;
    EndpointInfo->Interval = e->bInterval;
    EndpointInfo->SettingIndex = SettingIndex;
    EndpointInfo->PipeType =
        UsbdPipeTypeToWdf(static_cast<USBD_PIPE_TYPE>(e->bmAttributes & USB_ENDPOINT_TYPE_MASK));
    EndpointInfo->MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
}

EXTERN_C VOID WdfUsbInterfaceGetDescriptor(WDFUSBINTERFACE UsbInterface, UCHAR SettingIndex,
                                           PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor) {
    constexpr const char* routine = "WdfUsbInterfaceGetDescriptor";
    enterCall(routine);
    zv::wdf::UsbInterface* i = interfaceOf(UsbInterface, routine);
    if (i == nullptr || !checkSetting(i, SettingIndex, routine))
        return;
    if (InterfaceDescriptor == nullptr) {
        reportViolation(rule::kBadParameter, i, routine, "NULL descriptor record");
        return;
    }
    memcpy(InterfaceDescriptor, i->settings()[SettingIndex], sizeof(USB_INTERFACE_DESCRIPTOR));
}

EXTERN_C BYTE WdfUsbInterfaceGetConfiguredSettingIndex(WDFUSBINTERFACE Interface) {
    constexpr const char* routine = "WdfUsbInterfaceGetConfiguredSettingIndex";
    enterCall(routine);
    zv::wdf::UsbInterface* i = interfaceOf(Interface, routine);
    return i != nullptr ? i->configuredSetting() : 0;
}

EXTERN_C BYTE WdfUsbInterfaceGetNumConfiguredPipes(WDFUSBINTERFACE UsbInterface) {
    constexpr const char* routine = "WdfUsbInterfaceGetNumConfiguredPipes";
    enterCall(routine);
    zv::wdf::UsbInterface* i = interfaceOf(UsbInterface, routine);
    return i != nullptr ? static_cast<BYTE>(i->pipes().size()) : 0;
}

EXTERN_C WDFUSBPIPE WdfUsbInterfaceGetConfiguredPipe(WDFUSBINTERFACE UsbInterface, UCHAR PipeIndex,
                                                     PWDF_USB_PIPE_INFORMATION PipeInfo) {
    constexpr const char* routine = "WdfUsbInterfaceGetConfiguredPipe";
    enterCall(routine);
    zv::wdf::UsbInterface* i = interfaceOf(UsbInterface, routine);
    if (i == nullptr || PipeIndex >= i->pipes().size())
        return nullptr;
    UsbPipe* pipe = i->pipes()[PipeIndex];
    if (PipeInfo != nullptr) {
        if (PipeInfo->Size != sizeof(WDF_USB_PIPE_INFORMATION)) {
            reportViolation(rule::kBadParameter, i, routine,
                            "the record was not initialised with WDF_USB_PIPE_INFORMATION_INIT");
            return nullptr;
        }
        *PipeInfo = pipe->information();
    }
    return pipe->usbHandle();
}

EXTERN_C NTSTATUS WdfUsbInterfaceSelectSetting(WDFUSBINTERFACE UsbInterface,
                                               PWDF_OBJECT_ATTRIBUTES PipesAttributes,
                                               PWDF_USB_INTERFACE_SELECT_SETTING_PARAMS Params) {
    constexpr const char* routine = "WdfUsbInterfaceSelectSetting";
    enterCall(routine, true);
    zv::wdf::UsbInterface* i = interfaceOf(UsbInterface, routine);
    if (i == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Params == nullptr || Params->Size != sizeof(WDF_USB_INTERFACE_SELECT_SETTING_PARAMS)) {
        reportViolation(
            rule::kUsbMisuse, i, routine,
            "the parameters were not initialised with a WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT form");
        return STATUS_INFO_LENGTH_MISMATCH;
    }
    if (PipesAttributes != nullptr) {
        NTSTATUS status = checkAttributes(PipesAttributes, routine);
        if (!NT_SUCCESS(status))
            return status;
    }
    return i->selectSetting(PipesAttributes, *Params, routine);
}
