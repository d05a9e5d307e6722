// An application talks to a started test device through the I/O manager: opens it by its symbolic link and
// by its device interface, writes, reads and sends device controls; a request the driver holds stays with
// it across sleep (suspended, then resumed) and is cancelled by the purge at removal; a device removed with
// a handle open is cleaned up only when the handle closes, while a new device of the same instance runs.
#include "tests/pnp/pnp_fixture.h"
#include "tests/pnp/pnptestdrv.h"

#include "platform/io/win32.h"
#include "platform/kernel/device_object.h"
#include "platform/kernel/object_namespace.h"
#include "platform/wdf/device.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using Events = std::vector<std::string>;

const GUID kTestInterface = PNPTEST_INTERFACE_GUID_INIT;

class DeviceIoTest : public zv::test::PnpTest {
protected:
    // Runs `body` on an application fiber and waits for it.
    static void application(const std::function<void()>& body) {
        zv::sim::Event done(zv::sim::Event::Kind::Notification, false, "application done");
        zv::io::spawnApplication("application", [&] {
            body();
            done.set();
        });
        done.wait();
    }
    static HANDLE open(const char16_t* name, DWORD flags = 0) {
        return CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags, nullptr);
    }
    static std::string read(HANDLE handle) {
        char buffer[PNPTEST_BUFFER_BYTES] = {};
        DWORD count = 0;
        if (!ReadFile(handle, buffer, sizeof buffer, &count, nullptr))
            return "<error " + std::to_string(GetLastError()) + ">";
        return std::string(buffer, count);
    }
    static bool write(HANDLE handle, const std::string& text) {
        DWORD count = 0;
        return WriteFile(handle, text.data(), DWORD(text.size()), &count, nullptr) && count == text.size();
    }
    // An overlapped IOCTL_PNPTEST_HOLD the driver keeps.
    struct Held {
        OVERLAPPED overlapped{};
        HANDLE event = nullptr;
    };
    static void hold(HANDLE handle, Held& held) {
        held.event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        held.overlapped.hEvent = held.event;
        DWORD returned = 0;
        EXPECT_FALSE(
            DeviceIoControl(handle, IOCTL_PNPTEST_HOLD, nullptr, 0, nullptr, 0, &returned, &held.overlapped));
        EXPECT_EQ(GetLastError(), DWORD(ERROR_IO_PENDING));
    }
    // The held request's final status as a Win32 error (ERROR_SUCCESS when it succeeded).
    static DWORD finished(HANDLE handle, Held& held) {
        DWORD returned = 0;
        DWORD error =
            GetOverlappedResult(handle, &held.overlapped, &returned, TRUE) ? ERROR_SUCCESS : GetLastError();
        CloseHandle(held.event);
        return error;
    }
};

TEST_F(DeviceIoTest, ApplicationReadsWritesAndControlsTheDevice) {
    runInFiber([&] {
        configure(1);
        ASSERT_EQ(pnp().plug(testDevice(1)), STATUS_SUCCESS);
        application([&] {
            HANDLE handle = open(u"\\\\.\\ZvPnpTest1");
            ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
            EXPECT_TRUE(write(handle, "hello, device"));
            EXPECT_EQ(read(handle), "hello, device");
            ULONG unit = 0;
            DWORD returned = 0;
            EXPECT_TRUE(DeviceIoControl(handle, IOCTL_PNPTEST_GET_UNIT, nullptr, 0, &unit, sizeof unit,
                                        &returned, nullptr));
            EXPECT_EQ(returned, sizeof unit);
            EXPECT_EQ(unit, 1u);
            EXPECT_FALSE(
                DeviceIoControl(handle, IOCTL_PNPTEST_GET_UNIT, nullptr, 0, &unit, 2, &returned, nullptr));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INSUFFICIENT_BUFFER));
            EXPECT_FALSE(DeviceIoControl(handle, CTL_CODE(PNPTEST_DEVICE_TYPE, 0x8ff, METHOD_BUFFERED, 0),
                                         nullptr, 0, nullptr, 0, &returned, nullptr));
            EXPECT_EQ(GetLastError(), DWORD(ERROR_INVALID_FUNCTION));
            EXPECT_TRUE(CloseHandle(handle));

            // The device interface names the same device.
            auto interfaces = zv::kernel::deviceInterfaces(&kTestInterface, true);
            ASSERT_EQ(interfaces.size(), 1u);
            std::u16string path = u"\\\\?\\" + interfaces[0].symbolicLinkName.substr(4);
            handle = open(path.c_str());
            ASSERT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
            EXPECT_EQ(read(handle), "hello, device");
            CloseHandle(handle);
        });
        ASSERT_EQ(pnp().remove(instancePath(1)), STATUS_SUCCESS);
        application([&] {
            EXPECT_EQ(open(u"\\\\.\\ZvPnpTest1"), INVALID_HANDLE_VALUE) << "the link went with the device";
        });
    });
}

// The driver acknowledges the suspend and keeps its request: the request survives sleep and is resumed at
// the next D0 entry, after the driver's D0 callbacks and before self-managed I/O restarts.
TEST_F(DeviceIoTest, AHeldRequestStaysWithTheDriverAcrossSleep) {
    runInFiber([&] {
        configure(1);
        ASSERT_EQ(pnp().plug(testDevice(1)), STATUS_SUCCESS);
        HANDLE handle = INVALID_HANDLE_VALUE;
        Held held;
        application([&] {
            handle = open(u"\\\\.\\ZvPnpTest1", FILE_FLAG_OVERLAPPED);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            hold(handle, held);
        });
        takeEvents(1);
        ASSERT_EQ(pnp().sleep(), STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(1),
                  (Events{"SmioSuspend", "IoStop action=1", "D0ExitPre", "D0Exit target=4 action=2"}));
        ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(1),
                  (Events{"D0Entry prev=4 action=2", "D0EntryPost", "IoResume", "SmioRestart"}));
        application([&] {
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            DWORD returned = 0;
            BOOL done = DeviceIoControl(handle, IOCTL_PNPTEST_RELEASE, nullptr, 0, nullptr, 0, &returned,
                                        &overlapped);
            EXPECT_TRUE(done || GetLastError() == ERROR_IO_PENDING);
            EXPECT_TRUE(GetOverlappedResult(handle, &overlapped, &returned, TRUE));
            CloseHandle(overlapped.hEvent);
            EXPECT_EQ(finished(handle, held), DWORD(ERROR_SUCCESS));
            CloseHandle(handle);
        });
        ASSERT_EQ(pnp().remove(instancePath(1)), STATUS_SUCCESS);
    });
}

// Removal with a handle open: the suspend pass, D0 exit and release come, the held request is purged and
// cancelled, but the framework device stays until the application closes its handle. Meanwhile the same
// device plugged again gets a new device object that works, next to the old one.
TEST_F(DeviceIoTest, ADeviceRemovedWithAnOpenHandleIsCleanedUpWhenTheHandleCloses) {
    runInFiber([&] {
        configure(1);
        ASSERT_EQ(pnp().plug(testDevice(1)), STATUS_SUCCESS);
        PDEVICE_OBJECT old = pnp().find(instancePath(1))->functionDevice()->deviceObject();
        HANDLE handle = INVALID_HANDLE_VALUE;
        Held held;
        application([&] {
            handle = open(u"\\\\.\\ZvPnpTest1", FILE_FLAG_OVERLAPPED);
            ASSERT_NE(handle, INVALID_HANDLE_VALUE);
            hold(handle, held);
        });
        takeEvents(1);
        ASSERT_EQ(pnp().remove(instancePath(1)), STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(1), (Events{"QueryRemove", "SmioSuspend", "IoStop action=1", "D0ExitPre",
                                         "D0Exit target=5 action=0", "ReleaseHardware", "SmioFlush",
                                         "IoStop action=2", "SmioCleanup"}));
        EXPECT_TRUE(zv::kernel::isDeviceObjectLive(old));
        application([&] { EXPECT_EQ(finished(handle, held), DWORD(ERROR_OPERATION_ABORTED)); });

        // The same device again: a second device object of the instance, while the first waits.
        ASSERT_EQ(pnp().plug(testDevice(1)), STATUS_SUCCESS);
        PDEVICE_OBJECT fresh = pnp().find(instancePath(1))->functionDevice()->deviceObject();
        EXPECT_NE(fresh, old);
        EXPECT_TRUE(zv::kernel::isDeviceObjectLive(old));
        EXPECT_EQ(takeEvents(1).front(), "DeviceAdd");
        application([&] {
            HANDLE second = open(u"\\\\.\\ZvPnpTest1");
            ASSERT_NE(second, INVALID_HANDLE_VALUE);
            EXPECT_TRUE(write(second, "new"));
            EXPECT_EQ(read(second), "new");
            CloseHandle(second);
            // The old handle reaches only the removed device, which takes no more requests.
            char buffer[4];
            DWORD count = 0;
            OVERLAPPED overlapped{};
            overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
            BOOL done = ReadFile(handle, buffer, sizeof buffer, &count, &overlapped);
            if (!done && GetLastError() == ERROR_IO_PENDING)
                done = GetOverlappedResult(handle, &overlapped, &count, TRUE);
            EXPECT_FALSE(done);
            CloseHandle(overlapped.hEvent);
        });
        EXPECT_EQ(takeEvents(1), Events{}) << "neither device is cleaned up yet";
        application([&] { EXPECT_TRUE(CloseHandle(handle)); });
        EXPECT_EQ(takeEvents(1), Events{"Cleanup"});
        EXPECT_FALSE(zv::kernel::isDeviceObjectLive(old));
        EXPECT_TRUE(zv::kernel::isDeviceObjectLive(fresh));
        ASSERT_EQ(pnp().unplug(instancePath(1)), STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(1).back(), "Cleanup");
    });
}

} // namespace
