// Compiled with -fno-exceptions (see CMakeLists.txt): the unwinding that shutdown starts in the wait below
// must pass through this frame, as it passes through the drivers' frames.
#include "tests/sim/driver_frame.h"

namespace zv::sim::testing {

void waitInDriverFrame(Event& event, int* returned) {
    volatile int local = 1; // a frame of its own, not folded into the caller
    event.wait();
    *returned = local;
}

} // namespace zv::sim::testing
