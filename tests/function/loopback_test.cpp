// The test function driver moves bulk data to the phone's loopback responder and back, bound straight to
// the phone's USB device or to the bus driver's vendor-specific child, at both speeds.
#include "tests/function/function_fixture.h"

#include "devices/profiles.h"

#include <gtest/gtest.h>

#include <tuple>

namespace {

using namespace zv;

using LoopbackCase = std::tuple<test::Binding, const char*>; // binding, phone profile

class FunctionLoopbackTest : public test::SimTest, public ::testing::WithParamInterface<LoopbackCase> {
protected:
    static devices::PhoneProfile profile(const char* name) {
        devices::PhoneProfile p;
        EXPECT_TRUE(devices::makeProfile(name, &p));
        return p;
    }
    devices::Phone phone_{profile(std::get<1>(GetParam()))};
};

std::vector<uint8_t> pattern(size_t size) {
    std::vector<uint8_t> data(size);
    for (size_t i = 0; i < size; ++i)
        data[i] = uint8_t(i * 7 + 3);
    return data;
}

TEST_P(FunctionLoopbackTest, DataComesBack) {
    runInFiber([&] {
        test::installFunctionServices(std::get<0>(GetParam()));
        usb::UsbDevice* device = nullptr;
        ASSERT_EQ(usb::usbStack().plug(phone_, {}, &device), STATUS_SUCCESS);
        // Lengths that end on a short packet at either speed: a whole number of packets would wait for more.
        for (size_t size : {1u, 63u, 511u, 3000u}) {
            std::vector<uint8_t> data = pattern(size), echoed;
            std::string error;
            test::runApplication(
                [&] { EXPECT_TRUE(test::loopback(u"\\\\.\\ZvUsbFunc0", data, &echoed, &error)) << error; });
            EXPECT_EQ(echoed, data) << size << " bytes";
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Bindings, FunctionLoopbackTest,
                         ::testing::Combine(::testing::Values(test::Binding::Direct,
                                                              test::Binding::ThroughChild),
                                            ::testing::Values("hs-phone", "fs-phone")),
                         [](const ::testing::TestParamInfo<LoopbackCase>& info) {
                             std::string name =
                                 std::get<0>(info.param) == test::Binding::Direct ? "Direct" : "ThroughChild";
                             return name + (std::get<1>(info.param)[0] == 'h' ? "HighSpeed" : "FullSpeed");
                         });

} // namespace
