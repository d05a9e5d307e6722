// Device names, DOS device symbolic links and device interfaces; the WDM routines that make them.
#include "platform/kernel/object_namespace.h"

#include "platform/kernel/device_object.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/text.h"
#include "platform/sim/scheduler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zv::kernel {

namespace {

constexpr std::u16string_view kDosDirectory = u"\\GLOBAL??\\";
// Links may name links; a chain this long is a loop.
constexpr int kMaxLinkDepth = 16;

bool startsWithIgnoreCase(std::u16string_view text, std::u16string_view prefix) {
    return text.size() >= prefix.size() && equalIgnoreCase(text.substr(0, prefix.size()), prefix);
}

// An absolute name with no empty component and no trailing separator.
bool wellFormedName(std::u16string_view name) {
    if (name.size() < 2 || name.front() != u'\\' || name.back() == u'\\')
        return false;
    for (size_t i = 1; i < name.size(); ++i)
        if (name[i] == u'\\' && name[i - 1] == u'\\')
            return false;
    return name.find(u'\0') == std::u16string_view::npos;
}

} // namespace

ObjectNamespace::ObjectNamespace(sim::Scheduler&) {}

std::u16string ObjectNamespace::key(std::u16string_view name) {
    std::u16string k(name);
    for (char16_t& c : k)
        c = upcase(c);
    return k;
}

std::optional<std::u16string> ObjectNamespace::canonicalDosName(std::u16string_view name) {
    for (std::u16string_view prefix : {std::u16string_view(u"\\DosDevices\\"), std::u16string_view(u"\\??\\"),
                                       std::u16string_view(u"\\GLOBAL??\\")}) {
        if (startsWithIgnoreCase(name, prefix) && name.size() > prefix.size())
            return std::u16string(kDosDirectory) + std::u16string(name.substr(prefix.size()));
    }
    return std::nullopt;
}

NTSTATUS ObjectNamespace::insertDevice(std::u16string_view name, PDEVICE_OBJECT device) {
    if (!wellFormedName(name) || canonicalDosName(name) || startsWithIgnoreCase(name, u"\\DosDevices") ||
        startsWithIgnoreCase(name, u"\\??") || startsWithIgnoreCase(name, u"\\GLOBAL??"))
        return STATUS_OBJECT_NAME_INVALID;
    auto [it, inserted] = devices_.try_emplace(key(name), std::u16string(name), device);
    (void)it;
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

void ObjectNamespace::removeDevice(PDEVICE_OBJECT device) {
    for (auto it = devices_.begin(); it != devices_.end();) {
        if (it->second.second == device)
            it = devices_.erase(it);
        else
            ++it;
    }
}

PDEVICE_OBJECT ObjectNamespace::findDevice(std::u16string_view name) const {
    auto it = devices_.find(key(name));
    return it == devices_.end() ? nullptr : it->second.second;
}

NTSTATUS ObjectNamespace::createLink(std::u16string_view linkName, std::u16string_view target) {
    std::optional<std::u16string> canonical = canonicalDosName(linkName);
    if (!canonical || !wellFormedName(*canonical) ||
        canonical->find(u'\\', kDosDirectory.size()) != std::u16string::npos || !wellFormedName(target))
        return STATUS_OBJECT_NAME_INVALID;
    std::u16string k = key(*canonical);
    for (const Interface& i : interfaces_)
        if (i.key == k)
            return STATUS_OBJECT_NAME_COLLISION;
    auto [it, inserted] = links_.try_emplace(k, SymbolicLinkInfo{*canonical, std::u16string(target)});
    (void)it;
    return inserted ? STATUS_SUCCESS : STATUS_OBJECT_NAME_COLLISION;
}

NTSTATUS ObjectNamespace::deleteLink(std::u16string_view linkName) {
    std::optional<std::u16string> canonical = canonicalDosName(linkName);
    if (!canonical)
        return STATUS_OBJECT_NAME_INVALID;
    return links_.erase(key(*canonical)) > 0 ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

std::optional<std::u16string> ObjectNamespace::linkTarget(std::u16string_view linkName) const {
    std::optional<std::u16string> canonical = canonicalDosName(linkName);
    if (!canonical)
        return std::nullopt;
    auto it = links_.find(key(*canonical));
    if (it == links_.end())
        return std::nullopt;
    return it->second.target;
}

std::vector<SymbolicLinkInfo> ObjectNamespace::links() const {
    std::vector<SymbolicLinkInfo> result;
    for (const auto& [k, link] : links_)
        result.push_back(link);
    return result;
}

ObjectNamespace::Interface* ObjectNamespace::findInterface(std::u16string_view linkName) {
    std::optional<std::u16string> canonical = canonicalDosName(linkName);
    if (!canonical)
        return nullptr;
    std::u16string k = key(*canonical);
    for (Interface& i : interfaces_)
        if (i.key == k)
            return &i;
    return nullptr;
}

NTSTATUS ObjectNamespace::registerInterface(PDEVICE_OBJECT pdo, std::u16string_view instancePath,
                                            const GUID& interfaceClass, std::u16string_view referenceString,
                                            std::u16string* linkName) {
    if (referenceString.find(u'\\') != std::u16string_view::npos || instancePath.empty())
        return STATUS_INVALID_PARAMETER;
    std::u16string name = u"\\??\\";
    for (char16_t c : instancePath)
        name.push_back(c == u'\\' ? u'#' : c);
    name += u"#" + guidToString(interfaceClass);
    if (!referenceString.empty())
        name += u"\\" + std::u16string(referenceString);
    *linkName = name;
    if (Interface* existing = findInterface(name)) {
        existing->info.device = pdo;
        return STATUS_SUCCESS;
    }
    Interface i;
    i.info.interfaceClass = interfaceClass;
    i.info.symbolicLinkName = name;
    i.info.instancePath = std::u16string(instancePath);
    i.info.referenceString = std::u16string(referenceString);
    i.info.device = pdo;
    i.key = key(*canonicalDosName(name));
    interfaces_.push_back(std::move(i));
    return STATUS_SUCCESS;
}

NTSTATUS ObjectNamespace::setInterfaceState(std::u16string_view linkName, bool enable) {
    Interface* i = findInterface(linkName);
    if (i == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (enable) {
        if (i->info.enabled)
            return STATUS_OBJECT_NAME_EXISTS;
        if (i->info.device == nullptr)
            return STATUS_INVALID_DEVICE_REQUEST;
        i->info.enabled = true;
        return STATUS_SUCCESS;
    }
    if (!i->info.enabled)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    i->info.enabled = false;
    return STATUS_SUCCESS;
}

void ObjectNamespace::deviceDeleted(PDEVICE_OBJECT device) {
    for (Interface& i : interfaces_) {
        if (i.info.device == device) {
            i.info.enabled = false;
            i.info.device = nullptr;
        }
    }
}

std::vector<DeviceInterfaceInfo> ObjectNamespace::interfaces(const GUID* interfaceClass,
                                                             bool enabledOnly) const {
    std::vector<DeviceInterfaceInfo> result;
    for (const Interface& i : interfaces_) {
        if (interfaceClass != nullptr &&
            std::memcmp(&i.info.interfaceClass, interfaceClass, sizeof(GUID)) != 0)
            continue;
        if (enabledOnly && !i.info.enabled)
            continue;
        result.push_back(i.info);
    }
    return result;
}

NTSTATUS ObjectNamespace::resolve(std::u16string_view name, ResolvedName* result) const {
    std::u16string current(name);
    for (int depth = 0; depth < kMaxLinkDepth; ++depth) {
        if (current.empty() || current.front() != u'\\' || current.find(u'\0') != std::u16string::npos)
            return STATUS_OBJECT_NAME_INVALID;
        if (std::optional<std::u16string> dos = canonicalDosName(current)) {
            std::u16string_view rest = std::u16string_view(*dos).substr(kDosDirectory.size());
            size_t cut = rest.find(u'\\');
            std::u16string_view component = rest.substr(0, cut);
            std::u16string_view remainder =
                cut == std::u16string_view::npos ? std::u16string_view() : rest.substr(cut);
            if (component.empty())
                return STATUS_OBJECT_NAME_INVALID;
            std::u16string linkKey = key(std::u16string(kDosDirectory) + std::u16string(component));
            if (auto it = links_.find(linkKey); it != links_.end()) {
                current = it->second.target + std::u16string(remainder);
                continue;
            }
            // A device interface: "<base>" or "<base>\<reference string>".
            const Interface* plain = nullptr;
            const Interface* withReference = nullptr;
            std::u16string_view firstOfRest =
                remainder.empty() ? remainder : remainder.substr(1, remainder.find(u'\\', 1) - 1);
            for (const Interface& i : interfaces_) {
                std::u16string_view ikey = i.key;
                std::u16string_view ibase = ikey.substr(0, ikey.find(u'\\', kDosDirectory.size()));
                if (ibase != linkKey)
                    continue;
                if (i.info.referenceString.empty())
                    plain = &i;
                else if (!firstOfRest.empty() && equalIgnoreCase(i.info.referenceString, firstOfRest))
                    withReference = &i;
            }
            const Interface* match = withReference != nullptr ? withReference : plain;
            if (match == nullptr || !match->info.enabled || match->info.device == nullptr)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            result->device = match->info.device;
            result->remainder = std::u16string(remainder);
            return STATUS_SUCCESS;
        }
        // A device name is the longest leading run of components that names a device.
        for (size_t end = current.size(); end > 1; end = current.rfind(u'\\', end - 1)) {
            auto it = devices_.find(key(std::u16string_view(current).substr(0, end)));
            if (it != devices_.end()) {
                result->device = it->second.second;
                result->remainder = current.substr(end);
                return STATUS_SUCCESS;
            }
        }
        return startsWithIgnoreCase(current, u"\\Device\\") ? STATUS_OBJECT_NAME_NOT_FOUND
                                                            : STATUS_OBJECT_PATH_NOT_FOUND;
    }
    return STATUS_OBJECT_PATH_NOT_FOUND;
}

ObjectNamespace& objectNamespace() {
    return requireMachine("object namespace").service<ObjectNamespace>();
}

std::u16string guidToString(const GUID& g) {
    char text[40];
    std::snprintf(text, sizeof text, "{%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x}", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                  g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
    return utf8ToUtf16Lossy(text);
}

std::optional<GUID> guidFromString(std::u16string_view text) {
    // {xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx}
    if (text.size() != 38 || text.front() != u'{' || text.back() != u'}')
        return std::nullopt;
    auto hex = [&](size_t at, size_t count, uint64_t* out) {
        uint64_t v = 0;
        for (size_t i = 0; i < count; ++i) {
            char16_t c = text[at + i];
            int d = c >= u'0' && c <= u'9'   ? c - u'0'
                    : c >= u'a' && c <= u'f' ? c - u'a' + 10
                    : c >= u'A' && c <= u'F' ? c - u'A' + 10
                                             : -1;
            if (d < 0)
                return false;
            v = v * 16 + uint64_t(d);
        }
        *out = v;
        return true;
    };
    if (text[9] != u'-' || text[14] != u'-' || text[19] != u'-' || text[24] != u'-')
        return std::nullopt;
    GUID g{};
    uint64_t v = 0;
    if (!hex(1, 8, &v))
        return std::nullopt;
    g.Data1 = ULONG(v);
    if (!hex(10, 4, &v))
        return std::nullopt;
    g.Data2 = USHORT(v);
    if (!hex(15, 4, &v))
        return std::nullopt;
    g.Data3 = USHORT(v);
    static constexpr size_t kBytes[8] = {20, 22, 25, 27, 29, 31, 33, 35};
    for (size_t i = 0; i < 8; ++i) {
        if (!hex(kBytes[i], 2, &v))
            return std::nullopt;
        g.Data4[i] = UCHAR(v);
    }
    return g;
}

std::vector<SymbolicLinkInfo> symbolicLinks() {
    return objectNamespace().links();
}

std::vector<DeviceInterfaceInfo> deviceInterfaces(const GUID* interfaceClass, bool enabledOnly) {
    return objectNamespace().interfaces(interfaceClass, enabledOnly);
}

} // namespace zv::kernel

using namespace zv::kernel;

namespace {

// Reports and returns nullopt for a malformed counted string.
std::optional<std::u16string> nameOf(PCUNICODE_STRING s, const char* routine, const char* what) {
    if (s == nullptr || s->Length % sizeof(WCHAR) != 0 || s->Length > s->MaximumLength ||
        (s->Length > 0 && s->Buffer == nullptr)) {
        reportMisuse(rule::kInvalidParameter, std::string("UNICODE_STRING ") + what, routine,
                     s == nullptr ? "NULL counted string" : "malformed counted string");
        return std::nullopt;
    }
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / sizeof(WCHAR));
}

} // namespace

extern "C" {

NTSTATUS IoCreateSymbolicLink(PUNICODE_STRING SymbolicLinkName, PUNICODE_STRING DeviceName) {
    const char* routine = "IoCreateSymbolicLink";
    if (machine() == nullptr)
        return STATUS_INTERNAL_ERROR;
    checkPassive(routine);
    auto link = nameOf(SymbolicLinkName, routine, "SymbolicLinkName");
    auto target = nameOf(DeviceName, routine, "DeviceName");
    if (!link || !target)
        return STATUS_INVALID_PARAMETER;
    return objectNamespace().createLink(*link, *target);
}

NTSTATUS IoDeleteSymbolicLink(PUNICODE_STRING SymbolicLinkName) {
    const char* routine = "IoDeleteSymbolicLink";
    if (machine() == nullptr)
        return STATUS_INTERNAL_ERROR;
    checkPassive(routine);
    auto link = nameOf(SymbolicLinkName, routine, "SymbolicLinkName");
    if (!link)
        return STATUS_INVALID_PARAMETER;
    return objectNamespace().deleteLink(*link);
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject, const GUID* InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString, PUNICODE_STRING SymbolicLinkName) {
    const char* routine = "IoRegisterDeviceInterface";
    if (machine() == nullptr)
        return STATUS_INTERNAL_ERROR;
    checkPassive(routine);
    if (InterfaceClassGuid == nullptr || SymbolicLinkName == nullptr) {
        reportMisuse(rule::kInvalidParameter, routine, routine,
                     InterfaceClassGuid == nullptr ? "NULL InterfaceClassGuid" : "NULL SymbolicLinkName");
        return STATUS_INVALID_PARAMETER;
    }
    SymbolicLinkName->Length = SymbolicLinkName->MaximumLength = 0;
    SymbolicLinkName->Buffer = nullptr;
    if (!deviceObjects().check(PhysicalDeviceObject, routine))
        return STATUS_INVALID_PARAMETER;
    std::optional<std::u16string> instance = physicalDeviceInstance(PhysicalDeviceObject);
    if (!instance || deviceObjects().isDeleted(PhysicalDeviceObject))
        return STATUS_INVALID_DEVICE_REQUEST;
    std::u16string reference;
    if (ReferenceString != nullptr) {
        auto r = nameOf(ReferenceString, routine, "ReferenceString");
        if (!r)
            return STATUS_INVALID_PARAMETER;
        reference = *r;
    }
    std::u16string name;
    NTSTATUS status = objectNamespace().registerInterface(PhysicalDeviceObject, *instance,
                                                          *InterfaceClassGuid, reference, &name);
    if (!NT_SUCCESS(status))
        return status;
    size_t bytes = name.size() * sizeof(WCHAR);
    if (bytes + sizeof(WCHAR) > UNICODE_STRING_MAX_BYTES)
        return STATUS_NAME_TOO_LONG;
    // From the pool as RtlFreeUnicodeString expects it.
    auto* buffer = static_cast<WCHAR*>(std::malloc(bytes + sizeof(WCHAR)));
    if (buffer == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    std::memcpy(buffer, name.c_str(), bytes + sizeof(WCHAR));
    SymbolicLinkName->Buffer = buffer;
    SymbolicLinkName->Length = static_cast<USHORT>(bytes);
    SymbolicLinkName->MaximumLength = static_cast<USHORT>(bytes + sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName, BOOLEAN Enable) {
    const char* routine = "IoSetDeviceInterfaceState";
    if (machine() == nullptr)
        return STATUS_INTERNAL_ERROR;
    checkPassive(routine);
    auto link = nameOf(SymbolicLinkName, routine, "SymbolicLinkName");
    if (!link)
        return STATUS_INVALID_PARAMETER;
    return objectNamespace().setInterfaceState(*link, Enable != FALSE);
}

} // extern "C"
