// The loopback responder.
#include "devices/loopback.h"

namespace zv::devices {

usb::Handshake LoopbackResponder::out(const uint8_t* data, size_t length) {
    if (held_ + length > capacity_ && !packets_.empty())
        return usb::Handshake::Nak;
    packets_.emplace_back(data, data + length);
    held_ += length;
    return usb::Handshake::Ack;
}

usb::Handshake LoopbackResponder::in(usb::Bytes& packet, size_t maxPacket) {
    if (packets_.empty() || maxPacket == 0)
        return usb::Handshake::Nak;
    usb::Bytes& head = packets_.front();
    if (head.size() <= maxPacket) {
        packet = std::move(head);
        packets_.pop_front();
    } else {
        packet.assign(head.begin(), head.begin() + std::ptrdiff_t(maxPacket));
        head.erase(head.begin(), head.begin() + std::ptrdiff_t(maxPacket));
    }
    held_ -= packet.size();
    return usb::Handshake::Ack;
}

void LoopbackResponder::reset() {
    packets_.clear();
    held_ = 0;
}

} // namespace zv::devices
