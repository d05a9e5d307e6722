// The USB link model.
#include "platform/usb/link.h"

namespace zv::usb {

size_t packetsFor(size_t bytes, uint16_t maxPacket, bool zeroLengthPacket) {
    if (maxPacket == 0)
        return 0;
    if (bytes == 0)
        return 1;
    size_t packets = (bytes + maxPacket - 1) / maxPacket;
    if (zeroLengthPacket && bytes % maxPacket == 0)
        ++packets;
    return packets;
}

size_t framesFor(Speed speed, size_t packets) {
    const LinkTiming t = timing(speed);
    return (packets + t.bulkPackets - 1) / t.bulkPackets;
}

sim::Time durationFor(Speed speed, size_t packets) {
    return sim::Time(framesFor(speed, packets)) * timing(speed).frame;
}

} // namespace zv::usb
