// Devices and the WdfDevice* entry points they support so far.
#include "platform/wdf/device.h"

#include "platform/wdf/driver.h"
#include "platform/wdf/registry_key.h"

namespace zv::wdf {

Device::Device(Object* parent, DeviceInit& init)
    : Object(kType, parent), driver_(init.driver()), instance_(init.instance()), kind_(init.kind()) {}

NTSTATUS Device::onCreated() {
    if (effectiveSynchronizationScope() == WdfSynchronizationScopeDevice) {
        auto kind = effectiveExecutionLevel() == WdfExecutionLevelPassive ? sim::Lock::Kind::Mutex
                                                                          : sim::Lock::Kind::Spin;
        presentationLock_ = std::make_unique<sim::Lock>(kind, describe() + " presentation lock");
    }
    return STATUS_SUCCESS;
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                  WDFDEVICE* Device) {
    constexpr const char* routine = "WdfDeviceCreate";
    enterCall(routine, true);
    if (Device == nullptr || DeviceInit == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "NULL device-init or output handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *Device = nullptr;
    zv::wdf::DeviceInit* init = zv::wdf::DeviceInit::fromHandle(*DeviceInit, routine);
    if (init == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "a device's parent is its driver");
        return STATUS_INVALID_PARAMETER;
    }
    zv::wdf::Device* device = nullptr;
    NTSTATUS status = create<zv::wdf::Device>(DeviceAttributes, &init->driver(), routine, &device, *init);
    if (!NT_SUCCESS(status))
        return status;
    init->consume(*device);
    *DeviceInit = nullptr;
    *Device = static_cast<WDFDEVICE>(device->handle());
    return STATUS_SUCCESS;
}

EXTERN_C WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
    constexpr const char* routine = "WdfDeviceGetDriver";
    enterCall(routine);
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    return device != nullptr ? static_cast<WDFDRIVER>(device->driver().handle()) : nullptr;
}

EXTERN_C NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                           ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                           WDFKEY* Key) {
    constexpr const char* routine = "WdfDeviceOpenRegistryKey";
    enterCall(routine, true);
    if (Key == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    std::u16string path;
    if (!device->instance().keyPath(DeviceInstanceKeyType, &path)) {
        reportViolation(rule::kBadParameter, device, routine,
                        "unknown key type " + std::to_string(DeviceInstanceKeyType));
        return STATUS_INVALID_PARAMETER;
    }
    return openKeyObject(path, true, DesiredAccess, KeyAttributes, device, routine, Key);
}
