// The I/O manager and the application interface, driving a raw WDM test device from application threads:
// opening by name, create / cleanup / close, synchronous and overlapped transfers with each buffer
// method, cancellation, deletion of a device that still has handles, and the checks on what a dispatch
// routine reports.
#include "tests/io/raw_device.h"
#include "tests/support/sim_test.h"

#include "platform/io/io_manager.h"
#include "platform/io/win32.h"
#include "platform/kernel/device_object.h"
#include "platform/kernel/object_namespace.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace zv::io {
namespace {

using test::completeIrp;
using test::RawDevice;
using test::SimTest;

constexpr const char16_t* kRawName = u"\\\\.\\ZVRAW0";

std::vector<std::string> logOf(std::initializer_list<const char*> entries) {
    return std::vector<std::string>(entries.begin(), entries.end());
}

class IoTest : public SimTest {
protected:
    void TearDown() override {
        raw_.reset();
        SimTest::TearDown();
    }
    RawDevice& build(RawDevice::Options options = {}) {
        raw_.emplace(options);
        return *raw_;
    }
    static HANDLE open(const char16_t* name = kRawName, DWORD access = GENERIC_READ | GENERIC_WRITE,
                       DWORD flags = 0) {
        return CreateFileW(name, access, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }

    std::optional<RawDevice> raw_;
};

// ---- Opening ----

TEST_F(IoTest, Win32NamesResolveThroughTheNamespace) {
    RawDevice& raw = build({DO_BUFFERED_IO, true});
    // {3c0d501a-140b-11d1-b40f-00a0c9223196}
    const GUID modemClass = {0x3c0d501a, 0x140b, 0x11d1, {0xb4, 0x0f, 0x00, 0xa0, 0xc9, 0x22, 0x31, 0x96}};
    kernel::setPhysicalDeviceInstance(raw.device(), u"ROOT\\ZVRAW\\0000");
    UNICODE_STRING interfaceName{};
    ASSERT_EQ(IoRegisterDeviceInterface(raw.device(), &modemClass, nullptr, &interfaceName), STATUS_SUCCESS);
    ASSERT_EQ(IoSetDeviceInterfaceState(&interfaceName, TRUE), STATUS_SUCCESS);
    RtlFreeUnicodeString(&interfaceName);
    std::u16string comLink = u"\\DosDevices\\COM7";
    std::u16string target = u"\\Device\\ZvRaw0";
    UNICODE_STRING l = test::counted(comLink);
    UNICODE_STRING t = test::counted(target);
    ASSERT_EQ(IoCreateSymbolicLink(&l, &t), STATUS_SUCCESS);

    struct Case {
        std::u16string name;
        DWORD error; // ERROR_SUCCESS: opens
        std::u16string fileName;
    };
    const Case cases[] = {
        {u"\\\\.\\ZVRAW0", ERROR_SUCCESS, u""},
        {u"\\\\.\\zvraw0\\channel", ERROR_SUCCESS, u"\\channel"},
        {u"\\\\?\\ZVRAW0", ERROR_SUCCESS, u""},
        {u"COM7", ERROR_SUCCESS, u""},
        {u"com7:", ERROR_SUCCESS, u""},
        {u"\\\\.\\COM7", ERROR_SUCCESS, u""},
        {u"\\\\?\\ROOT#ZVRAW#0000#{3c0d501a-140b-11d1-b40f-00a0c9223196}", ERROR_SUCCESS, u""},
        {u"\\\\?\\ROOT#ZVRAW#0000#{3c0d501a-140b-11d1-b40f-00a0c9223196}\\ref", ERROR_SUCCESS, u"\\ref"},
        {u"COM8", ERROR_FILE_NOT_FOUND, u""},
        {u"\\\\.\\NOSUCH", ERROR_FILE_NOT_FOUND, u""},
        {u"ZVRAW0", ERROR_PATH_NOT_FOUND, u""},
        {u"C:\\file.txt", ERROR_PATH_NOT_FOUND, u""},
    };
    runInFiber([&] {
        for (const Case& c : cases) {
            std::string label(c.name.begin(), c.name.end());
            raw.log.clear();
            HANDLE h = open(c.name.c_str());
            if (c.error != ERROR_SUCCESS) {
                EXPECT_EQ(h, INVALID_HANDLE_VALUE) << label;
                EXPECT_EQ(GetLastError(), c.error) << label;
                EXPECT_TRUE(raw.log.empty()) << label;
                continue;
            }
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << label;
            // The request goes to the top of the stack; the file object is the named device's.
            EXPECT_EQ(raw.log, logOf({"filter create", "create"})) << label;
            EXPECT_EQ(raw.lastFileName, c.fileName) << label;
            EXPECT_EQ(ioManager().fileObject(h)->DeviceObject, raw.device());
            EXPECT_TRUE(CloseHandle(h));
        }
    });
    IoDeleteSymbolicLink(&l);
}

TEST_F(IoTest, HandleRunsCreateThenCleanupThenClose) {
    RawDevice& raw = build();
    runInFiber([&] {
        HANDLE h = open(kRawName, GENERIC_READ);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(raw.lastAccess & (FILE_READ_DATA | FILE_WRITE_DATA), ULONG(FILE_READ_DATA));
        EXPECT_EQ(raw.lastCreateOptions >> 24, ULONG(FILE_OPEN));
        EXPECT_TRUE(raw.lastCreateOptions & FILE_SYNCHRONOUS_IO_NONALERT);
        EXPECT_EQ(kernel::openFileObjectCount(raw.device()), 1);
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(raw.log, logOf({"create", "cleanup", "close"}));
        EXPECT_EQ(kernel::openFileObjectCount(raw.device()), 0);
        EXPECT_FALSE(CloseHandle(h));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);

        // A failed create is no open: nothing follows it.
        raw.log.clear();
        raw.createStatus = STATUS_SHARING_VIOLATION;
        EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_SHARING_VIOLATION);
        EXPECT_EQ(raw.log, logOf({"create"}));
        EXPECT_EQ(kernel::openFileObjectCount(raw.device()), 0);
    });
}

TEST_F(IoTest, ExclusiveAndInitializingDevicesRefuseOpens) {
    RawDevice& raw = build({DO_BUFFERED_IO, false, true});
    runInFiber([&] {
        HANDLE first = open();
        ASSERT_NE(first, INVALID_HANDLE_VALUE);
        raw.log.clear();
        EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_TRUE(raw.log.empty()); // refused before the driver sees it
        CloseHandle(first);
        HANDLE again = open();
        EXPECT_NE(again, INVALID_HANDLE_VALUE);
        CloseHandle(again);

        raw.device()->Flags |= DO_DEVICE_INITIALIZING;
        EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
        raw.device()->Flags &= ~DO_DEVICE_INITIALIZING;
    });
}

// ---- Transfers ----

struct MethodCase {
    const char* name;
    ULONG flags;
};

class IoTransferTest : public IoTest, public ::testing::WithParamInterface<MethodCase> {};

// The buffer reaches the driver where its transfer method puts it, and comes back to the caller.
TEST_P(IoTransferTest, SynchronousWriteThenReadRoundTrips) {
    RawDevice& raw = build({GetParam().flags});
    struct Seen {
        bool systemBuffer = false, mdl = false, userBuffer = false;
    } seenWrite, seenRead;
    auto watch = [](Seen& seen, const void* app) {
        return [&seen, app](PIRP irp) {
            seen.systemBuffer = irp->AssociatedIrp.SystemBuffer != nullptr;
            seen.mdl = irp->MdlAddress != nullptr;
            seen.userBuffer = irp->UserBuffer == app;
        };
    };
    runInFiber([&] {
        HANDLE h = open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        const char text[] = "hello, device";
        char in[32] = {};
        auto write = raw.stack().bottom().handlers[IRP_MJ_WRITE];
        auto read = raw.stack().bottom().handlers[IRP_MJ_READ];
        auto seeWrite = watch(seenWrite, text);
        auto seeRead = watch(seenRead, in);
        raw.stack().bottom().handlers[IRP_MJ_WRITE] = [&](test::WdmLayer& l, PIRP irp) {
            seeWrite(irp);
            return write(l, irp);
        };
        raw.stack().bottom().handlers[IRP_MJ_READ] = [&](test::WdmLayer& l, PIRP irp) {
            seeRead(irp);
            return read(l, irp);
        };
        DWORD written = 0;
        ASSERT_TRUE(WriteFile(h, text, 13, &written, nullptr));
        EXPECT_EQ(written, 13u);
        EXPECT_EQ(raw.stored, "hello, device");
        DWORD got = 0;
        ASSERT_TRUE(ReadFile(h, in, 5, &got, nullptr));
        EXPECT_EQ(got, 5u);
        EXPECT_EQ(std::string(in, got), "hello");
        EXPECT_EQ(in[5], 0); // nothing past what the device returned

        // A synchronous file's position advances by what each transfer moved.
        FILE_POSITION_INFORMATION position{};
        IO_STATUS_BLOCK iosb{};
        EXPECT_EQ(NtQueryInformationFile(h, &iosb, &position, sizeof position, FilePositionInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(position.CurrentByteOffset.QuadPart, 18);
        CloseHandle(h);
    });
    bool buffered = GetParam().flags & DO_BUFFERED_IO;
    bool direct = GetParam().flags & DO_DIRECT_IO;
    for (const Seen& seen : {seenWrite, seenRead}) {
        EXPECT_EQ(seen.systemBuffer, buffered);
        EXPECT_EQ(seen.mdl, direct);
        EXPECT_TRUE(seen.userBuffer); // the caller's buffer is always recorded
    }
}

INSTANTIATE_TEST_SUITE_P(IoTypes, IoTransferTest,
                         ::testing::Values(MethodCase{"Buffered", DO_BUFFERED_IO},
                                           MethodCase{"Direct", DO_DIRECT_IO}, MethodCase{"Neither", 0}),
                         [](const auto& info) { return std::string(info.param.name); });

struct ControlCase {
    const char* name;
    ULONG method;
};

class IoControlTest : public IoTest, public ::testing::WithParamInterface<ControlCase> {};

// Each method's buffers are where a driver looks for them; the reply is the input reversed.
TEST_P(IoControlTest, BuffersFollowTheMethod) {
    const ULONG method = GetParam().method;
    const ULONG code = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, method, FILE_ANY_ACCESS);
    RawDevice& raw = build();
    char input[] = "abcdef";
    char output[16] = {};
    raw.deviceControl = [&](PIRP irp) {
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(s->Parameters.DeviceIoControl.IoControlCode, code);
        EXPECT_EQ(s->Parameters.DeviceIoControl.InputBufferLength, 6u);
        EXPECT_EQ(s->Parameters.DeviceIoControl.OutputBufferLength, 16u);
        const char* in = nullptr;
        char* out = nullptr;
        switch (method) {
            case METHOD_BUFFERED:
                in = static_cast<const char*>(irp->AssociatedIrp.SystemBuffer);
                out = static_cast<char*>(irp->AssociatedIrp.SystemBuffer);
                EXPECT_NE(in, input);
                break;
            case METHOD_IN_DIRECT:
            case METHOD_OUT_DIRECT:
                in = static_cast<const char*>(irp->AssociatedIrp.SystemBuffer);
                EXPECT_NE(in, input);
                EXPECT_EQ(MmGetMdlByteCount(irp->MdlAddress), 16u);
                out = static_cast<char*>(MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority));
                break;
            default:
                in = static_cast<const char*>(s->Parameters.DeviceIoControl.Type3InputBuffer);
                out = static_cast<char*>(irp->UserBuffer);
                EXPECT_EQ(in, input);
                EXPECT_EQ(out, output);
                break;
        }
        std::string reply(in, 6);
        std::reverse(reply.begin(), reply.end());
        std::memcpy(out, reply.data(), reply.size());
        return completeIrp(irp, STATUS_SUCCESS, reply.size());
    };
    runInFiber([&] {
        HANDLE h = open();
        DWORD returned = 0;
        ASSERT_TRUE(DeviceIoControl(h, code, input, 6, output, sizeof output, &returned, nullptr));
        EXPECT_EQ(returned, 6u);
        EXPECT_EQ(std::string(output), "fedcba");
        CloseHandle(h);
    });
}

INSTANTIATE_TEST_SUITE_P(Methods, IoControlTest,
                         ::testing::Values(ControlCase{"Buffered", METHOD_BUFFERED},
                                           ControlCase{"InDirect", METHOD_IN_DIRECT},
                                           ControlCase{"OutDirect", METHOD_OUT_DIRECT},
                                           ControlCase{"Neither", METHOD_NEITHER}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(IoTest, HandleAccessGatesEachRequest) {
    RawDevice& raw = build();
    int controls = 0;
    raw.deviceControl = [&](PIRP irp) {
        ++controls;
        return completeIrp(irp, STATUS_SUCCESS);
    };
    struct Case {
        const char* name;
        DWORD access;
        std::function<BOOL(HANDLE)> call;
        bool allowed;
    };
    auto control = [](ULONG access) {
        return [access](HANDLE h) {
            DWORD n = 0;
            return DeviceIoControl(h, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, access), nullptr,
                                   0, nullptr, 0, &n, nullptr);
        };
    };
    char buffer[4] = {};
    auto read = [&](HANDLE h) {
        DWORD n = 0;
        return ReadFile(h, buffer, sizeof buffer, &n, nullptr);
    };
    auto write = [&](HANDLE h) {
        DWORD n = 0;
        return WriteFile(h, "x", 1, &n, nullptr);
    };
    const Case cases[] = {
        {"write on a read handle", GENERIC_READ, write, false},
        {"flush on a read handle", GENERIC_READ, [](HANDLE h) { return FlushFileBuffers(h); }, false},
        {"read on a write handle", GENERIC_WRITE, read, false},
        {"read-access control on a write handle", GENERIC_WRITE, control(FILE_READ_ACCESS), false},
        {"write-access control on a read handle", GENERIC_READ, control(FILE_WRITE_ACCESS), false},
        {"any-access control on a read handle", GENERIC_READ, control(FILE_ANY_ACCESS), true},
        {"read-write control on a read-write handle", GENERIC_READ | GENERIC_WRITE,
         control(FILE_READ_ACCESS | FILE_WRITE_ACCESS), true},
        {"flush on a write handle", GENERIC_WRITE, [](HANDLE h) { return FlushFileBuffers(h); }, true},
    };
    runInFiber([&] {
        for (const Case& c : cases) {
            HANDLE h = open(kRawName, c.access);
            ASSERT_NE(h, INVALID_HANDLE_VALUE) << c.name;
            BOOL ok = c.call(h);
            EXPECT_EQ(ok != FALSE, c.allowed) << c.name;
            if (!c.allowed) {
                EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << c.name;
            }
            CloseHandle(h);
        }
    });
    EXPECT_EQ(controls, 2);
    EXPECT_EQ(std::count(raw.log.begin(), raw.log.end(), "flush"), 1);
}

// ---- Overlapped I/O ----

TEST_F(IoTest, OverlappedReadPendsAndCompletesIntoTheOverlapped) {
    RawDevice& raw = build({DO_DIRECT_IO});
    raw.queueReads = true;
    runInFiber([&] {
        HANDLE h = open(kRawName, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        HANDLE event = CreateEventW(nullptr, TRUE, TRUE, nullptr);
        OVERLAPPED ov{};
        ov.hEvent = event;
        char buffer[8] = {};
        DWORD got = 123;
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &got, &ov));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        EXPECT_EQ(got, 0u);
        EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_PENDING);
        // The event was reset when the request started.
        EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));
        EXPECT_FALSE(GetOverlappedResult(h, &ov, &got, FALSE));
        EXPECT_EQ(GetLastError(), ERROR_IO_INCOMPLETE);

        sched().after(10 * sim::kMillisecond,
                      [&] { sched().spawnDpc("device", [&] { EXPECT_TRUE(raw.completeRead("data")); }); });
        EXPECT_EQ(WaitForSingleObject(event, INFINITE), DWORD(WAIT_OBJECT_0));
        EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_SUCCESS);
        EXPECT_EQ(ov.InternalHigh, 4u);
        ASSERT_TRUE(GetOverlappedResult(h, &ov, &got, TRUE));
        EXPECT_EQ(got, 4u);
        EXPECT_EQ(std::string(buffer), "data");
        CloseHandle(event);
        CloseHandle(h);
    });
}

TEST_F(IoTest, OverlappedResultsThatAreKnownAtOnce) {
    RawDevice& raw = build();
    runInFiber([&] {
        HANDLE h = open(kRawName, GENERIC_READ | GENERIC_WRITE, FILE_FLAG_OVERLAPPED);
        HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        OVERLAPPED ov{};
        ov.hEvent = event;
        DWORD n = 0;
        // Completed inside the call: TRUE, and the overlapped and its event say so too.
        EXPECT_TRUE(WriteFile(h, "abc", 3, &n, &ov));
        EXPECT_EQ(n, 3u);
        EXPECT_EQ(ov.InternalHigh, 3u);
        EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_OBJECT_0));

        // Failed inside the call: only the caller hears of it.
        raw.failStatus = STATUS_DEVICE_NOT_CONNECTED;
        OVERLAPPED failed{};
        failed.hEvent = event;
        EXPECT_FALSE(WriteFile(h, "abc", 3, &n, &failed));
        EXPECT_EQ(GetLastError(), ERROR_NOT_READY);
        EXPECT_EQ(NTSTATUS(failed.Internal), STATUS_PENDING);
        EXPECT_EQ(WaitForSingleObject(event, 0), DWORD(WAIT_TIMEOUT));

        // An overlapped handle needs an OVERLAPPED.
        EXPECT_FALSE(WriteFile(h, "abc", 3, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        CloseHandle(event);
        CloseHandle(h);
    });
}

// CancelIo takes the calling thread's requests only; CancelIoEx takes any thread's.
TEST_F(IoTest, CancelIoIsPerThreadAndCancelIoExIsNot) {
    RawDevice& raw = build();
    raw.queueReads = true;
    HANDLE h = nullptr;
    OVERLAPPED first{}, second{};
    char b1[4], b2[4];
    DWORD firstError = 0, secondError = 0;
    runInFiber([&] {
        h = open(kRawName, GENERIC_READ, FILE_FLAG_OVERLAPPED);
        HANDLE go = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        sim::Fiber* other = spawnApplication("other", [&] {
            EXPECT_FALSE(ReadFile(h, b2, 4, nullptr, &second));
            EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
            WaitForSingleObject(go, INFINITE);
            DWORD n = 0;
            EXPECT_FALSE(GetOverlappedResult(h, &second, &n, TRUE));
            secondError = GetLastError();
        });
        EXPECT_FALSE(ReadFile(h, b1, 4, nullptr, &first));
        sim::sleepFor(sim::kMillisecond);
        ASSERT_EQ(raw.queued(), 2u);

        EXPECT_TRUE(CancelIo(h));
        DWORD n = 0;
        EXPECT_FALSE(GetOverlappedResult(h, &first, &n, TRUE));
        firstError = GetLastError();
        EXPECT_EQ(raw.queued(), 1u);
        EXPECT_EQ(NTSTATUS(second.Internal), STATUS_PENDING);

        EXPECT_TRUE(CancelIoEx(h, &second));
        SetEvent(go);
        sim::sleepFor(sim::kMillisecond);
        EXPECT_TRUE(other->finished());
        EXPECT_FALSE(CancelIoEx(h, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_NOT_FOUND);
        CloseHandle(go);
        CloseHandle(h);
    });
    EXPECT_EQ(firstError, ERROR_OPERATION_ABORTED);
    EXPECT_EQ(secondError, ERROR_OPERATION_ABORTED);
}

TEST_F(IoTest, SynchronousReadEndsWhenAnotherThreadCancelsIt) {
    RawDevice& raw = build();
    raw.queueReads = true;
    runInFiber([&] {
        HANDLE h = open();
        spawnApplication("canceller", [&] {
            Sleep(20);
            EXPECT_TRUE(CancelIoEx(h, nullptr));
        });
        char buffer[4];
        DWORD n = 7;
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
        EXPECT_EQ(n, 0u);
        CloseHandle(h);
    });
}

// A synchronous handle does one request at a time: the second waits for the first.
TEST_F(IoTest, SynchronousHandleSerialisesItsRequests) {
    RawDevice& raw = build();
    raw.queueReads = true;
    runInFiber([&] {
        HANDLE h = open();
        std::string order;
        auto reader = [&](char tag) {
            return [&, tag] {
                char buffer[4] = {};
                DWORD n = 0;
                EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
                order += tag;
                order += std::string(buffer, n);
            };
        };
        spawnApplication("a", reader('a'));
        spawnApplication("b", reader('b'));
        sim::sleepFor(sim::kMillisecond);
        EXPECT_EQ(raw.queued(), 1u);
        raw.completeRead("1");
        sim::sleepFor(sim::kMillisecond);
        EXPECT_EQ(raw.queued(), 1u);
        raw.completeRead("2");
        sim::sleepFor(sim::kMillisecond);
        EXPECT_EQ(order, "a1b2");
        CloseHandle(h);
    });
}

// ---- Closing and deleting ----

TEST_F(IoTest, CloseWaitsForRequestsStillHoldingTheFile) {
    RawDevice& raw = build();
    raw.queueReads = true;
    runInFiber([&] {
        // The driver cancels the file's requests in its cleanup: close follows at once.
        HANDLE h = open(kRawName, GENERIC_READ, FILE_FLAG_OVERLAPPED);
        OVERLAPPED ov{};
        char buffer[4];
        EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &ov));
        raw.log.clear();
        EXPECT_TRUE(CloseHandle(h));
        sim::sleepFor(sim::kMillisecond);
        EXPECT_EQ(raw.log, logOf({"cleanup", "read cancelled", "close"}));
        EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_CANCELLED);

        // A driver that keeps the request past cleanup: close waits until it completes.
        raw.cancelOnCleanup = false;
        h = open(kRawName, GENERIC_READ, FILE_FLAG_OVERLAPPED);
        EXPECT_FALSE(ReadFile(h, buffer, 4, nullptr, &ov));
        raw.log.clear();
        EXPECT_TRUE(CloseHandle(h));
        sim::sleepFor(sim::kMillisecond);
        EXPECT_EQ(raw.log, logOf({"cleanup"}));
        raw.completeRead("late");
        sim::sleepFor(sim::kMillisecond);
        EXPECT_EQ(raw.log, logOf({"cleanup", "close"}));
        EXPECT_EQ(NTSTATUS(ov.Internal), STATUS_SUCCESS);
        EXPECT_EQ(std::string(buffer, 4), "late");
    });
}

// IoDeleteDevice with a handle open: the name goes at once, the object and its driver's routines stay
// for the handle, and the release hook runs after the handle's close.
TEST_F(IoTest, DeletedDeviceLivesUntilItsLastHandleCloses) {
    RawDevice& raw = build();
    PDEVICE_OBJECT device = raw.device();
    bool released = false;
    kernel::onDeviceObjectReleased(device, [&] { released = true; });
    runInFiber([&] {
        HANDLE h = open();
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        raw.stack().remove();
        EXPECT_TRUE(kernel::isDeviceObjectDeleted(device));
        EXPECT_FALSE(released);
        EXPECT_EQ(open(), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);

        DWORD n = 0;
        EXPECT_TRUE(WriteFile(h, "still", 5, &n, nullptr));
        EXPECT_EQ(raw.stored, "still");
        raw.log.clear();
        EXPECT_TRUE(CloseHandle(h));
        EXPECT_EQ(raw.log, logOf({"cleanup", "close"}));
        EXPECT_TRUE(released);
        EXPECT_FALSE(kernel::isDeviceObjectLive(device));
    });
}

// ---- Information, events ----

TEST_F(IoTest, FileInformationGoesToTheDriverOrStaysWithTheIoManager) {
    RawDevice& raw = build();
    raw.stored = "12345";
    runInFiber([&] {
        HANDLE h = open();
        IO_STATUS_BLOCK iosb{};
        FILE_STANDARD_INFORMATION standard{};
        EXPECT_EQ(NtQueryInformationFile(h, &iosb, &standard, sizeof standard, FileStandardInformation),
                  STATUS_SUCCESS);
        EXPECT_EQ(iosb.Information, sizeof standard);
        EXPECT_EQ(standard.EndOfFile.QuadPart, 5);
        EXPECT_EQ(NtQueryInformationFile(h, &iosb, &standard, sizeof standard - 1, FileStandardInformation),
                  STATUS_INFO_LENGTH_MISMATCH);
        EXPECT_EQ(NtQueryInformationFile(h, &iosb, &standard, sizeof standard, FILE_INFORMATION_CLASS(0)),
                  STATUS_INVALID_INFO_CLASS);
        FILE_BASIC_INFORMATION basic{};
        EXPECT_EQ(NtQueryInformationFile(h, &iosb, &basic, sizeof basic, FileBasicInformation),
                  STATUS_INVALID_PARAMETER); // the device answers only the standard class

        FILE_POSITION_INFORMATION position{};
        position.CurrentByteOffset.QuadPart = 4096;
        EXPECT_EQ(NtSetInformationFile(h, &iosb, &position, sizeof position, FilePositionInformation),
                  STATUS_SUCCESS);
        DWORD n = 0;
        char buffer[2];
        ASSERT_TRUE(ReadFile(h, buffer, 2, &n, nullptr));
        EXPECT_EQ(ioManager().fileObject(h)->CurrentByteOffset.QuadPart, 4098);
        CloseHandle(h);
    });
}

TEST_F(IoTest, EventsWakeWaitersAsTheirKindSays) {
    runInFiber([&] {
        HANDLE manual = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        HANDLE automatic = CreateEventW(nullptr, FALSE, FALSE, nullptr);
        int manualWoken = 0, autoWoken = 0;
        for (int i = 0; i < 2; ++i) {
            spawnApplication("manual waiter", [&] {
                if (WaitForSingleObject(manual, INFINITE) == WAIT_OBJECT_0)
                    ++manualWoken;
            });
            spawnApplication("auto waiter", [&] {
                if (WaitForSingleObject(automatic, 100) == WAIT_OBJECT_0)
                    ++autoWoken;
            });
        }
        Sleep(1);
        SetEvent(manual);
        SetEvent(automatic);
        Sleep(200);
        EXPECT_EQ(manualWoken, 2);
        EXPECT_EQ(autoWoken, 1); // the other timed out
        EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_TIMEOUT));

        HANDLE both[] = {automatic, manual};
        EXPECT_EQ(WaitForMultipleObjects(2, both, FALSE, 0), DWORD(WAIT_OBJECT_0 + 1));
        EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), DWORD(WAIT_TIMEOUT));
        SetEvent(automatic);
        EXPECT_EQ(WaitForMultipleObjects(2, both, TRUE, 10), DWORD(WAIT_OBJECT_0));
        EXPECT_EQ(WaitForSingleObject(automatic, 0), DWORD(WAIT_TIMEOUT)); // taken by the wait for all
        ResetEvent(manual);
        EXPECT_EQ(WaitForSingleObject(manual, 0), DWORD(WAIT_TIMEOUT));
        HANDLE twice[] = {manual, manual};
        EXPECT_EQ(WaitForMultipleObjects(2, twice, TRUE, 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
        EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(0x7777), 0), WAIT_FAILED);
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        CloseHandle(manual);
        CloseHandle(automatic);
    });
}

TEST_F(IoTest, LastErrorBelongsToEachThread) {
    runInFiber([&] {
        SetLastError(42);
        DWORD seen = 0;
        spawnApplication("other", [&] {
            SetLastError(7);
            seen = GetLastError();
        });
        Sleep(1);
        EXPECT_EQ(seen, 7u);
        EXPECT_EQ(GetLastError(), 42u);
    });
}

// ---- What a dispatch routine reports ----

struct DispatchFault {
    const char* name;
    std::string_view rule;
    std::function<NTSTATUS(RawDevice&, PIRP)> dispatch;
    DWORD bytes; // what the caller is told
};

class IoDispatchFaultTest : public IoTest, public ::testing::WithParamInterface<DispatchFault> {};

TEST_P(IoDispatchFaultTest, IsReported) {
    RawDevice& raw = build();
    raw.stack().bottom().handlers[IRP_MJ_READ] = [&](test::WdmLayer&, PIRP irp) {
        return GetParam().dispatch(raw, irp);
    };
    runInFiber([&] {
        HANDLE h = open();
        char buffer[4] = {};
        DWORD n = 0;
        ReadFile(h, buffer, sizeof buffer, &n, nullptr);
        EXPECT_EQ(n, GetParam().bytes);
        CloseHandle(h);
    });
    EXPECT_EQ(expectViolation(GetParam().rule).size(), 1u);
}

const DispatchFault kDispatchFaults[] = {
    {"PendingWithoutMark", rule::kPendingNotMarked,
     [](RawDevice&, PIRP irp) {
         completeIrp(irp, STATUS_SUCCESS, 1);
         return STATUS_PENDING;
     },
     1},
    {"MarkedPendingReturnedStatus", rule::kMarkedPendingStatusReturned,
     [](RawDevice&, PIRP irp) {
         IoMarkIrpPending(irp);
         return completeIrp(irp, STATUS_SUCCESS, 2);
     },
     2},
    {"ReturnedAnotherStatus", rule::kDispatchStatusMismatch,
     [](RawDevice&, PIRP irp) {
         completeIrp(irp, STATUS_SUCCESS, 3);
         return STATUS_UNSUCCESSFUL;
     },
     3},
    {"InformationPastTheBuffer", rule::kInformationOverflow,
     [](RawDevice&, PIRP irp) { return completeIrp(irp, STATUS_SUCCESS, 100); }, 4},
    {"ReturnedWithoutCompleting", rule::kReturnedUncompleted,
     [](RawDevice&, PIRP irp) {
         // Finished later anyway, so the caller is not left waiting.
         sim::Scheduler::current()->spawnDpc("late", [irp] { completeIrp(irp, STATUS_SUCCESS, 1); });
         return STATUS_SUCCESS;
     },
     1},
};

INSTANTIATE_TEST_SUITE_P(Rules, IoDispatchFaultTest, ::testing::ValuesIn(kDispatchFaults),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace zv::io
