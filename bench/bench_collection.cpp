// WdfCollectionAdd and WdfCollectionRemove on a collection of 1024 entries, used as the drivers use one:
// add at the end, remove from the front. The timed loop runs inside one fiber of a machine, as framework
// calls must; the time per iteration covers one add and one remove.
#include "platform/sim/scheduler.h"
#include "platform/sim/verifier.h"

#include <wdf.h>

#include <benchmark/benchmark.h>

#include <vector>

namespace {

void BM_CollectionAddRemove(benchmark::State& state) {
    const auto entries = static_cast<size_t>(state.range(0));
    zv::sim::Scheduler machine;
    machine.spawn("bench", [&] {
        WDFCOLLECTION collection = nullptr;
        if (!NT_SUCCESS(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &collection))) {
            state.SkipWithError("WdfCollectionCreate failed");
            return;
        }
        std::vector<WDFOBJECT> items(entries + 1);
        for (WDFOBJECT& item : items)
            WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &item);
        for (size_t i = 0; i < entries; ++i)
            WdfCollectionAdd(collection, items[i]);
        size_t next = entries;
        for (auto _ : state) {
            WdfCollectionAdd(collection, items[next]);
            WDFOBJECT oldest = WdfCollectionGetFirstItem(collection);
            WdfCollectionRemove(collection, oldest);
            next = (next + 1) % items.size();
        }
        WdfObjectDelete(collection);
        for (WDFOBJECT item : items)
            WdfObjectDelete(item);
    });
    machine.run();
    if (!machine.verifier().empty())
        state.SkipWithError("the verifier reported a violation");
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * 2);
}

BENCHMARK(BM_CollectionAddRemove)->Arg(1024);

} // namespace
