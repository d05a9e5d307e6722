// The loopback responder behind a pair of bulk endpoints: every OUT packet comes back as an IN packet,
// unchanged and in order, zero-length packets included, so the transfer boundaries a host writes are the
// ones it reads back. When the bytes held reach the capacity, further OUT packets are NAKed: the host is
// held off and nothing is dropped.
#ifndef ZV_DEVICES_LOOPBACK_H
#define ZV_DEVICES_LOOPBACK_H

#include "platform/usb/device_model.h"

#include <deque>

namespace zv::devices {

class LoopbackResponder {
public:
    explicit LoopbackResponder(size_t capacityBytes = 64 * 1024) : capacity_(capacityBytes) {}

    usb::Handshake out(const uint8_t* data, size_t length);
    // NAK when nothing is held; a packet longer than maxPacket (the OUT side's packets were larger) is
    // split, so every IN packet fits.
    usb::Handshake in(usb::Bytes& packet, size_t maxPacket);

    size_t heldBytes() const { return held_; }
    size_t heldPackets() const { return packets_.size(); }
    void reset();

private:
    size_t capacity_;
    size_t held_ = 0;
    std::deque<usb::Bytes> packets_;
};

} // namespace zv::devices

#endif // ZV_DEVICES_LOOPBACK_H
