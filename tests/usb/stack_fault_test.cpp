// Fault plans acting on the USB stack's requests, and a device that goes away under its requests.
#include "tests/usb/stack_fixture.h"

namespace zv::test {
namespace {

class StackFaultTest : public UsbStackTest {};

enum class Probe { Descriptor, Write, SelectConfiguration, Control };

struct FaultCase {
    const char* name;
    Probe probe;
    std::function<void(usb::FaultPlan&, sim::Time now)> plan;
    // Per attempt: the status expected (STATUS_PENDING: still pending after a long wait, then cancelled).
    std::vector<NTSTATUS> statuses;
    USBD_STATUS firstUsbd;
};

TEST_F(StackFaultTest, ActionsApplyAsPlanned) {
    const std::vector<FaultCase> cases = {
        {"fail the second descriptor request once",
         Probe::Descriptor,
         [](usb::FaultPlan& f, sim::Time) {
             f.on(usb::FaultKind::Descriptor)
                 .descriptor(USB_DEVICE_DESCRIPTOR_TYPE)
                 .skip(1)
                 .times(1)
                 .fail(USBD_STATUS_DEV_NOT_RESPONDING, STATUS_IO_DEVICE_ERROR);
         },
         {STATUS_SUCCESS, STATUS_IO_DEVICE_ERROR, STATUS_SUCCESS},
         USBD_STATUS_SUCCESS},
        {"descriptor rule for another type",
         Probe::Descriptor,
         [](usb::FaultPlan& f, sim::Time) {
             f.on(usb::FaultKind::Descriptor).descriptor(USB_STRING_DESCRIPTOR_TYPE).stall();
         },
         {STATUS_SUCCESS, STATUS_SUCCESS},
         USBD_STATUS_SUCCESS},
        {"fail transfers forever",
         Probe::Write,
         [](usb::FaultPlan& f, sim::Time) {
             f.on(usb::FaultKind::Transfer).endpoint(0x05).fail(USBD_STATUS_CRC, STATUS_UNSUCCESSFUL);
         },
         {STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
         USBD_STATUS_CRC},
        {"another endpoint's rule",
         Probe::Write,
         [](usb::FaultPlan& f, sim::Time) { f.on(usb::FaultKind::Transfer).endpoint(0x03).stall(); },
         {STATUS_SUCCESS},
         USBD_STATUS_SUCCESS},
        {"never answer a transfer",
         Probe::Write,
         [](usb::FaultPlan& f, sim::Time) { f.on(usb::FaultKind::Transfer).times(1).neverAnswer(); },
         {STATUS_PENDING, STATUS_SUCCESS},
         USBD_STATUS_CANCELED},
        {"never answer a descriptor request",
         Probe::Descriptor,
         [](usb::FaultPlan& f, sim::Time) { f.on(usb::FaultKind::Descriptor).times(1).neverAnswer(); },
         {STATUS_PENDING, STATUS_SUCCESS},
         USBD_STATUS_CANCELED},
        {"fail select configuration",
         Probe::SelectConfiguration,
         [](usb::FaultPlan& f, sim::Time) {
             f.on(usb::FaultKind::SelectConfiguration)
                 .times(1)
                 .fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_DEVICE_DATA_ERROR);
         },
         {STATUS_DEVICE_DATA_ERROR, STATUS_SUCCESS},
         USBD_STATUS_SET_CONFIG_FAILED},
        {"stall a vendor request",
         Probe::Control,
         [](usb::FaultPlan& f, sim::Time) { f.on(usb::FaultKind::Control).times(1).stall(); },
         {STATUS_UNSUCCESSFUL, STATUS_UNSUCCESSFUL},
         USBD_STATUS_STALL_PID},
        {"rule from a later time",
         Probe::Descriptor,
         [](usb::FaultPlan& f, sim::Time now) {
             f.on(usb::FaultKind::Any)
                 .from(now + sim::kSecond)
                 .fail(USBD_STATUS_REQUEST_FAILED, STATUS_UNSUCCESSFUL);
         },
         {STATUS_SUCCESS, STATUS_SUCCESS},
         USBD_STATUS_SUCCESS},
    };
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        devices::Phone& model = phone("hs-phone");
        runInFiber([&] {
            usb::UsbDevice& device = attach(model);
            auto pipes = c.probe == Probe::SelectConfiguration ? std::map<uint8_t, USBD_PIPE_HANDLE>{}
                                                               : configure(device);
            c.plan(device.faults(), sched().now());
            for (size_t i = 0; i < c.statuses.size(); ++i) {
                SCOPED_TRACE(i);
                std::vector<uint8_t> buffer(64, 0x5A);
                UrbBuffer urb;
                switch (c.probe) {
                    case Probe::Descriptor:
                        urb = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 18);
                        break;
                    case Probe::Write:
                        urb = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, buffer.data(), 64);
                        break;
                    case Probe::SelectConfiguration:
                        urb = selectConfigurationUrb(model.configurationDescriptor());
                        break;
                    case Probe::Control: {
                        urb.storage.resize(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
                        auto& v = urb->UrbControlVendorClassRequest;
                        v.Hdr.Length = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
                        v.Hdr.Function = URB_FUNCTION_VENDOR_DEVICE;
                        v.TransferFlags = USBD_TRANSFER_DIRECTION_IN;
                        v.TransferBuffer = buffer.data();
                        v.TransferBufferLength = 4;
                        v.Request = 0x42;
                        break;
                    }
                }
                auto sent = startUrb(device.pdo(), urb.get());
                if (c.statuses[i] == STATUS_PENDING) {
                    sim::sleepFor(10 * sim::kSecond, "test");
                    EXPECT_FALSE(sent->completed());
                    EXPECT_TRUE(sent->cancel());
                    EXPECT_EQ(sent->wait(), STATUS_CANCELLED);
                } else {
                    EXPECT_EQ(sent->wait(), c.statuses[i]);
                }
                if (i == 0) {
                    EXPECT_EQ(urb->UrbHeader.Status, c.firstUsbd);
                }
            }
            device.disconnect();
        });
    }
}

TEST_F(StackFaultTest, DelayPostponesTheAnswer) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        device.faults().on(usb::FaultKind::Descriptor).times(1).delay(250 * sim::kMillisecond);
        std::vector<uint8_t> buffer(18);
        UrbBuffer slow = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 18);
        sim::Time start = sched().now();
        auto sent = startUrb(device.pdo(), slow.get());
        EXPECT_EQ(sent->wait(), STATUS_SUCCESS);
        EXPECT_GE(sent->completedAt() - start, 250 * sim::kMillisecond);
        EXPECT_EQ(buffer, model.deviceDescriptor());

        UrbBuffer fast = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 18);
        start = sched().now();
        auto again = startUrb(device.pdo(), fast.get());
        EXPECT_EQ(again->wait(), STATUS_SUCCESS);
        EXPECT_LT(again->completedAt() - start, sim::kMillisecond);
    });
}

TEST_F(StackFaultTest, ReplyAnswersDescriptorRequestsWithGivenBytes) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        const usb::Bytes malformed = {9, 2, 0xFF, 0xFF, 1, 1, 0, 0x80, 50}; // wTotalLength past the data
        device.faults()
            .on(usb::FaultKind::Descriptor)
            .descriptor(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0)
            .reply(malformed);
        std::vector<uint8_t> buffer(255, 0);
        UrbBuffer urb = descriptorUrb(USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 255);
        ASSERT_EQ(submit(device.pdo(), urb.get()), STATUS_SUCCESS);
        ASSERT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, malformed.size());
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 9), malformed);
    });
}

TEST_F(StackFaultTest, AbortAnswersInsufficientResourcesAsPlanned) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        device.faults().on(usb::FaultKind::Abort).times(2).abortInsufficientResources();
        std::vector<uint8_t> in(512);
        UrbBuffer read =
            transferUrb(pipes.at(0x85), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in.data(), 512);
        auto pending = startUrb(device.pdo(), read.get());
        for (int attempt = 0; attempt < 2; ++attempt) {
            UrbBuffer abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, pipes.at(0x85));
            EXPECT_EQ(submit(device.pdo(), abort.get()), STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_EQ(abort->UrbHeader.Status, USBD_STATUS_INSUFFICIENT_RESOURCES);
            EXPECT_FALSE(pending->completed()) << "a failed abort leaves the transfers alone";
        }
        UrbBuffer abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, pipes.at(0x85));
        EXPECT_EQ(submit(device.pdo(), abort.get()), STATUS_SUCCESS);
        EXPECT_EQ(pending->wait(), STATUS_CANCELLED);
    });
}

TEST_F(StackFaultTest, DisconnectFailsPendingAndLaterRequests) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        std::vector<uint8_t> in(512);
        UrbBuffer read =
            transferUrb(pipes.at(0x85), USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in.data(), 512);
        auto pending = startUrb(device.pdo(), read.get());
        device.faults().disconnectAt(sched().now() + 3 * sim::kMillisecond);
        EXPECT_EQ(pending->wait(), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        EXPECT_FALSE(device.connected());

        UrbBuffer later = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, in.data(), 18);
        EXPECT_EQ(submit(device.pdo(), later.get()), STATUS_DEVICE_NOT_CONNECTED);
        EXPECT_EQ(later->UrbHeader.Status, USBD_STATUS_DEVICE_GONE);
        ULONG portStatus = 0xFFFF;
        EXPECT_EQ(ioctl(device.pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &portStatus), STATUS_SUCCESS);
        EXPECT_EQ(portStatus, 0u);
        EXPECT_EQ(device.pendingRequests(), 0u);
    });
}

} // namespace
} // namespace zv::test
