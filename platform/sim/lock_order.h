// Private to the scheduler: the lock-order graph. When a fiber takes lock B while it holds lock A, the order
// A before B is learned; a later acquisition that closes a cycle in what was learned (B taken first, then A,
// directly or through other locks) is an inversion that can deadlock with a fiber following the learned
// order.
//
// Locks are keyed by an id the graph gives each lock on first sight, not by address: a lock destroyed and
// another built at the same address must not inherit its orders. A lock leaves the graph when destroyed, and
// the graph detaches every lock it knows when the scheduler goes.
#ifndef ZV_SIM_LOCK_ORDER_H
#define ZV_SIM_LOCK_ORDER_H

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace zv::sim {
class Lock;
}

namespace zv::sim::detail {

class LockOrder {
public:
    LockOrder() = default;
    ~LockOrder();
    LockOrder(const LockOrder&) = delete;
    LockOrder& operator=(const LockOrder&) = delete;

    struct Inversion {
        std::vector<std::string> path; // lock names from `acquired` to `held`, in the learned order
        std::string learnedBy;         // where the first step of that order was learned
    };

    // `acquired` is being taken while `held` is held (by `origin`, e.g. "fiber X at t=5"). Learns held ->
    // acquired, or returns the inversion when the reverse order is already known. Each pair is reported once.
    std::optional<Inversion> observe(Lock& held, Lock& acquired, const std::string& origin);
    void forget(Lock& lock);

private:
    struct Node {
        Lock* lock = nullptr;
        std::map<uint64_t, std::string> after; // id -> where this order was learned
        std::set<uint64_t> before;
    };

    uint64_t enter(Lock& lock);
    std::optional<std::vector<uint64_t>> path(uint64_t from, uint64_t to) const;

    uint64_t nextId_ = 1;
    std::map<uint64_t, Node> nodes_;
    std::set<std::pair<uint64_t, uint64_t>> reported_;
};

} // namespace zv::sim::detail

#endif // ZV_SIM_LOCK_ORDER_H
