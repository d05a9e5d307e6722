// The kernel printf dialect, in both widths: the argument sizes of the Windows calling convention,
// flags, width and precision, the string and counted-string conversions, and what the engine does with
// what it does not know.
#include "platform/kernel/debug_output.h"
#include "platform/kernel/format.h"
#include "platform/kernel/text.h"
#include "tests/support/sim_test.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <string>

namespace zv::kernel {
namespace {

using test::SimTest;

std::u16string widen(const char* ascii) {
    return std::u16string(ascii, ascii + std::char_traits<char>::length(ascii));
}

// The same directive and arguments through the narrow and the wide engine; the wide result in UTF-8.
struct Both {
    std::string narrow;
    std::string wide;
};
template <class... A>
Both both(const char* format, A... args) {
    std::u16string wideFormat = widen(format);
    return {narrowPrintf(format, args...), utf16ToUtf8Lossy(widePrintf(wideFormat.c_str(), args...))};
}

std::string pointerDigits(uintptr_t v) {
    std::string s(sizeof(void*) * 2, '0');
    for (size_t i = s.size(); i-- > 0; v >>= 4)
        s[i] = "0123456789ABCDEF"[v & 0xF];
    return s;
}

class FormatTest : public SimTest {};

TEST_F(FormatTest, DirectivesGiveTheSameTextInBothWidths) {
    char16_t wideText[] = u"wide";
    char16_t accented[] = u"\u00e9\u20ac";
    char notTerminated[] = {'a', 'b', 'c', 'd'};
    UNICODE_STRING port{8, 12, const_cast<PWSTR>(u"COM7xx")}; // Length covers "COM7" only
    UNICODE_STRING noBuffer{0, 0, nullptr};
    UNICODE_STRING lying{40, 4, const_cast<PWSTR>(u"ab")}; // Length claims more than the buffer
    ANSI_STRING ansi{3, 4, const_cast<PCHAR>("xyzw")};

    struct Case {
        const char* format;
        Both actual;
        std::string expected;
    };
    const Case cases[] = {
        // Integers take 32 bits unless a prefix says otherwise; "l" is 32-bit as on Windows.
        {"%d", both("%d", -5), "-5"},
        {"%i", both("%i", INT_MIN), "-2147483648"},
        {"%u", both("%u", 0xFFFFFFFFu), "4294967295"},
        {"%ld", both("%ld", -1), "-1"},
        {"%lu", both("%lu", 0xFFFFFFFFu), "4294967295"},
        {"%x", both("%x", 0xC0000001u), "c0000001"},
        {"%X", both("%X", 0xC0000001u), "C0000001"},
        {"%o", both("%o", 8), "10"},
        {"%hd", both("%hd", 0x12345), "9029"},
        {"%hx", both("%hx", 0xFFFF1234u), "1234"},
        {"%hhx", both("%hhx", 0x1FF), "ff"},
        {"%I32x", both("%I32x", 0xDEADBEEFu), "deadbeef"},
        {"%I64x", both("%I64x", 0x0123456789ABCDEFull), "123456789abcdef"},
        {"%I64d", both("%I64d", -1LL), "-1"},
        {"%I64u", both("%I64u", UINT64_MAX), "18446744073709551615"},
        {"%lld", both("%lld", LLONG_MIN), "-9223372036854775808"},
        {"%llx", both("%llx", ~0ull), "ffffffffffffffff"},
        {"%llu", both("%llu", 10000000000ull), "10000000000"},
        {"%Ix", both("%Ix", uintptr_t(0xABCD)), "abcd"},
        {"%Id", both("%Id", intptr_t(-3)), "-3"},
        {"%Iu", both("%Iu", SIZE_MAX), std::to_string(SIZE_MAX)},
        {"%zu", both("%zu", size_t(7)), "7"},
        // Flags, width and precision.
        {"%04x", both("%04x", 42), "002a"},
        {"%02x", both("%02x", 10), "0a"},
        {"%08x", both("%08x", 0x1234), "00001234"},
        {"%02x wider", both("%02x", 0x123), "123"},
        {"%+d", both("%+d", 5), "+5"},
        {"% d", both("% d", 5), " 5"},
        {"%5d", both("%5d", -42), "  -42"},
        {"%05d", both("%05d", -42), "-0042"},
        {"%-5d|", both("%-5d|", 42), "42   |"},
        {"%.3d", both("%.3d", 7), "007"},
        {"%.0d of 0", both("%.0d", 0), ""},
        {"%05.3d", both("%05.3d", 7), "  007"},
        {"%#x", both("%#x", 255), "0xff"},
        {"%#X", both("%#X", 255), "0XFF"},
        {"%#x of 0", both("%#x", 0), "0"},
        {"%#o", both("%#o", 8), "010"},
        {"%*d", both("%*d", 4, 7), "   7"},
        {"%*d negative width", both("%*d|", -3, 7), "7  |"},
        {"%.*d", both("%.*d", 3, 7), "007"},
        // Pointers: every digit, upper case.
        {"%p", both("%p", reinterpret_cast<void*>(0xABCDEF)), pointerDigits(0xABCDEF)},
        {"%p null", both("%p", static_cast<void*>(nullptr)), pointerDigits(0)},
        {"%20p", both("%20p|", reinterpret_cast<void*>(1)),
         std::string(20 - sizeof(void*) * 2, ' ') + pointerDigits(1) + "|"},
        // Strings of an explicit width.
        {"%ws", both("%ws", wideText), "wide"},
        {"%ls", both("%ls", wideText), "wide"},
        {"%hs", both("%hs", "narrow"), "narrow"},
        {"%ws null", both("%ws", static_cast<char16_t*>(nullptr)), "(null)"},
        {"%hs null", both("%hs", static_cast<char*>(nullptr)), "(null)"},
        {"%ws non-ASCII", both("%ws", accented), "\u00e9\u20ac"},
        {"%hs non-ASCII", both("%hs", "\u00e9"), "\u00e9"},
        {"%.3ws", both("%.3ws", wideText), "wid"},
        {"%.2hs unterminated", both("%.2hs", notTerminated), "ab"},
        {"%-6hs|", both("%-6hs|", "ab"), "ab    |"},
        {"%6hs", both("%6hs", "ab"), "    ab"},
        {"%wc", both("%wc", int(u'W')), "W"},
        {"%hc", both("%hc", 'n'), "n"},
        // Counted strings.
        {"%wZ", both("%wZ", &port), "COM7"},
        {"%wZ null", both("%wZ", static_cast<UNICODE_STRING*>(nullptr)), "(null)"},
        {"%wZ no buffer", both("%wZ", &noBuffer), "(null)"},
        {"%wZ Length past MaximumLength", both("%wZ", &lying), "ab"},
        {"%Z", both("%Z", &ansi), "xyz"},
        {"%Z null", both("%Z", static_cast<ANSI_STRING*>(nullptr)), "(null)"},
        // Percent signs and what the dialect does not know: copied, no argument taken.
        {"%%", both("100%%"), "100%"},
        {"%y", both("%y %d", 5), "%y 5"},
        {"%f", both("%f %d", 3), "%f 3"},
        {"%n", both("%n%d", 4), "%n4"},
        {"cut-off directive", both("abc%5"), "abc%5"},
        {"lone percent", both("abc%"), "abc%"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.actual.narrow, c.expected) << "narrow " << c.format;
        EXPECT_EQ(c.actual.wide, c.expected) << "wide " << c.format;
    }
}

TEST_F(FormatTest, PlainStringAndCharacterTakeTheFormatsOwnWidth) {
    char16_t wideText[] = u"wide";
    EXPECT_EQ(narrowPrintf("%s|%S", "narrow", wideText), "narrow|wide");
    EXPECT_EQ(widePrintf(u"%s|%S", wideText, "narrow"), u"wide|narrow");
    EXPECT_EQ(narrowPrintf("%c%C", 'a', int(u'\u0416')), "a\u0416");
    EXPECT_EQ(widePrintf(u"%c%C", int(u'\u0416'), 'a'), u"\u0416a");
    EXPECT_EQ(narrowPrintf("%s", static_cast<char*>(nullptr)), "(null)");
    EXPECT_EQ(widePrintf(u"%s", static_cast<char16_t*>(nullptr)), u"(null)");
    // Text of the format itself passes through untouched, in either width.
    EXPECT_EQ(narrowPrintf("\u00e9t\u00e9 %d", 1), "\u00e9t\u00e9 1");
    EXPECT_EQ(widePrintf(u"\u00e9t\u00e9 %d", 1), u"\u00e9t\u00e9 1");
}

std::string limited(size_t limit, bool* truncated, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = formatNarrow(format, args, limit, truncated);
    va_end(args);
    return s;
}

TEST_F(FormatTest, OutputStopsAtTheLimitAndSaysSo) {
    struct Case {
        size_t limit;
        std::string expected;
        bool truncated;
    };
    const Case cases[] = {{7, "COM1234", false}, {8, "COM1234", false}, {6, "COM123", true}, {0, "", true}};
    for (const Case& c : cases) {
        bool truncated = !c.truncated;
        EXPECT_EQ(limited(c.limit, &truncated, "COM%d", 1234), c.expected) << c.limit;
        EXPECT_EQ(truncated, c.truncated) << c.limit;
    }
    // A width far past the limit costs nothing beyond it.
    bool truncated = false;
    EXPECT_EQ(limited(4, &truncated, "%2147483647d", 1), "    ");
    EXPECT_TRUE(truncated);
    EXPECT_EQ(limited(10, &truncated, nullptr), "");
    EXPECT_FALSE(truncated);
}

TEST_F(FormatTest, DbgPrintWritesToTheMachinesDebugOutput) {
    std::string captured;
    sched().service<DebugOutput>().setSink([&](std::string_view text) { captured += text; });
    char16_t name[] = u"ZV";
    DbgPrint("%s %ws 0x%08X\n", "-->", name, 0xC0000001u);
    DbgPrintEx(DPFLTR_IHVDRIVER_ID, 5, "%d", 7);
    EXPECT_EQ(captured, "--> ZV 0xC0000001\n7");
}

} // namespace
} // namespace zv::kernel
