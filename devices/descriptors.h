// The descriptor builder: device, configuration, interface association, interface (with alternate
// settings), endpoint, the CDC header / union / MDLM / MDLM detail functional descriptors, and string
// descriptors in a language. A simulated device builds its descriptors with it, so the lengths and counts
// (wTotalLength, bNumInterfaces, bNumEndpoints) are always consistent unless a profile overrides them on
// purpose to model a broken device.
#ifndef ZV_DEVICES_DESCRIPTORS_H
#define ZV_DEVICES_DESCRIPTORS_H

#include <usb200.h>

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace zv::devices {

using Bytes = std::vector<uint8_t>;

// CDC class-specific descriptor codes.
inline constexpr uint8_t kCsInterface = 0x24;
inline constexpr uint8_t kCdcHeader = 0x00;
inline constexpr uint8_t kCdcUnion = 0x06;
inline constexpr uint8_t kCdcMdlm = 0x12;
inline constexpr uint8_t kCdcMdlmDetail = 0x13;

// A GUID in the byte order an MDLM functional descriptor carries it: Data1, Data2 and Data3 most
// significant byte first, then the eight Data4 bytes.
std::array<uint8_t, 16> mdlmGuidBytes(const GUID& guid);

Bytes deviceDescriptor(const USB_DEVICE_DESCRIPTOR& d); // bLength and type filled in

class ConfigurationBuilder {
public:
    ConfigurationBuilder& association(uint8_t firstInterface, uint8_t count, uint8_t functionClass,
                                      uint8_t subClass, uint8_t protocol, uint8_t iFunction = 0);
    // Endpoints added after an interface belong to it (its bNumEndpoints counts them).
    ConfigurationBuilder& interface(uint8_t number, uint8_t alternate, uint8_t interfaceClass,
                                    uint8_t subClass, uint8_t protocol, uint8_t iInterface = 0);
    ConfigurationBuilder& endpoint(uint8_t address, uint8_t type, uint16_t maxPacketSize,
                                   uint8_t interval = 0);
    ConfigurationBuilder& cdcHeader(uint16_t bcdCdc = 0x0110);
    ConfigurationBuilder& cdcUnion(uint8_t controlInterface, const std::vector<uint8_t>& subordinates);
    ConfigurationBuilder& cdcMdlm(const GUID& guid, uint16_t bcdVersion = 0x0100);
    ConfigurationBuilder& cdcMdlmDetail(uint8_t guidDescriptorType, const Bytes& detail);
    // Any other descriptor, as given (its first byte should be its length).
    ConfigurationBuilder& raw(Bytes descriptor);

    // The whole configuration: header with wTotalLength and bNumInterfaces (distinct interface numbers).
    Bytes build(uint8_t configurationValue = 1, uint8_t iConfiguration = 0, uint8_t attributes = 0x80,
                uint8_t maxPower = 250) const;

private:
    std::vector<Bytes> descriptors_;
    std::optional<size_t> currentInterface_; // index into descriptors_
};

// String descriptors by index and language; index 0 answers the language list.
class StringTable {
public:
    explicit StringTable(std::vector<uint16_t> languages = {0x0409}) : languages_(std::move(languages)) {}
    // Strings longer than 126 characters do not fit a descriptor and are refused (false).
    bool set(uint8_t index, std::u16string text, uint16_t language = 0x0409);
    // The descriptor, or nothing (the device stalls the request) for an unknown index or language.
    std::optional<Bytes> descriptor(uint8_t index, uint16_t language) const;
    const std::vector<uint16_t>& languages() const { return languages_; }

private:
    std::vector<uint16_t> languages_;
    std::map<std::pair<uint8_t, uint16_t>, std::u16string> strings_;
};

// Walks a configuration's descriptors, bounded by the buffer: each step checks bLength against what
// remains. Returns false for a truncated or zero-length descriptor.
bool forEachDescriptor(const Bytes& configuration,
                       const std::function<void(const uint8_t* d, size_t length)>& fn);

} // namespace zv::devices

#endif // ZV_DEVICES_DESCRIPTORS_H
