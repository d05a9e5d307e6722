// A driver module loaded by its service name: DriverEntry runs with the service's registry path, its debug
// settings come from the Parameters key, its device-add callback gives devices persistent instance numbers,
// and unloading runs the driver's cleanup callback.
#include "platform/kernel/debug_output.h"
#include "platform/kernel/registry.h"
#include "platform/pnp/services.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/driver.h"
#include "tests/support/sim_test.h"

#include <string>

namespace {

using zv::kernel::registry;
using zv::kernel::RegValue;

const std::u16string kService = u"ZvTestDriver";

std::u16string parametersPath() {
    return zv::kernel::serviceKeyPath(kService) + u"\\Parameters";
}

std::optional<RegValue> get(const std::u16string& keyPath, std::u16string_view name) {
    zv::kernel::RegKey* key = nullptr;
    if (!NT_SUCCESS(registry().openKey(keyPath, false, &key)))
        return std::nullopt;
    const RegValue* v = key->value(name);
    return v ? std::optional<RegValue>(*v) : std::nullopt;
}

class ModuleTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sched().service<zv::kernel::DebugOutput>().setSink([this](std::string_view t) { output += t; });
        zv::pnp::services().install({kService, ZV_TEST_DRIVER_MODULE, {u"ZV\\TestDevice"}, {}});
    }
    std::string output;
};

TEST_F(ModuleTest, LoadsByServiceNameAndRunsDriverEntry) {
    runInFiber([&] {
        zv::kernel::RegKey* key = nullptr;
        ASSERT_EQ(registry().openKey(parametersPath(), true, &key), STATUS_SUCCESS);
        key->setValue(u"DebugLevel", RegValue::dword(5));

        zv::pnp::LoadedDriver* driver = nullptr;
        std::string error;
        ASSERT_EQ(zv::pnp::services().load(kService, &driver, &error), STATUS_SUCCESS) << error;
        ASSERT_NE(driver->driver(), nullptr);
        EXPECT_EQ(driver->driver()->registryPath(), zv::kernel::serviceKeyPath(kService));
        // The module's own settings: the level from the registry, the default mask.
        EXPECT_EQ(get(parametersPath(), u"ObservedDebugLevel"), RegValue::dword(5));
        EXPECT_EQ(get(parametersPath(), u"ObservedDebugFlag"), RegValue::dword(0x1fff));
        EXPECT_NE(output.find("***Test Driver - Built "), std::string::npos) << output;

        // Loading again finds the same driver.
        zv::pnp::LoadedDriver* again = nullptr;
        EXPECT_EQ(zv::pnp::services().load(u"zvtestdriver", &again), STATUS_SUCCESS);
        EXPECT_EQ(again, driver);

        // Two devices added through the driver's device-add callback take 0 and 1; the first again keeps 0.
        for (auto [path, expect] :
             {std::pair{u"ZV\\TestDevice\\1", 0u}, {u"ZV\\TestDevice\\2", 1u}, {u"ZV\\TestDevice\\1", 0u}}) {
            zv::wdf::DeviceInstance inst;
            inst.instancePath = path;
            inst.classGuid = u"{4d36e978-e325-11ce-bfc1-08002be10318}";
            zv::wdf::DeviceInit init(*driver->driver(), inst);
            EXPECT_EQ(driver->driver()->addDevice(init.handle()), STATUS_SUCCESS);
            EXPECT_EQ(get(inst.hardwareKeyPath(), u"InstanceNumber"), RegValue::dword(expect));
        }
        EXPECT_EQ(get(parametersPath(), u"NextInstanceNumber"), RegValue::dword(2));

        output.clear();
        EXPECT_TRUE(zv::pnp::services().unload(kService));
        EXPECT_NE(output.find("***EvtDriverContextCleanup(0x"), std::string::npos) << output;
        EXPECT_EQ(zv::pnp::services().loaded(kService), nullptr);
    });
}

TEST_F(ModuleTest, ReloadStartsFromTheDefaults) {
    runInFiber([&] {
        zv::kernel::RegKey* key = nullptr;
        ASSERT_EQ(registry().openKey(parametersPath(), true, &key), STATUS_SUCCESS);
        key->setValue(u"DebugLevel", RegValue::dword(2));
        zv::pnp::LoadedDriver* driver = nullptr;
        ASSERT_EQ(zv::pnp::services().load(kService, &driver), STATUS_SUCCESS);
        EXPECT_EQ(get(parametersPath(), u"ObservedDebugLevel"), RegValue::dword(2));
        zv::pnp::services().unload(kService);
        // The settings are static state of the image: a fresh load starts from the defaults again.
        key->removeValue(u"DebugLevel");
        ASSERT_EQ(zv::pnp::services().load(kService, &driver), STATUS_SUCCESS);
        EXPECT_EQ(get(parametersPath(), u"ObservedDebugLevel"), RegValue::dword(4));
    });
}

TEST_F(ModuleTest, LoadErrorsSayWhatIsWrong) {
    runInFiber([&] {
        zv::pnp::services().install({u"Missing", "/nonexistent/zvmissing.so", {}, {}});
        zv::pnp::LoadedDriver* driver = nullptr;
        std::string error;
        EXPECT_EQ(zv::pnp::services().load(u"NoSuchService", &driver, &error), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_NE(error.find("no service named NoSuchService"), std::string::npos) << error;
        EXPECT_EQ(zv::pnp::services().load(u"Missing", &driver, &error), STATUS_DRIVER_UNABLE_TO_LOAD);
        EXPECT_NE(error.find("/nonexistent/zvmissing.so"), std::string::npos) << error;
        EXPECT_EQ(driver, nullptr);
    });
}

TEST_F(ModuleTest, BindsByHardwareIdBeforeCompatibleId) {
    auto& s = zv::pnp::services();
    s.install({u"ByCompatible", "a.so", {}, {u"USB\\Class_02"}});
    s.install({u"ByHardware", "b.so", {u"USB\\VID_1A2B&PID_3C4D&MI_02"}, {}});
    const zv::pnp::Service* bound = s.bind({u"USB\\Vid_1a2b&Pid_3c4d&Mi_02"}, {u"USB\\Class_02"});
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(bound->name, u"ByHardware");
    bound = s.bind({u"USB\\Vid_ffff&Pid_0001"}, {u"usb\\class_02"});
    ASSERT_NE(bound, nullptr);
    EXPECT_EQ(bound->name, u"ByCompatible");
    EXPECT_EQ(s.bind({u"USB\\Vid_ffff"}, {}), nullptr);
}

} // namespace
