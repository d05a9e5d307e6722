// The cost of a fiber switch: two fibers handing control back and forth, by yield and by a pair of
// synchronization events. Reported as time per switch (one fiber stopping and the other running). The
// timed loop runs inside one of the fibers.
#include "platform/sim/scheduler.h"

#include <benchmark/benchmark.h>

namespace {

using zv::sim::Event;
using zv::sim::Scheduler;

void reportSwitches(benchmark::State& state, int64_t switches) {
    state.counters["per_switch"] = benchmark::Counter(
        static_cast<double>(switches), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

void BM_FiberSwitchByYield(benchmark::State& state) {
    Scheduler s;
    s.setTraceEnabled(false);
    bool done = false;
    int64_t switches = 0;
    s.spawn("timed", [&] {
        for (auto _ : state) {
            s.yield(); // to the partner and back: two switches
            switches += 2;
        }
        done = true;
    });
    s.spawn("partner", [&] {
        while (!done)
            s.yield();
    });
    s.run();
    reportSwitches(state, switches);
}
BENCHMARK(BM_FiberSwitchByYield);

void BM_FiberSwitchByEvents(benchmark::State& state) {
    Scheduler s;
    s.setTraceEnabled(false);
    Event ping(Event::Kind::Synchronization, false, "ping");
    Event pong(Event::Kind::Synchronization, false, "pong");
    bool done = false;
    int64_t switches = 0;
    s.spawn("timed", [&] {
        for (auto _ : state) {
            ping.set();
            pong.wait();
            switches += 2;
        }
        done = true;
        ping.set();
    });
    s.spawn("partner", [&] {
        for (;;) {
            ping.wait();
            if (done)
                return;
            pong.set();
        }
    });
    s.run();
    reportSwitches(state, switches);
}
BENCHMARK(BM_FiberSwitchByEvents);

// Spawning a fiber that runs to its end at once: the cost of each DPC a timer or completion queues. A
// finished fiber's record stays (about 300 bytes) for the scheduler's life, so the count is fixed.
void BM_FiberSpawnAndFinish(benchmark::State& state) {
    Scheduler s;
    s.setTraceEnabled(false);
    s.spawn("timed", [&] {
        for (auto _ : state) {
            s.spawnDpc("dpc", [] {});
            s.yield();
        }
    });
    s.run();
}
BENCHMARK(BM_FiberSpawnAndFinish)->Iterations(200'000);

} // namespace
