// A simulated phone: descriptors from its profile, loopback on each bulk pair, readiness signalled to the
// stack, and stalls for endpoints it does not have.
#include "devices/phone.h"

#include <gtest/gtest.h>

#include <vector>

namespace zv::devices {
namespace {

struct RecordingPort : usb::DevicePort {
    std::vector<uint8_t> ready;
    void endpointReady(uint8_t address) override { ready.push_back(address); }
};

Phone makePhone(const char* name) {
    PhoneProfile p;
    EXPECT_TRUE(makeProfile(name, &p));
    return Phone(std::move(p));
}

TEST(Phone, AnswersDescriptorsFromItsProfile) {
    Phone phone = makePhone("hs-phone");
    usb::Bytes d = phone.deviceDescriptor();
    ASSERT_EQ(d.size(), 18u);
    EXPECT_EQ(d[4], 0xEF);
    EXPECT_EQ(phone.configurationDescriptor(), phone.profile().configuration);
    auto serial = phone.stringDescriptor(kSerialNumberString, 0x0409);
    ASSERT_TRUE(serial.has_value());
    EXPECT_EQ(serial->size(), 2u + 6 * 2);
    EXPECT_EQ(phone.speed(), usb::Speed::High);
}

TEST(Phone, DiagnosticPipesLoopBackAndSignalReadiness) {
    Phone phone = makePhone("fs-phone");
    RecordingPort port;
    phone.attach(&port);
    const uint8_t out = phone.profile().diagnosticBulkOut, in = phone.profile().diagnosticBulkIn;
    const uint8_t data[] = {1, 2, 3};
    EXPECT_EQ(phone.out(out, data, sizeof data), usb::Handshake::Ack);
    EXPECT_EQ(port.ready, std::vector<uint8_t>{in});
    usb::Bytes packet;
    EXPECT_EQ(phone.in(in, packet, 64), usb::Handshake::Ack);
    EXPECT_EQ(packet, (usb::Bytes{1, 2, 3}));
    EXPECT_EQ(phone.in(in, packet, 64), usb::Handshake::Nak);
    // The vendor pair has a responder of its own.
    EXPECT_EQ(phone.in(0x83, packet, 64), usb::Handshake::Nak);
}

TEST(Phone, EndpointsItDoesNotHaveStallAndInterruptEndpointsNak) {
    Phone phone = makePhone("hs-phone");
    usb::Bytes packet;
    const uint8_t data[] = {0};
    struct Case {
        uint8_t address;
        bool isIn;
        usb::Handshake expected;
    };
    const Case cases[] = {
        {0x81, true, usb::Handshake::Nak},    // interrupt IN of the modem
        {0x8F, true, usb::Handshake::Stall},  // no such endpoint
        {0x0F, false, usb::Handshake::Stall}, // no such endpoint
        {0x85, false, usb::Handshake::Stall}, // OUT traffic to an IN endpoint
        {0x05, true, usb::Handshake::Stall},  // IN traffic from an OUT endpoint
    };
    for (const auto& c : cases) {
        usb::Handshake h = c.isIn ? phone.in(c.address, packet, 512) : phone.out(c.address, data, 1);
        EXPECT_EQ(h, c.expected) << int(c.address);
    }
}

} // namespace
} // namespace zv::devices
