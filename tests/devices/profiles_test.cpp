// The built-in phone profiles: well-formed configurations whose parts are where the profiles say.
#include "devices/profiles.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>

namespace zv::devices {
namespace {

TEST(Profiles, EveryProfileIsWellFormedAndCarriesTheDiagnosticFunction) {
    for (const auto& name : profileNames()) {
        SCOPED_TRACE(name);
        PhoneProfile p;
        ASSERT_TRUE(makeProfile(name, &p));
        const Bytes& c = p.configuration;
        ASSERT_GE(c.size(), 9u);
        EXPECT_EQ(size_t(c[2] | c[3] << 8), c.size()) << "wTotalLength";

        std::set<int> interfaces;
        bool inDiag = false, mdlmSeen = false;
        std::set<int> diagEndpoints;
        uint16_t bulkPacket = 0;
        EXPECT_TRUE(forEachDescriptor(c, [&](const uint8_t* d, size_t) {
            if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
                interfaces.insert(d[2]);
                inDiag = d[2] == p.diagnosticInterface;
                if (inDiag) {
                    EXPECT_EQ(d[5], 0x02);
                    EXPECT_EQ(d[6], 0x0A);
                    EXPECT_EQ(d[7], 0x01);
                }
            } else if (inDiag && d[1] == kCsInterface && d[2] == kCdcMdlm) {
                auto g = mdlmGuidBytes(kDiagnosticMdlmGuid);
                EXPECT_EQ(std::memcmp(d + 5, g.data(), 16), 0);
                mdlmSeen = true;
            } else if (inDiag && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
                EXPECT_EQ(d[3], USB_ENDPOINT_TYPE_BULK);
                diagEndpoints.insert(d[2]);
                bulkPacket = uint16_t(d[4] | d[5] << 8);
            }
        }));
        EXPECT_EQ(size_t(c[4]), interfaces.size()) << "bNumInterfaces";
        EXPECT_TRUE(mdlmSeen);
        EXPECT_EQ(diagEndpoints, (std::set<int>{p.diagnosticBulkIn, p.diagnosticBulkOut}));
        EXPECT_EQ(bulkPacket, p.speed == Speed::High ? 512 : 64);
        EXPECT_EQ(p.device.idVendor, 0x1a2b);
        EXPECT_EQ(p.device.idProduct, 0x3c4d);
        ASSERT_TRUE(p.strings.descriptor(kSerialNumberString, 0x0409).has_value());
    }
    PhoneProfile p;
    EXPECT_FALSE(makeProfile("no-such-phone", &p));
}

} // namespace
} // namespace zv::devices
