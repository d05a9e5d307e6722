// The descriptor builder.
#include "devices/descriptors.h"

#include <cstring>
#include <set>

namespace zv::devices {

std::array<uint8_t, 16> mdlmGuidBytes(const GUID& g) {
    std::array<uint8_t, 16> b{};
    b[0] = uint8_t(g.Data1 >> 24);
    b[1] = uint8_t(g.Data1 >> 16);
    b[2] = uint8_t(g.Data1 >> 8);
    b[3] = uint8_t(g.Data1);
    b[4] = uint8_t(g.Data2 >> 8);
    b[5] = uint8_t(g.Data2);
    b[6] = uint8_t(g.Data3 >> 8);
    b[7] = uint8_t(g.Data3);
    std::memcpy(&b[8], g.Data4, 8);
    return b;
}

Bytes deviceDescriptor(const USB_DEVICE_DESCRIPTOR& d) {
    USB_DEVICE_DESCRIPTOR copy = d;
    copy.bLength = sizeof copy;
    copy.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
    const auto* p = reinterpret_cast<const uint8_t*>(&copy);
    return Bytes(p, p + sizeof copy);
}

namespace {
void put16(Bytes& b, uint16_t v) {
    b.push_back(uint8_t(v));
    b.push_back(uint8_t(v >> 8));
}
} // namespace

ConfigurationBuilder& ConfigurationBuilder::association(uint8_t firstInterface, uint8_t count,
                                                        uint8_t functionClass, uint8_t subClass,
                                                        uint8_t protocol, uint8_t iFunction) {
    descriptors_.push_back({8, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE, firstInterface, count,
                            functionClass, subClass, protocol, iFunction});
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::interface(uint8_t number, uint8_t alternate,
                                                      uint8_t interfaceClass, uint8_t subClass,
                                                      uint8_t protocol, uint8_t iInterface) {
    descriptors_.push_back({9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alternate, 0, interfaceClass, subClass,
                            protocol, iInterface});
    currentInterface_ = descriptors_.size() - 1;
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::endpoint(uint8_t address, uint8_t type, uint16_t maxPacketSize,
                                                     uint8_t interval) {
    Bytes d{7, USB_ENDPOINT_DESCRIPTOR_TYPE, address, type};
    put16(d, maxPacketSize);
    d.push_back(interval);
    descriptors_.push_back(std::move(d));
    if (currentInterface_)
        ++descriptors_[*currentInterface_][4]; // bNumEndpoints
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::cdcHeader(uint16_t bcdCdc) {
    Bytes d{5, kCsInterface, kCdcHeader};
    put16(d, bcdCdc);
    descriptors_.push_back(std::move(d));
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::cdcUnion(uint8_t controlInterface,
                                                     const std::vector<uint8_t>& subordinates) {
    Bytes d{uint8_t(4 + subordinates.size()), kCsInterface, kCdcUnion, controlInterface};
    d.insert(d.end(), subordinates.begin(), subordinates.end());
    descriptors_.push_back(std::move(d));
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::cdcMdlm(const GUID& guid, uint16_t bcdVersion) {
    Bytes d{21, kCsInterface, kCdcMdlm};
    put16(d, bcdVersion);
    auto g = mdlmGuidBytes(guid);
    d.insert(d.end(), g.begin(), g.end());
    descriptors_.push_back(std::move(d));
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::cdcMdlmDetail(uint8_t guidDescriptorType, const Bytes& detail) {
    Bytes d{uint8_t(4 + detail.size()), kCsInterface, kCdcMdlmDetail, guidDescriptorType};
    d.insert(d.end(), detail.begin(), detail.end());
    descriptors_.push_back(std::move(d));
    return *this;
}

ConfigurationBuilder& ConfigurationBuilder::raw(Bytes descriptor) {
    descriptors_.push_back(std::move(descriptor));
    return *this;
}

Bytes ConfigurationBuilder::build(uint8_t configurationValue, uint8_t iConfiguration, uint8_t attributes,
                                  uint8_t maxPower) const {
    std::set<uint8_t> interfaces;
    size_t total = sizeof(USB_CONFIGURATION_DESCRIPTOR);
    for (auto& d : descriptors_) {
        total += d.size();
        if (d.size() >= 3 && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE)
            interfaces.insert(d[2]);
    }
    Bytes out{9, USB_CONFIGURATION_DESCRIPTOR_TYPE};
    put16(out, uint16_t(total));
    out.push_back(uint8_t(interfaces.size()));
    out.push_back(configurationValue);
    out.push_back(iConfiguration);
    out.push_back(attributes);
    out.push_back(maxPower);
    for (auto& d : descriptors_)
        out.insert(out.end(), d.begin(), d.end());
    return out;
}

bool StringTable::set(uint8_t index, std::u16string text, uint16_t language) {
    if (index == 0 || text.size() > (MAXIMUM_USB_STRING_LENGTH - 2) / 2)
        return false;
    strings_[{index, language}] = std::move(text);
    return true;
}

std::optional<Bytes> StringTable::descriptor(uint8_t index, uint16_t language) const {
    Bytes d{0, USB_STRING_DESCRIPTOR_TYPE};
    if (index == 0) {
        for (uint16_t l : languages_)
            put16(d, l);
    } else {
        auto it = strings_.find({index, language});
        if (it == strings_.end())
            return std::nullopt;
        for (char16_t c : it->second)
            put16(d, uint16_t(c));
    }
    d[0] = uint8_t(d.size());
    return d;
}

bool forEachDescriptor(const Bytes& configuration, const std::function<void(const uint8_t*, size_t)>& fn) {
    size_t at = 0;
    while (at < configuration.size()) {
        size_t remaining = configuration.size() - at;
        if (remaining < 2)
            return false;
        size_t length = configuration[at];
        if (length < 2 || length > remaining)
            return false;
        fn(&configuration[at], length);
        at += length;
    }
    return true;
}

} // namespace zv::devices
