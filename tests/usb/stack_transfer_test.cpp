// Bulk transfers through the USB stack to the phones' loopback responders: data both ways, short and
// zero-length packets, the virtual time each speed takes, NAKed transfers that wait, stalls until reset,
// abort and cancellation of pending transfers.
#include "tests/usb/stack_fixture.h"

#include <numeric>

namespace zv::test {
namespace {

constexpr ULONG kIn = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = uint8_t(seed + i * 7);
    return bytes;
}

struct LoopbackCase {
    const char* profile;
    ULONG bytes;
};

class StackLoopbackTest : public UsbStackTest, public ::testing::WithParamInterface<LoopbackCase> {};

TEST_P(StackLoopbackTest, BytesComeBackInTheLinkModelsTime) {
    const LoopbackCase c = GetParam();
    devices::Phone& model = phone(c.profile);
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        const uint16_t maxPacket = device.speed() == usb::Speed::High ? 512 : 64;
        std::vector<uint8_t> out = pattern(c.bytes, uint8_t(c.bytes));
        UrbBuffer write = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, out.data(), c.bytes);
        sim::Time start = sched().now();
        auto sentWrite = startUrb(device.pdo(), write.get());
        ASSERT_EQ(sentWrite->wait(), STATUS_SUCCESS);
        EXPECT_EQ(sentWrite->completionIrql(), DISPATCH_LEVEL);
        EXPECT_EQ(write->UrbBulkOrInterruptTransfer.TransferBufferLength, c.bytes);
        EXPECT_EQ(sentWrite->completedAt() - start,
                  usb::durationFor(device.speed(), usb::packetsFor(c.bytes, maxPacket, false)));

        // A buffer one packet larger than the data: the read ends on the short (or zero-length) packet
        // only when the write ended with one; a whole multiple ends when the data runs out.
        std::vector<uint8_t> in(c.bytes + maxPacket, 0);
        ULONG readLength = c.bytes % maxPacket == 0 ? c.bytes : ULONG(in.size());
        UrbBuffer read = transferUrb(pipes.at(0x85), kIn, in.data(), readLength);
        start = sched().now();
        auto sentRead = startUrb(device.pdo(), read.get());
        ASSERT_EQ(sentRead->wait(), STATUS_SUCCESS);
        ASSERT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, c.bytes);
        EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + long(c.bytes)), out);
        EXPECT_EQ(sentRead->completedAt() - start,
                  usb::durationFor(device.speed(), usb::packetsFor(c.bytes, maxPacket, false)));
    });
}

INSTANTIATE_TEST_SUITE_P(Speeds, StackLoopbackTest,
                         ::testing::Values(LoopbackCase{"hs-phone", 1}, LoopbackCase{"hs-phone", 512},
                                           LoopbackCase{"hs-phone", 513}, LoopbackCase{"hs-phone", 13 * 512},
                                           LoopbackCase{"hs-phone", 13 * 512 + 1},
                                           LoopbackCase{"hs-phone", 40000}, LoopbackCase{"fs-phone", 63},
                                           LoopbackCase{"fs-phone", 64}, LoopbackCase{"fs-phone", 19 * 64},
                                           LoopbackCase{"fs-phone", 19 * 64 + 5},
                                           LoopbackCase{"fs-phone", 5000}),
                         [](const auto& info) {
                             return std::string(info.param.profile[0] == 'h' ? "High" : "Full") + "_" +
                                    std::to_string(info.param.bytes);
                         });

class StackTransferTest : public UsbStackTest {};

TEST_F(StackTransferTest, PacketBoundariesEndReads) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        // Three writes: a whole packet, a zero-length packet, then 100 bytes.
        std::vector<uint8_t> full = pattern(512, 1), tail = pattern(100, 2);
        UrbBuffer w1 = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, full.data(), 512);
        UrbBuffer w2 = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, nullptr, 0);
        UrbBuffer w3 = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, tail.data(), 100);
        ASSERT_EQ(submit(device.pdo(), w1.get()), STATUS_SUCCESS);
        ASSERT_EQ(submit(device.pdo(), w2.get()), STATUS_SUCCESS);
        ASSERT_EQ(submit(device.pdo(), w3.get()), STATUS_SUCCESS);
        EXPECT_EQ(model.responder(0x05)->heldPackets(), 3u) << "a zero-length packet only for an empty write";

        std::vector<uint8_t> in(4096);
        UrbBuffer r1 = transferUrb(pipes.at(0x85), kIn, in.data(), 4096);
        ASSERT_EQ(submit(device.pdo(), r1.get()), STATUS_SUCCESS);
        EXPECT_EQ(r1->UrbBulkOrInterruptTransfer.TransferBufferLength, 512u)
            << "the zero-length packet ends it";
        UrbBuffer r2 = transferUrb(pipes.at(0x85), kIn, in.data(), 4096);
        ASSERT_EQ(submit(device.pdo(), r2.get()), STATUS_SUCCESS);
        EXPECT_EQ(r2->UrbBulkOrInterruptTransfer.TransferBufferLength, 100u) << "the short packet ends it";
        EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 100), tail);
    });
}

TEST_F(StackTransferTest, ShortPacketWithoutShortTransferOkIsAnError) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        std::vector<uint8_t> out = pattern(10, 3), in(512);
        UrbBuffer write = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, out.data(), 10);
        ASSERT_EQ(submit(device.pdo(), write.get()), STATUS_SUCCESS);
        UrbBuffer read = transferUrb(pipes.at(0x85), USBD_TRANSFER_DIRECTION_IN, in.data(), 512);
        EXPECT_EQ(submit(device.pdo(), read.get()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(read->UrbHeader.Status, USBD_STATUS_ERROR_SHORT_TRANSFER);
        EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, 10u);

        // A packet larger than what is left of the buffer is babble: the pipe halts.
        std::vector<uint8_t> big = pattern(512, 4);
        UrbBuffer write2 = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, big.data(), 512);
        ASSERT_EQ(submit(device.pdo(), write2.get()), STATUS_SUCCESS);
        UrbBuffer small = transferUrb(pipes.at(0x85), kIn, in.data(), 100);
        EXPECT_EQ(submit(device.pdo(), small.get()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(small->UrbHeader.Status, USBD_STATUS_DATA_OVERRUN);
    });
}

TEST_F(StackTransferTest, WrongDirectionAndBadBuffersAreRefused) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        std::vector<uint8_t> buffer(512);
        UrbBuffer readOnOut = transferUrb(pipes.at(0x05), kIn, buffer.data(), 512);
        EXPECT_EQ(submit(device.pdo(), readOnOut.get()), STATUS_INVALID_PARAMETER);
        UrbBuffer noBuffer = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, nullptr, 512);
        EXPECT_EQ(submit(device.pdo(), noBuffer.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(noBuffer->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);
        UrbBuffer garbage =
            transferUrb(reinterpret_cast<USBD_PIPE_HANDLE>(uintptr_t(0x1234)), kIn, buffer.data(), 512);
        EXPECT_EQ(submit(device.pdo(), garbage.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(garbage->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    });
}

TEST_F(StackTransferTest, NakedReadWaitsForData) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        std::vector<uint8_t> in(512);
        UrbBuffer read = transferUrb(pipes.at(0x85), kIn, in.data(), 512);
        auto pendingRead = startUrb(device.pdo(), read.get());
        sim::sleepFor(50 * sim::kMillisecond, "test");
        EXPECT_FALSE(pendingRead->completed()) << "nothing to read: NAK keeps it pending";
        std::vector<uint8_t> out = pattern(33, 5);
        UrbBuffer write = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, out.data(), 33);
        ASSERT_EQ(submit(device.pdo(), write.get()), STATUS_SUCCESS);
        ASSERT_EQ(pendingRead->wait(), STATUS_SUCCESS);
        EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, 33u);
        EXPECT_EQ(std::vector<uint8_t>(in.begin(), in.begin() + 33), out);
    });
}

TEST_F(StackTransferTest, CancelledReadCompletesCancelled) {
    devices::Phone& model = phone("fs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        std::vector<uint8_t> in(64);
        UrbBuffer first = transferUrb(pipes.at(0x85), kIn, in.data(), 64);
        UrbBuffer second = transferUrb(pipes.at(0x85), kIn, in.data(), 64);
        auto a = startUrb(device.pdo(), first.get());
        auto b = startUrb(device.pdo(), second.get());
        EXPECT_EQ(device.pendingRequests(), 2u);
        EXPECT_TRUE(a->cancel());
        EXPECT_EQ(a->wait(), STATUS_CANCELLED);
        EXPECT_EQ(first->UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_FALSE(b->completed());
        // The one behind it is now the head and gets the data.
        std::vector<uint8_t> out = pattern(20, 6);
        UrbBuffer write = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, out.data(), 20);
        ASSERT_EQ(submit(device.pdo(), write.get()), STATUS_SUCCESS);
        EXPECT_EQ(b->wait(), STATUS_SUCCESS);
        EXPECT_EQ(second->UrbBulkOrInterruptTransfer.TransferBufferLength, 20u);
    });
}

TEST_F(StackTransferTest, AbortCompletesPendingTransfersFirst) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        std::vector<uint8_t> in(512);
        UrbBuffer r1 = transferUrb(pipes.at(0x85), kIn, in.data(), 512);
        UrbBuffer r2 = transferUrb(pipes.at(0x85), kIn, in.data(), 512);
        UrbBuffer other = transferUrb(pipes.at(0x83), kIn, in.data(), 512);
        auto a = startUrb(device.pdo(), r1.get());
        auto b = startUrb(device.pdo(), r2.get());
        auto c = startUrb(device.pdo(), other.get());
        UrbBuffer abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, pipes.at(0x85));
        auto sentAbort = startUrb(device.pdo(), abort.get());
        ASSERT_EQ(sentAbort->wait(), STATUS_SUCCESS);
        ASSERT_TRUE(a->completed());
        ASSERT_TRUE(b->completed());
        EXPECT_EQ(a->status(), STATUS_CANCELLED);
        EXPECT_EQ(b->status(), STATUS_CANCELLED);
        EXPECT_EQ(r2->UrbHeader.Status, USBD_STATUS_CANCELED);
        EXPECT_FALSE(c->completed()) << "another pipe's transfer stays";
        EXPECT_TRUE(c->cancel());
        EXPECT_EQ(c->wait(), STATUS_CANCELLED);
    });
}

TEST_F(StackTransferTest, StallHaltsThePipeUntilReset) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        device.faults().on(usb::FaultKind::Transfer).endpoint(0x05).times(1).stall();
        std::vector<uint8_t> out = pattern(64, 7);
        UrbBuffer w1 = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, out.data(), 64);
        EXPECT_EQ(submit(device.pdo(), w1.get()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(w1->UrbHeader.Status, USBD_STATUS_STALL_PID);
        UrbBuffer w2 = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, out.data(), 64);
        EXPECT_EQ(submit(device.pdo(), w2.get()), STATUS_UNSUCCESSFUL) << "halted until reset";
        EXPECT_EQ(w2->UrbHeader.Status, USBD_STATUS_STALL_PID);
        UrbBuffer reset = pipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, pipes.at(0x05));
        ASSERT_EQ(submit(device.pdo(), reset.get()), STATUS_SUCCESS);
        UrbBuffer w3 = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, out.data(), 64);
        EXPECT_EQ(submit(device.pdo(), w3.get()), STATUS_SUCCESS);
    });
}

TEST_F(StackTransferTest, EndpointStatusShowsTheHaltUntilAPortReset) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        device.faults().on(usb::FaultKind::Transfer).endpoint(0x85).times(1).stall();
        auto endpointStatus = [&] {
            uint16_t status = 0xFFFF;
            UrbBuffer get{std::vector<uint8_t>(sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST))};
            auto& g = get->UrbControlGetStatusRequest;
            g.Hdr.Length = sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST);
            g.Hdr.Function = URB_FUNCTION_GET_STATUS_FROM_ENDPOINT;
            g.Index = 0x85;
            g.TransferBuffer = &status;
            g.TransferBufferLength = sizeof status;
            EXPECT_EQ(submit(device.pdo(), get.get()), STATUS_SUCCESS);
            return status;
        };
        EXPECT_EQ(endpointStatus(), 0);
        std::vector<uint8_t> in(512);
        UrbBuffer read = transferUrb(pipes.at(0x85), kIn, in.data(), 512);
        EXPECT_EQ(submit(device.pdo(), read.get()), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(endpointStatus(), 1) << "halted";
        EXPECT_EQ(ioctl(device.pdo(), IOCTL_INTERNAL_USB_RESET_PORT), STATUS_SUCCESS);
        EXPECT_EQ(endpointStatus(), 0);

        // A port reset the plan holds back stays pending until cancelled.
        device.faults().on(usb::FaultKind::Reset).times(1).neverAnswer();
        auto held = startIoctl(device.pdo(), IOCTL_INTERNAL_USB_RESET_PORT);
        sim::sleepFor(sim::kSecond, "test");
        EXPECT_FALSE(held->completed());
        EXPECT_TRUE(held->cancel());
        EXPECT_EQ(held->wait(), STATUS_CANCELLED);
    });
}

// Under seeded schedules the completions, cancellations and the abort interleave differently; every
// transfer must still end once, with data or cancelled, and the log stay clean.
class StackSeededTest : public UsbStackTest, public ::testing::WithParamInterface<uint64_t> {
protected:
    sim::SchedulePolicy policy() const override { return sim::SchedulePolicy::seeded(GetParam()); }
};

TEST_P(StackSeededTest, TransfersCancelsAndAbortsInterleave) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        std::vector<std::vector<uint8_t>> buffers(4, std::vector<uint8_t>(1024));
        std::vector<UrbBuffer> reads;
        for (auto& b : buffers)
            reads.push_back(transferUrb(pipes.at(0x85), kIn, b.data(), 1024));
        std::vector<std::unique_ptr<SentIrp>> sent;
        for (auto& r : reads)
            sent.push_back(startUrb(device.pdo(), r.get()));
        sim::Event writerDone;
        sched().spawn("writer", [&] {
            std::vector<uint8_t> out = pattern(700, 9);
            UrbBuffer write = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, out.data(), 700);
            EXPECT_EQ(submit(device.pdo(), write.get()), STATUS_SUCCESS);
            writerDone.set();
        });
        sent[1]->cancel();
        writerDone.wait();
        UrbBuffer abort = pipeUrb(URB_FUNCTION_ABORT_PIPE, pipes.at(0x85));
        EXPECT_EQ(submit(device.pdo(), abort.get()), STATUS_SUCCESS);
        size_t moved = 0;
        for (size_t i = 0; i < sent.size(); ++i) {
            NTSTATUS status = sent[i]->wait();
            EXPECT_TRUE(status == STATUS_SUCCESS || status == STATUS_CANCELLED) << i;
            moved += reads[i]->UrbBulkOrInterruptTransfer.TransferBufferLength;
        }
        EXPECT_EQ(sent[1]->status(), STATUS_CANCELLED);
        // 700 bytes as a 512-byte and a 188-byte packet: what was read plus what is still held is all.
        EXPECT_EQ(moved + model.responder(0x85)->heldBytes(), 700u);
        EXPECT_EQ(device.pendingRequests(), 0u);
    });
}

INSTANTIATE_TEST_SUITE_P(Seeds, StackSeededTest, ::testing::Values(1, 2, 3, 4, 5, 6, 7, 8));

} // namespace
} // namespace zv::test
