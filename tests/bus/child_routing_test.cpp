// Requests of a child's driver, sent to the child's physical device object as real IRPs with real URBs:
// what the child answers itself (the function's device and configuration descriptors, an empty hub name),
// what it refuses without touching the phone (port operations, reads and writes), and what it forwards to
// the parent and on to the USB stack (string descriptors, hub queries). Also the test function driver's
// bulk loopback through a child, with the buffers the stack sees.
#include "tests/bus/bus_machine.h"
#include "tests/function/function_fixture.h"

#include "platform/io/win32.h"

#include <usbioctl.h>

#include <algorithm>
#include <cstring>

namespace {

using namespace zv;
using test::BusMachineTest;
using usb::UsbRequestRecord;

// The bus driver over an hs-phone; its vendor-specific child (interface 2) has no driver.
class ChildRoutingTest : public BusMachineTest {};

struct DescriptorCase {
    uint8_t type;
    ULONG length;
};

TEST_F(ChildRoutingTest, DescriptorRequestsAreAnsweredFromTheFunctionsOwnDescriptors) {
    const DescriptorCase cases[] = {
        {USB_DEVICE_DESCRIPTOR_TYPE, 8},          {USB_DEVICE_DESCRIPTOR_TYPE, 18},
        {USB_DEVICE_DESCRIPTOR_TYPE, 64},         {USB_CONFIGURATION_DESCRIPTOR_TYPE, 9},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 18},  {USB_CONFIGURATION_DESCRIPTOR_TYPE, 64},
        {USB_CONFIGURATION_DESCRIPTOR_TYPE, 255},
    };
    // The modem under its association (two interfaces) and the vendor function.
    struct Function {
        uint8_t first, count, cls, sub, prot;
    };
    const Function functions[] = {{0, 2, 0x02, 0x02, 0x01}, {2, 1, 0xFF, 0xFF, 0xFF}};
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        for (const Function& f : functions) {
            pnp::DeviceNode* node = child(*phone.usb, f.first);
            ASSERT_NE(node, nullptr);
            test::FunctionDescriptors expected =
                test::expectedDescriptors(phone.phone->profile(), f.first, f.count, f.cls, f.sub, f.prot);
            for (const DescriptorCase& c : cases) {
                SCOPED_TRACE(testing::Message() << "interface " << int(f.first) << ", type " << int(c.type)
                                                << ", " << c.length << " bytes");
                const devices::Bytes& whole =
                    c.type == USB_DEVICE_DESCRIPTOR_TYPE ? expected.device : expected.configuration;
                std::vector<uint8_t> buffer(c.length + 16, 0xEE);
                URB urb = test::descriptorRequest(c.type, 0, 0, buffer.data(), c.length);
                phone.usb->clearRequests();
                test::IrpAnswer answer = test::submitUrb(node->pdo(), &urb);
                size_t n = std::min<size_t>(c.length, whole.size());
                EXPECT_EQ(answer.status, STATUS_SUCCESS);
                EXPECT_EQ(answer.information, n);
                EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + long(n)),
                          devices::Bytes(whole.begin(), whole.begin() + long(n)));
                EXPECT_TRUE(std::all_of(buffer.begin() + long(n), buffer.end(), [](uint8_t b) {
                    return b == 0xEE;
                })) << "written past the answer";
                // The URB itself is left as the driver filled it.
                EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, c.length);
                // Answered by the child: the phone was not asked.
                EXPECT_TRUE(phone.usb->requests().empty());
            }
        }
    });
}

TEST_F(ChildRoutingTest, ADescriptorRequestWithoutATransferBufferFails) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* node = child(*phone.usb, 2);
        ASSERT_NE(node, nullptr);
        for (uint8_t type : {USB_DEVICE_DESCRIPTOR_TYPE, USB_CONFIGURATION_DESCRIPTOR_TYPE}) {
            URB urb = test::descriptorRequest(type, 0, 0, nullptr, 18);
            test::IrpAnswer answer = test::submitUrb(node->pdo(), &urb);
            EXPECT_EQ(answer.status, STATUS_INVALID_PARAMETER) << int(type);
            EXPECT_EQ(answer.information, 0u);
        }
    });
}

TEST_F(ChildRoutingTest, StringDescriptorRequestsReachThePhone) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* node = child(*phone.usb, 2);
        ASSERT_NE(node, nullptr);
        std::vector<uint8_t> buffer(255, 0);
        URB urb = test::descriptorRequest(USB_STRING_DESCRIPTOR_TYPE, devices::kProductString, 0x0409,
                                          buffer.data(), ULONG(buffer.size()));
        phone.usb->clearRequests();
        test::IrpAnswer answer = test::submitUrb(node->pdo(), &urb);
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        EXPECT_EQ(phone.usb->requests(),
                  (std::vector<UsbRequestRecord>{
                      {UsbRequestRecord::Kind::Urb, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE}}));
        std::optional<devices::Bytes> expected =
            phone.phone->stringDescriptor(devices::kProductString, 0x0409);
        ASSERT_TRUE(expected.has_value());
        EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, expected->size());
        EXPECT_EQ(devices::Bytes(buffer.begin(), buffer.begin() + long(expected->size())), *expected);
    });
}

struct RefusedCase {
    const char* name;
    bool internal;
    ULONG code;
};

TEST_F(ChildRoutingTest, PortOperationsAreRefusedWithoutTouchingThePhone) {
    const RefusedCase cases[] = {
        {"reset port", true, IOCTL_INTERNAL_USB_RESET_PORT},
        {"enable port", true, IOCTL_INTERNAL_USB_ENABLE_PORT},
        {"cycle port", true, IOCTL_INTERNAL_USB_CYCLE_PORT},
        {"idle notification", true, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION},
        {"hub cycle port", false, IOCTL_USB_HUB_CYCLE_PORT},
    };
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* node = child(*phone.usb, 2);
        ASSERT_NE(node, nullptr);
        for (const RefusedCase& c : cases) {
            SCOPED_TRACE(c.name);
            phone.usb->clearRequests();
            ULONG scratch[4] = {};
            test::IrpAnswer answer =
                test::deviceControl(node->pdo(), c.internal, c.code, scratch, sizeof scratch);
            EXPECT_EQ(answer.status, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(answer.information, 0u);
            EXPECT_TRUE(phone.usb->requests().empty());
            EXPECT_TRUE(phone.usb->connected());
        }
    });
}

TEST_F(ChildRoutingTest, TheHubNameIsEmptyWhenTheBufferHoldsOne) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* node = child(*phone.usb, 2);
        ASSERT_NE(node, nullptr);
        phone.usb->clearRequests();
        for (ULONG length : {4u, 6u, 64u}) {
            SCOPED_TRACE(testing::Message() << length << " bytes");
            std::vector<uint8_t> buffer(64, 0xAA);
            test::IrpAnswer answer = test::deviceControl(node->pdo(), true, IOCTL_INTERNAL_USB_GET_HUB_NAME,
                                                         buffer.data(), length);
            if (length < sizeof(USB_HUB_NAME)) {
                EXPECT_EQ(answer.status, STATUS_BUFFER_TOO_SMALL);
                EXPECT_EQ(buffer[0], 0xAA);
            } else {
                EXPECT_EQ(answer.status, STATUS_SUCCESS);
                USB_HUB_NAME name;
                std::memcpy(&name, buffer.data(), sizeof name);
                EXPECT_EQ(name.ActualLength, 0u);
                EXPECT_EQ(name.HubName[0], 0);
                EXPECT_EQ(buffer[sizeof(USB_HUB_NAME)], 0xAA) << "more than the name was written";
            }
        }
        EXPECT_TRUE(phone.usb->requests().empty());
    });
}

TEST_F(ChildRoutingTest, HubQueriesAreForwardedToTheStackBelowTheParent) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* node = child(*phone.usb, 2);
        ASSERT_NE(node, nullptr);
        // The port's status as the hub gives it straight, then through the child.
        ULONG direct = 0, forwarded = 0;
        EXPECT_EQ(
            test::deviceControl(phone.usb->pdo(), true, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &direct).status,
            STATUS_SUCCESS);
        phone.usb->clearRequests();
        EXPECT_EQ(
            test::deviceControl(node->pdo(), true, IOCTL_INTERNAL_USB_GET_PORT_STATUS, &forwarded).status,
            STATUS_SUCCESS);
        EXPECT_EQ(forwarded, direct);
        EXPECT_EQ(forwarded & (USBD_PORT_ENABLED | USBD_PORT_CONNECTED),
                  ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));
        EXPECT_EQ(phone.usb->requests(),
                  (std::vector<UsbRequestRecord>{
                      {UsbRequestRecord::Kind::Ioctl, IOCTL_INTERNAL_USB_GET_PORT_STATUS}}));
    });
}

TEST_F(ChildRoutingTest, ReadsAndWritesToAChildAreNotSupported) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* node = child(*phone.usb, 2);
        ASSERT_NE(node, nullptr);
        phone.usb->clearRequests();
        for (UCHAR major : {UCHAR(IRP_MJ_READ), UCHAR(IRP_MJ_WRITE)}) {
            char buffer[4] = {'a', 'b', 'c', 'd'};
            test::IrpAnswer answer = test::readWrite(node->pdo(), major, buffer, sizeof buffer);
            EXPECT_EQ(answer.status, STATUS_NOT_SUPPORTED) << int(major);
            EXPECT_EQ(answer.information, 0u);
        }
        EXPECT_TRUE(phone.usb->requests().empty());
    });
}

// The test function driver on the vendor child moves bulk data through the child and the parent; the
// bus driver only hands the requests on, so the stack reads OUT data straight from the application's
// buffer.
class ChildLoopbackTest : public BusMachineTest {};

TEST_F(ChildLoopbackTest, BulkDataCrossesTheChildWithoutACopy) {
    runInFiber([&] {
        installServices(true);
        Plugged phone = plug(test::phoneProfile());
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* node = child(*phone.usb, 2);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->state(), pnp::NodeState::Started);
        EXPECT_EQ(node->serviceName(), u"ZvUsbFunc");
        for (size_t size : {1u, 700u, 4000u}) {
            SCOPED_TRACE(testing::Message() << size << " bytes");
            std::vector<uint8_t> data(size), echoed;
            for (size_t i = 0; i < size; ++i)
                data[i] = uint8_t(i * 13 + 1);
            phone.phone->outBuffers.clear();
            std::string error;
            test::runApplication(
                [&] { EXPECT_TRUE(test::loopback(u"\\\\.\\ZvUsbFunc0", data, &echoed, &error)) << error; });
            EXPECT_EQ(echoed, data);
            ASSERT_FALSE(phone.phone->outBuffers.empty());
            for (const uint8_t* packet : phone.phone->outBuffers)
                EXPECT_TRUE(packet >= data.data() && packet < data.data() + data.size())
                    << "an OUT packet came from a buffer that is not the application's";
        }
    });
}

} // namespace
