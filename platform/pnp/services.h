// The service table and the driver modules of one machine. The table is what installation files would say:
// a service name, the module that holds its driver image, and the hardware and compatible IDs it binds to.
// A driver module is loaded the first time something asks for its service (dlopen with local symbols, so
// two drivers that define routines of the same names never meet), and DriverEntry runs on the asking
// fiber with the service's DRIVER_OBJECT and registry path.
#ifndef ZV_PNP_SERVICES_H
#define ZV_PNP_SERVICES_H

#include <ntddk.h>

#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace zv::sim {
class Scheduler;
}
namespace zv::wdf {
class DriverRecord;
class Driver;
} // namespace zv::wdf

namespace zv::pnp {

struct Service {
    std::u16string name;
    std::string module; // path of the shared module exporting DriverEntry
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    // The setup class of the devices it drives ("{4d36e978-...}" for ports); empty: the System class.
    std::u16string classGuid = {};
};

// One loaded driver image and its framework driver.
class LoadedDriver {
public:
    LoadedDriver(const Service& service, void* image);
    ~LoadedDriver(); // unloads the framework driver, then unmaps the image
    LoadedDriver(const LoadedDriver&) = delete;
    LoadedDriver& operator=(const LoadedDriver&) = delete;

    const Service& service() const { return service_; }
    wdf::DriverRecord& record() { return *record_; }
    // The framework driver DriverEntry created (nullptr when DriverEntry failed or made none).
    wdf::Driver* driver() const;
    NTSTATUS entryStatus() const { return entryStatus_; }

private:
    friend class Services;
    Service service_;
    void* image_;
    std::unique_ptr<wdf::DriverRecord> record_;
    NTSTATUS entryStatus_ = STATUS_UNSUCCESSFUL;
};

class Services {
public:
    explicit Services(sim::Scheduler& machine);
    ~Services();

    // Installs a service: the table entry and its service key (ImagePath, Type, Start, ErrorControl), as
    // an installation would. Installing a name twice replaces the entry.
    void install(Service service);
    const Service* find(std::u16string_view name) const;
    // The service bound to a device by its IDs: the first hardware ID any service lists wins; compatible
    // IDs are tried only when no hardware ID matches. IDs compare without regard to case.
    const Service* bind(const std::vector<std::u16string>& hardwareIds,
                        const std::vector<std::u16string>& compatibleIds) const;

    // Loads the service's driver on first use and runs its DriverEntry (on the running fiber, which must be
    // at PASSIVE_LEVEL). A DriverEntry that fails leaves nothing loaded; the next call tries again.
    // Errors: STATUS_OBJECT_NAME_NOT_FOUND (no such service), STATUS_DRIVER_UNABLE_TO_LOAD (no module, or
    // no DriverEntry in it; `error` says which), else DriverEntry's own status.
    NTSTATUS load(std::u16string_view name, LoadedDriver** driver, std::string* error = nullptr);
    LoadedDriver* loaded(std::u16string_view name) const;
    // Unloads one driver (its cleanup callbacks run) or every driver, newest first.
    bool unload(std::u16string_view name);
    void unloadAll();
    // The machine's teardown step (on a fiber): the drivers still loaded are unloaded.
    void retire() { unloadAll(); }

private:
    sim::Scheduler& machine_;
    std::vector<Service> table_;
    std::vector<std::unique_ptr<LoadedDriver>> loaded_;
};

// The current machine's services.
Services& services();

} // namespace zv::pnp

#endif // ZV_PNP_SERVICES_H
