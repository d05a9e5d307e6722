// Locks and the checks around waits: hand-off, time-outs, spinning, the lock rules, deadlocks, waits at
// DISPATCH_LEVEL and fibers blocked forever.
#include "tests/support/sim_test.h"

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zv::sim {
namespace {

using test::ScopedSim;
using Lines = std::vector<std::string>;

class LockTest : public test::SimTest {};

::testing::AssertionResult mentions(const std::string& text, const std::vector<std::string>& parts) {
    for (const std::string& part : parts)
        if (text.find(part) == std::string::npos)
            return ::testing::AssertionFailure() << "'" << text << "' does not mention '" << part << "'";
    return ::testing::AssertionSuccess();
}

TEST_F(LockTest, ReleasedMutexGoesToWaitersInArrivalOrder) {
    Lock m(Lock::Kind::Mutex, "M");
    Lines order;
    sched().spawn("holder", [&] {
        m.acquire();
        sleepFor(10);
        m.release();
    });
    for (const char* name : {"w1", "w2", "w3"})
        sched().spawn(name, [&, name] {
            m.acquire();
            order.push_back(std::string(name) + "@" + std::to_string(sched().now()));
            m.release();
        });
    EXPECT_TRUE(sched().run());
    EXPECT_EQ(order, (Lines{"w1@10", "w2@10", "w3@10"}));
    EXPECT_EQ(m.owner(), nullptr);
}

TEST_F(LockTest, MutexAcquireTimesOut) {
    Lock m(Lock::Kind::Mutex, "M");
    sched().spawn("holder", [&] {
        m.acquire();
        sleepFor(100);
        m.release();
    });
    sched().spawn("waiter", [&] {
        EXPECT_FALSE(m.acquire(50));
        EXPECT_EQ(sched().now(), 50);
        EXPECT_FALSE(m.acquire(0));
        EXPECT_FALSE(m.tryAcquire());
        EXPECT_EQ(sched().now(), 50);
        EXPECT_TRUE(m.acquire());
        EXPECT_EQ(sched().now(), 100);
        EXPECT_EQ(m.owner(), sched().currentFiber());
        m.release();
    });
    EXPECT_TRUE(sched().run());
}

TEST_F(LockTest, TimeOutDueWithTheReleaseWinsAndLeavesTheLockFree) {
    Lock m(Lock::Kind::Mutex, "M");
    bool got = true;
    sched().spawn("holder", [&] {
        m.acquire();
        sleepFor(100); // its wake-up is due first
        m.release();
    });
    sched().spawn("waiter", [&] { got = m.acquire(100); });
    EXPECT_TRUE(sched().run());
    EXPECT_FALSE(got);
    EXPECT_EQ(m.owner(), nullptr);
}

TEST_F(LockTest, SpinningOnAHeldSpinLockIsNotAWait) {
    Lock s(Lock::Kind::Spin, "S");
    Lines order;
    sched().spawn("holder", [&] {
        s.acquire();
        order.push_back("holder has it");
        sched().yield(); // the DPC runs meanwhile and spins
        order.push_back("holder releases");
        s.release();
    });
    Fiber* dpc = sched().spawnDpc("dpc", [&] {
        s.acquire();
        order.push_back("dpc has it");
        EXPECT_EQ(sched().irql(), Irql::Dispatch);
        s.release();
        EXPECT_EQ(sched().irql(), Irql::Dispatch);
    });
    EXPECT_TRUE(sched().run());
    EXPECT_EQ(order, (Lines{"holder has it", "holder releases", "dpc has it"}));
    EXPECT_TRUE(dpc->finished());
}

struct RuleCase {
    const char* name;
    std::string_view rule;
    std::function<void(Scheduler&)> scenario; // makes its locks, spawns and runs
    std::string object;
    std::vector<std::string> mentions;
};

TEST(LockRules, EachMisuseIsReportedOnceWithTheLockAndWhatHappened) {
    const std::vector<RuleCase> cases = {
        {"spin lock acquired twice",
         rule::kLockRecursion,
         [](Scheduler& s) {
             Lock l(Lock::Kind::Spin, "L");
             s.spawn("f", [&] {
                 EXPECT_TRUE(l.acquire());
                 EXPECT_FALSE(l.acquire()); // refused, not a self-deadlock
                 EXPECT_EQ(l.owner(), s.currentFiber());
                 l.release();
                 EXPECT_EQ(l.owner(), nullptr);
                 EXPECT_EQ(s.irql(), Irql::Passive);
             });
             EXPECT_TRUE(s.run());
         },
         "L",
         {"fiber f already holds it"}},
        {"mutex tried while held by the caller",
         rule::kLockRecursion,
         [](Scheduler& s) {
             Lock l(Lock::Kind::Mutex, "M");
             s.spawn("f", [&] {
                 l.acquire();
                 EXPECT_FALSE(l.tryAcquire("WdfWaitLockAcquire"));
                 l.release();
             });
             EXPECT_TRUE(s.run());
         },
         "M",
         {"already holds it"}},
        {"release by another fiber",
         rule::kLockNotOwner,
         [](Scheduler& s) {
             Lock l(Lock::Kind::Spin, "L");
             Fiber* a = s.spawn("a", [&] {
                 l.acquire();
                 s.yield();
                 l.release();
             });
             s.spawn("b", [&] {
                 l.release("WdfSpinLockRelease");
                 EXPECT_EQ(l.owner(), a); // ignored
                 EXPECT_EQ(s.irql(), Irql::Passive);
             });
             EXPECT_TRUE(s.run());
         },
         "L",
         {"fiber b releases it while fiber a holds it"}},
        {"release of a free lock",
         rule::kLockNotOwner,
         [](Scheduler& s) {
             Lock l(Lock::Kind::Mutex, "L");
             s.spawn("a", [&] { l.release(); });
             EXPECT_TRUE(s.run());
         },
         "L",
         {"nobody holds it"}},
        {"reverse of a learned order",
         rule::kLockOrder,
         [](Scheduler& s) {
             Lock a(Lock::Kind::Spin, "A");
             Lock b(Lock::Kind::Spin, "B");
             s.spawn("f", [&] {
                 a.acquire();
                 b.acquire();
                 b.release();
                 a.release();
                 sleepFor(7);
                 b.acquire();
                 a.acquire(); // reported, and still granted
                 EXPECT_EQ(a.owner(), s.currentFiber());
                 a.release();
                 b.release();
             });
             EXPECT_TRUE(s.run());
         },
         "A",
         {"while holding lock B", "A -> B", "fiber f at t=0"}},
        {"reverse learned by two fibers",
         rule::kLockOrder,
         [](Scheduler& s) {
             Lock a(Lock::Kind::Mutex, "A");
             Lock b(Lock::Kind::Spin, "B");
             s.spawn("x", [&] {
                 a.acquire();
                 b.acquire();
                 b.release();
                 a.release();
             });
             s.spawn("y", [&] {
                 b.acquire();
                 a.acquire(0);
                 a.release();
                 b.release();
             });
             EXPECT_TRUE(s.run());
         },
         "A",
         {"while holding lock B", "A -> B", "fiber x"}},
        {"cycle through a third lock",
         rule::kLockOrder,
         [](Scheduler& s) {
             Lock a(Lock::Kind::Spin, "A");
             Lock b(Lock::Kind::Spin, "B");
             Lock c(Lock::Kind::Spin, "C");
             s.spawn("f", [&] {
                 for (auto [first, second] : {std::pair{&a, &b}, {&b, &c}, {&c, &a}}) {
                     first->acquire();
                     second->acquire();
                     second->release();
                     first->release();
                 }
             });
             EXPECT_TRUE(s.run());
         },
         "A",
         {"while holding lock C", "A -> B -> C"}},
        {"fiber ends holding a lock",
         rule::kLockHeldOnReturn,
         [](Scheduler& s) {
             Lock l(Lock::Kind::Spin, "L");
             s.spawn("leaver", [&] { l.acquire(); });
             s.spawn("next", [&] {
                 EXPECT_TRUE(l.acquire()); // released when the leaver ended
                 l.release();
             });
             EXPECT_TRUE(s.run());
         },
         "L",
         {"fiber leaver finished holding lock L"}},
    };
    for (const RuleCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedSim sim;
        c.scenario(sim.sched());
        auto v = sim.expectViolation(c.rule);
        ASSERT_EQ(v.size(), 1u) << sim.sched().verifier().dump();
        EXPECT_EQ(v[0].object, c.object);
        EXPECT_TRUE(mentions(v[0].text(), c.mentions));
    }
}

TEST_F(LockTest, ConsistentOrdersAndTriedAcquisitionsAreNotInversions) {
    Lock a(Lock::Kind::Spin, "A");
    Lock b(Lock::Kind::Mutex, "B");
    runInFiber([&] {
        for (int i = 0; i < 2; ++i) {
            a.acquire();
            b.acquire(0);
            b.release();
            a.release();
        }
        b.acquire();
        EXPECT_TRUE(a.tryAcquire()); // a try cannot deadlock
        a.release();
        b.release();
    });
}

TEST_F(LockTest, OrderIsLearnedPerLockNotPerAddress) {
    std::optional<Lock> a;
    std::optional<Lock> b;
    runInFiber([&] {
        a.emplace(Lock::Kind::Spin, "A");
        b.emplace(Lock::Kind::Spin, "B");
        a->acquire();
        b->acquire();
        b->release();
        a->release();
        // New locks in the same storage: the old order does not apply to them.
        a.emplace(Lock::Kind::Spin, "A2");
        b.emplace(Lock::Kind::Spin, "B2");
        b->acquire();
        a->acquire();
        a->release();
        b->release();
    });
}

void crossAcquire(Scheduler& s, Lock& first, Lock& second, std::optional<Time> timeout = std::nullopt) {
    first.acquire();
    s.yield();
    if (second.acquire(timeout))
        second.release();
    first.release();
}

TEST_F(LockTest, TwoFibersTakingTwoLocksCrosswiseAreADeadlock) {
    Lock l1(Lock::Kind::Mutex, "L1");
    Lock l2(Lock::Kind::Mutex, "L2");
    Fiber* a = sched().spawn("a", [&] { crossAcquire(sched(), l1, l2); });
    Fiber* b = sched().spawn("b", [&] { crossAcquire(sched(), l2, l1); });
    Fiber* c = sched().spawn("c", [&] {
        sleepFor(10);
        l1.acquire(); // stuck behind the cycle, not part of it
    });
    EXPECT_FALSE(sched().run());
    EXPECT_TRUE(a->blocked());
    EXPECT_TRUE(b->blocked());
    EXPECT_EQ(b->waitingForLock(), &l1);
    EXPECT_EQ(a->heldLocks(), (std::vector<Lock*>{&l1}));

    auto deadlock = expectViolation(rule::kDeadlock);
    ASSERT_EQ(deadlock.size(), 1u);
    EXPECT_EQ(deadlock[0].object, "L1");
    EXPECT_EQ(deadlock[0].detail,
              "fiber b waits for lock L1 held by fiber a; fiber a waits for lock L2 held by fiber b");
    auto inversion = expectViolation(rule::kLockOrder);
    ASSERT_EQ(inversion.size(), 1u);
    EXPECT_EQ(inversion[0].fiber, "b");
    // The deadlocked pair is not reported again; the fiber behind them is.
    auto stuck = expectViolation(rule::kBlockedForever);
    ASSERT_EQ(stuck.size(), 1u);
    EXPECT_TRUE(mentions(stuck[0].detail, {"fiber c", "lock L1"}));
    EXPECT_TRUE(c->blocked());
}

TEST_F(LockTest, ThreeSpinningFibersInACycleAreADeadlock) {
    Lock l1(Lock::Kind::Spin, "S1");
    Lock l2(Lock::Kind::Spin, "S2");
    Lock l3(Lock::Kind::Spin, "S3");
    sched().spawn("a", [&] { crossAcquire(sched(), l1, l2); });
    sched().spawnDpc("b", [&] { crossAcquire(sched(), l2, l3); });
    sched().spawn("c", [&] { crossAcquire(sched(), l3, l1); });
    EXPECT_FALSE(sched().run());
    auto deadlock = expectViolation(rule::kDeadlock);
    ASSERT_EQ(deadlock.size(), 1u);
    EXPECT_EQ(deadlock[0].detail,
              "fiber c waits for lock S1 held by fiber a; fiber a waits for lock S2 held by "
              "fiber b; fiber b waits for lock S3 held by fiber c");
    expectViolation(rule::kLockOrder);                              // S1 -> S2 -> S3 closed by S3 -> S1
    EXPECT_EQ(sched().verifier().count(rule::kWaitAtDispatch), 0u); // spinning is not a wait
}

TEST_F(LockTest, CycleWithATimedWaitIsNotADeadlock) {
    Lock l1(Lock::Kind::Mutex, "L1");
    Lock l2(Lock::Kind::Mutex, "L2");
    bool bGot = true;
    sched().spawn("a", [&] { crossAcquire(sched(), l1, l2); });
    sched().spawn("b", [&] {
        l2.acquire();
        sched().yield();
        bGot = l1.acquire(100);
        l2.release();
    });
    EXPECT_TRUE(sched().run());
    EXPECT_FALSE(bGot);
    EXPECT_EQ(sched().now(), 100);
    expectViolation(rule::kLockOrder);
}

struct DispatchWaitCase {
    const char* name;
    bool dpc; // else a passive fiber holding a spin lock
    std::function<void(Scheduler&, Event&, Lock&)> wait;
    std::string routine;
    std::string object;
};

TEST(WaitAtDispatch, IsReportedFromADpcAndUnderASpinLockAndTheWaitStillHappens) {
    const std::vector<DispatchWaitCase> cases = {
        {"event wait in a DPC", true,
         [](Scheduler& s, Event& ev, Lock&) {
             EXPECT_FALSE(ev.wait(100));
             EXPECT_EQ(s.now(), 100);
         },
         "Event::wait", "ev"},
        {"sleep in a DPC", true,
         [](Scheduler& s, Event&, Lock&) {
             sleepFor(100);
             EXPECT_EQ(s.now(), 100);
         },
         "sleepFor", "delay"},
        {"mutex in a DPC", true,
         [](Scheduler&, Event&, Lock& m) {
             EXPECT_TRUE(m.acquire(100)); // free: reported all the same
             m.release();
         },
         "Lock::acquire", "M"},
        {"block in a DPC", true,
         [](Scheduler& s, Event&, Lock&) {
             EXPECT_FALSE(s.block("thing", 100));
             EXPECT_EQ(s.now(), 100);
         },
         "Scheduler::block", "thing"},
        {"event wait under a spin lock", false,
         [](Scheduler& s, Event& ev, Lock&) {
             EXPECT_FALSE(ev.wait(100, "KeWaitForSingleObject"));
             EXPECT_EQ(s.now(), 100);
         },
         "KeWaitForSingleObject", "ev"},
        {"sleep under a spin lock", false,
         [](Scheduler& s, Event&, Lock&) {
             sleepFor(100, "KeDelayExecutionThread");
             EXPECT_EQ(s.now(), 100);
         },
         "KeDelayExecutionThread", "delay"},
    };
    for (const DispatchWaitCase& c : cases) {
        SCOPED_TRACE(c.name);
        ScopedSim sim;
        Scheduler& s = sim.sched();
        Event ev(Event::Kind::Notification, false, "ev");
        Lock m(Lock::Kind::Mutex, "M");
        Lock spin(Lock::Kind::Spin, "S");
        auto body = [&] {
            if (!c.dpc)
                spin.acquire();
            c.wait(s, ev, m);
            if (!c.dpc)
                spin.release();
        };
        Fiber* f = c.dpc ? s.spawnDpc("waiter", body) : s.spawn("waiter", body);
        EXPECT_TRUE(s.run());
        EXPECT_TRUE(f->finished());
        auto v = sim.expectViolation(rule::kWaitAtDispatch);
        ASSERT_EQ(v.size(), 1u);
        EXPECT_EQ(v[0].routine, c.routine);
        EXPECT_EQ(v[0].object, c.object);
        EXPECT_EQ(v[0].fiber, "waiter");
    }
}

TEST_F(LockTest, ZeroTimeOutsAndYieldsAtDispatchAreNotWaits) {
    Event ev(Event::Kind::Notification, false, "ev");
    Lock m(Lock::Kind::Mutex, "M");
    sched().spawnDpc("dpc", [&] {
        EXPECT_FALSE(ev.wait(0));
        EXPECT_FALSE(sched().block("poll", 0));
        EXPECT_TRUE(m.acquire(0));
        m.release();
        sched().yield();
        sleepFor(0);
    });
    EXPECT_TRUE(sched().run());
}

TEST_F(LockTest, FibersLeftWaitingWhenNothingCanRunAreBlockedForever) {
    Event never(Event::Kind::Notification, false, "E");
    Lock m(Lock::Kind::Mutex, "M");
    Fiber* w = sched().spawn("w", [&] {
        m.acquire();
        never.wait();
    });
    Fiber* x = sched().spawn("x", [&] { m.acquire(); });
    EXPECT_FALSE(sched().run());
    EXPECT_EQ(w->waitingFor(), "event E");
    EXPECT_EQ(x->waitingFor(), "lock M");
    auto v = expectViolation(rule::kBlockedForever);
    ASSERT_EQ(v.size(), 2u);
    EXPECT_EQ(v[0].detail, "fiber w is blocked forever waiting for event E");
    EXPECT_EQ(v[1].detail, "fiber x is blocked forever waiting for lock M");
    EXPECT_FALSE(sched().run()); // reported once
}

} // namespace
} // namespace zv::sim
