// The Plug and Play tests' fixture.
#include "tests/pnp/pnp_fixture.h"

#include "platform/kernel/debug_output.h"
#include "platform/kernel/registry.h"
#include "platform/pnp/services.h"
#include "platform/wdf/device_init.h"
#include "tests/pnp/pnptestdrv.h"

#include <sstream>

namespace zv::test {

std::string narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? char(c) : '?');
    return out;
}

void PnpTest::SetUp() {
    SimTest::SetUp();
    sched().service<kernel::DebugOutput>().setSink([this](std::string_view text) { output_ += text; });
    pnp::services().install({kTestService, ZV_PNP_TEST_DRIVER_MODULE, {kTestHardwareId}, {}, kTestClass});
}

std::u16string PnpTest::instancePath(unsigned unit) {
    std::u16string path = u"ROOT\\ZVPNPTEST\\000";
    path += char16_t(u'0' + unit % 10);
    return path;
}

pnp::RootDevice PnpTest::testDevice(unsigned unit) {
    pnp::RootDevice device;
    device.instancePath = instancePath(unit);
    device.hardwareIds = {kTestHardwareId, u"ZV\\PnpTest"};
    device.description = u"Plug and Play test device";
    return device;
}

void PnpTest::configure(unsigned unit, ULONG faults) {
    configure(instancePath(unit), unit, faults);
}

void PnpTest::configure(const std::u16string& path, unsigned unit, ULONG faults) {
    wdf::DeviceInstance instance;
    instance.instancePath = path;
    kernel::RegKey* key = nullptr;
    ASSERT_EQ(kernel::registry().openKey(instance.hardwareKeyPath(), true, &key), STATUS_SUCCESS);
    key->setValue(u"" PNPTEST_VALUE_UNIT, kernel::RegValue::dword(unit));
    key->setValue(u"" PNPTEST_VALUE_FAULTS, kernel::RegValue::dword(faults));
}

std::vector<std::string> PnpTest::takeEvents(unsigned unit) {
    std::string prefix = "ZVPNP " + std::to_string(unit) + " ";
    std::vector<std::string> all;
    std::istringstream lines(output_);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind(prefix, 0) == 0)
            all.push_back(line.substr(prefix.size()));
    size_t& taken = taken_[unit];
    std::vector<std::string> fresh(all.begin() + static_cast<std::ptrdiff_t>(std::min(taken, all.size())),
                                   all.end());
    taken = all.size();
    return fresh;
}

std::vector<std::string> PnpTest::takeLines() {
    std::vector<std::string> all;
    std::istringstream lines(output_);
    for (std::string line; std::getline(lines, line);)
        if (line.rfind("ZVPNP ", 0) == 0)
            all.push_back(line.substr(6));
    std::vector<std::string> fresh(
        all.begin() + static_cast<std::ptrdiff_t>(std::min(linesTaken_, all.size())), all.end());
    linesTaken_ = all.size();
    return fresh;
}

void PnpTest::note(unsigned unit, const std::string& event) {
    output_ += "ZVPNP " + std::to_string(unit) + " " + event + "\n";
}

} // namespace zv::test
