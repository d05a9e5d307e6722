// File objects: exclusive opens, the create / cleanup / close callbacks (at PASSIVE_LEVEL, on the opener's
// fiber, under the device's lock only when the file attributes ask), and the cancellation at cleanup of the
// handle's requests still waiting in the device's queues.
#include "tests/wdf/request_path_fixture.h"

#include "platform/io/win32.h"

#include <map>
#include <ostream>

namespace {

using zv::test::hooks;
using zv::test::IrpShape;
using zv::test::RequestPathTest;
using zv::test::Submission;

// File objects as the I/O manager would hand them to the device; the framework only keeps their address.
class FileObjectTest : public RequestPathTest {
protected:
    PFILE_OBJECT newFile() {
        files_.push_back(std::make_unique<FILE_OBJECT>());
        FILE_OBJECT* f = files_.back().get();
        f->Type = IO_TYPE_FILE;
        f->Size = sizeof(FILE_OBJECT);
        return f;
    }
    NTSTATUS open(WDFDEVICE device, PFILE_OBJECT file) {
        Submission& s = submit(device, IrpShape{IRP_MJ_CREATE, 0, 0, 0, file});
        EXPECT_TRUE(s.done);
        return s.status;
    }
    void close(WDFDEVICE device, PFILE_OBJECT file) {
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_CLEANUP, 0, 0, 0, file}).status, STATUS_SUCCESS);
        EXPECT_EQ(submit(device, IrpShape{IRP_MJ_CLOSE, 0, 0, 0, file}).status, STATUS_SUCCESS);
    }
    static void configureFiles(PWDFDEVICE_INIT init, bool exclusive,
                               PWDF_OBJECT_ATTRIBUTES attributes = nullptr) {
        WDF_FILEOBJECT_CONFIG config;
        WDF_FILEOBJECT_CONFIG_INIT(&config, &zv::test::callbacks::FileCreate, &zv::test::callbacks::FileClose,
                                   &zv::test::callbacks::FileCleanup);
        WdfDeviceInitSetFileObjectConfig(init, &config, attributes);
        WdfDeviceInitSetExclusive(init, exclusive ? TRUE : FALSE);
    }

    std::vector<std::unique_ptr<FILE_OBJECT>> files_;
};

struct OpenCase {
    const char* name;
    bool exclusive;
    NTSTATUS firstCreate; // what the driver completes the first create with
    bool closeFirst;      // the first handle is closed before the second open
    NTSTATUS second;      // what the second open gets
    int createCallbacks;
};

std::ostream& operator<<(std::ostream& os, const OpenCase& c) {
    return os << c.name;
}

class Opens : public FileObjectTest, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(Opens, ExclusiveDeviceRefusesASecondOpenBeforeTheDriverHearsOfIt) {
    const OpenCase& c = GetParam();
    run([&] {
        WDFDEVICE device = addDevice([&](PWDFDEVICE_INIT init) { configureFiles(init, c.exclusive); });
        int creates = 0;
        hooks().fileCreate = [&](WDFDEVICE d, WDFREQUEST r, WDFFILEOBJECT) {
            EXPECT_EQ(d, device);
            ++creates;
            WdfRequestComplete(r, creates == 1 ? c.firstCreate : STATUS_SUCCESS);
        };
        hooks().fileCleanup = [](WDFFILEOBJECT) {};
        hooks().fileClose = [](WDFFILEOBJECT) {};
        PFILE_OBJECT first = newFile();
        EXPECT_EQ(open(device, first), c.firstCreate);
        if (c.closeFirst)
            close(device, first);
        PFILE_OBJECT second = newFile();
        EXPECT_EQ(open(device, second), c.second);
        EXPECT_EQ(creates, c.createCallbacks);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Opens,
    ::testing::Values(OpenCase{"ExclusiveWhileOpen", true, STATUS_SUCCESS, false, STATUS_ACCESS_DENIED, 1},
                      OpenCase{"ExclusiveAfterClose", true, STATUS_SUCCESS, true, STATUS_SUCCESS, 2},
                      // A refused create counts as no open.
                      OpenCase{"ExclusiveAfterFailedCreate", true, STATUS_UNSUCCESSFUL, false, STATUS_SUCCESS,
                               2},
                      OpenCase{"Shared", false, STATUS_SUCCESS, false, STATUS_SUCCESS, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(FileObjectTest, CleanupCancelsOnlyTheHandlesWaitingRequestsThenCloseFollows) {
    run([&] {
        WDFDEVICE device = addDevice([&](PWDFDEVICE_INIT init) { configureFiles(init, false); });
        WDFQUEUE queue = addQueue(device, WdfIoQueueDispatchManual, true);
        std::vector<std::string> events;
        std::map<WDFFILEOBJECT, PFILE_OBJECT> wdm;
        hooks().fileCreate = [&](WDFDEVICE, WDFREQUEST r, WDFFILEOBJECT f) {
            wdm[f] = WdfFileObjectWdmGetFileObject(f);
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        Submission* waitingA = nullptr;
        hooks().fileCleanup = [&](WDFFILEOBJECT) {
            events.push_back(waitingA->done ? "cleanup after the cancellation" : "cleanup before it");
        };
        hooks().fileClose = [&](WDFFILEOBJECT) { events.push_back("close"); };
        powerUp(device);
        PFILE_OBJECT a = newFile(), b = newFile();
        ASSERT_EQ(open(device, a), STATUS_SUCCESS);
        ASSERT_EQ(open(device, b), STATUS_SUCCESS);
        Submission& ownedA = submit(device, IrpShape{IRP_MJ_READ, 1, 0, 0, a});
        waitingA = &submit(device, IrpShape{IRP_MJ_READ, 1, 0, 0, a});
        Submission& waitingB = submit(device, IrpShape{IRP_MJ_READ, 1, 0, 0, b});
        WDFREQUEST owned = nullptr;
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(queue, &owned), STATUS_SUCCESS);
        WDFFILEOBJECT fileA = WdfRequestGetFileObject(owned);
        ASSERT_NE(fileA, nullptr);
        EXPECT_EQ(wdm[fileA], a);
        EXPECT_EQ(WdfFileObjectGetDevice(fileA), device);

        close(device, a);
        EXPECT_EQ(events, (std::vector<std::string>{"cleanup after the cancellation", "close"}));
        EXPECT_EQ(waitingA->status, STATUS_CANCELLED);
        EXPECT_FALSE(ownedA.done); // the driver's to finish
        EXPECT_FALSE(waitingB.done);
        EXPECT_EQ(WdfRequestGetFileObject(owned), nullptr); // its file object went with the close
        WdfRequestComplete(owned, STATUS_SUCCESS);
        WDFREQUEST other = nullptr;
        ASSERT_EQ(WdfIoQueueRetrieveNextRequest(queue, &other), STATUS_SUCCESS);
        WdfRequestComplete(other, STATUS_SUCCESS);
        EXPECT_EQ(waitingB.status, STATUS_SUCCESS);
        close(device, b);
    });
}

class FileCallbackContext : public FileObjectTest, public ::testing::WithParamInterface<bool> {};

TEST_P(FileCallbackContext, CallbacksRunAtPassiveOnTheOpenersFiberUnderTheDeviceLockOnlyIfAsked) {
    const bool serialized = GetParam();
    run([&] {
        WDF_OBJECT_ATTRIBUTES deviceAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&deviceAttributes);
        deviceAttributes.ExecutionLevel = WdfExecutionLevelPassive;
        deviceAttributes.SynchronizationScope = WdfSynchronizationScopeDevice;
        WDF_OBJECT_ATTRIBUTES fileAttributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&fileAttributes);
        fileAttributes.ExecutionLevel = WdfExecutionLevelPassive;
        fileAttributes.SynchronizationScope =
            serialized ? WdfSynchronizationScopeDevice : WdfSynchronizationScopeNone;
        WDFDEVICE device = addDevice(
            [&](PWDFDEVICE_INIT init) { configureFiles(init, false, &fileAttributes); }, &deviceAttributes);
        zv::sim::Lock* lock = deviceOf(device).presentationLock();
        ASSERT_NE(lock, nullptr);
        int calls = 0;
        auto check = [&] {
            ++calls;
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
            zv::sim::Fiber* fiber = zv::sim::Scheduler::current()->currentFiber();
            EXPECT_EQ(fiber->name(), "test");
            EXPECT_EQ(lock->owner() == fiber, serialized);
        };
        hooks().fileCreate = [&](WDFDEVICE, WDFREQUEST r, WDFFILEOBJECT) {
            check();
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        hooks().fileCleanup = [&](WDFFILEOBJECT) { check(); };
        hooks().fileClose = [&](WDFFILEOBJECT) { check(); };
        PFILE_OBJECT file = newFile();
        EXPECT_EQ(open(device, file), STATUS_SUCCESS);
        close(device, file);
        EXPECT_EQ(calls, 3);
    });
}

INSTANTIATE_TEST_SUITE_P(Scopes, FileCallbackContext, ::testing::Bool(), [](const auto& info) {
    return std::string(info.param ? "DeviceScope" : "NoScope");
});

// The same rules seen from an application: the I/O manager's handles, a second open of an exclusive
// device, and a pending overlapped read its handle's close cancels.
TEST_F(FileObjectTest, ApplicationSeesExclusiveOpensAndCloseCancellingItsRead) {
    run([&] {
        WDFDEVICE device = addDevice([&](PWDFDEVICE_INIT init) {
            UNICODE_STRING name;
            RtlInitUnicodeString(&name, u"\\Device\\ZvReqFile");
            ASSERT_EQ(WdfDeviceInitAssignName(init, &name), STATUS_SUCCESS);
            configureFiles(init, true);
        });
        UNICODE_STRING link;
        RtlInitUnicodeString(&link, u"\\DosDevices\\ZvReqFile");
        ASSERT_EQ(WdfDeviceCreateSymbolicLink(device, &link), STATUS_SUCCESS);
        addQueue(device, WdfIoQueueDispatchManual, true);
        int creates = 0, closes = 0;
        hooks().fileCreate = [&](WDFDEVICE, WDFREQUEST r, WDFFILEOBJECT) {
            ++creates;
            WdfRequestComplete(r, STATUS_SUCCESS);
        };
        hooks().fileCleanup = [](WDFFILEOBJECT) {};
        hooks().fileClose = [&](WDFFILEOBJECT) { ++closes; };
        powerUp(device);
        bool finished = false;
        zv::io::spawnApplication("application", [&] {
            HANDLE first = CreateFileW(u"\\\\.\\ZvReqFile", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
            ASSERT_NE(first, INVALID_HANDLE_VALUE);
            HANDLE second = CreateFileW(u"\\\\.\\ZvReqFile", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            EXPECT_EQ(second, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
            uint8_t buffer[8];
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            EXPECT_FALSE(ReadFile(first, buffer, sizeof buffer, nullptr, &overlapped));
            EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
            EXPECT_TRUE(CloseHandle(first));
            // The handle is gone; its read ended with the cleanup.
            EXPECT_EQ(WaitForSingleObject(overlapped.hEvent, 0), static_cast<DWORD>(WAIT_OBJECT_0));
            EXPECT_EQ(static_cast<NTSTATUS>(overlapped.Internal), STATUS_CANCELLED);
            CloseHandle(overlapped.hEvent);
            finished = true;
        });
        LARGE_INTEGER delay;
        delay.QuadPart = -zv::sim::kMillisecond;
        KeDelayExecutionThread(KernelMode, FALSE, &delay);
        EXPECT_TRUE(finished);
        EXPECT_EQ(creates, 1);
        EXPECT_EQ(closes, 1);
    });
}

} // namespace
