// Objects an application thread can wait on (events, and the event of a file object), with waits for one
// object or for any / all of several. A manual-reset object stays signalled until reset; an auto-reset one
// is taken by the one wait it satisfies.
#ifndef ZV_IO_WAITABLE_H
#define ZV_IO_WAITABLE_H

#include "platform/sim/scheduler.h"

#include <optional>
#include <string>
#include <vector>

namespace zv::io {

class Waitable {
public:
    Waitable(bool manualReset, bool signaled, std::string name);
    Waitable(const Waitable&) = delete;
    Waitable& operator=(const Waitable&) = delete;

    void set();
    void reset() { signaled_ = false; }
    bool signaled() const { return signaled_; }
    const std::string& name() const { return name_; }

private:
    friend class WaitList;
    friend std::optional<size_t> waitFor(const std::vector<Waitable*>&, bool, std::optional<sim::Time>);
    void take() {
        if (!manualReset_)
            signaled_ = false;
    }

    bool manualReset_;
    bool signaled_;
    std::string name_;
    std::vector<sim::Fiber*> waiters_;
};

// Waits on the running fiber until one object (all == false) or every object (all == true) is signalled,
// or the relative time-out passes. The index of the object that satisfied the wait (0 for all), nullopt
// on time-out.
std::optional<size_t> waitFor(const std::vector<Waitable*>& objects, bool all,
                              std::optional<sim::Time> timeout);

} // namespace zv::io

#endif // ZV_IO_WAITABLE_H
