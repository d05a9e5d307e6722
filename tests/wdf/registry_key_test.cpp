// Registry keys through the framework: value queries by type, string queries with buffers of every size,
// assignments, key creation and removal, and the registry's fault plan reaching the caller.
#include "tests/support/sim_test.h"
#include "tests/wdf/framework_test.h"

#include "platform/kernel/registry.h"
#include "platform/wdf/object.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <optional>
#include <ostream>
#include <string>

namespace {

using zv::kernel::RegFault;
using zv::kernel::RegKey;
using zv::kernel::RegOp;
using zv::kernel::RegType;
using zv::kernel::RegValue;
using zv::test::UString;

const std::u16string kBase = u"\\Registry\\Machine\\Software\\ZvTest";

class RegistryKeyTest : public zv::test::SimTest {
protected:
    // The test key, created on the platform side with `values` in it.
    static RegKey* baseKey() {
        RegKey* key = nullptr;
        EXPECT_EQ(zv::kernel::registry().openKey(kBase, true, &key), STATUS_SUCCESS);
        return key;
    }
    static WDFKEY openBase() {
        baseKey();
        UString path(kBase);
        WDFKEY key = nullptr;
        EXPECT_EQ(WdfRegistryOpenKey(nullptr, path, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_SUCCESS);
        return key;
    }
};

struct ULongCase {
    const char* name;
    std::optional<RegValue> stored;
    NTSTATUS status;
    ULONG value;
};

void PrintTo(const ULongCase& c, std::ostream* os) {
    *os << c.name;
}

class QueryULongTest : public RegistryKeyTest, public ::testing::WithParamInterface<ULongCase> {};

TEST_P(QueryULongTest, AnswersByTheStoredType) {
    const ULongCase& c = GetParam();
    runInFiber([&] {
        if (c.stored)
            baseKey()->setValue(u"Value", *c.stored);
        WDFKEY key = openBase();
        UString name(u"Value");
        ULONG value = 0xFEEDu;
        EXPECT_EQ(WdfRegistryQueryULong(key, name, &value), c.status);
        EXPECT_EQ(value, c.value);
        WdfRegistryClose(key);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Types, QueryULongTest,
    ::testing::Values(ULongCase{"Absent", std::nullopt, STATUS_OBJECT_NAME_NOT_FOUND, 0xFEEDu},
                      ULongCase{"Dword", RegValue::dword(0x12345678u), STATUS_SUCCESS, 0x12345678u},
                      ULongCase{"String", RegValue::sz(u"5"), STATUS_OBJECT_TYPE_MISMATCH, 0xFEEDu},
                      ULongCase{"FourBinaryBytes", RegValue::binary({1, 0, 0, 0}),
                                STATUS_OBJECT_TYPE_MISMATCH, 0xFEEDu},
                      ULongCase{"Qword", RegValue::qword(1), STATUS_OBJECT_TYPE_MISMATCH, 0xFEEDu}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(RegistryKeyTest, AssignULongCreatesOrReplacesADword) {
    runInFiber([&] {
        baseKey()->setValue(u"Replaced", RegValue::sz(u"text"));
        WDFKEY key = openBase();
        UString created(u"Created"), replaced(u"Replaced");
        EXPECT_EQ(WdfRegistryAssignULong(key, created, 7), STATUS_SUCCESS);
        EXPECT_EQ(WdfRegistryAssignULong(key, replaced, 0xFFFFFFFFu), STATUS_SUCCESS);
        WdfRegistryClose(key);
        EXPECT_EQ(*baseKey()->value(u"Created"), RegValue::dword(7));
        EXPECT_EQ(*baseKey()->value(u"Replaced"), RegValue::dword(0xFFFFFFFFu));
    });
}

TEST_F(RegistryKeyTest, QueryUnicodeStringNeedsRoomForTheStoredTerminator) {
    runInFiber([&] {
        baseKey()->setValue(u"PortName", RegValue::sz(u"COM12"));
        baseKey()->setValue(u"Number", RegValue::dword(1));
        WDFKEY key = openBase();
        UString name(u"PortName");
        constexpr USHORT kStored = 12; // "COM12" and its NUL

        USHORT length = 0;
        EXPECT_EQ(WdfRegistryQueryUnicodeString(key, name, &length, nullptr), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(length, kStored);

        char16_t small[5];
        std::fill(std::begin(small), std::end(small), u'#');
        UNICODE_STRING tooSmall{0, sizeof small, small};
        length = 0;
        EXPECT_EQ(WdfRegistryQueryUnicodeString(key, name, &length, &tooSmall), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(length, kStored);
        EXPECT_EQ(small[0], u'#') << "nothing is written into a buffer that is too small";
        EXPECT_EQ(tooSmall.Length, 0u);

        char16_t exact[6];
        UNICODE_STRING fits{0, sizeof exact, exact};
        EXPECT_EQ(WdfRegistryQueryUnicodeString(key, name, nullptr, &fits), STATUS_SUCCESS);
        EXPECT_EQ(zv::test::text(fits), u"COM12");

        UString number(u"Number");
        EXPECT_EQ(WdfRegistryQueryUnicodeString(key, number, &length, &fits), STATUS_OBJECT_TYPE_MISMATCH);
        WdfRegistryClose(key);
    });
}

TEST_F(RegistryKeyTest, QueryValueGivesTypeAndSizeAndCopiesOnlyWhenItFits) {
    runInFiber([&] {
        baseKey()->setValue(u"Blob", RegValue::binary({1, 2, 3, 4, 5}));
        WDFKEY key = openBase();
        UString name(u"Blob");
        uint8_t buffer[8] = {};
        ULONG size = 0, type = 0;
        EXPECT_EQ(WdfRegistryQueryValue(key, name, 4, buffer, &size, &type), STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(size, 5u);
        EXPECT_EQ(type, static_cast<ULONG>(REG_BINARY));
        EXPECT_EQ(buffer[0], 0);
        EXPECT_EQ(WdfRegistryQueryValue(key, name, sizeof buffer, buffer, &size, &type), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(buffer, "\1\2\3\4\5", 5), 0);
        WdfRegistryClose(key);
    });
}

TEST_F(RegistryKeyTest, AssignsStringsAndRawValuesAndRemovesThem) {
    runInFiber([&] {
        WDFKEY key = openBase();
        UString textName(u"Text"), rawName(u"Raw"), text(u"hello");
        EXPECT_EQ(WdfRegistryAssignUnicodeString(key, textName, text), STATUS_SUCCESS);
        uint64_t raw = 0x0102030405060708ull;
        EXPECT_EQ(WdfRegistryAssignValue(key, rawName, REG_QWORD, sizeof raw, &raw), STATUS_SUCCESS);
        EXPECT_EQ(*baseKey()->value(u"Text"), RegValue::sz(u"hello"));
        EXPECT_EQ(*baseKey()->value(u"Raw"), RegValue::qword(raw));

        EXPECT_EQ(WdfRegistryRemoveValue(key, textName), STATUS_SUCCESS);
        EXPECT_EQ(baseKey()->value(u"Text"), nullptr);
        EXPECT_EQ(WdfRegistryRemoveValue(key, textName), STATUS_OBJECT_NAME_NOT_FOUND);
        WdfRegistryClose(key);
    });
}

TEST_F(RegistryKeyTest, CreatesSubkeysTellingNewFromExistingAndRemovesThem) {
    runInFiber([&] {
        WDFKEY base = openBase();
        UString name(u"Child\\Grandchild");
        WDFKEY key = nullptr;
        EXPECT_EQ(WdfRegistryOpenKey(base, name, KEY_READ, WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(key, nullptr);

        ULONG disposition = 0;
        ASSERT_EQ(WdfRegistryCreateKey(base, name, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &disposition,
                                       WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_SUCCESS);
        EXPECT_EQ(disposition, static_cast<ULONG>(REG_CREATED_NEW_KEY));
        WdfRegistryClose(key);
        ASSERT_EQ(WdfRegistryCreateKey(base, name, KEY_ALL_ACCESS, REG_OPTION_NON_VOLATILE, &disposition,
                                       WDF_NO_OBJECT_ATTRIBUTES, &key),
                  STATUS_SUCCESS);
        EXPECT_EQ(disposition, static_cast<ULONG>(REG_OPENED_EXISTING_KEY));

        EXPECT_EQ(WdfRegistryRemoveKey(key), STATUS_SUCCESS);
        EXPECT_EQ(zv::kernel::registry().find(kBase + u"\\Child\\Grandchild"), nullptr);
        EXPECT_NE(zv::kernel::registry().find(kBase + u"\\Child"), nullptr);
        WdfRegistryClose(base);
        EXPECT_EQ(zv::wdf::objects().liveCount(), 0u) << "a removed key is closed with it";
    });
}

TEST_F(RegistryKeyTest, AKeyRemovedBehindAnOpenHandleFailsItsOperations) {
    runInFiber([&] {
        WDFKEY key = openBase();
        ASSERT_EQ(zv::kernel::registry().deleteKey(kBase), STATUS_SUCCESS);
        UString name(u"Value");
        ULONG value = 0;
        EXPECT_EQ(WdfRegistryQueryULong(key, name, &value), STATUS_KEY_DELETED);
        EXPECT_EQ(WdfRegistryAssignULong(key, name, 1), STATUS_KEY_DELETED);
        WdfRegistryClose(key);
    });
}

TEST_F(RegistryKeyTest, KeyRoutinesArePassiveLevelOnly) {
    runInFiber([&] {
        WDFKEY key = openBase();
        UString name(u"Value");
        zv::sim::Scheduler::current()->setIrql(zv::sim::Irql::Dispatch);
        EXPECT_EQ(WdfRegistryAssignULong(key, name, 1), STATUS_SUCCESS) << "reported, but still carried out";
        zv::sim::Scheduler::current()->setIrql(zv::sim::Irql::Passive);
        WdfRegistryClose(key);
    });
    EXPECT_EQ(expectViolation(zv::sim::rule::kPassiveOnly).size(), 1u);
}

// A fault of the registry and the framework routine whose status it must become.
struct FaultCase {
    const char* name;
    RegOp op;
    NTSTATUS status;
    std::function<NTSTATUS(WDFKEY base)> call;
};

void PrintTo(const FaultCase& c, std::ostream* os) {
    *os << c.name;
}

class RegistryFaultTest : public RegistryKeyTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(RegistryFaultTest, ReachesTheCaller) {
    const FaultCase& c = GetParam();
    runInFiber([&] {
        baseKey()->setValue(u"Value", RegValue::dword(3));
        WDFKEY base = openBase();
        zv::kernel::registry().addFault(RegFault{c.op, {}, {}, c.status});
        EXPECT_EQ(c.call(base), c.status);
        zv::kernel::registry().clearFaults();
        WdfRegistryClose(base);
    });
}

INSTANTIATE_TEST_SUITE_P(Operations, RegistryFaultTest,
                         ::testing::Values(FaultCase{"Open", RegOp::Open, STATUS_ACCESS_DENIED,
                                                     [](WDFKEY base) {
                                                         UString name(u"Sub");
                                                         WDFKEY key = nullptr;
                                                         ULONG disposition = 0;
                                                         NTSTATUS status = WdfRegistryCreateKey(
                                                             base, name, KEY_ALL_ACCESS, 0, &disposition,
                                                             WDF_NO_OBJECT_ATTRIBUTES, &key);
                                                         EXPECT_EQ(key, nullptr);
                                                         return status;
                                                     }},
                                           FaultCase{"Query", RegOp::Query, STATUS_INSUFFICIENT_RESOURCES,
                                                     [](WDFKEY base) {
                                                         UString name(u"Value");
                                                         ULONG value = 0;
                                                         return WdfRegistryQueryULong(base, name, &value);
                                                     }},
                                           FaultCase{"Write", RegOp::Write, STATUS_DEVICE_DATA_ERROR,
                                                     [](WDFKEY base) {
                                                         UString name(u"Value");
                                                         return WdfRegistryAssignULong(base, name, 9);
                                                     }},
                                           FaultCase{"Delete", RegOp::Delete, STATUS_UNSUCCESSFUL,
                                                     [](WDFKEY base) {
                                                         UString name(u"Value");
                                                         return WdfRegistryRemoveValue(base, name);
                                                     }}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
