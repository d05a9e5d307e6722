// Framework calls the bus driver makes, seen and steered from its unit tests. The test executable is linked
// with the driver's calls to a few creation routines wrapped (ld --wrap): each wrapped call is recorded
// (routine, the object it concerns, whether the driver's parent-collection lock was held) and fails when
// a rule of the current machine's plan says so; otherwise it goes to the framework.
#ifndef ZV_TESTS_BUS_FRAMEWORK_FAULTS_H
#define ZV_TESTS_BUS_FRAMEWORK_FAULTS_H

#include <ntddk.h>
#include <wdf.h>

#include <string>
#include <vector>

namespace zv::sim {
class Scheduler;
}

namespace zv::test {

struct FrameworkCall {
    std::string routine;
    // The object the call concerns: the parent its attributes name (creations), the device (queue
    // creation), the item (WdfCollectionAdd); nullptr when there is none.
    WDFOBJECT subject;
    bool collectionLockHeld;
    bool failed; // by the plan
};

class FrameworkFaults {
public:
    explicit FrameworkFaults(sim::Scheduler&) {}

    // The next `times` calls of `routine` concerning `subject` (any subject when nullptr) fail with
    // `status` instead of reaching the framework.
    void fail(std::string routine, NTSTATUS status, WDFOBJECT subject = nullptr, int times = 1);
    // The lock whose holding each call records (the driver's ParentFdoCollectionLock).
    void watch(WDFWAITLOCK lock) { watched_ = lock; }

    // A wrapped call: records it and returns the status to fail with, or STATUS_SUCCESS.
    NTSTATUS enter(const char* routine, WDFOBJECT subject);

    const std::vector<FrameworkCall>& calls() const { return calls_; }
    // The calls of `routine` concerning `subject`.
    std::vector<FrameworkCall> callsOf(std::string_view routine, WDFOBJECT subject) const;

private:
    struct Rule {
        std::string routine;
        WDFOBJECT subject;
        NTSTATUS status;
        int times;
    };
    std::vector<Rule> rules_;
    std::vector<FrameworkCall> calls_;
    WDFWAITLOCK watched_ = nullptr;
};

// The current machine's plan.
FrameworkFaults& frameworkFaults();

} // namespace zv::test

#endif // ZV_TESTS_BUS_FRAMEWORK_FAULTS_H
