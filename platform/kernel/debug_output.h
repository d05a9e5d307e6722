// The machine's debugger output: where DbgPrint and its kin write. It goes to stderr unless a sink is set
// (a test capturing the drivers' traces, a tool showing them in its own window).
#ifndef ZV_KERNEL_DEBUG_OUTPUT_H
#define ZV_KERNEL_DEBUG_OUTPUT_H

#include <functional>
#include <string_view>

namespace zv::sim {
class Scheduler;
}

namespace zv::kernel {

class DebugOutput {
public:
    using Sink = std::function<void(std::string_view text)>;
    explicit DebugOutput(sim::Scheduler&) {}
    // An empty sink restores stderr.
    void setSink(Sink sink) { sink_ = std::move(sink); }
    void write(std::string_view text);

private:
    Sink sink_;
};

// Writes to the current machine's debug output, or to stderr when no machine is running.
void debugWrite(std::string_view text);

} // namespace zv::kernel

#endif // ZV_KERNEL_DEBUG_OUTPUT_H
