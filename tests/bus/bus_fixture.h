// The bus driver's unit-test fixture. The driver's code is linked into the test executable, so a test
// loads it with its own DriverEntry, adds parent devices through its device-add callback, runs its
// hardware preparation as a start would and removes devices one by one, and reads the driver's context
// records directly. The driver's traces are compiled in and collected from the debug output.
//
// Every parent sits on a simulated phone of its own on the machine's USB stack (the hs-phone profile
// unless a test gives another), so that its bring-up talks to a real USB device's stack.
#ifndef ZV_TESTS_BUS_BUS_FIXTURE_H
#define ZV_TESTS_BUS_BUS_FIXTURE_H

#include "base/bus/bus.h"

#include "devices/phone.h"
#include "platform/usb/usb_stack.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/driver.h"
#include "tests/bus/framework_faults.h"
#include "tests/support/sim_test.h"

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zv::test {

inline const std::u16string kBusService = u"ZORNAVELTRIQUESbus64";

// The debug settings the driver image starts with, as its static initialisation left them.
extern const ULONG kImageDebugLevel;
extern const ULONG kImageDebugFlag;

std::u16string busParametersPath();

// The phones under the parents of one machine. Made before the machine's USB stack, so that it outlives it.
class BusPhones {
public:
    explicit BusPhones(sim::Scheduler&) {}
    devices::Phone& make(devices::PhoneProfile profile) {
        phones_.push_back(std::make_unique<devices::Phone>(std::move(profile)));
        return *phones_.back();
    }

private:
    std::deque<std::unique_ptr<devices::Phone>> phones_;
};

// A built-in profile by name (the test fails when there is none).
devices::PhoneProfile busProfile(const std::string& name = "hs-phone");

class BusTest : public SimTest {
protected:
    void SetUp() override;
    // The settings are the image's: a test that changed them must not leak into the next.
    void TearDown() override;
    // Collects the debug output of another machine (a ScopedSim) into `output` too.
    void capture(sim::Scheduler& machine);

    std::string output;
};

// The bus driver loaded on the current machine, and the parent devices added to it. Made and destroyed on
// a passive fiber; its end unloads the driver, which cleans every remaining device up.
class BusDriver {
public:
    BusDriver();
    ~BusDriver();
    BusDriver(const BusDriver&) = delete;
    BusDriver& operator=(const BusDriver&) = delete;

    NTSTATUS entryStatus() const { return entryStatus_; }
    bool loaded() const { return record_.driver() != nullptr; }
    WDFDRIVER driver() const;
    PDRIVER_CONTEXT context() const;

    // EvtDeviceAdd for the device instance at `instancePath`, as Plug and Play's add device runs it, over
    // a new phone of `profile` on the USB stack. The parent device, or nullptr (with the status) when the
    // add failed.
    WDFDEVICE add(const std::u16string& instancePath, NTSTATUS* status = nullptr);
    WDFDEVICE add(const std::u16string& instancePath, devices::PhoneProfile profile,
                  NTSTATUS* status = nullptr);
    // The USB device under a parent.
    usb::UsbDevice& usbDevice(WDFDEVICE device) const;
    // EvtPrepareHardware, as a start runs it.
    NTSTATUS prepare(WDFDEVICE device);
    NTSTATUS release(WDFDEVICE device);
    // The parent's removal with nothing else holding its device object: the device is cleaned up now.
    void remove(WDFDEVICE device);

    // ParentFdoCollection in index order.
    std::vector<WDFDEVICE> members() const;

private:
    wdf::DriverRecord record_;
    NTSTATUS entryStatus_;
    std::vector<std::unique_ptr<wdf::DeviceInit>> inits_;
    std::map<std::u16string, unsigned> softwareKeys_; // software-key index per instance
    std::map<WDFDEVICE, usb::UsbDevice*> usbDevices_;
};

PPARENT_FDO_CONTEXT parentContext(WDFDEVICE device);

} // namespace zv::test

#endif // ZV_TESTS_BUS_BUS_FIXTURE_H
