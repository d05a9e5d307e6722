// The loopback responder and the link model.
#include "devices/loopback.h"
#include "platform/usb/link.h"

#include <gtest/gtest.h>

namespace zv::devices {
namespace {

using usb::Bytes;
using usb::Handshake;

Bytes bytes(size_t n, uint8_t start = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(start + i);
    return b;
}

TEST(Loopback, EchoesPacketsWithTheirBoundariesAndZeroLengthPackets) {
    LoopbackResponder r;
    const std::vector<Bytes> written = {bytes(512, 0), bytes(512, 7), {}, bytes(300, 9), bytes(1, 42)};
    for (auto& p : written)
        EXPECT_EQ(r.out(p.data(), p.size()), Handshake::Ack);
    EXPECT_EQ(r.heldBytes(), 1325u);
    for (auto& expected : written) {
        Bytes got{0xEE};
        ASSERT_EQ(r.in(got, 512), Handshake::Ack);
        EXPECT_EQ(got, expected);
    }
    Bytes none;
    EXPECT_EQ(r.in(none, 512), Handshake::Nak);
}

TEST(Loopback, SplitsPacketsLargerThanTheInSidesPacketSize) {
    LoopbackResponder r;
    Bytes big = bytes(512, 3);
    r.out(big.data(), big.size());
    Bytes a, b, c, d;
    EXPECT_EQ(r.in(a, 200), Handshake::Ack);
    EXPECT_EQ(r.in(b, 200), Handshake::Ack);
    EXPECT_EQ(r.in(c, 200), Handshake::Ack);
    EXPECT_EQ(r.in(d, 200), Handshake::Nak);
    EXPECT_EQ(a.size() + b.size() + c.size(), 512u);
    a.insert(a.end(), b.begin(), b.end());
    a.insert(a.end(), c.begin(), c.end());
    EXPECT_EQ(a, big);
}

TEST(Loopback, FullResponderHoldsTheHostOffWithoutDroppingBytes) {
    LoopbackResponder r(1024);
    Bytes p = bytes(512);
    EXPECT_EQ(r.out(p.data(), p.size()), Handshake::Ack);
    EXPECT_EQ(r.out(p.data(), p.size()), Handshake::Ack);
    EXPECT_EQ(r.out(p.data(), p.size()), Handshake::Nak);
    EXPECT_EQ(r.heldBytes(), 1024u);
    Bytes got;
    EXPECT_EQ(r.in(got, 512), Handshake::Ack);
    EXPECT_EQ(r.out(p.data(), p.size()), Handshake::Ack) << "room again after a read";
    // A packet larger than the whole capacity is still taken when nothing is held, so it cannot wedge.
    LoopbackResponder tiny(16);
    EXPECT_EQ(tiny.out(p.data(), p.size()), Handshake::Ack);
}

TEST(Link, PacketsFramesAndTime) {
    struct Case {
        size_t bytes;
        uint16_t maxPacket;
        bool zlp;
        usb::Speed speed;
        size_t packets, frames;
        sim::Time duration;
    };
    const Case cases[] = {
        {0, 512, false, usb::Speed::High, 1, 1, 1250},
        {1, 512, false, usb::Speed::High, 1, 1, 1250},
        {512, 512, false, usb::Speed::High, 1, 1, 1250},
        {512, 512, true, usb::Speed::High, 2, 1, 1250},
        {13 * 512, 512, false, usb::Speed::High, 13, 1, 1250},
        {13 * 512 + 1, 512, false, usb::Speed::High, 14, 2, 2500},
        {65536, 512, true, usb::Speed::High, 129, 10, 12500},
        {19 * 64, 64, false, usb::Speed::Full, 19, 1, 10000},
        {19 * 64, 64, true, usb::Speed::Full, 20, 2, 20000},
        {4096, 64, false, usb::Speed::Full, 64, 4, 40000},
    };
    for (const auto& c : cases) {
        size_t packets = usb::packetsFor(c.bytes, c.maxPacket, c.zlp);
        EXPECT_EQ(packets, c.packets) << c.bytes;
        EXPECT_EQ(usb::framesFor(c.speed, packets), c.frames) << c.bytes;
        EXPECT_EQ(usb::durationFor(c.speed, packets), c.duration) << c.bytes;
    }
    EXPECT_EQ(usb::packetsFor(10, 0, false), 0u) << "an endpoint without a packet size carries nothing";
}

} // namespace
} // namespace zv::devices
