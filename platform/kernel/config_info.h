// The machine's configuration information record (IoGetConfigurationInformation): device counts that
// drivers of each class keep up to date, the serial port driver's SerialCount among them. One record per
// machine, zero counts at boot.
#ifndef ZV_KERNEL_CONFIG_INFO_H
#define ZV_KERNEL_CONFIG_INFO_H

#include <ntddk.h>

namespace zv::sim {
class Scheduler;
}

namespace zv::kernel {

class ConfigurationInformation {
public:
    explicit ConfigurationInformation(sim::Scheduler&);
    CONFIGURATION_INFORMATION& record() { return record_; }

private:
    CONFIGURATION_INFORMATION record_{};
};

// The current machine's record (stops the process when no machine is running).
CONFIGURATION_INFORMATION& configurationInformation();

} // namespace zv::kernel

#endif // ZV_KERNEL_CONFIG_INFO_H
