// Private to the scheduler: the state behind Fiber and Scheduler, shared by the files that implement the
// scheduler, its events and its locks.
#ifndef ZV_SIM_SCHEDULER_IMPL_H
#define ZV_SIM_SCHEDULER_IMPL_H

#include "platform/sim/context.h"
#include "platform/sim/lock_order.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/verifier.h"

#include <deque>
#include <exception>
#include <limits>
#include <map>
#include <unordered_map>

namespace zv::sim {

// Thrown by a wait of a fiber that the scheduler is shutting down; caught at the fiber's entry. Not derived
// from std::exception, so that handlers for ordinary errors let it pass.
struct FiberAbort {};

// now + delay, or nullopt when that is past the end of time: such a wait is a wait forever (a caller that
// converts "infinite" to the largest time must not overflow the clock or have it jump there).
inline std::optional<Time> deadlineAfter(Time now, Time delay) {
    if (delay > std::numeric_limits<Time>::max() - now)
        return std::nullopt;
    return now + delay;
}

// splitmix64: small, fast and defined bit for bit, so a seed gives the same choices with any standard
// library.
class Prng {
public:
    explicit Prng(uint64_t seed) : state_(seed) {}
    uint64_t next() {
        uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    // Uniform in [0, n) by multiply-shift.
    size_t below(size_t n) { return static_cast<size_t>((static_cast<unsigned __int128>(next()) * n) >> 64); }

private:
    uint64_t state_;
};

struct Fiber::Impl {
    explicit Impl(Scheduler& s) : sched(s) {}
    Scheduler& sched;
    detail::Stack stack; // taken when the fiber first runs
    detail::Context context;
    void* fakeStack = nullptr; // the sanitizer's, while the fiber is switched out

    bool abort = false;      // being unwound by shutdown()
    bool deadlocked = false; // named in a deadlock report: not reported again as blocked forever
    bool reportedBlocked = false;
    bool timedWait = false; // the current block has a time-out, so it cannot be part of a deadlock
    Scheduler::EventId timeoutEvent = 0;

    Event* waitingEvent = nullptr;
    bool eventSatisfied = false;           // set() chose this waiter
    Irql pendingSavedIrql = Irql::Passive; // IRQL to restore when a spin lock handed to it is released
};

// What a fiber blocks on, for the checks and the reports.
struct Wait {
    std::string what;        // "event X", for waitingFor()
    std::string_view object; // "X", for a wait-at-dispatch report
    std::string_view routine;
    std::optional<Time> timeout;
    bool checkIrql = true; // false when the caller has checked (or the wait is a spin)
};

struct Scheduler::Impl {
    Impl(Scheduler& self, Options options)
        : self(self), options(options), rng(options.policy.seed), stacks(options.stackBytes) {}

    Fiber* spawn(std::string name, std::function<void()> body, Irql irql, bool dpc);
    bool runLoop(std::optional<Time> limit);
    void fireDue();
    Fiber* pickNext();
    void resume(Fiber* fiber);
    void suspend(Fiber* fiber);
    void afterSwitchBack(Fiber* fiber);
    static void fiberMain(void* arg);
    void finishBody(Fiber* fiber);
    bool block(Fiber* fiber, const Wait& wait);
    bool abortPoint();
    void makeRunnable(Fiber* fiber);
    EventId schedule(Time due, std::string name, std::function<void()> callback);
    void reportBlockedForever();
    void checkOrder(Fiber* fiber, Lock& lock, std::string_view routine);
    void checkDeadlock(Fiber* fiber, Lock& lock, std::string_view routine);
    void record(std::string_view text);
    Fiber* requireFiber(std::string_view routine) const;
    bool seeded() const { return options.policy.kind == SchedulePolicy::Kind::Seeded; }

    Scheduler& self;
    Options options;
    Scheduler* previous = nullptr; // the current() before this one

    std::vector<std::unique_ptr<Fiber>> fibers;
    std::deque<Fiber*> runnable;
    Fiber* forcedNext = nullptr; // chosen at a preemption point, taken by the next pick
    uint64_t nextFiberId = 1;
    Prng rng;

    struct Timed {
        std::string name;
        std::function<void()> callback;
    };
    std::map<std::pair<Time, EventId>, Timed> timed; // due, then id: same-time events in scheduling order
    std::unordered_map<EventId, Time> timedDue;
    EventId nextEventId = 1;

    detail::Context loop; // run()'s own context, between fibers
    void* loopFakeStack = nullptr;
    const void* loopStackBottom = nullptr;
    size_t loopStackSize = 0;
    detail::StackPool stacks;

    bool inRun = false;
    bool shuttingDown = false;
    std::exception_ptr fiberException; // escaped a fiber body; rethrown by run()
    detail::LockOrder lockOrder;
};

} // namespace zv::sim

#endif // ZV_SIM_SCHEDULER_IMPL_H
