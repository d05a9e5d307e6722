// A machine with a simulated phone on the USB stack and the test function driver installed, bound either
// to the phone's own USB device or (with the composite bus driver bound to the phone) to one of the bus
// driver's children; an application fiber moves data through the function driver's device.
#ifndef ZV_TESTS_FUNCTION_FUNCTION_FIXTURE_H
#define ZV_TESTS_FUNCTION_FUNCTION_FIXTURE_H

#include "tests/support/sim_test.h"

#include "devices/phone.h"
#include "platform/usb/usb_stack.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zv::test {

inline const std::u16string kFunctionService = u"ZvUsbFunc";
inline const std::u16string kBusServiceName = u"ZORNAVELTRIQUESbus64";
inline const std::u16string kPhoneHardwareId = u"USB\\VID_1A2B&PID_3C4D";
// The vendor-specific function of the built-in phones, as the bus driver names its child.
inline const std::u16string kVendorChildHardwareId = u"USB\\Vid_1a2b&Pid_3c4d&Mi_02";
inline const std::u16string kUsbClassGuid = u"{36fc9e60-c465-11cf-8056-444553540000}";

enum class Binding {
    Direct,       // the function driver is the phone's own driver
    ThroughChild, // the bus driver takes the phone, the function driver its vendor-specific child
};

// Installs the services for `binding`; on a fiber or before the run.
void installFunctionServices(Binding binding);

// Runs `body` on an application fiber and waits for it (from a passive fiber).
void runApplication(const std::function<void()>& body);

// Writes `data` to the function device and reads it back through the loopback responder; false on any
// failure, with `error` saying what.
bool loopback(const char16_t* deviceName, const std::vector<uint8_t>& data, std::vector<uint8_t>* echoed,
              std::string* error);

} // namespace zv::test

#endif // ZV_TESTS_FUNCTION_FUNCTION_FIXTURE_H
