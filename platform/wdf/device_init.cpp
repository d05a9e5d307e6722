// Device instances' registry locations, device-init records, and WdfFdoInitOpenRegistryKey.
#include "platform/wdf/device_init.h"

#include "platform/kernel/registry.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/registry_key.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <vector>

namespace zv::wdf {

namespace {

// The live device-init records of a machine, so that a driver's pointer is checked before it is used.
struct DeviceInitTable {
    explicit DeviceInitTable(sim::Scheduler&) {}
    std::vector<DeviceInit*> live;
};

DeviceInitTable& deviceInits() {
    return sim::Scheduler::current()->service<DeviceInitTable>();
}

constexpr std::u16string_view kMachine = u"\\Registry\\Machine";
constexpr std::u16string_view kCurrentProfile =
    u"\\Registry\\Machine\\System\\CurrentControlSet\\Hardware Profiles\\Current";

std::u16string currentProfile(std::u16string_view machinePath) {
    return std::u16string(kCurrentProfile) + std::u16string(machinePath.substr(kMachine.size()));
}

} // namespace

std::u16string DeviceInstance::hardwareKeyPath() const {
    return kernel::enumPath() + u"\\" + instancePath + u"\\Device Parameters";
}

std::u16string DeviceInstance::softwareKeyPath() const {
    char index[16];
    std::snprintf(index, sizeof index, "%04u", driverIndex);
    std::u16string nnnn(index, index + std::char_traits<char>::length(index));
    return kernel::classPath() + u"\\" + classGuid + u"\\" + nnnn;
}

bool DeviceInstance::keyPath(ULONG kind, std::u16string* path) const {
    switch (kind) {
        case PLUGPLAY_REGKEY_DEVICE:
            *path = hardwareKeyPath();
            return true;
        case PLUGPLAY_REGKEY_DRIVER:
            *path = softwareKeyPath();
            return true;
        case PLUGPLAY_REGKEY_DEVICE | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
            *path = currentProfile(kernel::enumPath() + u"\\" + instancePath);
            return true;
        case PLUGPLAY_REGKEY_DRIVER | PLUGPLAY_REGKEY_CURRENT_HWPROFILE:
            *path = currentProfile(softwareKeyPath());
            return true;
        default:
            return false;
    }
}

DeviceInit::DeviceInit(Driver& driver, DeviceInstance instance, Kind kind)
    : driver_(driver), instance_(std::move(instance)), kind_(kind) {
    deviceInits().live.push_back(this);
}

DeviceInit::~DeviceInit() {
    auto& live = deviceInits().live;
    live.erase(std::find(live.begin(), live.end(), this));
}

std::string DeviceInit::describe() const {
    char text[48];
    std::snprintf(text, sizeof text, "WDFDEVICE_INIT %p", static_cast<const void*>(this));
    return text;
}

DeviceInit* DeviceInit::fromHandle(PWDFDEVICE_INIT handle, const char* routine) {
    auto& live = deviceInits().live;
    auto* init = reinterpret_cast<DeviceInit*>(handle);
    sim::VerifierLog& log = sim::Scheduler::current()->verifier();
    if (handle == nullptr || std::find(live.begin(), live.end(), init) == live.end()) {
        char text[48];
        std::snprintf(text, sizeof text, "WDFDEVICE_INIT %p", static_cast<void*>(handle));
        log.report(rule::kInvalidHandle, text, routine, "not a device-init record the framework handed out");
        return nullptr;
    }
    if (init->consumed()) {
        log.report(rule::kDeletedObject, init->describe(), routine,
                   "WdfDeviceCreate has consumed this record");
        return nullptr;
    }
    return init;
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                            ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                            WDFKEY* Key) {
    constexpr const char* routine = "WdfFdoInitOpenRegistryKey";
    enterCall(routine, true);
    if (Key == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    zv::wdf::DeviceInit* init = zv::wdf::DeviceInit::fromHandle(DeviceInit, routine);
    if (init == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (init->kind() != zv::wdf::DeviceInit::Kind::Fdo) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        init->describe() + " is not a function driver's record");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    std::u16string path;
    if (!init->instance().keyPath(DeviceInstanceKeyType, &path)) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "unknown key type " + std::to_string(DeviceInstanceKeyType));
        return STATUS_INVALID_PARAMETER;
    }
    // No device exists yet: the key belongs to the driver unless the attributes say otherwise.
    return openKeyObject(path, true, DesiredAccess, KeyAttributes, &init->driver(), routine, Key);
}
