// Counted-string routines of ntddk.h: initialisation, copy, comparison, ANSI conversion and the memory
// comparison. A counted string a driver passes in is checked (even Length, Length <= MaximumLength, a
// buffer behind a non-zero Length); a broken one is reported to the verifier and only the part its
// MaximumLength covers is read. Pool buffers of the allocating conversions come from malloc.
#include <ntddk.h>

#include "platform/kernel/machine.h"
#include "platform/kernel/text.h"

#include <cstdlib>
#include <cstring>
#include <string>

namespace zv::kernel {
namespace {

static_assert(sizeof(WCHAR) == sizeof(char16_t));

constexpr size_t kMaxUnicodeChars = UNICODE_STRING_MAX_CHARS - 1; // leaves room for the NUL in 65534 bytes

std::string describe(const void* s) {
    char buf[40];
    std::snprintf(buf, sizeof buf, "UNICODE_STRING %p", s);
    return buf;
}

// The units a counted string holds, after checking it. Null or broken strings read as what is safe.
std::u16string_view view(PCUNICODE_STRING s, const char* routine) {
    if (s == nullptr) {
        reportMisuse(rule::kInvalidParameter, "UNICODE_STRING (null)", routine, "NULL counted string");
        return {};
    }
    size_t bytes = s->Length;
    if ((s->Length % 2) != 0 || s->Length > s->MaximumLength || (s->Buffer == nullptr && s->Length != 0)) {
        reportMisuse(rule::kInvalidParameter, describe(s), routine,
                     "Length " + std::to_string(s->Length) + ", MaximumLength " +
                         std::to_string(s->MaximumLength) + (s->Buffer == nullptr ? ", no buffer" : ""));
        if (s->Buffer == nullptr)
            return {};
        bytes = s->Length < s->MaximumLength ? s->Length : s->MaximumLength;
    }
    return {reinterpret_cast<const char16_t*>(s->Buffer), bytes / 2};
}

bool validTarget(const UNICODE_STRING* s) {
    return (s->MaximumLength % 2) == 0 && !(s->Buffer == nullptr && s->MaximumLength != 0);
}

} // namespace
} // namespace zv::kernel

using namespace zv::kernel;

extern "C" {

VOID RtlInitUnicodeString(PUNICODE_STRING DestinationString, PCWSTR SourceString) {
    if (DestinationString == nullptr) {
        reportMisuse(rule::kInvalidParameter, "UNICODE_STRING (null)", "RtlInitUnicodeString",
                     "NULL destination");
        return;
    }
    DestinationString->Buffer = const_cast<PWSTR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = boundedLength(reinterpret_cast<const char16_t*>(SourceString), kMaxUnicodeChars);
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
}

VOID RtlInitAnsiString(PANSI_STRING DestinationString, PCSTR SourceString) {
    if (DestinationString == nullptr) {
        reportMisuse(rule::kInvalidParameter, "ANSI_STRING (null)", "RtlInitAnsiString", "NULL destination");
        return;
    }
    DestinationString->Buffer = const_cast<PCHAR>(SourceString);
    if (SourceString == nullptr) {
        DestinationString->Length = 0;
        DestinationString->MaximumLength = 0;
        return;
    }
    size_t n = boundedLength(SourceString, size_t(0xFFFE) - 1);
    DestinationString->Length = static_cast<USHORT>(n);
    DestinationString->MaximumLength = static_cast<USHORT>(n + 1);
}

VOID RtlCopyUnicodeString(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (DestinationString == nullptr || !validTarget(DestinationString)) {
        reportMisuse(rule::kInvalidParameter, describe(DestinationString), "RtlCopyUnicodeString",
                     "invalid destination");
        return;
    }
    std::u16string_view src =
        SourceString == nullptr ? std::u16string_view() : view(SourceString, "RtlCopyUnicodeString");
    size_t capacity = DestinationString->MaximumLength / sizeof(WCHAR);
    size_t n = src.size() < capacity ? src.size() : capacity;
    if (n != 0)
        std::memmove(DestinationString->Buffer, src.data(), n * sizeof(WCHAR));
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    if (n < capacity)
        DestinationString->Buffer[n] = 0;
}

BOOLEAN RtlEqualUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    std::u16string_view a = view(String1, "RtlEqualUnicodeString");
    std::u16string_view b = view(String2, "RtlEqualUnicodeString");
    return CaseInSensitive ? equalIgnoreCase(a, b) : a == b;
}

LONG RtlCompareUnicodeString(PCUNICODE_STRING String1, PCUNICODE_STRING String2, BOOLEAN CaseInSensitive) {
    std::u16string_view a = view(String1, "RtlCompareUnicodeString");
    std::u16string_view b = view(String2, "RtlCompareUnicodeString");
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = CaseInSensitive ? upcase(a[i]) : a[i];
        char16_t y = CaseInSensitive ? upcase(b[i]) : b[i];
        if (x != y)
            return LONG(x) - LONG(y);
    }
    return LONG(a.size() * sizeof(WCHAR)) - LONG(b.size() * sizeof(WCHAR));
}

WCHAR RtlUpcaseUnicodeChar(WCHAR SourceCharacter) {
    return upcase(SourceCharacter);
}

ULONG RtlUnicodeStringToAnsiSize(PCUNICODE_STRING UnicodeString) {
    return ULONG(utf8Length(view(UnicodeString, "RtlUnicodeStringToAnsiSize")) + 1);
}

NTSTATUS RtlUnicodeStringToAnsiString(PANSI_STRING DestinationString, PCUNICODE_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (DestinationString == nullptr || SourceString == nullptr)
        return STATUS_INVALID_PARAMETER;
    std::string text = utf16ToUtf8Lossy(view(SourceString, "RtlUnicodeStringToAnsiString"));
    if (text.size() + 1 > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<char*>(std::malloc(text.size() + 1));
        if (buffer == nullptr)
            return STATUS_NO_MEMORY;
        std::memcpy(buffer, text.data(), text.size());
        buffer[text.size()] = '\0';
        DestinationString->Buffer = buffer;
        DestinationString->Length = static_cast<USHORT>(text.size());
        DestinationString->MaximumLength = static_cast<USHORT>(text.size() + 1);
        return STATUS_SUCCESS;
    }
    if (DestinationString->Buffer == nullptr && DestinationString->MaximumLength != 0)
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = STATUS_SUCCESS;
    size_t n = text.size();
    if (n >= DestinationString->MaximumLength) {
        // Convert what fits, leaving room for the NUL, and never cut a character in two.
        status = STATUS_BUFFER_OVERFLOW;
        if (DestinationString->MaximumLength == 0) {
            DestinationString->Length = 0;
            return status;
        }
        n = DestinationString->MaximumLength - 1u;
        while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80)
            --n;
    }
    std::memcpy(DestinationString->Buffer, text.data(), n);
    DestinationString->Buffer[n] = '\0';
    DestinationString->Length = static_cast<USHORT>(n);
    return status;
}

NTSTATUS RtlAnsiStringToUnicodeString(PUNICODE_STRING DestinationString, PCANSI_STRING SourceString,
                                      BOOLEAN AllocateDestinationString) {
    if (DestinationString == nullptr || SourceString == nullptr ||
        (SourceString->Buffer == nullptr && SourceString->Length != 0))
        return STATUS_INVALID_PARAMETER;
    size_t bytes = SourceString->Length < SourceString->MaximumLength ? SourceString->Length
                                                                      : SourceString->MaximumLength;
    std::u16string text = utf8ToUtf16Lossy(std::string_view(SourceString->Buffer, bytes));
    if ((text.size() + 1) * sizeof(WCHAR) > 0xFFFF)
        return STATUS_INVALID_PARAMETER_2;
    if (AllocateDestinationString) {
        auto* buffer = static_cast<WCHAR*>(std::malloc((text.size() + 1) * sizeof(WCHAR)));
        if (buffer == nullptr)
            return STATUS_NO_MEMORY;
        std::memcpy(buffer, text.data(), text.size() * sizeof(WCHAR));
        buffer[text.size()] = 0;
        DestinationString->Buffer = buffer;
        DestinationString->Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
        DestinationString->MaximumLength = static_cast<USHORT>((text.size() + 1) * sizeof(WCHAR));
        return STATUS_SUCCESS;
    }
    if (!validTarget(DestinationString))
        return STATUS_INVALID_PARAMETER;
    size_t capacity = DestinationString->MaximumLength / sizeof(WCHAR);
    NTSTATUS status = STATUS_SUCCESS;
    size_t n = text.size();
    if (n >= capacity) {
        status = STATUS_BUFFER_OVERFLOW;
        if (capacity == 0) {
            DestinationString->Length = 0;
            return status;
        }
        n = capacity - 1;
        if (n > 0 && text[n - 1] >= 0xD800 && text[n - 1] <= 0xDBFF)
            --n; // keep surrogate pairs whole
    }
    std::memcpy(DestinationString->Buffer, text.data(), n * sizeof(WCHAR));
    DestinationString->Buffer[n] = 0;
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    return status;
}

VOID RtlFreeAnsiString(PANSI_STRING AnsiString) {
    if (AnsiString == nullptr)
        return;
    std::free(AnsiString->Buffer);
    AnsiString->Buffer = nullptr;
    AnsiString->Length = 0;
    AnsiString->MaximumLength = 0;
}

VOID RtlFreeUnicodeString(PUNICODE_STRING UnicodeString) {
    if (UnicodeString == nullptr)
        return;
    std::free(UnicodeString->Buffer);
    UnicodeString->Buffer = nullptr;
    UnicodeString->Length = 0;
    UnicodeString->MaximumLength = 0;
}

SIZE_T RtlCompareMemory(const VOID* Source1, const VOID* Source2, SIZE_T Length) {
    if (Length != 0 && (Source1 == nullptr || Source2 == nullptr)) {
        reportMisuse(rule::kInvalidParameter, "memory (null)", "RtlCompareMemory", "NULL buffer");
        return 0;
    }
    auto* a = static_cast<const unsigned char*>(Source1);
    auto* b = static_cast<const unsigned char*>(Source2);
    SIZE_T n = 0;
    while (n < Length && a[n] == b[n])
        ++n;
    return n;
}

} // extern "C"
