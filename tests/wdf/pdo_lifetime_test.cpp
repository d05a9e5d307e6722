// How long a child's device lives: an application's open handle on a child that Plug and Play removed
// keeps the child's framework device (its cleanup waits for the handle to close), and the parent's device,
// removed meanwhile, is not cleaned up while the child's object remains.
#include "tests/wdf/childlist_fixture.h"

#include "platform/io/win32.h"

#include <algorithm>

namespace {

using zv::test::childHooks;
using zv::test::ChildListTest;
using zv::test::describeChild;
using zv::test::deviceHooks;
using zv::test::TestChild;
using zv::test::child_callbacks::assign;

std::u16string text(const char* s) {
    return std::u16string(s, s + std::strlen(s));
}

TEST_F(ChildListTest, AnOpenHandleKeepsTheRemovedChildAndTheParentWaitsForIt) {
    run([&] {
        startParent();
        childHooks().configure = [](PWDFDEVICE_INIT init, const TestChild&) {
            return assign(WdfDeviceInitAssignName, init, text("\\Device\\ZvChild1"));
        };
        childHooks().created = [](WDFDEVICE device, const TestChild&) {
            std::u16string link = text("\\DosDevices\\ZvChild1");
            UNICODE_STRING s{static_cast<USHORT>(link.size() * 2), static_cast<USHORT>(link.size() * 2),
                             link.data()};
            return WdfDeviceCreateSymbolicLink(device, &s);
        };
        scan({describeChild(1)});
        enumerate();
        WDFDEVICE child = childDevice(1);
        PDEVICE_OBJECT pdo = childPdo(1);
        ASSERT_NE(pdo, nullptr);
        ASSERT_EQ(pnpTo(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        WDFDEVICE parent = device();

        zv::sim::Event opened(zv::sim::Event::Kind::Notification, false, "opened");
        zv::sim::Event closeNow(zv::sim::Event::Kind::Notification, false, "close now");
        zv::sim::Event closed(zv::sim::Event::Kind::Notification, false, "closed");
        zv::io::spawnApplication("holder", [&] {
            HANDLE handle = CreateFileW(u"\\\\.\\ZvChild1", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            EXPECT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
            opened.set();
            closeNow.wait();
            if (handle != INVALID_HANDLE_VALUE)
                CloseHandle(handle);
            closed.set();
        });
        opened.wait();
        takeChildEvents();
        takeEvents();

        // The child leaves: reported missing, surprise-removed and removed by Plug and Play.
        scan({});
        EXPECT_TRUE(enumerate().empty());
        EXPECT_EQ(pnpTo(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
        EXPECT_EQ(pnpTo(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_TRUE(takeChildEvents().empty()) << "the child is cleaned up while a handle is open";
        EXPECT_NE(zv::wdf::Device::fromHandle(child), nullptr);

        // The parent is removed too; its framework device waits for the child's.
        EXPECT_EQ(pnp(IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
        EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        std::vector<std::string> parentEvents = takeEvents();
        EXPECT_EQ(std::count(parentEvents.begin(), parentEvents.end(), "Cleanup"), 0);
        EXPECT_NE(zv::wdf::Device::fromHandle(parent), nullptr);

        closeNow.set();
        closed.wait();
        EXPECT_EQ(takeChildEvents(), std::vector<std::string>{"cleanup 1"});
        EXPECT_EQ(zv::wdf::Device::fromHandle(child), nullptr);
        parentEvents = takeEvents();
        EXPECT_EQ(std::count(parentEvents.begin(), parentEvents.end(), "Cleanup"), 1);
        EXPECT_EQ(zv::wdf::Device::fromHandle(parent), nullptr);
    });
}

// A parent removed while a child's device still exists (its bus never reported it missing) takes the
// child's device with it.
TEST_F(ChildListTest, ARemovedParentTakesItsRemainingChildrenWithIt) {
    run([&] {
        startParent();
        scan({describeChild(1), describeChild(2)});
        enumerate();
        ASSERT_NE(childDevice(1), nullptr);
        takeChildEvents();
        EXPECT_EQ(pnp(IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(pnp(IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        std::vector<std::string> gone = takeChildEvents();
        std::sort(gone.begin(), gone.end());
        EXPECT_EQ(gone, (std::vector<std::string>{"cleanup 1", "cleanup 2"}));
        EXPECT_EQ(childDevice(1), nullptr);
        std::vector<std::string> parentEvents = takeEvents();
        EXPECT_EQ(std::count(parentEvents.begin(), parentEvents.end(), "Cleanup"), 1);
    });
}

} // namespace
