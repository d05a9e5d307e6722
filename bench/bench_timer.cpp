// Framework timer start + fire: per iteration one WdfTimerStart with a relative due time and the callback
// it brings (a DPC, or a system worker for a passive-level timer), the clock jumping to the due time. The
// timed loop runs inside a fiber of a fresh machine, so wall time per iteration is the platform's cost.
#include "platform/wdf/object.h"

#include <wdf.h>

#include <benchmark/benchmark.h>

namespace {

// A device as far as a timer needs one: a parent with a presentation lock of the right kind.
class BenchDevice final : public zv::wdf::Object {
public:
    static constexpr zv::wdf::ObjectType kType = zv::wdf::ObjectType::Device;
    BenchDevice(zv::wdf::Object* parent, zv::sim::Lock::Kind kind)
        : Object(kType, parent), lock_(kind, "bench") {}
    zv::sim::Lock* presentationLock() override { return &lock_; }

private:
    zv::sim::Lock lock_;
};

struct BENCH_TIMER_CONTEXT {
    zv::sim::Event* fired;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(BENCH_TIMER_CONTEXT, GetBenchTimerContext)

VOID EvtBenchTimer(WDFTIMER timer) {
    GetBenchTimerContext(timer)->fired->set();
}

void timerStartAndFire(benchmark::State& state, zv::sim::Lock::Kind parentLock) {
    zv::sim::Scheduler scheduler;
    scheduler.setTraceEnabled(false);
    scheduler.spawn("bench", [&] {
        BenchDevice* device = nullptr;
        if (!NT_SUCCESS(zv::wdf::create<BenchDevice>(nullptr, nullptr, "bench", &device, parentLock))) {
            state.SkipWithError("device creation failed");
            return;
        }
        WDF_TIMER_CONFIG config;
        WDF_TIMER_CONFIG_INIT(&config, EvtBenchTimer);
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, BENCH_TIMER_CONTEXT);
        attributes.ParentObject = device->handle();
        WDFTIMER timer = nullptr;
        if (!NT_SUCCESS(WdfTimerCreate(&config, &attributes, &timer))) {
            state.SkipWithError("WdfTimerCreate failed");
            return;
        }
        zv::sim::Event fired(zv::sim::Event::Kind::Synchronization, false, "bench timer fired");
        GetBenchTimerContext(timer)->fired = &fired;
        for (auto _ : state) {
            WdfTimerStart(timer, -10 * zv::sim::kMicrosecond);
            fired.wait();
        }
        WdfObjectDelete(device->handle());
    });
    scheduler.run();
    if (!scheduler.verifier().empty())
        state.SkipWithError(scheduler.verifier().dump().c_str());
    state.SetItemsProcessed(state.iterations());
    state.counters["virtual_us_per_op"] =
        benchmark::Counter(static_cast<double>(scheduler.now()) / zv::sim::kMicrosecond /
                           static_cast<double>(state.iterations()));
}

void BM_TimerStartAndFireDpc(benchmark::State& state) {
    timerStartAndFire(state, zv::sim::Lock::Kind::Spin);
}
void BM_TimerStartAndFirePassive(benchmark::State& state) {
    timerStartAndFire(state, zv::sim::Lock::Kind::Mutex);
}

} // namespace

BENCHMARK(BM_TimerStartAndFireDpc);
BENCHMARK(BM_TimerStartAndFirePassive);
