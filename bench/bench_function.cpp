// Bulk throughput of the test function driver bound to a child of the composite bus driver, against the
// same driver bound straight to the phone's USB device, in one run. An application writes a block to the
// function device and reads it back from the phone's loopback responder, over and over; wall time per byte
// is the platform's and the drivers' cost (the link's own time is virtual and the same on both roads). The
// ratio (child throughput / direct throughput) is what the bus driver's pass-through costs; the goal is at
// least 0.9.
#include "devices/phone.h"
#include "devices/profiles.h"
#include "platform/io/win32.h"
#include "platform/pnp/services.h"
#include "platform/sim/scheduler.h"
#include "platform/usb/usb_stack.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <string>
#include <vector>

namespace {

constexpr size_t kBlock = 64 * 1024 - 100; // ends on a short packet
constexpr int kRounds = 512;

const std::u16string kUsbClass = u"{36fc9e60-c465-11cf-8056-444553540000}";

// Wall-clock seconds for kRounds loopback round trips of kBlock bytes, or a negative value on failure.
double measure(bool throughChild) {
    zv::devices::PhoneProfile profile;
    zv::devices::makeProfile("hs-phone", &profile);
    zv::devices::Phone phone(profile);
    double seconds = -1;
    {
        zv::sim::Scheduler machine;
        machine.setTraceEnabled(false);
        auto& services = zv::pnp::services();
        if (throughChild) {
            services.install(
                {u"ZORNAVELTRIQUESbus64", ZV_BUS_MODULE, {u"USB\\VID_1A2B&PID_3C4D"}, {}, kUsbClass});
            services.install(
                {u"ZvUsbFunc", ZV_USBFUNC_MODULE, {u"USB\\Vid_1a2b&Pid_3c4d&Mi_02"}, {}, kUsbClass});
        } else {
            services.install({u"ZvUsbFunc", ZV_USBFUNC_MODULE, {u"USB\\VID_1A2B&PID_3C4D"}, {}, kUsbClass});
        }
        machine.spawn("bench", [&] {
            zv::usb::UsbDevice* device = nullptr;
            if (!NT_SUCCESS(zv::usb::usbStack().plug(phone, {}, &device)))
                return;
            zv::sim::Event done(zv::sim::Event::Kind::Notification, false, "application done");
            zv::io::spawnApplication("application", [&] {
                HANDLE handle = CreateFileW(u"\\\\.\\ZvUsbFunc0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                            OPEN_EXISTING, 0, nullptr);
                if (handle != INVALID_HANDLE_VALUE) {
                    std::vector<uint8_t> out(kBlock, 0x5A), in(kBlock + 512);
                    bool ok = true;
                    auto start = std::chrono::steady_clock::now();
                    for (int i = 0; i < kRounds && ok; ++i) {
                        DWORD count = 0;
                        ok = WriteFile(handle, out.data(), DWORD(out.size()), &count, nullptr) &&
                             ReadFile(handle, in.data(), DWORD(in.size()), &count, nullptr) &&
                             count == kBlock;
                    }
                    auto end = std::chrono::steady_clock::now();
                    if (ok)
                        seconds = std::chrono::duration<double>(end - start).count();
                    CloseHandle(handle);
                }
                done.set();
            });
            done.wait();
        });
        machine.run();
    }
    return seconds;
}

void BM_BulkThroughputChildVersusDirect(benchmark::State& state) {
    double direct = 0, child = 0;
    for (auto _ : state) {
        double d = measure(false);
        double c = measure(true);
        if (d <= 0 || c <= 0) {
            state.SkipWithError("a loopback run failed");
            return;
        }
        direct += d;
        child += c;
    }
    double bytes = double(kBlock) * 2 * kRounds * double(state.iterations());
    state.counters["direct_MBps"] = bytes / direct / 1e6;
    state.counters["child_MBps"] = bytes / child / 1e6;
    state.counters["child_to_direct"] = direct / child; // throughput ratio; goal >= 0.9
}
BENCHMARK(BM_BulkThroughputChildVersusDirect)->Unit(benchmark::kMillisecond)->Iterations(5);

} // namespace
