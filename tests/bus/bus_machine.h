// The bus driver's system-test machine: the driver module loaded by the Plug and Play manager for phones
// plugged into the machine's USB stack, optionally with the test function driver bound to the phone's
// vendor-specific child. Tests reach the children through the device tree and talk to them the way their
// function drivers would: IRPs (Plug and Play queries, internal device controls carrying URBs) sent to a
// child's physical device object, and applications on the function driver's device.
//
// A WatchedPhone remembers what the USB stack did to it (interface selections in order, with the virtual
// time of each, and the buffer every OUT packet came from), so a test can tell what the stack was asked
// for and whether data was copied on its way.
#ifndef ZV_TESTS_BUS_BUS_MACHINE_H
#define ZV_TESTS_BUS_BUS_MACHINE_H

#include "tests/support/sim_test.h"

#include "devices/phone.h"
#include "platform/pnp/device_node.h"
#include "platform/usb/usb_stack.h"

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zv::test {

class WatchedPhone : public devices::Phone {
public:
    using Phone::Phone;

    struct Selection {
        uint8_t interfaceNumber;
        uint8_t alternateSetting;
        sim::Time at;
        bool operator==(const Selection&) const = default;
    };

    void interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting) override;
    usb::Handshake out(uint8_t endpointAddress, const uint8_t* data, size_t length) override;

    std::vector<Selection> selections;
    std::vector<const uint8_t*> outBuffers; // where each OUT packet's bytes were read from
};

// The phones of one machine; made before the machine's USB stack, so that they outlive it.
class MachinePhones {
public:
    explicit MachinePhones(sim::Scheduler&) {}
    WatchedPhone& make(devices::PhoneProfile profile) {
        phones_.push_back(std::make_unique<WatchedPhone>(std::move(profile)));
        return *phones_.back();
    }

private:
    std::deque<std::unique_ptr<WatchedPhone>> phones_;
};

// A built-in phone profile by name (the test fails when there is none).
devices::PhoneProfile phoneProfile(const std::string& name = "hs-phone");

// The answer to an IRP sent from a test.
struct IrpAnswer {
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
};

// Sends an IRP to the stack `target` heads and waits for it (passive fiber). `fill` sets the first stack
// location and whatever the IRP itself carries (buffers). Plug and Play IRPs start as STATUS_NOT_SUPPORTED.
IrpAnswer sendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill);
// IOCTL_INTERNAL_USB_SUBMIT_URB with `urb`.
IrpAnswer submitUrb(PDEVICE_OBJECT target, PURB urb);
// An internal or ordinary device control; `buffer` is the system buffer (METHOD_BUFFERED) with
// `outputLength` bytes for the answer, and also the first argument (METHOD_NEITHER codes).
IrpAnswer deviceControl(PDEVICE_OBJECT target, bool internal, ULONG code, void* buffer = nullptr,
                        ULONG outputLength = 0);
// A read or write of `length` bytes from or into `buffer`.
IrpAnswer readWrite(PDEVICE_OBJECT target, UCHAR major, void* buffer, ULONG length);

// IRP_MN_QUERY_ID: one string (device and instance IDs) or the list (hardware and compatible IDs);
// nullopt when the query failed.
std::optional<std::vector<std::u16string>> queryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type);
std::optional<std::u16string> queryDeviceText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type, LCID locale);
std::optional<DEVICE_CAPABILITIES> queryCapabilities(PDEVICE_OBJECT pdo);

// A descriptor request URB for `type` into `buffer` (nullptr: no transfer buffer).
URB descriptorRequest(uint8_t type, uint8_t index, uint16_t language, void* buffer, ULONG length);

// A function of a configuration as a child describes it: the function's descriptors (from the first
// interface or association descriptor up to the next interface or association descriptor that is not an
// alternate setting of an interface taken) and the expected synthesised configuration and device
// descriptors.
struct FunctionDescriptors {
    devices::Bytes configuration;
    devices::Bytes device;
};
FunctionDescriptors expectedDescriptors(const devices::PhoneProfile& profile, uint8_t firstInterface,
                                        uint8_t interfaceCount, uint8_t functionClass,
                                        uint8_t functionSubClass, uint8_t functionProtocol);

class BusMachineTest : public SimTest {
protected:
    void SetUp() override;

    // The services: the bus driver bound to the phones' USB device and, with `functionDriver`, the test
    // function driver bound to the vendor-specific child (Mi_02). On a fiber or before the run.
    static void installServices(bool functionDriver);

    struct Plugged {
        WatchedPhone* phone = nullptr;
        usb::UsbDevice* usb = nullptr;
    };
    // Plugs a new phone of `profile` and waits for the tree to settle; the test fails unless it started.
    static Plugged plug(devices::PhoneProfile profile, usb::PortSettings settings = {});
    // The bus driver alone, over a plugged hs-phone.
    static Plugged plugBusOverPhone();

    static pnp::DeviceNode* parentNode(const usb::UsbDevice& usb);
    // The parent's framework device object (its FDO), or nullptr.
    static PDEVICE_OBJECT parentDevice(const usb::UsbDevice& usb);
    // The child of a parent whose device ID is USB\Vid_vvvv&Pid_pppp&Mi_nn, found by asking each child's
    // PDO for its device ID; nullptr when there is none.
    static pnp::DeviceNode* child(const usb::UsbDevice& usb, uint8_t interfaceNumber);
    static size_t childCount(const usb::UsbDevice& usb);
};

} // namespace zv::test

#endif // ZV_TESTS_BUS_BUS_MACHINE_H
