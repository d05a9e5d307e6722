// Cancellation of requests: marking and unmarking against a cancel that comes before, between or after,
// inside and outside the queue's callback and under the driver's own lock (the cancel callback is never
// run inside the call or while the caller holds its locks); the same race under seeded schedules; requests
// cancelled while they wait in a queue; and the completion rules the verifier checks.
#include "tests/wdf/request_path_fixture.h"

#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::IrpShape;
using zv::test::RequestPathTest;
using zv::test::Submission;

void tick() {
    LARGE_INTEGER delay;
    delay.QuadPart = -1;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// ---- Mark / unmark against a cancel ----

enum class Op { Cancel, Mark, Unmark, Lock, Unlock, ReturnFromCallback };

struct CancelCase {
    const char* name;
    std::vector<Op> ops;   // run in order; the callback returns at ReturnFromCallback
    NTSTATUS unmarkStatus; // what an Unmark returns
    bool cancelCallback;   // the driver's cancel callback runs (and completes the request)
};

std::ostream& operator<<(std::ostream& os, const CancelCase& c) {
    return os << c.name;
}

class CancelTiming : public RequestPathTest, public ::testing::WithParamInterface<CancelCase> {};

TEST_P(CancelTiming, CancelCallbackRunsOnceAndNeverInsideTheCall) {
    const CancelCase& c = GetParam();
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true);
        WDFSPINLOCK lock = nullptr;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        ASSERT_EQ(WdfSpinLockCreate(&attributes, &lock), STATUS_SUCCESS);
        WDFREQUEST request = nullptr;
        int callbacks = 0;
        bool inCall = false; // inside a framework call of the test
        hooks().cancel = [&](WDFREQUEST r) {
            EXPECT_FALSE(inCall) << "the cancel callback ran inside the driver's call";
            WdfSpinLockAcquire(lock); // the lock the driver may hold while it marks
            WdfSpinLockRelease(lock);
            ++callbacks;
            EXPECT_EQ(WdfRequestGetIoQueue(r), WdfDeviceGetDefaultQueue(device));
            WdfRequestComplete(r, STATUS_CANCELLED);
        };
        PIRP irp = nullptr;
        size_t next = 0;
        auto runOps = [&](bool insideCallback) {
            for (; next < c.ops.size(); ++next) {
                switch (c.ops[next]) {
                    case Op::Cancel:
                        IoCancelIrp(irp);
                        break;
                    case Op::Mark:
                        inCall = true;
                        WdfRequestMarkCancelable(request, &zv::test::callbacks::RequestCancel);
                        inCall = false;
                        break;
                    case Op::Unmark:
                        EXPECT_EQ(WdfRequestUnmarkCancelable(request), c.unmarkStatus);
                        break;
                    case Op::Lock:
                        WdfSpinLockAcquire(lock);
                        break;
                    case Op::Unlock:
                        WdfSpinLockRelease(lock);
                        break;
                    case Op::ReturnFromCallback:
                        if (insideCallback) {
                            ++next;
                            return;
                        }
                        break;
                }
            }
        };
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            request = r;
            irp = WdfRequestWdmGetIrp(r);
            runOps(true);
        };
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_READ, 4});
        runOps(false);
        EXPECT_EQ(callbacks, 0) << "nothing may run before the test's fiber lets it";
        tick();
        if (!c.cancelCallback) {
            EXPECT_TRUE(WdfRequestIsCanceled(request));
            WdfRequestComplete(request, STATUS_SUCCESS);
        }
        tick();
        EXPECT_EQ(callbacks, c.cancelCallback ? 1 : 0);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(s.status, c.cancelCallback ? STATUS_CANCELLED : STATUS_SUCCESS);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Timings, CancelTiming,
    ::testing::Values(
        CancelCase{"CancelBeforeMarkInsideCallback", {Op::Cancel, Op::Mark, Op::ReturnFromCallback}, 0, true},
        CancelCase{"CancelBeforeMarkUnderDriverLock",
                   {Op::Cancel, Op::Lock, Op::Mark, Op::Unlock, Op::ReturnFromCallback},
                   0,
                   true},
        CancelCase{"CancelAfterMarkOutsideCallback", {Op::Mark, Op::ReturnFromCallback, Op::Cancel}, 0, true},
        CancelCase{"CancelAfterMarkInsideCallback", {Op::Mark, Op::Cancel, Op::ReturnFromCallback}, 0, true},
        CancelCase{"CancelBetweenMarkAndUnmark",
                   {Op::Mark, Op::ReturnFromCallback, Op::Cancel, Op::Unmark},
                   STATUS_CANCELLED,
                   true},
        CancelCase{"CancelAfterUnmark",
                   {Op::Mark, Op::Unmark, Op::ReturnFromCallback, Op::Cancel},
                   STATUS_SUCCESS,
                   false},
        CancelCase{"UnmarkWithoutMark",
                   {Op::Unmark, Op::ReturnFromCallback, Op::Cancel},
                   STATUS_INVALID_PARAMETER,
                   false},
        CancelCase{"RemarkAfterCancelClaimed",
                   {Op::Mark, Op::Cancel, Op::Unmark, Op::Mark, Op::ReturnFromCallback},
                   STATUS_CANCELLED,
                   true}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- The same race under seeded schedules ----

class CancelRace : public RequestPathTest, public ::testing::WithParamInterface<uint64_t> {
protected:
    zv::sim::SchedulePolicy policy() const override { return zv::sim::SchedulePolicy::seeded(GetParam()); }
};

// The driver parks reads, cancelable, in a slot under its spin lock; a DPC finishes what it finds there
// (unmarking first), while an application cancels. Whatever the interleaving, each read completes once,
// by exactly one of the two paths.
TEST_P(CancelRace, EachRequestCompletesOnceByOnePath) {
    run([&] {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
        WDFDEVICE device = addDevice({}, &attributes);
        addQueue(device, WdfIoQueueDispatchParallel, true);
        WDF_OBJECT_ATTRIBUTES lockAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&lockAttributes);
        lockAttributes.ParentObject = device;
        WDFSPINLOCK lock = nullptr;
        ASSERT_EQ(WdfSpinLockCreate(&lockAttributes, &lock), STATUS_SUCCESS);
        std::vector<WDFREQUEST> slot;
        int cancelled = 0, finished = 0;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            WdfSpinLockAcquire(lock);
            WdfRequestMarkCancelable(r, &zv::test::callbacks::RequestCancel);
            slot.push_back(r);
            WdfSpinLockRelease(lock);
        };
        hooks().cancel = [&](WDFREQUEST r) {
            WdfSpinLockAcquire(lock);
            slot.erase(std::remove(slot.begin(), slot.end(), r), slot.end());
            WdfSpinLockRelease(lock);
            ++cancelled;
            WdfRequestComplete(r, STATUS_CANCELLED);
        };
        powerUp(device);
        constexpr int kReads = 4;
        std::vector<Submission*> reads;
        for (int i = 0; i < kReads; ++i)
            reads.push_back(&submit(device, IrpShape{IRP_MJ_READ, 4}));
        auto& sched = *zv::sim::Scheduler::current();
        sched.spawnDpc("data arrival", [&] {
            for (int round = 0; round < kReads; ++round) {
                WdfSpinLockAcquire(lock);
                WDFREQUEST r = nullptr;
                if (!slot.empty()) {
                    r = slot.front();
                    slot.erase(slot.begin());
                }
                WdfSpinLockRelease(lock);
                if (r != nullptr && WdfRequestUnmarkCancelable(r) != STATUS_CANCELLED) {
                    ++finished;
                    WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 4);
                }
            }
        });
        sched.spawn("application", [&] {
            for (int i = kReads - 1; i >= 0; --i)
                if (!reads[static_cast<size_t>(i)]->done)
                    IoCancelIrp(reads[static_cast<size_t>(i)]->irp);
        });
        for (int i = 0; i < 10 && cancelled + finished < kReads; ++i)
            tick();
        EXPECT_EQ(cancelled + finished, kReads);
        for (Submission* s : reads) {
            EXPECT_TRUE(s->done);
            EXPECT_TRUE(s->status == STATUS_SUCCESS || s->status == STATUS_CANCELLED);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Seeds, CancelRace, ::testing::Range<uint64_t>(1, 13));

// ---- Cancelled while waiting in a queue ----

class QueuedCancel : public RequestPathTest {};

TEST_F(QueuedCancel, WaitingRequestIsCompletedCancelledWithoutPresentation) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchManual, true);
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_READ, 4});
        EXPECT_TRUE(IoCancelIrp(s.irp));
        tick();
        EXPECT_EQ(s.status, STATUS_CANCELLED);
        WDFREQUEST none = nullptr;
        EXPECT_EQ(WdfIoQueueRetrieveNextRequest(queue, &none), STATUS_NO_MORE_ENTRIES);
    });
}

TEST_F(QueuedCancel, CanceledOnQueueCallbackGetsTheRequestToFinish) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchManual, true, [](WDF_IO_QUEUE_CONFIG& q) {
            q.EvtIoCanceledOnQueue = &zv::test::callbacks::IoCanceledOnQueue;
        });
        int called = 0;
        hooks().canceledOnQueue = [&](WDFQUEUE q, WDFREQUEST r) {
            ++called;
            EXPECT_EQ(q, queue);
            WdfRequestCompleteWithInformation(r, STATUS_CANCELLED, 0);
        };
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_READ, 4});
        IoCancelIrp(s.irp);
        EXPECT_EQ(called, 0);
        tick();
        EXPECT_EQ(called, 1);
        EXPECT_EQ(s.status, STATUS_CANCELLED);
    });
}

// ---- Completion rules ----

enum class Misuse {
    CompleteCancelable,
    CompleteTwice,
    CompleteAfterForward,
    CompleteCreated,
    InformationTooLarge
};

struct MisuseCase {
    const char* name;
    Misuse misuse;
    std::string_view rule;
    NTSTATUS finalStatus; // what the submission ends with
    ULONG_PTR finalInformation;
};

std::ostream& operator<<(std::ostream& os, const MisuseCase& c) {
    return os << c.name;
}

class CompletionRules : public RequestPathTest, public ::testing::WithParamInterface<MisuseCase> {};

TEST_P(CompletionRules, MisuseIsReportedAndTheIrpStillCompletesOnce) {
    const MisuseCase& c = GetParam();
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true);
        WDFQUEUE other = addQueue(device, WdfIoQueueDispatchManual, false);
        WDFREQUEST owned = nullptr;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { owned = r; };
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_READ, 8});
        ASSERT_NE(owned, nullptr);
        switch (c.misuse) {
            case Misuse::CompleteCancelable:
                WdfRequestMarkCancelable(owned, &zv::test::callbacks::RequestCancel);
                WdfRequestComplete(owned, STATUS_SUCCESS);
                break;
            case Misuse::CompleteTwice:
                WdfObjectReference(owned);
                WdfRequestComplete(owned, STATUS_SUCCESS);
                WdfRequestComplete(owned, STATUS_UNSUCCESSFUL);
                EXPECT_EQ(WdfRequestGetIoQueue(owned), nullptr);
                EXPECT_EQ(WdfRequestGetStatus(owned), STATUS_SUCCESS);
                WdfObjectDereference(owned);
                break;
            case Misuse::CompleteAfterForward: {
                ASSERT_EQ(WdfRequestForwardToIoQueue(owned, other), STATUS_SUCCESS);
                WdfRequestComplete(owned, STATUS_UNSUCCESSFUL);
                WDFREQUEST back = nullptr;
                ASSERT_EQ(WdfIoQueueRetrieveNextRequest(other, &back), STATUS_SUCCESS);
                WdfRequestComplete(back, STATUS_SUCCESS);
                break;
            }
            case Misuse::CompleteCreated: {
                WDFREQUEST created = nullptr;
                ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, nullptr, &created), STATUS_SUCCESS);
                WdfRequestComplete(created, STATUS_SUCCESS);
                WdfObjectDelete(created);
                WdfRequestComplete(owned, STATUS_SUCCESS);
                break;
            }
            case Misuse::InformationTooLarge:
                WdfRequestCompleteWithInformation(owned, STATUS_SUCCESS, 9);
                break;
        }
        auto reports = expectViolation(c.rule);
        ASSERT_EQ(reports.size(), 1u);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(s.status, c.finalStatus);
        EXPECT_EQ(s.information, c.finalInformation);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Misuses, CompletionRules,
    ::testing::Values(MisuseCase{"CompleteCancelable", Misuse::CompleteCancelable,
                                 zv::wdf::rule::kCompletedCancelable, STATUS_SUCCESS, 0},
                      MisuseCase{"CompleteTwice", Misuse::CompleteTwice, zv::wdf::rule::kCompletedTwice,
                                 STATUS_SUCCESS, 0},
                      MisuseCase{"CompleteAfterForward", Misuse::CompleteAfterForward,
                                 zv::wdf::rule::kNotOwned, STATUS_SUCCESS, 0},
                      MisuseCase{"CompleteCreated", Misuse::CompleteCreated, zv::wdf::rule::kWrongRequestKind,
                                 STATUS_SUCCESS, 0},
                      // The information is cut to the buffer so that nothing is copied past it.
                      MisuseCase{"InformationTooLarge", Misuse::InformationTooLarge,
                                 zv::wdf::rule::kInformationTooLarge, STATUS_SUCCESS, 8}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
