// How kernel routines reach the machine they act on. Every routine works on the current scheduler's
// machine. Called when no scheduler exists: routines with a status return STATUS_INTERNAL_ERROR; queries
// (IRQL, time) answer as an idle machine at time 0 at PASSIVE_LEVEL would; KeRaiseIrql/KeLowerIrql do
// nothing; the few that must hand back per-machine state (the configuration record, the registry) stop the
// process with a message naming the routine. Routines that need a thread (delays, IRQL changes) called
// outside any fiber are reported. Misuse a driver can commit is reported to the machine's verifier.
#ifndef ZV_KERNEL_MACHINE_H
#define ZV_KERNEL_MACHINE_H

#include <string>
#include <string_view>

namespace zv::sim {
class Scheduler;
}

namespace zv::kernel {

// Verifier rules of the kernel component (the scheduler's namespace holds the wait and IRQL rules).
namespace rule {
inline constexpr std::string_view kInvalidParameter = "invalid-parameter";
inline constexpr std::string_view kOutsideThread = "kernel-call-outside-thread";
} // namespace rule

// The current machine, or nullptr.
sim::Scheduler* machine();
// The current machine; stops the process naming `routine` when there is none.
sim::Scheduler& requireMachine(const char* routine);

// Reports to the current machine's verifier; with no machine, prints the report to stderr.
void reportMisuse(std::string_view rule, std::string object, const char* routine, std::string detail = {});
// Reports a call of a passive-level-only routine above PASSIVE_LEVEL; true when the caller was fine.
bool checkPassive(const char* routine);

} // namespace zv::kernel

#endif // ZV_KERNEL_MACHINE_H
