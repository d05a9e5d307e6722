// Waits of application threads on events and file objects.
#include "platform/io/waitable.h"

#include <algorithm>

namespace zv::io {

Waitable::Waitable(bool manualReset, bool signaled, std::string name)
    : manualReset_(manualReset), signaled_(signaled), name_(std::move(name)) {}

void Waitable::set() {
    signaled_ = true;
    // Every waiter looks again; the first to run takes an auto-reset object, the others wait on.
    if (sim::Scheduler* s = sim::Scheduler::current())
        for (sim::Fiber* waiter : waiters_)
            s->wake(waiter);
}

namespace {

// Registers the fiber with each object for as long as it waits, also when the wait unwinds.
class Registration {
public:
    Registration(const std::vector<Waitable*>& objects, sim::Fiber* fiber,
                 std::vector<sim::Fiber*>& (*list)(Waitable*))
        : objects_(objects), fiber_(fiber), list_(list) {
        for (Waitable* w : objects_)
            list_(w).push_back(fiber_);
    }
    ~Registration() {
        for (Waitable* w : objects_) {
            auto& waiters = list_(w);
            auto it = std::find(waiters.begin(), waiters.end(), fiber_);
            if (it != waiters.end())
                waiters.erase(it);
        }
    }
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;

private:
    const std::vector<Waitable*>& objects_;
    sim::Fiber* fiber_;
    std::vector<sim::Fiber*>& (*list_)(Waitable*);
};

} // namespace

class WaitList {
public:
    static std::vector<sim::Fiber*>& of(Waitable* w) { return w->waiters_; }
};

std::optional<size_t> waitFor(const std::vector<Waitable*>& objects, bool all,
                              std::optional<sim::Time> timeout) {
    sim::Scheduler& s = *sim::Scheduler::current();
    std::optional<sim::Time> deadline;
    if (timeout)
        deadline = s.now() + *timeout;
    std::string what = objects.size() == 1 ? objects.front()->name() : "several objects";
    for (;;) {
        if (all) {
            if (std::all_of(objects.begin(), objects.end(), [](Waitable* w) { return w->signaled(); })) {
                for (Waitable* w : objects)
                    w->take();
                return 0;
            }
        } else {
            for (size_t i = 0; i < objects.size(); ++i) {
                if (objects[i]->signaled()) {
                    objects[i]->take();
                    return i;
                }
            }
        }
        std::optional<sim::Time> remaining;
        if (deadline) {
            remaining = std::max<sim::Time>(0, *deadline - s.now());
            if (*remaining == 0)
                return std::nullopt;
        }
        Registration registration(objects, s.currentFiber(), &WaitList::of);
        s.block(what, remaining, "WaitForMultipleObjects");
    }
}

} // namespace zv::io
