// The shared test fixture: every test runs on a fresh deterministic scheduler and fails if its run left
// anything in the verifier's log. Linking zvtestsupport also brings gtest's main.
//
//   class MyTest : public zv::test::SimTest {};
//   TEST_F(MyTest, Works) { runInFiber([&] { ... }); expectViolation(zv::sim::rule::kDeadlock); }
//
// A fixture that wants a seeded schedule overrides policy(); one that overrides SetUp or TearDown calls
// SimTest's. A parameterised test derives from SimTest and ::testing::WithParamInterface<T>. Code that needs
// a scheduler outside a fixture (two runs to compare, a helper) uses ScopedSim.
#ifndef ZV_TESTS_SUPPORT_SIM_TEST_H
#define ZV_TESTS_SUPPORT_SIM_TEST_H

#include "platform/sim/scheduler.h"
#include "platform/sim/verifier.h"

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string_view>
#include <vector>

namespace zv::test {

// Spawns a passive fiber named "test" running `body` and runs the scheduler until nothing can run.
// Returns what run() returns: true when every fiber finished.
bool runInFiber(sim::Scheduler& sched, std::function<void()> body);

// Adds a failure unless the log holds at least one entry of `rule`; removes and returns those entries, so
// that a test can look at their objects and details.
std::vector<sim::Violation> expectViolation(sim::Scheduler& sched, std::string_view rule);

// Adds a failure, with the log's dump, unless the log is empty.
void expectCleanLog(const sim::Scheduler& sched);

// A scheduler that, when it goes, unwinds its fibers, checks that the log is empty and is destroyed.
class ScopedSim {
public:
    explicit ScopedSim(sim::SchedulePolicy policy = sim::SchedulePolicy::fifo());
    explicit ScopedSim(sim::Scheduler::Options options);
    ~ScopedSim();
    ScopedSim(const ScopedSim&) = delete;
    ScopedSim& operator=(const ScopedSim&) = delete;

    sim::Scheduler& sched() { return *sched_; }
    bool runInFiber(std::function<void()> body) { return test::runInFiber(*sched_, std::move(body)); }
    std::vector<sim::Violation> expectViolation(std::string_view rule) {
        return test::expectViolation(*sched_, rule);
    }

private:
    std::unique_ptr<sim::Scheduler> sched_;
};

class SimTest : public ::testing::Test {
protected:
    // The schedule of the test's scheduler; called once, in SetUp.
    virtual sim::SchedulePolicy policy() const { return sim::SchedulePolicy::fifo(); }

    void SetUp() override;
    void TearDown() override;

    sim::Scheduler& sched() { return *sched_; }
    void runInFiber(std::function<void()> body) { test::runInFiber(*sched_, std::move(body)); }
    std::vector<sim::Violation> expectViolation(std::string_view rule) {
        return test::expectViolation(*sched_, rule);
    }

private:
    std::unique_ptr<sim::Scheduler> sched_;
};

} // namespace zv::test

#endif // ZV_TESTS_SUPPORT_SIM_TEST_H
