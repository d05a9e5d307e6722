// Enumeration time of the composite bus driver for configurations of 1, 16, 64 and 255 vendor-specific
// functions: plugging the phone brings the parent up (USB bring-up, the walk over its configuration) and
// reports one child per function, which Plug and Play creates (no driver binds to them). Wall time per run,
// per function, and its growth against the one-function run.
#include "devices/descriptors.h"
#include "devices/phone.h"
#include "devices/profiles.h"
#include "platform/pnp/pnp_manager.h"
#include "platform/pnp/services.h"
#include "platform/sim/scheduler.h"
#include "platform/usb/usb_stack.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <map>

namespace {

const std::u16string kUsbClass = u"{36fc9e60-c465-11cf-8056-444553540000}";

zv::devices::PhoneProfile phoneWith(unsigned functions) {
    zv::devices::PhoneProfile profile;
    zv::devices::makeProfile("hs-phone", &profile);
    profile.device.bDeviceClass = 0x00;
    profile.device.bDeviceSubClass = 0x00;
    profile.device.bDeviceProtocol = 0x00;
    zv::devices::ConfigurationBuilder b;
    for (unsigned i = 0; i < functions; ++i)
        b.interface(uint8_t(i), 0, 0xFF, 0x00, 0x00);
    profile.configuration = b.build();
    return profile;
}

// Wall-clock seconds from the plug to the settled tree, or a negative value when the parent did not start
// with every child.
double enumerate(unsigned functions) {
    zv::devices::Phone phone(phoneWith(functions));
    double seconds = -1;
    zv::sim::Scheduler machine;
    machine.setTraceEnabled(false);
    zv::pnp::services().install(
        {u"ZORNAVELTRIQUESbus64", ZV_BUS_MODULE, {u"USB\\VID_1A2B&PID_3C4D"}, {}, kUsbClass});
    machine.spawn("bench", [&] {
        zv::usb::UsbDevice* device = nullptr;
        auto start = std::chrono::steady_clock::now();
        NTSTATUS status = zv::usb::usbStack().plug(phone, {}, &device);
        auto end = std::chrono::steady_clock::now();
        zv::pnp::DeviceNode* node =
            device != nullptr ? zv::pnp::pnpManager().find(device->instancePath()) : nullptr;
        if (NT_SUCCESS(status) && node != nullptr && node->children().size() == functions)
            seconds = std::chrono::duration<double>(end - start).count();
    });
    machine.run();
    return seconds;
}

std::map<unsigned, double> perFunction; // seconds per function, by function count

void BM_EnumerateFunctions(benchmark::State& state) {
    unsigned functions = unsigned(state.range(0));
    double total = 0;
    for (auto _ : state) {
        double s = enumerate(functions);
        if (s < 0) {
            state.SkipWithError("the phone's children did not all appear");
            return;
        }
        total += s;
        state.SetIterationTime(s);
    }
    double each = total / double(state.iterations()) / functions;
    perFunction[functions] = each;
    state.counters["us_per_function"] = each * 1e6;
    if (perFunction.count(1) != 0)
        state.counters["growth_per_function_vs_1"] = each / perFunction[1];
}
BENCHMARK(BM_EnumerateFunctions)
    ->Arg(1)
    ->Arg(16)
    ->Arg(64)
    ->Arg(255)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);

} // namespace
