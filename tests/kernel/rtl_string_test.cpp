// Counted strings of ntddk.h: initialisation, copy, comparison and the ANSI (UTF-8) conversions in both
// directions, including the caller's-buffer form that converts what fits.
#include "tests/support/sim_test.h"

#include "platform/kernel/machine.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <string>

namespace zv::kernel {
namespace {

using test::SimTest;

std::u16string text(const UNICODE_STRING& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / 2);
}

class RtlStringTest : public SimTest {};

TEST_F(RtlStringTest, InitCountsBytesWithoutTheNul) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"COM7");
    EXPECT_EQ(s.Length, 8);
    EXPECT_EQ(s.MaximumLength, 10);
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.MaximumLength, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    // Longer than a counted string can describe: cut to the longest that fits.
    std::u16string huge(40000, u'x');
    RtlInitUnicodeString(&s, huge.c_str());
    EXPECT_EQ(s.Length, 65532);
    EXPECT_EQ(s.MaximumLength, 65534);
}

TEST_F(RtlStringTest, CopyTruncatesAndTerminatesWhenThereIsRoom) {
    UNICODE_STRING src;
    RtlInitUnicodeString(&src, u"abcd");
    char16_t buffer[6];
    struct Case {
        USHORT capacity;
        std::u16string text;
        bool terminated;
    };
    for (const Case& c : {Case{12, u"abcd", true}, Case{8, u"abcd", false}, Case{4, u"ab", false}}) {
        std::fill(std::begin(buffer), std::end(buffer), u'#');
        UNICODE_STRING dst{0, c.capacity, reinterpret_cast<PWSTR>(buffer)};
        RtlCopyUnicodeString(&dst, &src);
        EXPECT_EQ(text(dst), c.text) << c.capacity;
        EXPECT_EQ(buffer[c.text.size()], c.terminated ? u'\0' : u'#') << c.capacity;
    }
    UNICODE_STRING dst{4, 12, reinterpret_cast<PWSTR>(buffer)};
    RtlCopyUnicodeString(&dst, nullptr);
    EXPECT_EQ(dst.Length, 0);
}

TEST_F(RtlStringTest, ComparisonHonoursCaseInsensitivity) {
    struct Case {
        const char16_t* a;
        const char16_t* b;
        bool caseInsensitive;
        int sign; // of RtlCompareUnicodeString
    };
    const Case cases[] = {
        {u"PortName", u"PortName", false, 0},
        {u"PortName", u"PORTNAME", false, 1},
        {u"PortName", u"PORTNAME", true, 0},
        {u"\u00e9t\u00e9", u"\u00c9T\u00c9", true, 0}, // Latin-1 folds too
        {u"\u0436", u"\u0416", true, 0},               // and Cyrillic
        {u"abc", u"abd", true, -1},
        {u"ab", u"abc", false, -1}, // a prefix sorts first
        {u"", u"", false, 0},
    };
    auto sign = [](LONG v) { return v < 0 ? -1 : v > 0 ? 1 : 0; };
    for (const Case& c : cases) {
        UNICODE_STRING a, b;
        RtlInitUnicodeString(&a, c.a);
        RtlInitUnicodeString(&b, c.b);
        EXPECT_EQ(sign(RtlCompareUnicodeString(&a, &b, c.caseInsensitive)), c.sign);
        EXPECT_EQ(sign(RtlCompareUnicodeString(&b, &a, c.caseInsensitive)), -c.sign);
        EXPECT_EQ(RtlEqualUnicodeString(&a, &b, c.caseInsensitive), c.sign == 0);
    }
}

TEST_F(RtlStringTest, UnicodeToAnsiIntoTheCallersBuffer) {
    struct Case {
        const char16_t* source;
        USHORT capacity;
        NTSTATUS status;
        std::string text;
    };
    const Case cases[] = {
        {u"COM7", 8, STATUS_SUCCESS, "COM7"},
        {u"COM7", 5, STATUS_SUCCESS, "COM7"},         // the NUL just fits
        {u"COM7", 4, STATUS_BUFFER_OVERFLOW, "COM"},  // no room for the NUL: what fits, terminated
        {u"a\u00e9", 3, STATUS_BUFFER_OVERFLOW, "a"}, // a two-byte character is never cut
        {u"a\u00e9", 4, STATUS_SUCCESS, "a\u00e9"},
        {u"x", 0, STATUS_BUFFER_OVERFLOW, ""},
    };
    for (const Case& c : cases) {
        char buffer[8];
        std::fill(std::begin(buffer), std::end(buffer), '#');
        UNICODE_STRING source;
        RtlInitUnicodeString(&source, c.source);
        ANSI_STRING dest{0, c.capacity, c.capacity ? buffer : nullptr};
        EXPECT_EQ(RtlUnicodeStringToAnsiString(&dest, &source, FALSE), c.status) << c.text;
        EXPECT_EQ(std::string(buffer, dest.Length), c.text) << c.text;
        if (c.capacity != 0) {
            EXPECT_EQ(buffer[dest.Length], '\0') << c.text;
        }
        if (c.capacity < sizeof buffer) {
            EXPECT_EQ(buffer[c.capacity], '#') << c.text << ": wrote past the capacity";
        }
    }
}

TEST_F(RtlStringTest, AllocatingConversionsRoundTripAndFree) {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"\\Device\\ZV\u00e90");
    EXPECT_EQ(RtlUnicodeStringToAnsiSize(&source), 14u); // UTF-8 bytes (two for the e-acute) with the NUL
    ANSI_STRING ansi{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&ansi, &source, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(ansi.Buffer), "\\Device\\ZV\u00e90");
    EXPECT_EQ(ansi.MaximumLength, ansi.Length + 1);
    UNICODE_STRING back{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&back, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_TRUE(RtlEqualUnicodeString(&back, &source, FALSE));
    RtlFreeAnsiString(&ansi);
    RtlFreeUnicodeString(&back);
    EXPECT_EQ(ansi.Buffer, nullptr);
    EXPECT_EQ(back.Buffer, nullptr);

    char16_t small[3];
    UNICODE_STRING dest{0, sizeof small, reinterpret_cast<PWSTR>(small)};
    ANSI_STRING in;
    RtlInitAnsiString(&in, "abcd");
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&dest, &in, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text(dest), u"ab");
    EXPECT_EQ(small[2], u'\0');
}

TEST_F(RtlStringTest, BrokenCountedStringsAreReportedAndReadSafely) {
    char16_t buffer[] = u"abXX";
    UNICODE_STRING broken{40, 4, reinterpret_cast<PWSTR>(buffer)}; // Length past MaximumLength
    UNICODE_STRING ab;
    RtlInitUnicodeString(&ab, u"ab");
    EXPECT_TRUE(RtlEqualUnicodeString(&broken, &ab, FALSE)); // only MaximumLength is read
    expectViolation(rule::kInvalidParameter);
}

TEST_F(RtlStringTest, CompareMemoryCountsMatchingBytes) {
    const char a[] = "abcdef";
    const char b[] = "abcxef";
    EXPECT_EQ(RtlCompareMemory(a, b, 6), 3u);
    EXPECT_EQ(RtlCompareMemory(a, a, 6), 6u);
    EXPECT_TRUE(RtlEqualMemory(a, b, 3));
    EXPECT_FALSE(RtlEqualMemory(a, b, 4));
}

} // namespace
} // namespace zv::kernel
