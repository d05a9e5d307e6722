// The lock-order graph; see lock_order.h.
#include "platform/sim/lock_order.h"

#include "platform/sim/scheduler.h"

#include <deque>

namespace zv::sim::detail {

LockOrder::~LockOrder() {
    for (auto& [id, node] : nodes_) {
        node.lock->order_ = nullptr;
        node.lock->orderId_ = 0;
    }
}

uint64_t LockOrder::enter(Lock& lock) {
    if (lock.order_ == this)
        return lock.orderId_;
    if (lock.order_)
        lock.order_->forget(lock); // first used under another scheduler
    lock.order_ = this;
    lock.orderId_ = nextId_++;
    nodes_[lock.orderId_].lock = &lock;
    return lock.orderId_;
}

void LockOrder::forget(Lock& lock) {
    if (lock.order_ != this)
        return;
    auto it = nodes_.find(lock.orderId_);
    if (it != nodes_.end()) {
        for (const auto& [next, where] : it->second.after)
            nodes_[next].before.erase(lock.orderId_);
        for (uint64_t prev : it->second.before)
            nodes_[prev].after.erase(lock.orderId_);
        nodes_.erase(it);
    }
    lock.order_ = nullptr;
    lock.orderId_ = 0;
}

// Breadth-first over ordered maps, so that the path reported is the shortest and the same in every run.
std::optional<std::vector<uint64_t>> LockOrder::path(uint64_t from, uint64_t to) const {
    std::map<uint64_t, uint64_t> parent{{from, from}};
    std::deque<uint64_t> queue{from};
    while (!queue.empty()) {
        uint64_t at = queue.front();
        queue.pop_front();
        if (at == to) {
            std::vector<uint64_t> result{to};
            while (result.back() != from)
                result.push_back(parent[result.back()]);
            return std::vector<uint64_t>(result.rbegin(), result.rend());
        }
        auto node = nodes_.find(at);
        if (node == nodes_.end())
            continue;
        for (const auto& [next, where] : node->second.after)
            if (parent.emplace(next, at).second)
                queue.push_back(next);
    }
    return std::nullopt;
}

std::optional<LockOrder::Inversion> LockOrder::observe(Lock& held, Lock& acquired,
                                                       const std::string& origin) {
    if (&held == &acquired)
        return std::nullopt;
    uint64_t h = enter(held);
    uint64_t a = enter(acquired);
    if (nodes_[h].after.count(a))
        return std::nullopt;
    if (auto reverse = path(a, h)) {
        if (!reported_.emplace(h, a).second)
            return std::nullopt;
        Inversion inversion;
        for (uint64_t id : *reverse)
            inversion.path.push_back(nodes_[id].lock->name());
        inversion.learnedBy = nodes_[(*reverse)[0]].after[(*reverse)[1]];
        return inversion;
    }
    nodes_[h].after.emplace(a, origin);
    nodes_[a].before.insert(h);
    return std::nullopt;
}

} // namespace zv::sim::detail
