// Sending requests to an I/O target: send options against the target's state, send time-outs on the
// virtual clock, cancelling a sent request, sending one twice, reuse, requests made from an IRP of the
// driver's, and formatting that finds no stack location.
#include "tests/wdf/request_path_fixture.h"

#include "platform/wdf/memory.h"

#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::IrpShape;
using zv::test::RequestPathTest;
using zv::test::Submission;

void sleepFor(zv::sim::Time t) {
    LARGE_INTEGER delay;
    delay.QuadPart = -t;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// A device whose default queue is manual, so the test's fiber takes delivered requests itself (at
// PASSIVE_LEVEL, as a synchronous send needs).
class SendTest : public RequestPathTest {
protected:
    WDFREQUEST deliveredRequest(WDFDEVICE device, Submission** submission, ULONG length = 8) {
        *submission = &submit(device, IrpShape{IRP_MJ_WRITE, length});
        WDFREQUEST request = nullptr;
        EXPECT_EQ(WdfIoQueueRetrieveNextRequest(WdfDeviceGetDefaultQueue(device), &request), STATUS_SUCCESS);
        return request;
    }
    WDFDEVICE manualDevice() {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchManual, true);
        powerUp(device);
        return device;
    }
};

// ---- Send options against target states ----

struct SendCase {
    const char* name;
    bool targetStopped;
    ULONG flags;
    bool completionRoutine;
    NTSTATUS lowerStatus; // what the device below completes with
    BOOLEAN returns;
    NTSTATUS finalStatus; // the request's status (and so the submission's) in the end
    bool reachesBelow;
    std::string_view rule; // a verifier report the send makes, if any
};

std::ostream& operator<<(std::ostream& os, const SendCase& c) {
    return os << c.name;
}

class SendOptions : public SendTest, public ::testing::WithParamInterface<SendCase> {};

TEST_P(SendOptions, ReturnAndStatusFollowTheTargetState) {
    const SendCase& c = GetParam();
    run([&] {
        WDFDEVICE device = manualDevice();
        WDFIOTARGET target = WdfDeviceGetIoTarget(device);
        int below = 0;
        hooks().lower = [&](PDEVICE_OBJECT, PIRP irp) {
            ++below;
            return zv::test::callbacks::completeIrp(irp, c.lowerStatus, 0);
        };
        bool routineRan = false;
        hooks().completion = [&](WDFREQUEST r, WDFIOTARGET t, PWDF_REQUEST_COMPLETION_PARAMS p,
                                 WDFCONTEXT context) {
            routineRan = true;
            EXPECT_EQ(t, target);
            EXPECT_EQ(context, &routineRan);
            EXPECT_EQ(p->Type, WdfRequestTypeWrite);
            if ((c.flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) == 0)
                WdfRequestComplete(r, p->IoStatus.Status);
        };
        if (c.targetStopped)
            WdfIoTargetStop(target, WdfIoTargetLeaveSentIoPending);
        Submission* s = nullptr;
        WDFREQUEST request = deliveredRequest(device, &s);
        WdfRequestFormatRequestUsingCurrentType(request);
        if (c.completionRoutine)
            WdfRequestSetCompletionRoutine(request, &zv::test::callbacks::Completion, &routineRan);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, c.flags);
        EXPECT_EQ(WdfRequestSend(request, target, &options), c.returns);
        if (!c.rule.empty())
            expectViolation(c.rule);
        EXPECT_EQ(below, c.reachesBelow ? 1 : 0);
        const bool gone = c.returns && (c.flags & WDF_REQUEST_SEND_OPTION_SYNCHRONOUS) == 0;
        if (!gone) {
            // Refused, or back from a synchronous send: the driver still owns it and finishes it.
            EXPECT_EQ(WdfRequestGetStatus(request), c.finalStatus);
            WdfRequestComplete(request, WdfRequestGetStatus(request));
        }
        EXPECT_EQ(routineRan, c.completionRoutine && c.reachesBelow);
        EXPECT_TRUE(s->done);
        EXPECT_EQ(s->status, c.finalStatus);
    });
}

constexpr ULONG kSync = WDF_REQUEST_SEND_OPTION_SYNCHRONOUS;
constexpr ULONG kIgnore = WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE;
constexpr ULONG kForget = WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET;

INSTANTIATE_TEST_SUITE_P(
    Options, SendOptions,
    ::testing::Values(
        SendCase{"StartedAsync", false, 0, true, STATUS_SUCCESS, TRUE, STATUS_SUCCESS, true, {}},
        SendCase{
            "StoppedAsync", true, 0, true, STATUS_SUCCESS, FALSE, STATUS_INVALID_DEVICE_STATE, false, {}},
        SendCase{"StoppedIgnoringState", true, kIgnore, true, STATUS_SUCCESS, TRUE, STATUS_SUCCESS, true, {}},
        SendCase{"StartedSyncFailing",
                 false,
                 kSync,
                 false,
                 STATUS_UNSUCCESSFUL,
                 FALSE,
                 STATUS_UNSUCCESSFUL,
                 true,
                 {}},
        SendCase{"StartedSyncRunsCompletionRoutine",
                 false,
                 kSync,
                 true,
                 STATUS_SUCCESS,
                 TRUE,
                 STATUS_SUCCESS,
                 true,
                 {}},
        SendCase{
            "StoppedSync", true, kSync, false, STATUS_SUCCESS, FALSE, STATUS_INVALID_DEVICE_STATE, false, {}},
        SendCase{
            "StoppedSendAndForget", true, kForget, false, STATUS_SUCCESS, TRUE, STATUS_SUCCESS, true, {}},
        SendCase{"SendAndForgetNotAlone", false, kForget | kSync, false, STATUS_SUCCESS, FALSE,
                 STATUS_INVALID_PARAMETER, false, zv::wdf::rule::kSendOptions},
        SendCase{"AsyncWithoutCompletionRoutine",
                 false,
                 0,
                 false,
                 STATUS_SUCCESS,
                 FALSE,
                 STATUS_INVALID_DEVICE_REQUEST,
                 false,
                 {}}),
    [](const auto& info) { return std::string(info.param.name); });

// ---- Send time-outs ----

struct TimeoutCase {
    const char* name;
    LONGLONG timeout;             // as WDF_REQUEST_SEND_OPTIONS takes it
    zv::sim::Time lowerAnswersAt; // 0: the device below answers only a cancel
    NTSTATUS lowerStatus;
    NTSTATUS expected;
    zv::sim::Time completedAt;
};

std::ostream& operator<<(std::ostream& os, const TimeoutCase& c) {
    return os << c.name;
}

class SendTimeout : public SendTest, public ::testing::WithParamInterface<TimeoutCase> {};

TEST_P(SendTimeout, ExpiryCancelsAndTheCancellationBecomesATimeout) {
    const TimeoutCase& c = GetParam();
    run([&] {
        WDFDEVICE device = manualDevice();
        hooks().lower = zv::test::holdBelow;
        NTSTATUS status = STATUS_PENDING;
        zv::sim::Time at = -1;
        hooks().completion = [&](WDFREQUEST r, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT) {
            status = p->IoStatus.Status;
            at = static_cast<zv::sim::Time>(KeQueryInterruptTime());
            EXPECT_EQ(WdfRequestGetStatus(r), status);
            WdfRequestComplete(r, status);
        };
        Submission* s = nullptr;
        WDFREQUEST request = deliveredRequest(device, &s);
        ASSERT_EQ(WdfRequestAllocateTimer(request), STATUS_SUCCESS);
        ASSERT_EQ(WdfRequestAllocateTimer(request), STATUS_SUCCESS); // a timer exists: fine again
        WdfRequestFormatRequestUsingCurrentType(request);
        WdfRequestSetCompletionRoutine(request, &zv::test::callbacks::Completion, nullptr);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, c.timeout);
        ASSERT_TRUE(WdfRequestSend(request, WdfDeviceGetIoTarget(device), &options));
        if (c.lowerAnswersAt != 0) {
            sleepFor(c.lowerAnswersAt);
            zv::test::releaseBelow(c.lowerStatus);
        }
        sleepFor(5 * zv::sim::kSecond);
        EXPECT_EQ(status, c.expected);
        EXPECT_EQ(at, c.completedAt);
        EXPECT_EQ(s->status, c.expected);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Timeouts, SendTimeout,
    ::testing::Values(
        TimeoutCase{"Expires", WDF_REL_TIMEOUT_IN_SEC(1), 0, 0, STATUS_IO_TIMEOUT, zv::sim::kSecond},
        TimeoutCase{"AbsoluteExpires", WDF_ABS_TIMEOUT_IN_MS(300), 0, 0, STATUS_IO_TIMEOUT,
                    300 * zv::sim::kMillisecond},
        TimeoutCase{"AnsweredInTime", WDF_REL_TIMEOUT_IN_SEC(1), 500 * zv::sim::kMillisecond, STATUS_SUCCESS,
                    STATUS_SUCCESS, 500 * zv::sim::kMillisecond},
        // Cancelled for another reason before the time-out: the status stays what it was.
        TimeoutCase{"CancelledBeforeExpiry", WDF_REL_TIMEOUT_IN_SEC(1), 200 * zv::sim::kMillisecond,
                    STATUS_CANCELLED, STATUS_CANCELLED, 200 * zv::sim::kMillisecond}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(SendTest, SynchronousSendWithATimeoutReturnsTheTimeout) {
    run([&] {
        WDFDEVICE device = manualDevice();
        hooks().lower = zv::test::holdBelow;
        Submission* s = nullptr;
        WDFREQUEST request = deliveredRequest(device, &s);
        WdfRequestFormatRequestUsingCurrentType(request);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(250));
        EXPECT_FALSE(WdfRequestSend(request, WdfDeviceGetIoTarget(device), &options));
        EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(250 * zv::sim::kMillisecond));
        EXPECT_EQ(WdfRequestGetStatus(request), STATUS_IO_TIMEOUT);
        WdfRequestComplete(request, STATUS_IO_TIMEOUT);
    });
}

// ---- In flight ----

TEST_F(SendTest, SendingARequestInFlightIsFatalAndCancelSentRequestTellsWhetherItWasStillOut) {
    run([&] {
        WDFDEVICE device = manualDevice();
        WDFIOTARGET target = WdfDeviceGetIoTarget(device);
        hooks().lower = zv::test::holdBelow;
        WDFREQUEST back = nullptr;
        hooks().completion = [&](WDFREQUEST r, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT) {
            back = r;
            EXPECT_EQ(p->IoStatus.Status, STATUS_CANCELLED);
        };
        Submission* s = nullptr;
        WDFREQUEST request = deliveredRequest(device, &s);
        WdfRequestFormatRequestUsingCurrentType(request);
        WdfRequestSetCompletionRoutine(request, &zv::test::callbacks::Completion, nullptr);
        ASSERT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
        EXPECT_FALSE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
        expectViolation(zv::wdf::rule::kAlreadySent);
        WdfRequestComplete(request, STATUS_SUCCESS); // still in flight: not the driver's to complete
        expectViolation(zv::wdf::rule::kNotOwned);
        EXPECT_TRUE(WdfRequestCancelSentRequest(request));
        ASSERT_EQ(back, request);
        EXPECT_FALSE(WdfRequestCancelSentRequest(request)); // back already
        WdfRequestComplete(request, STATUS_CANCELLED);
        EXPECT_EQ(s->status, STATUS_CANCELLED);
    });
}

TEST_F(SendTest, DeletingADriverRequestInFlightIsReportedAndItsIrpFreedWhenItReturns) {
    run([&] {
        WDFDEVICE device = manualDevice();
        WDFIOTARGET target = WdfDeviceGetIoTarget(device);
        hooks().lower = zv::test::holdBelow;
        int routines = 0;
        hooks().completion = [&](WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT) {
            ++routines;
        };
        WDFREQUEST request = nullptr;
        ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
        PIRP irp = WdfRequestWdmGetIrp(request);
        ASSERT_EQ(WdfIoTargetFormatRequestForRead(target, request, nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        WdfRequestSetCompletionRoutine(request, &zv::test::callbacks::Completion, nullptr);
        ASSERT_TRUE(WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS));
        WdfObjectDelete(request);
        expectViolation(zv::wdf::rule::kNotOwned);
        // The deletion cancelled it; back, it is freed without a call to its deleted driver.
        EXPECT_TRUE(zv::test::hooks().heldBelow.empty());
        EXPECT_EQ(routines, 0);
        EXPECT_FALSE(zv::kernel::isIrpLive(irp));
    });
}

// ---- Driver-made requests ----

TEST_F(SendTest, ReusedRequestSendsAgainAndReleasesItsMemory) {
    run([&] {
        WDFDEVICE device = manualDevice();
        WDFIOTARGET target = WdfDeviceGetIoTarget(device);
        std::vector<ULONG> lengths;
        hooks().lower = [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(s->MajorFunction, IRP_MJ_WRITE);
            lengths.push_back(s->Parameters.Write.Length);
            return zv::test::callbacks::completeIrp(irp, STATUS_SUCCESS, s->Parameters.Write.Length);
        };
        WDFREQUEST request = nullptr;
        ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
        WDFMEMORY memory = nullptr;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = device;
        ASSERT_EQ(WdfMemoryCreate(&attributes, NonPagedPool, 0, 32, &memory, nullptr), STATUS_SUCCESS);
        WDFMEMORY_OFFSET offset{4, 12};
        ASSERT_EQ(WdfIoTargetFormatRequestForWrite(target, request, memory, &offset, nullptr),
                  STATUS_SUCCESS);
        // The format holds the memory: deleting it now leaves the buffer valid for the send.
        WdfObjectDelete(memory);
        EXPECT_EQ(zv::wdf::liveAllocations().size(), 1u);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        ASSERT_TRUE(WdfRequestSend(request, target, &options));
        WDF_REQUEST_COMPLETION_PARAMS params;
        WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
        WdfRequestGetCompletionParams(request, &params);
        EXPECT_EQ(params.Parameters.Write.Buffer, memory);
        EXPECT_EQ(params.Parameters.Write.Offset, 4u);
        EXPECT_EQ(params.Parameters.Write.Length, 12u);

        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
        EXPECT_TRUE(zv::wdf::liveAllocations().empty()); // the format's reference went with it
        // Unformatted again: sending it now is refused.
        EXPECT_FALSE(WdfRequestSend(request, target, &options));
        expectViolation(zv::wdf::rule::kSendOptions);
        ASSERT_EQ(WdfIoTargetFormatRequestForWrite(target, request, nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        ASSERT_TRUE(WdfRequestSend(request, target, &options));
        EXPECT_EQ(lengths, (std::vector<ULONG>{12, 0}));
        WdfObjectDelete(request);
    });
}

TEST_F(SendTest, RequestFromTheDriversIrpQueriesTheStackBelowAndFreesTheIrp) {
    run([&] {
        WDFDEVICE device = manualDevice();
        hooks().lower = [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(s->MajorFunction, IRP_MJ_PNP);
            EXPECT_EQ(s->MinorFunction, IRP_MN_QUERY_CAPABILITIES);
            s->Parameters.DeviceCapabilities.Capabilities->UniqueID = 1;
            return zv::test::callbacks::completeIrp(irp, STATUS_SUCCESS, 0);
        };
        PIRP irp = IoAllocateIrp(wdm(device)->StackSize, FALSE);
        WDFREQUEST request = nullptr;
        ASSERT_EQ(WdfRequestCreateFromIrp(WDF_NO_OBJECT_ATTRIBUTES, irp, TRUE, &request), STATUS_SUCCESS);
        DEVICE_CAPABILITIES capabilities{};
        capabilities.Size = sizeof capabilities;
        capabilities.Version = 1;
        IO_STACK_LOCATION stack{};
        stack.MajorFunction = IRP_MJ_PNP;
        stack.MinorFunction = IRP_MN_QUERY_CAPABILITIES;
        stack.Parameters.DeviceCapabilities.Capabilities = &capabilities;
        WdfRequestWdmFormatUsingStackLocation(request, &stack);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        EXPECT_TRUE(WdfRequestSend(request, WdfDeviceGetIoTarget(device), &options));
        EXPECT_EQ(WdfRequestGetStatus(request), STATUS_SUCCESS);
        EXPECT_EQ(capabilities.UniqueID, 1u);
        EXPECT_EQ(WdfRequestGetIoQueue(request), nullptr);
        WdfObjectDelete(request);
        EXPECT_FALSE(zv::kernel::isIrpLive(irp));
    });
}

TEST_F(SendTest, ReuseWithANewIrpIsRefusedForADeliveredRequest) {
    run([&] {
        WDFDEVICE device = manualDevice();
        Submission* s = nullptr;
        WDFREQUEST request = deliveredRequest(device, &s);
        PIRP other = IoAllocateIrp(1, FALSE);
        WDF_REQUEST_REUSE_PARAMS reuse;
        WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
        WDF_REQUEST_REUSE_PARAMS_SET_NEW_IRP(&reuse, other);
        EXPECT_EQ(WdfRequestReuse(request, &reuse), STATUS_INVALID_DEVICE_REQUEST);
        expectViolation(zv::wdf::rule::kWrongRequestKind);
        IoFreeIrp(other);
        WdfRequestComplete(request, STATUS_SUCCESS);
    });
}

TEST_F(SendTest, FormattingWithoutASpareStackLocationIsFatal) {
    run([&] {
        WDFDEVICE device = addDevice({}, nullptr, false); // nothing below: IRPs carry one location
        addQueue(device, WdfIoQueueDispatchManual, true);
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_READ, 4});
        WDFREQUEST request = nullptr;
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(WdfDeviceGetDefaultQueue(device), &request), STATUS_SUCCESS);
        WdfRequestFormatRequestUsingCurrentType(request);
        expectViolation(zv::wdf::rule::kNoStackLocation);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET);
        EXPECT_FALSE(WdfRequestSend(request, WdfDeviceGetIoTarget(device), &options));
        WdfRequestComplete(request, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(s.status, STATUS_UNSUCCESSFUL);
    });
}

} // namespace
