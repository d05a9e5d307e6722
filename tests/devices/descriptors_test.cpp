// The descriptor builder: whole configurations checked byte for byte, counts kept consistent, the MDLM
// GUID byte order, string descriptors and the bounded walk.
#include "devices/descriptors.h"

#include <gtest/gtest.h>

namespace zv::devices {
namespace {

// {C2299FCC-D489-4066-892B-10C341DD98A9}
const GUID kDiagGuid = {0xC2299FCC, 0xD489, 0x4066, {0x89, 0x2B, 0x10, 0xC3, 0x41, 0xDD, 0x98, 0xA9}};

TEST(Descriptors, MdlmGuidIsMostSignificantByteFirstThenData4) {
    auto b = mdlmGuidBytes(kDiagGuid);
    EXPECT_EQ(Bytes(b.begin(), b.end()), (Bytes{0xC2, 0x29, 0x9F, 0xCC, 0xD4, 0x89, 0x40, 0x66, 0x89, 0x2B,
                                                0x10, 0xC3, 0x41, 0xDD, 0x98, 0xA9}));
}

TEST(Descriptors, ConfigurationIsBuiltWithConsistentLengthsAndCounts) {
    Bytes config = ConfigurationBuilder()
                       .association(0, 2, 0x02, 0x02, 0x01)
                       .interface(0, 0, 0x02, 0x02, 0x01)
                       .cdcHeader()
                       .cdcUnion(0, {1})
                       .endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 9)
                       .interface(1, 0, 0x0A, 0x00, 0x00)
                       .endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 512)
                       .endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 512)
                       .interface(2, 0, 0x02, 0x0A, 0x01)
                       .cdcHeader()
                       .cdcMdlm(kDiagGuid)
                       .cdcMdlmDetail(0x00, {0x01, 0x02})
                       .interface(2, 1, 0x02, 0x0A, 0x01) // an alternate setting is not another interface
                       .build();
    const Bytes expected = {
        9,    2,    0,    0,    3,    1,    0,    0x80, 250, // configuration (wTotalLength patched below)
        8,    0x0B, 0,    2,    0x02, 0x02, 0x01, 0,         // association
        9,    4,    0,    0,    1,    0x02, 0x02, 0x01, 0,   // interface 0, one endpoint
        5,    0x24, 0x00, 0x10, 0x01,                        // header, CDC 1.10
        5,    0x24, 0x06, 0,    1,                           // union
        7,    5,    0x81, 3,    16,   0,    9,               // interrupt in
        9,    4,    1,    0,    2,    0x0A, 0,    0,    0,   // interface 1, two endpoints
        7,    5,    0x82, 2,    0x00, 0x02, 0,               // bulk in 512
        7,    5,    0x02, 2,    0x00, 0x02, 0,               // bulk out 512
        9,    4,    2,    0,    0,    0x02, 0x0A, 0x01, 0,   // interface 2
        5,    0x24, 0x00, 0x10, 0x01,                        // header
        21,   0x24, 0x12, 0x00, 0x01, 0xC2, 0x29, 0x9F, 0xCC, 0xD4, 0x89,
        0x40, 0x66, 0x89, 0x2B, 0x10, 0xC3, 0x41, 0xDD, 0x98, 0xA9, // MDLM
        6,    0x24, 0x13, 0x00, 0x01, 0x02,                         // MDLM detail
        9,    4,    2,    1,    0,    0x02, 0x0A, 0x01, 0,          // interface 2, alternate 1
    };
    Bytes withLength = expected;
    withLength[2] = uint8_t(expected.size());
    withLength[3] = uint8_t(expected.size() >> 8);
    EXPECT_EQ(config, withLength);
}

TEST(Descriptors, DeviceDescriptorFillsLengthAndType) {
    USB_DEVICE_DESCRIPTOR d{};
    d.bcdUSB = 0x0200;
    d.bDeviceClass = 0xEF;
    d.idVendor = 0x1a2b;
    d.idProduct = 0x3c4d;
    d.bcdDevice = 0x0100;
    d.bNumConfigurations = 1;
    Bytes b = deviceDescriptor(d);
    ASSERT_EQ(b.size(), 18u);
    EXPECT_EQ(b[0], 18);
    EXPECT_EQ(b[1], USB_DEVICE_DESCRIPTOR_TYPE);
    EXPECT_EQ(b[8], 0x2b);
    EXPECT_EQ(b[9], 0x1a);
}

TEST(Descriptors, StringsByIndexAndLanguage) {
    StringTable strings({0x0409, 0x0407});
    EXPECT_TRUE(strings.set(2, u"Phone"));
    EXPECT_TRUE(strings.set(2, u"Telefon", 0x0407));
    EXPECT_FALSE(strings.set(0, u"not a string index"));
    EXPECT_FALSE(strings.set(3, std::u16string(127, u'x'))) << "127 characters do not fit in bLength";
    EXPECT_TRUE(strings.set(3, std::u16string(126, u'x')));

    EXPECT_EQ(strings.descriptor(0, 0), (Bytes{6, 3, 0x09, 0x04, 0x07, 0x04}));
    EXPECT_EQ(strings.descriptor(2, 0x0409), (Bytes{12, 3, 'P', 0, 'h', 0, 'o', 0, 'n', 0, 'e', 0}));
    EXPECT_EQ(strings.descriptor(2, 0x0407)->size(), 16u);
    EXPECT_EQ(strings.descriptor(3, 0x0409)->at(0), 254);
    EXPECT_FALSE(strings.descriptor(2, 0x0411).has_value());
    EXPECT_FALSE(strings.descriptor(9, 0x0409).has_value());
}

TEST(Descriptors, WalkIsBoundedByTheBuffer) {
    struct Case {
        const char* name;
        Bytes blob;
        bool complete;
        size_t seen;
    };
    const Case cases[] = {
        {"well formed", {9, 2, 18, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0xff, 0, 0, 0}, true, 2},
        {"zero length stops", {9, 2, 0, 0, 0, 0, 0, 0, 0, 0, 4}, false, 1},
        {"length past the end", {9, 2, 0, 0, 0, 0, 0, 0, 0, 9, 4, 0}, false, 1},
        {"one stray byte", {9, 2, 0, 0, 0, 0, 0, 0, 0, 7}, false, 1},
        {"empty", {}, true, 0},
    };
    for (const auto& c : cases) {
        size_t seen = 0;
        EXPECT_EQ(forEachDescriptor(c.blob, [&](const uint8_t*, size_t) { ++seen; }), c.complete) << c.name;
        EXPECT_EQ(seen, c.seen) << c.name;
    }
}

} // namespace
} // namespace zv::devices
