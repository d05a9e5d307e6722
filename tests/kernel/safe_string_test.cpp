// The safe string routines: capacity is honoured to the byte, truncation reports STATUS_BUFFER_OVERFLOW
// with what fit, and invalid destinations or sources are refused without a write.
#include "tests/support/sim_test.h"

#include <ntstrsafe.h>

#include <gtest/gtest.h>

#include <array>
#include <string>

namespace zv::kernel {
namespace {

using test::SimTest;

constexpr char16_t kSentinel = u'#';

// A destination of `capacity` bytes inside a larger buffer whose tail must stay untouched.
struct Dest {
    std::array<char16_t, 16> buffer;
    UNICODE_STRING string;
    explicit Dest(USHORT capacityBytes, std::u16string_view initial = {}) {
        buffer.fill(kSentinel);
        initial.copy(buffer.data(), initial.size());
        string = {USHORT(initial.size() * 2), capacityBytes, reinterpret_cast<PWSTR>(buffer.data())};
    }
    std::u16string text() const { return std::u16string(buffer.data(), string.Length / 2); }
    bool tailUntouched() const {
        for (size_t i = string.MaximumLength / 2; i < buffer.size(); ++i)
            if (buffer[i] != kSentinel)
                return false;
        return true;
    }
};

UNICODE_STRING counted(const char16_t* s, USHORT length, USHORT maximum) {
    return {length, maximum, const_cast<PWSTR>(s)};
}

class SafeStringTest : public SimTest {};

TEST_F(SafeStringTest, PrintfFitsExactlyOrTruncatesWithoutANul) {
    struct Case {
        USHORT capacity;
        NTSTATUS status;
        std::u16string text;
    };
    const Case cases[] = {
        {10, STATUS_SUCCESS, u"COM7"},       // room to spare: still no NUL counted
        {8, STATUS_SUCCESS, u"COM7"},        // exact fit needs no room for a NUL
        {6, STATUS_BUFFER_OVERFLOW, u"COM"}, // one character short
        {2, STATUS_BUFFER_OVERFLOW, u"C"},   {0, STATUS_BUFFER_OVERFLOW, u""},
    };
    for (const Case& c : cases) {
        Dest d(c.capacity);
        EXPECT_EQ(RtlUnicodeStringPrintf(&d.string, u"COM%d", 7), c.status) << c.capacity;
        EXPECT_EQ(d.text(), c.text) << c.capacity;
        EXPECT_EQ(d.string.MaximumLength, c.capacity);
        EXPECT_TRUE(d.tailUntouched()) << c.capacity;
    }
    // An empty result fits a zero capacity, even with no buffer at all.
    UNICODE_STRING empty{0, 0, nullptr};
    EXPECT_EQ(RtlUnicodeStringPrintf(&empty, u""), STATUS_SUCCESS);
    EXPECT_EQ(empty.Length, 0);
    // Printf replaces what was there.
    Dest d(16, u"old text");
    EXPECT_EQ(RtlUnicodeStringPrintf(&d.string, u"%ws%d", u"n", 1), STATUS_SUCCESS);
    EXPECT_EQ(d.text(), u"n1");
}

TEST_F(SafeStringTest, InvalidDestinationsAreRefusedUntouched) {
    char16_t storage[8] = {};
    struct Case {
        const char* what;
        UNICODE_STRING dest;
    };
    const Case cases[] = {
        {"odd MaximumLength", counted(storage, 0, 7)},
        {"odd Length", counted(storage, 3, 8)},
        {"Length past MaximumLength", counted(storage, 10, 8)},
        {"no buffer with a capacity", counted(nullptr, 0, 8)},
    };
    UNICODE_STRING source = counted(u"ab", 4, 6);
    for (const Case& c : cases) {
        struct Op {
            const char* name;
            NTSTATUS (*run)(PUNICODE_STRING, PCUNICODE_STRING);
        };
        const Op ops[] = {
            {"Printf", [](PUNICODE_STRING d, PCUNICODE_STRING) { return RtlUnicodeStringPrintf(d, u"x"); }},
            {"Copy", [](PUNICODE_STRING d, PCUNICODE_STRING s) { return RtlUnicodeStringCopy(d, s); }},
            {"Cat", [](PUNICODE_STRING d, PCUNICODE_STRING s) { return RtlUnicodeStringCat(d, s); }},
            {"CopyString",
             [](PUNICODE_STRING d, PCUNICODE_STRING) { return RtlUnicodeStringCopyString(d, u"x"); }},
            {"CatString",
             [](PUNICODE_STRING d, PCUNICODE_STRING) { return RtlUnicodeStringCatString(d, u"x"); }},
        };
        for (const Op& op : ops) {
            UNICODE_STRING d = c.dest;
            EXPECT_EQ(op.run(&d, &source), STATUS_INVALID_PARAMETER) << op.name << ": " << c.what;
            EXPECT_EQ(d.Length, c.dest.Length) << op.name << ": " << c.what;
            EXPECT_EQ(storage[0], 0) << op.name << ": " << c.what;
        }
    }
    EXPECT_EQ(RtlUnicodeStringPrintf(nullptr, u"x"), STATUS_INVALID_PARAMETER);
    Dest d(8);
    EXPECT_EQ(RtlUnicodeStringPrintf(&d.string, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringCopyString(&d.string, nullptr), STATUS_INVALID_PARAMETER);
    UNICODE_STRING badSource = counted(u"abc", 3, 8);
    EXPECT_EQ(RtlUnicodeStringCopy(&d.string, &badSource), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlUnicodeStringCat(&d.string, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_TRUE(d.tailUntouched());
    EXPECT_EQ(d.buffer[0], kSentinel);
}

TEST_F(SafeStringTest, CopyAndCatPutWhatFits) {
    enum class Op { Copy, Cat, CopyString, CatString };
    struct Case {
        Op op;
        std::u16string initial;
        USHORT capacity;
        const char16_t* source;
        NTSTATUS status;
        std::u16string text;
    };
    const Case cases[] = {
        {Op::Copy, u"zz", 8, u"abcd", STATUS_SUCCESS, u"abcd"},
        {Op::Copy, u"", 6, u"abcd", STATUS_BUFFER_OVERFLOW, u"abc"},
        {Op::Copy, u"zz", 8, u"", STATUS_SUCCESS, u""},
        {Op::Cat, u"ab", 8, u"cd", STATUS_SUCCESS, u"abcd"},
        {Op::Cat, u"ab", 8, u"cde", STATUS_BUFFER_OVERFLOW, u"abcd"},
        {Op::Cat, u"abcd", 8, u"e", STATUS_BUFFER_OVERFLOW, u"abcd"},
        {Op::Cat, u"abcd", 8, u"", STATUS_SUCCESS, u"abcd"},
        {Op::CopyString, u"", 8, u"abcd", STATUS_SUCCESS, u"abcd"},
        {Op::CopyString, u"", 8, u"abcde", STATUS_BUFFER_OVERFLOW, u"abcd"},
        {Op::CatString, u"a", 8, u"bcd", STATUS_SUCCESS, u"abcd"},
        {Op::CatString, u"a", 6, u"bcd", STATUS_BUFFER_OVERFLOW, u"abc"},
    };
    for (const Case& c : cases) {
        Dest d(c.capacity, c.initial);
        std::u16string src(c.source);
        // The source is a counted string whose buffer is not NUL-terminated at Length.
        std::u16string padded = src + u"XYZ";
        UNICODE_STRING source = counted(padded.c_str(), USHORT(src.size() * 2), USHORT(padded.size() * 2));
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        switch (c.op) {
            case Op::Copy:
                status = RtlUnicodeStringCopy(&d.string, &source);
                break;
            case Op::Cat:
                status = RtlUnicodeStringCat(&d.string, &source);
                break;
            case Op::CopyString:
                status = RtlUnicodeStringCopyString(&d.string, c.source);
                break;
            case Op::CatString:
                status = RtlUnicodeStringCatString(&d.string, c.source);
                break;
        }
        std::string label = std::to_string(int(c.op)) + " onto " + std::to_string(c.initial.size());
        EXPECT_EQ(status, c.status) << label;
        EXPECT_EQ(d.text(), c.text) << label;
        EXPECT_TRUE(d.tailUntouched()) << label;
    }
}

TEST_F(SafeStringTest, TerminatedFormsAlwaysLeaveANul) {
    char narrow[6];
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%s-%d", "ab", 12), STATUS_SUCCESS);
    EXPECT_STREQ(narrow, "ab-12");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, sizeof narrow, "%s-%d", "ab", 123), STATUS_BUFFER_OVERFLOW);
    EXPECT_STREQ(narrow, "ab-12");
    EXPECT_EQ(RtlStringCbPrintfA(narrow, 0, "x"), STATUS_INVALID_PARAMETER);

    char16_t wide[5];
    EXPECT_EQ(RtlStringCchPrintfW(wide, 5, u"COM%u", 4u), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(wide), u"COM4");
    EXPECT_EQ(RtlStringCchPrintfW(wide, 5, u"COM%u", 42u), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(wide), u"COM4");
    EXPECT_EQ(RtlStringCchPrintfW(wide, 5, nullptr), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(wide[0], 0);

    EXPECT_EQ(RtlStringCchCopyW(wide, 5, u"abcdef"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(wide), u"abcd");
    EXPECT_EQ(RtlStringCchCopyW(wide, 3, u"ab"), STATUS_SUCCESS);
    EXPECT_EQ(RtlStringCchCatW(wide, 5, u"cde"), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(wide), u"abcd");
    char16_t full[2] = {u'x', u'y'};
    EXPECT_EQ(RtlStringCchCatW(full, 2, u"z"), STATUS_INVALID_PARAMETER); // no NUL inside the capacity
    EXPECT_EQ(full[1], u'y');
}

TEST_F(SafeStringTest, LengthNeedsANulWithinTheMaximum) {
    struct Case {
        const char16_t* s;
        size_t cbMax;
        NTSTATUS status;
        size_t cb;
    };
    const char16_t unterminated[3] = {u'a', u'b', u'c'};
    const Case cases[] = {
        {u"abc", 8, STATUS_SUCCESS, 6},
        {u"abc", 7, STATUS_INVALID_PARAMETER, 0}, // 3 characters: the NUL is past the maximum
        {unterminated, 6, STATUS_INVALID_PARAMETER, 0},
        {u"", 2, STATUS_SUCCESS, 0},
        {u"abc", 0, STATUS_INVALID_PARAMETER, 0},
        {nullptr, 8, STATUS_INVALID_PARAMETER, 0},
    };
    for (const Case& c : cases) {
        size_t cb = 99;
        EXPECT_EQ(RtlStringCbLengthW(c.s, c.cbMax, &cb), c.status) << c.cbMax;
        EXPECT_EQ(cb, c.cb) << c.cbMax;
    }
    size_t cch = 0;
    EXPECT_EQ(RtlStringCchLengthA("abcd", 5, &cch), STATUS_SUCCESS);
    EXPECT_EQ(cch, 4u);
    EXPECT_EQ(RtlStringCchLengthA("abcd", 4, nullptr), STATUS_INVALID_PARAMETER);
}

} // namespace
} // namespace zv::kernel
