// Children a bus reports. The test plays a raw WDM bus (no function driver: its PDO says RawDeviceOK) whose
// bus relations list child PDOs of its own; the children bind to the test driver module. When the bus
// invalidates its relations the manager brings new children up and takes missing ones away; names of
// children without unique instance IDs carry the bus's prefix; removing or powering the bus takes its
// children along in the right order.
#include "tests/pnp/pnp_fixture.h"
#include "tests/pnp/pnptestdrv.h"

#include "platform/kernel/debug_output.h"
#include "platform/pnp/root_bus.h"
#include "platform/sim/verifier.h"
#include "platform/wdf/device.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

namespace {

using zv::pnp::NodeState;
using Events = std::vector<std::string>;

const std::u16string kBusPath = u"ROOT\\ZVTESTBUS\\0000";
const std::u16string kChildDeviceId = u"ZVBUS\\PNPTESTCHILD";

// The test bus: one PDO for the bus itself (extension NULL) and one per child (extension: its record).
struct TestBus {
    struct Child {
        unsigned unit = 0;
        std::u16string instanceId;
        bool uniqueId = true;
        bool reported = true;
        bool removed = false;
        PDEVICE_OBJECT pdo = nullptr;
    };
    explicit TestBus(zv::sim::Scheduler&) {}
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT pdo = nullptr;
    std::vector<std::unique_ptr<Child>> children;
};

TestBus& bus() {
    return zv::sim::Scheduler::current()->service<TestBus>();
}

NTSTATUS finish(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    if (information != 0)
        irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void capabilities(DEVICE_CAPABILITIES& caps, bool raw, bool uniqueId) {
    caps.RawDeviceOK = raw ? 1 : 0;
    caps.UniqueID = uniqueId ? 1 : 0;
    caps.SurpriseRemovalOK = 1;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
        caps.DeviceState[s] = PowerDeviceD3;
}

NTSTATUS childPnp(TestBus::Child& child, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_ID:
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    return finish(irp, STATUS_SUCCESS, ULONG_PTR(zv::pnp::allocateIdString(kChildDeviceId)));
                case BusQueryInstanceID:
                    return finish(irp, STATUS_SUCCESS,
                                  ULONG_PTR(zv::pnp::allocateIdString(child.instanceId)));
                case BusQueryHardwareIDs:
                    return finish(irp, STATUS_SUCCESS,
                                  ULONG_PTR(zv::pnp::allocateIdList({zv::test::kTestHardwareId})));
                case BusQueryCompatibleIDs:
                    return finish(irp, STATUS_SUCCESS, ULONG_PTR(zv::pnp::allocateIdList({})));
                default:
                    return finish(irp, irp->IoStatus.Status);
            }
        case IRP_MN_QUERY_CAPABILITIES:
            capabilities(*stack->Parameters.DeviceCapabilities.Capabilities, false, child.uniqueId);
            return finish(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE:
            // A child no longer reported goes once the function device above it has detached.
            child.removed = !child.reported;
            return finish(irp, STATUS_SUCCESS);
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
            return finish(irp, STATUS_SUCCESS);
        default:
            return finish(irp, irp->IoStatus.Status);
    }
}

NTSTATUS busPnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_QUERY_CAPABILITIES:
            capabilities(*stack->Parameters.DeviceCapabilities.Capabilities, true, true);
            return finish(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_DEVICE_RELATIONS: {
            if (stack->Parameters.QueryDeviceRelations.Type != BusRelations)
                return finish(irp, irp->IoStatus.Status);
            std::vector<PDEVICE_OBJECT> reported;
            for (auto& child : bus().children)
                if (child->reported)
                    reported.push_back(child->pdo);
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                std::calloc(1, sizeof(DEVICE_RELATIONS) + reported.size() * sizeof(PDEVICE_OBJECT)));
            relations->Count = static_cast<ULONG>(reported.size());
            for (size_t i = 0; i < reported.size(); ++i) {
                ObReferenceObject(reported[i]);
                relations->Objects[i] = reported[i];
            }
            return finish(irp, STATUS_SUCCESS, ULONG_PTR(relations));
        }
        case IRP_MN_START_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_REMOVE_DEVICE:
        case IRP_MN_SURPRISE_REMOVAL:
            return finish(irp, STATUS_SUCCESS);
        default:
            return finish(irp, irp->IoStatus.Status);
    }
}

NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* child = *static_cast<TestBus::Child**>(device->DeviceExtension);
    if (stack->MajorFunction == IRP_MJ_POWER) {
        if (stack->Parameters.Power.Type == SystemPowerState && stack->MinorFunction == IRP_MN_SET_POWER)
            zv::kernel::debugWrite(std::string("ZVPNP ") + (child ? std::to_string(child->unit) : "9") +
                                   " SystemPower " +
                                   std::to_string(stack->Parameters.Power.State.SystemState) + "\n");
        return finish(irp, STATUS_SUCCESS);
    }
    if (stack->MajorFunction != IRP_MJ_PNP)
        return finish(irp, STATUS_INVALID_DEVICE_REQUEST);
    return child != nullptr ? childPnp(*child, irp) : busPnp(irp);
}

class BusRelationsTest : public zv::test::PnpTest {
protected:
    PDEVICE_OBJECT createPdo(TestBus::Child* child) {
        TestBus& b = bus();
        for (auto& major : b.driver.MajorFunction)
            major = &dispatch;
        PDEVICE_OBJECT pdo = nullptr;
        EXPECT_EQ(IoCreateDevice(&b.driver, sizeof(void*), nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo),
                  STATUS_SUCCESS);
        *static_cast<TestBus::Child**>(pdo->DeviceExtension) = child;
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        return pdo;
    }
    TestBus::Child& addChild(unsigned unit, bool uniqueId) {
        auto child = std::make_unique<TestBus::Child>();
        child->unit = unit;
        child->instanceId = std::u16string(1, char16_t(u'0' + unit));
        child->uniqueId = uniqueId;
        child->pdo = createPdo(child.get());
        bus().children.push_back(std::move(child));
        return *bus().children.back();
    }
    // Deletes the children the bus dropped, once nothing is attached to them any more.
    void reap() {
        auto& children = bus().children;
        for (auto it = children.begin(); it != children.end();) {
            if ((*it)->removed && (*it)->pdo->AttachedDevice == nullptr) {
                IoDeleteDevice((*it)->pdo);
                it = children.erase(it);
            } else {
                ++it;
            }
        }
    }
    void plugBus() {
        bus().pdo = createPdo(nullptr);
        zv::pnp::RootDevice device;
        device.instancePath = kBusPath;
        device.hardwareIds = {u"ZV\\TestBus"};
        ASSERT_EQ(pnp().plug(device, bus().pdo), STATUS_SUCCESS);
        ASSERT_EQ(pnp().find(kBusPath)->state(), NodeState::Started) << "a raw bus runs without a driver";
    }
    // The bus goes, and its children with it: the bus lets go of every child at its removal.
    void removeBus() {
        for (auto& child : bus().children)
            child->reported = false;
        ASSERT_EQ(pnp().remove(kBusPath), STATUS_SUCCESS);
        reap();
        EXPECT_TRUE(bus().children.empty());
        IoDeleteDevice(bus().pdo);
    }
    static std::u16string childPath(unsigned unit) { return kChildDeviceId + u"\\" + char16_t(u'0' + unit); }
};

TEST_F(BusRelationsTest, NewChildrenComeUpAndMissingOnesGo) {
    runInFiber([&] {
        plugBus();
        configure(childPath(2), 2);
        configure(childPath(3), 3);
        TestBus::Child& two = addChild(2, true);
        addChild(3, true);
        pnp().invalidateBusRelations(bus().pdo);
        pnp().waitIdle();
        zv::pnp::DeviceNode* busNode = pnp().find(kBusPath);
        ASSERT_EQ(busNode->children().size(), 2u);
        EXPECT_EQ(pnp().find(childPath(2))->parent(), busNode);
        EXPECT_EQ(pnp().find(childPath(3))->state(), NodeState::Started);
        EXPECT_EQ(takeEvents(2).front(), "DeviceAdd");
        EXPECT_EQ(takeEvents(3).front(), "DeviceAdd");

        // Asking again changes nothing; a child the bus no longer reports is surprise-removed.
        pnp().invalidateBusRelations(bus().pdo);
        pnp().waitIdle();
        EXPECT_EQ(takeEvents(2), Events{});
        EXPECT_EQ(takeEvents(3), Events{});
        two.reported = false;
        pnp().invalidateBusRelations(bus().pdo);
        pnp().waitIdle();
        reap();
        EXPECT_EQ(pnp().find(childPath(2)), nullptr);
        EXPECT_EQ(takeEvents(2),
                  (Events{"SurpriseRemoval", "SmioSuspend", "D0ExitPre", "D0Exit target=5 action=0",
                          "ReleaseHardware", "SmioFlush", "SmioCleanup", "Cleanup"}));
        EXPECT_EQ(takeEvents(3), Events{});
        EXPECT_EQ(bus().children.size(), 1u) << "the dropped child's PDO is gone";

        // Removing the bus removes its child first.
        removeBus();
        EXPECT_EQ(takeEvents(3),
                  (Events{"QueryRemove", "SmioSuspend", "D0ExitPre", "D0Exit target=5 action=0",
                          "ReleaseHardware", "SmioFlush", "SmioCleanup", "Cleanup"}));
        EXPECT_TRUE(pnp().root().children().empty());
    });
}

// A child whose instance ID is unique only on its bus is named with the bus's prefix.
TEST_F(BusRelationsTest, ChildrenWithoutUniqueIdsCarryTheBussPrefix) {
    runInFiber([&] {
        plugBus();
        std::u16string path = kChildDeviceId + u"\\" + pnp().find(kBusPath)->parentIdPrefix() + u"&4";
        EXPECT_EQ(path.substr(0, kChildDeviceId.size() + 3), kChildDeviceId + u"\\2&");
        configure(path, 4);
        addChild(4, false);
        pnp().invalidateBusRelations(bus().pdo);
        pnp().waitIdle();
        ASSERT_NE(pnp().find(path), nullptr);
        EXPECT_EQ(pnp().find(path)->state(), NodeState::Started);
        EXPECT_EQ(takeEvents(4).front(), "DeviceAdd") << "the hardware key under the prefixed name was read";
        removeBus();
    });
}

// Sleep goes to the children before their bus, waking to the bus first.
TEST_F(BusRelationsTest, SystemPowerGoesChildrenFirstAndWakesParentsFirst) {
    runInFiber([&] {
        plugBus();
        configure(childPath(5), 5);
        addChild(5, true);
        pnp().invalidateBusRelations(bus().pdo);
        pnp().waitIdle();
        takeLines();
        ASSERT_EQ(pnp().sleep(), STATUS_SUCCESS);
        EXPECT_EQ(takeLines(), (Events{"5 SmioSuspend", "5 D0ExitPre", "5 D0Exit target=4 action=2",
                                       "5 SystemPower 4", "9 SystemPower 4"}));
        ASSERT_EQ(pnp().wake(), STATUS_SUCCESS);
        EXPECT_EQ(takeLines(), (Events{"9 SystemPower 1", "5 SystemPower 1", "5 D0Entry prev=4 action=2",
                                       "5 D0EntryPost", "5 SmioRestart"}));
        removeBus();
    });
}

// A framework device whose children come from the C++ provider (as the child list's will): the driver's
// relations callback runs, then the manager brings the reported child up below it.
TEST_F(BusRelationsTest, AFrameworkDevicesChildrenComeFromItsProvider) {
    runInFiber([&] {
        configure(7);
        ASSERT_EQ(pnp().plug(testDevice(7)), STATUS_SUCCESS);
        zv::pnp::DeviceNode* parent = pnp().find(instancePath(7));
        configure(childPath(8), 8);
        TestBus::Child& child = addChild(8, true);
        bool reported = true;
        parent->functionDevice()->setChildrenProvider([&] {
            return reported ? std::vector<PDEVICE_OBJECT>{child.pdo} : std::vector<PDEVICE_OBJECT>{};
        });
        takeEvents(7);
        pnp().invalidateBusRelations(parent->pdo());
        pnp().waitIdle();
        EXPECT_EQ(takeEvents(7), Events{"Relations type=0"});
        ASSERT_NE(pnp().find(childPath(8)), nullptr);
        EXPECT_EQ(pnp().find(childPath(8))->parent(), parent);
        EXPECT_EQ(takeEvents(8).front(), "DeviceAdd");

        reported = false;
        child.reported = false;
        pnp().invalidateBusRelations(parent->pdo());
        pnp().waitIdle();
        reap();
        EXPECT_EQ(pnp().find(childPath(8)), nullptr);
        EXPECT_EQ(takeEvents(8).front(), "SurpriseRemoval");
        EXPECT_TRUE(bus().children.empty());
        ASSERT_EQ(pnp().unplug(instancePath(7)), STATUS_SUCCESS);
    });
}

// A bus that reports two children of one name: the second is refused and reported.
TEST_F(BusRelationsTest, ADuplicateChildIsRefused) {
    runInFiber([&] {
        plugBus();
        configure(childPath(6), 6);
        addChild(6, true);
        addChild(6, true).removed = true; // the bus takes it back at once: nothing will attach to it
        pnp().invalidateBusRelations(bus().pdo);
        pnp().waitIdle();
        EXPECT_EQ(pnp().find(kBusPath)->children().size(), 1u);
        bus().children.back()->reported = false;
        reap();
        removeBus();
    });
    auto reports = expectViolation("pnp-bad-child-id");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_NE(reports[0].detail.find("ZVBUS\\PNPTESTCHILD\\6"), std::string::npos) << reports[0].detail;
}

} // namespace
