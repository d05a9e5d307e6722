// Locks: ownership, spin-lock IRQL, hand-off to waiters in arrival order, and the checks that guard them
// (recursion, release by a non-owner, lock order, deadlock, waits at DISPATCH_LEVEL).
//
// A released lock goes straight to its first waiter rather than to whoever asks next, so a waiter cannot
// starve and a run does not depend on which fiber happens to get there first.
#include "platform/sim/scheduler_impl.h"

#include <algorithm>
#include <stdexcept>

namespace zv::sim {

Lock::Lock(Kind kind, std::string name) : kind_(kind), name_(std::move(name)) {}

Lock::~Lock() {
    if (order_)
        order_->forget(*this);
    if (owner_)
        std::erase(owner_->held_, this);
    for (Fiber* waiter : waiters_)
        if (waiter->waitingLock_ == this)
            waiter->waitingLock_ = nullptr;
}

bool Lock::acquire(std::optional<Time> timeout) {
    return acquire(timeout, "Lock::acquire");
}

bool Lock::tryAcquire() {
    return tryAcquire("Lock::tryAcquire");
}

void Lock::release() {
    release("Lock::release");
}

namespace {

Scheduler& requireScheduler(std::string_view routine) {
    Scheduler* s = Scheduler::current();
    if (!s || !s->currentFiber())
        throw std::logic_error(std::string(routine) + " called outside a fiber");
    return *s;
}

} // namespace

void Lock::take(Fiber* fiber, Irql saved) {
    owner_ = fiber;
    savedIrql_ = saved;
    fiber->held_.push_back(this);
}

bool Lock::acquire(std::optional<Time> timeout, std::string_view routine) {
    Scheduler& s = requireScheduler(routine);
    s.preempt();
    Fiber* fiber = s.currentFiber();
    if (owner_ == fiber) {
        s.verifier().report(rule::kLockRecursion, name_, std::string(routine),
                            "fiber " + fiber->name() + " already holds it");
        return false;
    }
    if (timeout && *timeout < 0)
        throw std::invalid_argument(std::string(routine) + ": negative time-out for lock " + name_);
    s.impl_->checkOrder(fiber, *this, routine);

    const Irql before = fiber->irql_;
    const bool mayWait = kind_ == Kind::Mutex && (!timeout || *timeout > 0);
    if (kind_ == Kind::Spin) {
        if (fiber->irql_ < Irql::Dispatch)
            fiber->irql_ = Irql::Dispatch; // raised before spinning, as the real thing does
    } else if (mayWait && fiber->irql_ >= Irql::Dispatch) {
        s.verifier().report(rule::kWaitAtDispatch, name_, std::string(routine),
                            "fiber " + fiber->name() + " waits for a mutex at " + irqlName(fiber->irql_));
    }
    if (!owner_) {
        take(fiber, before);
        return true;
    }
    if (kind_ == Kind::Mutex && !mayWait)
        return false;

    // Spinning on a held spin lock is modelled as blocking until the owner hands it over: the other
    // processors go on meanwhile, and nothing else can happen on this one.
    std::optional<Time> deadline;
    if (kind_ == Kind::Mutex && timeout)
        deadline = deadlineAfter(s.now(), *timeout);
    if (!deadline)
        s.impl_->checkDeadlock(fiber, *this, routine);
    fiber->impl_->pendingSavedIrql = before;
    const std::string what = (kind_ == Kind::Spin ? "spin lock " : "lock ") + name_;
    for (;;) {
        if (std::find(waiters_.begin(), waiters_.end(), fiber) == waiters_.end())
            waiters_.push_back(fiber);
        fiber->waitingLock_ = this;
        std::optional<Time> remaining;
        if (deadline)
            remaining = std::max<Time>(0, *deadline - s.now());
        // If this throws (shutdown), the lock may already be gone: the scheduler undoes the links.
        bool woken = s.impl_->block(fiber, Wait{what, name_, routine, remaining, false});
        if (owner_ == fiber)
            return true; // handed over by release(), which did the bookkeeping
        if (!woken) {
            fiber->waitingLock_ = nullptr;
            std::erase(waiters_, fiber);
            return false;
        }
        // Woken by someone else's wake(): wait on.
    }
}

bool Lock::tryAcquire(std::string_view routine) {
    Scheduler& s = requireScheduler(routine);
    s.preempt();
    Fiber* fiber = s.currentFiber();
    if (owner_ == fiber) {
        s.verifier().report(rule::kLockRecursion, name_, std::string(routine),
                            "fiber " + fiber->name() + " already holds it");
        return false;
    }
    if (owner_)
        return false;
    const Irql before = fiber->irql_;
    if (kind_ == Kind::Spin && fiber->irql_ < Irql::Dispatch)
        fiber->irql_ = Irql::Dispatch;
    take(fiber, before);
    return true;
}

void Lock::release(std::string_view routine) {
    Scheduler& s = requireScheduler(routine);
    Fiber* fiber = s.currentFiber();
    if (owner_ != fiber) {
        s.verifier().report(
            rule::kLockNotOwner, name_, std::string(routine),
            "fiber " + fiber->name() + " releases it while " +
                (owner_ ? "fiber " + owner_->name() + " holds it" : std::string("nobody holds it")));
        return;
    }
    releaseHeld(fiber);
    s.preempt();
}

void Lock::releaseHeld(Fiber* fiber) {
    auto it = std::find(fiber->held_.begin(), fiber->held_.end(), this);
    if (kind_ == Kind::Spin && it != fiber->held_.end()) {
        // Released out of order: the next spin lock taken after this one now restores this one's IRQL,
        // and the fiber stays at DISPATCH_LEVEL until then.
        auto later = std::find_if(std::next(it), fiber->held_.end(),
                                  [](const Lock* l) { return l->kind_ == Kind::Spin; });
        if (later != fiber->held_.end())
            (*later)->savedIrql_ = savedIrql_;
        else
            fiber->irql_ = savedIrql_;
    }
    if (it != fiber->held_.end())
        fiber->held_.erase(it);
    owner_ = nullptr;
    handOff();
}

void Lock::handOff() {
    while (!waiters_.empty()) {
        Fiber* next = waiters_.front();
        waiters_.erase(waiters_.begin());
        // A waiter that timed out (or was woken otherwise) and has not run yet finds its own way.
        if (!next->blocked() || next->waitingLock_ != this)
            continue;
        take(next, next->impl_->pendingSavedIrql);
        next->waitingLock_ = nullptr;
        next->impl_->sched.wake(next);
        return;
    }
}

// ---- checks kept by the scheduler
// --------------------------------------------------------------------------

void Scheduler::Impl::checkOrder(Fiber* fiber, Lock& lock, std::string_view routine) {
    const std::string origin = "fiber " + fiber->name() + " at t=" + std::to_string(self.now_);
    for (Lock* held : fiber->held_) {
        auto inversion = lockOrder.observe(*held, lock, origin);
        if (!inversion)
            continue;
        std::string learned;
        for (const std::string& name : inversion->path)
            learned += (learned.empty() ? "" : " -> ") + name;
        self.verifier().report(rule::kLockOrder, lock.name(), std::string(routine),
                               "acquired while holding lock " + held->name() + ", but the order " + learned +
                                   " was learned first (" + inversion->learnedBy + ")");
    }
}

// Follows lock -> owner -> the lock that owner waits for ..., through fibers blocked without a time-out.
// Only the fiber that closes a cycle can find it, so each deadlock is reported once.
void Scheduler::Impl::checkDeadlock(Fiber* fiber, Lock& lock, std::string_view routine) {
    std::vector<std::pair<Fiber*, Lock*>> chain;
    Fiber* waiter = fiber;
    Lock* wanted = &lock;
    for (;;) {
        if (chain.size() > fibers.size())
            return; // a cycle that does not pass through this fiber: found by whoever closed it
        Fiber* owner = wanted->owner_;
        if (!owner)
            return;
        chain.emplace_back(waiter, wanted);
        if (owner == fiber)
            break;
        if (!owner->blocked() || owner->impl_->timedWait || !owner->waitingLock_)
            return;
        waiter = owner;
        wanted = owner->waitingLock_;
    }
    std::string detail;
    for (auto& [f, l] : chain) {
        if (!detail.empty())
            detail += "; ";
        detail +=
            "fiber " + f->name() + " waits for lock " + l->name() + " held by fiber " + l->owner_->name();
        f->impl_->deadlocked = true;
    }
    self.verifier().report(rule::kDeadlock, lock.name(), std::string(routine), detail);
}

} // namespace zv::sim
