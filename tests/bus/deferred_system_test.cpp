// The deferred child enumeration end to end, through the Plug and Play manager and the USB stack: a phone
// that comes back while its old parent device still exists (an application holds one of its children
// open, or a test holds the parent's device object) gets a new parent that reports no children until the
// old parent is cleaned up; the old parent's cleanup then hands the enumeration to the first parent of
// the device instance that waits, and only to it.
#include "tests/bus/bus_configurations.h"
#include "tests/bus/bus_machine.h"

#include "platform/io/win32.h"
#include "platform/pnp/pnp_manager.h"
#include "platform/wdf/device.h"

#include <algorithm>

namespace {

using namespace zv;
using test::BusMachineTest;

// hs-phone: the modem, the vendor function, mass storage and the diagnostic function.
constexpr size_t kHsPhoneChildren = 4;

class DeferredSystemTest : public BusMachineTest {
protected:
    // The parent over a phone and its device object, which the caller keeps from going.
    struct Held {
        wdf::Device* parent = nullptr;
        PDEVICE_OBJECT object = nullptr;
    };
    static Held hold(const usb::UsbDevice& usb) {
        Held held;
        pnp::DeviceNode* node = parentNode(usb);
        EXPECT_NE(node, nullptr);
        if (node == nullptr)
            return held;
        held.parent = node->functionDevice();
        EXPECT_NE(held.parent, nullptr);
        if (held.parent == nullptr)
            return held;
        held.object = held.parent->deviceObject();
        ObReferenceObject(held.object);
        return held;
    }
    // The parent goes once the last reference on its device object does.
    static void letGo(Held& held) {
        ObDereferenceObject(held.object);
        pnp::pnpManager().waitIdle();
        held = {};
    }
    static void pull(usb::UsbDevice& usb) {
        usb.disconnect();
        pnp::pnpManager().waitIdle();
        EXPECT_EQ(pnp::pnpManager().find(usb.instancePath()), nullptr);
    }
    // How many enumerations a parent has run: each leaves a collection of function descriptions under
    // the device.
    static size_t enumerations(const wdf::Device* device) {
        return size_t(
            std::count_if(device->children().begin(), device->children().end(),
                          [](const wdf::Object* o) { return o->type() == wdf::ObjectType::Collection; }));
    }
};

TEST_F(DeferredSystemTest, AChildHeldOpenKeepsTheReturningPhonesChildrenBack) {
    runInFiber([&] {
        installServices(true);
        Plugged first = plug(test::phoneProfile());
        ASSERT_NE(first.usb, nullptr);
        ASSERT_EQ(childCount(*first.usb), kHsPhoneChildren);

        sim::Event opened(sim::Event::Kind::Notification, false, "opened");
        sim::Event closeNow(sim::Event::Kind::Notification, false, "close now");
        sim::Event closed(sim::Event::Kind::Notification, false, "closed");
        io::spawnApplication("holder", [&] {
            HANDLE handle = CreateFileW(u"\\\\.\\ZvUsbFunc0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            EXPECT_NE(handle, INVALID_HANDLE_VALUE) << GetLastError();
            opened.set();
            closeNow.wait();
            if (handle != INVALID_HANDLE_VALUE)
                CloseHandle(handle);
            closed.set();
        });
        opened.wait();

        pull(*first.usb);
        Plugged second = plug(test::phoneProfile());
        ASSERT_NE(second.usb, nullptr);
        ASSERT_EQ(second.usb->instancePath(), first.usb->instancePath());
        pnp::DeviceNode* parent = parentNode(*second.usb);
        ASSERT_NE(parent, nullptr);
        EXPECT_EQ(parent->state(), pnp::NodeState::Started);
        EXPECT_EQ(childCount(*second.usb), 0u) << "children enumerated while the old parent exists";

        closeNow.set();
        closed.wait();
        pnp::pnpManager().waitIdle();
        EXPECT_EQ(childCount(*second.usb), kHsPhoneChildren);
        pnp::DeviceNode* vendor = child(*second.usb, 2);
        ASSERT_NE(vendor, nullptr);
        EXPECT_EQ(vendor->state(), pnp::NodeState::Started);
    });
}

TEST_F(DeferredSystemTest, OfThreeParentsOnlyTheFirstWaitingOneTakesTheEnumerationOver) {
    runInFiber([&] {
        installServices(false);
        Plugged a = plug(test::phoneProfile());
        ASSERT_NE(a.usb, nullptr);
        Held heldA = hold(*a.usb);
        ASSERT_NE(heldA.object, nullptr);
        pull(*a.usb);

        Plugged b = plug(test::phoneProfile());
        ASSERT_NE(b.usb, nullptr);
        EXPECT_EQ(childCount(*b.usb), 0u);
        Held heldB = hold(*b.usb);
        ASSERT_NE(heldB.object, nullptr);
        wdf::Device* parentB = heldB.parent;
        EXPECT_EQ(enumerations(parentB), 0u);
        pull(*b.usb);

        Plugged c = plug(test::phoneProfile());
        ASSERT_NE(c.usb, nullptr);
        EXPECT_EQ(childCount(*c.usb), 0u);

        // A goes: B, first in line, takes the enumeration (its device is gone, so no child comes of it);
        // C keeps waiting.
        letGo(heldA);
        EXPECT_EQ(enumerations(parentB), 1u);
        EXPECT_EQ(childCount(*c.usb), 0u);

        // B goes: now C enumerates.
        letGo(heldB);
        EXPECT_EQ(childCount(*c.usb), kHsPhoneChildren);
    });
}

TEST_F(DeferredSystemTest, AFailedHandOverLeavesTheParentWaitingUntilTheNextCleanup) {
    // Functions with strings: the hand-over's enumeration reads them from the phone.
    const test::GroupingFixture fixture = test::groupingFixtures().front();
    auto profile = [&] {
        return test::profileFor(fixture.deviceClass, fixture.deviceSubClass, fixture.deviceProtocol,
                                fixture.configuration);
    };
    runInFiber([&] {
        installServices(false);
        Plugged a = plug(profile());
        ASSERT_NE(a.usb, nullptr);
        ASSERT_EQ(childCount(*a.usb), fixture.functions.size());
        Held heldA = hold(*a.usb);
        ASSERT_NE(heldA.object, nullptr);
        pull(*a.usb);

        Plugged b = plug(profile());
        ASSERT_NE(b.usb, nullptr);
        EXPECT_EQ(childCount(*b.usb), 0u);
        b.usb->faults()
            .on(usb::FaultKind::Descriptor)
            .descriptor(USB_STRING_DESCRIPTOR_TYPE, test::kModemString)
            .times(1)
            .fail(USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);

        letGo(heldA);
        EXPECT_EQ(childCount(*b.usb), 0u) << "a failed hand-over reported children";
        // The string would be read now, but nothing tries again by itself.
        pnp::pnpManager().waitIdle();
        EXPECT_EQ(childCount(*b.usb), 0u);

        // The next cleanup of a parent of this instance is B's own: it hands over to C.
        Held heldB = hold(*b.usb);
        ASSERT_NE(heldB.object, nullptr);
        pull(*b.usb);
        Plugged c = plug(profile());
        ASSERT_NE(c.usb, nullptr);
        EXPECT_EQ(childCount(*c.usb), 0u);
        letGo(heldB);
        EXPECT_EQ(childCount(*c.usb), fixture.functions.size());
    });
}

} // namespace
