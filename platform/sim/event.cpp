// Events and sleeping: the waits the platform's own code uses.
#include "platform/sim/scheduler_impl.h"

#include <algorithm>
#include <stdexcept>

namespace zv::sim {

Event::Event(Kind kind, bool signaled, std::string name)
    : kind_(kind), signaled_(signaled), name_(std::move(name)) {}

Event::~Event() {
    for (Fiber* waiter : waiters_)
        if (waiter->impl_->waitingEvent == this)
            waiter->impl_->waitingEvent = nullptr;
}

void Event::set() {
    signaled_ = true;
    // Waiters that timed out but have not run yet are skipped: they return false and take nothing.
    std::vector<Fiber*> waiters = std::move(waiters_);
    waiters_.clear();
    size_t i = 0;
    for (; i < waiters.size(); ++i) {
        Fiber* waiter = waiters[i];
        if (!waiter->blocked() || waiter->impl_->waitingEvent != this)
            continue;
        waiter->impl_->waitingEvent = nullptr;
        waiter->impl_->eventSatisfied = true;
        waiter->impl_->sched.wake(waiter);
        if (kind_ == Kind::Synchronization) {
            signaled_ = false;
            ++i;
            break;
        }
    }
    waiters_.insert(waiters_.end(), waiters.begin() + static_cast<std::ptrdiff_t>(i), waiters.end());
}

void Event::reset() {
    signaled_ = false;
}

bool Event::wait(std::optional<Time> timeout) {
    return wait(timeout, "Event::wait");
}

bool Event::wait(std::optional<Time> timeout, std::string_view routine) {
    if (timeout && *timeout < 0)
        throw std::invalid_argument(std::string(routine) + ": negative time-out for event " + name_);
    Scheduler* s = Scheduler::current();
    Fiber* fiber = s ? s->currentFiber() : nullptr;
    const bool zero = timeout && *timeout == 0;
    // Checked before looking at the state, as the verifier does: whether the event happens to be set must
    // not decide whether the bug is seen.
    if (fiber && !zero && fiber->irql_ >= Irql::Dispatch)
        s->verifier().report(rule::kWaitAtDispatch, name_, std::string(routine),
                             "fiber " + fiber->name() + " waits at " + irqlName(fiber->irql_));
    if (signaled_) {
        if (kind_ == Kind::Synchronization)
            signaled_ = false;
        return true;
    }
    if (zero)
        return false;
    if (!fiber)
        throw std::logic_error(std::string(routine) + ": waiting for event " + name_ + " outside a fiber");

    std::optional<Time> deadline;
    if (timeout)
        deadline = deadlineAfter(s->now(), *timeout);
    fiber->impl_->eventSatisfied = false;
    const std::string what = "event " + name_;
    for (;;) {
        if (std::find(waiters_.begin(), waiters_.end(), fiber) == waiters_.end())
            waiters_.push_back(fiber);
        fiber->impl_->waitingEvent = this;
        std::optional<Time> remaining;
        if (deadline)
            remaining = std::max<Time>(0, *deadline - s->now());
        // If this throws (shutdown), the event may already be gone: the scheduler undoes the links.
        bool woken = s->impl_->block(fiber, Wait{what, name_, routine, remaining, false});
        if (fiber->impl_->eventSatisfied)
            return true;
        if (!woken) {
            fiber->impl_->waitingEvent = nullptr;
            std::erase(waiters_, fiber);
            return false;
        }
        // Woken by someone else's wake(): wait on.
    }
}

void sleepFor(Time delay) {
    sleepFor(delay, "sleepFor");
}

void sleepFor(Time delay, std::string_view routine) {
    Scheduler* s = Scheduler::current();
    Fiber* fiber = s ? s->currentFiber() : nullptr;
    if (!fiber)
        throw std::logic_error(std::string(routine) + " called outside a fiber");
    if (delay < 0)
        throw std::invalid_argument(std::string(routine) + ": negative delay");
    if (delay == 0) {
        s->yield();
        return;
    }
    const std::optional<Time> deadline = deadlineAfter(s->now(), delay);
    bool first = true;
    while (!deadline || s->now() < *deadline) {
        std::optional<Time> remaining;
        if (deadline)
            remaining = *deadline - s->now();
        s->impl_->block(fiber, Wait{"delay", "delay", routine, remaining, first});
        first = false;
    }
}

} // namespace zv::sim
