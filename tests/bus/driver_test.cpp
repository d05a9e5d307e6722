// The bus driver's entry: the framework driver with its context, the parent collection and its wait lock
// parented to the driver, the debug settings with the bus driver's defaults, and the failure of each
// creation it depends on.
#include "tests/bus/bus_fixture.h"

#include "platform/kernel/registry.h"
#include "platform/wdf/collection.h"
#include "platform/wdf/sync.h"

#include <optional>

namespace {

using zv::kernel::registry;
using zv::kernel::RegValue;
using zv::test::BusDriver;
using zv::test::frameworkFaults;

class BusDriverEntryTest : public zv::test::BusTest {};

void putParameter(std::u16string_view name, RegValue value) {
    zv::kernel::RegKey* key = nullptr;
    ASSERT_EQ(registry().openKey(zv::test::busParametersPath(), true, &key), STATUS_SUCCESS);
    key->setValue(name, std::move(value));
}

TEST_F(BusDriverEntryTest, ImageStartsWithTheBusDefaults) {
    EXPECT_EQ(zv::test::kImageDebugLevel, 5u);
    EXPECT_EQ(zv::test::kImageDebugFlag, 0x1fffu);
}

TEST_F(BusDriverEntryTest, CreatesTheParentCollectionAndItsLockUnderTheDriver) {
    runInFiber([&] {
        BusDriver bus;
        ASSERT_EQ(bus.entryStatus(), STATUS_SUCCESS);
        ASSERT_TRUE(bus.loaded());
        PDRIVER_CONTEXT context = bus.context();
        ASSERT_NE(context, nullptr);

        auto* collection = zv::wdf::resolve<zv::wdf::Collection>(context->ParentFdoCollection, "test");
        auto* lock = zv::wdf::resolve<zv::wdf::WaitLock>(context->ParentFdoCollectionLock, "test");
        ASSERT_NE(collection, nullptr);
        ASSERT_NE(lock, nullptr);
        EXPECT_EQ(collection->parent()->handle(), bus.driver());
        EXPECT_EQ(lock->parent()->handle(), bus.driver());
        EXPECT_EQ(collection->count(), 0u);
    });
    // The banner is the entry's first line.
    EXPECT_EQ(output.rfind("***Bus(Composit Parent) Driver - Built ", 0), 0u) << output;
}

struct SettingsCase {
    const char* name;
    std::optional<RegValue> level;
    std::optional<RegValue> flag;
    ULONG expectLevel;
    ULONG expectFlag;
};

TEST_F(BusDriverEntryTest, DebugSettingsKeepTheBusDefaultsUnlessTheParametersKeySetsThem) {
    const SettingsCase cases[] = {
        {"neither value", std::nullopt, std::nullopt, 5, 0x1fff},
        {"only DebugFlag", std::nullopt, RegValue::dword(0x22), 5, 0x22},
        {"both", RegValue::dword(2), RegValue::dword(0x1), 2, 0x1},
        {"DebugLevel not a dword", RegValue::sz(u"4"), std::nullopt, 5, 0x1fff},
    };
    for (const SettingsCase& c : cases) {
        SCOPED_TRACE(c.name);
        DebugLevel = zv::test::kImageDebugLevel;
        DebugFlag = zv::test::kImageDebugFlag;
        zv::test::ScopedSim sim;
        capture(sim.sched());
        sim.runInFiber([&] {
            if (c.level)
                putParameter(u"DebugLevel", *c.level);
            if (c.flag)
                putParameter(u"DebugFlag", *c.flag);
            BusDriver bus;
            EXPECT_EQ(bus.entryStatus(), STATUS_SUCCESS);
        });
        EXPECT_EQ(DebugLevel, c.expectLevel);
        EXPECT_EQ(DebugFlag, c.expectFlag);
    }
}

struct EntryFailureCase {
    const char* routine;
    NTSTATUS status;
    // The creations that must not have been tried after the failing one.
    std::vector<const char*> notCalled;
    bool settingsRead;
};

TEST_F(BusDriverEntryTest, AFailingCreationFailsTheEntryWithItsStatus) {
    const EntryFailureCase cases[] = {
        {"WdfDriverCreate",
         STATUS_INSUFFICIENT_RESOURCES,
         {"WdfCollectionCreate", "WdfWaitLockCreate"},
         false},
        {"WdfCollectionCreate", STATUS_INSUFFICIENT_RESOURCES, {"WdfWaitLockCreate"}, true},
        {"WdfWaitLockCreate", STATUS_DELETE_PENDING, {}, true},
    };
    for (const EntryFailureCase& c : cases) {
        SCOPED_TRACE(c.routine);
        DebugLevel = zv::test::kImageDebugLevel;
        zv::test::ScopedSim sim;
        capture(sim.sched());
        sim.runInFiber([&] {
            putParameter(u"DebugLevel", RegValue::dword(3));
            frameworkFaults().fail(c.routine, c.status);
            BusDriver bus;
            EXPECT_EQ(bus.entryStatus(), c.status);
            // The driver does not load: the framework driver it made is gone again.
            EXPECT_FALSE(bus.loaded());
            for (const char* routine : c.notCalled)
                for (const auto& call : frameworkFaults().calls())
                    EXPECT_NE(call.routine, routine);
        });
        EXPECT_EQ(DebugLevel, c.settingsRead ? 3u : 5u);
    }
}

} // namespace
