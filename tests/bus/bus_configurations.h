// Configuration descriptors of composite devices, built with the descriptor builder, for the tests and
// benchmarks of the bus driver's interface grouping. Each fixture also gives, for every function the
// grouping must find, the function's own descriptor bytes as a second builder makes them, so that a test
// compares the synthesised descriptors against bytes that were not cut out of the same buffer.
#ifndef ZV_TESTS_BUS_BUS_CONFIGURATIONS_H
#define ZV_TESTS_BUS_BUS_CONFIGURATIONS_H

#include "devices/descriptors.h"
#include "devices/profiles.h"

#include <string>
#include <vector>

namespace zv::test {

struct ExpectedFunction {
    uint8_t interfaceNumber;
    uint8_t functionClass, functionSubClass, functionProtocol;
    uint8_t numInterfaces;
    devices::Bytes bytes; // the function's descriptors, header excluded
    std::u16string description;
};

struct GroupingFixture {
    std::string name;
    uint8_t deviceClass, deviceSubClass, deviceProtocol;
    devices::Bytes configuration;
    bool enumerates; // false: STATUS_DEVICE_ENUMERATION_ERROR
    std::vector<ExpectedFunction> functions;
};

// String indexes the fixtures give their functions.
inline constexpr uint8_t kModemString = 4;
inline constexpr uint8_t kVendorString = 5;

// The grouping cases: association with CDC, vendor and mass storage; class 0x02 with a union and MDLM;
// skipped classes; an association over wrongly numbered interfaces; a union naming a missing interface; a
// union naming a vendor interface; a function without a string; alternate settings.
std::vector<GroupingFixture> groupingFixtures();

// A phone profile serving `configuration` with the given device class, and strings for the fixtures'
// indexes.
devices::PhoneProfile profileFor(uint8_t deviceClass, uint8_t deviceSubClass, uint8_t deviceProtocol,
                                 const devices::Bytes& configuration);

// A configuration of `functions` vendor-specific interfaces with two bulk endpoints each (the benchmark's
// sizes: 1 to 255).
devices::Bytes vendorFunctions(unsigned functions);

} // namespace zv::test

#endif // ZV_TESTS_BUS_BUS_CONFIGURATIONS_H
