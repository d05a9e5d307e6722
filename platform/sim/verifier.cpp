// The verifier's log.
#include "platform/sim/verifier.h"

#include "platform/sim/scheduler.h"

#include <algorithm>
#include <iostream>

namespace zv::sim {

std::string Violation::text() const {
    std::string line = "[" + rule + "] " + routine + ": " + object;
    if (!detail.empty())
        line += ": " + detail;
    line += " (t=" + std::to_string(time);
    if (!fiber.empty())
        line += ", fiber " + fiber;
    line += ")";
    return line;
}

void VerifierLog::report(std::string_view rule, std::string object, std::string routine, std::string detail) {
    Violation v;
    v.rule = rule;
    v.object = std::move(object);
    v.routine = std::move(routine);
    v.detail = std::move(detail);
    if (Scheduler* s = Scheduler::current()) {
        v.time = s->now();
        if (Fiber* f = s->currentFiber())
            v.fiber = f->name();
    }
    if (echo_)
        std::cerr << v.text() << '\n';
    entries_.push_back(std::move(v));
}

size_t VerifierLog::count(std::string_view rule) const {
    return static_cast<size_t>(
        std::count_if(entries_.begin(), entries_.end(), [&](const Violation& v) { return v.rule == rule; }));
}

std::vector<Violation> VerifierLog::take(std::string_view rule) {
    std::vector<Violation> taken;
    std::vector<Violation> kept;
    for (Violation& v : entries_)
        (v.rule == rule ? taken : kept).push_back(std::move(v));
    entries_ = std::move(kept);
    return taken;
}

std::string VerifierLog::dump() const {
    std::string all;
    for (const Violation& v : entries_)
        all += v.text() + "\n";
    return all;
}

} // namespace zv::sim
