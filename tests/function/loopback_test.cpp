// The test function driver moves bulk data to the phone's loopback responder and back, bound straight to
// the phone's USB device.
#include "tests/function/function_fixture.h"

#include "devices/profiles.h"
#include "platform/pnp/pnp_manager.h"

#include <gtest/gtest.h>

namespace {

using namespace zv;

class FunctionLoopbackTest : public test::SimTest {
protected:
    static devices::PhoneProfile profile(const char* name) {
        devices::PhoneProfile p;
        EXPECT_TRUE(devices::makeProfile(name, &p));
        return p;
    }
    devices::Phone phone_{profile("hs-phone")};
};

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(i * 7 + 3);
    return data;
}

TEST_F(FunctionLoopbackTest, DataComesBackThroughTheDevicesOwnDriver) {
    runInFiber([&] {
        test::installFunctionServices(test::Binding::Direct);
        usb::UsbDevice* device = nullptr;
        ASSERT_EQ(usb::usbStack().plug(phone_, {}, &device), STATUS_SUCCESS);
        // Lengths that end on a short packet: a whole number of packets would wait for more.
        for (size_t size : {1u, 511u, 3000u}) {
            std::vector<uint8_t> data = pattern(size), echoed;
            std::string error;
            test::runApplication(
                [&] { EXPECT_TRUE(test::loopback(u"\\\\.\\ZvUsbFunc0", data, &echoed, &error)) << error; });
            EXPECT_EQ(echoed, data) << size << " bytes";
        }
    });
}

} // namespace
