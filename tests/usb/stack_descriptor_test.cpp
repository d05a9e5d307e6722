// Descriptor requests at the USB stack's PDO: lengths, languages, missing descriptors and bad buffers.
#include "tests/usb/stack_fixture.h"

#include <cstring>

namespace zv::test {
namespace {

class StackDescriptorTest : public UsbStackTest {};

struct DescriptorCase {
    const char* name;
    uint8_t type;
    uint8_t index;
    uint16_t language;
    ULONG length;
    NTSTATUS status;
    USBD_STATUS usbd;
};

TEST_F(StackDescriptorTest, AnswersEachLengthWithTheFirstBytes) {
    const std::vector<DescriptorCase> cases = {
        {"device whole", USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 18, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"device first 8", USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 8, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"device larger buffer", USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, 255, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"configuration header", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 9, STATUS_SUCCESS,
         USBD_STATUS_SUCCESS},
        {"configuration whole", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 4096, STATUS_SUCCESS,
         USBD_STATUS_SUCCESS},
        {"configuration 1 byte", USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, 1, STATUS_SUCCESS,
         USBD_STATUS_SUCCESS},
        {"second configuration", USB_CONFIGURATION_DESCRIPTOR_TYPE, 1, 0, 255, STATUS_UNSUCCESSFUL,
         USBD_STATUS_STALL_PID},
        {"languages", USB_STRING_DESCRIPTOR_TYPE, 0, 0, 255, STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"serial number", USB_STRING_DESCRIPTOR_TYPE, devices::kSerialNumberString, 0x0409, 255,
         STATUS_SUCCESS, USBD_STATUS_SUCCESS},
        {"serial header", USB_STRING_DESCRIPTOR_TYPE, devices::kSerialNumberString, 0x0409, 2, STATUS_SUCCESS,
         USBD_STATUS_SUCCESS},
        {"missing string", USB_STRING_DESCRIPTOR_TYPE, 9, 0x0409, 255, STATUS_UNSUCCESSFUL,
         USBD_STATUS_STALL_PID},
        {"device qualifier", 6, 0, 0, 10, STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
    };
    devices::Phone& model = phone();
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        for (const DescriptorCase& c : cases) {
            SCOPED_TRACE(c.name);
            std::vector<uint8_t> buffer(c.length, 0xEE);
            UrbBuffer urb = descriptorUrb(c.type, c.index, c.language, buffer.data(), c.length);
            EXPECT_EQ(submit(device.pdo(), urb.get()), c.status);
            EXPECT_EQ(urb->UrbHeader.Status, c.usbd);
            if (c.status != STATUS_SUCCESS)
                continue;
            std::optional<usb::Bytes> expected;
            if (c.type == USB_DEVICE_DESCRIPTOR_TYPE)
                expected = model.deviceDescriptor();
            else if (c.type == USB_CONFIGURATION_DESCRIPTOR_TYPE)
                expected = model.configurationDescriptor();
            else
                expected = model.stringDescriptor(c.index, c.language);
            ASSERT_TRUE(expected);
            size_t n = std::min<size_t>(expected->size(), c.length);
            ASSERT_EQ(urb->UrbControlDescriptorRequest.TransferBufferLength, n);
            EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + long(n)),
                      std::vector<uint8_t>(expected->begin(), expected->begin() + long(n)));
            if (n < buffer.size()) {
                EXPECT_EQ(buffer[n], 0xEE) << "wrote past the descriptor";
            }
        }
    });
}

TEST_F(StackDescriptorTest, NullBufferNeedsAnMdl) {
    devices::Phone& model = phone();
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        UrbBuffer bare = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, 18);
        EXPECT_EQ(submit(device.pdo(), bare.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(bare->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

        std::vector<uint8_t> buffer(18);
        PMDL mdl = IoAllocateMdl(buffer.data(), ULONG(buffer.size()), FALSE, FALSE, nullptr);
        MmBuildMdlForNonPagedPool(mdl);
        UrbBuffer viaMdl = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, 18);
        viaMdl->UrbControlDescriptorRequest.TransferBufferMDL = mdl;
        EXPECT_EQ(submit(device.pdo(), viaMdl.get()), STATUS_SUCCESS);
        EXPECT_EQ(buffer, model.deviceDescriptor());
        IoFreeMdl(mdl);

        UrbBuffer none = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, nullptr, 0);
        EXPECT_EQ(submit(device.pdo(), none.get()), STATUS_SUCCESS);
        EXPECT_EQ(none->UrbControlDescriptorRequest.TransferBufferLength, 0u);
    });
}

TEST_F(StackDescriptorTest, RejectsShortUrbsAndUnknownFunctions) {
    devices::Phone& model = phone();
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        std::vector<uint8_t> buffer(18);
        UrbBuffer shortUrb = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 18);
        shortUrb->UrbHeader.Length = sizeof(struct _URB_HEADER);
        EXPECT_EQ(submit(device.pdo(), shortUrb.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(shortUrb->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

        UrbBuffer unknown = pipeUrb(0x7F, nullptr);
        EXPECT_EQ(submit(device.pdo(), unknown.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(unknown->UrbHeader.Status, USBD_STATUS_INVALID_URB_FUNCTION);

        EXPECT_EQ(submit(device.pdo(), nullptr), STATUS_INVALID_PARAMETER);
        std::vector<usb::UsbRequestRecord> expected = {
            {usb::UsbRequestRecord::Kind::Urb, URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE},
            {usb::UsbRequestRecord::Kind::Urb, 0x7F},
            {usb::UsbRequestRecord::Kind::Ioctl, IOCTL_INTERNAL_USB_SUBMIT_URB},
        };
        EXPECT_EQ(device.requests(), expected);
    });
}

TEST_F(StackDescriptorTest, CompletesAtDispatchLevelAfterTheControlTransferTime) {
    devices::Phone& model = phone("fs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        std::vector<uint8_t> buffer(18);
        UrbBuffer urb = descriptorUrb(USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, buffer.data(), 18);
        sim::Time start = sched().now();
        auto sent = startUrb(device.pdo(), urb.get());
        EXPECT_FALSE(sent->completed()) << "a control transfer takes bus time";
        EXPECT_EQ(sent->wait(), STATUS_SUCCESS);
        EXPECT_EQ(sent->completionIrql(), DISPATCH_LEVEL);
        // Setup, one data packet, status: three packets on a full-speed frame.
        EXPECT_EQ(sent->completedAt() - start, usb::durationFor(usb::Speed::Full, 3));
    });
}

} // namespace
} // namespace zv::test
