// The framework driver (WDFDRIVER) and the platform's record of a loaded driver image.
//
// A DriverRecord is what the module loader holds per service: the DRIVER_OBJECT handed to DriverEntry, the
// service's registry path, and the framework driver WdfDriverCreate made for it (one per DRIVER_OBJECT).
// Unloading runs EvtDriverUnload and then deletes the driver's object tree, so every cleanup callback runs
// child before parent, the driver's own (EvtDriverContextCleanup) last.
#ifndef ZV_WDF_DRIVER_H
#define ZV_WDF_DRIVER_H

#include "platform/wdf/object.h"

#include <optional>
#include <string>
#include <string_view>

namespace zv::wdf {

class DriverRecord;

class Driver final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Driver;
    // Used for a driver whose service name gives no tag.
    static constexpr ULONG kFallbackPoolTag = 'r' << 24 | 'D' << 16 | 'x' << 8 | 'F'; // "FxDr" in memory

    Driver(Object* parent, DriverRecord& record, const WDF_DRIVER_CONFIG& config,
           std::u16string registryPath);

    bool driverDeletable() const override { return false; }

    DriverRecord& record() const { return record_; }
    const WDF_DRIVER_CONFIG& config() const { return config_; }
    // As given to WdfDriverCreate, NUL-terminated.
    const std::u16string& registryPath() const { return registryPath_; }
    std::u16string parametersKeyPath() const { return registryPath_ + u"\\Parameters"; }
    // The config's tag, else one made from the service name.
    ULONG poolTag() const { return poolTag_; }

    // Runs EvtDriverDeviceAdd for a device-init (STATUS_NOT_SUPPORTED when the driver has none).
    NTSTATUS addDevice(PWDFDEVICE_INIT init);

private:
    DriverRecord& record_;
    WDF_DRIVER_CONFIG config_;
    std::u16string registryPath_;
    ULONG poolTag_;
};

// The default pool tag for a service: its first four characters, skipping a leading "Wdf" (any case); the
// fallback tag when fewer than four remain.
ULONG defaultPoolTag(std::u16string_view service);

class DriverRecord {
public:
    // The record of `service`, with DriverName "\Driver\<service>" and the registry path
    // \Registry\Machine\System\CurrentControlSet\Services\<service>. Lives on the current machine; it must
    // go before the machine does.
    explicit DriverRecord(std::u16string service);
    // Unloads the driver if it is still loaded (its module must still be mapped).
    ~DriverRecord();
    DriverRecord(const DriverRecord&) = delete;
    DriverRecord& operator=(const DriverRecord&) = delete;

    const std::u16string& service() const { return service_; }
    PDRIVER_OBJECT driverObject() { return &object_; }
    PUNICODE_STRING registryPath() { return &registryPathString_; }

    // Calls the image's DriverEntry on the running fiber, on behalf of this driver. When it fails, a
    // framework driver it created is deleted again (its cleanup runs; EvtDriverUnload does not, as the
    // driver never loaded).
    NTSTATUS callDriverEntry(PDRIVER_INITIALIZE entry);

    // The framework driver, while it is loaded.
    Driver* driver() const;
    // EvtDriverUnload, then deletion of the driver's object tree. Nothing happens when no driver is loaded.
    void unload();

    // The record that owns `object`, or nullptr.
    static DriverRecord* find(PDRIVER_OBJECT object);

public:
    // Bookkeeping of WdfDriverCreate.
    bool inDriverEntry() const { return inEntry_; }
    void driverCreated(Driver& driver);

private:
    class Table;
    Table& records_;
    ObjectTable& objects_;
    std::u16string service_;
    std::u16string driverName_;
    std::u16string registryPath_;
    UNICODE_STRING registryPathString_;
    DRIVER_OBJECT object_;
    WDFDRIVER driver_ = nullptr;
    bool inEntry_ = false;
    // From WdfDriverCreate to the end of DriverEntry, framework calls count as made by the new driver.
    std::optional<DriverScope> entryScope_;
};

} // namespace zv::wdf

#endif // ZV_WDF_DRIVER_H
