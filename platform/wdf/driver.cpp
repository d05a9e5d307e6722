// The framework driver, driver records, and the WdfDriver* entry points.
#include "platform/wdf/driver.h"

#include "platform/kernel/registry.h"
#include "platform/kernel/text.h"
#include "platform/wdf/registry_key.h"
#include "platform/wdf/string.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace zv::wdf {

// The machine's driver records, for WdfDriverCreate to find the record behind a DRIVER_OBJECT.
class DriverRecord::Table {
public:
    explicit Table(sim::Scheduler&) {}
    std::vector<DriverRecord*> records;
};

ULONG defaultPoolTag(std::u16string_view service) {
    if (service.size() >= 3 && kernel::equalIgnoreCase(service.substr(0, 3), u"Wdf"))
        service.remove_prefix(3);
    if (service.size() < 4)
        return Driver::kFallbackPoolTag;
    ULONG tag = 0;
    for (int i = 3; i >= 0; --i)
        tag = tag << 8 | static_cast<uint8_t>(service[static_cast<size_t>(i)]);
    return tag;
}

Driver::Driver(Object* parent, DriverRecord& record, const WDF_DRIVER_CONFIG& config,
               std::u16string registryPath)
    : Object(kType, parent), record_(record), config_(config), registryPath_(std::move(registryPath)),
      poolTag_(config.DriverPoolTag != 0 ? config.DriverPoolTag : defaultPoolTag(record.service())) {}

NTSTATUS Driver::addDevice(PWDFDEVICE_INIT init) {
    if (config_.EvtDriverDeviceAdd == nullptr)
        return STATUS_NOT_SUPPORTED;
    NTSTATUS status = STATUS_SUCCESS;
    invokeCallback(this, "EvtDriverDeviceAdd",
                   [&] { status = config_.EvtDriverDeviceAdd(static_cast<WDFDRIVER>(handle()), init); });
    return status;
}

DriverRecord::DriverRecord(std::u16string service)
    : records_(sim::Scheduler::current()->service<Table>()), objects_(objects()),
      service_(std::move(service)), driverName_(u"\\Driver\\" + service_),
      registryPath_(kernel::serviceKeyPath(service_)) {
    registryPathString_.Length = static_cast<USHORT>(registryPath_.size() * sizeof(char16_t));
    registryPathString_.MaximumLength = static_cast<USHORT>(registryPathString_.Length + sizeof(char16_t));
    registryPathString_.Buffer = registryPath_.data();
    std::memset(&object_, 0, sizeof object_);
    object_.Type = IO_TYPE_DRIVER;
    object_.Size = sizeof object_;
    object_.DriverName.Length = static_cast<USHORT>(driverName_.size() * sizeof(char16_t));
    object_.DriverName.MaximumLength = static_cast<USHORT>(object_.DriverName.Length + sizeof(char16_t));
    object_.DriverName.Buffer = driverName_.data();
    records_.records.push_back(this);
}

DriverRecord::~DriverRecord() {
    unload();
    auto& all = records_.records;
    all.erase(std::find(all.begin(), all.end(), this));
}

NTSTATUS DriverRecord::callDriverEntry(PDRIVER_INITIALIZE entry) {
    object_.DriverInit = entry;
    NTSTATUS status = STATUS_SUCCESS;
    inEntry_ = true;
    {
        CallbackFrame frame(nullptr, "DriverEntry");
        status = entry(&object_, &registryPathString_);
        entryScope_.reset();
    }
    inEntry_ = false;
    if (!NT_SUCCESS(status)) {
        if (Driver* d = driver())
            d->deleteTree();
        driver_ = nullptr;
    }
    return status;
}

Driver* DriverRecord::driver() const {
    if (driver_ == nullptr)
        return nullptr;
    Object* o = objects_.find(driver_);
    return o != nullptr && !o->deleting() ? static_cast<Driver*>(o) : nullptr;
}

void DriverRecord::unload() {
    Driver* d = driver();
    if (d == nullptr)
        return;
    if (PFN_WDF_DRIVER_UNLOAD unload = d->config().EvtDriverUnload)
        invokeCallback(d, "EvtDriverUnload", [&] { unload(driver_); });
    if ((d = driver()) != nullptr)
        d->deleteTree();
    driver_ = nullptr;
}

void DriverRecord::driverCreated(Driver& driver) {
    driver_ = static_cast<WDFDRIVER>(driver.handle());
    if (inEntry_)
        entryScope_.emplace(&driver);
}

DriverRecord* DriverRecord::find(PDRIVER_OBJECT object) {
    for (DriverRecord* r : sim::Scheduler::current()->service<Table>().records)
        if (&r->object_ == object)
            return r;
    return nullptr;
}

} // namespace zv::wdf

using namespace zv::wdf;

namespace {

Driver* resolveDriver(WDFDRIVER handle, const char* routine) {
    return resolve<zv::wdf::Driver>(handle, routine);
}

} // namespace

EXTERN_C NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                  PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                  WDFDRIVER* Driver) {
    constexpr const char* routine = "WdfDriverCreate";
    enterCall(routine, true);
    if (Driver != nullptr)
        *Driver = nullptr;
    DriverRecord* record = DriverObject != nullptr ? DriverRecord::find(DriverObject) : nullptr;
    if (record == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "not a DRIVER_OBJECT the system passed to DriverEntry");
        return STATUS_INVALID_PARAMETER;
    }
    if (record->driver() != nullptr) {
        reportViolation(rule::kBadParameter, record->driver(), routine,
                        "this DRIVER_OBJECT already has a framework driver");
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::u16string_view path;
    if (!argumentText(RegistryPath, nullptr, routine, "registry path", &path))
        return STATUS_INVALID_PARAMETER;
    if (DriverConfig == nullptr || DriverConfig->Size != sizeof(WDF_DRIVER_CONFIG)) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "the config was not initialised with WDF_DRIVER_CONFIG_INIT");
        return STATUS_INVALID_PARAMETER;
    }
    if ((DriverConfig->DriverInitFlags & WdfDriverInitNonPnpDriver) != 0 &&
        DriverConfig->EvtDriverDeviceAdd != nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "a non-PnP driver cannot have a device-add callback");
        return STATUS_INVALID_PARAMETER;
    }
    if (DriverAttributes != nullptr && DriverAttributes->ParentObject != nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the driver object has no parent");
        return STATUS_INVALID_PARAMETER;
    }
    NTSTATUS status = checkAttributes(DriverAttributes, routine);
    if (!NT_SUCCESS(status))
        return status;
    // The driver is the root of its tree: it is built here rather than through create(), which would give
    // it the calling driver as parent.
    auto* driver = new zv::wdf::Driver(nullptr, *record, *DriverConfig, std::u16string(path));
    status = driver->applyAttributes(DriverAttributes);
    if (!NT_SUCCESS(status)) {
        Object::discardUnpublished(driver);
        return status;
    }
    record->driverCreated(*driver);
    if (Driver != nullptr)
        *Driver = static_cast<WDFDRIVER>(driver->handle());
    return STATUS_SUCCESS;
}

EXTERN_C PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver) {
    constexpr const char* routine = "WdfDriverWdmGetDriverObject";
    enterCall(routine);
    zv::wdf::Driver* driver = resolveDriver(Driver, routine);
    return driver != nullptr ? driver->record().driverObject() : nullptr;
}

EXTERN_C WDFDRIVER WdfGetDriver(VOID) {
    enterCall("WdfGetDriver");
    Object* driver = objects().callingDriver();
    return driver != nullptr ? static_cast<WDFDRIVER>(driver->handle()) : nullptr;
}

EXTERN_C PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver) {
    constexpr const char* routine = "WdfDriverGetRegistryPath";
    enterCall(routine);
    zv::wdf::Driver* driver = resolveDriver(Driver, routine);
    return driver != nullptr ? const_cast<char16_t*>(driver->registryPath().c_str()) : nullptr;
}

EXTERN_C NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                                     PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    constexpr const char* routine = "WdfDriverOpenParametersRegistryKey";
    enterCall(routine, true);
    if (Key == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    zv::wdf::Driver* driver = resolveDriver(Driver, routine);
    if (driver == nullptr)
        return STATUS_INVALID_HANDLE;
    return openKeyObject(driver->parametersKeyPath(), true, DesiredAccess, KeyAttributes, driver, routine,
                         Key);
}
