// USB pipes against a simulated phone: the formatting rules for reads and writes, bulk loopback through
// the diagnostic pipes with the USB completion parameters, reset and abort against the pipe's target
// state, and the verifier's reports for misuse.
#include "tests/wdf/usb_fixture.h"

#include "platform/sim/verifier.h"
#include "platform/wdf/object.h"
#include "platform/wdf/usb_device.h"

#include <cstring>
#include <numeric>

namespace zv::test {
namespace {

class UsbPipeTest : public UsbTargetTest {};

struct FormatCase {
    const char* name;
    WDF_USB_PIPE_TYPE type;
    bool inPipe;
    bool read;
    size_t length; // 0 with `null`: no memory at all
    bool null;
    bool noPacketCheck;
    NTSTATUS expected;
    bool reported;
};

class UsbPipeFormatTest : public UsbTargetTest, public ::testing::WithParamInterface<FormatCase> {};

TEST_P(UsbPipeFormatTest, FormattingFollowsThePipeRules) {
    const FormatCase& c = GetParam();
    run("hs-phone", [&] {
        ASSERT_EQ(selectAll(), STATUS_SUCCESS);
        WDFUSBPIPE pipe = pipeOfType(c.type, c.inPipe);
        ASSERT_NE(pipe, nullptr);
        WDF_USB_PIPE_INFORMATION info;
        WDF_USB_PIPE_INFORMATION_INIT(&info);
        WdfUsbTargetPipeGetInformation(pipe, &info);
        if (c.noPacketCheck)
            WdfUsbTargetPipeSetNoMaximumPacketSizeCheck(pipe);
        // Lengths are in packets plus bytes: 512 + 1 at high speed is not a whole number of packets.
        const size_t length = c.length == 0 ? 0 : c.length * info.MaximumPacketSize + (c.length > 1 ? 1 : 0);
        WDFMEMORY memory = c.null ? nullptr : this->memory(std::max<size_t>(length, 1));
        WDFMEMORY_OFFSET offset{0, length};
        WDFREQUEST request = this->request(WdfUsbTargetPipeGetIoTarget(pipe));
        NTSTATUS status = c.read ? WdfUsbTargetPipeFormatRequestForRead(pipe, request, memory,
                                                                        memory != nullptr ? &offset : nullptr)
                                 : WdfUsbTargetPipeFormatRequestForWrite(
                                       pipe, request, memory, memory != nullptr ? &offset : nullptr);
        EXPECT_EQ(status, c.expected);
        if (c.reported)
            expectViolation(wdf::rule::kUsbMisuse);
        WdfObjectDelete(request);
        if (memory != nullptr)
            WdfObjectDelete(memory);
    });
}

// length: 1 = one packet, 2 = two packets and a byte.
INSTANTIATE_TEST_SUITE_P(Rules, UsbPipeFormatTest,
                         ::testing::Values(FormatCase{"BulkReadWholePackets", WdfUsbPipeTypeBulk, true, true,
                                                      1, false, false, STATUS_SUCCESS, false},
                                           FormatCase{"BulkReadPartPacket", WdfUsbPipeTypeBulk, true, true, 2,
                                                      false, false, STATUS_INVALID_BUFFER_SIZE, false},
                                           FormatCase{"BulkReadPartPacketUnchecked", WdfUsbPipeTypeBulk, true,
                                                      true, 2, false, true, STATUS_SUCCESS, false},
                                           FormatCase{"BulkWriteAnyLength", WdfUsbPipeTypeBulk, false, false,
                                                      2, false, false, STATUS_SUCCESS, false},
                                           FormatCase{"ZeroLengthWrite", WdfUsbPipeTypeBulk, false, false, 0,
                                                      true, false, STATUS_SUCCESS, false},
                                           FormatCase{"ZeroLengthRead", WdfUsbPipeTypeBulk, true, true, 0,
                                                      true, false, STATUS_SUCCESS, false},
                                           FormatCase{"ReadOnOutPipe", WdfUsbPipeTypeBulk, false, true, 1,
                                                      false, false, STATUS_INVALID_DEVICE_REQUEST, true},
                                           FormatCase{"WriteOnInPipe", WdfUsbPipeTypeBulk, true, false, 1,
                                                      false, false, STATUS_INVALID_DEVICE_REQUEST, true},
                                           FormatCase{"InterruptRead", WdfUsbPipeTypeInterrupt, true, true, 1,
                                                      false, false, STATUS_SUCCESS, false}),
                         [](const auto& info) { return std::string(info.param.name); });

struct Completion {
    bool done = false;
    WDF_REQUEST_COMPLETION_PARAMS params{};
    WDF_USB_REQUEST_COMPLETION_PARAMS usb{};
    ULONG_PTR information = 0;
};

VOID recordCompletion(WDFREQUEST request, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params,
                      WDFCONTEXT context) {
    auto* c = static_cast<Completion*>(context);
    c->done = true;
    c->params = *params;
    if (params->Type == WdfRequestTypeUsb && params->Parameters.Usb.Completion != nullptr)
        c->usb = *params->Parameters.Usb.Completion;
    c->information = WdfRequestGetInformation(request);
}

TEST_F(UsbPipeTest, BulkLoopbackReportsTheBytesMoved) {
    run("hs-phone", [&] {
        ASSERT_EQ(selectAll(), STATUS_SUCCESS);
        WDFUSBPIPE out = pipe(phone().profile().diagnosticBulkOut);
        WDFUSBPIPE in = pipe(phone().profile().diagnosticBulkIn);
        ASSERT_NE(out, nullptr);
        ASSERT_NE(in, nullptr);
        EXPECT_TRUE(WdfUsbTargetPipeIsOutEndpoint(out));
        EXPECT_TRUE(WdfUsbTargetPipeIsInEndpoint(in));

        constexpr size_t kBytes = 700;
        void* data = nullptr;
        WDFMEMORY payload = memory(kBytes, &data);
        std::iota(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + kBytes, uint8_t{1});
        WDFREQUEST write = request(WdfUsbTargetPipeGetIoTarget(out));
        ASSERT_EQ(WdfUsbTargetPipeFormatRequestForWrite(out, write, payload, nullptr), STATUS_SUCCESS);
        Completion written;
        WdfRequestSetCompletionRoutine(write, recordCompletion, &written);
        ASSERT_TRUE(WdfRequestSend(write, WdfUsbTargetPipeGetIoTarget(out), WDF_NO_SEND_OPTIONS));
        while (!written.done)
            delay(sim::kMillisecond);
        EXPECT_EQ(written.params.IoStatus.Status, STATUS_SUCCESS);
        EXPECT_EQ(written.params.Type, WdfRequestTypeUsb);
        EXPECT_EQ(written.usb.Type, WdfUsbRequestTypePipeWrite);
        EXPECT_EQ(written.usb.UsbdStatus, USBD_STATUS_SUCCESS);
        EXPECT_EQ(written.usb.Parameters.PipeWrite.Length, kBytes);
        EXPECT_EQ(written.usb.Parameters.PipeWrite.Buffer, payload);
        EXPECT_EQ(written.information, kBytes);

        // Read it back: two whole packets' room, a short packet ends the transfer.
        std::vector<uint8_t> back(1024, 0);
        WDF_MEMORY_DESCRIPTOR descriptor;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, back.data(), static_cast<ULONG>(back.size()));
        ULONG got = 0;
        EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(in, nullptr, nullptr, &descriptor, &got), STATUS_SUCCESS);
        EXPECT_EQ(got, kBytes);
        EXPECT_EQ(memcmp(back.data(), data, kBytes), 0);

        // A zero-length write goes through as such.
        ULONG none = 99;
        EXPECT_EQ(WdfUsbTargetPipeWriteSynchronously(out, nullptr, nullptr, nullptr, &none), STATUS_SUCCESS);
        EXPECT_EQ(none, 0u);
        WdfObjectDelete(write);
        WdfObjectDelete(payload);
    });
}

TEST_F(UsbPipeTest, ResetCancelsPendingReadsAndIgnoresTheTargetState) {
    run("hs-phone", [&] {
        ASSERT_EQ(selectAll(), STATUS_SUCCESS);
        WDFUSBPIPE in = pipe(phone().profile().diagnosticBulkIn);
        WDFMEMORY buffer = memory(512);
        WDFREQUEST read = request(WdfUsbTargetPipeGetIoTarget(in));
        ASSERT_EQ(WdfUsbTargetPipeFormatRequestForRead(in, read, buffer, nullptr), STATUS_SUCCESS);
        Completion pending;
        WdfRequestSetCompletionRoutine(read, recordCompletion, &pending);
        ASSERT_TRUE(WdfRequestSend(read, WdfUsbTargetPipeGetIoTarget(in), WDF_NO_SEND_OPTIONS));
        delay(10 * sim::kMillisecond);
        ASSERT_FALSE(pending.done); // nothing to loop back

        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in), WdfIoTargetLeaveSentIoPending);
        EXPECT_EQ(WdfUsbTargetPipeResetSynchronously(in, nullptr, nullptr), STATUS_SUCCESS);
        while (!pending.done)
            delay(sim::kMillisecond);
        EXPECT_EQ(pending.params.IoStatus.Status, STATUS_CANCELLED);
        EXPECT_EQ(pending.usb.Parameters.PipeRead.Length, 0u);
        WdfObjectDelete(read);
        WdfObjectDelete(buffer);
    });
}

TEST_F(UsbPipeTest, AbortHonoursTheTargetStateUnlessToldToIgnoreIt) {
    run("hs-phone", [&] {
        ASSERT_EQ(selectAll(), STATUS_SUCCESS);
        WDFUSBPIPE in = pipe(phone().profile().diagnosticBulkIn);
        EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(in, nullptr, nullptr), STATUS_SUCCESS);
        WdfIoTargetStop(WdfUsbTargetPipeGetIoTarget(in), WdfIoTargetCancelSentIo);
        EXPECT_EQ(WdfIoTargetGetState(WdfUsbTargetPipeGetIoTarget(in)), WdfIoTargetStopped);
        EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(in, nullptr, nullptr), STATUS_INVALID_DEVICE_STATE);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE);
        EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(in, nullptr, &options), STATUS_SUCCESS);
        // An abort the stack cannot carry out comes back as its status.
        ASSERT_EQ(WdfIoTargetStart(WdfUsbTargetPipeGetIoTarget(in)), STATUS_SUCCESS);
        usb().faults().on(usb::FaultKind::Abort).times(1).abortInsufficientResources();
        EXPECT_EQ(WdfUsbTargetPipeAbortSynchronously(in, nullptr, nullptr), STATUS_INSUFFICIENT_RESOURCES);
    });
}

TEST_F(UsbPipeTest, ASendTimeOutCancelsAReadThatNeverEnds) {
    run("hs-phone", [&] {
        ASSERT_EQ(selectAll(), STATUS_SUCCESS);
        WDFUSBPIPE in = pipe(phone().profile().diagnosticBulkIn);
        std::vector<uint8_t> back(512);
        WDF_MEMORY_DESCRIPTOR descriptor;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, back.data(), static_cast<ULONG>(back.size()));
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, 0);
        WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(&options, WDF_REL_TIMEOUT_IN_MS(50));
        ULONG got = 7;
        EXPECT_EQ(WdfUsbTargetPipeReadSynchronously(in, nullptr, &options, &descriptor, &got),
                  STATUS_IO_TIMEOUT);
        EXPECT_EQ(got, 0u);
    });
}

TEST_F(UsbPipeTest, MisuseIsReported) {
    run("hs-phone", [&] {
        ASSERT_EQ(selectAll(), STATUS_SUCCESS);
        WDFUSBINTERFACE iface = WdfUsbTargetDeviceGetInterface(usbDevice(), 0);
        // An interface handle where a pipe is asked for.
        EXPECT_EQ(WdfUsbTargetPipeGetType(reinterpret_cast<WDFUSBPIPE>(iface)), WdfUsbPipeTypeInvalid);
        expectViolation(wdf::rule::kWrongHandleType);
        // Pipes and interfaces belong to the framework.
        WdfObjectDelete(pipe(phone().profile().diagnosticBulkIn));
        expectViolation(wdf::rule::kNotDeletable);
        // A synchronous transfer at DISPATCH_LEVEL.
        WDFUSBPIPE out = pipe(phone().profile().diagnosticBulkOut);
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_NE(WdfUsbTargetPipeWriteSynchronously(out, nullptr, nullptr, nullptr, nullptr),
                  STATUS_SUCCESS);
        KeLowerIrql(old);
        expectViolation(sim::rule::kPassiveOnly);
        // Send options that were never initialised.
        WDF_REQUEST_SEND_OPTIONS garbage{};
        EXPECT_EQ(WdfUsbTargetPipeWriteSynchronously(out, nullptr, &garbage, nullptr, nullptr),
                  STATUS_INVALID_PARAMETER);
        expectViolation(wdf::rule::kSendOptions);
    });
}

} // namespace
} // namespace zv::test
