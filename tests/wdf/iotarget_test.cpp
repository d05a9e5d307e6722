// I/O targets: what WdfIoTargetStop does with the requests in flight for each sent-I/O action, states,
// surprise removal, and synchronous device controls through the default target.
#include "tests/wdf/request_path_fixture.h"

#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::RequestPathTest;

void sleepFor(zv::sim::Time t) {
    LARGE_INTEGER delay;
    delay.QuadPart = -t;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
}

// Sends a driver-made read to `target` with the completion hook as its routine.
WDFREQUEST sendRead(WDFIOTARGET target, ULONG flags = 0) {
    WDFREQUEST request = nullptr;
    EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
    EXPECT_EQ(WdfIoTargetFormatRequestForRead(target, request, nullptr, nullptr, nullptr), STATUS_SUCCESS);
    WdfRequestSetCompletionRoutine(request, &zv::test::callbacks::Completion, nullptr);
    WDF_REQUEST_SEND_OPTIONS options;
    WDF_REQUEST_SEND_OPTIONS_INIT(&options, flags);
    EXPECT_TRUE(WdfRequestSend(request, target, &options));
    return request;
}

struct StopCase {
    const char* name;
    WDF_IO_TARGET_SENT_IO_ACTION action;
    bool cancels;            // the requests in flight are cancelled
    zv::sim::Time returnsAt; // when WdfIoTargetStop returns (the device below answers at 1 s by itself)
    int backBeforeReturn;    // completion routines that ran before it returned
};

std::ostream& operator<<(std::ostream& os, const StopCase& c) {
    return os << c.name;
}

class TargetStop : public RequestPathTest, public ::testing::WithParamInterface<StopCase> {};

// Two reads are in flight, one sent ignoring the target's state (which a stop never waits for).
TEST_P(TargetStop, SentIoActionDecidesWhatTheStopWaitsFor) {
    const StopCase& c = GetParam();
    run([&] {
        WDFDEVICE device = addDevice();
        WDFIOTARGET target = WdfDeviceGetIoTarget(device);
        hooks().lower = zv::test::holdBelow;
        std::vector<std::pair<WDFREQUEST, NTSTATUS>> back;
        hooks().completion = [&](WDFREQUEST r, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT) {
            back.emplace_back(r, p->IoStatus.Status);
        };
        WDFREQUEST ignoring = sendRead(target, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
        WDFREQUEST waited = sendRead(target);
        zv::sim::Scheduler::current()->spawn("device below", [] {
            sleepFor(zv::sim::kSecond);
            while (!zv::test::hooks().heldBelow.empty())
                zv::test::releaseBelow(STATUS_SUCCESS);
        });
        WdfIoTargetStop(target, c.action);
        EXPECT_EQ(KeQueryInterruptTime(), static_cast<ULONGLONG>(c.returnsAt));
        EXPECT_EQ(static_cast<int>(back.size()), c.backBeforeReturn);
        EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStopped);
        sleepFor(2 * zv::sim::kSecond);
        ASSERT_EQ(back.size(), 2u);
        for (auto& [request, status] : back)
            EXPECT_EQ(status, c.cancels ? STATUS_CANCELLED : STATUS_SUCCESS);
        EXPECT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
        EXPECT_EQ(WdfIoTargetGetState(target), WdfIoTargetStarted);
        WdfObjectDelete(ignoring);
        WdfObjectDelete(waited);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Actions, TargetStop,
    ::testing::Values(StopCase{"CancelSentIo", WdfIoTargetCancelSentIo, true, 0, 2},
                      StopCase{"WaitForSentIoToComplete", WdfIoTargetWaitForSentIoToComplete, false,
                               zv::sim::kSecond, 2},
                      StopCase{"LeaveSentIoPending", WdfIoTargetLeaveSentIoPending, false, 0, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class IoTargetTest : public RequestPathTest {};

TEST_F(IoTargetTest, DefaultTargetIsTheDeviceBelow) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFIOTARGET target = WdfDeviceGetIoTarget(device);
        ASSERT_NE(target, nullptr);
        EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(target), lower_);
        EXPECT_EQ(WdfIoTargetWdmGetTargetDeviceObject(target), WdfDeviceWdmGetAttachedDevice(device));
        EXPECT_EQ(WdfIoTargetGetDevice(target), device);
        WdfObjectDelete(target);
        expectViolation(zv::wdf::rule::kNotDeletable);
    });
}

TEST_F(IoTargetTest, SurpriseRemovalCancelsWhatWasSent) {
    run([&] {
        WDFDEVICE device = addDevice();
        hooks().lower = zv::test::holdBelow;
        NTSTATUS status = STATUS_PENDING;
        hooks().completion = [&](WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT) {
            status = p->IoStatus.Status;
        };
        WDFREQUEST request = sendRead(WdfDeviceGetIoTarget(device));
        zv::wdf::ioSurpriseRemoved(deviceOf(device));
        EXPECT_EQ(status, STATUS_CANCELLED);
        WdfObjectDelete(request);
    });
}

TEST_F(IoTargetTest, StoppedTargetRefusesUntilStartedAgain) {
    run([&] {
        WDFDEVICE device = addDevice();
        WDFIOTARGET target = WdfDeviceGetIoTarget(device);
        WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
        WDFREQUEST request = nullptr;
        ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
        ASSERT_EQ(WdfIoTargetFormatRequestForRead(target, request, nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        EXPECT_FALSE(WdfRequestSend(request, target, &options));
        EXPECT_EQ(WdfRequestGetStatus(request), STATUS_INVALID_DEVICE_STATE);
        ASSERT_EQ(WdfIoTargetStart(target), STATUS_SUCCESS);
        EXPECT_TRUE(WdfRequestSend(request, target, &options));
        EXPECT_EQ(WdfRequestGetStatus(request), STATUS_SUCCESS);
        WdfObjectDelete(request);
    });
}

struct IoctlCase {
    const char* name;
    ULONG method;
    bool separateBuffers;
};

std::ostream& operator<<(std::ostream& os, const IoctlCase& c) {
    return os << c.name;
}

class SynchronousIoctl : public RequestPathTest, public ::testing::WithParamInterface<IoctlCase> {};

// The device below answers with the input's bytes reversed; the caller gets them in its output buffer.
TEST_P(SynchronousIoctl, BuffersReachTheDeviceBelowAsItsMethodSays) {
    const IoctlCase& c = GetParam();
    run([&] {
        const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, c.method, FILE_ANY_ACCESS);
        WDFDEVICE device = addDevice();
        hooks().lower = [&](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
            EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, code);
            const ULONG in = s->Parameters.DeviceIoControl.InputBufferLength;
            const ULONG out = s->Parameters.DeviceIoControl.OutputBufferLength;
            const uint8_t* input = static_cast<const uint8_t*>(
                c.method == METHOD_NEITHER ? s->Parameters.DeviceIoControl.Type3InputBuffer
                                           : irp->AssociatedIrp.SystemBuffer);
            uint8_t* output = static_cast<uint8_t*>(
                c.method == METHOD_BUFFERED ? irp->AssociatedIrp.SystemBuffer : irp->UserBuffer);
            std::vector<uint8_t> reversed(input, input + in);
            std::reverse(reversed.begin(), reversed.end());
            std::copy(reversed.begin(), reversed.begin() + std::min(in, out), output);
            return zv::test::callbacks::completeIrp(irp, STATUS_SUCCESS, std::min(in, out));
        };
        uint8_t input[4] = {1, 2, 3, 4};
        uint8_t output[8] = {};
        WDF_MEMORY_DESCRIPTOR in, out;
        if (c.separateBuffers) {
            WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&in, input, sizeof input);
            WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&out, output, sizeof output);
        } else {
            std::copy(std::begin(input), std::end(input), output);
            WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&in, output, sizeof input);
            WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&out, output, sizeof output);
        }
        ULONG_PTR bytes = 0;
        EXPECT_EQ(WdfIoTargetSendIoctlSynchronously(WdfDeviceGetIoTarget(device), nullptr, code, &in, &out,
                                                    nullptr, &bytes),
                  STATUS_SUCCESS);
        EXPECT_EQ(bytes, 4u);
        EXPECT_EQ(std::vector<uint8_t>(output, output + 4), (std::vector<uint8_t>{4, 3, 2, 1}));
    });
}

INSTANTIATE_TEST_SUITE_P(Methods, SynchronousIoctl,
                         ::testing::Values(IoctlCase{"BufferedSeparate", METHOD_BUFFERED, true},
                                           IoctlCase{"BufferedShared", METHOD_BUFFERED, false},
                                           IoctlCase{"Neither", METHOD_NEITHER, true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
