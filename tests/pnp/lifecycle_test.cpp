// A function driver's life under the Plug and Play and power manager, seen from the driver: each case runs
// a sequence of manager operations on one device and checks, after every step, the operation's status and
// the whole sequence of callbacks the driver got (with the power states and system power action they saw).
#include "tests/pnp/pnp_fixture.h"
#include "tests/pnp/pnptestdrv.h"

#include "platform/pnp/services.h"

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using zv::pnp::NodeState;
using Events = std::vector<std::string>;

enum class Op { Plug, Unplug, Remove, Disable, Enable, Rebalance, Sleep, Hibernate, Wake, Shutdown };

const char* opName(Op op) {
    switch (op) {
        case Op::Plug:
            return "plug";
        case Op::Unplug:
            return "unplug";
        case Op::Remove:
            return "remove";
        case Op::Disable:
            return "disable";
        case Op::Enable:
            return "enable";
        case Op::Rebalance:
            return "rebalance";
        case Op::Sleep:
            return "sleep";
        case Op::Hibernate:
            return "hibernate";
        case Op::Wake:
            return "wake";
        case Op::Shutdown:
            return "shutdown";
    }
    return "?";
}

struct Step {
    Op op;
    NTSTATUS status;
    Events events;
};

struct LifecycleCase {
    const char* name;
    ULONG faults;
    std::vector<Step> steps;
    // What is left of the device at the end (nullopt: it is gone from the tree).
    std::optional<NodeState> finalState;
};

void PrintTo(const LifecycleCase& c, std::ostream* os) {
    *os << c.name;
}

// The WDF_POWER_DEVICE_STATE and POWER_ACTION numbers the driver prints.
const Events kStart = {"DeviceAdd",   "PrepareHardware", "D0Entry prev=5 action=0",
                       "D0EntryPost", "SmioInit",        "Relations type=0"};
const Events kRemove = {"QueryRemove",     "SmioSuspend", "D0ExitPre",   "D0Exit target=5 action=0",
                        "ReleaseHardware", "SmioFlush",   "SmioCleanup", "Cleanup"};
const Events kSurpriseRemove = {"SurpriseRemoval", "SmioSuspend", "D0ExitPre",   "D0Exit target=5 action=0",
                                "ReleaseHardware", "SmioFlush",   "SmioCleanup", "Cleanup"};

Events powerDown(int action) {
    return {"SmioSuspend", "D0ExitPre", "D0Exit target=4 action=" + std::to_string(action)};
}

Events powerUp(int action) {
    return {"D0Entry prev=4 action=" + std::to_string(action), "D0EntryPost", "SmioRestart"};
}

class LifecycleTest : public zv::test::PnpTest, public ::testing::WithParamInterface<LifecycleCase> {
protected:
    NTSTATUS run(Op op) {
        std::u16string path = instancePath(0);
        switch (op) {
            case Op::Plug:
                return pnp().plug(testDevice(0));
            case Op::Unplug:
                return pnp().unplug(path);
            case Op::Remove:
                return pnp().remove(path);
            case Op::Disable:
                return pnp().disable(path);
            case Op::Enable:
                return pnp().enable(path);
            case Op::Rebalance:
                return pnp().rebalance(path);
            case Op::Sleep:
                return pnp().sleep();
            case Op::Hibernate:
                return pnp().hibernate();
            case Op::Wake:
                return pnp().wake();
            case Op::Shutdown:
                return pnp().shutdown();
        }
        return STATUS_UNSUCCESSFUL;
    }
};

TEST_P(LifecycleTest, CallbacksComeInOrder) {
    const LifecycleCase& c = GetParam();
    runInFiber([&] {
        configure(0, c.faults);
        for (size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            SCOPED_TRACE(std::string("step ") + std::to_string(i) + ": " + opName(step.op));
            EXPECT_EQ(run(step.op), step.status);
            EXPECT_EQ(takeEvents(0), step.events);
        }
        zv::pnp::DeviceNode* node = pnp().find(instancePath(0));
        ASSERT_EQ(node != nullptr, c.finalState.has_value());
        if (node != nullptr) {
            EXPECT_EQ(node->state(), *c.finalState) << zv::pnp::nodeStateName(node->state());
            // Whatever a case leaves plugged goes in an orderly way, so that every device is cleaned up.
            if (pnp().systemState() != PowerSystemWorking && pnp().systemState() != PowerSystemShutdown)
                pnp().wake();
            pnp().unplug(instancePath(0));
        }
    });
}

INSTANTIATE_TEST_SUITE_P(
    Sequences, LifecycleTest,
    ::testing::Values(
        LifecycleCase{"PlugAndRemove",
                      0,
                      {{Op::Plug, STATUS_SUCCESS, kStart}, {Op::Remove, STATUS_SUCCESS, kRemove}},
                      std::nullopt},
        LifecycleCase{"SurpriseRemoval",
                      0,
                      {{Op::Plug, STATUS_SUCCESS, kStart}, {Op::Unplug, STATUS_SUCCESS, kSurpriseRemove}},
                      std::nullopt},
        LifecycleCase{"SleepAndWake",
                      0,
                      {{Op::Plug, STATUS_SUCCESS, kStart},
                       {Op::Sleep, STATUS_SUCCESS, powerDown(PowerActionSleep)},
                       {Op::Sleep, STATUS_INVALID_DEVICE_STATE, {}},
                       {Op::Wake, STATUS_SUCCESS, powerUp(PowerActionSleep)},
                       {Op::Wake, STATUS_INVALID_DEVICE_STATE, {}},
                       {Op::Remove, STATUS_SUCCESS, kRemove}},
                      std::nullopt},
        LifecycleCase{"HibernateAndWake",
                      0,
                      {{Op::Plug, STATUS_SUCCESS, kStart},
                       {Op::Hibernate, STATUS_SUCCESS, powerDown(PowerActionHibernate)},
                       {Op::Wake, STATUS_SUCCESS, powerUp(PowerActionHibernate)},
                       {Op::Sleep, STATUS_SUCCESS, powerDown(PowerActionSleep)},
                       {Op::Wake, STATUS_SUCCESS, powerUp(PowerActionSleep)},
                       {Op::Unplug, STATUS_SUCCESS, kSurpriseRemove}},
                      std::nullopt},
        // After shutdown the device is out of D0 for good: its removal only releases the hardware.
        LifecycleCase{"Shutdown",
                      0,
                      {{Op::Plug, STATUS_SUCCESS, kStart},
                       {Op::Shutdown, STATUS_SUCCESS, powerDown(PowerActionShutdownOff)},
                       {Op::Wake, STATUS_INVALID_DEVICE_STATE, {}},
                       {Op::Remove,
                        STATUS_SUCCESS,
                        {"QueryRemove", "ReleaseHardware", "SmioFlush", "SmioCleanup", "Cleanup"}}},
                      std::nullopt},
        LifecycleCase{"Rebalance",
                      0,
                      {{Op::Plug, STATUS_SUCCESS, kStart},
                       {Op::Rebalance,
                        STATUS_SUCCESS,
                        {"QueryStop", "SmioSuspend", "D0ExitPre", "D0Exit target=4 action=0",
                         "ReleaseHardware", "PrepareHardware", "D0Entry prev=4 action=0", "D0EntryPost",
                         "SmioRestart", "Relations type=0"}},
                       {Op::Remove, STATUS_SUCCESS, kRemove}},
                      std::nullopt},
        LifecycleCase{"QueryStopVetoed",
                      PNPTEST_FAULT_VETO_QUERY_STOP,
                      {{Op::Plug, STATUS_SUCCESS, kStart},
                       {Op::Rebalance, PNPTEST_VETO_STATUS, {"QueryStop"}},
                       {Op::Sleep, STATUS_SUCCESS, powerDown(PowerActionSleep)},
                       {Op::Wake, STATUS_SUCCESS, powerUp(PowerActionSleep)}},
                      NodeState::Started},
        LifecycleCase{"QueryRemoveVetoed",
                      PNPTEST_FAULT_VETO_QUERY_REMOVE,
                      {{Op::Plug, STATUS_SUCCESS, kStart},
                       {Op::Remove, PNPTEST_VETO_STATUS, {"QueryRemove"}},
                       {Op::Disable, PNPTEST_VETO_STATUS, {"QueryRemove"}},
                       {Op::Unplug, STATUS_SUCCESS, kSurpriseRemove}},
                      std::nullopt},
        // WdfDeviceSetStaticStopRemove(FALSE): stop and orderly removal are refused before the driver is
        // asked; surprise removal still happens.
        LifecycleCase{"NotStoppable",
                      PNPTEST_FAULT_NOT_STOPPABLE,
                      {{Op::Plug, STATUS_SUCCESS, kStart},
                       {Op::Rebalance, STATUS_INVALID_DEVICE_STATE, {}},
                       {Op::Remove, STATUS_INVALID_DEVICE_STATE, {}},
                       {Op::Unplug, STATUS_SUCCESS, kSurpriseRemove}},
                      std::nullopt},
        LifecycleCase{"DisableAndEnable",
                      0,
                      {{Op::Plug, STATUS_SUCCESS, kStart},
                       {Op::Disable, STATUS_SUCCESS, kRemove},
                       {Op::Enable, STATUS_SUCCESS, kStart},
                       {Op::Enable, STATUS_SUCCESS, {}}},
                      NodeState::Started},
        LifecycleCase{"PlugTwice",
                      0,
                      {{Op::Plug, STATUS_SUCCESS, kStart}, {Op::Plug, STATUS_OBJECT_NAME_COLLISION, {}}},
                      NodeState::Started},
        // A failing device add: the framework deletes the device it made.
        LifecycleCase{
            "DeviceAddFails",
            PNPTEST_FAULT_DEVICE_ADD,
            {{Op::Plug, PNPTEST_FAILURE_STATUS, {"DeviceAdd", "Cleanup"}}, {Op::Remove, STATUS_SUCCESS, {}}},
            std::nullopt},
        LifecycleCase{"PrepareHardwareFails",
                      PNPTEST_FAULT_PREPARE_HARDWARE,
                      {{Op::Plug, PNPTEST_FAILURE_STATUS, {"DeviceAdd", "PrepareHardware", "Cleanup"}},
                       {Op::Sleep, STATUS_SUCCESS, {}},
                       {Op::Wake, STATUS_SUCCESS, {}}},
                      NodeState::Failed},
        // A start that fails in D0 entry gives the prepared hardware back before the device goes.
        LifecycleCase{
            "D0EntryFails",
            PNPTEST_FAULT_D0_ENTRY,
            {{Op::Plug,
              PNPTEST_FAILURE_STATUS,
              {"DeviceAdd", "PrepareHardware", "D0Entry prev=5 action=0", "ReleaseHardware", "Cleanup"}},
             {Op::Unplug, STATUS_SUCCESS, {}}},
            std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

} // namespace
