// A wait called through a frame compiled as driver code is (no exceptions), for the shutdown tests.
#ifndef ZV_TESTS_SIM_DRIVER_FRAME_H
#define ZV_TESTS_SIM_DRIVER_FRAME_H

#include "platform/sim/scheduler.h"

namespace zv::sim::testing {

// Waits for `event` forever; sets *returned if the wait ever returns.
void waitInDriverFrame(Event& event, int* returned);

} // namespace zv::sim::testing

#endif // ZV_TESTS_SIM_DRIVER_FRAME_H
