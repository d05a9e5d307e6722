// UTF-8 <-> UTF-16 conversion and case folding for the kernel component.
#include "platform/kernel/text.h"

#include <cstdint>

namespace zv::kernel {
namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool isHighSurrogate(char16_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool isLowSurrogate(char16_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Decodes one code point at text[i]; returns nullopt (and advances past one byte) on an invalid sequence.
std::optional<char32_t> decodeUtf8(std::string_view text, size_t& i) {
    auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
    uint8_t b0 = byte(i);
    if (b0 < 0x80) {
        ++i;
        return b0;
    }
    size_t extra;
    char32_t cp;
    char32_t min;
    if ((b0 & 0xE0) == 0xC0) {
        extra = 1, cp = b0 & 0x1F, min = 0x80;
    } else if ((b0 & 0xF0) == 0xE0) {
        extra = 2, cp = b0 & 0x0F, min = 0x800;
    } else if ((b0 & 0xF8) == 0xF0) {
        extra = 3, cp = b0 & 0x07, min = 0x10000;
    } else {
        ++i;
        return std::nullopt;
    }
    if (i + extra >= text.size()) {
        ++i;
        return std::nullopt;
    }
    for (size_t k = 1; k <= extra; ++k) {
        uint8_t b = byte(i + k);
        if ((b & 0xC0) != 0x80) {
            ++i;
            return std::nullopt;
        }
        cp = (cp << 6) | (b & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        ++i;
        return std::nullopt;
    }
    i += extra + 1;
    return cp;
}

void appendUtf16(std::u16string& out, char32_t cp) {
    if (cp < 0x10000) {
        out.push_back(static_cast<char16_t>(cp));
    } else {
        cp -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
    }
}

void appendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Walks UTF-16 code points; unpaired surrogates come out as U+FFFD.
template <class F>
void forEachCodePoint(std::u16string_view text, F&& f) {
    for (size_t i = 0; i < text.size(); ++i) {
        char16_t c = text[i];
        if (isHighSurrogate(c) && i + 1 < text.size() && isLowSurrogate(text[i + 1])) {
            f(0x10000 + ((char32_t(c) - 0xD800) << 10) + (char32_t(text[i + 1]) - 0xDC00));
            ++i;
        } else if (isHighSurrogate(c) || isLowSurrogate(c)) {
            f(kReplacement);
        } else {
            f(c);
        }
    }
}

} // namespace

std::optional<std::u16string> utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();) {
        auto cp = decodeUtf8(text, i);
        if (!cp)
            return std::nullopt;
        appendUtf16(out, *cp);
    }
    return out;
}

std::u16string utf8ToUtf16Lossy(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size();)
        appendUtf16(out, decodeUtf8(text, i).value_or(kReplacement));
    return out;
}

std::string utf16ToUtf8Lossy(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    forEachCodePoint(text, [&](char32_t cp) { appendUtf8(out, cp); });
    return out;
}

bool isWellFormedUtf16(std::u16string_view text) {
    for (size_t i = 0; i < text.size(); ++i) {
        if (isHighSurrogate(text[i])) {
            if (i + 1 >= text.size() || !isLowSurrogate(text[i + 1]))
                return false;
            ++i;
        } else if (isLowSurrogate(text[i])) {
            return false;
        }
    }
    return true;
}

size_t utf8Length(std::u16string_view text) {
    size_t n = 0;
    forEachCodePoint(text, [&](char32_t cp) { n += cp < 0x80 ? 1 : cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4; });
    return n;
}

char16_t upcase(char16_t c) {
    if (c < 0x80)
        return (c >= u'a' && c <= u'z') ? char16_t(c - 0x20) : c;
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7)
        return char16_t(c - 0x20);
    if (c == 0xFF)
        return 0x178;
    if (c >= 0x100 && c <= 0x17F) {
        // Latin Extended-A pairs capital/small as even/odd, except two runs that pair odd/even.
        bool oddCapitals = (c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E);
        if (c == 0x131 || c == 0x138 || c == 0x149 || c == 0x17F)
            return c; // dotless i, kra, 'n, long s: no one-unit capital of their own
        if (oddCapitals)
            return (c % 2 == 0) ? char16_t(c - 1) : c;
        return (c % 2 == 1) ? char16_t(c - 1) : c;
    }
    if (c >= 0x3B1 && c <= 0x3C9 && c != 0x3C2)
        return char16_t(c - 0x20);
    if (c == 0x3C2)
        return 0x3A3; // final sigma
    if (c >= 0x430 && c <= 0x44F)
        return char16_t(c - 0x20);
    if (c >= 0x450 && c <= 0x45F)
        return char16_t(c - 0x50);
    return c;
}

int compareIgnoreCase(std::u16string_view a, std::u16string_view b) {
    size_t n = a.size() < b.size() ? a.size() : b.size();
    for (size_t i = 0; i < n; ++i) {
        char16_t x = upcase(a[i]);
        char16_t y = upcase(b[i]);
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.size() == b.size())
        return 0;
    return a.size() < b.size() ? -1 : 1;
}

bool equalIgnoreCase(std::u16string_view a, std::u16string_view b) {
    return a.size() == b.size() && compareIgnoreCase(a, b) == 0;
}

} // namespace zv::kernel
