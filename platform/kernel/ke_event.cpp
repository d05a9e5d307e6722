// Kernel events (KEVENT) a driver embeds in its own memory. Each initialised KEVENT is backed by a
// scheduler event kept per machine and found by the record's address; Header.SignalState mirrors it.
#include <ntddk.h>

#include "platform/kernel/machine.h"
#include "platform/sim/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace zv::kernel {
namespace {

constexpr UCHAR kNotificationEventType = 0;
constexpr UCHAR kSynchronizationEventType = 1;

class KernelEvents {
public:
    explicit KernelEvents(sim::Scheduler&) {}
    // Re-initialising a KEVENT (its memory reused) replaces what backed it.
    sim::Event& initialize(PRKEVENT event, bool synchronization, bool signaled) {
        char name[40];
        std::snprintf(name, sizeof name, "KEVENT %p", static_cast<void*>(event));
        auto& slot = events_[event];
        slot = std::make_unique<sim::Event>(synchronization ? sim::Event::Kind::Synchronization
                                                            : sim::Event::Kind::Notification,
                                            signaled, name);
        return *slot;
    }
    sim::Event* find(PVOID event) {
        auto it = events_.find(static_cast<PRKEVENT>(event));
        return it == events_.end() ? nullptr : it->second.get();
    }

private:
    std::map<PRKEVENT, std::unique_ptr<sim::Event>> events_;
};

sim::Event* backing(PVOID event, const char* routine) {
    sim::Scheduler* m = machine();
    if (m == nullptr)
        return nullptr;
    sim::Event* e = m->service<KernelEvents>().find(event);
    if (e == nullptr) {
        char text[40];
        std::snprintf(text, sizeof text, "KEVENT %p", event);
        reportMisuse(rule::kInvalidParameter, text, routine, "not initialised with KeInitializeEvent");
    }
    return e;
}

void mirror(PRKEVENT event, const sim::Event& e) {
    event->Header.SignalState = e.isSet() ? 1 : 0;
}

} // namespace
} // namespace zv::kernel

using namespace zv::kernel;
namespace sim = zv::sim;

extern "C" {

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
    if (Event == nullptr) {
        reportMisuse(rule::kInvalidParameter, "KEVENT (null)", "KeInitializeEvent", "NULL event");
        return;
    }
    memset(Event, 0, sizeof(KEVENT));
    Event->Header.Type = Type == SynchronizationEvent ? kSynchronizationEventType : kNotificationEventType;
    Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
    Event->Header.WaitListHead.Flink = Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
    sim::Event& e = requireMachine("KeInitializeEvent")
                        .service<KernelEvents>()
                        .initialize(Event, Type == SynchronizationEvent, State != FALSE);
    mirror(Event, e);
}

LONG KeSetEvent(PRKEVENT Event, LONG Increment, BOOLEAN Wait) {
    (void)Increment;
    (void)Wait;
    sim::Event* e = backing(Event, "KeSetEvent");
    if (e == nullptr)
        return 0;
    LONG previous = e->isSet() ? 1 : 0;
    e->set();
    mirror(Event, *e);
    return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
    if (sim::Event* e = backing(Event, "KeClearEvent")) {
        e->reset();
        mirror(Event, *e);
    }
}

LONG KeResetEvent(PRKEVENT Event) {
    sim::Event* e = backing(Event, "KeResetEvent");
    if (e == nullptr)
        return 0;
    LONG previous = e->isSet() ? 1 : 0;
    e->reset();
    mirror(Event, *e);
    return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
    sim::Event* e = backing(Event, "KeReadStateEvent");
    return e != nullptr && e->isSet() ? 1 : 0;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout) {
    (void)WaitReason;
    (void)WaitMode;
    (void)Alertable;
    const char* routine = "KeWaitForSingleObject";
    sim::Event* e = backing(Object, routine);
    if (e == nullptr)
        return STATUS_INVALID_PARAMETER;
    sim::Scheduler& m = *machine();
    std::optional<sim::Time> timeout;
    if (Timeout != nullptr) {
        LONGLONG t = Timeout->QuadPart;
        timeout = t <= 0 ? -t : std::max<sim::Time>(0, t - m.now());
    }
    if (m.currentFiber() == nullptr && !(timeout && *timeout == 0)) {
        reportMisuse(rule::kOutsideThread, routine, routine, "called outside any fiber");
        return STATUS_INVALID_PARAMETER;
    }
    bool signaled = e->wait(timeout, routine);
    // The backing event may have been replaced while waiting (the KEVENT re-initialised): look again.
    if (sim::Event* after = m.service<KernelEvents>().find(Object))
        mirror(static_cast<PRKEVENT>(Object), *after);
    return signaled ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

} // extern "C"
