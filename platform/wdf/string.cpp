// String objects, the checks of drivers' counted strings, and the WdfString* entry points.
#include "platform/wdf/string.h"

namespace zv::wdf {

bool String::assign(std::u16string_view text) {
    if (text.size() > UNICODE_STRING_MAX_CHARS - 1)
        return false;
    text_.assign(text);
    return true;
}

UNICODE_STRING String::unicodeString() const {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text_.size() * sizeof(char16_t));
    s.MaximumLength = static_cast<USHORT>(s.Length + sizeof(char16_t));
    s.Buffer = const_cast<char16_t*>(text_.c_str());
    return s;
}

bool textOf(const UNICODE_STRING& s, std::u16string_view* text) {
    if (s.Length % sizeof(char16_t) != 0 || s.Length > s.MaximumLength ||
        (s.Length > 0 && s.Buffer == nullptr))
        return false;
    *text = std::u16string_view(s.Buffer != nullptr ? s.Buffer : u"", s.Length / sizeof(char16_t));
    return true;
}

bool argumentText(PCUNICODE_STRING s, const Object* object, const char* routine, const char* what,
                  std::u16string_view* text) {
    if (s == nullptr) {
        reportViolation(rule::kBadParameter, object, routine, std::string("NULL ") + what);
        return false;
    }
    if (!textOf(*s, text)) {
        reportViolation(rule::kBadParameter, object, routine,
                        std::string("malformed ") + what + " (Length " + std::to_string(s->Length) +
                            ", MaximumLength " + std::to_string(s->MaximumLength) + ")");
        return false;
    }
    return true;
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                                  WDFSTRING* String) {
    constexpr const char* routine = "WdfStringCreate";
    enterCall(routine, true);
    if (String == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *String = nullptr;
    std::u16string_view text;
    if (UnicodeString != nullptr && !argumentText(UnicodeString, nullptr, routine, "string", &text))
        return STATUS_INVALID_PARAMETER;
    zv::wdf::String* string = nullptr;
    NTSTATUS status =
        create<zv::wdf::String>(StringAttributes, nullptr, routine, &string, std::u16string(text));
    if (NT_SUCCESS(status))
        *String = static_cast<WDFSTRING>(string->handle());
    return status;
}

EXTERN_C VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString) {
    constexpr const char* routine = "WdfStringGetUnicodeString";
    enterCall(routine);
    auto* string = resolve<zv::wdf::String>(String, routine);
    if (UnicodeString == nullptr) {
        reportViolation(rule::kBadParameter, string, routine, "NULL UNICODE_STRING");
        return;
    }
    if (string == nullptr) {
        *UnicodeString = UNICODE_STRING{0, 0, nullptr};
        return;
    }
    *UnicodeString = string->unicodeString();
}
