// The safe string routines of ntstrsafe.h. One template per operation serves the narrow and wide
// NUL-terminated forms; the UNICODE_STRING forms share a validation and a "put what fits" step. Every
// formatted result comes from the shared printf engine, bounded by the destination's capacity.
#include <ntstrsafe.h>

#include "platform/kernel/format.h"
#include "platform/kernel/text.h"

#include <cstring>
#include <string>

namespace zv::kernel {
namespace {

// Platform code sees WCHAR as char16_t; the engine and helpers are written for that.
static_assert(sizeof(WCHAR) == sizeof(char16_t));

// ---- NUL-terminated buffers ----

template <class C>
bool validCch(const C* dest, size_t cch) {
    return dest != nullptr && cch != 0 && cch <= NTSTRSAFE_MAX_CCH;
}

// Copies up to cch-1 units of src (ending at its NUL) to dest and terminates it.
template <class C>
NTSTATUS copyInto(C* dest, size_t cch, const C* src) {
    size_t n = boundedLength(src, cch);
    bool truncated = n == cch;
    if (truncated)
        n = cch - 1;
    std::memmove(dest, src, n * sizeof(C));
    dest[n] = C(0);
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <class C>
NTSTATUS cchCopy(C* dest, size_t cch, const C* src) {
    if (!validCch(dest, cch))
        return STATUS_INVALID_PARAMETER;
    if (src == nullptr) {
        dest[0] = C(0);
        return STATUS_INVALID_PARAMETER;
    }
    return copyInto(dest, cch, src);
}

template <class C>
NTSTATUS cchCat(C* dest, size_t cch, const C* src) {
    if (!validCch(dest, cch) || src == nullptr)
        return STATUS_INVALID_PARAMETER;
    size_t have = boundedLength(dest, cch);
    if (have == cch)
        return STATUS_INVALID_PARAMETER;
    return copyInto(dest + have, cch - have, src);
}

template <class C>
std::basic_string<C> formatAny(const C* format, va_list args, size_t limit, bool* truncated) {
    if constexpr (sizeof(C) == 1)
        return formatNarrow(format, args, limit, truncated);
    else
        return formatWide(format, args, limit, truncated);
}

template <class C>
NTSTATUS cchPrintf(C* dest, size_t cch, const C* format, va_list args) {
    if (!validCch(dest, cch))
        return STATUS_INVALID_PARAMETER;
    if (format == nullptr) {
        dest[0] = C(0);
        return STATUS_INVALID_PARAMETER;
    }
    bool truncated = false;
    std::basic_string<C> text = formatAny(format, args, cch - 1, &truncated);
    std::memcpy(dest, text.data(), text.size() * sizeof(C));
    dest[text.size()] = C(0);
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

template <class C>
NTSTATUS cchLength(const C* s, size_t cchMax, size_t* length) {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    size_t n = 0;
    if (s != nullptr && cchMax != 0 && cchMax <= NTSTRSAFE_MAX_CCH) {
        n = boundedLength(s, cchMax);
        if (n < cchMax)
            status = STATUS_SUCCESS;
        else
            n = 0;
    }
    if (length)
        *length = n;
    return status;
}

// A byte capacity past the largest character capacity is invalid; otherwise odd bytes are ignored.
template <class C>
size_t cbToCch(size_t cb) {
    return cb > size_t(NTSTRSAFE_MAX_CCH) * sizeof(C) ? 0 : cb / sizeof(C);
}

// ---- UNICODE_STRING ----

bool validUnicode(const UNICODE_STRING* s) {
    return s != nullptr && (s->Length % 2) == 0 && (s->MaximumLength % 2) == 0 &&
           !(s->Buffer == nullptr && s->MaximumLength != 0) && s->Length <= s->MaximumLength &&
           s->MaximumLength <= NTSTRSAFE_UNICODE_STRING_MAX_CCH * sizeof(WCHAR);
}

char16_t* units(const UNICODE_STRING* s) {
    return reinterpret_cast<char16_t*>(s->Buffer);
}
const char16_t* units(PCWSTR s) {
    return reinterpret_cast<const char16_t*>(s);
}

// Puts `count` units of src at unit offset `at` of dest, as many as fit; sets Length.
NTSTATUS putAt(UNICODE_STRING* dest, size_t at, const char16_t* src, size_t count) {
    size_t capacity = dest->MaximumLength / sizeof(WCHAR);
    size_t room = capacity - at;
    size_t n = count < room ? count : room;
    if (n != 0)
        std::memmove(units(dest) + at, src, n * sizeof(WCHAR));
    dest->Length = static_cast<USHORT>((at + n) * sizeof(WCHAR));
    return n < count ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS putCounted(UNICODE_STRING* dest, size_t at, const UNICODE_STRING* src) {
    if (!validUnicode(dest) || !validUnicode(src))
        return STATUS_INVALID_PARAMETER;
    return putAt(dest, at, units(src), src->Length / sizeof(WCHAR));
}

NTSTATUS putString(UNICODE_STRING* dest, size_t at, PCWSTR src) {
    if (!validUnicode(dest) || src == nullptr)
        return STATUS_INVALID_PARAMETER;
    // Read one unit past the room, to tell a fit from a truncation, and never past the source's NUL.
    size_t room = dest->MaximumLength / sizeof(WCHAR) - at;
    return putAt(dest, at, units(src), boundedLength(units(src), room + 1));
}

} // namespace
} // namespace zv::kernel

using namespace zv::kernel;

extern "C" {

NTSTATUS RtlUnicodeStringInit(PUNICODE_STRING DestinationString, PCWSTR pszSrc) {
    if (DestinationString == nullptr)
        return STATUS_INVALID_PARAMETER;
    DestinationString->Length = 0;
    DestinationString->MaximumLength = 0;
    DestinationString->Buffer = const_cast<PWSTR>(pszSrc);
    if (pszSrc == nullptr)
        return STATUS_SUCCESS;
    size_t n = boundedLength(units(pszSrc), NTSTRSAFE_UNICODE_STRING_MAX_CCH);
    if (n == NTSTRSAFE_UNICODE_STRING_MAX_CCH) {
        DestinationString->Buffer = nullptr;
        return STATUS_INVALID_PARAMETER;
    }
    DestinationString->Length = static_cast<USHORT>(n * sizeof(WCHAR));
    DestinationString->MaximumLength = static_cast<USHORT>((n + 1) * sizeof(WCHAR));
    return STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringVPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, va_list argList) {
    if (!validUnicode(DestinationString) || pszFormat == nullptr)
        return STATUS_INVALID_PARAMETER;
    size_t capacity = DestinationString->MaximumLength / sizeof(WCHAR);
    bool truncated = false;
    std::u16string text = formatWide(units(pszFormat), argList, capacity, &truncated);
    putAt(DestinationString, 0, text.data(), text.size());
    return truncated ? STATUS_BUFFER_OVERFLOW : STATUS_SUCCESS;
}

NTSTATUS RtlUnicodeStringPrintf(PUNICODE_STRING DestinationString, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlUnicodeStringVPrintf(DestinationString, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlUnicodeStringCopy(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    return putCounted(DestinationString, 0, SourceString);
}

NTSTATUS RtlUnicodeStringCat(PUNICODE_STRING DestinationString, PCUNICODE_STRING SourceString) {
    if (!validUnicode(DestinationString))
        return STATUS_INVALID_PARAMETER;
    return putCounted(DestinationString, DestinationString->Length / sizeof(WCHAR), SourceString);
}

NTSTATUS RtlUnicodeStringCopyString(PUNICODE_STRING DestinationString, PCWSTR pszSrc) {
    return putString(DestinationString, 0, pszSrc);
}

NTSTATUS RtlUnicodeStringCatString(PUNICODE_STRING DestinationString, PCWSTR pszSrc) {
    if (!validUnicode(DestinationString))
        return STATUS_INVALID_PARAMETER;
    return putString(DestinationString, DestinationString->Length / sizeof(WCHAR), pszSrc);
}

NTSTATUS RtlStringCchVPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, va_list argList) {
    return cchPrintf(pszDest, cchDest, pszFormat, argList);
}

NTSTATUS RtlStringCchPrintfA(PSTR pszDest, size_t cchDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = cchPrintf(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbVPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, va_list argList) {
    return cchPrintf(pszDest, cbToCch<char>(cbDest), pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfA(PSTR pszDest, size_t cbDest, PCSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = cchPrintf(pszDest, cbToCch<char>(cbDest), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchVPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, va_list argList) {
    return cchPrintf(reinterpret_cast<char16_t*>(pszDest), cchDest, units(pszFormat), argList);
}

NTSTATUS RtlStringCchPrintfW(PWSTR pszDest, size_t cchDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cchDest, pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCbVPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, va_list argList) {
    return RtlStringCchVPrintfW(pszDest, cbToCch<WCHAR>(cbDest), pszFormat, argList);
}

NTSTATUS RtlStringCbPrintfW(PWSTR pszDest, size_t cbDest, PCWSTR pszFormat, ...) {
    va_list args;
    va_start(args, pszFormat);
    NTSTATUS status = RtlStringCchVPrintfW(pszDest, cbToCch<WCHAR>(cbDest), pszFormat, args);
    va_end(args);
    return status;
}

NTSTATUS RtlStringCchCopyA(PSTR pszDest, size_t cchDest, PCSTR pszSrc) {
    return cchCopy(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbCopyA(PSTR pszDest, size_t cbDest, PCSTR pszSrc) {
    return cchCopy(pszDest, cbToCch<char>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchCopyW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    return cchCopy(reinterpret_cast<char16_t*>(pszDest), cchDest, units(pszSrc));
}

NTSTATUS RtlStringCbCopyW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return RtlStringCchCopyW(pszDest, cbToCch<WCHAR>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchCatA(PSTR pszDest, size_t cchDest, PCSTR pszSrc) {
    return cchCat(pszDest, cchDest, pszSrc);
}

NTSTATUS RtlStringCbCatA(PSTR pszDest, size_t cbDest, PCSTR pszSrc) {
    return cchCat(pszDest, cbToCch<char>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchCatW(PWSTR pszDest, size_t cchDest, PCWSTR pszSrc) {
    return cchCat(reinterpret_cast<char16_t*>(pszDest), cchDest, units(pszSrc));
}

NTSTATUS RtlStringCbCatW(PWSTR pszDest, size_t cbDest, PCWSTR pszSrc) {
    return RtlStringCchCatW(pszDest, cbToCch<WCHAR>(cbDest), pszSrc);
}

NTSTATUS RtlStringCchLengthA(PCSTR psz, size_t cchMax, size_t* pcchLength) {
    return cchLength(psz, cchMax, pcchLength);
}

NTSTATUS RtlStringCbLengthA(PCSTR psz, size_t cbMax, size_t* pcbLength) {
    return cchLength(psz, cbMax, pcbLength);
}

NTSTATUS RtlStringCchLengthW(PCWSTR psz, size_t cchMax, size_t* pcchLength) {
    return cchLength(units(psz), cchMax, pcchLength);
}

NTSTATUS RtlStringCbLengthW(PCWSTR psz, size_t cbMax, size_t* pcbLength) {
    size_t cch = 0;
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (cbMax <= size_t(NTSTRSAFE_MAX_CCH) * sizeof(WCHAR))
        status = cchLength(units(psz), cbMax / sizeof(WCHAR), &cch);
    if (pcbLength)
        *pcbLength = NT_SUCCESS(status) ? cch * sizeof(WCHAR) : 0;
    return status;
}

} // extern "C"
