// The Rtl registry routines: a root from RTL_REGISTRY_*, a path below it, one value. They go through the
// machine's Registry, so its fault plan applies to them as to the framework's registry calls.
//
// RTL_REGISTRY_OPTIONAL is accepted and has no effect here: it matters only to queries, which this
// platform does not offer. RTL_REGISTRY_HANDLE is not offered either (there are no registry handles).
#include <ntddk.h>

#include "platform/kernel/machine.h"
#include "platform/kernel/registry.h"
#include "platform/sim/scheduler.h"

#include <optional>
#include <string>

namespace zv::kernel {
namespace {

std::u16string_view wide(PCWSTR s) {
    if (s == nullptr)
        return {};
    auto* p = reinterpret_cast<const char16_t*>(s);
    return {p, std::char_traits<char16_t>::length(p)};
}

// The full key name a relative call refers to; nullopt for an unknown root.
std::optional<std::u16string> keyName(ULONG relativeTo, PCWSTR path) {
    std::u16string root;
    switch (relativeTo & ~ULONG(RTL_REGISTRY_OPTIONAL)) {
        case RTL_REGISTRY_ABSOLUTE:
            return std::u16string(wide(path));
        case RTL_REGISTRY_SERVICES:
            root = servicesPath();
            break;
        case RTL_REGISTRY_CONTROL:
            root = controlPath();
            break;
        case RTL_REGISTRY_WINDOWS_NT:
            root = windowsNtPath();
            break;
        case RTL_REGISTRY_DEVICEMAP:
            root = deviceMapPath();
            break;
        case RTL_REGISTRY_USER:
            root = defaultUserPath();
            break;
        default:
            return std::nullopt;
    }
    if (path != nullptr)
        root += u"\\" + std::u16string(wide(path));
    return root;
}

// The common opening of every routine: a machine, passive level, a known root, the key opened.
NTSTATUS openFor(const char* routine, ULONG relativeTo, PCWSTR path, bool create, RegKey** key) {
    sim::Scheduler* m = machine();
    if (m == nullptr)
        return STATUS_INTERNAL_ERROR;
    checkPassive(routine);
    m->preempt();
    auto name = keyName(relativeTo, path);
    if (!name)
        return STATUS_INVALID_PARAMETER;
    if (name->empty())
        return STATUS_OBJECT_PATH_SYNTAX_BAD;
    return m->service<Registry>().openKey(*name, create, key);
}

} // namespace
} // namespace zv::kernel

using namespace zv::kernel;

extern "C" {

NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType,
                               PVOID ValueData, ULONG ValueLength) {
    if (ValueData == nullptr && ValueLength != 0)
        return STATUS_INVALID_PARAMETER;
    RegKey* key = nullptr;
    NTSTATUS status = openFor("RtlWriteRegistryValue", RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status))
        return status;
    RegValue value;
    value.type = static_cast<RegType>(ValueType);
    auto* bytes = static_cast<const uint8_t*>(ValueData);
    value.data.assign(bytes, bytes + ValueLength);
    return registry().setValue(key, wide(ValueName), std::move(value));
}

NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName) {
    RegKey* key = nullptr;
    NTSTATUS status = openFor("RtlDeleteRegistryValue", RelativeTo, Path, false, &key);
    if (!NT_SUCCESS(status))
        return status;
    return registry().deleteValue(key, wide(ValueName));
}

NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path) {
    RegKey* key = nullptr;
    return openFor("RtlCreateRegistryKey", RelativeTo, Path, true, &key);
}

NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path) {
    RegKey* key = nullptr;
    return openFor("RtlCheckRegistryKey", RelativeTo, Path, false, &key);
}

} // extern "C"
