// A simulated phone: a profile's descriptors and strings, a loopback responder behind every bulk endpoint
// pair (the OUT endpoint n and the IN endpoint 0x80 | n), and NAK on interrupt endpoints (nothing to
// report). Standard requests it cannot answer stall, as a device's default branch does.
#ifndef ZV_DEVICES_PHONE_H
#define ZV_DEVICES_PHONE_H

#include "devices/loopback.h"
#include "devices/profiles.h"
#include "platform/usb/device_model.h"

#include <map>

namespace zv::devices {

class Phone : public usb::DeviceModel {
public:
    explicit Phone(PhoneProfile profile);

    const PhoneProfile& profile() const { return profile_; }
    usb::Speed speed() const override { return profile_.speed; }
    usb::Bytes deviceDescriptor() const override;
    usb::Bytes configurationDescriptor() const override { return profile_.configuration; }
    std::optional<usb::Bytes> stringDescriptor(uint8_t index, uint16_t language) const override;

    usb::Handshake out(uint8_t endpointAddress, const uint8_t* data, size_t length) override;
    usb::Handshake in(uint8_t endpointAddress, usb::Bytes& packet, size_t maxPacket) override;

    // The responder of a bulk pair by either of its endpoint addresses; nullptr for others.
    LoopbackResponder* responder(uint8_t endpointAddress);

private:
    PhoneProfile profile_;
    std::map<uint8_t, LoopbackResponder> responders_; // by endpoint number
    std::map<uint8_t, uint8_t> endpointTypes_;        // by endpoint address
};

} // namespace zv::devices

#endif // ZV_DEVICES_PHONE_H
