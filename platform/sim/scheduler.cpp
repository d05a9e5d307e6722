// The scheduler: fibers, the run loop, the virtual clock and its timed events, preemption under a seeded
// schedule, blocking and waking, IRQL, and the end-of-run and shutdown handling.
//
// Every switch goes through run()'s own context: a fiber that blocks, yields or finishes switches back to
// the loop, which fires due timed events and resumes the next fiber. Time only moves when no fiber can run.
#include "platform/sim/scheduler.h"

#include "platform/sim/scheduler_impl.h"
#include "platform/sim/verifier.h"

#include <algorithm>
#include <limits>
#include <stdexcept>

namespace zv::sim {

namespace {

// The one global of the platform: the scheduler current() returns. Each scheduler remembers the one before
// it, so destroying the newest makes the previous one current again.
Scheduler* gCurrent = nullptr;

constexpr std::string_view kLoopName = "-";

} // namespace

const char* irqlName(Irql irql) {
    switch (irql) {
        case Irql::Passive:
            return "PASSIVE_LEVEL";
        case Irql::Apc:
            return "APC_LEVEL";
        case Irql::Dispatch:
            return "DISPATCH_LEVEL";
    }
    return "UNKNOWN_LEVEL";
}

Fiber::Fiber(uint64_t id, std::string name, Irql irql, bool dpc, std::function<void()> body)
    : id_(id), name_(std::move(name)), irql_(irql), dpc_(dpc), body_(std::move(body)) {}

Fiber::~Fiber() = default;

Scheduler::Scheduler() : Scheduler(Options{}) {}

Scheduler::Scheduler(Options options)
    : verifier_(std::make_unique<VerifierLog>()), impl_(std::make_unique<Impl>(*this, options)) {
    impl_->previous = gCurrent;
    gCurrent = this;
}

Scheduler::~Scheduler() {
    retire();
    // Services go before the fibers' records and the lock graph: their destructors may still use both.
    while (!services_.empty()) {
        Service last = std::move(services_.back());
        services_.pop_back();
    }
    Scheduler* previous = impl_->previous;
    impl_.reset();
    if (gCurrent == this) {
        gCurrent = previous;
    } else {
        for (Scheduler* s = gCurrent; s; s = s->impl_->previous)
            if (s->impl_->previous == this) {
                s->impl_->previous = previous;
                break;
            }
    }
}

Scheduler* Scheduler::current() {
    return gCurrent;
}

// ---- fibers
// ------------------------------------------------------------------------------------------------

Fiber* Scheduler::spawn(std::string name, std::function<void()> body, Irql irql) {
    return impl_->spawn(std::move(name), std::move(body), irql, false);
}

Fiber* Scheduler::spawnDpc(std::string name, std::function<void()> body) {
    return impl_->spawn(std::move(name), std::move(body), Irql::Dispatch, true);
}

Fiber* Scheduler::Impl::spawn(std::string name, std::function<void()> body, Irql irql, bool dpc) {
    if (!body)
        throw std::invalid_argument("Scheduler::spawn: fiber " + name + " has no body");
    auto* fiber = new Fiber(nextFiberId++, std::move(name), irql, dpc, std::move(body));
    fibers.emplace_back(fiber);
    fiber->impl_ = std::make_unique<Fiber::Impl>(self);
    record("spawn " + fiber->name_);
    if (shuttingDown) { // spawned by a fiber being unwound: it would only be unwound in turn
        fiber->state_ = Fiber::State::Finished;
        fiber->body_ = nullptr;
        return fiber;
    }
    fiber->state_ = Fiber::State::Created;
    runnable.push_back(fiber);
    return fiber;
}

std::vector<Fiber*> Scheduler::fibers() const {
    std::vector<Fiber*> all;
    all.reserve(impl_->fibers.size());
    for (const auto& f : impl_->fibers)
        all.push_back(f.get());
    return all;
}

// ---- the run loop
// ------------------------------------------------------------------------------------------

bool Scheduler::run() {
    return impl_->runLoop(std::nullopt);
}

bool Scheduler::runUntil(Time limit) {
    return impl_->runLoop(limit);
}

bool Scheduler::Impl::runLoop(std::optional<Time> limit) {
    if (self.running_)
        throw std::logic_error("Scheduler::run called from fiber " + self.running_->name_);
    if (inRun)
        throw std::logic_error("Scheduler::run called from a timed event");
    struct InRun {
        bool& flag;
        explicit InRun(bool& f) : flag(f) { flag = true; }
        ~InRun() { flag = false; }
    } guard(inRun);

    bool stoppedAtLimit = false;
    for (;;) {
        fireDue();
        if (Fiber* next = pickNext()) {
            resume(next);
            if (fiberException)
                std::rethrow_exception(std::exchange(fiberException, nullptr));
            continue;
        }
        if (timed.empty())
            break;
        Time due = timed.begin()->first.first;
        if (limit && due > *limit) {
            stoppedAtLimit = true;
            break;
        }
        self.now_ = due;
    }
    if (limit && self.now_ < *limit)
        self.now_ = *limit;
    if (!stoppedAtLimit)
        reportBlockedForever();
    return std::all_of(fibers.begin(), fibers.end(), [](const auto& f) { return f->finished(); });
}

void Scheduler::Impl::fireDue() {
    while (!timed.empty() && timed.begin()->first.first <= self.now_) {
        auto node = timed.extract(timed.begin());
        timedDue.erase(node.key().second);
        record("fire " + node.mapped().name);
        node.mapped().callback();
    }
}

Fiber* Scheduler::Impl::pickNext() {
    if (runnable.empty())
        return nullptr;
    size_t index = 0;
    if (forcedNext) {
        auto it = std::find(runnable.begin(), runnable.end(), forcedNext);
        if (it != runnable.end())
            index = static_cast<size_t>(it - runnable.begin());
        forcedNext = nullptr;
    } else if (seeded()) {
        index = rng.below(runnable.size());
    }
    Fiber* fiber = runnable[index];
    runnable.erase(runnable.begin() + static_cast<std::ptrdiff_t>(index));
    return fiber;
}

void Scheduler::Impl::reportBlockedForever() {
    for (const auto& f : fibers) {
        if (!f->blocked() || f->impl_->reportedBlocked || f->impl_->deadlocked)
            continue;
        f->impl_->reportedBlocked = true;
        self.verifier().report(rule::kBlockedForever, f->waitingFor_, "Scheduler::run",
                               "fiber " + f->name_ + " is blocked forever waiting for " + f->waitingFor_);
    }
}

// ---- switching
// ---------------------------------------------------------------------------------------------

void Scheduler::Impl::resume(Fiber* fiber) {
    if (fiber->state_ == Fiber::State::Created) {
        fiber->impl_->stack = stacks.take();
        fiber->impl_->context.prepare(fiber->impl_->stack, &Impl::fiberMain, fiber);
    }
    fiber->state_ = Fiber::State::Running;
    self.running_ = fiber;
    if (self.traceEnabled_)
        self.trace_.push_back(std::to_string(self.now_) + " " + std::string(kLoopName) + ": run " +
                              fiber->name_);
    detail::startSwitch(&loopFakeStack, fiber->impl_->stack.bottom(), fiber->impl_->stack.size());
    loop.switchTo(fiber->impl_->context);
    detail::finishSwitch(loopFakeStack, nullptr, nullptr);
    self.running_ = nullptr;
    if (fiber->state_ == Fiber::State::Finished)
        stacks.give(std::move(fiber->impl_->stack));
}

// The caller has already put the fiber where it belongs (runnable queue or blocked).
void Scheduler::Impl::suspend(Fiber* fiber) {
    detail::startSwitch(&fiber->impl_->fakeStack, loopStackBottom, loopStackSize);
    fiber->impl_->context.switchTo(loop);
    detail::finishSwitch(fiber->impl_->fakeStack, &loopStackBottom, &loopStackSize);
}

void Scheduler::Impl::fiberMain(void* arg) {
    auto* fiber = static_cast<Fiber*>(arg);
    Impl& s = *fiber->impl_->sched.impl_;
    detail::finishSwitch(nullptr, &s.loopStackBottom, &s.loopStackSize);
    s.finishBody(fiber);
    // Nothing of this frame needs destroying: the switch below never returns and the stack is reused.
    detail::startSwitch(nullptr, s.loopStackBottom, s.loopStackSize);
    fiber->impl_->context.switchTo(s.loop);
    __builtin_trap();
}

void Scheduler::Impl::finishBody(Fiber* fiber) {
    try {
        if (!fiber->impl_->abort)
            fiber->body_();
    } catch (const FiberAbort&) {
    } catch (...) {
        if (!shuttingDown && !fiberException)
            fiberException = std::current_exception();
    }
    // Captured objects die on the fiber, so that a captured guard releasing a lock is still its owner.
    fiber->body_ = nullptr;

    // A fiber that ends holding locks would block their next users forever: report, then release.
    while (!fiber->held_.empty()) {
        Lock* lock = fiber->held_.back();
        if (!shuttingDown)
            self.verifier().report(rule::kLockHeldOnReturn, lock->name(), "fiber exit",
                                   "fiber " + fiber->name_ + " finished holding lock " + lock->name());
        lock->releaseHeld(fiber);
    }
    // An unwound wait leaves its links for us to undo (the waited object may be gone, in which case its
    // destructor has cleared the link).
    if (Lock* lock = fiber->waitingLock_) {
        std::erase(lock->waiters_, fiber);
        fiber->waitingLock_ = nullptr;
    }
    if (Event* event = fiber->impl_->waitingEvent) {
        std::erase(event->waiters_, fiber);
        fiber->impl_->waitingEvent = nullptr;
    }
    fiber->waitingFor_.clear();
    fiber->state_ = Fiber::State::Finished;
    record("finish");
}

// ---- preemption, blocking, waking
// --------------------------------------------------------------------------

Fiber* Scheduler::Impl::requireFiber(std::string_view routine) const {
    if (!self.running_)
        throw std::logic_error(std::string(routine) + " called outside a fiber");
    return self.running_;
}

// Shutdown unwinds a fiber from its next wait. Where that wait runs during an unwinding already (a
// destructor), a second exception would terminate: the wait fails as a time-out instead.
bool Scheduler::Impl::abortPoint() {
    if (std::uncaught_exceptions() == 0)
        throw FiberAbort{};
    return false;
}

void Scheduler::preempt() {
    Fiber* fiber = running_;
    // preempt() runs in destructors (a guard's release), so it never throws for shutdown: it just goes on.
    if (!fiber || !impl_->seeded() || fiber->impl_->abort || impl_->runnable.empty())
        return;
    size_t choice = impl_->rng.below(impl_->runnable.size() + 1);
    if (choice == impl_->runnable.size())
        return; // the running fiber goes on
    impl_->forcedNext = impl_->runnable[choice];
    fiber->state_ = Fiber::State::Runnable;
    impl_->runnable.push_back(fiber);
    impl_->suspend(fiber);
}

void Scheduler::yield() {
    Fiber* fiber = running_;
    if (!fiber)
        return;
    // A polling loop that yields must end when the scheduler shuts down.
    if (fiber->impl_->abort) {
        impl_->abortPoint();
        return;
    }
    if (impl_->runnable.empty())
        return;
    if (impl_->seeded())
        impl_->forcedNext = impl_->runnable[impl_->rng.below(impl_->runnable.size())];
    fiber->state_ = Fiber::State::Runnable;
    impl_->runnable.push_back(fiber);
    impl_->suspend(fiber);
    if (fiber->impl_->abort)
        impl_->abortPoint();
}

bool Scheduler::block(std::string what, std::optional<Time> timeout) {
    return block(std::move(what), timeout, "Scheduler::block");
}

bool Scheduler::block(std::string what, std::optional<Time> timeout, std::string_view routine) {
    Fiber* fiber = impl_->requireFiber(routine);
    return impl_->block(fiber, Wait{what, what, routine, timeout});
}

bool Scheduler::Impl::block(Fiber* fiber, const Wait& wait) {
    if (fiber->impl_->abort)
        return abortPoint();
    if (wait.timeout && *wait.timeout < 0)
        throw std::invalid_argument(std::string(wait.routine) + ": negative time-out");
    bool zero = wait.timeout && *wait.timeout == 0;
    if (wait.checkIrql && !zero && fiber->irql_ >= Irql::Dispatch)
        self.verifier().report(rule::kWaitAtDispatch, std::string(wait.object), std::string(wait.routine),
                               "fiber " + fiber->name_ + " waits at " + irqlName(fiber->irql_));
    if (zero)
        return false;

    std::optional<Time> due;
    if (wait.timeout)
        due = deadlineAfter(self.now_, *wait.timeout);
    fiber->state_ = Fiber::State::Blocked;
    fiber->waitingFor_ = wait.what;
    fiber->wokenByTimeout_ = false;
    fiber->impl_->timedWait = due.has_value();
    if (due)
        fiber->impl_->timeoutEvent = schedule(*due, "timeout " + fiber->name_, [this, fiber] {
            fiber->impl_->timeoutEvent = 0;
            if (fiber->state_ == Fiber::State::Blocked) {
                fiber->wokenByTimeout_ = true;
                makeRunnable(fiber);
            }
        });
    suspend(fiber);
    if (fiber->impl_->abort)
        return abortPoint();
    return !fiber->wokenByTimeout_;
}

void Scheduler::wake(Fiber* fiber) {
    if (!fiber || fiber->state_ != Fiber::State::Blocked)
        return;
    if (&fiber->impl_->sched != this)
        throw std::logic_error("Scheduler::wake: fiber " + fiber->name_ + " belongs to another scheduler");
    if (fiber->impl_->timeoutEvent)
        cancel(std::exchange(fiber->impl_->timeoutEvent, 0));
    impl_->makeRunnable(fiber);
}

void Scheduler::Impl::makeRunnable(Fiber* fiber) {
    fiber->state_ = Fiber::State::Runnable;
    fiber->waitingFor_.clear();
    fiber->impl_->timedWait = false;
    runnable.push_back(fiber);
}

// ---- timed events
// ------------------------------------------------------------------------------------------

Scheduler::EventId Scheduler::Impl::schedule(Time due, std::string name, std::function<void()> callback) {
    if (!callback)
        throw std::invalid_argument("Scheduler::at: timed event " + name + " has no callback");
    EventId id = nextEventId++;
    due = std::max(due, self.now_);
    timed.emplace(std::pair{due, id}, Timed{std::move(name), std::move(callback)});
    timedDue.emplace(id, due);
    return id;
}

Scheduler::EventId Scheduler::at(Time due, std::function<void()> callback) {
    return at(due, "event " + std::to_string(impl_->nextEventId), std::move(callback));
}

Scheduler::EventId Scheduler::after(Time delay, std::function<void()> callback) {
    return after(delay, "event " + std::to_string(impl_->nextEventId), std::move(callback));
}

Scheduler::EventId Scheduler::at(Time due, std::string name, std::function<void()> callback) {
    return impl_->schedule(due, std::move(name), std::move(callback));
}

Scheduler::EventId Scheduler::after(Time delay, std::string name, std::function<void()> callback) {
    if (delay < 0)
        throw std::invalid_argument("Scheduler::after: negative delay for " + name);
    return impl_->schedule(deadlineAfter(now_, delay).value_or(std::numeric_limits<Time>::max()),
                           std::move(name), std::move(callback));
}

bool Scheduler::cancel(EventId id) {
    auto it = impl_->timedDue.find(id);
    if (it == impl_->timedDue.end())
        return false;
    impl_->timed.erase(std::pair{it->second, id});
    impl_->timedDue.erase(it);
    return true;
}

bool Scheduler::isPending(EventId id) const {
    return impl_->timedDue.count(id) != 0;
}

// ---- IRQL
// --------------------------------------------------------------------------------------------------

Irql Scheduler::irql() const {
    return running_ ? running_->irql_ : Irql::Passive;
}

void Scheduler::setIrql(Irql irql) {
    setIrql(irql, "Scheduler::setIrql");
}

void Scheduler::setIrql(Irql irql, std::string_view routine) {
    Fiber* fiber = running_;
    if (!fiber)
        return;
    if (irql < Irql::Dispatch) {
        if (fiber->dpc_) {
            verifier().report(rule::kIrqlMisuse, fiber->name_, std::string(routine),
                              std::string("a DPC lowered its IRQL to ") + irqlName(irql));
            return;
        }
        for (Lock* lock : fiber->held_)
            if (lock->kind() == Lock::Kind::Spin) {
                verifier().report(rule::kIrqlMisuse, lock->name(), std::string(routine),
                                  std::string("IRQL lowered to ") + irqlName(irql) +
                                      " while holding spin lock " + lock->name());
                return;
            }
    }
    fiber->irql_ = irql;
}

// ---- trace
// -------------------------------------------------------------------------------------------------

void Scheduler::note(std::string_view text) {
    impl_->record(text);
}

void Scheduler::Impl::record(std::string_view text) {
    if (!self.traceEnabled_)
        return;
    std::string line = std::to_string(self.now_);
    line += ' ';
    line += self.running_ ? std::string_view(self.running_->name_) : kLoopName;
    line += ": ";
    line += text;
    self.trace_.push_back(std::move(line));
}

// ---- shutdown
// ----------------------------------------------------------------------------------------------

void Scheduler::retire() {
    shutdown();
    // By index from the end: a retire step may create services of its own, which then retire too.
    for (size_t i = services_.size(); i-- > 0;) {
        if (!services_[i].retire)
            continue;
        std::function<void()> step = services_[i].retire;
        spawn("retire", std::move(step));
        run();
    }
    shutdown();
}

void Scheduler::shutdown() {
    if (running_)
        throw std::logic_error("Scheduler::shutdown called from fiber " + running_->name_);
    if (impl_->inRun)
        throw std::logic_error("Scheduler::shutdown called from a timed event");
    Impl& s = *impl_;
    s.shuttingDown = true;
    s.timed.clear();
    s.timedDue.clear();
    s.runnable.clear();
    s.forcedNext = nullptr;
    // By index: an unwinding fiber may spawn more (they are dropped at once).
    for (size_t i = 0; i < s.fibers.size(); ++i) {
        Fiber* fiber = s.fibers[i].get();
        switch (fiber->state_) {
            case Fiber::State::Finished:
                break;
            case Fiber::State::Created:
                fiber->state_ = Fiber::State::Finished;
                fiber->body_ = nullptr;
                break;
            case Fiber::State::Runnable:
            case Fiber::State::Blocked:
            case Fiber::State::Running:
                fiber->impl_->abort = true;
                fiber->impl_->timeoutEvent = 0;
                // Every wait of an aborted fiber throws or returns at once, so it runs to its end.
                s.resume(fiber);
                break;
        }
        s.runnable.clear();
        s.timed.clear();
        s.timedDue.clear();
    }
    s.fiberException = nullptr;
    s.shuttingDown = false;
}

} // namespace zv::sim
