// Framework locks: spin locks and the level they raise to, wait lock time-outs, the lock rules the verifier
// enforces (each caught by a minimal misuse through the framework calls), and the presentation lock taken
// by hand.
#include "tests/support/sim_test.h"
#include "tests/wdf/serializing_parent.h"

#include "platform/wdf/sync.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <functional>
#include <ostream>
#include <optional>
#include <string>

namespace {

using zv::sim::Irql;
using zv::sim::Lock;
using zv::sim::Scheduler;
using zv::sim::Time;
using zv::test::makeSerializingParent;

// Everything a test's misuse needs, created inside its fiber; deleting the device takes the rest.
struct Locks {
    WDFDEVICE device = nullptr;
    WDFSPINLOCK spinA = nullptr;
    WDFSPINLOCK spinB = nullptr;
    WDFWAITLOCK wait = nullptr;
};

class SyncTest : public zv::test::SimTest {
protected:
    Locks makeLocks(std::optional<Lock::Kind> deviceLock = Lock::Kind::Spin) {
        Locks l;
        l.device = makeSerializingParent(deviceLock);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = l.device;
        EXPECT_EQ(WdfSpinLockCreate(&attributes, &l.spinA), STATUS_SUCCESS);
        EXPECT_EQ(WdfSpinLockCreate(&attributes, &l.spinB), STATUS_SUCCESS);
        EXPECT_EQ(WdfWaitLockCreate(&attributes, &l.wait), STATUS_SUCCESS);
        return l;
    }

    static Irql irql() { return Scheduler::current()->irql(); }
};

TEST_F(SyncTest, SpinLockRaisesToDispatchAndReleaseRestores) {
    runInFiber([&] {
        Locks l = makeLocks();
        WdfSpinLockAcquire(l.spinA);
        EXPECT_EQ(irql(), Irql::Dispatch);
        WdfSpinLockAcquire(l.spinB);
        WdfSpinLockRelease(l.spinB);
        EXPECT_EQ(irql(), Irql::Dispatch) << "releasing the inner lock must not drop below the outer one";
        WdfSpinLockRelease(l.spinA);
        EXPECT_EQ(irql(), Irql::Passive);
        WdfObjectDelete(l.device);
    });
}

TEST_F(SyncTest, SpinLockExcludesAnotherFiber) {
    std::vector<std::string> order;
    runInFiber([&] {
        Locks l = makeLocks();
        WdfSpinLockAcquire(l.spinA);
        Scheduler::current()->spawn("contender", [&] {
            WdfSpinLockAcquire(l.spinA);
            order.push_back("contender");
            WdfSpinLockRelease(l.spinA);
        });
        Scheduler::current()->yield(); // the contender now spins
        order.push_back("holder");
        WdfSpinLockRelease(l.spinA);
        while (order.size() < 2)
            Scheduler::current()->yield();
        WdfObjectDelete(l.device);
    });
    EXPECT_EQ(order, (std::vector<std::string>{"holder", "contender"}));
}

// WdfWaitLockAcquire against a lock that another fiber holds from time 0 to time 1000.
struct WaitCase {
    const char* name;
    std::optional<LONGLONG> timeout; // nullopt: NULL pointer
    NTSTATUS status;
    Time returnsAt;
};
void PrintTo(const WaitCase& c, std::ostream* os) {
    *os << c.name;
}

class WaitLockTimeoutTest : public SyncTest, public testing::WithParamInterface<WaitCase> {};

TEST_P(WaitLockTimeoutTest, StatusAndTime) {
    const WaitCase& c = GetParam();
    runInFiber([&] {
        Locks l = makeLocks();
        bool holderDone = false;
        Scheduler::current()->spawn("holder", [&] {
            WdfWaitLockAcquire(l.wait, nullptr);
            zv::sim::sleepFor(1000);
            WdfWaitLockRelease(l.wait);
            holderDone = true;
        });
        Scheduler::current()->yield(); // the holder takes the lock
        LONGLONG timeout = c.timeout.value_or(0);
        NTSTATUS status = WdfWaitLockAcquire(l.wait, c.timeout ? &timeout : nullptr);
        EXPECT_EQ(status, c.status);
        EXPECT_EQ(Scheduler::current()->now(), c.returnsAt);
        if (status == STATUS_SUCCESS)
            WdfWaitLockRelease(l.wait);
        while (!holderDone)
            zv::sim::sleepFor(100);
        WdfObjectDelete(l.device);
    });
}

INSTANTIATE_TEST_SUITE_P(WaitLock, WaitLockTimeoutTest,
                         testing::Values(WaitCase{"NullWaitsForever", std::nullopt, STATUS_SUCCESS, 1000},
                                         WaitCase{"ZeroOnlyTries", 0, STATUS_TIMEOUT, 0},
                                         WaitCase{"RelativeExpires", -100, STATUS_TIMEOUT, 100},
                                         WaitCase{"RelativeLongEnough", -5000, STATUS_SUCCESS, 1000},
                                         WaitCase{"AbsoluteExpires", 300, STATUS_TIMEOUT, 300}),
                         [](const testing::TestParamInfo<WaitCase>& info) { return info.param.name; });

TEST_F(SyncTest, WaitLockFreeIsTakenAtOnceEvenWithZeroTimeoutAtDispatch) {
    runInFiber([&] {
        Locks l = makeLocks();
        WdfSpinLockAcquire(l.spinA);
        LONGLONG zero = 0;
        EXPECT_EQ(WdfWaitLockAcquire(l.wait, &zero), STATUS_SUCCESS);
        WdfWaitLockRelease(l.wait);
        WdfSpinLockRelease(l.spinA);
        WdfObjectDelete(l.device);
    });
}

// Each lock rule broken once through the framework calls; the verifier names the rule and, through the
// lock's name, the framework object.
struct MisuseCase {
    const char* name;
    std::function<void(Locks&)> misuse;
    std::string_view rule;
};
void PrintTo(const MisuseCase& c, std::ostream* os) {
    *os << c.name;
}

class LockMisuseTest : public SyncTest, public testing::WithParamInterface<MisuseCase> {};

TEST_P(LockMisuseTest, Reported) {
    runInFiber([&] {
        Locks l = makeLocks();
        GetParam().misuse(l);
        WdfObjectDelete(l.device);
    });
    bool named = false;
    for (const auto& v : sched().verifier().entries())
        if (v.rule == GetParam().rule)
            named = named || v.text().find("WDF") != std::string::npos;
    EXPECT_TRUE(named) << "the report does not name the framework object: " << sched().verifier().dump();
    expectViolation(GetParam().rule);
}

INSTANTIATE_TEST_SUITE_P(
    Lock, LockMisuseTest,
    testing::Values(MisuseCase{"SpinLockAcquiredTwice",
                               [](Locks& l) {
                                   WdfSpinLockAcquire(l.spinA);
                                   WdfSpinLockAcquire(l.spinA);
                                   WdfSpinLockRelease(l.spinA);
                               },
                               zv::sim::rule::kLockRecursion},
                    MisuseCase{"WaitLockAcquiredTwice",
                               [](Locks& l) {
                                   WdfWaitLockAcquire(l.wait, nullptr);
                                   EXPECT_EQ(WdfWaitLockAcquire(l.wait, nullptr), STATUS_TIMEOUT)
                                       << "not acquired";
                                   WdfWaitLockRelease(l.wait);
                               },
                               zv::sim::rule::kLockRecursion},
                    MisuseCase{"WaitLockReleasedByAnotherFiber",
                               [](Locks& l) {
                                   WdfWaitLockAcquire(l.wait, nullptr);
                                   bool done = false;
                                   Scheduler::current()->spawn("intruder", [&] {
                                       WdfWaitLockRelease(l.wait);
                                       done = true;
                                   });
                                   while (!done)
                                       zv::sim::sleepFor(1);
                                   WdfWaitLockRelease(l.wait);
                               },
                               zv::sim::rule::kLockNotOwner},
                    MisuseCase{"SpinLockReleasedWithoutAcquire",
                               [](Locks& l) { WdfSpinLockRelease(l.spinA); }, zv::sim::rule::kLockNotOwner},
                    MisuseCase{"SpinLockOrderInverted",
                               [](Locks& l) {
                                   WdfSpinLockAcquire(l.spinA);
                                   WdfSpinLockAcquire(l.spinB);
                                   WdfSpinLockRelease(l.spinB);
                                   WdfSpinLockRelease(l.spinA);
                                   WdfSpinLockAcquire(l.spinB);
                                   WdfSpinLockAcquire(l.spinA);
                                   WdfSpinLockRelease(l.spinA);
                                   WdfSpinLockRelease(l.spinB);
                               },
                               zv::sim::rule::kLockOrder},
                    MisuseCase{"WaitLockWaitAtDispatch",
                               [](Locks& l) {
                                   WdfSpinLockAcquire(l.spinA);
                                   WdfWaitLockAcquire(l.wait, nullptr);
                                   WdfWaitLockRelease(l.wait);
                                   WdfSpinLockRelease(l.spinA);
                               },
                               zv::sim::rule::kWaitAtDispatch},
                    MisuseCase{"SpinLockDeletedWhileHeld",
                               [](Locks& l) {
                                   WdfSpinLockAcquire(l.spinA);
                                   WdfObjectDelete(l.spinA);
                               },
                               zv::wdf::rule::kLockDeletedWhileHeld}),
    [](const testing::TestParamInfo<MisuseCase>& info) { return info.param.name; });

// A timer callback that returns with a spin lock still held.
class LockHeldOnReturnTest : public SyncTest {
protected:
    static void EvtTimerKeepsLock(WDFTIMER) { WdfSpinLockAcquire(leaked); }
    static inline WDFSPINLOCK leaked = nullptr;
};

TEST_F(LockHeldOnReturnTest, TimerCallbackReturningWithASpinLockHeld) {
    runInFiber([&] {
        Locks l = makeLocks();
        leaked = l.spinA;
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, EvtTimerKeepsLock);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = l.device;
        WDFTIMER timer = nullptr;
        ASSERT_EQ(WdfTimerCreate(&config, &attributes, &timer), STATUS_SUCCESS);
        WdfTimerStart(timer, -10);
        zv::sim::sleepFor(100);
        WdfObjectDelete(l.device);
    });
    leaked = nullptr;
    expectViolation(zv::sim::rule::kLockHeldOnReturn);
}

TEST_F(SyncTest, ObjectAcquireLockTakesThePresentationLock) {
    runInFiber([&] {
        zv::test::SerializingParent* parent = nullptr;
        WDFDEVICE device = makeSerializingParent(Lock::Kind::Spin, &parent);
        WdfObjectAcquireLock(device);
        EXPECT_EQ(parent->presentationLock()->owner(), Scheduler::current()->currentFiber());
        EXPECT_EQ(irql(), Irql::Dispatch);
        WdfObjectReleaseLock(device);
        EXPECT_EQ(parent->presentationLock()->owner(), nullptr);
        EXPECT_EQ(irql(), Irql::Passive);
        WdfObjectDelete(device);
    });
}

TEST_F(SyncTest, ObjectAcquireLockOnAnObjectWithoutOneIsReported) {
    runInFiber([&] {
        WDFDEVICE device = makeSerializingParent(std::nullopt);
        WdfObjectAcquireLock(device);
        EXPECT_EQ(irql(), Irql::Passive);
        WdfObjectDelete(device);
    });
    expectViolation(zv::wdf::rule::kBadParameter);
}

TEST_F(SyncTest, CreateWithoutOutputPointerIsRefused) {
    runInFiber(
        [&] { EXPECT_EQ(WdfSpinLockCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr), STATUS_INVALID_PARAMETER); });
    expectViolation(zv::wdf::rule::kBadParameter);
}

} // namespace
