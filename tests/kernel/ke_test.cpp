// Delays on the virtual clock, interrupt request levels, time, and the per-machine configuration record.
#include "tests/support/sim_test.h"

#include "platform/kernel/machine.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace zv::kernel {
namespace {

using test::SimTest;

NTSTATUS delay(LONGLONG interval) {
    LARGE_INTEGER li;
    li.QuadPart = interval;
    return KeDelayExecutionThread(KernelMode, FALSE, &li);
}

class KeTest : public SimTest {};

TEST_F(KeTest, DelaysEndExactlyOnTheVirtualClock) {
    struct Case {
        sim::Time start;    // when the delay begins
        LONGLONG interval;  // negative relative, positive absolute
        sim::Time expected; // when it returns
    };
    const Case cases[] = {
        {0, -10'000'000, 10'000'000}, // one second
        {500, -1, 501},               // one tick
        {500, 2'000, 2'000},          // absolute, in the future
        {5'000, 2'000, 5'000},        // absolute, already past: no wait
        {700, 0, 700},                // zero only yields
    };
    for (const Case& c : cases) {
        test::ScopedSim sim;
        sim::Time returned = -1;
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sim.runInFiber([&] {
            if (c.start != 0)
                sim.sched().block("reach start", c.start);
            status = delay(c.interval);
            returned = sim.sched().now();
        });
        EXPECT_EQ(status, STATUS_SUCCESS) << c.interval;
        EXPECT_EQ(returned, c.expected) << c.interval;
    }
}

TEST_F(KeTest, AZeroDelayLetsOthersRunFirst) {
    std::vector<std::string> order;
    sched().spawn("a", [&] {
        order.push_back("a1");
        delay(0);
        order.push_back("a2");
    });
    sched().spawn("b", [&] { order.push_back("b"); });
    sched().run();
    EXPECT_EQ(order, (std::vector<std::string>{"a1", "b", "a2"}));
}

TEST_F(KeTest, DelayAtDispatchLevelIsAVerifierError) {
    for (LONGLONG interval : {-10'000LL, 0LL}) {
        sched().spawnDpc("dpc", [&] {
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            delay(interval);
        });
        sched().run();
        auto reports = expectViolation(sim::rule::kWaitAtDispatch);
        EXPECT_EQ(reports.size(), 1u) << interval;
    }
}

TEST_F(KeTest, DelayNeedsAThreadAndAnInterval) {
    EXPECT_EQ(delay(-10), STATUS_INTERNAL_ERROR); // the test body is not a fiber
    expectViolation(rule::kOutsideThread);
    runInFiber(
        [&] { EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, nullptr), STATUS_INVALID_PARAMETER); });
}

TEST_F(KeTest, IrqlRaisesAndLowersOnTheRunningFiber) {
    runInFiber([&] {
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        KIRQL old = 99;
        KeRaiseIrql(APC_LEVEL, &old);
        EXPECT_EQ(old, PASSIVE_LEVEL);
        EXPECT_EQ(KeRaiseIrqlToDpcLevel(), APC_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
        KeLowerIrql(PASSIVE_LEVEL);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
}

TEST_F(KeTest, IrqlMisuseIsReportedAndRefused) {
    struct Case {
        const char* what;
        void (*misuse)();
        KIRQL after;
    };
    const Case cases[] = {
        {"raise below the current level",
         [] {
             KIRQL old;
             KeRaiseIrql(DISPATCH_LEVEL, &old);
             KeRaiseIrql(PASSIVE_LEVEL, &old);
         },
         DISPATCH_LEVEL},
        {"lower above the current level", [] { KeLowerIrql(DISPATCH_LEVEL); }, PASSIVE_LEVEL},
        {"raise past DISPATCH_LEVEL",
         [] {
             KIRQL old;
             KeRaiseIrql(31, &old);
         },
         PASSIVE_LEVEL},
    };
    for (const Case& c : cases) {
        KIRQL after = 99;
        runInFiber([&] {
            c.misuse();
            after = KeGetCurrentIrql();
            KeLowerIrql(PASSIVE_LEVEL);
        });
        EXPECT_EQ(after, c.after) << c.what;
        EXPECT_EQ(expectViolation(sim::rule::kIrqlMisuse).size(), 1u) << c.what;
    }
}

TEST_F(KeTest, TimeFollowsTheVirtualClock) {
    LARGE_INTEGER boot, later;
    ULONGLONG interrupt = 1;
    sim::Time reached = 0;
    runInFiber([&] {
        KeQuerySystemTime(&boot);
        EXPECT_EQ(KeQueryInterruptTime(), 0u);
        delay(-3 * sim::kSecond);
        KeQuerySystemTime(&later);
        interrupt = KeQueryInterruptTime();
        // An absolute due time made from the system time lands on the clock.
        LARGE_INTEGER due = later;
        due.QuadPart += sim::kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &due);
        reached = sched().now();
    });
    EXPECT_EQ(reached, 3 * sim::kSecond + sim::kMillisecond);
    EXPECT_EQ(boot.QuadPart, 0); // system time is the virtual clock
    EXPECT_EQ(later.QuadPart, 3 * sim::kSecond);
    EXPECT_EQ(interrupt, ULONGLONG(3 * sim::kSecond));
    LARGE_INTEGER frequency;
    EXPECT_EQ(KeQueryPerformanceCounter(&frequency).QuadPart, 3 * sim::kSecond + sim::kMillisecond);
    EXPECT_EQ(frequency.QuadPart, sim::kSecond);
}

TEST_F(KeTest, ConfigurationInformationIsPerMachine) {
    PCONFIGURATION_INFORMATION info = IoGetConfigurationInformation();
    EXPECT_EQ(info->SerialCount, 0u);
    EXPECT_EQ(info->Version, sizeof(CONFIGURATION_INFORMATION));
    info->SerialCount++;
    EXPECT_EQ(IoGetConfigurationInformation(), info);
    {
        test::ScopedSim other;
        PCONFIGURATION_INFORMATION fresh = IoGetConfigurationInformation();
        EXPECT_NE(fresh, info);
        EXPECT_EQ(fresh->SerialCount, 0u);
    }
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 1u);
}

} // namespace
} // namespace zv::kernel
