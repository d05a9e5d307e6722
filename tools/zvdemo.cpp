// The main program, first version. Until the drivers and simulated phones exist it runs the smallest
// end-to-end scenario the platform can: load a driver module by service name, let its DriverEntry create
// the framework driver and read its debug settings, add device instances through its device-add callback
// so that each takes a persistent instance number, unload it, and show the registry that results. The
// registry can be loaded from and saved to a .reg file, so numbers persist from one run to the next.
#include "platform/kernel/debug_output.h"
#include "platform/kernel/registry.h"
#include "platform/pnp/services.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/verifier.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/driver.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

const char16_t kService[] = u"ZvTestDriver";

void usage(FILE* out) {
    std::fprintf(
        out,
        "usage: zvdemo [--load FILE.reg] [--save FILE.reg] [--set 'KEY\\VALUE=dword:N']... [--devices N]\n"
        "  --load FILE   start from the registry saved in FILE\n"
        "  --save FILE   save the registry to FILE at the end\n"
        "  --set SPEC    set a REG_DWORD before the driver loads; KEY is a path under\n"
        "                HKEY_LOCAL_MACHINE, e.g. "
        "'System\\CurrentControlSet\\Services\\ZvTestDriver\\Parameters\\DebugLevel=dword:5'\n"
        "  --devices N   how many device instances to add (default 2, at most 64)\n"
        "  --verbose     show the driver's trace lines\n");
}

std::u16string widen(const std::string& s) {
    return std::u16string(s.begin(), s.end());
}

std::string narrow(std::u16string_view s) {
    std::string out;
    for (char16_t c : s)
        out.push_back(c < 0x80 ? char(c) : '?');
    return out;
}

struct Setting {
    std::u16string keyPath;
    std::u16string name;
    uint32_t value;
};

bool parseSetting(const std::string& spec, Setting* out, std::string* error) {
    size_t eq = spec.find('=');
    size_t slash = spec.rfind('\\', eq);
    if (eq == std::string::npos || slash == std::string::npos || slash == 0 || slash + 1 >= eq) {
        *error = "--set wants KEY\\VALUE=dword:N, got '" + spec + "'";
        return false;
    }
    std::string data = spec.substr(eq + 1);
    if (data.rfind("dword:", 0) != 0 || data.size() == 6 || data.size() > 14) {
        *error = "--set takes only dword:N (hexadecimal, up to 8 digits), got '" + data + "'";
        return false;
    }
    char* end = nullptr;
    unsigned long v = std::strtoul(data.c_str() + 6, &end, 16);
    if (*end != '\0') {
        *error = "not a hexadecimal dword: '" + data.substr(6) + "'";
        return false;
    }
    out->keyPath = u"\\Registry\\Machine\\" + widen(spec.substr(0, slash));
    out->name = widen(spec.substr(slash + 1, eq - slash - 1));
    out->value = static_cast<uint32_t>(v);
    return true;
}

std::optional<uint32_t> dwordAt(const std::u16string& keyPath, std::u16string_view name) {
    zv::kernel::RegKey* key = nullptr;
    if (!NT_SUCCESS(zv::kernel::registry().openKey(keyPath, false, &key)))
        return std::nullopt;
    const zv::kernel::RegValue* v = key->value(name);
    return v ? v->asDword() : std::nullopt;
}

} // namespace

int main(int argc, char** argv) {
    std::string loadFile, saveFile;
    std::vector<Setting> settings;
    int devices = 2;
    bool verbose = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto needValue = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zvdemo: %s needs %s\n", arg.c_str(), what);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--load") {
            loadFile = needValue("a file");
        } else if (arg == "--save") {
            saveFile = needValue("a file");
        } else if (arg == "--set") {
            Setting s;
            std::string error;
            if (!parseSetting(needValue("a setting"), &s, &error)) {
                std::fprintf(stderr, "zvdemo: %s\n", error.c_str());
                return 2;
            }
            settings.push_back(s);
        } else if (arg == "--devices") {
            const char* n = needValue("a number");
            char* end = nullptr;
            long v = std::strtol(n, &end, 10);
            if (*end != '\0' || v < 0 || v > 64) {
                std::fprintf(stderr, "zvdemo: --devices takes a number from 0 to 64, got '%s'\n", n);
                return 2;
            }
            devices = int(v);
        } else if (arg == "--verbose") {
            verbose = true;
        } else if (arg == "--help" || arg == "-h") {
            usage(stdout);
            return 0;
        } else {
            std::fprintf(stderr, "zvdemo: unknown option '%s'\n", arg.c_str());
            usage(stderr);
            return 2;
        }
    }

    zv::sim::Scheduler machine;
    machine.verifier().setEcho(true);
    auto& reg = zv::kernel::registry();
    std::string error;
    if (!loadFile.empty() && !reg.loadRegFile(loadFile, &error)) {
        std::fprintf(stderr, "zvdemo: cannot load %s: %s\n", loadFile.c_str(), error.c_str());
        return 1;
    }
    for (auto& s : settings) {
        zv::kernel::RegKey* key = nullptr;
        NTSTATUS status = reg.openKey(s.keyPath, true, &key);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "zvdemo: cannot create key %s (status %08X)\n", narrow(s.keyPath).c_str(),
                         unsigned(status));
            return 1;
        }
        key->setValue(s.name, zv::kernel::RegValue::dword(s.value));
    }
    std::string traces;
    machine.service<zv::kernel::DebugOutput>().setSink([&](std::string_view t) { traces += t; });

    std::printf("This is the platform's smallest end-to-end scenario; the drivers and simulated phones come "
                "later.\n\n");
    int rc = 0;
    zv::pnp::services().install({kService, ZV_DEMO_DRIVER_MODULE, {u"ZV\\TestDevice"}, {}});
    machine.spawn("PnP manager", [&] {
        zv::pnp::LoadedDriver* driver = nullptr;
        std::string loadError;
        NTSTATUS status = zv::pnp::services().load(kService, &driver, &loadError);
        if (!NT_SUCCESS(status)) {
            std::fprintf(stderr, "zvdemo: loading %s failed (status %08X): %s\n", narrow(kService).c_str(),
                         unsigned(status), loadError.c_str());
            rc = 1;
            return;
        }
        std::u16string params = zv::kernel::serviceKeyPath(kService) + u"\\Parameters";
        std::printf("loaded service %s: DriverEntry returned %08X\n", narrow(kService).c_str(),
                    unsigned(status));
        std::printf("  debug settings in effect: level %u, flag mask 0x%x\n",
                    dwordAt(params, u"ObservedDebugLevel").value_or(0),
                    dwordAt(params, u"ObservedDebugFlag").value_or(0));
        for (int i = 0; i < devices; ++i) {
            zv::wdf::DeviceInstance inst;
            inst.instancePath = u"ZV\\TestDevice\\" + widen(std::to_string(i + 1));
            inst.classGuid = u"{4d36e978-e325-11ce-bfc1-08002be10318}";
            inst.driverIndex = unsigned(i);
            zv::wdf::DeviceInit init(*driver->driver(), inst);
            status = driver->driver()->addDevice(init.handle());
            auto number = dwordAt(inst.hardwareKeyPath(), u"InstanceNumber");
            std::printf("device %s: add %s (status %08X), instance number %s\n",
                        narrow(inst.instancePath).c_str(), NT_SUCCESS(status) ? "succeeded" : "failed",
                        unsigned(status), number ? std::to_string(*number).c_str() : "none");
        }
        std::printf("next instance number: %u\n", dwordAt(params, u"NextInstanceNumber").value_or(0));
        zv::pnp::services().unload(kService);
        std::printf("unloaded %s\n", narrow(kService).c_str());
    });
    machine.run();
    if (verbose)
        std::printf("\ndriver trace:\n%s", traces.c_str());
    // The keys the scenario touched: the service's and the devices' own.
    std::printf("\nregistry (the service's and the devices' keys):\n");
    std::string text = reg.saveReg();
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find("\n\n", at);
        std::string section = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        at = end == std::string::npos ? text.size() : end + 2;
        bool relevant = section.find("\\Services\\ZvTestDriver") != std::string::npos ||
                        section.find("\\Enum\\ZV") != std::string::npos;
        if (relevant && section.find('=') != std::string::npos)
            std::printf("%s\n\n", section.c_str());
    }
    if (!saveFile.empty() && !reg.saveRegFile(saveFile, &error)) {
        std::fprintf(stderr, "zvdemo: cannot save %s: %s\n", saveFile.c_str(), error.c_str());
        rc = 1;
    }
    if (!machine.verifier().empty()) {
        std::fprintf(stderr, "zvdemo: the verifier reported:\n%s", machine.verifier().dump().c_str());
        rc = 1;
    }
    return rc;
}
