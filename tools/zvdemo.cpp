// The main program: plugs a simulated phone (a built-in profile) into the USB stack of a fresh machine,
// lets Plug and Play load the composite bus driver for it, and prints the device tree that results: the
// parent device (its instance number and the IDs the USB stack gave it) and every child the bus driver
// reported, with the IDs, texts and locale the child itself answers, the driver bound to it (or none), and
// the functions that their disable switch kept from being reported.
//
// The registry can be loaded from and saved to a .reg file, so that instance numbers and switches persist
// from one run to the next, and values can be set before the phone is plugged. A switch given with
// --disable is written into the parent's software key once Plug and Play has made it, and the parent is
// then restarted, as a user's change followed by a restart of the device would do.
#include "devices/phone.h"
#include "devices/profiles.h"
#include "platform/kernel/debug_output.h"
#include "platform/kernel/registry.h"
#include "platform/pnp/pnp_manager.h"
#include "platform/pnp/services.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/verifier.h"
#include "platform/usb/usb_stack.h"
#include "platform/wdf/device_stack.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace {

const char16_t kBusService[] = u"ZORNAVELTRIQUESbus64";
const char16_t kUsbClass[] = u"{36fc9e60-c465-11cf-8056-444553540000}";

void usage(FILE* out) {
    std::fprintf(
        out,
        "usage: zvdemo [--profile NAME] [--disable NN]... [--no-unique-id] [--set 'KEY\\VALUE=dword:N']...\n"
        "              [--load FILE.reg] [--save FILE.reg] [--verbose] [--list-profiles]\n"
        "  --profile NAME   the phone to plug (default hs-phone; --list-profiles shows them)\n"
        "  --disable NN     set the function switch DisableIf_NN (NN: the interface number in\n"
        "                   hexadecimal) in the parent's software key, then restart the parent\n"
        "  --no-unique-id   the USB port does not vouch for the phone's serial number\n"
        "  --set SPEC       set a REG_DWORD before the phone is plugged; KEY is a path under\n"
        "                   HKEY_LOCAL_MACHINE, e.g. "
        "'System\\CurrentControlSet\\Services\\ZORNAVELTRIQUESbus64\\Parameters\\DebugLevel=dword:5'\n"
        "  --load FILE      start from the registry saved in FILE\n"
        "  --save FILE      save the registry to FILE at the end\n"
        "  --verbose        show the drivers' debug output\n");
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

bool parseInterfaceNumber(const std::string& text, uint8_t* out) {
    char* end = nullptr;
    unsigned long v = std::strtoul(text.c_str(), &end, 16);
    if (text.empty() || *end != '\0' || v > 0xFF)
        return false;
    *out = uint8_t(v);
    return true;
}

std::optional<uint32_t> dwordAt(const std::u16string& keyPath, std::u16string_view name) {
    zv::kernel::RegKey* key = nullptr;
    if (!NT_SUCCESS(zv::kernel::registry().openKey(keyPath, false, &key)))
        return std::nullopt;
    const zv::kernel::RegValue* v = key->value(name);
    return v ? v->asDword() : std::nullopt;
}

std::string hex(unsigned value, int digits) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%0*x", digits, value);
    return text;
}

// ---- what a device's stack answers ----

// A string or a string list (each entry NUL-terminated, one more NUL at the end) from the pool.
std::vector<std::u16string> takeStrings(ULONG_PTR information, bool list) {
    std::vector<std::u16string> out;
    auto* text = reinterpret_cast<const char16_t*>(information);
    if (text == nullptr)
        return out;
    for (const char16_t* at = text; *at != 0 || (!list && at == text);) {
        std::u16string entry(at);
        at += entry.size() + 1;
        out.push_back(std::move(entry));
        if (!list)
            break;
    }
    std::free(const_cast<char16_t*>(text));
    return out;
}

std::vector<std::u16string> queryId(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type, bool list) {
    auto result = zv::wdf::sendAndWait(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID,
                                       [&](IO_STACK_LOCATION& s) { s.Parameters.QueryId.IdType = type; });
    if (!NT_SUCCESS(result.status))
        return {};
    return takeStrings(result.information, list);
}

std::optional<std::u16string> queryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type, LCID locale) {
    auto result = zv::wdf::sendAndWait(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, [&](IO_STACK_LOCATION& s) {
        s.Parameters.QueryDeviceText.DeviceTextType = type;
        s.Parameters.QueryDeviceText.LocaleId = locale;
    });
    if (!NT_SUCCESS(result.status))
        return std::nullopt;
    auto strings = takeStrings(result.information, false);
    return strings.empty() ? std::u16string() : strings.front();
}

void printList(const char* label, const std::vector<std::u16string>& items) {
    if (items.empty()) {
        std::printf("  %-18s (none)\n", label);
        return;
    }
    for (size_t i = 0; i < items.size(); ++i)
        std::printf("  %-18s %s\n", i == 0 ? label : "", narrow(items[i]).c_str());
}

std::string driverOf(const zv::pnp::DeviceNode& node) {
    if (node.serviceName().empty())
        return "none";
    return narrow(node.serviceName()) + (node.state() == zv::pnp::NodeState::Started ? "" : " (not started)");
}

void printChild(const zv::pnp::DeviceNode& node, LCID locale) {
    PDEVICE_OBJECT pdo = node.pdo();
    std::printf("\nchild %s [%s]\n", narrow(node.instancePath()).c_str(),
                zv::pnp::nodeStateName(node.state()));
    auto deviceId = queryId(pdo, BusQueryDeviceID, false);
    auto instanceId = queryId(pdo, BusQueryInstanceID, false);
    std::printf("  %-18s %s\n", "device ID", deviceId.empty() ? "(none)" : narrow(deviceId[0]).c_str());
    printList("hardware IDs", queryId(pdo, BusQueryHardwareIDs, true));
    printList("compatible IDs", queryId(pdo, BusQueryCompatibleIDs, true));
    std::printf("  %-18s %s\n", "instance ID", instanceId.empty() ? "(none)" : narrow(instanceId[0]).c_str());
    auto description = queryText(pdo, DeviceTextDescription, locale);
    auto location = queryText(pdo, DeviceTextLocationInformation, locale);
    std::printf("  %-18s %s\n", "description",
                description ? ("\"" + narrow(*description) + "\"").c_str() : "(none)");
    std::printf("  %-18s %s\n", "location", location ? ("\"" + narrow(*location) + "\"").c_str() : "(none)");
    std::printf("  %-18s %s\n", "locale", hex(locale, 4).c_str());
    std::printf("  %-18s %s\n", "driver", driverOf(node).c_str());
}

// The phone's first language, from its string descriptor 0 (0x0409 when it has none).
LCID languageOf(const zv::devices::Phone& phone) {
    auto languages = phone.stringDescriptor(0, 0);
    if (!languages || languages->size() < 4)
        return 0x0409;
    return LCID((*languages)[2] | ((*languages)[3] << 8));
}

} // namespace

int main(int argc, char** argv) {
    std::string loadFile, saveFile, profileName = "hs-phone";
    std::vector<Setting> settings;
    std::vector<uint8_t> disables;
    bool verbose = false, uniqueId = true;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto needValue = [&](const char* what) -> const char* {
            if (i + 1 >= argc) {
                std::fprintf(stderr, "zvdemo: %s needs %s\n", arg.c_str(), what);
                std::exit(2);
            }
            return argv[++i];
        };
        if (arg == "--profile") {
            profileName = needValue("a profile name");
        } else if (arg == "--list-profiles") {
            for (const std::string& name : zv::devices::profileNames()) {
                zv::devices::PhoneProfile p;
                zv::devices::makeProfile(name, &p);
                std::printf("%-10s %s\n", name.c_str(), p.description.c_str());
            }
            return 0;
        } else if (arg == "--disable") {
            uint8_t number = 0;
            const char* text = needValue("an interface number");
            if (!parseInterfaceNumber(text, &number)) {
                std::fprintf(
                    stderr,
                    "zvdemo: --disable takes an interface number in hexadecimal (00 to ff), got '%s'\n",
                    text);
                return 2;
            }
            disables.push_back(number);
        } else if (arg == "--no-unique-id") {
            uniqueId = false;
        } else if (arg == "--load") {
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

    zv::devices::PhoneProfile profile;
    if (!zv::devices::makeProfile(profileName, &profile)) {
        std::string names;
        for (const std::string& name : zv::devices::profileNames())
            names += (names.empty() ? "" : ", ") + name;
        std::fprintf(stderr, "zvdemo: unknown profile '%s' (known: %s)\n", profileName.c_str(),
                     names.c_str());
        return 2;
    }
    // The phone outlives the machine: the USB stack holds it until the machine goes.
    zv::devices::Phone phone(profile);

    int rc = 0;
    {
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
                std::fprintf(stderr, "zvdemo: cannot create key %s (status %08X)\n",
                             narrow(s.keyPath).c_str(), unsigned(status));
                return 1;
            }
            key->setValue(s.name, zv::kernel::RegValue::dword(s.value));
        }
        std::string traces;
        machine.service<zv::kernel::DebugOutput>().setSink([&](std::string_view t) { traces += t; });
        zv::pnp::services().install({kBusService, ZV_BUS_MODULE, {u"USB\\VID_1A2B&PID_3C4D"}, {}, kUsbClass});

        machine.spawn("user", [&] {
            std::printf("plugging %s: %s\n", profile.name.c_str(), profile.description.c_str());
            zv::usb::UsbDevice* usb = nullptr;
            NTSTATUS status = zv::usb::usbStack().plug(phone, zv::usb::PortSettings{uniqueId}, &usb);
            if (usb == nullptr) {
                std::fprintf(stderr, "zvdemo: the phone could not be plugged (status %08X)\n",
                             unsigned(status));
                rc = 1;
                return;
            }
            auto& pnp = zv::pnp::pnpManager();
            zv::pnp::DeviceNode* parent = pnp.find(usb->instancePath());
            if (parent != nullptr && !disables.empty()) {
                zv::kernel::RegKey* key = nullptr;
                if (NT_SUCCESS(reg.openKey(parent->instance().softwareKeyPath(), true, &key))) {
                    for (uint8_t number : disables) {
                        char name[16];
                        std::snprintf(name, sizeof name, "DisableIf_%02x", number);
                        key->setValue(widen(name), zv::kernel::RegValue::dword(1));
                        std::printf("set %s = 1 in the parent's software key\n", name);
                    }
                    std::printf("restarting the parent\n");
                    status = pnp.rebalance(parent->instancePath());
                }
            }
            parent = pnp.find(usb->instancePath());
            if (parent == nullptr) {
                std::fprintf(stderr, "zvdemo: the phone is not in the device tree\n");
                rc = 1;
                return;
            }

            std::printf("\nparent %s [%s]\n", narrow(parent->instancePath()).c_str(),
                        zv::pnp::nodeStateName(parent->state()));
            if (!NT_SUCCESS(parent->problem()))
                std::printf("  %-18s %08X\n", "problem", unsigned(parent->problem()));
            auto number = dwordAt(parent->instance().hardwareKeyPath(), u"InstanceNumber");
            std::printf("  %-18s %s\n", "instance number", number ? std::to_string(*number).c_str() : "none");
            std::printf("  %-18s %s\n", "device ID", narrow(usb->deviceId()).c_str());
            std::printf("  %-18s %s\n", "instance ID", narrow(usb->instanceId()).c_str());
            printList("hardware IDs", parent->hardwareIds());
            printList("compatible IDs", parent->compatibleIds());
            std::printf("  %-18s %s\n", "driver", driverOf(*parent).c_str());

            // The switches that are set: their functions were built but not reported.
            std::vector<std::string> disabled;
            zv::kernel::RegKey* software = nullptr;
            if (NT_SUCCESS(reg.openKey(parent->instance().softwareKeyPath(), false, &software)))
                for (unsigned mi = 0; mi <= 0xFF; ++mi) {
                    char name[16];
                    std::snprintf(name, sizeof name, "DisableIf_%02x", mi);
                    const zv::kernel::RegValue* v = software->value(widen(name));
                    auto value = v ? v->asDword() : std::nullopt;
                    if (value && *value != 0)
                        disabled.push_back("interface " + hex(mi, 2) + " (" + name + ")");
                }
            std::printf("  %-18s %zu\n", "children", parent->children().size());
            if (disabled.empty())
                std::printf("  %-18s none\n", "disabled");
            for (size_t i = 0; i < disabled.size(); ++i)
                std::printf("  %-18s %s\n", i == 0 ? "disabled" : "", disabled[i].c_str());

            LCID locale = languageOf(phone);
            for (const auto& child : parent->children())
                printChild(*child, locale);
        });
        machine.run();
        if (verbose)
            std::printf("\ndebug output:\n%s", traces.c_str());
        if (!saveFile.empty() && !reg.saveRegFile(saveFile, &error)) {
            std::fprintf(stderr, "zvdemo: cannot save %s: %s\n", saveFile.c_str(), error.c_str());
            rc = 1;
        }
        if (!machine.verifier().empty()) {
            std::fprintf(stderr, "zvdemo: the verifier reported:\n%s", machine.verifier().dump().c_str());
            rc = 1;
        }
    }
    return rc;
}
