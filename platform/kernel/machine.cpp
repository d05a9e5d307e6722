// The current machine for kernel routines, and their verifier reports.
#include "platform/kernel/machine.h"

#include "platform/sim/scheduler.h"
#include "platform/sim/verifier.h"

#include <cstdio>
#include <cstdlib>

namespace zv::kernel {

sim::Scheduler* machine() {
    return sim::Scheduler::current();
}

sim::Scheduler& requireMachine(const char* routine) {
    sim::Scheduler* m = machine();
    if (m == nullptr) {
        std::fprintf(stderr, "%s: no machine is running (no scheduler exists)\n", routine);
        std::abort();
    }
    return *m;
}

void reportMisuse(std::string_view rule, std::string object, const char* routine, std::string detail) {
    if (sim::Scheduler* m = machine()) {
        m->verifier().report(rule, std::move(object), routine, std::move(detail));
        return;
    }
    std::fprintf(stderr, "verifier: %.*s: %s in %s: %s\n", int(rule.size()), rule.data(), object.c_str(),
                 routine, detail.c_str());
}

bool checkPassive(const char* routine) {
    sim::Scheduler* m = machine();
    if (m == nullptr || m->irql() == sim::Irql::Passive)
        return true;
    reportMisuse(sim::rule::kPassiveOnly, routine, routine,
                 std::string("called at ") + sim::irqlName(m->irql()) + ", needs PASSIVE_LEVEL");
    return false;
}

} // namespace zv::kernel
