// The verifier's log: every rule a driver (or the platform's own user) breaks is reported here with the
// rule, the object and the routine. The test fixture fails a test whose run left anything in it.
#ifndef ZV_SIM_VERIFIER_H
#define ZV_SIM_VERIFIER_H

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace zv::sim {

// Rule names shared by every layer.
namespace rule {
inline constexpr std::string_view kWaitAtDispatch = "wait-at-dispatch";
inline constexpr std::string_view kPassiveOnly = "passive-level-only";
inline constexpr std::string_view kDeadlock = "deadlock";
inline constexpr std::string_view kBlockedForever = "blocked-forever";
inline constexpr std::string_view kLockRecursion = "lock-recursion";
inline constexpr std::string_view kLockNotOwner = "lock-release-not-owner";
inline constexpr std::string_view kLockHeldOnReturn = "lock-held-on-return";
inline constexpr std::string_view kLockOrder = "lock-order-inversion";
inline constexpr std::string_view kIrqlMisuse = "irql-misuse";
} // namespace rule

struct Violation {
    std::string rule;
    std::string object;
    std::string routine;
    std::string detail;
    int64_t time = 0;
    std::string fiber;
    std::string text() const;
};

class VerifierLog {
public:
    void report(std::string_view rule, std::string object, std::string routine, std::string detail = {});
    const std::vector<Violation>& entries() const { return entries_; }
    bool empty() const { return entries_.empty(); }
    size_t count(std::string_view rule) const;
    // Removes the entries of one rule and returns them.
    std::vector<Violation> take(std::string_view rule);
    void clear() { entries_.clear(); }
    std::string dump() const;
    // Also print each violation to stderr as it is reported (the tools turn this on).
    void setEcho(bool on) { echo_ = on; }

private:
    std::vector<Violation> entries_;
    bool echo_ = false;
};

} // namespace zv::sim

#endif // ZV_SIM_VERIFIER_H
