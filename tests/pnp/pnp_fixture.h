// The fixture of the Plug and Play tests: a machine whose service table binds the test driver module
// (pnptestdrv) to root-enumerated test devices, whose debug output the test reads back as each device's
// event lines, and helpers that configure a device's hardware key before it is plugged.
#ifndef ZV_TESTS_PNP_PNP_FIXTURE_H
#define ZV_TESTS_PNP_PNP_FIXTURE_H

#include "tests/support/sim_test.h"

#include "platform/pnp/pnp_manager.h"

#include <map>
#include <string>
#include <vector>

namespace zv::test {

inline const std::u16string kTestService = u"ZvPnpTest";
inline const std::u16string kTestHardwareId = u"ZV\\PnpTestDevice";
inline const std::u16string kTestClass = u"{6d2f9a41-7c3b-4e25-8f10-2a9b3c4d5e6f}";

class PnpTest : public SimTest {
protected:
    void SetUp() override;

    // "ROOT\ZVPNPTEST\000<unit>", bound to the test driver by its hardware ID.
    static std::u16string instancePath(unsigned unit);
    static pnp::RootDevice testDevice(unsigned unit);
    // Writes the unit (and fault bits) into the device's hardware key, as an installation would before
    // the device first starts. On a fiber.
    static void configure(unsigned unit, ULONG faults = 0);
    static void configure(const std::u16string& instancePath, unsigned unit, ULONG faults = 0);
    // The event lines the device of `unit` wrote since the last call, without "ZVPNP <unit> ".
    std::vector<std::string> takeEvents(unsigned unit);
    // Every unit's event lines since the last call, "<unit> <event>", in the order they were written.
    std::vector<std::string> takeLines();
    // Appends a line of the test's own to the same record, to see where it falls among the driver's.
    void note(unsigned unit, const std::string& event);

    pnp::PnpManager& pnp() { return pnp::pnpManager(); }

private:
    std::string output_;
    std::map<unsigned, size_t> taken_; // lines of each unit already handed out
    size_t linesTaken_ = 0;
};

std::string narrow(std::u16string_view text);

} // namespace zv::test

#endif // ZV_TESTS_PNP_PNP_FIXTURE_H
