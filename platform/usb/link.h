// The USB link model: how much bulk traffic a (micro)frame carries at each speed. High speed carries at
// most 13 packets of 512 bytes per 125-microsecond microframe, full speed 19 packets of 64 bytes per
// 1-millisecond frame; the USB stack schedules transfers on the virtual clock by these numbers.
#ifndef ZV_USB_LINK_H
#define ZV_USB_LINK_H

#include "platform/sim/scheduler.h"

#include <cstddef>
#include <cstdint>

namespace zv::usb {

enum class Speed { Full, High };

struct LinkTiming {
    sim::Time frame;        // one frame (full speed) or microframe (high speed)
    unsigned bulkPackets;   // bulk packets per frame at most
    uint16_t maxBulkPacket; // bytes
};

constexpr LinkTiming timing(Speed speed) {
    return speed == Speed::High ? LinkTiming{125 * sim::kMicrosecond, 13, 512}
                                : LinkTiming{sim::kMillisecond, 19, 64};
}

// Packets a transfer of `bytes` takes on an endpoint of `maxPacket`: whole packets, then a short one; a
// zero-length packet is sent after a whole multiple when `zeroLengthPacket` is asked for (and an empty
// transfer is one zero-length packet).
size_t packetsFor(size_t bytes, uint16_t maxPacket, bool zeroLengthPacket);

// Frames those packets occupy on a link that carries nothing else, and the virtual time that takes.
size_t framesFor(Speed speed, size_t packets);
sim::Time durationFor(Speed speed, size_t packets);

} // namespace zv::usb

#endif // ZV_USB_LINK_H
