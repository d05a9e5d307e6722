// The kernel's printf dialect, one engine for the narrow and the wide routines (DbgPrint, the safe string
// routines, the drivers' trace sink). Arguments are read as the Windows calling convention passes them:
// %d/%x/%u and the "l" prefix take 32 bits (long is 32-bit on Windows), "h" 16, "hh" 8, "ll"/"I64"/"j" 64,
// "I"/"z"/"t" pointer-sized. The output has the width of the format.
//
// Strings: "%s" and "%c" take the format's own width, "%S" and "%C" the other one; "h" forces narrow and
// "l"/"w" wide. "%Z" (or "%hZ") prints a PANSI_STRING, "%wZ" (or "%lZ") a PUNICODE_STRING; a counted
// string prints at most MaximumLength bytes even when its Length claims more. A NULL string, a NULL
// counted string or one with a NULL buffer prints "(null)". Narrow text crossing into wide output (and
// back) is converted as UTF-8, the machine's ANSI code page.
//
// "%p" prints the pointer as upper-case hex with all its digits (16 on a 64-bit build, 8 on 32-bit), as
// Windows does. Flags '-', '+', ' ', '#', '0', width and precision (also '*') follow C. What the dialect
// does not know (floating point, which kernel code does not print, "%n", an unknown letter, a directive
// cut off by the end of the format) is copied to the output as written and consumes no argument.
#ifndef ZV_KERNEL_FORMAT_H
#define ZV_KERNEL_FORMAT_H

#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>

namespace zv::kernel {

inline constexpr size_t kNoLimit = SIZE_MAX;

// Formats into at most `limit` code units. `truncated` (optional) tells whether the full result was
// longer; formatting stops at the limit, so a huge width costs no memory beyond it. A NULL format gives
// an empty result.
std::string formatNarrow(const char* format, va_list args, size_t limit = kNoLimit,
                         bool* truncated = nullptr);
std::u16string formatWide(const char16_t* format, va_list args, size_t limit = kNoLimit,
                          bool* truncated = nullptr);

std::string narrowPrintf(const char* format, ...);
std::u16string widePrintf(const char16_t* format, ...);

} // namespace zv::kernel

#endif // ZV_KERNEL_FORMAT_H
