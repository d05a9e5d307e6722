// Debugger output: DbgPrint, DbgPrintEx and vDbgPrintEx format with the kernel dialect and write to the
// machine's debug output.
#include "platform/kernel/debug_output.h"

#include "platform/kernel/format.h"
#include "platform/kernel/machine.h"
#include "platform/sim/scheduler.h"

#include <ntddk.h>

#include <cstdio>

namespace zv::kernel {

void DebugOutput::write(std::string_view text) {
    if (sink_) {
        sink_(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
}

void debugWrite(std::string_view text) {
    if (sim::Scheduler* m = machine()) {
        m->service<DebugOutput>().write(text);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stderr);
}

} // namespace zv::kernel

extern "C" {

ULONG vDbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, va_list arglist) {
    (void)ComponentId;
    (void)Level;
    zv::kernel::debugWrite(zv::kernel::formatNarrow(Format, arglist));
    return ULONG(STATUS_SUCCESS);
}

ULONG DbgPrintEx(ULONG ComponentId, ULONG Level, PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintEx(ComponentId, Level, Format, args);
    va_end(args);
    return status;
}

ULONG DbgPrint(PCSTR Format, ...) {
    va_list args;
    va_start(args, Format);
    ULONG status = vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, Format, args);
    va_end(args);
    return status;
}

} // extern "C"
