// A framework bus driver's children in the device tree: after the bus's scan they are device nodes under
// it, named "<device ID>\<instance ID>" (their IDs are unique), with their hardware keys (and a software
// key where a service binds), known to the kernel as physical device objects of their instances; the test
// function driver binds to the even children by hardware ID and gets its device add, the odd ones wait
// without a driver. A new scan from an application's device control removes the children not reported
// and adds new ones; unplugging the bus takes them all.
#include "tests/pnp/childbusdrv.h"
#include "tests/pnp/pnp_fixture.h"
#include "tests/pnp/pnptestdrv.h"

#include "platform/io/win32.h"
#include "platform/kernel/device_object.h"
#include "platform/kernel/registry.h"
#include "platform/pnp/services.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using zv::test::narrow;

const std::u16string kBusService = u"ZvChildBus";
const std::u16string kBusHardwareId = u"ZV\\ChildBus";
const std::u16string kBusPath = u"ROOT\\ZVCHILDBUS\\0000";

std::u16string childPath(unsigned n) {
    std::u16string path = u"USB\\VID_1A2B&PID_3C4D&MI_0";
    path += char16_t(u'0' + n);
    path += u"\\ABC123_0";
    path += char16_t(u'0' + n);
    return path;
}

class ChildTreeTest : public zv::test::PnpTest {
protected:
    void SetUp() override {
        PnpTest::SetUp();
        zv::pnp::services().install({kBusService, ZV_PNP_CHILD_BUS_MODULE, {kBusHardwareId}, {}, {}});
    }

    // Plugs the bus with the children of `mask` present at its start; the driven children get units
    // 10 + n in their hardware keys first, as an installation would.
    NTSTATUS plugBus(ULONG mask) {
        zv::wdf::DeviceInstance bus;
        bus.instancePath = kBusPath;
        zv::kernel::RegKey* key = nullptr;
        EXPECT_EQ(zv::kernel::registry().openKey(bus.hardwareKeyPath(), true, &key), STATUS_SUCCESS);
        key->setValue(u"" CHILDBUS_VALUE_CHILDREN, zv::kernel::RegValue::dword(mask));
        for (unsigned n = 0; n < 8; n += 2)
            configure(childPath(n), 10 + n);
        zv::pnp::RootDevice device;
        device.instancePath = kBusPath;
        device.hardwareIds = {kBusHardwareId};
        device.description = u"Child bus";
        return pnp().plug(device);
    }

    // The bus's children as "<instance path> <state>", in the tree's order.
    std::vector<std::string> children() {
        std::vector<std::string> out;
        zv::pnp::DeviceNode* bus = pnp().find(kBusPath);
        if (bus == nullptr)
            return out;
        for (const auto& child : bus->children())
            out.push_back(narrow(child->instancePath()) + " " + zv::pnp::nodeStateName(child->state()));
        return out;
    }

    static void report(ULONG mask) {
        zv::sim::Event done(zv::sim::Event::Kind::Notification, false, "application done");
        zv::io::spawnApplication("rescan", [&] {
            HANDLE handle = CreateFileW(u"\\\\.\\" CHILDBUS_LINK, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
            EXPECT_NE(handle, INVALID_HANDLE_VALUE);
            DWORD returned = 0;
            EXPECT_TRUE(DeviceIoControl(handle, IOCTL_CHILDBUS_SET_CHILDREN, &mask, sizeof mask, nullptr, 0,
                                        &returned, nullptr));
            CloseHandle(handle);
            done.set();
        });
        done.wait();
        zv::pnp::pnpManager().waitIdle();
    }

    static bool keyExists(const std::u16string& path) {
        zv::kernel::RegKey* key = nullptr;
        return NT_SUCCESS(zv::kernel::registry().openKey(path, false, &key)) && key != nullptr;
    }
};

TEST_F(ChildTreeTest, ScannedChildrenBecomeNodesWithTheirInstancesAndDrivers) {
    runInFiber([&] {
        ASSERT_EQ(plugBus(0b0111), STATUS_SUCCESS);
        EXPECT_EQ(children(), (std::vector<std::string>{narrow(childPath(0)) + " started",
                                                        narrow(childPath(1)) + " no-driver",
                                                        narrow(childPath(2)) + " started"}));
        for (unsigned n : {0u, 1u, 2u}) {
            SCOPED_TRACE(n);
            zv::pnp::DeviceNode* node = pnp().find(childPath(n));
            ASSERT_NE(node, nullptr);
            EXPECT_EQ(zv::kernel::physicalDeviceInstance(node->pdo()),
                      std::optional<std::u16string>(childPath(n)));
            EXPECT_TRUE(keyExists(node->instance().hardwareKeyPath()));
            EXPECT_EQ(node->description(), u"Child function " + std::u16string(1, char16_t(u'0' + n)));
            EXPECT_EQ(node->capabilities().Address, n);
            if (n % 2 == 0) {
                EXPECT_EQ(node->serviceName(), zv::test::kTestService);
                EXPECT_TRUE(keyExists(node->instance().softwareKeyPath()));
                std::vector<std::string> events = takeEvents(10 + n);
                ASSERT_FALSE(events.empty());
                EXPECT_EQ(events.front(), "DeviceAdd");
            } else {
                EXPECT_TRUE(node->serviceName().empty());
                EXPECT_EQ(node->functionDevice(), nullptr);
            }
        }
        std::string tree = pnp().describeTree();
        EXPECT_NE(tree.find(narrow(childPath(1)) + " [no-driver]"), std::string::npos) << tree;
    });
}

TEST_F(ChildTreeTest, ANewScanRemovesWhatIsNotReportedAndAddsWhatIsNew) {
    runInFiber([&] {
        ASSERT_EQ(plugBus(0b0101), STATUS_SUCCESS);
        takeEvents(12);
        report(0b1001); // 2 goes, 3 comes, 0 stays
        EXPECT_EQ(children(), (std::vector<std::string>{narrow(childPath(0)) + " started",
                                                        narrow(childPath(3)) + " no-driver"}));
        EXPECT_EQ(pnp().find(childPath(2)), nullptr);
        std::vector<std::string> gone = takeEvents(12);
        EXPECT_NE(std::find(gone.begin(), gone.end(), "SurpriseRemoval"), gone.end());
        EXPECT_NE(std::find(gone.begin(), gone.end(), "Cleanup"), gone.end());

        // The child comes back: a new device node and a new device add, under the same instance path.
        report(0b1101);
        zv::pnp::DeviceNode* back = pnp().find(childPath(2));
        ASSERT_NE(back, nullptr);
        EXPECT_EQ(back->state(), zv::pnp::NodeState::Started);
        std::vector<std::string> again = takeEvents(12);
        ASSERT_FALSE(again.empty());
        EXPECT_EQ(again.front(), "DeviceAdd");

        // Unplugging the bus takes every child with it.
        EXPECT_EQ(pnp().unplug(kBusPath), STATUS_SUCCESS);
        EXPECT_EQ(pnp().find(childPath(0)), nullptr);
        EXPECT_EQ(pnp().find(kBusPath), nullptr);
        std::vector<std::string> last = takeEvents(10);
        EXPECT_NE(std::find(last.begin(), last.end(), "Cleanup"), last.end());
    });
}

} // namespace
