// A delivered request's buffers and parameters: retrieval with a minimum length per request kind and
// method, memory objects that belong to the request, a sub-request still formatted with them at
// completion, and the parameters of an internal device control.
#include "tests/wdf/request_path_fixture.h"

#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::IrpShape;
using zv::test::RequestPathTest;
using zv::test::Submission;

struct BufferCase {
    const char* name;
    IrpShape irp;
    bool input;
    size_t minimum;
    NTSTATUS expected;
    size_t length; // on success
};

std::ostream& operator<<(std::ostream& os, const BufferCase& c) {
    return os << c.name;
}

class BufferRetrieval : public RequestPathTest, public ::testing::WithParamInterface<BufferCase> {};

TEST_P(BufferRetrieval, StatusAndLengthFollowKindMethodAndMinimum) {
    const BufferCase& c = GetParam();
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true);
        NTSTATUS status = STATUS_PENDING;
        PVOID buffer = reinterpret_cast<PVOID>(1);
        size_t length = 99;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            status = c.input ? WdfRequestRetrieveInputBuffer(r, c.minimum, &buffer, &length)
                             : WdfRequestRetrieveOutputBuffer(r, c.minimum, &buffer, &length);
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        powerUp(device);
        Submission& s = submit(device, c.irp);
        EXPECT_EQ(status, c.expected);
        if (NT_SUCCESS(c.expected)) {
            EXPECT_EQ(buffer, s.buffer.data());
            EXPECT_EQ(length, c.length);
        } else {
            EXPECT_EQ(buffer, nullptr);
            EXPECT_EQ(length, 0u);
        }
    });
}

constexpr ULONG kNeitherIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x802, METHOD_NEITHER, FILE_ANY_ACCESS);

INSTANTIATE_TEST_SUITE_P(
    Cases, BufferRetrieval,
    ::testing::Values(
        BufferCase{"ReadOutput", IrpShape{IRP_MJ_READ, 8}, false, 4, STATUS_SUCCESS, 8},
        BufferCase{"ReadOutputShorterThanMinimum", IrpShape{IRP_MJ_READ, 8}, false, 9,
                   STATUS_BUFFER_TOO_SMALL, 0},
        BufferCase{"ReadInput", IrpShape{IRP_MJ_READ, 8}, true, 0, STATUS_INVALID_DEVICE_REQUEST, 0},
        BufferCase{"WriteInput", IrpShape{IRP_MJ_WRITE, 8}, true, 8, STATUS_SUCCESS, 8},
        BufferCase{"WriteOutput", IrpShape{IRP_MJ_WRITE, 8}, false, 0, STATUS_INVALID_DEVICE_REQUEST, 0},
        BufferCase{"IoctlInput", IrpShape{IRP_MJ_DEVICE_CONTROL, 8, 4, zv::test::kBufferedIoctl}, true, 4,
                   STATUS_SUCCESS, 4},
        BufferCase{"IoctlOutput", IrpShape{IRP_MJ_DEVICE_CONTROL, 8, 4, zv::test::kBufferedIoctl}, false, 8,
                   STATUS_SUCCESS, 8},
        // An empty buffer is too small whatever the minimum.
        BufferCase{"IoctlEmptyInput", IrpShape{IRP_MJ_DEVICE_CONTROL, 8, 0, zv::test::kBufferedIoctl}, true,
                   0, STATUS_BUFFER_TOO_SMALL, 0},
        BufferCase{"IoctlNeither", IrpShape{IRP_MJ_DEVICE_CONTROL, 8, 4, kNeitherIoctl}, true, 0,
                   STATUS_INVALID_DEVICE_REQUEST, 0}),
    [](const auto& info) { return std::string(info.param.name); });

class RequestMemoryTest : public RequestPathTest {};

TEST_F(RequestMemoryTest, MemoryOfARequestDiesWithItsCompletion) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true);
        WDFMEMORY memory = nullptr;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            ASSERT_EQ(WdfRequestRetrieveOutputMemory(r, &memory), STATUS_SUCCESS);
            size_t size = 0;
            EXPECT_NE(WdfMemoryGetBuffer(memory, &size), nullptr);
            EXPECT_EQ(size, 6u);
            WdfObjectDelete(memory); // the request's, not the driver's
            expectViolation(zv::wdf::rule::kNotDeletable);
            const char text[] = "hello";
            EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, 0, const_cast<char*>(text), sizeof text),
                      STATUS_SUCCESS);
            WdfRequestCompleteWithInformation(r, STATUS_SUCCESS, sizeof text);
        };
        powerUp(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_READ, 6});
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.buffer.data())), "hello");
        size_t size = 0;
        EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), nullptr);
        expectViolation(zv::wdf::rule::kDeletedObject);
    });
}

TEST_F(RequestMemoryTest, CompletingWhileASubRequestStillFormatsItsMemoryIsReported) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchManual, true);
        powerUp(device);
        WDFIOTARGET target = WdfDeviceGetIoTarget(device);
        Submission& s = submit(device, IrpShape{IRP_MJ_WRITE, 8});
        WDFREQUEST request = nullptr;
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(WdfDeviceGetDefaultQueue(device), &request), STATUS_SUCCESS);
        WDFMEMORY input = nullptr;
        ASSERT_EQ(WdfRequestRetrieveInputMemory(request, &input), STATUS_SUCCESS);
        WDFREQUEST sub = nullptr;
        ASSERT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &sub), STATUS_SUCCESS);
        ASSERT_EQ(WdfIoTargetFormatRequestForWrite(target, sub, input, nullptr, nullptr), STATUS_SUCCESS);
        WdfRequestComplete(request, STATUS_SUCCESS);
        expectViolation(zv::wdf::rule::kMemoryStillReferenced);
        EXPECT_TRUE(s.done);
        WdfObjectDelete(sub);
    });
}

TEST_F(RequestMemoryTest, InternalControlParametersCarryItsFirstArgument) {
    run([&] {
        WDFDEVICE device = addDevice();
        addQueue(device, WdfIoQueueDispatchParallel, true);
        int urb = 0;
        WDF_REQUEST_PARAMETERS parameters;
        hooks().io = [&](WDFQUEUE, WDFREQUEST r) {
            WDF_REQUEST_PARAMETERS_INIT(&parameters);
            WdfRequestGetParameters(r, &parameters);
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        powerUp(device);
        constexpr ULONG kSubmitUrb = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x803, METHOD_NEITHER, FILE_ANY_ACCESS);
        IrpShape shape{IRP_MJ_INTERNAL_DEVICE_CONTROL, 0, 0, kSubmitUrb};
        shape.argument1 = &urb;
        submit(device, shape);
        EXPECT_EQ(parameters.Type, WdfRequestTypeDeviceControlInternal);
        EXPECT_EQ(parameters.Parameters.Others.Arg1, &urb);
        EXPECT_EQ(parameters.Parameters.Others.IoControlCode, kSubmitUrb);
    });
}

} // namespace
