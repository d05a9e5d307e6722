// Presentation: what makes a sequential queue present its next request, parallel limits, manual queues,
// zero-length reads and writes, routing by request type, a preprocessed IRP handed back to the framework,
// and the rule that a queue's dispatcher is never re-entered.
#include "tests/wdf/request_path_fixture.h"

#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::IrpShape;
using zv::test::RequestPathTest;
using zv::test::Submission;

// ---- Sequential queues: every way ownership ends presents the next request ----

enum class Release { Complete, Forward, SendAndForget, Requeue, Send };

struct ReleaseCase {
    const char* name;
    Release release;
    // The order of presentations (A and B are the two requests) once the first has been handled, and
    // once what it still waited for has happened.
    std::string presentedAtOnce;
    std::string presentedAtEnd;
};

std::ostream& operator<<(std::ostream& os, const ReleaseCase& c) {
    return os << c.name;
}

class SequentialRelease : public RequestPathTest, public ::testing::WithParamInterface<ReleaseCase> {};

TEST_P(SequentialRelease, PresentsTheNextRequestOnlyWhenOwnershipEnds) {
    const ReleaseCase& c = GetParam();
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchSequential, true);
        WDFQUEUE manual = addQueue(device, WdfIoQueueDispatchManual, false);
        hooks().lower = zv::test::holdBelow;
        // Both wait until the queue is powered up.
        Submission& a = submit(device, IrpShape{IRP_MJ_READ, 8});
        Submission& b = submit(device, IrpShape{IRP_MJ_READ, 8});
        EXPECT_EQ(a.returned, STATUS_PENDING);
        std::string presented;
        hooks().completion = [&](WDFREQUEST r, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT) {
            WdfRequestComplete(r, p->IoStatus.Status);
        };
        hooks().io = [&](WDFQUEUE q, WDFREQUEST r) {
            EXPECT_EQ(q, queue);
            const bool first = WdfRequestWdmGetIrp(r) == a.irp;
            presented += first ? 'A' : 'B';
            if (!first || presented.size() > 1) {
                WdfRequestComplete(r, STATUS_SUCCESS);
                return;
            }
            WDF_REQUEST_SEND_OPTIONS options;
            switch (c.release) {
                case Release::Complete:
                    WdfRequestComplete(r, STATUS_SUCCESS);
                    break;
                case Release::Forward:
                    EXPECT_EQ(WdfRequestForwardToIoQueue(r, manual), STATUS_SUCCESS);
                    break;
                case Release::SendAndForget:
                    WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
                    EXPECT_TRUE(WdfRequestSend(r, WdfDeviceGetIoTarget(device), &options));
                    break;
                case Release::Requeue:
                    EXPECT_EQ(WdfRequestRequeue(r), STATUS_SUCCESS);
                    break;
                case Release::Send:
                    WdfRequestFormatRequestUsingCurrentType(r);
                    WdfRequestSetCompletionRoutine(r, &zv::test::callbacks::Completion, nullptr);
                    EXPECT_TRUE(WdfRequestSend(r, WdfDeviceGetIoTarget(device), WDF_NO_SEND_OPTIONS));
                    break;
            }
        };
        powerUp(device);
        EXPECT_EQ(presented, c.presentedAtOnce);
        // What the first request still waits for.
        if (c.release == Release::Forward) {
            WDFREQUEST forwarded = nullptr;
            ASSERT_EQ(WdfIoQueueRetrieveNextRequest(manual, &forwarded), STATUS_SUCCESS);
            EXPECT_EQ(WdfRequestWdmGetIrp(forwarded), a.irp);
            EXPECT_EQ(WdfRequestGetIoQueue(forwarded), manual);
            WdfRequestComplete(forwarded, STATUS_SUCCESS);
        } else if (c.release == Release::SendAndForget || c.release == Release::Send) {
            EXPECT_FALSE(a.done);
            zv::test::releaseBelow(STATUS_SUCCESS, 8);
        }
        EXPECT_EQ(presented, c.presentedAtEnd);
        for (Submission* s : {&a, &b}) {
            EXPECT_TRUE(s->done);
            EXPECT_EQ(s->status, STATUS_SUCCESS);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Events, SequentialRelease,
    ::testing::Values(ReleaseCase{"Complete", Release::Complete, "AB", "AB"},
                      ReleaseCase{"Forward", Release::Forward, "AB", "AB"},
                      ReleaseCase{"SendAndForget", Release::SendAndForget, "AB", "AB"},
                      ReleaseCase{"Requeue", Release::Requeue, "AAB", "AAB"},
                      // An ordinary send keeps the request the driver's until it is back.
                      ReleaseCase{"Send", Release::Send, "A", "AB"}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Zero-length reads and writes ----

struct ZeroLengthCase {
    const char* name;
    UCHAR major;
    bool allowZeroLength;
    bool presented;
};

class ZeroLength : public RequestPathTest, public ::testing::WithParamInterface<ZeroLengthCase> {};

TEST_P(ZeroLength, FrameworkCompletesThemUnlessTheQueueAllowsThem) {
    const ZeroLengthCase& c = GetParam();
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true,
                 [&](WDF_IO_QUEUE_CONFIG& q) { q.AllowZeroLengthRequests = c.allowZeroLength; });
        int presentations = 0;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            ++presentations;
            WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, 0);
        };
        powerUp(device);
        Submission& s = submit(device, IrpShape{c.major, 0, 0, zv::test::kBufferedIoctl});
        EXPECT_EQ(presentations, c.presented ? 1 : 0);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(s.status, STATUS_SUCCESS);
        EXPECT_EQ(s.information, 0u);
        if (!c.presented) {
            EXPECT_EQ(s.returned, STATUS_SUCCESS); // completed in the dispatch routine itself
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Kinds, ZeroLength,
                         ::testing::Values(ZeroLengthCase{"Read", IRP_MJ_READ, false, false},
                                           ZeroLengthCase{"Write", IRP_MJ_WRITE, false, false},
                                           ZeroLengthCase{"ReadAllowed", IRP_MJ_READ, true, true},
                                           ZeroLengthCase{"WriteAllowed", IRP_MJ_WRITE, true, true},
                                           ZeroLengthCase{"DeviceControl", IRP_MJ_DEVICE_CONTROL, false,
                                                          true}),
                         [](const auto& info) { return std::string(info.param.name); });

// ---- Parallel and manual queues ----

class QueueDispatch : public RequestPathTest {};

TEST_F(QueueDispatch, ParallelQueuePresentsUpToItsLimit) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true,
                 [](WDF_IO_QUEUE_CONFIG& q) { q.Settings.Parallel.NumberOfPresentedRequests = 2; });
        std::vector<WDFREQUEST> owned;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { owned.push_back(r); };
        powerUp(device);
        for (int i = 0; i < 3; ++i)
            submit(device, IrpShape{IRP_MJ_WRITE, 4});
        ASSERT_EQ(owned.size(), 2u);
        WdfRequestComplete(owned[0], STATUS_SUCCESS);
        ASSERT_EQ(owned.size(), 3u);
        WdfRequestComplete(owned[1], STATUS_SUCCESS);
        WdfRequestComplete(owned[2], STATUS_SUCCESS);
        for (auto& s : submissions_)
            EXPECT_EQ(s->status, STATUS_SUCCESS);
    });
}

TEST_F(QueueDispatch, ManualQueueGivesRequestsOutInArrivalOrder) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchManual, true);
        powerUp(device);
        Submission& a = submit(device, IrpShape{IRP_MJ_READ, 1});
        Submission& b = submit(device, IrpShape{IRP_MJ_READ, 2});
        WDFREQUEST first = nullptr, second = nullptr, none = nullptr;
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(queue, &first), STATUS_SUCCESS);
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(queue, &second), STATUS_SUCCESS);
        EXPECT_EQ(WdfIoQueueRetrieveNextRequest(queue, &none), STATUS_NO_MORE_ENTRIES);
        EXPECT_EQ(none, nullptr);
        WdfRequestCompleteWithInformation(second, STATUS_SUCCESS, 2);
        WdfRequestCompleteWithInformation(first, STATUS_SUCCESS, 1);
        EXPECT_EQ(a.information, 1u);
        EXPECT_EQ(b.information, 2u);
    });
}

TEST_F(QueueDispatch, RequestsGoToTheirConfiguredQueueAndTheRestToTheDefault) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE byDefault = addQueue(device, WdfIoQueueDispatchParallel, true);
        WDFQUEUE reads = addQueue(device, WdfIoQueueDispatchParallel, false);
        ASSERT_EQ(WdfDeviceConfigureRequestDispatching(device, reads, WdfRequestTypeRead), STATUS_SUCCESS);
        EXPECT_EQ(WdfDeviceGetDefaultQueue(device), byDefault);
        std::vector<std::pair<WDFQUEUE, WDF_REQUEST_TYPE>> seen;
        hooks().io = [&](WDFQUEUE q, WDFREQUEST r) {
            WDF_REQUEST_PARAMETERS p;
            WDF_REQUEST_PARAMETERS_INIT(&p);
            WdfRequestGetParameters(r, &p);
            seen.emplace_back(q, p.Type);
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        powerUp(device);
        submit(device, IrpShape{IRP_MJ_READ, 4});
        submit(device, IrpShape{IRP_MJ_WRITE, 4});
        submit(device, IrpShape{IRP_MJ_DEVICE_CONTROL, 4, 0, zv::test::kBufferedIoctl});
        submit(device, IrpShape{IRP_MJ_FLUSH_BUFFERS, 0});
        std::vector<std::pair<WDFQUEUE, WDF_REQUEST_TYPE>> expected{{reads, WdfRequestTypeRead},
                                                                    {byDefault, WdfRequestTypeWrite},
                                                                    {byDefault, WdfRequestTypeDeviceControl},
                                                                    {byDefault, WdfRequestTypeFlushBuffers}};
        EXPECT_EQ(seen, expected);
        // A configured kind cannot be configured twice, and a default queue cannot be deleted.
        EXPECT_EQ(WdfDeviceConfigureRequestDispatching(device, byDefault, WdfRequestTypeRead),
                  STATUS_INVALID_DEVICE_REQUEST);
        expectViolation(zv::wdf::rule::kQueueMisuse);
        WdfObjectDelete(byDefault);
        expectViolation(zv::wdf::rule::kNotDeletable);
    });
}

TEST_F(QueueDispatch, RequestsNoQueueTakesAreFailed) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFQUEUE writes = addQueue(device, WdfIoQueueDispatchParallel, false, [](WDF_IO_QUEUE_CONFIG& q) {
            q.EvtIoDefault = nullptr;
            q.EvtIoRead = nullptr;
            q.EvtIoDeviceControl = nullptr;
            q.EvtIoInternalDeviceControl = nullptr;
        });
        ASSERT_EQ(WdfDeviceConfigureRequestDispatching(device, writes, WdfRequestTypeWrite), STATUS_SUCCESS);
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) { WdfRequestComplete(r, STATUS_SUCCESS); };
        powerUp(device);
        // Without a default queue a read finds no queue; a forwarded read finds no callback for it.
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_READ, 4}).status, STATUS_INVALID_DEVICE_REQUEST);
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_WRITE, 4}).status, STATUS_SUCCESS);
    });
}

// ---- A request arriving while its queue is being dispatched ----

TEST_F(QueueDispatch, ArrivalInsideACallbackIsPresentedAfterItReturns) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true);
        bool inside = false;
        std::vector<std::string> order;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            EXPECT_FALSE(inside) << "the dispatcher was re-entered";
            inside = true;
            order.push_back("presented " + std::to_string(order.size()));
            if (order.size() == 1) {
                submit(device, IrpShape{IRP_MJ_WRITE, 1});
                order.push_back("submitted");
            }
            WdfRequestComplete(r, STATUS_SUCCESS);
            inside = false;
        };
        powerUp(device);
        submit(device, IrpShape{IRP_MJ_WRITE, 1});
        EXPECT_EQ(order, (std::vector<std::string>{"presented 0", "submitted", "presented 2"}));
    });
}

TEST_F(QueueDispatch, ArrivalWhileThePresentationLockIsHeldWaitsForItsRelease) {
    run([&] {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.SynchronizationScope = WdfSynchronizationScopeDevice;
        WDFDEVICE device = addDevice({}, &attributes);
        addQueue(device, WdfIoQueueDispatchParallel, true);
        int presented = 0;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            ++presented;
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL); // under the device's spin lock
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        powerUp(device);
        WdfObjectAcquireLock(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_WRITE, 1});
        EXPECT_EQ(presented, 0);
        WdfObjectReleaseLock(device);
        LARGE_INTEGER delay; // lets the presenting fiber run
        delay.QuadPart = -1;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        EXPECT_EQ(presented, 1);
        EXPECT_EQ(s.status, STATUS_SUCCESS);
    });
}

// ---- WDM preprocessing ----

NTSTATUS restoreFlush(PDEVICE_OBJECT, PIRP irp, PVOID) {
    IoGetCurrentIrpStackLocation(irp)->MajorFunction = IRP_MJ_FLUSH_BUFFERS;
    return STATUS_SUCCESS;
}

TEST_F(QueueDispatch, APreprocessedFlushTravelsAsAZeroLengthWrite) {
    run([&] {
        WDFDEVICE device = addDevice([](PWDFDEVICE_INIT init) {
            ASSERT_EQ(WdfDeviceInitAssignWdmIrpPreprocessCallback(init, &zv::test::callbacks::Preprocess,
                                                                  IRP_MJ_FLUSH_BUFFERS, nullptr, 0),
                      STATUS_SUCCESS);
        });
        addQueue(device, WdfIoQueueDispatchSequential, true);
        int presented = 0;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            ++presented;
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        hooks().preprocess = [&](PIRP irp) {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            s->MajorFunction = IRP_MJ_WRITE;
            s->Parameters.Write.Length = 0;
            s->Parameters.Write.Key = 0;
            s->Parameters.Write.ByteOffset.QuadPart = 0;
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, &restoreFlush, nullptr, TRUE, TRUE, TRUE);
            return WdfDeviceWdmDispatchPreprocessedIrp(device, irp);
        };
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_FLUSH_BUFFERS, 0});
        EXPECT_EQ(presented, 0);
        EXPECT_TRUE(s.done);
        EXPECT_EQ(s.status, STATUS_SUCCESS);
        EXPECT_EQ(IoGetNextIrpStackLocation(s.irp)->MajorFunction, IRP_MJ_FLUSH_BUFFERS);
        // Reads are not preprocessed.
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_READ, 2}).status, STATUS_SUCCESS);
        EXPECT_EQ(presented, 1);
    });
}

} // namespace
