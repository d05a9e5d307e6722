// A simulated phone.
#include "devices/phone.h"

namespace zv::devices {

Phone::Phone(PhoneProfile profile) : profile_(std::move(profile)) {
    forEachDescriptor(profile_.configuration, [&](const uint8_t* d, size_t length) {
        if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE && length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            uint8_t address = d[2];
            uint8_t type = d[3] & USB_ENDPOINT_TYPE_MASK;
            endpointTypes_[address] = type;
            if (type == USB_ENDPOINT_TYPE_BULK)
                responders_.try_emplace(uint8_t(address & 0x0F));
        }
    });
}

usb::Bytes Phone::deviceDescriptor() const {
    return devices::deviceDescriptor(profile_.device);
}

std::optional<usb::Bytes> Phone::stringDescriptor(uint8_t index, uint16_t language) const {
    return profile_.strings.descriptor(index, language);
}

LoopbackResponder* Phone::responder(uint8_t endpointAddress) {
    auto type = endpointTypes_.find(endpointAddress);
    if (type == endpointTypes_.end() || type->second != USB_ENDPOINT_TYPE_BULK)
        return nullptr;
    auto it = responders_.find(uint8_t(endpointAddress & 0x0F));
    return it == responders_.end() ? nullptr : &it->second;
}

usb::Handshake Phone::out(uint8_t endpointAddress, const uint8_t* data, size_t length) {
    if (USB_ENDPOINT_DIRECTION_IN(endpointAddress))
        return usb::Handshake::Stall;
    LoopbackResponder* r = responder(endpointAddress);
    if (r == nullptr)
        return usb::Handshake::Stall;
    usb::Handshake h = r->out(data, length);
    if (h == usb::Handshake::Ack)
        signalReady(uint8_t(0x80 | (endpointAddress & 0x0F)));
    return h;
}

usb::Handshake Phone::in(uint8_t endpointAddress, usb::Bytes& packet, size_t maxPacket) {
    if (!USB_ENDPOINT_DIRECTION_IN(endpointAddress))
        return usb::Handshake::Stall;
    auto type = endpointTypes_.find(endpointAddress);
    if (type == endpointTypes_.end())
        return usb::Handshake::Stall;
    if (type->second == USB_ENDPOINT_TYPE_INTERRUPT)
        return usb::Handshake::Nak;
    LoopbackResponder* r = responder(endpointAddress);
    if (r == nullptr)
        return usb::Handshake::Stall;
    usb::Handshake h = r->in(packet, maxPacket);
    if (h == usb::Handshake::Ack)
        signalReady(uint8_t(endpointAddress & 0x0F)); // room again on the OUT side
    return h;
}

} // namespace zv::devices
