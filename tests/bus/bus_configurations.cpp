// Configuration descriptors for the interface-grouping tests and benchmarks.
#include "tests/bus/bus_configurations.h"

namespace zv::test {

namespace {

using devices::Bytes;
using devices::ConfigurationBuilder;

// The descriptors a builder made, without their configuration header.
Bytes body(const ConfigurationBuilder& builder) {
    Bytes all = builder.build();
    return Bytes(all.begin() + sizeof(USB_CONFIGURATION_DESCRIPTOR), all.end());
}

Bytes join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

// Each piece appends itself to a builder, so a fixture and its oracle are made from the same steps.
ConfigurationBuilder& acmModem(ConfigurationBuilder& b, uint8_t number, uint8_t dataInterface,
                               uint8_t iInterface = 0) {
    return b.interface(number, 0, 0x02, 0x02, 0x01, iInterface)
        .cdcHeader()
        .cdcUnion(number, {dataInterface})
        .endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 16, 9);
}
ConfigurationBuilder& dataInterface(ConfigurationBuilder& b, uint8_t number) {
    return b.interface(number, 0, 0x0A, 0x00, 0x00)
        .endpoint(0x81, USB_ENDPOINT_TYPE_BULK, 512)
        .endpoint(0x01, USB_ENDPOINT_TYPE_BULK, 512);
}
ConfigurationBuilder& vendor(ConfigurationBuilder& b, uint8_t number, uint8_t iInterface = 0) {
    return b.interface(number, 0, 0xFF, 0xFF, 0xFF, iInterface)
        .endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 512)
        .endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 512);
}
ConfigurationBuilder& massStorage(ConfigurationBuilder& b, uint8_t number) {
    return b.interface(number, 0, 0x08, 0x06, 0x50)
        .endpoint(0x84, USB_ENDPOINT_TYPE_BULK, 512)
        .endpoint(0x04, USB_ENDPOINT_TYPE_BULK, 512);
}
ConfigurationBuilder& mdlm(ConfigurationBuilder& b, uint8_t number) {
    return b.interface(number, 0, 0x02, 0x0A, 0x01)
        .cdcHeader()
        .cdcMdlm(devices::kDiagnosticMdlmGuid)
        .endpoint(0x85, USB_ENDPOINT_TYPE_BULK, 512)
        .endpoint(0x05, USB_ENDPOINT_TYPE_BULK, 512);
}

template <class... Steps>
ConfigurationBuilder make(Steps... steps) {
    ConfigurationBuilder b;
    (steps(b), ...);
    return b;
}

} // namespace

std::vector<GroupingFixture> groupingFixtures() {
    std::vector<GroupingFixture> out;

    {
        auto association = [](ConfigurationBuilder& b) {
            b.association(0, 2, 0x02, 0x02, 0x01, kModemString);
        };
        auto modem = [](ConfigurationBuilder& b) { acmModem(b, 0, 1); };
        auto data = [](ConfigurationBuilder& b) { dataInterface(b, 1); };
        auto vend = [](ConfigurationBuilder& b) { vendor(b, 2, kVendorString); };
        auto msc = [](ConfigurationBuilder& b) { massStorage(b, 3); };
        out.push_back({"association-cdc-vendor-msc",
                       0xEF,
                       0x02,
                       0x01,
                       make(association, modem, data, vend, msc).build(),
                       true,
                       {{0, 0x02, 0x02, 0x01, 2, body(make(association, modem, data)), u"Modem"},
                        {2, 0xFF, 0xFF, 0xFF, 1, body(make(vend)), u"Vendor"},
                        {3, 0x08, 0x06, 0x50, 1, body(make(msc)), u""}}});
    }
    {
        auto modem = [](ConfigurationBuilder& b) { acmModem(b, 0, 1); };
        auto data = [](ConfigurationBuilder& b) { dataInterface(b, 1); };
        auto diag = [](ConfigurationBuilder& b) { mdlm(b, 2); };
        out.push_back({"cdc-union-mdlm",
                       0x02,
                       0x00,
                       0x00,
                       make(modem, data, diag).build(),
                       true,
                       {{0, 0x02, 0x02, 0x01, 2, join({body(make(modem)), body(make(data))}), u""},
                        {2, 0x02, 0x0A, 0x01, 1, body(make(diag)), u""}}});
    }
    {
        // The data interface comes first: the union's bundle is cut out of the middle of the
        // configuration, not taken from what follows the communication interface.
        auto data = [](ConfigurationBuilder& b) { dataInterface(b, 1); };
        auto modem = [](ConfigurationBuilder& b) { acmModem(b, 0, 1); };
        out.push_back({"cdc-data-first",
                       0x00,
                       0x00,
                       0x00,
                       make(data, modem).build(),
                       true,
                       {{0, 0x02, 0x02, 0x01, 2, join({body(make(modem)), body(make(data))}), u""}}});
    }
    out.push_back({"skipped-classes",
                   0x00,
                   0x00,
                   0x00,
                   ConfigurationBuilder()
                       .interface(0, 0, 0x02, 0x02, 0x00)
                       .endpoint(0x83, USB_ENDPOINT_TYPE_INTERRUPT, 16, 9)
                       .interface(1, 0, 0x03, 0x01, 0x01)
                       .endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 8, 10)
                       .build(),
                   true,
                   {}});
    out.push_back({"association-wrong-numbers",
                   0xEF,
                   0x02,
                   0x01,
                   ConfigurationBuilder()
                       .association(3, 2, 0xFF, 0x00, 0x00)
                       .interface(3, 0, 0xFF, 0x00, 0x00)
                       .interface(5, 0, 0xFF, 0x00, 0x00)
                       .build(),
                   false,
                   {}});
    {
        ConfigurationBuilder b;
        acmModem(b, 0, 7);
        dataInterface(b, 1);
        out.push_back({"union-names-missing-interface", 0x02, 0x00, 0x00, b.build(), false, {}});
    }
    {
        auto modem = [](ConfigurationBuilder& b) { acmModem(b, 0, 1); };
        auto vend = [](ConfigurationBuilder& b) { vendor(b, 1); };
        out.push_back({"union-names-vendor-interface",
                       0x02,
                       0x00,
                       0x00,
                       make(modem, vend).build(),
                       true,
                       {{0, 0x02, 0x02, 0x01, 2, join({body(make(modem)), body(make(vend))}), u""},
                        {1, 0xFF, 0xFF, 0xFF, 1, body(make(vend)), u""}}});
    }
    {
        // Mass storage with an alternate setting: one function holding both settings.
        auto msc = [](ConfigurationBuilder& b) {
            massStorage(b, 0);
            b.interface(0, 1, 0x08, 0x06, 0x62).endpoint(0x84, USB_ENDPOINT_TYPE_BULK, 512);
        };
        auto vend = [](ConfigurationBuilder& b) { vendor(b, 1, kVendorString); };
        out.push_back({"alternate-settings",
                       0x00,
                       0x00,
                       0x00,
                       make(msc, vend).build(),
                       true,
                       {{0, 0x08, 0x06, 0x50, 1, body(make(msc)), u""},
                        {1, 0xFF, 0xFF, 0xFF, 1, body(make(vend)), u"Vendor"}}});
    }
    return out;
}

devices::PhoneProfile profileFor(uint8_t deviceClass, uint8_t deviceSubClass, uint8_t deviceProtocol,
                                 const devices::Bytes& configuration) {
    devices::PhoneProfile profile;
    devices::makeProfile("hs-phone", &profile);
    profile.device.bDeviceClass = deviceClass;
    profile.device.bDeviceSubClass = deviceSubClass;
    profile.device.bDeviceProtocol = deviceProtocol;
    profile.configuration = configuration;
    profile.strings.set(kModemString, u"Modem");
    profile.strings.set(kVendorString, u"Vendor");
    return profile;
}

devices::Bytes vendorFunctions(unsigned functions) {
    ConfigurationBuilder b;
    for (unsigned i = 0; i < functions; ++i)
        vendor(b, uint8_t(i));
    return b.build();
}

} // namespace zv::test
