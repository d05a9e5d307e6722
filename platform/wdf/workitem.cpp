// Work items and the system workers that run them.
#include "platform/wdf/workitem.h"

#include "platform/wdf/sync.h"

#include <algorithm>
#include <string>

namespace zv::wdf {

SystemWorkers::JobId SystemWorkers::submit(std::function<void()> job) {
    JobId id = nextId_++;
    jobs_.push_back(Job{id, std::move(job)});
    if (jobs_.size() > unstarted_)
        spawnWorker();
    return id;
}

bool SystemWorkers::cancel(JobId id) {
    auto it = std::find_if(jobs_.begin(), jobs_.end(), [id](const Job& job) { return job.id == id; });
    if (it == jobs_.end())
        return false;
    jobs_.erase(it);
    return true;
}

void SystemWorkers::spawnWorker() {
    for (size_t slot = 0; slot < kMaxWorkers; ++slot) {
        if (slotBusy_[slot])
            continue;
        slotBusy_[slot] = true;
        ++unstarted_;
        scheduler_.spawn("system worker " + std::to_string(slot), [this, slot] { workerLoop(slot); });
        return;
    }
    // Every worker is busy; the job runs when one of them comes back for the next.
}

void SystemWorkers::workerLoop(size_t slot) {
    --unstarted_;
    while (!jobs_.empty()) {
        Job job = std::move(jobs_.front());
        jobs_.pop_front();
        job.run();
    }
    slotBusy_[slot] = false;
}

WorkItem::WorkItem(Object* parent, PFN_WDF_WORKITEM callback, bool serialized)
    : Object(kType, parent), scheduler_(*sim::Scheduler::current()), callback_(callback),
      serialized_(serialized) {}

void WorkItem::enqueue() {
    if (queuedJob_ != 0 || closing_)
        return; // closing_: only a callback that was running when the deletion began can get here
    // The queued run keeps the object alive, so a driver may delete it from its own callback.
    reference(this);
    queuedJob_ = scheduler_.service<SystemWorkers>().submit([this] { execute(); });
}

bool WorkItem::runningOnCurrentFiber() const {
    sim::Fiber* self = scheduler_.currentFiber();
    return self != nullptr && std::any_of(running_.begin(), running_.end(),
                                          [self](const Run& run) { return run.fiber == self; });
}

void WorkItem::execute() {
    queuedJob_ = 0; // from here on an enqueue schedules another run
    uint64_t run = ++started_;
    running_.push_back(Run{scheduler_.currentFiber(), run});
    {
        SerializedScope serialization(*parent(), serialized_, "EvtWorkItemFunc");
        invokeCallback(this, "EvtWorkItemFunc", [this] { callback_(workItemHandle()); });
    }
    std::erase_if(running_, [run](const Run& r) { return r.number == run; });
    wakeWaiters();
    dereference(this); // may free the object when the callback deleted it
}

void WorkItem::cancelQueued() {
    if (queuedJob_ == 0 || !scheduler_.service<SystemWorkers>().cancel(queuedJob_))
        return;
    queuedJob_ = 0;
    ++started_; // the cancelled run counts as over for anyone flushing
    wakeWaiters();
    dereference(this);
}

uint64_t WorkItem::latestRun() const {
    return queuedJob_ != 0 ? started_ + 1 : started_;
}

bool WorkItem::runOver(uint64_t run) const {
    return started_ >= run &&
           std::none_of(running_.begin(), running_.end(), [run](const Run& r) { return r.number <= run; });
}

void WorkItem::waitForRun(uint64_t run) {
    reference(this);
    while (!runOver(run)) {
        waiters_.push_back(scheduler_.currentFiber());
        scheduler_.block(describe() + " to finish", std::nullopt, "WdfWorkItemFlush");
    }
    dereference(this);
}

void WorkItem::wakeWaiters() {
    std::vector<sim::Fiber*> waiters;
    waiters.swap(waiters_);
    for (sim::Fiber* fiber : waiters)
        scheduler_.wake(fiber);
}

void WorkItem::flush(const char* routine) {
    if (runningOnCurrentFiber()) {
        reportViolation(rule::kWorkItem, this, routine,
                        "flushing a work item from its own callback never returns");
        return;
    }
    if (scheduler_.currentFiber() == nullptr || scheduler_.irql() != sim::Irql::Passive)
        return; // enterCall has reported the level; waiting here would only add a second report
    waitForRun(latestRun());
}

void WorkItem::onCleanup() {
    // Nothing can queue a run from here on; a run queued before still happens when the deletion can wait
    // for it (PASSIVE_LEVEL, not from the item's own callback) and is dropped otherwise.
    closing_ = true;
    if (!runningOnCurrentFiber() && scheduler_.currentFiber() != nullptr &&
        scheduler_.irql() == sim::Irql::Passive) {
        waitForRun(latestRun());
        return;
    }
    // From its own callback the run in progress finishes after this; at DISPATCH_LEVEL a run in progress
    // elsewhere holds its own reference.
    cancelQueued();
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                                    WDFWORKITEM* WorkItem) {
    constexpr const char* routine = "WdfWorkItemCreate";
    enterCall(routine);
    if (WorkItem == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *WorkItem = nullptr;
    if (Config == nullptr || Config->Size != sizeof(WDF_WORKITEM_CONFIG) ||
        Config->EvtWorkItemFunc == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "the config must be initialised with WDF_WORKITEM_CONFIG_INIT and name a callback");
        return STATUS_INVALID_PARAMETER;
    }
    Object* parent = requireDeviceParent(Attributes, routine);
    if (parent == nullptr)
        return STATUS_INVALID_PARAMETER;
    // A work item always runs at PASSIVE_LEVEL: it cannot be asked for DISPATCH_LEVEL, nor be serialised
    // with a spin lock.
    bool serialized = Config->AutomaticSerialization != FALSE;
    if (Attributes->ExecutionLevel == WdfExecutionLevelDispatch ||
        (serialized && !levelFitsParentLock(CallbackLevel::Passive, *parent)))
        return STATUS_INVALID_DEVICE_REQUEST;
    zv::wdf::WorkItem* item = nullptr;
    NTSTATUS status =
        create<zv::wdf::WorkItem>(Attributes, parent, routine, &item, Config->EvtWorkItemFunc, serialized);
    if (!NT_SUCCESS(status))
        return status;
    *WorkItem = item->workItemHandle();
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem) {
    enterCall("WdfWorkItemEnqueue");
    if (auto* item = resolve<zv::wdf::WorkItem>(WorkItem, "WdfWorkItemEnqueue"))
        item->enqueue();
}

EXTERN_C WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem) {
    enterCall("WdfWorkItemGetParentObject");
    auto* item = resolve<zv::wdf::WorkItem>(WorkItem, "WdfWorkItemGetParentObject");
    return item != nullptr ? item->parent()->handle() : nullptr;
}

EXTERN_C VOID WdfWorkItemFlush(WDFWORKITEM WorkItem) {
    enterCall("WdfWorkItemFlush", true);
    if (auto* item = resolve<zv::wdf::WorkItem>(WorkItem, "WdfWorkItemFlush"))
        item->flush("WdfWorkItemFlush");
}
