// The function driver's test machine; see function_fixture.h.
#include "tests/function/function_fixture.h"

#include "platform/io/win32.h"
#include "platform/pnp/services.h"
#include "platform/sim/scheduler.h"

namespace zv::test {

void installFunctionServices(Binding binding) {
    auto& services = pnp::services();
    if (binding == Binding::Direct) {
        services.install({kFunctionService, ZV_USBFUNC_MODULE, {kPhoneHardwareId}, {}, kUsbClassGuid});
    } else {
        services.install({kBusServiceName, ZV_BUS_MODULE, {kPhoneHardwareId}, {}, kUsbClassGuid});
        services.install({kFunctionService, ZV_USBFUNC_MODULE, {kVendorChildHardwareId}, {}, kUsbClassGuid});
    }
}

void runApplication(const std::function<void()>& body) {
    sim::Event done(sim::Event::Kind::Notification, false, "application done");
    io::spawnApplication("application", [&] {
        body();
        done.set();
    });
    done.wait();
}

bool loopback(const char16_t* deviceName, const std::vector<uint8_t>& data, std::vector<uint8_t>* echoed,
              std::string* error) {
    HANDLE handle =
        CreateFileW(deviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        *error = "open failed with error " + std::to_string(GetLastError());
        return false;
    }
    bool ok = true;
    DWORD count = 0;
    if (!WriteFile(handle, data.data(), DWORD(data.size()), &count, nullptr) || count != data.size()) {
        *error = "write failed with error " + std::to_string(GetLastError()) + " after " +
                 std::to_string(count) + " bytes";
        ok = false;
    }
    echoed->assign(data.size() + 512, 0);
    count = 0;
    if (ok && !ReadFile(handle, echoed->data(), DWORD(echoed->size()), &count, nullptr)) {
        *error = "read failed with error " + std::to_string(GetLastError());
        ok = false;
    }
    echoed->resize(count);
    CloseHandle(handle);
    return ok;
}

} // namespace zv::test
