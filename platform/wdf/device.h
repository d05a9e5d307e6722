// Framework devices (WDFDEVICE). A device is a child of its driver, cannot be deleted by the driver (Plug
// and Play removes it: platform code calls deleteTree), and knows its device instance for the registry
// routines. A device whose effective synchronisation scope is the device owns the presentation lock that
// serialises its callbacks: a mutex at passive execution level, else a spin lock.
#ifndef ZV_WDF_DEVICE_H
#define ZV_WDF_DEVICE_H

#include "platform/wdf/device_init.h"
#include "platform/wdf/object.h"

#include <memory>

namespace zv::wdf {

class Device : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Device;
    Device(Object* parent, DeviceInit& init);

    bool driverDeletable() const override { return false; }
    sim::Lock* presentationLock() override { return presentationLock_.get(); }
    NTSTATUS onCreated() override;

    Driver& driver() const { return driver_; }
    const DeviceInstance& instance() const { return instance_; }
    DeviceInit::Kind kind() const { return kind_; }

private:
    Driver& driver_;
    DeviceInstance instance_;
    DeviceInit::Kind kind_;
    std::unique_ptr<sim::Lock> presentationLock_;
};

} // namespace zv::wdf

#endif // ZV_WDF_DEVICE_H
