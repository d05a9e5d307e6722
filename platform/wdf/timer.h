// Framework timers (WDFTIMER) on the virtual clock. Expiry is a timed event of the scheduler; the callback
// then runs as a DPC (a DISPATCH_LEVEL fiber), or on a system worker for a passive-level timer, under the
// parent's presentation lock when automatic serialisation asks for it.
#ifndef ZV_WDF_TIMER_H
#define ZV_WDF_TIMER_H

#include "platform/wdf/object.h"
#include "platform/wdf/sync.h"

#include <wdftimer.h>

#include <optional>
#include <vector>

namespace zv::wdf {

class Timer final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Timer;
    struct Settings {
        PFN_WDF_TIMER callback = nullptr;
        sim::Time period = 0; // 0 for one-shot
        bool serialized = false;
        CallbackLevel level = CallbackLevel::Dispatch;
    };
    Timer(Object* parent, const Settings& settings);

    WDFTIMER timerHandle() const { return static_cast<WDFTIMER>(static_cast<void*>(handle())); }
    const Settings& settings() const { return settings_; }

    // Arms the timer (due time as WdfTimerStart takes it); true when it was already pending.
    bool start(LONGLONG dueTime);
    // Disarms it; true when it was pending. With `wait`, also returns only once no callback runs.
    bool stop(bool wait, const char* routine);
    // Armed, or expired with its callback not yet begun.
    bool pending() const { return event_.has_value() || expired_; }

protected:
    void onCleanup() override;

private:
    void disarm();
    void expire();
    void runCallback();
    bool runningOnCurrentFiber() const;
    void waitForCallbacks();

    sim::Scheduler& scheduler_;
    Settings settings_;
    std::optional<sim::Scheduler::EventId> event_; // the next expiry, while armed
    sim::Time due_ = 0;
    bool expired_ = false;             // an expiry waits for its callback to begin
    bool closing_ = false;             // deletion has begun
    bool callbackQueued_ = false;      // a DPC or system worker job is on its way (one at a time, as a DPC)
    std::vector<sim::Fiber*> running_; // fibers inside the callback
    std::vector<sim::Fiber*> waiters_; // fibers in WdfTimerStop waiting for the callback
};

} // namespace zv::wdf

#endif // ZV_WDF_TIMER_H
