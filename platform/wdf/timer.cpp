// Framework timers: arming and re-arming on the virtual clock, expiry into a DPC or a system worker, and
// the stop / delete paths that wait for a running callback.
#include "platform/wdf/timer.h"

#include "platform/wdf/workitem.h"

#include <algorithm>
#include <limits>

namespace zv::wdf {

namespace {

constexpr sim::Time kNever = std::numeric_limits<sim::Time>::max();

sim::Time saturatingAdd(sim::Time a, sim::Time b) {
    return b > kNever - a ? kNever : a + b;
}

// Negative due times are relative, others absolute; a time already past fires at the next turn.
sim::Time absoluteDue(LONGLONG dueTime, sim::Time now) {
    if (dueTime < 0)
        return saturatingAdd(now, dueTime == std::numeric_limits<LONGLONG>::min() ? kNever : -dueTime);
    return std::max<sim::Time>(dueTime, now);
}

} // namespace

Timer::Timer(Object* parent, const Settings& settings)
    : Object(kType, parent), scheduler_(*sim::Scheduler::current()), settings_(settings) {}

bool Timer::start(LONGLONG dueTime) {
    bool wasPending = pending();
    disarm();
    if (closing_)
        return wasPending; // only a callback that was running when the deletion began can get here
    due_ = absoluteDue(dueTime, scheduler_.now());
    event_ = scheduler_.at(due_, describe() + " expiry", [this] { expire(); });
    return wasPending;
}

bool Timer::stop(bool wait, const char* routine) {
    bool wasPending = pending();
    disarm();
    if (!wait)
        return wasPending;
    if (runningOnCurrentFiber())
        reportViolation(rule::kTimer, this, routine,
                        "WdfTimerStop with Wait TRUE from the timer's own callback would wait for itself");
    else if (scheduler_.irql() != sim::Irql::Passive)
        reportViolation(sim::rule::kPassiveOnly, this, routine,
                        std::string("Wait TRUE needs PASSIVE_LEVEL; called at ") +
                            sim::irqlName(scheduler_.irql()));
    else
        waitForCallbacks();
    return wasPending;
}

void Timer::disarm() {
    if (event_) {
        scheduler_.cancel(*event_);
        event_.reset();
    }
    // A DPC already on its way finds nothing to do.
    expired_ = false;
}

// Runs in the scheduler's timed-event context: no blocking, only hand the callback to a fiber.
void Timer::expire() {
    event_.reset();
    if (settings_.period > 0) {
        due_ = saturatingAdd(due_, settings_.period);
        event_ = scheduler_.at(due_, describe() + " expiry", [this] { expire(); });
    }
    expired_ = true;
    if (callbackQueued_)
        return; // as a DPC is queued only once, the queued one serves this expiry too
    callbackQueued_ = true;
    reference(this);
    if (settings_.level == CallbackLevel::Passive)
        scheduler_.service<SystemWorkers>().submit([this] { runCallback(); });
    else
        scheduler_.spawnDpc(describe() + " DPC", [this] { runCallback(); });
}

void Timer::runCallback() {
    callbackQueued_ = false;
    // The callback counts as running (and the timer as no longer pending) from the moment the DPC starts,
    // before it waits for the presentation lock: a stop in that window returns FALSE and a stop with wait
    // waits for this callback.
    if (expired_) {
        expired_ = false;
        sim::Fiber* self = scheduler_.currentFiber();
        running_.push_back(self);
        {
            SerializedScope serialization(*parent(), settings_.serialized, "EvtTimerFunc");
            invokeCallback(this, "EvtTimerFunc", [this] { settings_.callback(timerHandle()); });
        }
        running_.erase(std::find(running_.begin(), running_.end(), self));
        std::vector<sim::Fiber*> waiters;
        waiters.swap(waiters_);
        for (sim::Fiber* fiber : waiters)
            scheduler_.wake(fiber);
    }
    dereference(this); // may free the timer when its callback deleted it
}

bool Timer::runningOnCurrentFiber() const {
    sim::Fiber* self = scheduler_.currentFiber();
    return self != nullptr && std::find(running_.begin(), running_.end(), self) != running_.end();
}

void Timer::waitForCallbacks() {
    if (scheduler_.currentFiber() == nullptr)
        return; // outside any fiber nothing can be running concurrently with the caller
    reference(this);
    while (!running_.empty()) {
        waiters_.push_back(scheduler_.currentFiber());
        scheduler_.block(describe() + " callback", std::nullopt, "WdfTimerStop");
    }
    dereference(this);
}

void Timer::onCleanup() {
    // From here the timer cannot be armed again: no expiry may outlive the object.
    closing_ = true;
    disarm();
    if (!runningOnCurrentFiber() && scheduler_.irql() == sim::Irql::Passive)
        waitForCallbacks();
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                 WDFTIMER* Timer) {
    constexpr const char* routine = "WdfTimerCreate";
    enterCall(routine);
    if (Timer == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Timer = nullptr;
    if (Config == nullptr || Config->Size != sizeof(WDF_TIMER_CONFIG) || Config->EvtTimerFunc == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "the config must be initialised with WDF_TIMER_CONFIG_INIT and name a callback");
        return STATUS_INVALID_PARAMETER;
    }
    if (Config->Period > static_cast<ULONG>(std::numeric_limits<LONG>::max())) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the period is negative");
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = requireDeviceParent(Attributes, routine);
    if (parent == nullptr)
        return STATUS_INVALID_PARAMETER;

    Timer::Settings settings;
    settings.callback = Config->EvtTimerFunc;
    settings.period = static_cast<zv::sim::Time>(Config->Period) * zv::sim::kMillisecond;
    settings.serialized = Config->AutomaticSerialization != FALSE;
    // An explicit level wins. Inherited, a serialised timer follows its parent's presentation lock (a
    // mutex makes it passive); any other timer is a DPC.
    switch (Attributes->ExecutionLevel) {
        case WdfExecutionLevelPassive:
            settings.level = CallbackLevel::Passive;
            break;
        case WdfExecutionLevelDispatch:
            settings.level = CallbackLevel::Dispatch;
            break;
        default: {
            zv::sim::Lock* lock = settings.serialized ? parent->presentationLock() : nullptr;
            settings.level = lock != nullptr && lock->kind() == zv::sim::Lock::Kind::Mutex
                                 ? CallbackLevel::Passive
                                 : CallbackLevel::Dispatch;
        }
    }
    if (settings.serialized && !levelFitsParentLock(settings.level, *parent))
        return STATUS_INVALID_DEVICE_REQUEST;

    zv::wdf::Timer* timer = nullptr;
    NTSTATUS status = create<zv::wdf::Timer>(Attributes, parent, routine, &timer, settings);
    if (!NT_SUCCESS(status))
        return status;
    *Timer = timer->timerHandle();
    return STATUS_SUCCESS;
}

EXTERN_C BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime) {
    enterCall("WdfTimerStart");
    auto* timer = resolve<zv::wdf::Timer>(Timer, "WdfTimerStart");
    return timer != nullptr && timer->start(DueTime) ? TRUE : FALSE;
}

EXTERN_C BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait) {
    // The PASSIVE_LEVEL rule of Wait TRUE is checked by the timer, after the own-callback case.
    enterCall("WdfTimerStop");
    auto* timer = resolve<zv::wdf::Timer>(Timer, "WdfTimerStop");
    return timer != nullptr && timer->stop(Wait != FALSE, "WdfTimerStop") ? TRUE : FALSE;
}

EXTERN_C WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer) {
    enterCall("WdfTimerGetParentObject");
    auto* timer = resolve<zv::wdf::Timer>(Timer, "WdfTimerGetParentObject");
    return timer != nullptr ? timer->parent()->handle() : nullptr;
}
