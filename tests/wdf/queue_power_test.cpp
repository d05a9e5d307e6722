// Power-managed queues at D0 exit and entry (the suspend pass with its stop and resume callbacks), the
// purge pass at removal, and the verifier's reports when a driver leaves a pass waiting.
#include "tests/wdf/request_path_fixture.h"

#include "platform/wdf/io_state.h"

#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::IrpShape;
using zv::test::RequestPathTest;
using zv::test::Submission;

enum class StopReply { AcknowledgeKeep, AcknowledgeRequeue, Complete, Nothing };

struct SuspendCase {
    const char* name;
    StopReply reply;
    bool cancelable;      // the request is marked cancelable when the stop comes
    const char* expected; // what happens, in order, from the power-down to the end
};

std::ostream& operator<<(std::ostream& os, const SuspendCase& c) {
    return os << c.name;
}

class SuspendPass : public RequestPathTest, public ::testing::WithParamInterface<SuspendCase> {};

// A sequential queue owns request A when the device leaves D0; B waits behind it. The stop callback's reply
// decides what the power-down waits for and what D0 entry brings.
TEST_P(SuspendPass, StopCallbackReplyDecidesWhatD0ExitAndEntryDo) {
    const SuspendCase& c = GetParam();
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchSequential, true, [](WDF_IO_QUEUE_CONFIG& q) {
            q.EvtIoStop = &zv::test::callbacks::IoStop;
            q.EvtIoResume = &zv::test::callbacks::IoResume;
        });
        std::string events;
        PIRP first = nullptr; // A is the request presented first
        auto name = [&](WDFREQUEST r) {
            if (first == nullptr)
                first = WdfRequestWdmGetIrp(r);
            return WdfRequestWdmGetIrp(r) == first ? 'A' : 'B';
        };
        WDFREQUEST kept = nullptr;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            events += std::string("present ") + name(r) + "; ";
            if (name(r) == 'A' && kept == nullptr) {
                kept = r;
                if (c.cancelable) {
                    WdfRequestMarkCancelable(r, &zv::test::callbacks::RequestCancel);
                }
                return;
            }
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        hooks().stop = [&](WDFQUEUE, WDFREQUEST r, ULONG flags) {
            events += std::string("stop ") + name(r);
            EXPECT_EQ(flags,
                      WdfRequestStopActionSuspend | (c.cancelable ? WdfRequestStopRequestCancelable : 0));
            if (c.cancelable && c.reply != StopReply::Nothing) {
                EXPECT_EQ(WdfRequestUnmarkCancelable(r), STATUS_SUCCESS);
            }
            events += "; ";
            switch (c.reply) {
                case StopReply::AcknowledgeKeep:
                    WdfRequestStopAcknowledge(r, FALSE);
                    break;
                case StopReply::AcknowledgeRequeue:
                    kept = nullptr;
                    WdfRequestStopAcknowledge(r, TRUE);
                    break;
                case StopReply::Complete:
                    kept = nullptr;
                    WdfRequestComplete(r, STATUS_CANCELLED);
                    break;
                case StopReply::Nothing:
                    break;
            }
        };
        hooks().resume = [&](WDFQUEUE, WDFREQUEST r) { events += std::string("resume ") + name(r) + "; "; };
        hooks().cancel = [&](WDFREQUEST r) { WdfRequestComplete(r, STATUS_CANCELLED); };
        powerUp(device);
        Submission* a = &submit(device, IrpShape{IRP_MJ_READ, 1});
        Submission& b = submit(device, IrpShape{IRP_MJ_READ, 2});
        events.clear();

        powerDown(device);
        events += "D0 exit done; ";
        if (c.reply == StopReply::Nothing) {
            // The pass waited its limit, reported, and went on.
            EXPECT_GE(KeQueryInterruptTime(), static_cast<ULONGLONG>(zv::wdf::kPowerPassLimit));
            expectViolation(zv::wdf::rule::kStopNotAcknowledged);
        }
        EXPECT_FALSE(b.done); // nothing is presented in D3
        powerUp(device);
        events += "D0 entry done; ";
        if (kept != nullptr) {
            if (c.cancelable && c.reply == StopReply::Nothing) {
                EXPECT_EQ(WdfRequestUnmarkCancelable(kept), STATUS_SUCCESS);
            }
            WdfRequestComplete(kept, STATUS_SUCCESS);
        }
        EXPECT_EQ(events, c.expected);
        EXPECT_TRUE(a->done);
        EXPECT_EQ(a->status, c.reply == StopReply::Complete ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_EQ(b.status, STATUS_SUCCESS);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Replies, SuspendPass,
    ::testing::Values(SuspendCase{"AcknowledgeKeep", StopReply::AcknowledgeKeep, false,
                                  "stop A; D0 exit done; resume A; D0 entry done; present B; "},
                      SuspendCase{"AcknowledgeKeepCancelable", StopReply::AcknowledgeKeep, true,
                                  "stop A; D0 exit done; resume A; D0 entry done; present B; "},
                      // Requeued, A is the driver's no more: presented again after D0 entry, before B.
                      SuspendCase{"AcknowledgeRequeue", StopReply::AcknowledgeRequeue, false,
                                  "stop A; D0 exit done; present A; D0 entry done; present B; "},
                      SuspendCase{"Complete", StopReply::Complete, false,
                                  "stop A; D0 exit done; present B; D0 entry done; "},
                      SuspendCase{"Nothing", StopReply::Nothing, false,
                                  "stop A; D0 exit done; D0 entry done; present B; "}),
    [](const auto& info) { return std::string(info.param.name); });

class QueuePower : public RequestPathTest {};

TEST_F(QueuePower, WithoutAStopCallbackTheSuspendWaitsForCompletion) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true);
        WDFREQUEST owned = nullptr;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { owned = r; };
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_WRITE, 1});
        // Another activity finishes the request two seconds into the power-down.
        zv::sim::Scheduler::current()->spawn("completer", [&] {
            LARGE_INTEGER delay;
            delay.QuadPart = -2 * zv::sim::kSecond;
            KeDelayExecutionThread(KernelMode, FALSE, &delay);
            WdfRequestComplete(owned, STATUS_SUCCESS);
        });
        powerDown(device);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(2 * zv::sim::kSecond));
    });
}

TEST_F(QueuePower, QueueThatIsNotPowerManagedPresentsInAnyPowerState) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchParallel, true,
                                  [](WDF_IO_QUEUE_CONFIG& q) { q.PowerManaged = WdfFalse; });
        int presented = 0;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            ++presented;
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_WRITE, 1}).status, STATUS_SUCCESS);
        powerUp(device);
        powerDown(device);
        EXPECT_EQ(WdfIoQueueGetState(queue, nullptr, nullptr) & WdfIoQueuePnpHeld, 0u);
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_WRITE, 1}).status, STATUS_SUCCESS);
        EXPECT_EQ(presented, 2);
    });
}

TEST_F(QueuePower, StopAcknowledgeOutsideAStopCallbackIsReported) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true,
                 [](WDF_IO_QUEUE_CONFIG& q) { q.EvtIoStop = &zv::test::callbacks::IoStop; });
        WDFREQUEST owned = nullptr;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { owned = r; };
        hooks().stop = [&](WDFQUEUE, WDFREQUEST r, ULONG) { WdfRequestStopAcknowledge(r, FALSE); };
        powerUp(device);
        submit(device, IrpShape{IRP_MJ_WRITE, 1});
        WdfRequestStopAcknowledge(owned, FALSE);
        expectViolation(zv::wdf::rule::kStopAcknowledgeOutsideStop);
        // Acknowledged inside its stop callback, and completed after resume.
        powerDown(device);
        powerUp(device);
        WdfRequestComplete(owned, STATUS_SUCCESS);
    });
}

TEST_F(QueuePower, RemovalPurgesPowerManagedQueuesFirstAndRefusesNewRequests) {
    run([&] {
        WDFDEVICE device = addDevice();
        std::vector<std::string> events;
        WDFQUEUE ordinary = addQueue(device, WdfIoQueueDispatchParallel, false, [](WDF_IO_QUEUE_CONFIG& q) {
            q.PowerManaged = WdfFalse;
            q.EvtIoStop = &zv::test::callbacks::IoStop;
        });
        WDFQUEUE managed = addQueue(device, WdfIoQueueDispatchSequential, true, [](WDF_IO_QUEUE_CONFIG& q) {
            q.EvtIoStop = &zv::test::callbacks::IoStop;
        });
        ASSERT_EQ(WdfDeviceConfigureRequestDispatching(device, ordinary, WdfRequestTypeDeviceControl),
                  STATUS_SUCCESS);
        hooks().io = [&](WDFQUEUE, WDFREQUEST) {};
        hooks().stop = [&](WDFQUEUE q, WDFREQUEST r, ULONG flags) {
            EXPECT_EQ(flags, static_cast<ULONG>(WdfRequestStopActionPurge));
            events.push_back(q == managed ? "stop managed" : "stop ordinary");
            WdfRequestComplete(r, STATUS_CANCELLED);
        };
        powerUp(device);
        Submission& read = submit(device, IrpShape{IRP_MJ_READ, 1});
        Submission& queued = submit(device, IrpShape{IRP_MJ_READ, 1});
        Submission& control = submit(device, IrpShape{IRP_MJ_DEVICE_CONTROL, 1, 0, zv::test::kBufferedIoctl});
        purgeForRemoval(device);
        EXPECT_EQ(events, (std::vector<std::string>{"stop managed", "stop ordinary"}));
        for (Submission* s : {&read, &queued, &control})
            EXPECT_EQ(s->status, STATUS_CANCELLED);
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_READ, 1}).status, STATUS_INVALID_DEVICE_STATE);
        WdfIoQueueStart(managed); // removal is final
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_READ, 1}).status, STATUS_INVALID_DEVICE_STATE);
    });
}

TEST_F(QueuePower, RequestTheDriverNeverCompletesIsReportedAtRemoval) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true);
        WDFREQUEST owned = nullptr;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { owned = r; };
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_WRITE, 1});
        purgeForRemoval(device);
        auto reports = expectViolation(zv::wdf::rule::kNeverCompleted);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_NE(reports[0].object.find("WDFREQUEST"), std::string::npos);
        WdfRequestComplete(owned, STATUS_SUCCESS); // late, but the IRP is not lost
        EXPECT_TRUE(s.done);
    });
}

TEST_F(QueuePower, DeviceDeletedWithoutARemovalLosesNoIrp) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchSequential, true);
        hooks().lower = zv::test::holdBelow;
        WDFREQUEST owned = nullptr;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            if (owned == nullptr) {
                owned = r;
                return;
            }
            WdfRequestFormatRequestUsingCurrentType(r);
            WdfRequestSetCompletionRoutine(r, &zv::test::callbacks::Completion, nullptr);
            EXPECT_TRUE(WdfRequestSend(r, WdfDeviceGetIoTarget(device), WDF_NO_SEND_OPTIONS));
        };
        hooks().completion = [](WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) {
            ADD_FAILURE() << "a deleted driver's completion routine ran";
        };
        powerUp(device);
        Submission& kept = submit(device, IrpShape{IRP_MJ_READ, 1});
        Submission& waiting = submit(device, IrpShape{IRP_MJ_READ, 2});
        ASSERT_FALSE(waiting.done);
        // The sequential queue presents the second once the first goes; the driver then sends it below.
        WdfRequestComplete(owned, STATUS_SUCCESS);
        ASSERT_EQ(hooks().heldBelow.size(), 1u);
        Submission& queued = submit(device, IrpShape{IRP_MJ_READ, 3});
        // The driver unloads under its device, which no removal purged.
        unload();
        EXPECT_EQ(kept.status, STATUS_SUCCESS);
        for (Submission* s : {&waiting, &queued}) {
            EXPECT_TRUE(s->done);
            EXPECT_EQ(s->status, STATUS_CANCELLED);
        }
    });
}

} // namespace
