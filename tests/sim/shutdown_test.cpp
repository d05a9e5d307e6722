// Shutting a scheduler down with fibers still waiting: their stacks are unwound, so what lives on them is
// destroyed (the sanitizer build checks that nothing leaks), whatever they wait on and even if that object
// is gone already.
#include "tests/sim/driver_frame.h"
#include "tests/support/sim_test.h"

#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zv::sim {
namespace {

// Counts its destruction; holds heap memory so that a stack that is not unwound shows as a leak.
struct Tracker {
    explicit Tracker(int& count) : count(count), heap(std::make_unique<std::string>(200, 'x')) {}
    ~Tracker() { ++count; }
    int& count;
    std::unique_ptr<std::string> heap;
};

TEST(Shutdown, UnwindsEveryFiberStillWaitingWhateverItWaitsOn) {
    int destroyed = 0;
    int driverFrameReturned = 0;
    bool caughtAsError = false;
    bool createdRan = false;
    {
        test::ScopedSim sim;
        Scheduler& s = sim.sched();
        Lock m(Lock::Kind::Mutex, "M");
        Lock l1(Lock::Kind::Spin, "L1");
        Lock l2(Lock::Kind::Spin, "L2");
        {
            Event gone(Event::Kind::Notification, false, "gone");
            s.spawn("on event", [&] {
                Tracker t(destroyed);
                std::vector<std::string> more(10, std::string(100, 'y'));
                gone.wait();
            });
            s.spawn("holder", [&] {
                Tracker t(destroyed);
                m.acquire();
                gone.wait();
            });
            s.spawn("on lock", [&] {
                Tracker t(destroyed);
                m.acquire();
            });
            s.spawn("catches errors", [&] {
                Tracker t(destroyed);
                try {
                    gone.wait();
                } catch (const std::exception&) {
                    caughtAsError = true;
                }
            });
            s.spawn("driver frame", [&] {
                Tracker t(destroyed);
                testing::waitInDriverFrame(gone, &driverFrameReturned);
            });
            s.spawn("sleeper", [&] {
                Tracker t(destroyed);
                for (;;)
                    sleepFor(kSecond);
            });
            s.spawn("a", [&] {
                Tracker t(destroyed);
                l1.acquire();
                s.yield();
                l2.acquire();
            });
            s.spawn("b", [&] {
                Tracker t(destroyed);
                l2.acquire();
                s.yield();
                l1.acquire();
            });
            EXPECT_FALSE(s.runUntil(10 * kSecond));
        } // the event goes while fibers still wait on it
        auto never = std::make_shared<Tracker>(destroyed);
        s.spawn("never ran", [&createdRan, never] { createdRan = true; });
        never.reset();

        sim.expectViolation(rule::kDeadlock);
        sim.expectViolation(rule::kLockOrder);
        // The sleeper keeps a timer pending, so nothing was blocked forever yet.
        EXPECT_EQ(s.verifier().count(rule::kBlockedForever), 0u);
        EXPECT_EQ(destroyed, 0);
    }
    EXPECT_EQ(destroyed, 9);
    EXPECT_EQ(driverFrameReturned, 0);
    EXPECT_FALSE(caughtAsError);
    EXPECT_FALSE(createdRan);
}

struct Release {
    Lock& lock;
    ~Release() { lock.release(); }
};

class SeededShutdown : public test::SimTest {
protected:
    SchedulePolicy policy() const override { return SchedulePolicy::seeded(7); }
};

// Destructors running in the unwinding may release locks, pass preemption points and wake others; the
// next waiter gets the lock and is unwound in turn.
TEST_F(SeededShutdown, GuardsReleasingLocksWhileUnwindingHandTheLockOn) {
    Lock lock(Lock::Kind::Spin, "G");
    Event never(Event::Kind::Notification, false, "never");
    int destroyed = 0;
    Fiber* owner = sched().spawn("owner", [&] {
        lock.acquire();
        Release r{lock};
        Tracker t(destroyed);
        never.wait();
    });
    Fiber* next = sched().spawn("next", [&] {
        Tracker t(destroyed);
        sched().yield();
        lock.acquire(); // spins until the owner's unwinding hands it over, then is unwound itself
        Release r{lock};
        never.wait();
    });
    EXPECT_FALSE(sched().run());
    EXPECT_EQ(sched().verifier().count(rule::kBlockedForever), 2u);
    sched().verifier().clear();
    sched().shutdown();
    EXPECT_TRUE(owner->finished());
    EXPECT_TRUE(next->finished());
    EXPECT_EQ(destroyed, 2);
    EXPECT_EQ(lock.owner(), nullptr);
    EXPECT_TRUE(sched().verifier().empty()) << sched().verifier().dump();
}

TEST(Shutdown, LeavesTheSchedulerUsable) {
    test::ScopedSim sim;
    Scheduler& s = sim.sched();
    Event never(Event::Kind::Notification, false, "never");
    Fiber* stuck = s.spawn("stuck", [&] { never.wait(); });
    EXPECT_FALSE(s.run());
    sim.expectViolation(rule::kBlockedForever);
    s.shutdown();
    EXPECT_TRUE(stuck->finished());
    EXPECT_TRUE(never.isSet() == false);
    bool ran = false;
    EXPECT_TRUE(test::runInFiber(s, [&] {
        sleepFor(5);
        ran = true;
    }));
    EXPECT_TRUE(ran);
}

TEST(Shutdown, FiberThatYieldsInALoopEndsToo) {
    int destroyed = 0;
    {
        Scheduler s;
        bool stop = false;
        s.spawn("poller", [&] {
            Tracker t(destroyed);
            while (!stop) {
                s.yield();
                sleepFor(1);
            }
        });
        s.spawn("other", [&] {
            for (int i = 0; i < 3; ++i)
                s.yield();
        });
        EXPECT_FALSE(s.runUntil(100));
    }
    EXPECT_EQ(destroyed, 1);
}

} // namespace
} // namespace zv::sim
