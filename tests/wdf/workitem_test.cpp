// Work items: the level and fiber they run on, enqueue while queued or running, flush, deletion (from the
// callback, while queued), serialisation with the parent, creation rules, and the bounded worker pool.
#include "tests/support/sim_test.h"
#include "tests/wdf/serializing_parent.h"

#include "platform/wdf/workitem.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using zv::sim::Irql;
using zv::sim::Lock;
using zv::sim::Scheduler;
using zv::sim::Time;
using zv::test::makeSerializingParent;
using zv::test::SerializingParent;

struct ItemRun {
    WDFWORKITEM item;
    Time time;
    Irql irql;
    std::string fiber;
    bool parentLockHeld;
};

class WorkItemTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        active = this;
    }
    void TearDown() override {
        active = nullptr;
        SimTest::TearDown();
    }

    static void EvtWorkItem(WDFWORKITEM item) { active->onRun(item); }
    static void EvtCleanup(WDFOBJECT) { ++active->cleanups; }

    void onRun(WDFWORKITEM item) {
        Scheduler& s = *Scheduler::current();
        Lock* lock = parent != nullptr ? parent->presentationLock() : nullptr;
        runs.push_back(ItemRun{item, s.now(), s.irql(), s.currentFiber()->name(),
                               lock != nullptr && lock->owner() == s.currentFiber()});
        if (onCallback)
            onCallback(item);
    }

    WDFDEVICE makeParent(std::optional<Lock::Kind> kind = Lock::Kind::Mutex) {
        parentHandle = makeSerializingParent(kind, &parent);
        return parentHandle;
    }

    NTSTATUS tryCreate(WDFWORKITEM* item, bool serialized,
                       WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent) {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, EvtWorkItem);
        config.AutomaticSerialization = serialized ? TRUE : FALSE;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parentHandle;
        attributes.ExecutionLevel = level;
        attributes.EvtCleanupCallback = EvtCleanup;
        return WdfWorkItemCreate(&config, &attributes, item);
    }

    WDFWORKITEM createItem(bool serialized = false) {
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(tryCreate(&item, serialized), STATUS_SUCCESS);
        return item;
    }

    static inline WorkItemTest* active = nullptr;
    SerializingParent* parent = nullptr;
    WDFDEVICE parentHandle = nullptr;
    std::vector<ItemRun> runs;
    int cleanups = 0;
    std::function<void(WDFWORKITEM)> onCallback;
};

TEST_F(WorkItemTest, RunsOnceAtPassiveLevelOnASystemWorker) {
    runInFiber([&] {
        makeParent();
        WDFWORKITEM item = createItem();
        WdfWorkItemEnqueue(item);
        WdfWorkItemEnqueue(item); // still queued: nothing more
        EXPECT_TRUE(runs.empty()) << "the callback ran on the enqueuing thread";
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].irql, Irql::Passive);
    EXPECT_EQ(runs[0].fiber.rfind("system worker", 0), 0u) << runs[0].fiber;
    EXPECT_FALSE(runs[0].parentLockHeld);
}

TEST_F(WorkItemTest, EnqueuedFromADpcRunsAtPassiveLevel) {
    runInFiber([&] {
        makeParent();
        WDFWORKITEM item = createItem();
        Scheduler::current()->spawnDpc("completion", [item] { WdfWorkItemEnqueue(item); });
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].irql, Irql::Passive);
}

TEST_F(WorkItemTest, ReenqueuedWhileRunningRunsAgain) {
    onCallback = [&](WDFWORKITEM item) {
        if (runs.size() == 1)
            WdfWorkItemEnqueue(item);
    };
    runInFiber([&] {
        makeParent();
        WdfWorkItemEnqueue(createItem());
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(runs.size(), 2u);
}

TEST_F(WorkItemTest, DeleteFromOwnCallback) {
    // The callback deletes its item after asking for another run: the run in progress finishes, the rerun
    // does not happen, and the object goes once the callback has returned.
    onCallback = [&](WDFWORKITEM item) {
        WdfWorkItemEnqueue(item);
        WdfObjectDelete(item);
        EXPECT_EQ(cleanups, 1);
    };
    runInFiber([&] {
        makeParent();
        WdfWorkItemEnqueue(createItem());
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(runs.size(), 1u);
    EXPECT_EQ(cleanups, 1);
}

// Deleting a queued item: at PASSIVE_LEVEL the deletion waits for the run; at DISPATCH_LEVEL it cannot
// wait and the run is dropped.
struct DeleteQueuedCase {
    const char* name;
    bool atDispatch;
    size_t runs;
};
void PrintTo(const DeleteQueuedCase& c, std::ostream* os) {
    *os << c.name;
}

class WorkItemDeleteQueuedTest : public WorkItemTest, public testing::WithParamInterface<DeleteQueuedCase> {};

TEST_P(WorkItemDeleteQueuedTest, RunsOrIsDropped) {
    size_t runsWhenDeleteReturned = 99;
    runInFiber([&] {
        makeParent();
        WDFWORKITEM item = createItem();
        auto enqueueAndDelete = [&, item] {
            WdfWorkItemEnqueue(item);
            WdfObjectDelete(item);
            runsWhenDeleteReturned = runs.size();
        };
        if (GetParam().atDispatch)
            Scheduler::current()->spawnDpc("deleter", enqueueAndDelete);
        else
            enqueueAndDelete();
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(runsWhenDeleteReturned, GetParam().runs);
    EXPECT_EQ(runs.size(), GetParam().runs);
    EXPECT_EQ(cleanups, 1);
}

INSTANTIATE_TEST_SUITE_P(WorkItem, WorkItemDeleteQueuedTest,
                         testing::Values(DeleteQueuedCase{"AtPassiveWaitsForTheRun", false, 1},
                                         DeleteQueuedCase{"AtDispatchDropsIt", true, 0}),
                         [](const testing::TestParamInfo<DeleteQueuedCase>& info) {
                             return info.param.name;
                         });

TEST_F(WorkItemTest, RunAwaitedByTheDeletionCannotQueueAnother) {
    onCallback = [](WDFWORKITEM item) { WdfWorkItemEnqueue(item); };
    runInFiber([&] {
        makeParent();
        WDFWORKITEM item = createItem();
        WdfWorkItemEnqueue(item);
        WdfObjectDelete(item); // waits for the run, which asks for another
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(runs.size(), 1u);
}

TEST_F(WorkItemTest, FlushWaitsForTheQueuedRun) {
    onCallback = [](WDFWORKITEM) { zv::sim::sleepFor(500); };
    runInFiber([&] {
        makeParent();
        WDFWORKITEM item = createItem();
        WdfWorkItemFlush(item); // idle: returns at once
        EXPECT_EQ(Scheduler::current()->now(), 0);
        WdfWorkItemEnqueue(item);
        WdfWorkItemFlush(item);
        EXPECT_EQ(runs.size(), 1u);
        EXPECT_EQ(Scheduler::current()->now(), 500) << "flush returned before the callback finished";
        WdfObjectDelete(parentHandle);
    });
}

TEST_F(WorkItemTest, FlushFromOwnCallbackIsReported) {
    onCallback = [](WDFWORKITEM item) { WdfWorkItemFlush(item); };
    runInFiber([&] {
        makeParent();
        WdfWorkItemEnqueue(createItem());
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(runs.size(), 1u);
    expectViolation(zv::wdf::rule::kWorkItem);
}

TEST_F(WorkItemTest, FlushAtDispatchIsReported) {
    runInFiber([&] {
        makeParent();
        WDFWORKITEM item = createItem();
        Scheduler::current()->spawnDpc("flusher", [item] { WdfWorkItemFlush(item); });
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    expectViolation(zv::sim::rule::kPassiveOnly);
}

TEST_F(WorkItemTest, SerialisedItemWaitsForTheParentLock) {
    runInFiber([&] {
        makeParent(Lock::Kind::Mutex);
        WDFWORKITEM item = createItem(true);
        WdfObjectAcquireLock(parentHandle);
        WdfWorkItemEnqueue(item);
        zv::sim::sleepFor(300);
        EXPECT_TRUE(runs.empty()) << "the callback ran while the test held the parent's lock";
        WdfObjectReleaseLock(parentHandle);
        WdfWorkItemFlush(item);
        WdfObjectDelete(parentHandle);
    });
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].time, 300);
    EXPECT_TRUE(runs[0].parentLockHeld);
}

// A work item runs at PASSIVE_LEVEL, so it can be serialised only with a mutex-kind presentation lock and
// cannot be asked for DISPATCH_LEVEL.
struct CreateCase {
    const char* name;
    std::optional<Lock::Kind> parentLock;
    bool serialized;
    WDF_EXECUTION_LEVEL level;
    NTSTATUS status;
};
void PrintTo(const CreateCase& c, std::ostream* os) {
    *os << c.name;
}

class WorkItemCreateTest : public WorkItemTest, public testing::WithParamInterface<CreateCase> {};

TEST_P(WorkItemCreateTest, LevelAgainstParent) {
    runInFiber([&] {
        makeParent(GetParam().parentLock);
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(tryCreate(&item, GetParam().serialized, GetParam().level), GetParam().status);
        EXPECT_EQ(item != nullptr, NT_SUCCESS(GetParam().status));
        WdfObjectDelete(parentHandle);
    });
}

INSTANTIATE_TEST_SUITE_P(
    WorkItem, WorkItemCreateTest,
    testing::Values(CreateCase{"SerialisedWithMutexParent", Lock::Kind::Mutex, true,
                               WdfExecutionLevelInheritFromParent, STATUS_SUCCESS},
                    CreateCase{"SerialisedWithSpinParentClashes", Lock::Kind::Spin, true,
                               WdfExecutionLevelInheritFromParent, STATUS_INVALID_DEVICE_REQUEST},
                    CreateCase{"NotSerialisedWithSpinParent", Lock::Kind::Spin, false,
                               WdfExecutionLevelInheritFromParent, STATUS_SUCCESS},
                    CreateCase{"SerialisedWithoutParentLock", std::nullopt, true,
                               WdfExecutionLevelInheritFromParent, STATUS_SUCCESS},
                    CreateCase{"DispatchLevelRefused", Lock::Kind::Spin, false, WdfExecutionLevelDispatch,
                               STATUS_INVALID_DEVICE_REQUEST}),
    [](const testing::TestParamInfo<CreateCase>& info) { return info.param.name; });

TEST_F(WorkItemTest, CreateWithoutParentIsRefusedAndReported) {
    runInFiber([&] {
        WDF_WORKITEM_CONFIG config;
        WDF_WORKITEM_CONFIG_INIT(&config, EvtWorkItem);
        WDFWORKITEM item = nullptr;
        EXPECT_EQ(WdfWorkItemCreate(&config, WDF_NO_OBJECT_ATTRIBUTES, &item), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(item, nullptr);
    });
    expectViolation(zv::wdf::rule::kBadParameter);
}

TEST_F(WorkItemTest, GetParentObject) {
    runInFiber([&] {
        makeParent();
        EXPECT_EQ(WdfWorkItemGetParentObject(createItem()), static_cast<WDFOBJECT>(parentHandle));
        WdfObjectDelete(parentHandle);
    });
}

TEST_F(WorkItemTest, MoreBlockingItemsThanWorkersAllRun) {
    // Every callback blocks for a while; the pool is bounded, so later items wait for a free worker, but
    // none is lost and no more than the pool runs at once.
    constexpr size_t kItems = zv::wdf::SystemWorkers::kMaxWorkers + 2;
    size_t inside = 0;
    size_t mostInside = 0;
    onCallback = [&](WDFWORKITEM) {
        mostInside = std::max(mostInside, ++inside);
        zv::sim::sleepFor(1000);
        --inside;
    };
    runInFiber([&] {
        makeParent();
        for (size_t i = 0; i < kItems; ++i)
            WdfWorkItemEnqueue(createItem());
        zv::sim::sleepFor(10'000);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(runs.size(), kItems);
    EXPECT_EQ(mostInside, zv::wdf::SystemWorkers::kMaxWorkers);
    EXPECT_EQ(runs.back().time, 1000) << "the items beyond the pool run when a worker comes back";
}

} // namespace
