// Requests a child device forwards to its parent's queue: the IRP moves to the parent at a stack location
// of its own, the parent gives it to the stack below, and its completion unwinds straight back to whoever
// sent it to the child; and the conditions under which the forward is refused.
#include "tests/wdf/request_path_fixture.h"

#include "platform/wdf/device_init.h"
#include "platform/wdf/io_config.h"

#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::IrpShape;
using zv::test::RequestPathTest;
using zv::test::Submission;

struct ForwardCase {
    const char* name;
    bool allowed;        // the child's init allowed forwarding to the parent
    ULONG optionFlags;   // the forward options' flags
    bool parentAccepts;  // the parent's queue accepts requests
    NTSTATUS forward;    // what the forward returns
    NTSTATUS completion; // what the request sent to the child completes with
    std::string_view rule;
};

std::ostream& operator<<(std::ostream& os, const ForwardCase& c) {
    return os << c.name;
}

class ForwardToParent : public RequestPathTest, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(ForwardToParent, ParentGetsTheIrpAtItsOwnLocationUnlessTheForwardIsRefused) {
    const ForwardCase& c = GetParam();
    run([&] {
        WDFDEVICE parent = addDevice();
        WDFQUEUE parentQueue = addQueue(parent, WdfIoQueueDispatchParallel, true);
        WDFDEVICE child = addDevice(
            [&](PWDFDEVICE_INIT init) {
                // What WdfPdoInitAllowForwardingRequestToParent records.
                zv::wdf::DeviceInit::fromHandle(init, "test")->io().allowForwardingToParent = c.allowed;
            },
            nullptr, false);
        // A child that forwards needs stack locations for its parent's stack too.
        wdm(child)->StackSize = static_cast<CCHAR>(wdm(parent)->StackSize + 1);
        WDFQUEUE childQueue = addQueue(child, WdfIoQueueDispatchParallel, true,
                                       [](WDF_IO_QUEUE_CONFIG& q) { q.PowerManaged = WdfFalse; });
        powerUp(parent);
        if (!c.parentAccepts)
            WdfIoQueuePurge(parentQueue, nullptr, nullptr);

        NTSTATUS forwarded = STATUS_PENDING;
        hooks().io = [&](WDFQUEUE q, WDFREQUEST r) {
            if (q == childQueue) {
                WDF_REQUEST_FORWARD_OPTIONS options;
                WDF_REQUEST_FORWARD_OPTIONS_INIT(&options);
                options.Flags = c.optionFlags;
                forwarded = WdfRequestForwardToParentDeviceIoQueue(r, parentQueue, &options);
                if (!NT_SUCCESS(forwarded))
                    WdfRequestComplete(r, forwarded);
                return;
            }
            EXPECT_EQ(WdfRequestGetIoQueue(r), parentQueue);
            WDF_REQUEST_SEND_OPTIONS options;
            WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
            EXPECT_TRUE(WdfRequestSend(r, WdfDeviceGetIoTarget(parent), &options));
        };
        PIRP seenBelow = nullptr;
        hooks().lower = [&](PDEVICE_OBJECT, PIRP irp) {
            seenBelow = irp;
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(irp->CurrentLocation, 1);
            EXPECT_EQ(s->MajorFunction, IRP_MJ_READ);
            return zv::test::callbacks::completeIrp(irp, STATUS_SUCCESS, s->Parameters.Read.Length);
        };
        Submission& s = submit(child, IrpShape{IRP_MJ_READ, 12});
        EXPECT_EQ(forwarded, c.forward);
        if (!c.rule.empty())
            expectViolation(c.rule);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(s.status, c.completion);
        if (NT_SUCCESS(c.forward)) {
            EXPECT_EQ(seenBelow, s.irp);
            EXPECT_EQ(s.information, 12u);
        } else {
            EXPECT_EQ(seenBelow, nullptr);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ForwardToParent,
    ::testing::Values(ForwardCase{"Forwarded",
                                  true,
                                  WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET,
                                  true,
                                  STATUS_SUCCESS,
                                  STATUS_SUCCESS,
                                  {}},
                      ForwardCase{"NotAllowed", false, WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET, true,
                                  STATUS_INVALID_DEVICE_REQUEST, STATUS_INVALID_DEVICE_REQUEST,
                                  zv::wdf::rule::kQueueMisuse},
                      ForwardCase{"WithoutSendAndForget", true, 0, true, STATUS_INVALID_PARAMETER,
                                  STATUS_INVALID_PARAMETER, zv::wdf::rule::kSendOptions},
                      // The caller completes it with the refusal.
                      ForwardCase{"ParentNotAccepting",
                                  true,
                                  WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET,
                                  false,
                                  STATUS_WDF_BUSY,
                                  STATUS_WDF_BUSY,
                                  {}}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
