// The per-machine configuration information record.
#include "platform/kernel/config_info.h"

#include "platform/kernel/machine.h"
#include "platform/sim/scheduler.h"

namespace zv::kernel {

ConfigurationInformation::ConfigurationInformation(sim::Scheduler&) {
    record_.Version = sizeof(CONFIGURATION_INFORMATION);
}

CONFIGURATION_INFORMATION& configurationInformation() {
    return requireMachine("IoGetConfigurationInformation").service<ConfigurationInformation>().record();
}

} // namespace zv::kernel

extern "C" PCONFIGURATION_INFORMATION IoGetConfigurationInformation(VOID) {
    zv::kernel::checkPassive("IoGetConfigurationInformation");
    return &zv::kernel::configurationInformation();
}
