// Delays, interrupt request levels and time, on the machine's scheduler: a delay blocks the calling fiber
// on the virtual clock, the IRQL is the running fiber's own.
#include <ntddk.h>

#include "platform/kernel/machine.h"
#include "platform/sim/scheduler.h"
#include "platform/sim/verifier.h"

#include <string>

namespace zv::kernel {
namespace {

bool knownIrql(KIRQL irql) {
    return irql <= DISPATCH_LEVEL;
}

std::string irqlText(KIRQL irql) {
    return std::to_string(unsigned(irql));
}

// The fiber a routine that needs a thread runs on; reports and returns nullptr when there is none.
sim::Scheduler* threadMachine(const char* routine) {
    sim::Scheduler* m = machine();
    if (m == nullptr)
        return nullptr;
    if (m->currentFiber() == nullptr) {
        reportMisuse(rule::kOutsideThread, routine, routine, "called outside any fiber");
        return nullptr;
    }
    return m;
}

} // namespace
} // namespace zv::kernel

using namespace zv::kernel;
using zv::sim::Irql;
using zv::sim::Time;

extern "C" {

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval) {
    (void)WaitMode;
    (void)Alertable;
    if (Interval == nullptr)
        return STATUS_INVALID_PARAMETER;
    zv::sim::Scheduler* m = threadMachine("KeDelayExecutionThread");
    if (m == nullptr)
        return STATUS_INTERNAL_ERROR;
    LONGLONG interval = Interval->QuadPart;
    Time due = interval < 0 ? m->now() - interval : interval;
    if (due <= m->now()) {
        // Nothing to wait for, but it is still a wait (and gives up the processor).
        if (m->irql() >= Irql::Dispatch)
            reportMisuse(zv::sim::rule::kWaitAtDispatch, "KeDelayExecutionThread", "KeDelayExecutionThread",
                         "delay at DISPATCH_LEVEL");
        m->yield();
        return STATUS_SUCCESS;
    }
    // The scheduler reports a wait at DISPATCH_LEVEL itself. Nothing else wakes a delayed fiber, but a
    // stray wake must not cut the delay short.
    while (m->now() < due)
        m->block("KeDelayExecutionThread", due - m->now(), "KeDelayExecutionThread");
    return STATUS_SUCCESS;
}

KIRQL KeGetCurrentIrql(VOID) {
    zv::sim::Scheduler* m = machine();
    return m == nullptr ? KIRQL(PASSIVE_LEVEL) : static_cast<KIRQL>(m->irql());
}

VOID KeRaiseIrql(KIRQL NewIrql, PKIRQL OldIrql) {
    KIRQL current = KeGetCurrentIrql();
    if (OldIrql != nullptr)
        *OldIrql = current;
    zv::sim::Scheduler* m = threadMachine("KeRaiseIrql");
    if (m == nullptr)
        return;
    if (!knownIrql(NewIrql)) {
        reportMisuse(zv::sim::rule::kIrqlMisuse, "IRQL " + irqlText(NewIrql), "KeRaiseIrql",
                     "the machine runs at PASSIVE_LEVEL to DISPATCH_LEVEL only");
        return;
    }
    if (NewIrql < current) {
        reportMisuse(zv::sim::rule::kIrqlMisuse, "IRQL " + irqlText(NewIrql), "KeRaiseIrql",
                     "raising to a level below the current " + irqlText(current));
        return;
    }
    m->setIrql(static_cast<Irql>(NewIrql), "KeRaiseIrql");
}

KIRQL KeRaiseIrqlToDpcLevel(VOID) {
    KIRQL old = PASSIVE_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    return old;
}

VOID KeLowerIrql(KIRQL NewIrql) {
    zv::sim::Scheduler* m = threadMachine("KeLowerIrql");
    if (m == nullptr)
        return;
    KIRQL current = static_cast<KIRQL>(m->irql());
    if (!knownIrql(NewIrql) || NewIrql > current) {
        reportMisuse(zv::sim::rule::kIrqlMisuse, "IRQL " + irqlText(NewIrql), "KeLowerIrql",
                     "lowering to a level above the current " + irqlText(current));
        return;
    }
    // The scheduler refuses (and reports) lowering a DPC or a spin lock holder below DISPATCH_LEVEL.
    m->setIrql(static_cast<Irql>(NewIrql), "KeLowerIrql");
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    if (CurrentTime == nullptr)
        return;
    zv::sim::Scheduler* m = machine();
    CurrentTime->QuadPart = m == nullptr ? 0 : m->now();
}

ULONGLONG KeQueryInterruptTime(VOID) {
    zv::sim::Scheduler* m = machine();
    return m == nullptr ? 0 : ULONGLONG(m->now());
}

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
    if (PerformanceFrequency != nullptr)
        PerformanceFrequency->QuadPart = zv::sim::kSecond;
    LARGE_INTEGER counter;
    counter.QuadPart = LONGLONG(KeQueryInterruptTime());
    return counter;
}

} // extern "C"
