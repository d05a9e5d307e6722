// The registry tree: typed values, case-insensitive names, path rules, deleted keys, and fault plans.
#include "platform/kernel/registry.h"
#include "tests/support/sim_test.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv::kernel {
namespace {

using test::SimTest;

class RegistryTest : public SimTest {
protected:
    RegKey* create(std::u16string_view path) {
        RegKey* key = nullptr;
        EXPECT_EQ(reg.openKey(path, true, &key), STATUS_SUCCESS);
        return key;
    }
    Registry reg;
};

const std::u16string kParams = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\ZvBus\\Parameters";

TEST_F(RegistryTest, ValuesKeepTheirTypeAndBytes) {
    EXPECT_EQ(RegValue::dword(0x0A0B0C0D).data, (std::vector<uint8_t>{0x0D, 0x0C, 0x0B, 0x0A}));
    EXPECT_EQ(RegValue::qword(1).data.size(), 8u);
    EXPECT_EQ(RegValue::sz(u"ab").data, (std::vector<uint8_t>{'a', 0, 'b', 0, 0, 0}));
    EXPECT_EQ(RegValue::sz(u"%x%", RegType::ExpandSz).asString(), u"%x%");
    EXPECT_EQ(RegValue::multiSz({u"a", u"", u"bc"}).asMultiSz(), (std::vector<std::u16string>{u"a", u"bc"}));
    EXPECT_EQ(RegValue::multiSz({}).data, (std::vector<uint8_t>{0, 0}));
    EXPECT_EQ(RegValue::multiSz({}).asMultiSz(), std::vector<std::u16string>{});

    // Readers refuse other types and sizes; strings read up to the first NUL or the end.
    EXPECT_EQ(RegValue::binary({1, 2, 3, 4}).asDword(), std::nullopt);
    RegValue shortDword{RegType::Dword, {1, 2}};
    EXPECT_EQ(shortDword.asDword(), std::nullopt);
    RegValue unterminated{RegType::Sz, {'a', 0, 'b', 0, 'c'}};
    EXPECT_EQ(unterminated.asString(), u"ab");
    RegValue early{RegType::Sz, {'a', 0, 0, 0, 'b', 0}};
    EXPECT_EQ(early.asString(), u"a");
    EXPECT_EQ(RegValue::dword(1).asString(), std::nullopt);
}

TEST_F(RegistryTest, NamesCompareWithoutCaseAndKeepTheirFirstSpelling) {
    RegKey* key = create(kParams);
    RegKey* again = nullptr;
    ASSERT_EQ(reg.openKey(u"\\REGISTRY\\machine\\SYSTEM\\currentcontrolset\\services\\ZVBUS\\\\parameters\\",
                          false, &again),
              STATUS_SUCCESS);
    EXPECT_EQ(again, key);
    EXPECT_EQ(key->path(), kParams);

    ASSERT_EQ(reg.setValue(key, u"DebugLevel", RegValue::dword(3)), STATUS_SUCCESS);
    ASSERT_EQ(reg.setValue(key, u"DEBUGLEVEL", RegValue::dword(5)), STATUS_SUCCESS);
    auto values = key->values();
    ASSERT_EQ(values.size(), 1u);
    EXPECT_EQ(values[0].first, u"DebugLevel");
    RegValue v;
    ASSERT_EQ(reg.queryValue(key, u"debuglevel", &v), STATUS_SUCCESS);
    EXPECT_EQ(v.asDword(), 5u);

    EXPECT_EQ(reg.queryValue(key, u"Missing", &v), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(reg.deleteValue(key, u"DEBUGlevel"), STATUS_SUCCESS);
    EXPECT_EQ(reg.deleteValue(key, u"DebugLevel"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(reg.setValue(key, u"bad\nname", RegValue::dword(1)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(reg.setValue(nullptr, u"x", RegValue::dword(1)), STATUS_INVALID_HANDLE);
}

TEST_F(RegistryTest, PathsAreAbsoluteUnderRegistry) {
    struct Case {
        std::u16string path;
        bool create;
        NTSTATUS status;
    };
    const Case cases[] = {
        {u"", false, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"Registry\\Machine", false, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Device\\Serial0", true, STATUS_OBJECT_PATH_SYNTAX_BAD},
        {u"\\Registry\\Machine\\Nope", false, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\Machine\\Nope\\Deeper", false, STATUS_OBJECT_NAME_NOT_FOUND},
        {u"\\Registry\\NewHive", true, STATUS_ACCESS_DENIED},
        {u"\\Registry\\Machine\\" + std::u16string(256, u'k'), true, STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\Machine\\line\nbreak", true, STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\Machine\\" + std::u16string(1, char16_t(0xD800)), true, STATUS_OBJECT_NAME_INVALID},
        {u"\\Registry\\Machine\\" + std::u16string(255, u'k'), true, STATUS_SUCCESS},
        {u"\\\\Registry\\\\Machine\\", false, STATUS_SUCCESS},
        {u"\\Registry", false, STATUS_SUCCESS},
    };
    for (const Case& c : cases) {
        RegKey* key = reinterpret_cast<RegKey*>(1);
        EXPECT_EQ(reg.openKey(c.path, c.create, &key), c.status) << c.path.size();
        EXPECT_EQ(key != nullptr, c.status == STATUS_SUCCESS) << c.path.size();
    }
    EXPECT_EQ(reg.openKey(kParams, false, nullptr), STATUS_INVALID_PARAMETER);
    // Creating makes every missing parent.
    RegKey* key = create(u"\\Registry\\User\\.Default\\A\\B\\C");
    EXPECT_EQ(key->parent()->parent()->name(), u"A");
}

TEST_F(RegistryTest, AFreshMachineHasTheSystemsKeys) {
    for (const auto& path : {serialCommPath(), servicesPath(), enumPath(), classPath(), windowsNtPath(),
                             defaultUserPath(), serviceKeyPath(u"x").substr(0, servicesPath().size())}) {
        RegKey* key = nullptr;
        EXPECT_EQ(reg.openKey(path, false, &key), STATUS_SUCCESS) << std::string(path.begin(), path.end());
    }
    EXPECT_EQ(serviceKeyPath(u"ZvBus"), servicesPath() + u"\\ZvBus");
}

TEST_F(RegistryTest, DeletedKeysFailForWhoeverStillHoldsThem) {
    RegKey* params = create(kParams);
    RegKey* child = create(kParams + u"\\Sub");
    ASSERT_EQ(reg.setValue(child, u"v", RegValue::dword(1)), STATUS_SUCCESS);
    const std::u16string service = serviceKeyPath(u"ZvBus");

    ASSERT_EQ(reg.deleteKey(service), STATUS_SUCCESS);
    for (RegKey* stale : {params, child}) {
        EXPECT_TRUE(stale->deleted());
        RegValue v;
        EXPECT_EQ(reg.queryValue(stale, u"v", &v), STATUS_KEY_DELETED);
        EXPECT_EQ(reg.setValue(stale, u"v", RegValue::dword(2)), STATUS_KEY_DELETED);
        EXPECT_EQ(reg.deleteValue(stale, u"v"), STATUS_KEY_DELETED);
    }
    RegKey* key = nullptr;
    EXPECT_EQ(reg.openKey(kParams, false, &key), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(reg.deleteKey(service), STATUS_OBJECT_NAME_NOT_FOUND);
    // A key made again at the same path is a new, empty one.
    RegKey* fresh = create(kParams + u"\\Sub");
    EXPECT_NE(fresh, child);
    EXPECT_TRUE(fresh->values().empty());

    EXPECT_EQ(reg.deleteKey(u"\\Registry\\Machine"), STATUS_CANNOT_DELETE);
    EXPECT_EQ(reg.deleteKey(u"\\Registry"), STATUS_CANNOT_DELETE);
    EXPECT_EQ(reg.deleteKey(u"Machine\\X"), STATUS_OBJECT_PATH_SYNTAX_BAD);
}

TEST_F(RegistryTest, FaultPlansFailChosenOperations) {
    const std::u16string other = serviceKeyPath(u"Other");
    struct Step {
        RegOp op;
        std::u16string path;
        std::u16string value;
        NTSTATUS expected;
    };
    struct Case {
        const char* what;
        std::vector<RegFault> rules;
        std::vector<Step> steps;
    };
    const NTSTATUS F = STATUS_INSUFFICIENT_RESOURCES;
    const NTSTATUS S = STATUS_SUCCESS;
    const Case cases[] = {
        {"open: skip one, fail two, by path in any case",
         {RegFault{RegOp::Open,
                   u"\\REGISTRY\\MACHINE\\system\\CurrentControlSet\\Services\\ZvBus\\PARAMETERS\\", u"", F,
                   1, 2}},
         {{RegOp::Open, kParams, u"", S},
          {RegOp::Open, other, u"", S},
          {RegOp::Open, kParams, u"", F},
          {RegOp::Open, kParams, u"", F},
          {RegOp::Open, kParams, u"", S}}},
        {"query: one value, every time",
         {RegFault{RegOp::Query, kParams, u"InstanceNumber", STATUS_ACCESS_DENIED, 0, -1}},
         {{RegOp::Query, kParams, u"instancenumber", STATUS_ACCESS_DENIED},
          {RegOp::Query, kParams, u"InstanceNumber", STATUS_ACCESS_DENIED},
          {RegOp::Query, kParams, u"DebugLevel", S},
          {RegOp::Query, other, u"InstanceNumber", S}}},
        {"write: any key and value, once",
         {RegFault{RegOp::Write, u"", u"", F, 0, 1}},
         {{RegOp::Write, other, u"a", F}, {RegOp::Write, kParams, u"a", S}, {RegOp::Write, other, u"a", S}}},
        {"delete: after one",
         {RegFault{RegOp::Delete, kParams, u"", F, 1, 1}},
         {{RegOp::Delete, kParams, u"InstanceNumber", S},
          {RegOp::Delete, kParams, u"DebugLevel", F},
          {RegOp::Delete, kParams, u"DebugLevel", S}}},
        {"two rules: both count, the first that fires decides",
         {RegFault{RegOp::Write, kParams, u"", STATUS_ACCESS_DENIED, 1, -1},
          RegFault{RegOp::Write, u"", u"", F, 0, 2}},
         {{RegOp::Write, kParams, u"a", F},
          {RegOp::Write, kParams, u"a", STATUS_ACCESS_DENIED},
          {RegOp::Write, other, u"a", S}}},
    };
    for (const Case& c : cases) {
        Registry r;
        RegKey* key = nullptr;
        for (const auto& path : {kParams, other}) {
            ASSERT_EQ(r.openKey(path, true, &key), S);
            ASSERT_EQ(r.setValue(key, u"InstanceNumber", RegValue::dword(1)), S);
            ASSERT_EQ(r.setValue(key, u"DebugLevel", RegValue::dword(1)), S);
        }
        for (const RegFault& rule : c.rules)
            r.addFault(rule);
        int n = 0;
        for (const Step& step : c.steps) {
            NTSTATUS status = S;
            if (step.op == RegOp::Open) {
                status = r.openKey(step.path, false, &key);
            } else {
                key = r.find(step.path);
                ASSERT_NE(key, nullptr);
                RegValue v;
                if (step.op == RegOp::Query)
                    status = r.queryValue(key, step.value, &v);
                else if (step.op == RegOp::Write)
                    status = r.setValue(key, step.value, RegValue::dword(2));
                else
                    status = r.deleteValue(key, step.value);
            }
            EXPECT_EQ(status, step.expected) << c.what << ", step " << n;
            ++n;
        }
        r.clearFaults();
        EXPECT_EQ(r.openKey(kParams, false, &key), S) << c.what;
        EXPECT_EQ(r.setValue(key, u"a", RegValue::dword(3)), S) << c.what;
    }
}

TEST_F(RegistryTest, EachMachineHasItsOwnRegistry) {
    RegKey* key = nullptr;
    ASSERT_EQ(registry().openKey(kParams, true, &key), STATUS_SUCCESS);
    EXPECT_EQ(&registry(), &sched().service<Registry>());
    {
        sim::Scheduler other;
        EXPECT_NE(&registry(), &sched().service<Registry>());
        EXPECT_EQ(registry().find(kParams), nullptr);
    }
    EXPECT_EQ(registry().find(kParams), key);
}

} // namespace
} // namespace zv::kernel
