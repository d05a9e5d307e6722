// The device tree and what the manager does for a device before its driver sees it: binding by IDs,
// loading, the instance keys (a software key per class, kept across unplugs), the properties the kernel
// answers IoGetDeviceProperty from, and the class installer that runs before device add.
#include "tests/pnp/pnp_fixture.h"
#include "tests/pnp/pnptestdrv.h"

#include "platform/kernel/registry.h"
#include "platform/pnp/services.h"
#include "platform/wdf/device.h"

#include <gtest/gtest.h>

namespace {

using zv::kernel::RegValue;
using zv::pnp::NodeState;
using zv::test::kTestClass;
using zv::test::kTestService;
using Events = std::vector<std::string>;

std::optional<RegValue> enumValue(const std::u16string& instancePath, std::u16string_view name) {
    zv::kernel::RegKey* key = zv::kernel::registry().find(zv::kernel::enumPath() + u"\\" + instancePath);
    if (key == nullptr || key->value(name) == nullptr)
        return std::nullopt;
    return *key->value(name);
}

std::u16string property(PDEVICE_OBJECT pdo, DEVICE_REGISTRY_PROPERTY which) {
    char16_t buffer[256] = {};
    ULONG length = 0;
    if (!NT_SUCCESS(IoGetDeviceProperty(pdo, which, sizeof buffer, buffer, &length)))
        return u"<none>";
    return std::u16string(buffer);
}

class TreeTest : public zv::test::PnpTest {};

TEST_F(TreeTest, InstanceKeysNumberSoftwareKeysPerClassAndKeepThem) {
    runInFiber([&] {
        for (unsigned unit : {1u, 2u}) {
            configure(unit);
            ASSERT_EQ(pnp().plug(testDevice(unit)), STATUS_SUCCESS);
        }
        EXPECT_EQ(enumValue(instancePath(1), u"Service"), RegValue::sz(kTestService));
        EXPECT_EQ(enumValue(instancePath(1), u"ClassGUID"), RegValue::sz(kTestClass));
        EXPECT_EQ(enumValue(instancePath(1), u"HardwareID"),
                  RegValue::multiSz({zv::test::kTestHardwareId, u"ZV\\PnpTest"}));
        EXPECT_EQ(enumValue(instancePath(1), u"Driver"), RegValue::sz(kTestClass + u"\\0000"));
        EXPECT_EQ(enumValue(instancePath(2), u"Driver"), RegValue::sz(kTestClass + u"\\0001"));

        // The framework device opens the same keys the manager made.
        zv::pnp::DeviceNode* second = pnp().find(instancePath(2));
        ASSERT_NE(second, nullptr);
        ASSERT_NE(second->functionDevice(), nullptr);
        EXPECT_EQ(second->functionDevice()->instance().softwareKeyPath(),
                  zv::kernel::classPath() + u"\\" + kTestClass + u"\\0001");
        EXPECT_NE(zv::kernel::registry().find(second->instance().softwareKeyPath()), nullptr);
        EXPECT_EQ(property(second->pdo(), DevicePropertyDriverKeyName), kTestClass + u"\\0001");
        EXPECT_EQ(property(second->pdo(), DevicePropertyHardwareID), zv::test::kTestHardwareId);
        EXPECT_EQ(property(second->pdo(), DevicePropertyDeviceDescription), u"Plug and Play test device");
        EXPECT_EQ(property(second->pdo(), DevicePropertyEnumeratorName), u"ROOT");

        // Unplugged and plugged again, a device keeps its software key; a new one takes the lowest free.
        ASSERT_EQ(pnp().unplug(instancePath(1)), STATUS_SUCCESS);
        EXPECT_EQ(pnp().find(instancePath(1)), nullptr);
        configure(3);
        ASSERT_EQ(pnp().plug(testDevice(3)), STATUS_SUCCESS);
        EXPECT_EQ(enumValue(instancePath(3), u"Driver"), RegValue::sz(kTestClass + u"\\0002"));
        ASSERT_EQ(pnp().plug(testDevice(1)), STATUS_SUCCESS);
        EXPECT_EQ(enumValue(instancePath(1), u"Driver"), RegValue::sz(kTestClass + u"\\0000"));

        EXPECT_EQ(pnp().describeTree(), "HTREE\\ROOT\\0 [started]\n"
                                        "  ROOT\\ZVPNPTEST\\0002 [started] ZvPnpTest\n"
                                        "  ROOT\\ZVPNPTEST\\0003 [started] ZvPnpTest\n"
                                        "  ROOT\\ZVPNPTEST\\0001 [started] ZvPnpTest\n");
        for (unsigned unit : {1u, 2u, 3u})
            EXPECT_EQ(pnp().remove(instancePath(unit)), STATUS_SUCCESS);
        EXPECT_TRUE(pnp().root().children().empty());
    });
}

// The class installer runs before device add, with the instance keys in place; a failing one fails the
// device before its driver sees it.
TEST_F(TreeTest, ClassInstallerRunsBeforeDeviceAdd) {
    runInFiber([&] {
        NTSTATUS answer = STATUS_SUCCESS;
        pnp().addClassInstaller(kTestClass, [&](const zv::pnp::DeviceNode& node) {
            note(node.instancePath() == instancePath(1) ? 1 : 2, "Installer");
            zv::kernel::RegKey* key = zv::kernel::registry().find(node.instance().hardwareKeyPath());
            EXPECT_NE(key, nullptr);
            if (key != nullptr)
                key->setValue(u"PortName", RegValue::sz(u"COM7"));
            return answer;
        });
        configure(1);
        ASSERT_EQ(pnp().plug(testDevice(1)), STATUS_SUCCESS);
        Events events = takeEvents(1);
        ASSERT_GE(events.size(), 2u);
        EXPECT_EQ(events[0], "Installer");
        EXPECT_EQ(events[1], "DeviceAdd");
        zv::pnp::DeviceNode* node = pnp().find(instancePath(1));
        EXPECT_EQ(*zv::kernel::registry().find(node->instance().hardwareKeyPath())->value(u"PortName"),
                  RegValue::sz(u"COM7"));

        answer = STATUS_INSUFFICIENT_RESOURCES;
        configure(2);
        EXPECT_EQ(pnp().plug(testDevice(2)), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(takeEvents(2), Events{"Installer"});
        ASSERT_NE(pnp().find(instancePath(2)), nullptr);
        EXPECT_EQ(pnp().find(instancePath(2))->state(), NodeState::Failed);
        EXPECT_EQ(pnp().find(instancePath(2))->problem(), STATUS_INSUFFICIENT_RESOURCES);

        EXPECT_EQ(pnp().remove(instancePath(1)), STATUS_SUCCESS);
        EXPECT_EQ(pnp().remove(instancePath(2)), STATUS_SUCCESS);
    });
}

struct BindCase {
    const char* name;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    NTSTATUS status;
    NodeState state;
};

void PrintTo(const BindCase& c, std::ostream* os) {
    *os << c.name;
}

class BindTest : public zv::test::PnpTest, public ::testing::WithParamInterface<BindCase> {};

// A device that no service takes waits without a driver; one whose service cannot load fails.
TEST_P(BindTest, BringsTheDeviceAsFarAsItCanGo) {
    const BindCase& c = GetParam();
    runInFiber([&] {
        zv::pnp::services().install({u"ZvMissingModule", "/nonexistent/zvmissing.so", {u"ZV\\Missing"}, {}});
        configure(4);
        zv::pnp::RootDevice device = testDevice(4);
        device.hardwareIds = c.hardwareIds;
        device.compatibleIds = c.compatibleIds;
        EXPECT_EQ(pnp().plug(device), c.status);
        zv::pnp::DeviceNode* node = pnp().find(instancePath(4));
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->state(), c.state) << zv::pnp::nodeStateName(node->state());
        EXPECT_EQ(pnp().unplug(instancePath(4)), STATUS_SUCCESS);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Ids, BindTest,
    ::testing::Values(
        BindCase{"ByHardwareId", {zv::test::kTestHardwareId}, {}, STATUS_SUCCESS, NodeState::Started},
        BindCase{"ByCompatibleId",
                 {u"ZV\\Unknown"},
                 {zv::test::kTestHardwareId},
                 STATUS_SUCCESS,
                 NodeState::Started},
        BindCase{"NoService", {u"ZV\\Unknown"}, {}, STATUS_OBJECT_NAME_NOT_FOUND, NodeState::NoDriver},
        BindCase{"ModuleMissing", {u"ZV\\Missing"}, {}, STATUS_DRIVER_UNABLE_TO_LOAD, NodeState::Failed}),
    [](const auto& info) { return std::string(info.param.name); });

// A device waiting without a driver starts once a service for it is installed and it is enabled.
TEST_F(TreeTest, ADeviceWithoutADriverStartsWhenOneIsInstalled) {
    runInFiber([&] {
        configure(5);
        zv::pnp::RootDevice device = testDevice(5);
        device.hardwareIds = {u"ZV\\Later"};
        EXPECT_EQ(pnp().plug(device), STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(takeEvents(5), Events{});
        zv::pnp::services().install({u"ZvLater", ZV_PNP_TEST_DRIVER_MODULE, {u"ZV\\Later"}, {}});
        EXPECT_EQ(pnp().enable(instancePath(5)), STATUS_SUCCESS);
        EXPECT_EQ(takeEvents(5).front(), "DeviceAdd");
        // A service that names no class puts its devices in the System class.
        EXPECT_EQ(enumValue(instancePath(5), u"ClassGUID"), RegValue::sz(zv::pnp::PnpManager::kSystemClass));
        EXPECT_EQ(pnp().remove(instancePath(5)), STATUS_SUCCESS);
    });
}

TEST_F(TreeTest, OperationsOnUnknownDevicesSaySo) {
    runInFiber([&] {
        EXPECT_EQ(pnp().remove(u"ROOT\\NOTHING\\0000"), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(pnp().unplug(u"ROOT\\NOTHING\\0000"), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(pnp().rebalance(u"ROOT\\NOTHING\\0000"), STATUS_NO_SUCH_DEVICE);
        EXPECT_EQ(pnp().enable(u"ROOT\\NOTHING\\0000"), STATUS_NO_SUCH_DEVICE);
        zv::pnp::RootDevice nameless;
        nameless.instancePath = u"NOSLASH";
        EXPECT_EQ(pnp().plug(nameless), STATUS_INVALID_PARAMETER);
        EXPECT_TRUE(pnp().root().children().empty());
    });
}

} // namespace
