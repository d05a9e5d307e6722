// IRPs of the machine: allocation, the walk down a device stack (IoCallDriver) and back up (completion with
// each layer's completion routine), cancellation with the cancel spin lock, and the checks a driver
// verifier makes on them. Every IRP the kernel knows of (allocated here or prepared with IoInitializeIrp)
// is in a table, so a call on a freed or foreign IRP is reported without touching its memory.
//
// An IRP is "in flight" from the IoCallDriver that takes it below its sender's location until completion
// unwinds back to that location; completing one that is not in flight (twice, or never sent) is reported.
// When completion unwinds past the first location, the IRP goes back to whoever set a completion handler
// on it (the I/O manager does); a driver-allocated IRP must be reclaimed by a completion routine returning
// STATUS_MORE_PROCESSING_REQUIRED instead, and reaching the top without one is reported.
#ifndef ZV_KERNEL_IRP_H
#define ZV_KERNEL_IRP_H

#include <ntddk.h>

#include <functional>
#include <string>
#include <string_view>

namespace zv::kernel {

namespace rule {
inline constexpr std::string_view kIrpUnknown = "irp-unknown"; // freed, or never an IRP
inline constexpr std::string_view kIrpDoubleCompletion = "irp-double-completion";
inline constexpr std::string_view kIrpNoStackLocation = "irp-no-stack-location";
inline constexpr std::string_view kIrpCompletedPending = "irp-completed-with-pending";
inline constexpr std::string_view kIrpCompletedCancelable = "irp-completed-cancelable";
inline constexpr std::string_view kIrpFreedInFlight = "irp-freed-in-flight";
inline constexpr std::string_view kIrpNotReclaimed = "irp-not-reclaimed";
inline constexpr std::string_view kIrpSentCancelable = "irp-sent-cancelable";
inline constexpr std::string_view kIrpReusedInFlight = "irp-reused-in-flight";
inline constexpr std::string_view kPendingNotPropagated = "pending-not-propagated";
inline constexpr std::string_view kMdlUnknown = "mdl-unknown";
} // namespace rule

// Runs when completion unwinds past the IRP's first location: the IRP is its sender's again (the handler
// may free it). Without a handler, reaching the top is reported as kIrpNotReclaimed.
void setIrpCompletionHandler(PIRP irp, std::function<void(PIRP)> handler);
bool isIrpLive(PIRP irp);
// True while the IRP is below its sender (sent and not yet completed back).
bool isIrpInFlight(PIRP irp);
// "IRP 0x... (IRP_MJ_READ)" for reports.
std::string describeIrp(PIRP irp);
const char* majorFunctionName(UCHAR major);

// Completes the IRP with `status` (IoStatus.Information as it is) and returns the status.
NTSTATUS completeIrp(PIRP irp, NTSTATUS status);
// Completes the IRP with the status it already carries and returns it: what a bus driver does with a
// Plug and Play or power request it does not handle.
NTSTATUS completeIrpAsIs(PIRP irp);

} // namespace zv::kernel

#endif // ZV_KERNEL_IRP_H
