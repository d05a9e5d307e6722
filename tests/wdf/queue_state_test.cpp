// A queue's state bits (WdfIoQueueGetState) through stop, start, purge and power changes, what a stopped
// or purged queue does with new requests, and the callbacks that tell a no-wait stop or purge is over.
#include "tests/wdf/request_path_fixture.h"

#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::IrpShape;
using zv::test::RequestPathTest;
using zv::test::Submission;

constexpr ULONG kAccept = WdfIoQueueAcceptRequests;
constexpr ULONG kDispatch = WdfIoQueueDispatchRequests;
constexpr ULONG kNoneWaiting = WdfIoQueueNoRequests;
constexpr ULONG kNoneOwned = WdfIoQueueDriverNoRequests;
constexpr ULONG kPowerHeld = WdfIoQueuePnpHeld;

enum class Step { PowerUp, PowerDown, Submit, SubmitRefused, Stop, Start, Purge, CompleteOwned };

struct StateStep {
    Step step;
    ULONG state;  // the bits afterwards
    ULONG queued; // requests waiting
    ULONG owned;  // requests with the driver
};

class QueueState : public RequestPathTest {};

TEST_F(QueueState, BitsFollowStopStartPurgeAndPower) {
    // One queue through one life; each row is an action and the state it leaves.
    const std::vector<StateStep> steps{
        {Step::PowerUp, kAccept | kDispatch | kNoneWaiting | kNoneOwned, 0, 0},
        {Step::Submit, kAccept | kDispatch | kNoneWaiting, 0, 1},
        {Step::Stop, kAccept | kNoneWaiting, 0, 1},
        {Step::Submit, kAccept, 1, 1},
        {Step::Start, kAccept | kDispatch | kNoneWaiting, 0, 2},
        {Step::CompleteOwned, kAccept | kDispatch | kNoneWaiting | kNoneOwned, 0, 0},
        {Step::Purge, kDispatch | kNoneWaiting | kNoneOwned, 0, 0},
        {Step::SubmitRefused, kDispatch | kNoneWaiting | kNoneOwned, 0, 0},
        {Step::Start, kAccept | kDispatch | kNoneWaiting | kNoneOwned, 0, 0},
        {Step::PowerDown, kAccept | kDispatch | kNoneWaiting | kNoneOwned | kPowerHeld, 0, 0},
        {Step::Submit, kAccept | kDispatch | kNoneOwned | kPowerHeld, 1, 0},
        {Step::PowerUp, kAccept | kDispatch | kNoneWaiting, 0, 1},
        {Step::CompleteOwned, kAccept | kDispatch | kNoneWaiting | kNoneOwned, 0, 0},
    };
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchParallel, true);
        std::vector<WDFREQUEST> owned;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { owned.push_back(r); };
        ULONG queued = 0, driver = 0;
        EXPECT_EQ(WdfIoQueueGetState(queue, &queued, &driver),
                  kAccept | kDispatch | kNoneWaiting | kNoneOwned | kPowerHeld);
        for (size_t i = 0; i < steps.size(); ++i) {
            SCOPED_TRACE("step " + std::to_string(i));
            switch (steps[i].step) {
                case Step::PowerUp:
                    powerUp(device);
                    break;
                case Step::PowerDown:
                    powerDown(device);
                    break;
                case Step::Submit:
                    EXPECT_EQ(submit(device, IrpShape{IRP_MJ_WRITE, 4}).returned, STATUS_PENDING);
                    break;
                case Step::SubmitRefused: {
                    Submission& s = submit(device, IrpShape{IRP_MJ_WRITE, 4});
                    EXPECT_TRUE(s.done);
                    EXPECT_EQ(s.status, STATUS_INVALID_DEVICE_STATE);
                    break;
                }
                case Step::Stop:
                    WdfIoQueueStop(queue, nullptr, nullptr);
                    break;
                case Step::Start:
                    WdfIoQueueStart(queue);
                    break;
                case Step::Purge:
                    WdfIoQueuePurge(queue, nullptr, nullptr);
                    break;
                case Step::CompleteOwned:
                    for (WDFREQUEST r : owned)
                        WdfRequestComplete(r, STATUS_SUCCESS);
                    owned.clear();
                    break;
            }
            EXPECT_EQ(WdfIoQueueGetState(queue, &queued, &driver),
                      static_cast<WDF_IO_QUEUE_STATE>(steps[i].state));
            EXPECT_EQ(queued, steps[i].queued);
            EXPECT_EQ(driver, steps[i].owned);
        }
    });
}

TEST_F(QueueState, PurgeCancelsWaitingAndCancelableRequestsThenReportsWhenTheDriverIsDone) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchParallel, true, [](WDF_IO_QUEUE_CONFIG& q) {
            q.Settings.Parallel.NumberOfPresentedRequests = 2;
        });
        std::vector<WDFREQUEST> owned;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { owned.push_back(r); };
        std::vector<std::string> events;
        hooks().cancel = [&](WDFREQUEST r) {
            events.push_back("cancel callback");
            WdfRequestComplete(r, STATUS_CANCELLED);
        };
        hooks().queueState = [&](WDFQUEUE q, WDFCONTEXT context) {
            EXPECT_EQ(q, queue);
            EXPECT_EQ(context, &events);
            events.push_back("purge complete");
        };
        powerUp(device);
        Submission& cancelable = submit(device, IrpShape{IRP_MJ_WRITE, 1});
        Submission& kept = submit(device, IrpShape{IRP_MJ_WRITE, 2});
        Submission& waiting = submit(device, IrpShape{IRP_MJ_WRITE, 3});
        ASSERT_EQ(owned.size(), 2u);
        WdfRequestMarkCancelable(owned[0], &zv::test::callbacks::RequestCancel);

        WdfIoQueuePurge(queue, &zv::test::callbacks::QueueState, &events);
        EXPECT_TRUE(waiting.done); // cancelled at once: nothing of the driver's is involved
        EXPECT_EQ(waiting.status, STATUS_CANCELLED);
        EXPECT_TRUE(events.empty()); // the no-wait form returns before any callback
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_WRITE, 4}).status, STATUS_INVALID_DEVICE_STATE);

        LARGE_INTEGER tick;
        tick.QuadPart = -1;
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
        EXPECT_EQ(events, std::vector<std::string>{"cancel callback"});
        EXPECT_EQ(cancelable.status, STATUS_CANCELLED);
        EXPECT_FALSE(kept.done); // not cancelable: the driver's to finish

        WdfRequestComplete(owned[1], STATUS_SUCCESS);
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
        EXPECT_EQ(events, (std::vector<std::string>{"cancel callback", "purge complete"}));
        EXPECT_EQ(kept.status, STATUS_SUCCESS);
    });
}

TEST_F(QueueState, StopCompletesWhenTheDriverOwnsNothingAndKeepsAccepting) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchSequential, true);
        std::vector<WDFREQUEST> owned;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { owned.push_back(r); };
        int stopped = 0;
        hooks().queueState = [&](WDFQUEUE, WDFCONTEXT) { ++stopped; };
        powerUp(device);
        submit(device, IrpShape{IRP_MJ_READ, 1});
        WdfIoQueueStop(queue, &zv::test::callbacks::QueueState, nullptr);
        Submission& later = submit(device, IrpShape{IRP_MJ_READ, 2});
        EXPECT_FALSE(later.done);
        LARGE_INTEGER tick;
        tick.QuadPart = -1;
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
        EXPECT_EQ(stopped, 0);
        WdfRequestComplete(owned[0], STATUS_SUCCESS);
        KeDelayExecutionThread(KernelMode, FALSE, &tick);
        EXPECT_EQ(stopped, 1);
        EXPECT_EQ(owned.size(), 1u); // stopped: the second waits
        WdfIoQueueStart(queue);      // presents on this fiber before returning
        ASSERT_EQ(owned.size(), 2u);
        WdfRequestComplete(owned[1], STATUS_SUCCESS);
        EXPECT_EQ(later.status, STATUS_SUCCESS);
    });
}

} // namespace
