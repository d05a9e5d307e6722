// Device objects of the machine: creation with their extension, device stacks (who is attached to whom),
// references, deletion and the moment an object is really freed. IoDeleteDevice takes the device object's
// name away and drops its driver's hold; the object itself lives on while file objects or references to it
// remain, and is freed when the last one goes. Hooks registered with onDeviceObjectReleased run then, so a
// layer above (the framework) can keep its own device until the WDM object is gone, and two device objects
// for one device instance may exist side by side (an old one kept by an open handle, a new one started).
//
// Plug and Play tells the kernel which device objects are physical device objects (their instance path)
// and what their properties are; IoRegisterDeviceInterface and IoGetDeviceProperty work from that.
#ifndef ZV_KERNEL_DEVICE_OBJECT_H
#define ZV_KERNEL_DEVICE_OBJECT_H

#include <ntddk.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::sim {
class Scheduler;
}

namespace zv::kernel {

namespace rule {
inline constexpr std::string_view kInvalidDeviceObject = "invalid-device-object";
inline constexpr std::string_view kDeviceDeletedTwice = "device-deleted-twice";
inline constexpr std::string_view kDeleteAttachedDevice = "device-deleted-while-attached";
inline constexpr std::string_view kUnknownObject = "unknown-object";
inline constexpr std::string_view kReferenceUnderflow = "reference-underflow";
} // namespace rule

class DeviceObjects {
public:
    explicit DeviceObjects(sim::Scheduler& machine);
    ~DeviceObjects(); // frees what is left without running hooks
    DeviceObjects(const DeviceObjects&) = delete;
    DeviceObjects& operator=(const DeviceObjects&) = delete;

    NTSTATUS create(PDRIVER_OBJECT driver, ULONG extensionSize, PUNICODE_STRING name, DEVICE_TYPE type,
                    ULONG characteristics, BOOLEAN exclusive, PDEVICE_OBJECT* result);
    void remove(PDEVICE_OBJECT device);
    PDEVICE_OBJECT attach(PDEVICE_OBJECT source, PDEVICE_OBJECT target);
    void detach(PDEVICE_OBJECT target);

    // A device object not yet freed (deleted ones included).
    bool isLive(PDEVICE_OBJECT device) const;
    bool isDeleted(PDEVICE_OBJECT device) const;
    // Reports (naming `routine`) and returns false when `device` is not a live device object.
    bool check(PDEVICE_OBJECT device, const char* routine) const;

    void reference(PDEVICE_OBJECT device);
    void dereference(PDEVICE_OBJECT device, const char* routine);
    // A file object opened on / freed from the device (DEVICE_OBJECT.ReferenceCount and a reference).
    void fileOpened(PDEVICE_OBJECT device);
    void fileClosed(PDEVICE_OBJECT device);
    // Runs after every file object freed from a device (Plug and Play waits for them before it removes a
    // surprise-removed device). One hook; nullptr clears it.
    void setFileClosedHook(std::function<void()> hook) { fileClosedHook_ = std::move(hook); }

    void onReleased(PDEVICE_OBJECT device, std::function<void()> hook);

    PDEVICE_OBJECT lower(PDEVICE_OBJECT device) const;
    std::u16string name(PDEVICE_OBJECT device) const;
    LONG references(PDEVICE_OBJECT device) const;

    void setPhysicalDeviceInstance(PDEVICE_OBJECT pdo, std::u16string instancePath);
    std::optional<std::u16string> physicalDeviceInstance(PDEVICE_OBJECT device) const;
    void setProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t> value);
    NTSTATUS property(PDEVICE_OBJECT device, DEVICE_REGISTRY_PROPERTY property, ULONG length, PVOID buffer,
                      PULONG resultLength) const;
    POWER_STATE setPowerState(PDEVICE_OBJECT device, POWER_STATE_TYPE type, POWER_STATE state);

    // Every live device object, in creation order.
    std::vector<PDEVICE_OBJECT> all() const;

private:
    std::function<void()> fileClosedHook_;
    struct Record;
    Record* find(PDEVICE_OBJECT device) const;
    void release(Record& record);
    static std::string describe(const Record& record);

    sim::Scheduler& machine_;
    uint64_t nextSerial_ = 1;
    ULONG nextAutoName_ = 1;
    std::map<PDEVICE_OBJECT, std::unique_ptr<Record>> records_;
};

// The current machine's table (the process stops when no machine exists).
DeviceObjects& deviceObjects();

// ---- For the platform's own layers and for tests ----

// Runs `hook` once, when `device` is freed (after IoDeleteDevice and the last reference). Hooks run in
// the order they were registered, on the fiber and at the IRQL of whoever dropped the last reference.
void onDeviceObjectReleased(PDEVICE_OBJECT device, std::function<void()> hook);

bool isDeviceObjectLive(PDEVICE_OBJECT device);
// IoDeleteDevice has been called (the object may still be live).
bool isDeviceObjectDeleted(PDEVICE_OBJECT device);
// The device this one is attached onto (below it), or nullptr.
PDEVICE_OBJECT lowerDeviceObject(PDEVICE_OBJECT device);
// The device attached directly above, or nullptr.
PDEVICE_OBJECT upperDeviceObject(PDEVICE_OBJECT device);
// The stack `device` is in, bottom (the physical device object) first.
std::vector<PDEVICE_OBJECT> deviceStack(PDEVICE_OBJECT device);
// File objects open on this device object (opened through a name that resolves to it).
LONG openFileObjectCount(PDEVICE_OBJECT device);
// File objects open on any device object of its stack.
LONG stackOpenFileObjectCount(PDEVICE_OBJECT device);
// References that keep the object alive (its driver's until IoDeleteDevice, file objects, Ob references).
LONG deviceObjectReferences(PDEVICE_OBJECT device);
// "\Device\X", or empty when it has no name (any more).
std::u16string deviceObjectName(PDEVICE_OBJECT device);

// Plug and Play: marks `pdo` as a physical device object of the device instance `instancePath`
// ("ROOT\ZVBUS\0000"), and records its properties for IoGetDeviceProperty (REG_SZ / REG_MULTI_SZ values
// as UTF-16 with their NULs, numbers as 4 bytes, GUIDs as 16).
void setPhysicalDeviceInstance(PDEVICE_OBJECT pdo, std::u16string instancePath);
std::optional<std::u16string> physicalDeviceInstance(PDEVICE_OBJECT device);
void setDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, std::vector<uint8_t> value);
void setDeviceProperty(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY property, std::u16string_view text);

} // namespace zv::kernel

#endif // ZV_KERNEL_DEVICE_OBJECT_H
