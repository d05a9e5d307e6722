// Work items (WDFWORKITEM) and the machine's system workers: the fibers that run work items and the
// callbacks of passive-level timers.
#ifndef ZV_WDF_WORKITEM_H
#define ZV_WDF_WORKITEM_H

#include "platform/wdf/object.h"

#include <wdfworkitem.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

namespace zv::wdf {

// A small pool of PASSIVE_LEVEL fibers ("system worker 0", "system worker 1" ...) pulling jobs from one
// per-machine queue in order. A worker is spawned when a job finds none free and exits when the queue is
// empty, so an idle machine has no worker left blocked (which the scheduler would report as blocked
// forever). The pool is bounded as Windows' is: with every worker busy a job waits its turn.
class SystemWorkers {
public:
    static constexpr size_t kMaxWorkers = 4;
    using JobId = uint64_t;

    explicit SystemWorkers(sim::Scheduler& scheduler) : scheduler_(scheduler) {}
    JobId submit(std::function<void()> job);
    // Removes a job that has not started; true when it was still queued.
    bool cancel(JobId id);

private:
    struct Job {
        JobId id;
        std::function<void()> run;
    };
    void spawnWorker();
    void workerLoop(size_t slot);

    sim::Scheduler& scheduler_;
    std::deque<Job> jobs_;
    JobId nextId_ = 1;
    std::vector<bool> slotBusy_ = std::vector<bool>(kMaxWorkers, false);
    size_t unstarted_ = 0; // workers spawned that have not yet taken a job
};

class WorkItem final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::WorkItem;
    WorkItem(Object* parent, PFN_WDF_WORKITEM callback, bool serialized);

    WDFWORKITEM workItemHandle() const { return static_cast<WDFWORKITEM>(static_cast<void*>(handle())); }
    void enqueue();
    // Waits until the run queued or in progress at the call has finished.
    void flush(const char* routine);
    bool runningOnCurrentFiber() const;

protected:
    void onCleanup() override;

private:
    struct Run {
        sim::Fiber* fiber;
        uint64_t number;
    };
    void execute();
    void cancelQueued();
    // The number of the run queued or in progress now (runs are numbered from 1 as they begin).
    uint64_t latestRun() const;
    bool runOver(uint64_t run) const;
    void waitForRun(uint64_t run);
    void wakeWaiters();

    sim::Scheduler& scheduler_;
    PFN_WDF_WORKITEM callback_;
    bool serialized_;
    SystemWorkers::JobId queuedJob_ = 0; // 0 when not queued
    bool closing_ = false;               // deletion has begun
    uint64_t started_ = 0;               // runs begun (or cancelled)
    std::vector<Run> running_;           // runs inside the callback
    std::vector<sim::Fiber*> waiters_;   // fibers waiting for a run to finish
};

} // namespace zv::wdf

#endif // ZV_WDF_WORKITEM_H
