// Device instances' registry locations, device-init records, and the WdfDeviceInit* / WdfFdoInit* calls of
// the device side.
#include "platform/wdf/device_init.h"

#include "platform/kernel/registry.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/registry_key.h"
#include "platform/wdf/string.h"

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

DeviceInit::DeviceInit(Driver& driver, DeviceInstance instance, Kind kind, PDEVICE_OBJECT physicalDevice)
    : driver_(driver), instance_(std::move(instance)), kind_(kind), physicalDevice_(physicalDevice),
      io_(makeIoConfig()) {
    // A bus's child is not its own power policy owner: the function driver above it is.
    settings_.powerPolicyOwner = kind == Kind::Fdo;
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

namespace {

// The record behind a device-add callback's pointer, for a call that takes any kind (nullptr: reported).
zv::wdf::DeviceInit* initFor(PWDFDEVICE_INIT handle, const char* routine, bool passiveOnly = false) {
    enterCall(routine, passiveOnly);
    return zv::wdf::DeviceInit::fromHandle(handle, routine);
}

// As initFor, for the WdfFdoInit* calls: a child's record is refused.
zv::wdf::DeviceInit* fdoInitFor(PWDFDEVICE_INIT handle, const char* routine) {
    zv::wdf::DeviceInit* init = initFor(handle, routine, true);
    if (init != nullptr && init->kind() != zv::wdf::DeviceInit::Kind::Fdo) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        init->describe() + " is not a function driver's record");
        return nullptr;
    }
    return init;
}

} // namespace

EXTERN_C VOID WdfDeviceInitSetPnpPowerEventCallbacks(PWDFDEVICE_INIT DeviceInit,
                                                     PWDF_PNPPOWER_EVENT_CALLBACKS PnpPowerEventCallbacks) {
    constexpr const char* routine = "WdfDeviceInitSetPnpPowerEventCallbacks";
    zv::wdf::DeviceInit* init = initFor(DeviceInit, routine);
    if (init == nullptr)
        return;
    if (PnpPowerEventCallbacks == nullptr ||
        PnpPowerEventCallbacks->Size != sizeof(WDF_PNPPOWER_EVENT_CALLBACKS)) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "the callbacks were not initialised with WDF_PNPPOWER_EVENT_CALLBACKS_INIT");
        return;
    }
    init->settings().pnpPower = *PnpPowerEventCallbacks;
}

EXTERN_C VOID WdfDeviceInitSetDeviceType(PWDFDEVICE_INIT DeviceInit, DEVICE_TYPE DeviceType) {
    if (zv::wdf::DeviceInit* init = initFor(DeviceInit, "WdfDeviceInitSetDeviceType"))
        init->settings().deviceType = DeviceType;
}

EXTERN_C VOID WdfDeviceInitSetCharacteristics(PWDFDEVICE_INIT DeviceInit, ULONG DeviceCharacteristics,
                                              BOOLEAN OrInValues) {
    zv::wdf::DeviceInit* init = initFor(DeviceInit, "WdfDeviceInitSetCharacteristics");
    if (init == nullptr)
        return;
    ULONG& characteristics = init->settings().characteristics;
    characteristics = OrInValues ? characteristics | DeviceCharacteristics : DeviceCharacteristics;
}

EXTERN_C NTSTATUS WdfDeviceInitAssignName(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING DeviceName) {
    constexpr const char* routine = "WdfDeviceInitAssignName";
    zv::wdf::DeviceInit* init = initFor(DeviceInit, routine, true);
    if (init == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (DeviceName == nullptr) {
        init->settings().name.reset();
        return STATUS_SUCCESS;
    }
    std::u16string_view name;
    if (!argumentText(DeviceName, nullptr, routine, "device name", &name))
        return STATUS_INVALID_PARAMETER;
    if (name.empty()) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the device name is empty");
        return STATUS_INVALID_PARAMETER;
    }
    init->settings().name = std::u16string(name);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfDeviceInitAssignSDDLString(PWDFDEVICE_INIT DeviceInit, PCUNICODE_STRING SDDLString) {
    constexpr const char* routine = "WdfDeviceInitAssignSDDLString";
    zv::wdf::DeviceInit* init = initFor(DeviceInit, routine, true);
    if (init == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::u16string_view sddl;
    if (!argumentText(SDDLString, nullptr, routine, "SDDL string", &sddl))
        return STATUS_INVALID_PARAMETER;
    // A device's descriptor has a DACL at the least ("D:..."); a string without one is not a descriptor.
    if (sddl.find(u"D:") == std::u16string_view::npos) {
        reportViolation(rule::kBadParameter, nullptr, routine, "not a security descriptor (no \"D:\")");
        return STATUS_INVALID_PARAMETER;
    }
    init->settings().sddl = std::u16string(sddl);
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfDeviceInitSetPowerPolicyOwnership(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsPowerPolicyOwner) {
    if (zv::wdf::DeviceInit* init = initFor(DeviceInit, "WdfDeviceInitSetPowerPolicyOwnership"))
        init->settings().powerPolicyOwner = IsPowerPolicyOwner != FALSE;
}

EXTERN_C PDEVICE_OBJECT WdfFdoInitWdmGetPhysicalDevice(PWDFDEVICE_INIT DeviceInit) {
    zv::wdf::DeviceInit* init = fdoInitFor(DeviceInit, "WdfFdoInitWdmGetPhysicalDevice");
    return init != nullptr ? init->physicalDevice() : nullptr;
}

EXTERN_C VOID WdfFdoInitSetDefaultChildListConfig(PWDFDEVICE_INIT DeviceInit, PWDF_CHILD_LIST_CONFIG Config,
                                                  PWDF_OBJECT_ATTRIBUTES DefaultChildListAttributes) {
    constexpr const char* routine = "WdfFdoInitSetDefaultChildListConfig";
    zv::wdf::DeviceInit* init = fdoInitFor(DeviceInit, routine);
    if (init == nullptr)
        return;
    if (Config == nullptr || Config->Size != sizeof(WDF_CHILD_LIST_CONFIG)) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "the config was not initialised with WDF_CHILD_LIST_CONFIG_INIT");
        return;
    }
    if (Config->EvtChildListCreateDevice == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "a child list needs a create-device callback");
        return;
    }
    if (Config->IdentificationDescriptionSize < sizeof(WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER) ||
        (Config->AddressDescriptionSize != 0 &&
         Config->AddressDescriptionSize < sizeof(WDF_CHILD_ADDRESS_DESCRIPTION_HEADER))) {
        reportViolation(rule::kBadParameter, nullptr, routine, "a description is smaller than its header");
        return;
    }
    if (checkAttributes(DefaultChildListAttributes, routine) != STATUS_SUCCESS)
        return;
    zv::wdf::ChildListSettings list{*Config, std::nullopt};
    if (DefaultChildListAttributes != nullptr)
        list.attributes = *DefaultChildListAttributes;
    init->settings().defaultChildList = list;
}

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
