// Service table and driver module loading.
#include "platform/pnp/services.h"

#include "platform/kernel/registry.h"
#include "platform/sim/scheduler.h"
#include "platform/wdf/driver.h"

#include <dlfcn.h>

#include <algorithm>

namespace zv::pnp {
namespace {

bool sameId(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size())
        return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char16_t x = a[i], y = b[i];
        if (x >= u'a' && x <= u'z')
            x = char16_t(x - u'a' + u'A');
        if (y >= u'a' && y <= u'z')
            y = char16_t(y - u'a' + u'A');
        if (x != y)
            return false;
    }
    return true;
}

std::u16string widen(std::string_view s) {
    std::u16string out;
    for (unsigned char c : s)
        out.push_back(char16_t(c)); // module paths are ASCII in practice; bytes above 0x7F pass as Latin-1
    return out;
}

std::string narrow(std::u16string_view s) {
    std::string out;
    for (char16_t c : s)
        out.push_back(c < 0x80 ? char(c) : '?');
    return out;
}

} // namespace

LoadedDriver::LoadedDriver(const Service& service, void* image)
    : service_(service), image_(image), record_(std::make_unique<wdf::DriverRecord>(service.name)) {}

LoadedDriver::~LoadedDriver() {
    // The framework driver's callbacks live in the image: unload it while the image is still mapped.
    record_->unload();
    record_.reset();
    if (image_)
        dlclose(image_);
}

wdf::Driver* LoadedDriver::driver() const {
    return record_->driver();
}

Services::Services(sim::Scheduler& machine) : machine_(machine) {
    // Machine state goes in reverse order of creation, and unloading a driver needs the registry, the
    // framework's handle table and its driver records: make sure they exist before this does.
    kernel::registry();
    wdf::objects();
    wdf::DriverRecord probe(u"");
}

Services::~Services() {
    unloadAll();
}

void Services::install(Service service) {
    auto& reg = kernel::registry();
    kernel::RegKey* key = nullptr;
    if (NT_SUCCESS(reg.openKey(kernel::serviceKeyPath(service.name), true, &key))) {
        key->setValue(u"ImagePath", kernel::RegValue::sz(widen(service.module), kernel::RegType::ExpandSz));
        key->setValue(u"Type", kernel::RegValue::dword(1));         // kernel driver
        key->setValue(u"Start", kernel::RegValue::dword(3));        // demand start
        key->setValue(u"ErrorControl", kernel::RegValue::dword(1)); // normal
    }
    for (auto& s : table_) {
        if (sameId(s.name, service.name)) {
            s = std::move(service);
            return;
        }
    }
    table_.push_back(std::move(service));
}

const Service* Services::find(std::u16string_view name) const {
    for (auto& s : table_)
        if (sameId(s.name, name))
            return &s;
    return nullptr;
}

const Service* Services::bind(const std::vector<std::u16string>& hardwareIds,
                              const std::vector<std::u16string>& compatibleIds) const {
    // The device's own ID order is its order of preference: its first hardware ID is its most specific.
    for (const auto* ids : {&hardwareIds, &compatibleIds}) {
        for (auto& id : *ids) {
            for (auto& s : table_) {
                bool listed = std::any_of(s.hardwareIds.begin(), s.hardwareIds.end(),
                                          [&](const std::u16string& h) { return sameId(h, id); }) ||
                              std::any_of(s.compatibleIds.begin(), s.compatibleIds.end(),
                                          [&](const std::u16string& c) { return sameId(c, id); });
                if (listed)
                    return &s;
            }
        }
    }
    return nullptr;
}

LoadedDriver* Services::loaded(std::u16string_view name) const {
    for (auto& d : loaded_)
        if (sameId(d->service().name, name))
            return d.get();
    return nullptr;
}

NTSTATUS Services::load(std::u16string_view name, LoadedDriver** driver, std::string* error) {
    *driver = nullptr;
    if (auto* d = loaded(name)) {
        *driver = d;
        return STATUS_SUCCESS;
    }
    const Service* service = find(name);
    if (!service) {
        if (error)
            *error = "no service named " + narrow(name);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    void* image = dlopen(service->module.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!image) {
        if (error)
            *error = std::string("cannot load ") + service->module + ": " + dlerror();
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    auto entry = reinterpret_cast<PDRIVER_INITIALIZE>(dlsym(image, "DriverEntry"));
    if (!entry) {
        dlclose(image);
        if (error)
            *error = service->module + " exports no DriverEntry";
        return STATUS_DRIVER_UNABLE_TO_LOAD;
    }
    auto loadedDriver = std::make_unique<LoadedDriver>(*service, image);
    NTSTATUS status = loadedDriver->record().callDriverEntry(entry);
    loadedDriver->entryStatus_ = status;
    if (!NT_SUCCESS(status)) {
        if (error)
            *error = "DriverEntry of " + narrow(name) + " failed";
        return status; // the record already deleted what DriverEntry made; the image goes with it
    }
    loaded_.push_back(std::move(loadedDriver));
    *driver = loaded_.back().get();
    return STATUS_SUCCESS;
}

bool Services::unload(std::u16string_view name) {
    for (auto it = loaded_.begin(); it != loaded_.end(); ++it) {
        if (sameId((*it)->service().name, name)) {
            loaded_.erase(it);
            return true;
        }
    }
    return false;
}

void Services::unloadAll() {
    while (!loaded_.empty())
        loaded_.pop_back();
}

Services& services() {
    return sim::Scheduler::current()->service<Services>();
}

} // namespace zv::pnp
