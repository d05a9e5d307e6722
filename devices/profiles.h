// The built-in phone profiles: descriptors and strings of simulated phones.
//   hs-phone   high speed, class 0xEF/0x02/0x01: an association over a CDC ACM modem (interfaces 0 and 1),
//              a vendor-specific interface (2), a mass-storage interface with an alternate setting (3) and
//              the diagnostic MDLM interface (4) with its bulk IN and OUT endpoints;
//   fs-phone   the same phone at full speed (64-byte bulk packets);
//   cdc-phone  class 0x02 without associations: a communication interface with a union over its data
//              interface, and the diagnostic MDLM interface.
#ifndef ZV_DEVICES_PROFILES_H
#define ZV_DEVICES_PROFILES_H

#include "devices/descriptors.h"
#include "platform/usb/link.h"

#include <string>
#include <string_view>
#include <vector>

namespace zv::devices {

// {C2299FCC-D489-4066-892B-10C341DD98A9}: the diagnostic function's MDLM GUID.
inline constexpr GUID kDiagnosticMdlmGuid = {
    0xC2299FCC, 0xD489, 0x4066, {0x89, 0x2B, 0x10, 0xC3, 0x41, 0xDD, 0x98, 0xA9}};

using Speed = usb::Speed;

struct PhoneProfile {
    std::string name;
    std::string description;
    Speed speed = Speed::High;
    USB_DEVICE_DESCRIPTOR device{};
    Bytes configuration;
    StringTable strings;
    uint8_t diagnosticInterface = 0;
    uint8_t diagnosticBulkIn = 0; // endpoint addresses behind which the loopback responder sits
    uint8_t diagnosticBulkOut = 0;
};

// String indexes every profile uses.
inline constexpr uint8_t kManufacturerString = 1;
inline constexpr uint8_t kProductString = 2;
inline constexpr uint8_t kSerialNumberString = 3;

const std::vector<std::string>& profileNames();
// False for an unknown name.
bool makeProfile(std::string_view name, PhoneProfile* out);

} // namespace zv::devices

#endif // ZV_DEVICES_PROFILES_H
