// Device instances and device-init records.
//
// A DeviceInstance is what Plug and Play knows of one device node: its instance path under Enum and its
// software key under Control\Class. A DeviceInit is the record a device-add callback receives: the platform
// makes one for a driver, an instance and (for a function driver) the physical device object below, hands
// its PWDFDEVICE_INIT to the driver, and owns it throughout; WdfDeviceCreate consumes it (the driver's
// pointer becomes NULL) and builds the device from what it holds. The request path's settings live in its
// own record (IoConfig, platform/wdf/device_io.h), which the device takes over at creation.
#ifndef ZV_WDF_DEVICE_INIT_H
#define ZV_WDF_DEVICE_INIT_H

#include "platform/wdf/device_io.h"
#include "platform/wdf/object.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zv::wdf {

class Driver;
class Device;

struct DeviceInstance {
    std::u16string instancePath; // "USB\VID_05C6&PID_9025\5&1a2b3c&0&1"
    std::u16string classGuid;    // "{4d36e978-e325-11ce-bfc1-08002be10318}"
    unsigned driverIndex = 0;    // the nnnn of the software key

    // \Registry\Machine\System\CurrentControlSet\Enum\<instance path>\Device Parameters
    std::u16string hardwareKeyPath() const;
    // \Registry\Machine\System\CurrentControlSet\Control\Class\<class guid>\<nnnn>
    std::u16string softwareKeyPath() const;
    // The key for a PLUGPLAY_REGKEY_* kind: DEVICE or DRIVER, optionally with CURRENT_HWPROFILE (the same
    // key under Hardware Profiles\Current). False for any other kind.
    bool keyPath(ULONG kind, std::u16string* path) const;
};

// WdfFdoInitSetDefaultChildListConfig, kept for the device's default child list.
struct ChildListSettings {
    WDF_CHILD_LIST_CONFIG config;
    std::optional<WDF_OBJECT_ATTRIBUTES> attributes;
};

// What the device-add callback set through the WdfDeviceInit* and WdfFdoInit* calls of the device side.
struct DeviceSettings {
    WDF_PNPPOWER_EVENT_CALLBACKS pnpPower{};
    DEVICE_TYPE deviceType = FILE_DEVICE_UNKNOWN;
    ULONG characteristics = FILE_DEVICE_SECURE_OPEN;
    std::optional<std::u16string> name; // \Device\...
    std::optional<std::u16string> sddl; // recorded; the platform checks no access
    bool powerPolicyOwner = true;
    std::optional<ChildListSettings> defaultChildList;
};

// What a child list's create-device callback set through the WdfPdoInit* calls, and whose child the
// device is. The strings are the framework's copies.
struct PdoSettings {
    WDFCHILDLIST list = nullptr; // the list that made the record (nullptr: a PDO made outside a list)
    uint64_t childId = 0;        // the list's child the device is made for
    std::optional<std::u16string> deviceId;
    std::optional<std::u16string> instanceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    struct Text {
        LCID locale;
        std::u16string description;
        std::optional<std::u16string> location; // NULL location: none
    };
    std::vector<Text> texts;
    std::optional<LCID> defaultLocale;
    std::optional<GUID> rawClass; // WdfPdoInitAssignRawDevice
};

class DeviceInit {
public:
    enum class Kind { Fdo, Pdo };
    // `physicalDevice` is the device object a function driver's device attaches to; nullptr builds a
    // device with nothing below it (a child, or a device made outside a device stack).
    DeviceInit(Driver& driver, DeviceInstance instance, Kind kind = Kind::Fdo,
               PDEVICE_OBJECT physicalDevice = nullptr);
    ~DeviceInit();
    DeviceInit(const DeviceInit&) = delete;
    DeviceInit& operator=(const DeviceInit&) = delete;

    PWDFDEVICE_INIT handle() { return reinterpret_cast<PWDFDEVICE_INIT>(this); }
    // The live, unconsumed record behind a driver's pointer; reports and returns nullptr otherwise.
    static DeviceInit* fromHandle(PWDFDEVICE_INIT handle, const char* routine);

    Driver& driver() const { return driver_; }
    const DeviceInstance& instance() const { return instance_; }
    Kind kind() const { return kind_; }
    PDEVICE_OBJECT physicalDevice() const { return physicalDevice_; }
    std::string describe() const; // "WDFDEVICE_INIT 0x..."

    DeviceSettings& settings() { return settings_; }
    const DeviceSettings& settings() const { return settings_; }
    // The PDO side (a child's record only).
    PdoSettings& pdo() { return pdo_; }
    const PdoSettings& pdo() const { return pdo_; }
    // The request path's settings. WdfDeviceCreate takes the record over.
    IoConfig& io() { return *io_; }
    IoConfigPtr takeIo() { return std::move(io_); }

    // WdfDeviceCreate took it; the device made from it (nullptr before).
    bool consumed() const { return device_ != nullptr; }
    Device* device() const { return device_; }
    void consume(Device& device) { device_ = &device; }

private:
    Driver& driver_;
    DeviceInstance instance_;
    Kind kind_;
    PDEVICE_OBJECT physicalDevice_;
    DeviceSettings settings_;
    PdoSettings pdo_;
    IoConfigPtr io_;
    Device* device_ = nullptr;
};

} // namespace zv::wdf

#endif // ZV_WDF_DEVICE_INIT_H
