// IRPs on raw WDM stacks: the walk down and the unwinding with completion routines, their control bits,
// STATUS_MORE_PROCESSING_REQUIRED, PendingReturned, cancellation, and the misuse the verifier reports.
#include "tests/kernel/wdm_stack.h"
#include "tests/support/sim_test.h"

#include "platform/kernel/irp.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace zv::kernel {
namespace {

using test::completeIrp;
using test::passDown;
using test::SimTest;
using test::WdmLayer;
using test::WdmStack;

// An IRP of `major` for the top of the stack, with the test as its sender: `topStatus` receives the status
// when the completion reaches the top. The handler frees the IRP when `free` is set.
struct Sent {
    PIRP irp = nullptr;
    std::optional<NTSTATUS> topStatus;
    bool pendingAtTop = false;
    int arrivals = 0;
};

PIRP newIrp(WdmStack& stack, UCHAR major, Sent& sent, bool freeAtTop = true) {
    PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = major;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    sent.irp = irp;
    setIrpCompletionHandler(irp, [&sent, freeAtTop](PIRP done) {
        sent.topStatus = done->IoStatus.Status;
        sent.pendingAtTop = done->PendingReturned != FALSE;
        ++sent.arrivals;
        if (freeAtTop)
            IoFreeIrp(done);
    });
    return irp;
}

// A layer handler that copies its location down with a completion routine, then calls the layer below.
NTSTATUS forwardWithRoutine(WdmLayer& layer, PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context,
                            bool onSuccess = true, bool onError = true, bool onCancel = true) {
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, routine, context, onSuccess, onError, onCancel);
    return IoCallDriver(layer.lower, irp);
}

class IrpTest : public SimTest {};

struct ControlCase {
    const char* name;
    NTSTATUS status;
    bool cancel; // the bottom sets Irp->Cancel before completing
    bool onSuccess, onError, onCancel;
    bool invoked;
};

class IrpControlTest : public SimTest, public ::testing::WithParamInterface<ControlCase> {};

NTSTATUS markInvoked(PDEVICE_OBJECT, PIRP, PVOID context) {
    *static_cast<bool*>(context) = true;
    return STATUS_SUCCESS;
}

TEST_P(IrpControlTest, CompletionRoutineRunsAsItsControlBitsSay) {
    const ControlCase& c = GetParam();
    runInFiber([&] {
        WdmStack stack(2);
        bool invoked = false;
        stack.topLayer().handlers[IRP_MJ_READ] = [&](WdmLayer& layer, PIRP irp) {
            return forwardWithRoutine(layer, irp, markInvoked, &invoked, c.onSuccess, c.onError, c.onCancel);
        };
        stack.bottom().handlers[IRP_MJ_READ] = [&](WdmLayer&, PIRP irp) {
            if (c.cancel)
                irp->Cancel = TRUE;
            return completeIrp(irp, c.status);
        };
        Sent sent;
        EXPECT_EQ(IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_READ, sent)), c.status);
        EXPECT_EQ(invoked, c.invoked);
        EXPECT_EQ(sent.arrivals, 1);
        EXPECT_EQ(sent.topStatus, c.status);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Bits, IrpControlTest,
    ::testing::Values(
        ControlCase{"SuccessOnSuccess", STATUS_SUCCESS, false, true, false, false, true},
        ControlCase{"SuccessOnErrorOnly", STATUS_SUCCESS, false, false, true, false, false},
        ControlCase{"WarningCountsAsError", STATUS_BUFFER_OVERFLOW, false, false, true, false, true},
        ControlCase{"ErrorOnError", STATUS_UNSUCCESSFUL, false, false, true, false, true},
        ControlCase{"ErrorOnSuccessOnly", STATUS_UNSUCCESSFUL, false, true, false, false, false},
        ControlCase{"CancelledOnCancelOnly", STATUS_CANCELLED, true, false, false, true, true},
        ControlCase{"CancelledOnSuccessOnly", STATUS_CANCELLED, true, true, false, false, false},
        ControlCase{"CancelFlagWithSuccess", STATUS_SUCCESS, true, false, false, true, true},
        ControlCase{"NoBits", STATUS_SUCCESS, false, false, false, false, false}),
    [](const auto& info) { return std::string(info.param.name); });

// Each routine sees the device of the layer that set it, with that layer's location current again; the
// sender's own routine sees no device and no location.
TEST_F(IrpTest, UnwindingRunsEachLayersRoutineBottomUpAtItsOwnLocation) {
    struct Seen {
        std::string who;
        PDEVICE_OBJECT argument;
        PDEVICE_OBJECT currentDevice;
        int location;
    };
    struct Context {
        std::string who;
        std::vector<Seen>* seen;
        NTSTATUS result;
    };
    auto record = [](PDEVICE_OBJECT device, PIRP irp, PVOID context) -> NTSTATUS {
        auto* c = static_cast<Context*>(context);
        bool atTop = irp->CurrentLocation > irp->StackCount;
        c->seen->push_back({c->who, device, atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject,
                            irp->CurrentLocation});
        if (c->result == STATUS_MORE_PROCESSING_REQUIRED)
            IoFreeIrp(irp);
        return c->result;
    };
    runInFiber([&] {
        WdmStack stack(3);
        std::vector<Seen> seen;
        Context middle{"middle", &seen, STATUS_SUCCESS};
        Context top{"top", &seen, STATUS_SUCCESS};
        Context sender{"sender", &seen, STATUS_MORE_PROCESSING_REQUIRED};
        stack.layer(1).handlers[IRP_MJ_WRITE] = [&](WdmLayer& layer, PIRP irp) {
            return forwardWithRoutine(layer, irp, record, &middle);
        };
        stack.layer(2).handlers[IRP_MJ_WRITE] = [&](WdmLayer& layer, PIRP irp) {
            return forwardWithRoutine(layer, irp, record, &top);
        };
        stack.bottom().handlers[IRP_MJ_WRITE] = [](WdmLayer&, PIRP irp) {
            EXPECT_EQ(irp->CurrentLocation, 1);
            return completeIrp(irp, STATUS_SUCCESS, 5);
        };
        // A driver-allocated IRP: the sender's routine takes it back and frees it.
        PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
        ASSERT_EQ(irp->StackCount, 3);
        ASSERT_EQ(irp->CurrentLocation, 4);
        IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_WRITE;
        IoSetCompletionRoutine(irp, record, &sender, TRUE, TRUE, TRUE);
        EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_SUCCESS);
        ASSERT_EQ(seen.size(), 3u);
        EXPECT_EQ(seen[0].who, "middle");
        EXPECT_EQ(seen[0].argument, stack.layer(1).device);
        EXPECT_EQ(seen[0].currentDevice, stack.layer(1).device);
        EXPECT_EQ(seen[0].location, 2);
        EXPECT_EQ(seen[1].who, "top");
        EXPECT_EQ(seen[1].argument, stack.layer(2).device);
        EXPECT_EQ(seen[1].location, 3);
        EXPECT_EQ(seen[2].who, "sender");
        EXPECT_EQ(seen[2].argument, nullptr);
        EXPECT_EQ(seen[2].location, 4);
    });
}

NTSTATUS pause(PDEVICE_OBJECT, PIRP, PVOID context) {
    *static_cast<int*>(context) += 1;
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS countRun(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    *static_cast<int*>(context) += 1;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

// STATUS_MORE_PROCESSING_REQUIRED hands the IRP back to the middle layer; its later IoCompleteRequest
// resumes the unwinding from its own location.
TEST_F(IrpTest, MoreProcessingRequiredStopsUnwindingUntilTheOwnerCompletesAgain) {
    runInFiber([&] {
        WdmStack stack(3);
        int middlePaused = 0;
        int topRan = 0;
        PIRP held = nullptr;
        stack.layer(1).handlers[IRP_MJ_READ] = [&](WdmLayer& layer, PIRP irp) {
            held = irp;
            NTSTATUS status = forwardWithRoutine(layer, irp, pause, &middlePaused);
            EXPECT_EQ(status, STATUS_SUCCESS);
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        };
        stack.layer(2).handlers[IRP_MJ_READ] = [&](WdmLayer& layer, PIRP irp) {
            return forwardWithRoutine(layer, irp, countRun, &topRan);
        };
        stack.bottom().handlers[IRP_MJ_READ] = [](WdmLayer&, PIRP irp) {
            return completeIrp(irp, STATUS_SUCCESS, 3);
        };
        Sent sent;
        EXPECT_EQ(IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_READ, sent)), STATUS_PENDING);
        EXPECT_EQ(middlePaused, 1);
        EXPECT_EQ(topRan, 0);
        EXPECT_FALSE(sent.topStatus.has_value());
        EXPECT_TRUE(isIrpInFlight(held));
        EXPECT_EQ(held->CurrentLocation, 2); // the middle layer's location again

        sim::sleepFor(5 * sim::kMillisecond);
        held->IoStatus.Status = STATUS_BUFFER_OVERFLOW;
        IoCompleteRequest(held, IO_NO_INCREMENT);
        EXPECT_EQ(topRan, 1);
        EXPECT_EQ(sent.arrivals, 1);
        EXPECT_EQ(sent.topStatus, STATUS_BUFFER_OVERFLOW);
        EXPECT_TRUE(sent.pendingAtTop);
    });
}

struct PendingCase {
    enum Middle { Skips, CopiesWithoutRoutine, SetsRoutine };
    const char* name;
    bool bottomPends;
    Middle middle;
};

class IrpPendingTest : public SimTest, public ::testing::WithParamInterface<PendingCase> {};

// PendingReturned reaches the top exactly when the bottom pended, through layers with or without routines.
TEST_P(IrpPendingTest, PendingReturnedFollowsTheLowestPend) {
    const PendingCase& c = GetParam();
    runInFiber([&] {
        WdmStack stack(3);
        int middleRan = 0;
        std::optional<bool> topSawPending;
        struct TopContext {
            std::optional<bool>* saw;
        } topContext{&topSawPending};
        auto topRoutine = [](PDEVICE_OBJECT, PIRP irp, PVOID context) -> NTSTATUS {
            *static_cast<TopContext*>(context)->saw = irp->PendingReturned != FALSE;
            if (irp->PendingReturned)
                IoMarkIrpPending(irp);
            return STATUS_SUCCESS;
        };
        if (c.middle == PendingCase::SetsRoutine)
            stack.layer(1).handlers[IRP_MJ_READ] = [&](WdmLayer& layer, PIRP irp) {
                return forwardWithRoutine(layer, irp, countRun, &middleRan);
            };
        if (c.middle == PendingCase::CopiesWithoutRoutine)
            stack.layer(1).handlers[IRP_MJ_READ] = [&](WdmLayer& layer, PIRP irp) {
                IoCopyCurrentIrpStackLocationToNext(irp);
                return IoCallDriver(layer.lower, irp);
            };
        stack.layer(2).handlers[IRP_MJ_READ] = [&](WdmLayer& layer, PIRP irp) {
            return forwardWithRoutine(layer, irp, topRoutine, &topContext);
        };
        PIRP pended = nullptr;
        stack.bottom().handlers[IRP_MJ_READ] = [&](WdmLayer&, PIRP irp) {
            if (!c.bottomPends)
                return completeIrp(irp, STATUS_SUCCESS);
            pended = irp;
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        };
        Sent sent;
        NTSTATUS status = IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_READ, sent));
        EXPECT_EQ(status, c.bottomPends ? STATUS_PENDING : STATUS_SUCCESS);
        if (c.bottomPends) {
            EXPECT_FALSE(sent.topStatus.has_value());
            // Completed later, from a DPC.
            sched().spawnDpc("complete", [&] { completeIrp(pended, STATUS_SUCCESS); });
            sim::sleepFor(sim::kMillisecond);
        }
        EXPECT_EQ(sent.topStatus, STATUS_SUCCESS);
        EXPECT_EQ(topSawPending, c.bottomPends);
        EXPECT_EQ(sent.pendingAtTop, c.bottomPends);
        EXPECT_EQ(middleRan, c.middle == PendingCase::SetsRoutine ? 1 : 0);
    });
}

INSTANTIATE_TEST_SUITE_P(Layers, IrpPendingTest,
                         ::testing::Values(PendingCase{"SynchronousSkip", false, PendingCase::Skips},
                                           PendingCase{"SynchronousCopy", false,
                                                       PendingCase::CopiesWithoutRoutine},
                                           PendingCase{"SynchronousRoutine", false, PendingCase::SetsRoutine},
                                           PendingCase{"PendedSkip", true, PendingCase::Skips},
                                           PendingCase{"PendedCopy", true, PendingCase::CopiesWithoutRoutine},
                                           PendingCase{"PendedRoutine", true, PendingCase::SetsRoutine}),
                         [](const auto& info) { return std::string(info.param.name); });

NTSTATUS forgetToPropagate(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}

TEST_F(IrpTest, RoutineThatDropsPendingReturnedIsReported) {
    runInFiber([&] {
        WdmStack stack(2);
        stack.topLayer().handlers[IRP_MJ_READ] = [&](WdmLayer& layer, PIRP irp) {
            return forwardWithRoutine(layer, irp, forgetToPropagate, nullptr);
        };
        PIRP pended = nullptr;
        stack.bottom().handlers[IRP_MJ_READ] = [&](WdmLayer&, PIRP irp) {
            pended = irp;
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        };
        Sent sent;
        EXPECT_EQ(IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_READ, sent)), STATUS_PENDING);
        completeIrp(pended, STATUS_SUCCESS);
        // Repaired on the way, so the sender still learns the request pended.
        EXPECT_TRUE(sent.pendingAtTop);
    });
    expectViolation(rule::kPendingNotPropagated);
}

// ---- Cancellation ----

struct CancelQueue {
    PIRP queued = nullptr;
    bool routineAtDispatch = false;
    bool routineClearedFirst = false;
};
VOID cancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    auto* queue = static_cast<CancelQueue*>(WdmLayer::of(device).context);
    queue->routineAtDispatch = KeGetCurrentIrql() == DISPATCH_LEVEL;
    queue->routineClearedFirst = irp->CancelRoutine == nullptr;
    queue->queued = nullptr;
    IoReleaseCancelSpinLock(irp->CancelIrql);
    completeIrp(irp, STATUS_CANCELLED);
}

// The classic pattern: queue under the cancel spin lock unless Cancel is already set.
NTSTATUS queueCancelable(CancelQueue& queue, PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
        IoReleaseCancelSpinLock(irql);
        return completeIrp(irp, STATUS_CANCELLED);
    }
    IoSetCancelRoutine(irp, cancelQueued);
    IoMarkIrpPending(irp);
    queue.queued = irp;
    IoReleaseCancelSpinLock(irql);
    return STATUS_PENDING;
}

TEST_F(IrpTest, CancelCallsTheRoutineUnderTheCancelLock) {
    runInFiber([&] {
        WdmStack stack(2);
        CancelQueue queue;
        stack.bottom().context = &queue;
        stack.bottom().handlers[IRP_MJ_READ] = [&](WdmLayer&, PIRP irp) {
            return queueCancelable(queue, irp);
        };
        Sent sent;
        PIRP irp = newIrp(stack, IRP_MJ_READ, sent);
        EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_PENDING);
        ASSERT_EQ(queue.queued, irp);
        bool cancelled = false;
        sched().spawn("canceller", [&] { cancelled = IoCancelIrp(irp) != FALSE; });
        sim::sleepFor(sim::kMillisecond);
        EXPECT_TRUE(cancelled);
        EXPECT_TRUE(queue.routineAtDispatch);
        EXPECT_TRUE(queue.routineClearedFirst);
        EXPECT_EQ(sent.topStatus, STATUS_CANCELLED);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    });
}

TEST_F(IrpTest, CancelWithoutRoutineOnlyMarksTheIrp) {
    runInFiber([&] {
        WdmStack stack(1);
        CancelQueue queue;
        stack.bottom().context = &queue;
        stack.bottom().handlers[IRP_MJ_READ] = [&](WdmLayer&, PIRP irp) {
            return queueCancelable(queue, irp);
        };

        // Cancelled before it reaches the driver: the driver sees Cancel and fails it itself.
        Sent early;
        PIRP first = newIrp(stack, IRP_MJ_READ, early);
        EXPECT_FALSE(IoCancelIrp(first));
        EXPECT_EQ(IoCallDriver(stack.top(), first), STATUS_CANCELLED);
        EXPECT_EQ(early.topStatus, STATUS_CANCELLED);

        // Taken back by the driver (routine cleared) before the cancel: nothing to call, the driver finishes.
        Sent late;
        PIRP second = newIrp(stack, IRP_MJ_READ, late);
        EXPECT_EQ(IoCallDriver(stack.top(), second), STATUS_PENDING);
        ASSERT_NE(IoSetCancelRoutine(second, nullptr), nullptr);
        EXPECT_FALSE(IoCancelIrp(second));
        EXPECT_TRUE(second->Cancel);
        completeIrp(second, STATUS_SUCCESS);
        EXPECT_EQ(late.topStatus, STATUS_SUCCESS);
    });
}

// ---- Misuse ----

struct MisuseCase {
    const char* name;
    std::string_view rule;
    std::function<void(WdmStack&, sim::Scheduler&)> act;
};

class IrpMisuseTest : public SimTest, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(IrpMisuseTest, IsReportedAndLeavesNothingBehind) {
    const MisuseCase& c = GetParam();
    runInFiber([&] {
        WdmStack stack(2);
        c.act(stack, sched());
    });
    std::vector<sim::Violation> reports = expectViolation(c.rule);
    EXPECT_EQ(reports.size(), 1u);
}

NTSTATUS keepGoing(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}

const MisuseCase kMisuse[] = {
    {"CompletedTwice", rule::kIrpDoubleCompletion,
     [](WdmStack& stack, sim::Scheduler&) {
         stack.bottom().handlers[IRP_MJ_READ] = [](WdmLayer&, PIRP irp) {
             completeIrp(irp, STATUS_SUCCESS);
             return completeIrp(irp, STATUS_SUCCESS);
         };
         Sent sent;
         PIRP irp = newIrp(stack, IRP_MJ_READ, sent, false);
         IoCallDriver(stack.top(), irp);
         EXPECT_EQ(sent.arrivals, 1);
         IoFreeIrp(irp);
     }},
    {"CompletedAfterTheSenderFreedIt", rule::kIrpUnknown,
     [](WdmStack& stack, sim::Scheduler&) {
         stack.bottom().handlers[IRP_MJ_READ] = [](WdmLayer&, PIRP irp) {
             completeIrp(irp, STATUS_SUCCESS);
             IoCompleteRequest(irp, IO_NO_INCREMENT); // freed by now: must not be touched
             return STATUS_SUCCESS;
         };
         Sent sent;
         IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_READ, sent));
     }},
    {"CompletedNeverSent", rule::kIrpDoubleCompletion,
     [](WdmStack& stack, sim::Scheduler&) {
         Sent sent;
         PIRP irp = newIrp(stack, IRP_MJ_READ, sent, false);
         completeIrp(irp, STATUS_SUCCESS);
         EXPECT_EQ(sent.arrivals, 0);
         IoFreeIrp(irp);
     }},
    {"SentAfterFree", rule::kIrpUnknown,
     [](WdmStack& stack, sim::Scheduler&) {
         PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
         IoFreeIrp(irp);
         EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_INVALID_PARAMETER);
     }},
    {"FreedTwice", rule::kIrpUnknown,
     [](WdmStack& stack, sim::Scheduler&) {
         PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
         IoFreeIrp(irp);
         IoFreeIrp(irp);
     }},
    {"StackTooSmall", rule::kIrpNoStackLocation,
     [](WdmStack& stack, sim::Scheduler&) {
         stack.topLayer().handlers[IRP_MJ_READ] = [](WdmLayer& layer, PIRP irp) {
             NTSTATUS status = IoCallDriver(layer.lower, irp); // refused: the IRP is still this layer's
             EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
             return completeIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
         };
         Sent sent;
         PIRP irp = IoAllocateIrp(1, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         setIrpCompletionHandler(irp, [&sent](PIRP done) {
             sent.topStatus = done->IoStatus.Status;
             IoFreeIrp(done);
         });
         IoCallDriver(stack.top(), irp);
         EXPECT_EQ(sent.topStatus, STATUS_INSUFFICIENT_RESOURCES);
     }},
    {"CompletedWithPending", rule::kIrpCompletedPending,
     [](WdmStack& stack, sim::Scheduler&) {
         stack.bottom().handlers[IRP_MJ_READ] = [](WdmLayer&, PIRP irp) {
             completeIrp(irp, STATUS_PENDING); // refused
             return completeIrp(irp, STATUS_SUCCESS);
         };
         Sent sent;
         IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_READ, sent));
         EXPECT_EQ(sent.topStatus, STATUS_SUCCESS);
     }},
    {"CompletedCancelable", rule::kIrpCompletedCancelable,
     [](WdmStack& stack, sim::Scheduler&) {
         stack.bottom().handlers[IRP_MJ_READ] = [](WdmLayer&, PIRP irp) {
             IoSetCancelRoutine(irp, cancelQueued);
             return completeIrp(irp, STATUS_SUCCESS);
         };
         Sent sent;
         IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_READ, sent));
         EXPECT_EQ(sent.topStatus, STATUS_SUCCESS);
     }},
    {"SentCancelable", rule::kIrpSentCancelable,
     [](WdmStack& stack, sim::Scheduler&) {
         stack.topLayer().handlers[IRP_MJ_READ] = [](WdmLayer& layer, PIRP irp) {
             IoSetCancelRoutine(irp, cancelQueued);
             NTSTATUS status = passDown(layer, irp);
             return status;
         };
         stack.bottom().handlers[IRP_MJ_READ] = [](WdmLayer&, PIRP irp) {
             IoSetCancelRoutine(irp, nullptr);
             return completeIrp(irp, STATUS_SUCCESS);
         };
         Sent sent;
         IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_READ, sent));
     }},
    {"DriverIrpNotReclaimed", rule::kIrpNotReclaimed,
     [](WdmStack& stack, sim::Scheduler&) {
         PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
         IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
         IoSetCompletionRoutine(irp, keepGoing, nullptr, TRUE, TRUE, TRUE);
         IoCallDriver(stack.top(), irp);
         EXPECT_FALSE(isIrpInFlight(irp));
         IoFreeIrp(irp);
     }},
    {"FreedInFlight", rule::kIrpFreedInFlight,
     [](WdmStack& stack, sim::Scheduler&) {
         PIRP pended = nullptr;
         stack.bottom().handlers[IRP_MJ_READ] = [&](WdmLayer&, PIRP irp) {
             pended = irp;
             IoMarkIrpPending(irp);
             return STATUS_PENDING;
         };
         Sent sent;
         PIRP irp = newIrp(stack, IRP_MJ_READ, sent);
         IoCallDriver(stack.top(), irp);
         IoFreeIrp(irp); // refused: kept for the driver below
         EXPECT_TRUE(isIrpLive(irp));
         completeIrp(pended, STATUS_SUCCESS);
         EXPECT_EQ(sent.topStatus, STATUS_SUCCESS);
     }},
    {"MdlFreedTwice", rule::kMdlUnknown,
     [](WdmStack& stack, sim::Scheduler&) {
         char buffer[16];
         PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
         PMDL first = IoAllocateMdl(buffer, sizeof buffer, FALSE, FALSE, irp);
         PMDL second = IoAllocateMdl(buffer + 8, 8, TRUE, FALSE, irp);
         EXPECT_EQ(irp->MdlAddress, first);
         EXPECT_EQ(first->Next, second);
         EXPECT_EQ(MmGetMdlVirtualAddress(second), buffer + 8);
         EXPECT_EQ(MmGetSystemAddressForMdlSafe(first, NormalPagePriority), buffer);
         EXPECT_EQ(MmGetMdlByteCount(second), 8u);
         IoFreeMdl(second);
         IoFreeMdl(first);
         IoFreeMdl(first);
         IoFreeIrp(irp);
     }},
};

INSTANTIATE_TEST_SUITE_P(Rules, IrpMisuseTest, ::testing::ValuesIn(kMisuse),
                         [](const auto& info) { return std::string(info.param.name); });

// A layer with no dispatch routine for a major function answers as a driver that handles nothing of it.
TEST_F(IrpTest, MissingDispatchRoutineFailsTheRequest) {
    runInFiber([&] {
        WdmStack stack(1);
        stack.bottom().driver.MajorFunction[IRP_MJ_FLUSH_BUFFERS] = nullptr;
        Sent sent;
        EXPECT_EQ(IoCallDriver(stack.top(), newIrp(stack, IRP_MJ_FLUSH_BUFFERS, sent)),
                  STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(sent.topStatus, STATUS_INVALID_DEVICE_REQUEST);
    });
}

TEST_F(IrpTest, ReusedIrpIsFreshWithTheGivenStatus) {
    runInFiber([&] {
        WdmStack stack(2);
        PIRP irp = IoAllocateIrp(stack.top()->StackSize, FALSE);
        int completions = 0;
        for (int round = 0; round < 2; ++round) {
            IoReuseIrp(irp, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(irp->CurrentLocation, 3);
            EXPECT_FALSE(irp->Cancel);
            IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_READ;
            IoSetCompletionRoutine(irp, pause, &completions, TRUE, TRUE, TRUE);
            EXPECT_EQ(IoCallDriver(stack.top(), irp), STATUS_SUCCESS);
            irp->Cancel = TRUE;
        }
        EXPECT_EQ(completions, 2);
        IoFreeIrp(irp);
    });
}

} // namespace
} // namespace zv::kernel
