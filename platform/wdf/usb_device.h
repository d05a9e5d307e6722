// The framework's USB target objects: the USB device object (an I/O target for the device's stack below,
// holding the descriptors read at creation and the current configuration), its interfaces, and their
// pipes (each an I/O target of its own). Everything they do goes down as URBs in
// IOCTL_INTERNAL_USB_SUBMIT_URB requests through the ordinary request path, so a driver above a child
// device sees exactly what the child answers.
#ifndef ZV_WDF_USB_DEVICE_H
#define ZV_WDF_USB_DEVICE_H

#include "platform/wdf/io_target.h"
#include "platform/wdf/request.h"

#include <wdf.h>

#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace zv::wdf {

namespace rule {
// A USB target used against the framework's rules: a pipe of the wrong type or direction, a selection on
// an unconfigured device, malformed parameters of a USB routine.
inline constexpr std::string_view kUsbMisuse = "usb-target-misuse";
} // namespace rule

class UsbInterface;
class UsbPipe;

class UsbTargetDevice final : public IoTarget {
public:
    static constexpr ObjectType kType = ObjectType::UsbDevice;
    UsbTargetDevice(Object* parent, DeviceIoState* io, PDEVICE_OBJECT lower);

    WDFUSBDEVICE usbHandle() const { return static_cast<WDFUSBDEVICE>(static_cast<void*>(handle())); }

    // Reads the device and configuration descriptors and asks the bus interface for the version and
    // speed (WdfUsbTargetDeviceCreate).
    NTSTATUS initialize(const char* routine);

    const USB_DEVICE_DESCRIPTOR& deviceDescriptor() const { return deviceDescriptor_; }
    const std::vector<uint8_t>& configurationDescriptor() const { return config_; }
    const WDF_USB_DEVICE_INFORMATION& information() const { return information_; }
    USBD_CONFIGURATION_HANDLE configurationHandle() const { return configurationHandle_; }
    const std::vector<UsbInterface*>& interfaces() const { return interfaces_; }

    NTSTATUS selectConfig(const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                          WDF_USB_DEVICE_SELECT_CONFIG_PARAMS& params, const char* routine);
    // A string descriptor's characters: the header is read first for bLength, then the whole descriptor;
    // an odd or too-small bLength is STATUS_DEVICE_DATA_ERROR.
    NTSTATUS readString(WDFREQUEST request, const WDF_REQUEST_SEND_OPTIONS* options, UCHAR index,
                        USHORT language, std::vector<USHORT>* characters, const char* routine);

protected:
    void onCleanup() override;

private:
    NTSTATUS getDescriptor(UCHAR type, UCHAR index, USHORT language, void* buffer, ULONG length, ULONG* got,
                           const char* routine);
    // After a successful selection: new interface objects for the configuration, the selected ones
    // configured from the URB's answer.
    NTSTATUS rebuildInterfaces(const _URB_SELECT_CONFIGURATION* answer,
                               const WDF_OBJECT_ATTRIBUTES* pipeAttributes, const char* routine);
    void dropInterfaces();

    USB_DEVICE_DESCRIPTOR deviceDescriptor_{};
    std::vector<uint8_t> config_;
    WDF_USB_DEVICE_INFORMATION information_{};
    USBD_CONFIGURATION_HANDLE configurationHandle_ = nullptr;
    std::vector<UsbInterface*> interfaces_;
};

class UsbInterface final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::UsbInterface;
    UsbInterface(Object* parent, UsbTargetDevice& device, uint8_t interfaceNumber);

    WDFUSBINTERFACE usbHandle() const { return static_cast<WDFUSBINTERFACE>(static_cast<void*>(handle())); }
    bool driverDeletable() const override { return false; }

    UsbTargetDevice& device() const { return device_; }
    uint8_t number() const { return number_; }
    // The interface's alternate settings in descriptor order (pointers into the device's configuration).
    const std::vector<const USB_INTERFACE_DESCRIPTOR*>& settings() const { return settings_; }
    // The endpoints of a setting, in descriptor order.
    std::vector<const USB_ENDPOINT_DESCRIPTOR*> endpoints(uint8_t settingIndex) const;
    // The setting index whose bAlternateSetting this is; -1 when there is none.
    int settingIndexOf(uint8_t alternateSetting) const;

    uint8_t configuredSetting() const { return configuredSetting_; }
    const std::vector<UsbPipe*>& pipes() const { return pipes_; }
    USBD_INTERFACE_HANDLE interfaceHandle() const { return interfaceHandle_; }

    // Takes the stack's answer for this interface: new pipe objects, the old ones deleted.
    NTSTATUS configure(const USBD_INTERFACE_INFORMATION& info, const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                       const char* routine);
    void dropPipes();

    NTSTATUS selectSetting(const WDF_OBJECT_ATTRIBUTES* pipeAttributes,
                           const WDF_USB_INTERFACE_SELECT_SETTING_PARAMS& params, const char* routine);

private:
    UsbTargetDevice& device_;
    uint8_t number_;
    std::vector<const USB_INTERFACE_DESCRIPTOR*> settings_;
    uint8_t configuredSetting_ = 0;
    USBD_INTERFACE_HANDLE interfaceHandle_ = nullptr;
    std::vector<UsbPipe*> pipes_;
};

class UsbPipe final : public IoTarget {
public:
    static constexpr ObjectType kType = ObjectType::UsbPipe;
    UsbPipe(Object* parent, UsbInterface& owner, const USBD_PIPE_INFORMATION& info, uint8_t settingIndex);

    WDFUSBPIPE usbHandle() const { return static_cast<WDFUSBPIPE>(static_cast<void*>(handle())); }
    bool driverDeletable() const override { return false; }

    UsbInterface& owner() const { return owner_; }
    const WDF_USB_PIPE_INFORMATION& information() const { return information_; }
    USBD_PIPE_HANDLE pipeHandle() const { return pipeHandle_; }
    bool isIn() const { return (information_.EndpointAddress & USB_ENDPOINT_DIRECTION_MASK) != 0; }
    void disablePacketSizeCheck() { packetSizeCheck_ = false; }
    bool packetSizeCheck() const { return packetSizeCheck_; }

private:
    UsbInterface& owner_;
    WDF_USB_PIPE_INFORMATION information_{};
    USBD_PIPE_HANDLE pipeHandle_;
    bool packetSizeCheck_ = true;
};

// The USB formatting of one request: the URB it carries (its own copy, or the driver's) and the USB
// completion parameters that WDF_REQUEST_COMPLETION_PARAMS points to once the request is back.
class UsbFormat final : public Request::TargetFormat {
public:
    explicit UsbFormat(WDF_USB_REQUEST_TYPE type);
    void completed(PIRP irp, WDF_REQUEST_COMPLETION_PARAMS& params) override;

    // The URB this request carries: `size` zeroed bytes of its own, or the driver's.
    PURB ownUrb(size_t size);
    void borrowUrb(PURB urb) { urb_ = urb; }
    // A transfer buffer the format owns, for data the framework reads on the driver's behalf.
    void* ownBuffer(size_t size) {
        buffer_.assign(size, 0);
        return buffer_.data();
    }
    PURB urb() const { return urb_; }
    WDF_USB_REQUEST_COMPLETION_PARAMS& usbParams() { return params_; }

private:
    std::vector<uint64_t> storage_; // 8-byte aligned, as a URB's pointers need
    PURB urb_ = nullptr;
    std::vector<uint8_t> buffer_;
    WDF_USB_REQUEST_COMPLETION_PARAMS params_{};
};

// Formats `request` for `target` with the URB of `format` (IRP_MJ_INTERNAL_DEVICE_CONTROL,
// IOCTL_INTERNAL_USB_SUBMIT_URB); `references` are memory objects the request holds until it is back.
NTSTATUS formatUrbRequest(IoTarget& target, Request& request, std::unique_ptr<UsbFormat> format,
                          std::vector<Memory*> references, const char* routine);

// Sends a URB synchronously through `target` with the driver's request (or one made for the call) and
// options. Returns the request's final status; *transferred receives the IRP's information and
// `answered` sees the URB as the stack left it, while the request still holds it.
NTSTATUS sendUrbSynchronously(IoTarget& target, WDFREQUEST driverRequest,
                              const WDF_REQUEST_SEND_OPTIONS* options, ULONG extraFlags,
                              std::unique_ptr<UsbFormat> format, std::vector<Memory*> references,
                              const char* routine, ULONG_PTR* transferred = nullptr,
                              const std::function<void(const URB&)>& answered = nullptr);

// A URB a driver hands over to be sent: present and with a whole header. Reported against `target`
// otherwise.
bool usbUrbUsable(const Object* target, PURB urb, const char* routine);
// URB memory a driver formats a request with: present, aligned, and holding the whole URB its header
// says. Reported against `target` otherwise.
bool usbUrbSpanUsable(const Object* target, const MemorySpan& span, const char* routine);

} // namespace zv::wdf

#endif // ZV_WDF_USB_DEVICE_H
