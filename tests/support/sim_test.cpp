// The shared test fixture; see sim_test.h.
#include "tests/support/sim_test.h"

namespace zv::test {

namespace {

// Unwinding the fibers still blocked, and unloading the drivers still loaded, may themselves report, so the
// log is looked at only after that.
void finish(std::unique_ptr<sim::Scheduler>& sched) {
    if (!sched)
        return;
    sched->retire();
    expectCleanLog(*sched);
    sched.reset();
}

} // namespace

bool runInFiber(sim::Scheduler& sched, std::function<void()> body) {
    sched.spawn("test", std::move(body));
    return sched.run();
}

std::vector<sim::Violation> expectViolation(sim::Scheduler& sched, std::string_view rule) {
    std::vector<sim::Violation> taken = sched.verifier().take(rule);
    if (taken.empty())
        ADD_FAILURE() << "expected a [" << rule << "] violation; the log holds:\n" << sched.verifier().dump();
    return taken;
}

void expectCleanLog(const sim::Scheduler& sched) {
    const sim::VerifierLog& log = sched.verifier();
    if (!log.empty())
        ADD_FAILURE() << "the verifier's log is not empty:\n" << log.dump();
}

ScopedSim::ScopedSim(sim::SchedulePolicy policy) : ScopedSim(sim::Scheduler::Options{policy}) {}

ScopedSim::ScopedSim(sim::Scheduler::Options options) : sched_(std::make_unique<sim::Scheduler>(options)) {}

ScopedSim::~ScopedSim() {
    finish(sched_);
}

void SimTest::SetUp() {
    sched_ = std::make_unique<sim::Scheduler>(sim::Scheduler::Options{policy()});
}

void SimTest::TearDown() {
    finish(sched_);
}

} // namespace zv::test
