// Text helpers of the kernel component: UTF-8 <-> UTF-16 conversion and the case folding that the
// registry and the counted-string routines compare with. Wide text is char16_t everywhere on the platform
// side; nothing here assumes anything about wchar_t.
//
// The machine's ANSI code page is UTF-8 (Windows offers this as code page 65001). So narrow strings in
// formats, ANSI_STRINGs and .reg files all use the one encoding. Lossy conversions put U+FFFD in place of
// an unpaired surrogate or an invalid byte sequence.
#ifndef ZV_KERNEL_TEXT_H
#define ZV_KERNEL_TEXT_H

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace zv::kernel {

// Strict: nullopt on any invalid sequence (overlong forms, surrogates, values past U+10FFFF included).
std::optional<std::u16string> utf8ToUtf16(std::string_view text);
std::u16string utf8ToUtf16Lossy(std::string_view text);
std::string utf16ToUtf8Lossy(std::u16string_view text);
// True when every surrogate is part of a pair.
bool isWellFormedUtf16(std::u16string_view text);
// Bytes utf16ToUtf8Lossy(text) would produce, without building it.
size_t utf8Length(std::u16string_view text);

// Upper case as the kernel's case-insensitive comparisons use it (one code unit to one code unit): ASCII,
// Latin-1, Latin Extended-A, Greek and Cyrillic; every other unit maps to itself.
char16_t upcase(char16_t c);
// Compares unit by unit after upcase(): <0, 0, >0.
int compareIgnoreCase(std::u16string_view a, std::u16string_view b);
bool equalIgnoreCase(std::u16string_view a, std::u16string_view b);

// Length of a NUL-terminated string, reading at most `max` units; `max` when no NUL was found.
template <class C>
size_t boundedLength(const C* s, size_t max) {
    size_t n = 0;
    while (n < max && s[n] != C(0))
        ++n;
    return n;
}

} // namespace zv::kernel

#endif // ZV_KERNEL_TEXT_H
