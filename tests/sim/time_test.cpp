// Virtual time: timed waits, sleeping, timed events, the clock's jumps and runUntil().
#include "tests/support/sim_test.h"

#include <algorithm>
#include <limits>
#include <string>
#include <vector>

namespace zv::sim {
namespace {

using Lines = std::vector<std::string>;

class TimeTest : public test::SimTest {};

TEST_F(TimeTest, OneSecondWaitThatNobodySatisfiesEndsAtExactlyOneSecond) {
    Event ev(Event::Kind::Notification, false, "never");
    bool result = true;
    Time endedAt = -1;
    runInFiber([&] {
        result = ev.wait(10'000'000);
        endedAt = sched().now();
    });
    EXPECT_FALSE(result);
    EXPECT_EQ(endedAt, 10'000'000);
    EXPECT_EQ(sched().now(), 10'000'000);
}

TEST_F(TimeTest, WaitSatisfiedBeforeItsTimeOutEndsAtTheSetAndLeavesNoTimer) {
    Event ev(Event::Kind::Notification, false, "soon");
    bool result = false;
    sched().at(500, "set soon", [&] { ev.set(); });
    runInFiber([&] { result = ev.wait(kSecond); });
    EXPECT_TRUE(result);
    EXPECT_EQ(sched().now(), 500); // the time-out was cancelled, so the clock never went to it
    EXPECT_EQ(std::count(sched().trace().begin(), sched().trace().end(), "500 -: fire set soon"), 1);
}

TEST_F(TimeTest, TimeOutPastTheEndOfTimeIsAWaitForever) {
    constexpr Time kEndOfTime = std::numeric_limits<Time>::max();
    Event ev(Event::Kind::Notification, false, "ev");
    Lock m(Lock::Kind::Mutex, "M");
    sched().spawn("holder", [&] {
        m.acquire();
        sleepFor(300);
        m.release();
    });
    runInFiber([&] {
        sleepFor(100);
        sched().after(100, [&] { ev.set(); });
        EXPECT_TRUE(ev.wait(kEndOfTime));
        EXPECT_TRUE(m.acquire(kEndOfTime));
        EXPECT_EQ(sched().now(), 300);
        m.release();
        sched().block("nothing", kEndOfTime - 1); // no timer: blocked forever, and the clock stays put
    });
    auto v = expectViolation(rule::kBlockedForever);
    ASSERT_EQ(v.size(), 1u);
    EXPECT_EQ(v[0].object, "nothing");
    EXPECT_EQ(sched().now(), 300);
}

TEST_F(TimeTest, SleepForAdvancesTheClockByExactlyTheDelay) {
    struct Case {
        Time delay;
    };
    for (Case c : {Case{1}, Case{kMicrosecond}, Case{kMillisecond}, Case{kSecond}, Case{3600 * kSecond}}) {
        SCOPED_TRACE(c.delay);
        Time start = sched().now();
        Time end = -1;
        runInFiber([&] {
            sleepFor(c.delay);
            end = sched().now();
        });
        EXPECT_EQ(end, start + c.delay);
    }
}

TEST_F(TimeTest, SleepersWakeInDeadlineOrder) {
    Lines order;
    using Sleeper = std::pair<const char*, Time>;
    for (auto [name, delay] : {Sleeper{"slow", 30}, Sleeper{"fast", 10}, Sleeper{"mid", 20}})
        sched().spawn(name, [&, name = std::string(name), delay = delay] {
            sleepFor(delay);
            order.push_back(name + "@" + std::to_string(sched().now()));
        });
    EXPECT_TRUE(sched().run());
    EXPECT_EQ(order, (Lines{"fast@10", "mid@20", "slow@30"}));
}

TEST_F(TimeTest, EventsAtTheSameTimeFireInTheOrderTheyWereScheduled) {
    Lines fired;
    sched().at(100, "first", [&] {
        fired.push_back("first");
        sched().after(0, "added by first", [&] { fired.push_back("added by first"); });
    });
    sched().at(100, "second", [&] { fired.push_back("second"); });
    sched().at(50, "earlier", [&] { fired.push_back("earlier"); });
    sched().at(100, "third", [&] { fired.push_back("third"); });
    EXPECT_TRUE(sched().run());
    EXPECT_EQ(fired, (Lines{"earlier", "first", "second", "third", "added by first"}));
    EXPECT_EQ(sched().trace(), (Lines{"50 -: fire earlier", "100 -: fire first", "100 -: fire second",
                                      "100 -: fire third", "100 -: fire added by first"}));
}

TEST_F(TimeTest, ClockJumpsToTheNextEventOnlyWhenNothingCanRun) {
    Lines seen;
    sched().at(5 * kSecond, [&] { seen.push_back("event@" + std::to_string(sched().now())); });
    sched().spawn("busy", [&] {
        for (int i = 0; i < 3; ++i) {
            seen.push_back("busy@" + std::to_string(sched().now()));
            sched().yield();
        }
    });
    sched().spawn("other", [&] {
        sched().yield();
        seen.push_back("other@" + std::to_string(sched().now()));
    });
    EXPECT_TRUE(sched().run());
    EXPECT_EQ(seen, (Lines{"busy@0", "busy@0", "other@0", "busy@0", "event@50000000"}));
    EXPECT_EQ(sched().now(), 5 * kSecond);
}

TEST_F(TimeTest, EventInThePastFiresAtOnceWithoutMovingTheClockBack) {
    Time firedAt = -1;
    runInFiber([&] {
        sleepFor(1000);
        sched().at(10, [&] { firedAt = sched().now(); });
        sched().yield(); // nothing else to run: no switch
        sleepFor(1);
    });
    EXPECT_EQ(firedAt, 1000);
    EXPECT_EQ(sched().now(), 1001);
}

TEST_F(TimeTest, CancelledEventNeverFires) {
    bool fired = false;
    auto id = sched().after(100, [&] { fired = true; });
    auto other = sched().after(200, [] {});
    EXPECT_TRUE(sched().isPending(id));
    EXPECT_TRUE(sched().cancel(id));
    EXPECT_FALSE(sched().cancel(id));
    EXPECT_FALSE(sched().isPending(id));
    EXPECT_TRUE(sched().run());
    EXPECT_FALSE(fired);
    EXPECT_FALSE(sched().isPending(other));
    EXPECT_FALSE(sched().cancel(other)); // already fired
    EXPECT_EQ(sched().now(), 200);
}

TEST_F(TimeTest, RunUntilStopsAtTheLimitAndLeavesLaterEventsPending) {
    Event late(Event::Kind::Notification, false, "late");
    Lines fired;
    sched().at(10, [&] { fired.push_back("at 10"); });
    sched().at(20, [&] { fired.push_back("at 20"); });
    auto at30 = sched().at(30, [&] {
        fired.push_back("at 30");
        late.set();
    });
    Fiber* waiter = sched().spawn("waiter", [&] { late.wait(); });

    EXPECT_FALSE(sched().runUntil(20));
    EXPECT_EQ(fired, (Lines{"at 10", "at 20"})); // an event exactly at the limit fires
    EXPECT_EQ(sched().now(), 20);
    EXPECT_TRUE(sched().isPending(at30));
    EXPECT_TRUE(waiter->blocked());
    EXPECT_EQ(waiter->waitingFor(), "event late");
    EXPECT_TRUE(sched().verifier().empty()); // not blocked forever: something is still due

    EXPECT_FALSE(sched().runUntil(25)); // idle up to the limit: the clock still gets there
    EXPECT_EQ(sched().now(), 25);

    EXPECT_TRUE(sched().run());
    EXPECT_TRUE(waiter->finished());
    EXPECT_EQ(sched().now(), 30);
}

} // namespace
} // namespace zv::sim
