// The USB stack of one machine: a host controller whose root hub has ports that hold simulated devices.
// Each device on a port gets a physical device object of the hub driver (\Driver\usbhub) that answers what a
// Windows hub's PDO answers: Plug and Play (IDs built from the device descriptor, capabilities, the USB bus
// interface), power, and the internal device controls with URBs: descriptors, configuration and interface
// selection with their pipe handles, control, bulk and interrupt transfers timed by the link model on the
// virtual clock, pipe reset and abort. Requests that take bus time complete from a DPC at DISPATCH_LEVEL.
//
// attach() puts a device on a port without telling Plug and Play (a test then builds its own stack on the
// PDO); plug() also hands the PDO to the PnP manager, so that the driver bound to its IDs comes up.
#ifndef ZV_USB_USB_STACK_H
#define ZV_USB_USB_STACK_H

#include <ntddk.h>
#include <usb.h>

#include "platform/sim/scheduler.h"
#include "platform/usb/device_model.h"
#include "platform/usb/fault_plan.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zv::usb {

struct PortSettings {
    bool uniqueId = true;            // the port's UniqueID capability bit: a serial number names the instance
    unsigned portNumber = 0;         // 0: the next free port
    std::u16string description = {}; // IRP_MN_QUERY_DEVICE_TEXT; empty: the product string
};

// One request as it reached a device: a URB function or an internal device-control code.
struct UsbRequestRecord {
    enum class Kind { Urb, Ioctl };
    Kind kind;
    ULONG code; // URB_FUNCTION_* or IOCTL_INTERNAL_USB_*
    bool operator==(const UsbRequestRecord&) const = default;
};

class UsbStack;

// One device on a port.
class UsbDevice {
public:
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    // nullptr once the PDO is deleted (after the removal of a device that is gone).
    PDEVICE_OBJECT pdo() const;
    DeviceModel& model() const;
    Speed speed() const;
    FaultPlan& faults();
    unsigned portNumber() const;

    bool connected() const;
    // The device goes: every pending and later request fails as for a gone device; when it was plugged
    // through Plug and Play, the manager is told (surprise removal). Any fiber or IRQL, or outside fibers.
    void disconnect();
    bool plugged() const; // handed to the PnP manager

    const std::u16string& deviceId() const;   // USB\VID_xxxx&PID_xxxx
    const std::u16string& instanceId() const; // the serial number, or a port-based ID
    const std::u16string& instancePath() const;
    const std::vector<std::u16string>& hardwareIds() const;
    const std::vector<std::u16string>& compatibleIds() const;

    // bConfigurationValue of the configuration selected, or nullopt while unconfigured.
    std::optional<uint8_t> configuration() const;
    // The alternate setting selected on an interface of the configuration (nullopt: no such interface).
    std::optional<uint8_t> alternateSetting(uint8_t interfaceNumber) const;
    // Every request that reached the PDO, in order.
    const std::vector<UsbRequestRecord>& requests() const;
    void clearRequests();
    // USB bus interface references handed out and not yet given back.
    long interfaceReferences() const;
    // Transfers and other requests held by the stack right now.
    size_t pendingRequests() const;

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    friend class UsbStack;
    explicit UsbDevice(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class UsbStack {
public:
    explicit UsbStack(sim::Scheduler& machine);
    ~UsbStack();
    UsbStack(const UsbStack&) = delete;
    UsbStack& operator=(const UsbStack&) = delete;

    // Puts the model on a port and makes its PDO (PASSIVE_LEVEL). The model must outlive the machine's
    // stack. A port in use by a connected device, or a port number past the hub's, throws
    // std::invalid_argument.
    UsbDevice& attach(DeviceModel& model, PortSettings settings = {});
    // attach(), then hands the PDO to the PnP manager with the hub's IDs and returns how far the device
    // got (STATUS_SUCCESS: started). On a passive fiber other than the PnP manager's.
    NTSTATUS plug(DeviceModel& model, PortSettings settings, UsbDevice** device);

    // The device on a port (connected or not), or nullptr.
    UsbDevice* deviceAt(unsigned portNumber) const;
    // The device whose PDO this is, or nullptr.
    UsbDevice* deviceOf(PDEVICE_OBJECT pdo) const;
    std::vector<UsbDevice*> devices() const;

    PDRIVER_OBJECT hubDriver();
    // The root hub's symbolic name (IOCTL_INTERNAL_USB_GET_HUB_NAME) and the controller's
    // (IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, QueryBusInformation level 1).
    const std::u16string& hubName() const;
    const std::u16string& controllerName() const;
    static constexpr unsigned kPorts = 15;

    // The current frame number (1-ms frames of the virtual clock).
    ULONG frameNumber() const;

    struct Impl;
    Impl& impl() { return *impl_; }

private:
    std::unique_ptr<Impl> impl_;
};

// The current machine's USB stack.
UsbStack& usbStack();

// "USB\VID_1A2B&PID_3C4D" and friends, as a hub builds them from a device descriptor and its configuration.
struct UsbIds {
    std::u16string deviceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
};
UsbIds usbIdsFor(const Bytes& deviceDescriptor, const Bytes& configurationDescriptor);

} // namespace zv::usb

#endif // ZV_USB_USB_STACK_H
