// The .reg text format: the exact text written, a lossless round trip of every type and awkward name,
// malformed input refused with its line and nothing applied, and the deletion syntax.
#include "platform/kernel/registry.h"
#include "platform/kernel/text.h"
#include "tests/support/sim_test.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace zv::kernel {
namespace {

using test::SimTest;

const std::string kHeader = "Windows Registry Editor Version 5.00\n\n";

void expectSameTree(const RegKey& a, const RegKey& b) {
    const std::string where = utf16ToUtf8Lossy(a.path());
    EXPECT_EQ(a.name(), b.name()) << where;
    auto va = a.values();
    auto vb = b.values();
    ASSERT_EQ(va.size(), vb.size()) << where;
    for (size_t i = 0; i < va.size(); ++i) {
        EXPECT_EQ(va[i].first, vb[i].first) << where << " value " << i;
        EXPECT_EQ(*va[i].second, *vb[i].second) << where << " value " << i;
    }
    auto ca = a.children();
    auto cb = b.children();
    ASSERT_EQ(ca.size(), cb.size()) << where;
    for (size_t i = 0; i < ca.size(); ++i)
        expectSameTree(*ca[i], *cb[i]);
}

// The lines of one key's block in saved text.
std::string block(const std::string& text, const std::string& keyLine) {
    size_t start = text.find(keyLine + "\n");
    if (start == std::string::npos)
        return "<no block " + keyLine + ">";
    size_t end = text.find("\n\n", start);
    return text.substr(start, end - start + 1);
}

class RegFileTest : public SimTest {
protected:
    RegKey* create(std::u16string_view path) {
        RegKey* key = nullptr;
        EXPECT_EQ(reg.openKey(path, true, &key), STATUS_SUCCESS);
        return key;
    }
    Registry reg;
};

TEST_F(RegFileTest, WritesTheEditorsFormat) {
    RegKey* key = create(serviceKeyPath(u"ZvBus") + u"\\Parameters");
    std::vector<uint8_t> counting(40);
    for (size_t i = 0; i < counting.size(); ++i)
        counting[i] = uint8_t(i);
    key->setValue(u"", RegValue::sz(u"default"));
    key->setValue(u"Count", RegValue::dword(10));
    key->setValue(u"Quote\"Back\\slash=eq", RegValue::sz(u"C:\\path \"x\""));
    key->setValue(u"Bin", RegValue::binary({0x00, 0xFF}));
    key->setValue(u"Exp", RegValue::sz(u"%a%", RegType::ExpandSz));
    key->setValue(u"Multi", RegValue::multiSz({u"a", u"b"}));
    key->setValue(u"Q", RegValue::qword(1));
    key->setValue(u"None", RegValue{RegType::None, {}});
    key->setValue(u"Odd", RegValue{static_cast<RegType>(0x100), {1}});
    key->setValue(u"Dirty", RegValue{RegType::Sz, {'a', 0}}); // no terminating NUL
    key->setValue(u"Long", RegValue::binary(counting));
    key->setValue(u"\u00c9t\u00e9", RegValue::sz(u"\u65e5\u672c"));
    create(serialCommPath())->setValue(u"\\Device\\ZVSerial0", RegValue::sz(u"COM7"));

    std::string text = reg.saveReg();
    EXPECT_EQ(text.rfind(kHeader + "[HKEY_LOCAL_MACHINE]\n\n[HKEY_LOCAL_MACHINE\\HARDWARE]\n\n", 0), 0u)
        << text;
    EXPECT_EQ(block(text, "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]"),
              "[HKEY_LOCAL_MACHINE\\HARDWARE\\DEVICEMAP\\SERIALCOMM]\n"
              "\"\\\\Device\\\\ZVSerial0\"=\"COM7\"\n");
    EXPECT_EQ(block(text, "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\ZvBus\\Parameters]"),
              "[HKEY_LOCAL_MACHINE\\System\\CurrentControlSet\\Services\\ZvBus\\Parameters]\n"
              "@=\"default\"\n"
              "\"Bin\"=hex:00,ff\n"
              "\"Count\"=dword:0000000a\n"
              "\"Dirty\"=hex(1):61,00\n"
              "\"Exp\"=hex(2):25,00,61,00,25,00,00,00\n"
              "\"Long\"=hex:00,01,02,03,04,05,06,07,08,09,0a,0b,0c,0d,0e,0f,10,11,12,13,14,15,\\\n"
              "  16,17,18,19,1a,1b,1c,1d,1e,1f,20,21,22,23,24,25,26,27\n"
              "\"Multi\"=hex(7):61,00,00,00,62,00,00,00,00,00\n"
              "\"None\"=hex(0):\n"
              "\"Odd\"=hex(100):01\n"
              "\"Q\"=hex(b):01,00,00,00,00,00,00,00\n"
              "\"Quote\\\"Back\\\\slash=eq\"=\"C:\\\\path \\\"x\\\"\"\n"
              "\"\u00c9t\u00e9\"=\"\u65e5\u672c\"\n");
    EXPECT_NE(text.find("\n[HKEY_USERS\\.Default]\n"), std::string::npos);
    EXPECT_EQ(text.substr(text.size() - 2), "\n\n");
}

TEST_F(RegFileTest, RoundTripKeepsEveryValueAndType) {
    RegKey* key = create(u"\\Registry\\Machine\\Software\\Zv\\a]b\\\u041a\u043b\u044e\u0447 \U0001F600");
    std::vector<uint8_t> big(300);
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = uint8_t(i * 7);
    struct Entry {
        std::u16string name;
        RegValue value;
    };
    const Entry entries[] = {
        {u"", RegValue::sz(u"the default")},
        {u"@", RegValue::dword(0)},
        {u"dword", RegValue::dword(0xFFFFFFFF)},
        {u"qword", RegValue::qword(0x0123456789ABCDEFull)},
        {u"sz", RegValue::sz(u"plain")},
        {u"empty sz", RegValue::sz(u"")},
        {u"sz with \"quotes\" and \\backslashes\\", RegValue::sz(u"\"\\\"\\\\")},
        {u"a=b", RegValue::sz(u"x=y")},
        {u" spaces around ", RegValue::sz(u" padded ")},
        {u"[not a key]", RegValue::sz(u"[x]")},
        {u"non-ASCII \u00e9\u20ac\U0001F600", RegValue::sz(u"\u00e9\u20ac\U0001F600\t")},
        {u"sz with a line break", RegValue::sz(u"two\r\nlines")},
        {u"sz with a NUL inside", RegValue{RegType::Sz, {'a', 0, 0, 0, 'b', 0, 0, 0}}},
        {u"sz odd length", RegValue{RegType::Sz, {'a', 0, 'b'}}},
        {u"sz unpaired surrogate", RegValue{RegType::Sz, {0x00, 0xD8, 0, 0}}},
        {u"empty data sz", RegValue{RegType::Sz, {}}},
        {u"expand", RegValue::sz(u"%SystemRoot%\\x", RegType::ExpandSz)},
        {u"multi", RegValue::multiSz({u"one", u"two", u"\u00e9"})},
        {u"empty multi", RegValue::multiSz({})},
        {u"binary", RegValue::binary(big)},
        {u"empty binary", RegValue::binary({})},
        {u"none", RegValue{RegType::None, {1, 2, 3}}},
        {u"short dword", RegValue{RegType::Dword, {1, 2, 3}}},
        {u"big-endian dword type", RegValue{static_cast<RegType>(5), {0, 0, 0, 1}}},
        {u"huge type", RegValue{static_cast<RegType>(0xFFFFFFFF), {9}}},
    };
    for (const Entry& e : entries)
        ASSERT_EQ(reg.setValue(key, e.name, e.value), STATUS_SUCCESS);
    create(u"\\Registry\\User\\.Default\\Empty\\Deeper");

    std::string text = reg.saveReg();
    Registry loaded;
    std::string error;
    ASSERT_TRUE(loaded.loadReg(text, &error)) << error << "\n" << text;
    expectSameTree(reg.root(), loaded.root());
    EXPECT_EQ(loaded.saveReg(), text);
    // Loading the same text again changes nothing: load merges.
    ASSERT_TRUE(loaded.loadReg(text, &error)) << error;
    EXPECT_EQ(loaded.saveReg(), text);
}

TEST_F(RegFileTest, MalformedInputNamesItsLineAndChangesNothing) {
    // Lines 1-4 are valid; the bad text starts on line 5.
    const std::string prefix = kHeader + "[HKEY_LOCAL_MACHINE\\New]\n\"ok\"=dword:1\n";
    struct Case {
        std::string text;
        std::string error; // the message starts with this
    };
    const Case cases[] = {
        {"", "line 1: expected the header"},
        {"REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\New]\n", "line 1: expected the header"},
        {"\n\nWindows Registry Editor Version 4.00\n", "line 3: expected the header"},
        {kHeader + "\"a\"=dword:1\n", "line 3: a value outside any key"},
        {prefix + "[HKEY_CURRENT_USER\\X]\n", "line 5: unknown root key \"HKEY_CURRENT_USER\""},
        {prefix + "[HKEY_LOCAL_MACHINE\\X\n", "line 5: a key line must end with ']'"},
        {prefix + "[HKEY_LOCAL_MACHINE\\a\\\\b]\n", "line 5: empty key name"},
        {prefix + "[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n", "line 5: invalid key name"},
        {prefix + "[-HKEY_LOCAL_MACHINE]\n", "line 5: a root key cannot be deleted"},
        {prefix + "[-HKEY_LOCAL_MACHINE\\New]\n\"a\"=dword:1\n", "line 6: a value under a key being deleted"},
        {prefix + "\"a\"=dword:123456789\n", "line 5: dword: takes 1 to 8 hex digits"},
        {prefix + "\"a\"=dword:xyz\n", "line 5: dword: takes 1 to 8 hex digits"},
        {prefix + "\"a\"=hex:01,zz\n", "line 5: expected a hex byte"},
        {prefix + "\"a\"=hex:01,,02\n", "line 5: expected a hex byte"},
        {prefix + "\"a\"=hex:01,\n", "line 5: expected a hex byte"},
        {prefix + "\"a\"=hex:123\n", "line 5: expected a hex byte"},
        {prefix + "\"a\"=hex(q):01\n", "line 5: hex(N): takes a type"},
        {prefix + "\"a\"=hex(2)01\n", "line 5: hex(N): takes a type"},
        {prefix + "\"a\"=\"unterminated\n", "line 5: missing closing quote"},
        {prefix + "\"a\\n\"=\"x\"\n", "line 5: unknown escape"},
        {prefix + "\"a\"=\"x\" trailing\n", "line 5: unexpected text after the string"},
        {prefix + "\"a\"\n", "line 5: expected '=' after the value name"},
        {prefix + "\"a\"=str(2):x\n", "line 5: unknown value data"},
        {prefix + "\"\xff\"=dword:1\n", "line 5: the quoted text is not valid UTF-8"},
        {prefix + "[HKEY_LOCAL_MACHINE\\\xc0\xaf]\n", "line 5: the key name is not valid UTF-8"},
        {prefix + "garbage\n", "line 5: unexpected line"},
        // A continued line reports the line it started on.
        {prefix + "\"a\"=hex:01,\\\n  02,\\\n  zz\n", "line 5: expected a hex byte"},
        {prefix + "\"a\"=hex:01,\\\n  02\ngarbage\n", "line 7: unexpected line"},
    };
    create(u"\\Registry\\Machine\\New")->setValue(u"ok", RegValue::dword(7));
    const std::string before = reg.saveReg();
    for (const Case& c : cases) {
        std::string error;
        EXPECT_FALSE(reg.loadReg(c.text, &error)) << c.text;
        EXPECT_EQ(error.rfind(c.error, 0), 0u) << "got \"" << error << "\" for\n" << c.text;
        EXPECT_EQ(reg.saveReg(), before) << "half-applied:\n" << c.text;
    }
}

TEST_F(RegFileTest, DeletionSyntaxRemovesKeysAndValues) {
    RegKey* doomed = create(u"\\Registry\\Machine\\Software\\Test\\A\\B");
    RegKey* keep = create(u"\\Registry\\Machine\\Software\\Test\\Keep");
    keep->setValue(u"gone", RegValue::dword(1));
    keep->setValue(u"stay", RegValue::dword(2));
    create(u"\\Registry\\Machine\\Software\\Test\\Again")->setValue(u"old", RegValue::dword(3));

    std::string error;
    ASSERT_TRUE(reg.loadReg(kHeader + "[-HKEY_LOCAL_MACHINE\\Software\\Test\\a]\n\n"
                                      "[HKEY_LOCAL_MACHINE\\Software\\Test\\Keep]\n"
                                      "\"GONE\"=-\n"
                                      "\"never was\"=-\n\n"
                                      "[-HKEY_LOCAL_MACHINE\\Software\\Test\\NeverWas]\n\n"
                                      "[-HKEY_LOCAL_MACHINE\\Software\\Test\\Again]\n"
                                      "[HKEY_LOCAL_MACHINE\\Software\\Test\\Again]\n"
                                      "\"new\"=dword:4\n",
                            &error))
        << error;
    EXPECT_EQ(reg.find(u"\\Registry\\Machine\\Software\\Test\\A"), nullptr);
    EXPECT_TRUE(doomed->deleted()); // a holder of the deleted subtree sees it as deleted
    EXPECT_EQ(keep->value(u"gone"), nullptr);
    ASSERT_NE(keep->value(u"stay"), nullptr);
    RegKey* again = reg.find(u"\\Registry\\Machine\\Software\\Test\\Again");
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->value(u"old"), nullptr);
    EXPECT_EQ(again->value(u"new")->asDword(), 4u);
}

TEST_F(RegFileTest, ReadsTheLooserTextOfOtherWriters) {
    std::string error;
    ASSERT_TRUE(reg.loadReg("\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n"
                            "\r\n"
                            "; a comment\r\n"
                            "[hkey_local_machine\\Software\\Loose]\r\n"
                            "  \"a\" = DWORD:A\r\n"
                            "\"b\"=HEX:0A, B ,\\\r\n"
                            "    c\r\n"
                            "@=\"d\"\r\n",
                            &error))
        << error;
    RegKey* key = reg.find(u"\\Registry\\Machine\\Software\\Loose");
    ASSERT_NE(key, nullptr);
    EXPECT_EQ(key->value(u"a")->asDword(), 10u);
    EXPECT_EQ(key->value(u"b")->data, (std::vector<uint8_t>{0x0A, 0x0B, 0x0C}));
    EXPECT_EQ(key->value(u"")->asString(), u"d");
}

TEST_F(RegFileTest, FilesSaveAndLoadWithClearErrors) {
    create(serviceKeyPath(u"ZvBus") + u"\\Parameters")->setValue(u"NextInstanceNumber", RegValue::dword(3));
    const std::string file = ::testing::TempDir() + "kernel_reg_file_test.reg";
    std::string error;
    ASSERT_TRUE(reg.saveRegFile(file, &error)) << error;
    Registry loaded;
    ASSERT_TRUE(loaded.loadRegFile(file, &error)) << error;
    expectSameTree(reg.root(), loaded.root());

    std::ofstream(file, std::ios::binary) << kHeader << "[HKEY_LOCAL_MACHINE\\X]\n\"a\"=dword:\n";
    EXPECT_FALSE(loaded.loadRegFile(file, &error));
    EXPECT_EQ(error, file + ": line 4: dword: takes 1 to 8 hex digits");
    std::remove(file.c_str());

    EXPECT_FALSE(loaded.loadRegFile(file, &error));
    EXPECT_EQ(error.rfind("cannot read " + file + ": ", 0), 0u) << error;
    const std::string nowhere = ::testing::TempDir() + "no-such-dir/x.reg";
    EXPECT_FALSE(reg.saveRegFile(nowhere, &error));
    EXPECT_EQ(error.rfind("cannot write " + nowhere + ": ", 0), 0u) << error;
}

} // namespace
} // namespace zv::kernel
