// The interface a simulated USB device implements. The USB stack talks to a model packet by packet, as a
// host controller would: standard descriptor requests are answered from the model's descriptors, class and
// vendor requests go to control(), and bulk or interrupt traffic to in() and out(). A model that has
// nothing to send (or cannot take more) answers NAK, and tells the stack through its port when that changes.
#ifndef ZV_USB_DEVICE_MODEL_H
#define ZV_USB_DEVICE_MODEL_H

#include "platform/usb/link.h"

#include <cstdint>
#include <optional>
#include <vector>

namespace zv::usb {

using Bytes = std::vector<uint8_t>;

struct SetupPacket {
    uint8_t bmRequestType = 0;
    uint8_t bRequest = 0;
    uint16_t wValue = 0;
    uint16_t wIndex = 0;
    uint16_t wLength = 0;
};

enum class Handshake { Ack, Nak, Stall };

// What the stack offers a model: a way to say an endpoint that NAKed is ready now.
class DevicePort {
public:
    virtual ~DevicePort() = default;
    virtual void endpointReady(uint8_t endpointAddress) = 0;
};

class DeviceModel {
public:
    virtual ~DeviceModel() = default;

    virtual Speed speed() const = 0;
    virtual Bytes deviceDescriptor() const = 0;
    virtual Bytes configurationDescriptor() const = 0;
    virtual std::optional<Bytes> stringDescriptor(uint8_t index, uint16_t language) const = 0;

    // Class and vendor requests; `data` carries the OUT stage or receives the IN stage (at most wLength).
    virtual Handshake control(const SetupPacket& setup, Bytes& data) {
        (void)setup;
        (void)data;
        return Handshake::Stall;
    }
    // One OUT packet (empty: a zero-length packet).
    virtual Handshake out(uint8_t endpointAddress, const uint8_t* data, size_t length) = 0;
    // One IN packet of at most maxPacket bytes into `packet` (empty: a zero-length packet).
    virtual Handshake in(uint8_t endpointAddress, Bytes& packet, size_t maxPacket) = 0;

    virtual void configured(uint8_t configurationValue) { (void)configurationValue; }
    virtual void interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting) {
        (void)interfaceNumber;
        (void)alternateSetting;
    }
    virtual void endpointReset(uint8_t endpointAddress) { (void)endpointAddress; }

    void attach(DevicePort* port) { port_ = port; }

protected:
    void signalReady(uint8_t endpointAddress) {
        if (port_)
            port_->endpointReady(endpointAddress);
    }

private:
    DevicePort* port_ = nullptr;
};

} // namespace zv::usb

#endif // ZV_USB_DEVICE_MODEL_H
