// Key objects and the WdfRegistry* entry points. Every routine here is passive-level only, as the
// registry is paged.
#include "platform/wdf/registry_key.h"

#include "platform/wdf/string.h"

#include <cstring>

namespace zv::wdf {

NTSTATUS openKeyObject(std::u16string_view path, bool createMissing, ACCESS_MASK access,
                       const WDF_OBJECT_ATTRIBUTES* attributes, Object* defaultParent, const char* routine,
                       WDFKEY* out, bool* created) {
    *out = nullptr;
    Object* parent = nullptr;
    // The attributes and the parent first, so that a bad argument leaves the registry untouched.
    NTSTATUS status = prepareCreate(attributes, defaultParent, routine, &parent);
    if (!NT_SUCCESS(status))
        return status;
    kernel::Registry& registry = kernel::registry();
    bool existed = registry.find(path) != nullptr;
    kernel::RegKey* regKey = nullptr;
    status = registry.openKey(path, createMissing, &regKey);
    if (!NT_SUCCESS(status))
        return status;
    Key* key = nullptr;
    status = create<Key>(attributes, parent, routine, &key, regKey, access);
    if (!NT_SUCCESS(status))
        return status;
    if (created != nullptr)
        *created = !existed;
    *out = static_cast<WDFKEY>(key->handle());
    return STATUS_SUCCESS;
}

} // namespace zv::wdf

using namespace zv::wdf;
using zv::kernel::RegType;
using zv::kernel::RegValue;

namespace {

bool checkOut(void* out, const char* routine) {
    if (out != nullptr)
        return true;
    reportViolation(rule::kBadParameter, nullptr, routine, "the output pointer is NULL");
    return false;
}

// The key and the value name every value routine starts with; a failure has been reported.
NTSTATUS keyAndName(WDFKEY handle, PCUNICODE_STRING valueName, const char* routine, Key** key,
                    std::u16string_view* name) {
    enterCall(routine, true);
    *key = resolve<Key>(handle, routine);
    if (*key == nullptr)
        return STATUS_INVALID_HANDLE;
    if (!argumentText(valueName, *key, routine, "value name", name))
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

NTSTATUS openRelative(WDFKEY ParentKey, PCUNICODE_STRING KeyName, bool create, ACCESS_MASK DesiredAccess,
                      PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key, bool* created, const char* routine) {
    enterCall(routine, true);
    if (!checkOut(Key, routine))
        return STATUS_INVALID_PARAMETER;
    *Key = nullptr;
    std::u16string path;
    if (ParentKey != nullptr) {
        auto* parent = resolve<zv::wdf::Key>(ParentKey, routine);
        if (parent == nullptr)
            return STATUS_INVALID_HANDLE;
        if (parent->regKey()->deleted())
            return STATUS_KEY_DELETED;
        path = parent->regKey()->path() + u"\\";
    }
    std::u16string_view name;
    if (!argumentText(KeyName, nullptr, routine, "key name", &name))
        return STATUS_INVALID_PARAMETER;
    if (ParentKey != nullptr && !name.empty() && name.front() == u'\\') {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "a key name relative to a parent cannot start with '\\'");
        return STATUS_OBJECT_PATH_NOT_FOUND;
    }
    path += name;
    return openKeyObject(path, create, DesiredAccess, KeyAttributes, nullptr, routine, Key, created);
}

// Reads a value; the status of the registry (its fault plan included) or STATUS_KEY_DELETED.
NTSTATUS readValue(Key* key, std::u16string_view name, RegValue* value) {
    return zv::kernel::registry().queryValue(key->regKey(), name, value);
}

NTSTATUS writeValue(Key* key, std::u16string_view name, RegValue value) {
    return zv::kernel::registry().setValue(key->regKey(), name, std::move(value));
}

bool stringType(RegType type) {
    return type == RegType::Sz || type == RegType::ExpandSz;
}

// A stored string without its terminating NUL (as the framework hands strings out).
std::u16string_view storedText(const RegValue& value) {
    std::u16string_view text(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
    if (!text.empty() && text.back() == u'\0')
        text.remove_suffix(1);
    return text;
}

} // namespace

EXTERN_C NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                                     PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    return openRelative(ParentKey, KeyName, false, DesiredAccess, KeyAttributes, Key, nullptr,
                        "WdfRegistryOpenKey");
}

EXTERN_C NTSTATUS WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                                       ULONG CreateOptions, PULONG CreateDisposition,
                                       PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key) {
    constexpr const char* routine = "WdfRegistryCreateKey";
    // Volatile keys are not told apart: the machine's registry lives as long as the run, or in a .reg file.
    if ((CreateOptions & ~static_cast<ULONG>(REG_OPTION_VOLATILE)) != 0) {
        enterCall(routine, true);
        reportViolation(rule::kBadParameter, nullptr, routine, "unknown create options");
        return STATUS_INVALID_PARAMETER;
    }
    bool created = false;
    NTSTATUS status =
        openRelative(ParentKey, KeyName, true, DesiredAccess, KeyAttributes, Key, &created, routine);
    if (NT_SUCCESS(status) && CreateDisposition != nullptr)
        *CreateDisposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
    return status;
}

EXTERN_C VOID WdfRegistryClose(WDFKEY Key) {
    constexpr const char* routine = "WdfRegistryClose";
    enterCall(routine, true);
    if (auto* key = resolve<zv::wdf::Key>(Key, routine))
        key->deleteTree();
}

EXTERN_C NTSTATUS WdfRegistryRemoveKey(WDFKEY Key) {
    constexpr const char* routine = "WdfRegistryRemoveKey";
    enterCall(routine, true);
    auto* key = resolve<zv::wdf::Key>(Key, routine);
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    if (key->regKey()->deleted())
        return STATUS_KEY_DELETED;
    NTSTATUS status = zv::kernel::registry().deleteKey(key->regKey()->path());
    // A removed key is closed as well; on failure the driver still owns the handle.
    if (NT_SUCCESS(status))
        key->deleteTree();
    return status;
}

EXTERN_C NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName) {
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, "WdfRegistryRemoveValue", &key, &name);
        !NT_SUCCESS(status))
        return status;
    return zv::kernel::registry().deleteValue(key->regKey(), name);
}

EXTERN_C NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength,
                                        PVOID Value, PULONG ValueLengthQueried, PULONG ValueType) {
    constexpr const char* routine = "WdfRegistryQueryValue";
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, routine, &key, &name); !NT_SUCCESS(status))
        return status;
    if (Value == nullptr && ValueLength != 0) {
        reportViolation(rule::kBadParameter, key, routine, "a length without a buffer");
        return STATUS_INVALID_PARAMETER;
    }
    RegValue value;
    NTSTATUS status = readValue(key, name, &value);
    if (!NT_SUCCESS(status))
        return status;
    auto size = static_cast<ULONG>(value.data.size());
    if (ValueLengthQueried != nullptr)
        *ValueLengthQueried = size;
    if (ValueType != nullptr)
        *ValueType = static_cast<ULONG>(value.type);
    // No buffer (or one too small) asks for the size: nothing is copied.
    if (size > ValueLength)
        return STATUS_BUFFER_OVERFLOW;
    if (size > 0)
        std::memcpy(Value, value.data.data(), size);
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value) {
    constexpr const char* routine = "WdfRegistryQueryULong";
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, routine, &key, &name); !NT_SUCCESS(status))
        return status;
    if (!checkOut(Value, routine))
        return STATUS_INVALID_PARAMETER;
    RegValue value;
    NTSTATUS status = readValue(key, name, &value);
    if (!NT_SUCCESS(status))
        return status;
    std::optional<uint32_t> dword = value.asDword();
    if (!dword)
        return STATUS_OBJECT_TYPE_MISMATCH;
    *Value = *dword;
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                                PUSHORT ValueByteLength, PUNICODE_STRING Value) {
    constexpr const char* routine = "WdfRegistryQueryUnicodeString";
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, routine, &key, &name); !NT_SUCCESS(status))
        return status;
    if (Value != nullptr && Value->MaximumLength > 0 && Value->Buffer == nullptr) {
        reportViolation(rule::kBadParameter, key, routine, "a MaximumLength without a buffer");
        return STATUS_INVALID_PARAMETER;
    }
    RegValue value;
    NTSTATUS status = readValue(key, name, &value);
    if (!NT_SUCCESS(status))
        return status;
    if (!stringType(value.type))
        return STATUS_OBJECT_TYPE_MISMATCH;
    // The buffer must hold the value as stored, terminating NUL included; the string handed back has no NUL.
    if (value.data.size() > UNICODE_STRING_MAX_BYTES)
        return STATUS_BUFFER_OVERFLOW;
    auto required = static_cast<USHORT>(value.data.size());
    if (ValueByteLength != nullptr)
        *ValueByteLength = required;
    USHORT capacity = Value != nullptr ? Value->MaximumLength : 0;
    if (required > capacity)
        return STATUS_BUFFER_OVERFLOW;
    if (Value == nullptr)
        return STATUS_SUCCESS; // an empty value fits in no buffer
    if (required > 0)
        std::memcpy(Value->Buffer, value.data.data(), required);
    Value->Length = static_cast<USHORT>(storedText(value).size() * sizeof(char16_t));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String) {
    constexpr const char* routine = "WdfRegistryQueryString";
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, routine, &key, &name); !NT_SUCCESS(status))
        return status;
    auto* string = resolve<zv::wdf::String>(String, routine);
    if (string == nullptr)
        return STATUS_INVALID_HANDLE;
    RegValue value;
    NTSTATUS status = readValue(key, name, &value);
    if (!NT_SUCCESS(status))
        return status;
    if (!stringType(value.type))
        return STATUS_OBJECT_TYPE_MISMATCH;
    return string->assign(storedText(value)) ? STATUS_SUCCESS : STATUS_BUFFER_OVERFLOW;
}

EXTERN_C NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType,
                                         ULONG ValueLength, PVOID Value) {
    constexpr const char* routine = "WdfRegistryAssignValue";
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, routine, &key, &name); !NT_SUCCESS(status))
        return status;
    switch (ValueType) {
        case REG_NONE:
        case REG_SZ:
        case REG_EXPAND_SZ:
        case REG_BINARY:
        case REG_DWORD:
        case REG_MULTI_SZ:
        case REG_QWORD:
            break;
        default:
            reportViolation(rule::kBadParameter, key, routine,
                            "unknown value type " + std::to_string(ValueType));
            return STATUS_INVALID_PARAMETER;
    }
    if (Value == nullptr && ValueLength != 0) {
        reportViolation(rule::kBadParameter, key, routine, "a length without a buffer");
        return STATUS_INVALID_PARAMETER;
    }
    RegValue value;
    value.type = static_cast<RegType>(ValueType);
    auto* bytes = static_cast<const uint8_t*>(Value);
    value.data.assign(bytes, bytes + (Value != nullptr ? ValueLength : 0));
    return writeValue(key, name, std::move(value));
}

EXTERN_C NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value) {
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, "WdfRegistryAssignULong", &key, &name);
        !NT_SUCCESS(status))
        return status;
    return writeValue(key, name, RegValue::dword(Value));
}

EXTERN_C NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName,
                                                 PCUNICODE_STRING Value) {
    constexpr const char* routine = "WdfRegistryAssignUnicodeString";
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, routine, &key, &name); !NT_SUCCESS(status))
        return status;
    std::u16string_view text;
    if (!argumentText(Value, key, routine, "value", &text))
        return STATUS_INVALID_PARAMETER;
    return writeValue(key, name, RegValue::sz(text));
}

EXTERN_C NTSTATUS WdfRegistryAssignString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String) {
    constexpr const char* routine = "WdfRegistryAssignString";
    std::u16string_view name;
    zv::wdf::Key* key = nullptr;
    if (NTSTATUS status = keyAndName(Key, ValueName, routine, &key, &name); !NT_SUCCESS(status))
        return status;
    auto* string = resolve<zv::wdf::String>(String, routine);
    if (string == nullptr)
        return STATUS_INVALID_HANDLE;
    return writeValue(key, name, RegValue::sz(string->text()));
}
