// Framework timers: WdfTimerStart / WdfTimerStop results, firing at the due virtual time, the level and
// fiber of the callback, automatic serialisation with the parent's presentation lock, stop with wait, and
// deletion.
#include "tests/support/sim_test.h"
#include "tests/wdf/serializing_parent.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <optional>
#include <string>
#include <vector>

namespace {

using zv::sim::Irql;
using zv::sim::kMillisecond;
using zv::sim::Lock;
using zv::sim::Scheduler;
using zv::sim::Time;
using zv::test::makeSerializingParent;
using zv::test::SerializingParent;

struct Fire {
    Time time;
    Irql irql;
    bool onDpc;
    std::string fiber;
    bool parentLockHeld;
};

class TimerTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        active = this;
    }
    void TearDown() override {
        active = nullptr;
        SimTest::TearDown();
    }

    static void EvtTimer(WDFTIMER timer) { active->onFire(timer); }

    void onFire(WDFTIMER timer) {
        Scheduler& s = *Scheduler::current();
        Lock* lock = parent != nullptr ? parent->presentationLock() : nullptr;
        fires.push_back(Fire{s.now(), s.irql(), s.currentFiber()->isDpc(), s.currentFiber()->name(),
                             lock != nullptr && lock->owner() == s.currentFiber()});
        if (onCallback)
            onCallback(timer);
    }

    // Makes the parent (its presentation lock of `kind`) that the timers of a test hang off.
    WDFDEVICE makeParent(std::optional<Lock::Kind> kind = Lock::Kind::Spin) {
        parentHandle = makeSerializingParent(kind, &parent);
        return parentHandle;
    }

    NTSTATUS tryCreate(WDFTIMER* timer, WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent,
                       bool serialized = true, LONG periodMs = 0) {
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT_PERIODIC(&config, EvtTimer, periodMs);
        config.AutomaticSerialization = serialized ? TRUE : FALSE;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parentHandle;
        attributes.ExecutionLevel = level;
        return WdfTimerCreate(&config, &attributes, timer);
    }

    WDFTIMER createTimer(WDF_EXECUTION_LEVEL level = WdfExecutionLevelInheritFromParent,
                         bool serialized = true, LONG periodMs = 0) {
        WDFTIMER timer = nullptr;
        EXPECT_EQ(tryCreate(&timer, level, serialized, periodMs), STATUS_SUCCESS);
        return timer;
    }

    std::vector<Time> fireTimes() const {
        std::vector<Time> times;
        for (const Fire& f : fires)
            times.push_back(f.time);
        return times;
    }

    static inline TimerTest* active = nullptr;
    SerializingParent* parent = nullptr;
    WDFDEVICE parentHandle = nullptr;
    std::vector<Fire> fires;
    std::function<void(WDFTIMER)> onCallback;
};

// A script of starts, stops and waits on one timer, with the result each call must give and the virtual
// times at which the callback must run.
struct Step {
    enum Kind { Start, Stop, Sleep } kind;
    LONGLONG arg;
    bool result = false;
};
struct StartStopCase {
    const char* name;
    std::vector<Step> steps;
    std::vector<Time> fireTimes;
};
void PrintTo(const StartStopCase& c, std::ostream* os) {
    *os << c.name;
}

class TimerStartStopTest : public TimerTest, public testing::WithParamInterface<StartStopCase> {};

TEST_P(TimerStartStopTest, ResultsAndFireTimes) {
    runInFiber([&] {
        makeParent();
        WDFTIMER timer = createTimer();
        for (size_t i = 0; i < GetParam().steps.size(); ++i) {
            const Step& step = GetParam().steps[i];
            SCOPED_TRACE("step " + std::to_string(i));
            switch (step.kind) {
                case Step::Start:
                    EXPECT_EQ(WdfTimerStart(timer, step.arg), step.result ? TRUE : FALSE);
                    break;
                case Step::Stop:
                    EXPECT_EQ(WdfTimerStop(timer, FALSE), step.result ? TRUE : FALSE);
                    break;
                case Step::Sleep:
                    zv::sim::sleepFor(step.arg);
                    break;
            }
        }
        zv::sim::sleepFor(10 * zv::sim::kSecond); // anything still armed fires now
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(fireTimes(), GetParam().fireTimes);
}

INSTANTIATE_TEST_SUITE_P(
    Timer, TimerStartStopTest,
    testing::Values(
        StartStopCase{"StartIdleFiresOnceAtRelativeDue", {{Step::Start, -100, false}}, {100}},
        StartStopCase{"StartPendingRearmsToNewDueOnly",
                      {{Step::Start, -100, false}, {Step::Sleep, 50}, {Step::Start, -300, true}},
                      {350}},
        StartStopCase{
            "RearmEarlierThanFirstDue", {{Step::Start, -1000, false}, {Step::Start, -10, true}}, {10}},
        StartStopCase{"StopPendingDequeues", {{Step::Start, -100, false}, {Step::Stop, 0, true}}, {}},
        StartStopCase{"StopIdle", {{Step::Stop, 0, false}}, {}},
        StartStopCase{"StopAfterFired",
                      {{Step::Start, -100, false}, {Step::Sleep, 200}, {Step::Stop, 0, false}},
                      {100}},
        StartStopCase{"StartAgainAfterFired",
                      {{Step::Start, -100, false}, {Step::Sleep, 200}, {Step::Start, -100, false}},
                      {100, 300}},
        StartStopCase{
            "StopTwice", {{Step::Start, -100, false}, {Step::Stop, 0, true}, {Step::Stop, 0, false}}, {}},
        StartStopCase{"PositiveDueIsAbsolute", {{Step::Sleep, 40}, {Step::Start, 500, false}}, {500}},
        StartStopCase{"AbsoluteDueInThePastFiresAtOnce", {{Step::Sleep, 40}, {Step::Start, 10, false}}, {40}},
        StartStopCase{"ZeroDueFiresAtOnce", {{Step::Sleep, 40}, {Step::Start, 0, false}}, {40}}),
    [](const testing::TestParamInfo<StartStopCase>& info) { return info.param.name; });

// Where the callback runs, and whether it holds the parent's presentation lock, by the parent's lock, the
// timer's execution level and automatic serialisation; a level that clashes with the parent's lock fails
// creation.
struct LevelCase {
    const char* name;
    std::optional<Lock::Kind> parentLock;
    WDF_EXECUTION_LEVEL level;
    bool serialized;
    NTSTATUS status;
    Irql irql;
    bool lockHeld;
};
void PrintTo(const LevelCase& c, std::ostream* os) {
    *os << c.name;
}

class TimerLevelTest : public TimerTest, public testing::WithParamInterface<LevelCase> {};

TEST_P(TimerLevelTest, CallbackLevelAndSerialisation) {
    const LevelCase& c = GetParam();
    runInFiber([&] {
        makeParent(c.parentLock);
        WDFTIMER timer = nullptr;
        ASSERT_EQ(tryCreate(&timer, c.level, c.serialized), c.status);
        if (NT_SUCCESS(c.status)) {
            WdfTimerStart(timer, -10);
            zv::sim::sleepFor(100);
        } else {
            EXPECT_EQ(timer, nullptr);
        }
        WdfObjectDelete(parentHandle);
    });
    if (!NT_SUCCESS(c.status)) {
        EXPECT_TRUE(fires.empty());
        return;
    }
    ASSERT_EQ(fires.size(), 1u);
    EXPECT_EQ(fires[0].time, 10);
    EXPECT_EQ(fires[0].irql, c.irql);
    EXPECT_EQ(fires[0].onDpc, c.irql == Irql::Dispatch);
    if (c.irql == Irql::Passive) {
        EXPECT_EQ(fires[0].fiber.rfind("system worker", 0), 0u) << fires[0].fiber;
    }
    EXPECT_EQ(fires[0].parentLockHeld, c.lockHeld);
}

INSTANTIATE_TEST_SUITE_P(
    Timer, TimerLevelTest,
    testing::Values(LevelCase{"SpinParentSerialised", Lock::Kind::Spin, WdfExecutionLevelInheritFromParent,
                              true, STATUS_SUCCESS, Irql::Dispatch, true},
                    LevelCase{"SpinParentNotSerialised", Lock::Kind::Spin, WdfExecutionLevelInheritFromParent,
                              false, STATUS_SUCCESS, Irql::Dispatch, false},
                    LevelCase{"MutexParentSerialisedIsPassive", Lock::Kind::Mutex,
                              WdfExecutionLevelInheritFromParent, true, STATUS_SUCCESS, Irql::Passive, true},
                    LevelCase{"MutexParentNotSerialisedIsDpc", Lock::Kind::Mutex,
                              WdfExecutionLevelInheritFromParent, false, STATUS_SUCCESS, Irql::Dispatch,
                              false},
                    LevelCase{"PassiveNotSerialised", Lock::Kind::Spin, WdfExecutionLevelPassive, false,
                              STATUS_SUCCESS, Irql::Passive, false},
                    LevelCase{"NoParentLockSerialised", std::nullopt, WdfExecutionLevelInheritFromParent,
                              true, STATUS_SUCCESS, Irql::Dispatch, false},
                    LevelCase{"PassiveWithSpinParentClashes", Lock::Kind::Spin, WdfExecutionLevelPassive,
                              true, STATUS_INVALID_DEVICE_REQUEST, Irql::Passive, false},
                    LevelCase{"DispatchWithMutexParentClashes", Lock::Kind::Mutex, WdfExecutionLevelDispatch,
                              true, STATUS_INVALID_DEVICE_REQUEST, Irql::Dispatch, false}),
    [](const testing::TestParamInfo<LevelCase>& info) { return info.param.name; });

TEST_F(TimerTest, SerialisedCallbackWaitsForTheParentLock) {
    runInFiber([&] {
        makeParent(Lock::Kind::Mutex);
        WDFTIMER timer = createTimer();
        WdfObjectAcquireLock(parentHandle);
        WdfTimerStart(timer, -100);
        zv::sim::sleepFor(500);
        EXPECT_TRUE(fires.empty()) << "the callback ran while the test held the parent's lock";
        WdfObjectReleaseLock(parentHandle);
        zv::sim::sleepFor(1);
        WdfObjectDelete(parentHandle);
    });
    ASSERT_EQ(fires.size(), 1u);
    EXPECT_EQ(fires[0].time, 500);
}

TEST_F(TimerTest, StopWithWaitReturnsOnlyAfterTheRunningCallback) {
    bool finished = false;
    onCallback = [&](WDFTIMER) {
        zv::sim::sleepFor(kMillisecond);
        finished = true;
    };
    runInFiber([&] {
        makeParent(Lock::Kind::Mutex);
        WDFTIMER timer = createTimer();
        WdfTimerStart(timer, -10);
        zv::sim::sleepFor(20); // the callback is now inside its sleep
        ASSERT_EQ(fires.size(), 1u);
        EXPECT_EQ(WdfTimerStop(timer, TRUE), FALSE) << "a running callback is not a pending timer";
        EXPECT_TRUE(finished);
        EXPECT_EQ(Scheduler::current()->now(), 10 + kMillisecond);
        WdfObjectDelete(parentHandle);
    });
}

TEST_F(TimerTest, StopDequeuesAnExpiredTimerWhoseDpcHasNotBegun) {
    // Two timers due at the same time: both expire, and the first callback stops the second while the
    // second's DPC is queued behind it.
    WDFTIMER second = nullptr;
    BOOLEAN stopResult = FALSE;
    onCallback = [&](WDFTIMER timer) {
        if (timer != second)
            stopResult = WdfTimerStop(second, FALSE);
    };
    runInFiber([&] {
        makeParent(Lock::Kind::Spin);
        WDFTIMER first = createTimer(WdfExecutionLevelInheritFromParent, false);
        second = createTimer(WdfExecutionLevelInheritFromParent, false);
        WdfTimerStart(first, -50);
        WdfTimerStart(second, -50);
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(stopResult, TRUE);
    EXPECT_EQ(fires.size(), 1u) << "the stopped timer's callback ran";
}

TEST_F(TimerTest, PeriodicTimerFiresEveryPeriodUntilStopped) {
    BOOLEAN stopResult = FALSE;
    onCallback = [&](WDFTIMER timer) {
        if (fires.size() == 3)
            stopResult = WdfTimerStop(timer, FALSE);
    };
    runInFiber([&] {
        makeParent();
        WDFTIMER timer = createTimer(WdfExecutionLevelInheritFromParent, true, 10);
        WdfTimerStart(timer, -kMillisecond);
        zv::sim::sleepFor(100 * kMillisecond);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(fireTimes(), (std::vector<Time>{kMillisecond, 11 * kMillisecond, 21 * kMillisecond}));
    EXPECT_EQ(stopResult, TRUE) << "a periodic timer stays pending between expiries";
}

TEST_F(TimerTest, OneShotRearmedFromItsOwnCallback) {
    // Once its callback has begun the timer is no longer pending, so the re-arm reports FALSE.
    std::vector<BOOLEAN> restarts;
    onCallback = [&](WDFTIMER timer) {
        if (fires.size() < 3)
            restarts.push_back(WdfTimerStart(timer, -100));
    };
    runInFiber([&] {
        makeParent();
        WdfTimerStart(createTimer(), -100);
        zv::sim::sleepFor(kMillisecond);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(fireTimes(), (std::vector<Time>{100, 200, 300}));
    EXPECT_EQ(restarts, (std::vector<BOOLEAN>{FALSE, FALSE}));
}

// Stop with wait from the timer's own callback would wait for itself: reported, and it returns.
class TimerOwnCallbackWaitTest : public TimerTest, public testing::WithParamInterface<WDF_EXECUTION_LEVEL> {};

TEST_P(TimerOwnCallbackWaitTest, Reported) {
    onCallback = [](WDFTIMER timer) { WdfTimerStop(timer, TRUE); };
    runInFiber([&] {
        makeParent();
        WDFTIMER timer = createTimer(GetParam(), false);
        WdfTimerStart(timer, -10);
        zv::sim::sleepFor(100);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(fires.size(), 1u);
    expectViolation(zv::wdf::rule::kTimer);
}

INSTANTIATE_TEST_SUITE_P(Timer, TimerOwnCallbackWaitTest,
                         testing::Values(WdfExecutionLevelPassive, WdfExecutionLevelDispatch),
                         [](const testing::TestParamInfo<WDF_EXECUTION_LEVEL>& info) {
                             return info.param == WdfExecutionLevelPassive ? "Passive" : "Dispatch";
                         });

TEST_F(TimerTest, StopWithWaitAtDispatchIsReportedAndStopWithoutWaitIsNot) {
    runInFiber([&] {
        makeParent();
        WDFTIMER timer = createTimer();
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parentHandle;
        WDFSPINLOCK lock = nullptr;
        ASSERT_EQ(WdfSpinLockCreate(&attributes, &lock), STATUS_SUCCESS);

        WdfTimerStart(timer, -100);
        WdfSpinLockAcquire(lock);
        EXPECT_EQ(WdfTimerStop(timer, FALSE), TRUE);
        WdfSpinLockRelease(lock);
        EXPECT_TRUE(sched().verifier().empty()) << sched().verifier().dump();

        WdfTimerStart(timer, -100);
        WdfSpinLockAcquire(lock);
        EXPECT_EQ(WdfTimerStop(timer, TRUE), TRUE);
        WdfSpinLockRelease(lock);
        WdfObjectDelete(parentHandle);
    });
    expectViolation(zv::sim::rule::kPassiveOnly);
    EXPECT_TRUE(fires.empty());
}

// Deleting a timer stops it; at PASSIVE_LEVEL the deletion waits for a callback in progress, and a timer
// may delete itself from its callback.
TEST_F(TimerTest, DeletePendingTimerCancelsIt) {
    runInFiber([&] {
        makeParent();
        WDFTIMER timer = createTimer();
        WdfTimerStart(timer, -100);
        WdfObjectDelete(timer);
        zv::sim::sleepFor(1000);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_TRUE(fires.empty());
}

TEST_F(TimerTest, DeleteWaitsForRunningCallback) {
    // The callback also tries to re-arm its timer after the deletion has begun: the timer must not fire
    // again once it is gone.
    bool finished = false;
    onCallback = [&](WDFTIMER timer) {
        zv::sim::sleepFor(kMillisecond);
        WdfTimerStart(timer, -10);
        finished = true;
    };
    runInFiber([&] {
        makeParent(Lock::Kind::Mutex);
        WDFTIMER timer = createTimer(WdfExecutionLevelPassive);
        WdfTimerStart(timer, -10);
        zv::sim::sleepFor(20);
        WdfObjectDelete(parentHandle); // takes the timer with it
        EXPECT_TRUE(finished) << "the parent went while its timer's callback was still running";
        zv::sim::sleepFor(kMillisecond);
    });
    EXPECT_EQ(fires.size(), 1u);
}

TEST_F(TimerTest, PeriodicTimerDeletedFromItsOwnCallback) {
    onCallback = [&](WDFTIMER timer) {
        if (fires.size() == 2)
            WdfObjectDelete(timer);
    };
    runInFiber([&] {
        makeParent();
        WDFTIMER timer = createTimer(WdfExecutionLevelInheritFromParent, true, 1);
        WdfTimerStart(timer, -kMillisecond);
        zv::sim::sleepFor(10 * kMillisecond);
        WdfObjectDelete(parentHandle);
    });
    EXPECT_EQ(fireTimes(), (std::vector<Time>{kMillisecond, 2 * kMillisecond}));
}

TEST_F(TimerTest, GetParentObject) {
    runInFiber([&] {
        makeParent();
        WDFTIMER timer = createTimer();
        EXPECT_EQ(WdfTimerGetParentObject(timer), static_cast<WDFOBJECT>(parentHandle));
        WdfObjectDelete(parentHandle);
    });
}

// Creation with bad arguments is refused with a status and reported.
struct BadCreateCase {
    const char* name;
    std::function<void(WDF_TIMER_CONFIG&, WDF_OBJECT_ATTRIBUTES&, WDFOBJECT parent)> spoil;
};
void PrintTo(const BadCreateCase& c, std::ostream* os) {
    *os << c.name;
}

class TimerBadCreateTest : public TimerTest, public testing::WithParamInterface<BadCreateCase> {};

TEST_P(TimerBadCreateTest, RefusedAndReported) {
    runInFiber([&] {
        makeParent();
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, EvtTimer);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parentHandle;
        GetParam().spoil(config, attributes, parentHandle);
        WDFTIMER timer = reinterpret_cast<WDFTIMER>(uintptr_t{0x1234});
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(timer, nullptr);
        if (attributes.ParentObject != nullptr && attributes.ParentObject != parentHandle)
            WdfObjectDelete(attributes.ParentObject);
        WdfObjectDelete(parentHandle);
    });
    expectViolation(zv::wdf::rule::kBadParameter);
}

INSTANTIATE_TEST_SUITE_P(
    Timer, TimerBadCreateTest,
    testing::Values(BadCreateCase{"NoParent", [](auto&, auto& a, auto) { a.ParentObject = nullptr; }},
                    BadCreateCase{"ParentNotBelowADevice",
                                  [](auto&, auto& a, auto) {
                                      WDFOBJECT plain = nullptr;
                                      EXPECT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &plain),
                                                STATUS_SUCCESS);
                                      a.ParentObject = plain;
                                  }},
                    BadCreateCase{"NoCallback", [](auto& c, auto&, auto) { c.EvtTimerFunc = nullptr; }},
                    BadCreateCase{"ConfigNotInitialised", [](auto& c, auto&, auto) { c.Size = 0; }},
                    BadCreateCase{"NegativePeriod",
                                  [](auto& c, auto&, auto) { c.Period = static_cast<ULONG>(-5); }}),
    [](const testing::TestParamInfo<BadCreateCase>& info) { return info.param.name; });

TEST_F(TimerTest, TimerBelowADeviceObjectIsAccepted) {
    runInFiber([&] {
        makeParent();
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parentHandle;
        WDFOBJECT child = nullptr;
        ASSERT_EQ(WdfObjectCreate(&attributes, &child), STATUS_SUCCESS);
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, EvtTimer);
        attributes.ParentObject = child;
        WDFTIMER timer = nullptr;
        EXPECT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
        WdfObjectDelete(parentHandle);
    });
}

} // namespace
