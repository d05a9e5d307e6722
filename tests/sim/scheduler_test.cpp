// The scheduler's basic contract: FIFO order and the trace, events, IRQL, errors of use, current() and
// services.
#include "tests/support/sim_test.h"

#include <stdexcept>
#include <string>
#include <vector>

namespace zv::sim {
namespace {

using test::ScopedSim;
using test::SimTest;
using Lines = std::vector<std::string>;

class SchedulerTest : public SimTest {};

TEST_F(SchedulerTest, FifoRunsEachFiberUntilItBlocksOrYields) {
    Event go(Event::Kind::Notification, false, "go");
    sched().spawn("a", [&] {
        sched().note("a waits");
        go.wait();
        sched().note("a woke");
    });
    sched().spawn("b", [&] {
        sched().note("b1");
        sched().yield();
        sched().note("b2");
    });
    sched().spawn("c", [&] {
        go.set(); // wakes a, but c goes on until it finishes
        sched().note("c set");
        sched().yield(); // b and a are ahead of it now
        sched().note("c2");
    });
    EXPECT_TRUE(sched().run());
    EXPECT_EQ(sched().trace(), (Lines{
                                   "0 -: spawn a",
                                   "0 -: spawn b",
                                   "0 -: spawn c",
                                   "0 -: run a",
                                   "0 a: a waits",
                                   "0 -: run b",
                                   "0 b: b1",
                                   "0 -: run c",
                                   "0 c: c set",
                                   "0 -: run b",
                                   "0 b: b2",
                                   "0 b: finish",
                                   "0 -: run a",
                                   "0 a: a woke",
                                   "0 a: finish",
                                   "0 -: run c",
                                   "0 c: c2",
                                   "0 c: finish",
                               }));
}

TEST_F(SchedulerTest, FiberSpawnedByAFiberRunsAfterTheOnesAlreadyRunnable) {
    std::vector<std::string> order;
    runInFiber([&] {
        sched().spawn("child", [&] { order.push_back("child"); });
        sched().spawn("sibling", [&] { order.push_back("sibling"); });
        order.push_back("test");
        sched().yield();
        order.push_back("test again");
    });
    EXPECT_EQ(order, (Lines{"test", "child", "sibling", "test again"}));
    EXPECT_EQ(sched().trace()[1], "0 -: run test");
    EXPECT_EQ(sched().trace()[2], "0 test: spawn child");
}

TEST_F(SchedulerTest, NotificationEventWakesEveryWaiterAndStaysSet) {
    Event ev(Event::Kind::Notification, false, "n");
    int woken = 0;
    for (int i = 0; i < 3; ++i)
        sched().spawn("w" + std::to_string(i), [&] { woken += ev.wait() ? 1 : 0; });
    sched().after(100, [&] { ev.set(); });
    EXPECT_TRUE(sched().run());
    EXPECT_EQ(woken, 3);
    EXPECT_TRUE(ev.isSet());
    runInFiber([&] { EXPECT_TRUE(ev.wait(0)); }); // still set: no wait at all
    ev.reset();
    EXPECT_FALSE(ev.isSet());
}

TEST_F(SchedulerTest, SynchronizationEventReleasesOneWaiterPerSet) {
    Event ev(Event::Kind::Synchronization, false, "s");
    std::vector<std::string> got;
    for (const char* name : {"w0", "w1", "w2"})
        sched().spawn(name, [&, name] {
            if (ev.wait(kSecond))
                got.push_back(name);
        });
    sched().after(10, [&] { ev.set(); });
    sched().after(20, [&] { ev.set(); });
    EXPECT_TRUE(sched().run());
    EXPECT_EQ(got, (Lines{"w0", "w1"})); // in arrival order; w2 timed out
    EXPECT_FALSE(ev.isSet());
    EXPECT_EQ(sched().now(), kSecond);

    ev.set(); // nobody waits: it stays set for the next one, who takes it
    runInFiber([&] {
        EXPECT_TRUE(ev.wait(0));
        EXPECT_FALSE(ev.wait(0));
    });
}

TEST_F(SchedulerTest, WakeOfAFiberThatIsNotBlockedIsNotRemembered) {
    Fiber* waiter = nullptr;
    bool second = true;
    waiter = sched().spawn("waiter", [&] {
        sched().yield();
        second = sched().block("nothing", 50);
    });
    sched().spawn("waker", [&] { sched().wake(waiter); }); // waiter is runnable here, not blocked
    EXPECT_TRUE(sched().run());
    EXPECT_FALSE(second);
    EXPECT_EQ(sched().now(), 50);
}

TEST_F(SchedulerTest, ExceptionEscapingAFiberComesOutOfRun) {
    Fiber* f = sched().spawn("thrower", [] { throw std::runtime_error("boom"); });
    EXPECT_THROW(sched().run(), std::runtime_error);
    EXPECT_TRUE(f->finished());
}

TEST_F(SchedulerTest, MisuseIsAnErrorNotASilentWrongAnswer) {
    Event ev(Event::Kind::Notification, false, "e");
    Lock lock(Lock::Kind::Spin, "l");
    EXPECT_THROW(sched().block("x"), std::logic_error);
    EXPECT_THROW(ev.wait(), std::logic_error);
    EXPECT_FALSE(ev.wait(0)); // a poll needs no fiber
    EXPECT_THROW(lock.acquire(), std::logic_error);
    EXPECT_THROW(sleepFor(10), std::logic_error);
    EXPECT_THROW(sched().after(-1, [] {}), std::invalid_argument);
    EXPECT_THROW(sched().spawn("empty", nullptr), std::invalid_argument);
    runInFiber([&] {
        EXPECT_THROW(sched().run(), std::logic_error);
        EXPECT_THROW(sched().block("x", -5), std::invalid_argument);
        EXPECT_THROW(ev.wait(-5), std::invalid_argument);
        EXPECT_THROW(sleepFor(-5), std::invalid_argument);
        EXPECT_THROW(sched().shutdown(), std::logic_error);
    });
    EXPECT_FALSE(lock.owner());
}

TEST_F(SchedulerTest, SpinLockRaisesToDispatchAndRestoresTheSavedLevel) {
    Lock a(Lock::Kind::Spin, "A");
    Lock b(Lock::Kind::Spin, "B");
    Lock m(Lock::Kind::Mutex, "M");
    runInFiber([&] {
        EXPECT_EQ(sched().irql(), Irql::Passive);
        ASSERT_TRUE(m.acquire());
        EXPECT_EQ(sched().irql(), Irql::Passive); // a mutex does not raise
        ASSERT_TRUE(a.acquire());
        EXPECT_EQ(sched().irql(), Irql::Dispatch);
        ASSERT_TRUE(b.acquire());
        b.release();
        EXPECT_EQ(sched().irql(), Irql::Dispatch); // A still held
        a.release();
        EXPECT_EQ(sched().irql(), Irql::Passive);

        // Released out of order: the level stays raised until the last spin lock goes.
        ASSERT_TRUE(a.acquire());
        ASSERT_TRUE(b.acquire());
        a.release();
        EXPECT_EQ(sched().irql(), Irql::Dispatch);
        b.release();
        EXPECT_EQ(sched().irql(), Irql::Passive);
        m.release();

        sched().setIrql(Irql::Apc);
        ASSERT_TRUE(a.tryAcquire());
        EXPECT_EQ(sched().irql(), Irql::Dispatch);
        a.release();
        EXPECT_EQ(sched().irql(), Irql::Apc);
        sched().setIrql(Irql::Passive);
    });
    EXPECT_EQ(sched().irql(), Irql::Passive); // outside fibers
}

TEST_F(SchedulerTest, DpcRunsAtDispatchAndMayNotLowerIt) {
    Irql seen = Irql::Passive;
    Fiber* dpc = sched().spawnDpc("dpc", [&] {
        seen = sched().irql();
        sched().setIrql(Irql::Passive);
    });
    EXPECT_TRUE(dpc->isDpc());
    sched().run();
    EXPECT_EQ(seen, Irql::Dispatch);
    EXPECT_EQ(dpc->irql(), Irql::Dispatch); // the lowering was refused
    auto v = expectViolation(rule::kIrqlMisuse);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].object, "dpc");
    EXPECT_EQ(v[0].fiber, "dpc");
}

TEST_F(SchedulerTest, LoweringWhileHoldingASpinLockIsIrqlMisuse) {
    Lock s(Lock::Kind::Spin, "S");
    runInFiber([&] {
        s.acquire();
        sched().setIrql(Irql::Passive, "KeLowerIrql");
        EXPECT_EQ(sched().irql(), Irql::Dispatch);
        s.release();
    });
    auto v = expectViolation(rule::kIrqlMisuse);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].routine, "KeLowerIrql");
    EXPECT_EQ(v[0].object, "S");
}

TEST_F(SchedulerTest, ViolationTextNamesRuleRoutineObjectTimeAndFiber) {
    runInFiber([&] {
        sleepFor(42);
        sched().verifier().report(rule::kLockOrder, "L", "WdfSpinLockAcquire", "something");
    });
    sched().verifier().report(rule::kDeadlock, "M", "Lock::acquire");
    const auto& e = sched().verifier().entries();
    ASSERT_EQ(e.size(), 2u);
    EXPECT_EQ(e[0].text(), "[lock-order-inversion] WdfSpinLockAcquire: L: something (t=42, fiber test)");
    EXPECT_EQ(e[1].text(), "[deadlock] Lock::acquire: M (t=42)");
    EXPECT_EQ(sched().verifier().count(rule::kDeadlock), 1u);
    EXPECT_EQ(sched().verifier().dump(), e[0].text() + "\n" + e[1].text() + "\n");
    sched().verifier().clear();
}

TEST(SchedulerCurrent, IsTheNewestSchedulerStillAlive) {
    EXPECT_EQ(Scheduler::current(), nullptr);
    {
        Scheduler first;
        EXPECT_EQ(Scheduler::current(), &first);
        auto second = std::make_unique<Scheduler>();
        auto third = std::make_unique<Scheduler>();
        EXPECT_EQ(Scheduler::current(), third.get());
        second.reset(); // out of order
        EXPECT_EQ(Scheduler::current(), third.get());
        third.reset();
        EXPECT_EQ(Scheduler::current(), &first);
    }
    EXPECT_EQ(Scheduler::current(), nullptr);
}

struct Registry {
    explicit Registry(Scheduler& s) : sched(s) {}
    ~Registry() { log->push_back("registry"); }
    Scheduler& sched;
    std::vector<std::string>* log = nullptr;
};

struct Framework {
    explicit Framework(Scheduler& s) : registry(s.service<Registry>()) {}
    ~Framework() { log->push_back("framework"); }
    Registry& registry;
    std::vector<std::string>* log = nullptr;
};

TEST(SchedulerServices, AreMadeOnceAndDestroyedInReverseOrder) {
    std::vector<std::string> log;
    {
        Scheduler s;
        Framework& fw = s.service<Framework>(); // makes the registry first
        fw.log = &log;
        fw.registry.log = &log;
        EXPECT_EQ(&s.service<Framework>(), &fw);
        EXPECT_EQ(&s.service<Registry>(), &fw.registry);
        EXPECT_EQ(&fw.registry.sched, &s);
    }
    EXPECT_EQ(log, (std::vector<std::string>{"framework", "registry"}));
}

} // namespace
} // namespace zv::sim
