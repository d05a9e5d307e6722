// Kernel events a driver embeds: notification and synchronization kinds, waits with time-outs on the
// virtual clock, and the misuse reported on them.
#include "tests/support/sim_test.h"

#include "platform/kernel/machine.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>

namespace zv::kernel {
namespace {

using test::SimTest;

class KeEventTest : public SimTest {};

NTSTATUS waitFor(KEVENT& event, std::optional<LONGLONG> timeout) {
    LARGE_INTEGER t;
    if (timeout)
        t.QuadPart = *timeout;
    return KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, timeout ? &t : nullptr);
}

TEST_F(KeEventTest, KindsDecideHowManyWaitersASetReleases) {
    struct Case {
        EVENT_TYPE type;
        int released;    // of three waiters, by one KeSetEvent
        LONG stateAfter; // KeReadStateEvent once they ran
    };
    for (const Case& c : {Case{NotificationEvent, 3, 1}, Case{SynchronizationEvent, 1, 0}}) {
        test::ScopedSim sim;
        KEVENT event;
        int released = 0;
        sim.runInFiber([&] {
            KeInitializeEvent(&event, c.type, FALSE);
            for (int i = 0; i < 3; ++i)
                sim.sched().spawn("waiter", [&] {
                    if (waitFor(event, -10 * LONGLONG(sim::kMillisecond)) == STATUS_SUCCESS)
                        ++released;
                });
            sim::sleepFor(sim::kMillisecond);
            EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
            sim::sleepFor(20 * sim::kMillisecond);
            EXPECT_EQ(released, c.released);
            EXPECT_EQ(KeReadStateEvent(&event), c.stateAfter);
            EXPECT_EQ(event.Header.SignalState, c.stateAfter);
        });
    }
}

TEST_F(KeEventTest, WaitsTimeOutOnTheVirtualClock) {
    runInFiber([&] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        EXPECT_EQ(waitFor(event, 0), STATUS_TIMEOUT); // a poll
        sim::Time start = sched().now();
        EXPECT_EQ(waitFor(event, -5 * LONGLONG(sim::kMillisecond)), STATUS_TIMEOUT);
        EXPECT_EQ(sched().now() - start, 5 * sim::kMillisecond);
        // An absolute time-out is a point on the clock.
        EXPECT_EQ(waitFor(event, sched().now() + sim::kMillisecond), STATUS_TIMEOUT);
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
        EXPECT_EQ(waitFor(event, std::nullopt), STATUS_SUCCESS);
        EXPECT_EQ(KeResetEvent(&event), 1);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
    });
}

TEST_F(KeEventTest, MisuseIsReported) {
    runInFiber([&] {
        KEVENT never;
        std::memset(&never, 0, sizeof never);
        EXPECT_EQ(waitFor(never, 0), STATUS_INVALID_PARAMETER);
    });
    expectViolation(rule::kInvalidParameter);
    runInFiber([&] {
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, TRUE);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        waitFor(event, -LONGLONG(sim::kMillisecond));
        KeLowerIrql(old);
    });
    expectViolation(sim::rule::kWaitAtDispatch);
}

} // namespace
} // namespace zv::kernel
