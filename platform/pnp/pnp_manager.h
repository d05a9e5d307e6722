// The Plug and Play and power manager of one machine: the device tree, and everything that happens to it.
//
// Every operation runs on the "PnP manager" fiber at PASSIVE_LEVEL, one at a time, as Windows runs its
// Plug and Play work on one system worker. The calls below hand their work to that fiber and return when
// the tree has settled (the work and whatever it set off, such as the enumeration of a new bus's children,
// are done); they are made from a passive fiber other than the manager's own. The fiber exists only while
// there is work.
//
// A device comes into the tree when it is plugged (root-enumerated: the root bus makes its PDO) or when
// its bus reports it (a bus's BusRelations). Bringing a node up: the service bound to its IDs is loaded
// through the service table, the instance keys are written, the class's installer runs (the Ports class
// names a port before device add), the driver's device add attaches a function device above the PDO, the
// stack is started, its capabilities are asked for, and its bus relations enumerate its children.
//
// Taking nodes down follows Windows: query and then remove (children first; one veto cancels the lot),
// surprise removal when a device disappears (children first, then the removals), query stop, stop and
// start again for a rebalance. System sleep, hibernation and shutdown send S-IRPs children first, and
// waking sends them parents first; each stack's power policy owner turns them into device power IRPs.
#ifndef ZV_PNP_PNP_MANAGER_H
#define ZV_PNP_PNP_MANAGER_H

#include <ntddk.h>

#include "platform/pnp/device_node.h"
#include "platform/pnp/root_bus.h"
#include "platform/sim/scheduler.h"

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zv::pnp {

// A class installer runs for every device of its class before the driver's device add (the Ports class
// writes "PortName" into the hardware key). A failure fails the device.
using ClassInstaller = std::function<NTSTATUS(const DeviceNode& node)>;

class PnpManager {
public:
    explicit PnpManager(sim::Scheduler& machine);
    ~PnpManager();
    PnpManager(const PnpManager&) = delete;
    PnpManager& operator=(const PnpManager&) = delete;

    // Plugs a root-enumerated device and brings it up; returns how far it got (STATUS_SUCCESS: started).
    // The node stays in the tree whatever happened (STATUS_OBJECT_NAME_COLLISION: its instance path is in
    // the tree already, and nothing is plugged). No service for its IDs: STATUS_OBJECT_NAME_NOT_FOUND and
    // the node waits without a driver, unless its capabilities allow it to run raw.
    NTSTATUS plug(const RootDevice& device);
    // As plug, for a device whose PDO a platform bus made (the USB stack's, a test's): the manager takes a
    // reference on it.
    NTSTATUS plug(const RootDevice& device, PDEVICE_OBJECT pdo);
    // The device is pulled out: surprise removal of it and everything below it, then their removal.
    NTSTATUS unplug(std::u16string_view instancePath);
    // As unplug, for a platform bus that finds its device gone (a USB port): any IRQL, any fiber or none;
    // the work is queued, and waitIdle() sees it through.
    void deviceGone(std::u16string instancePath);
    // Orderly removal (an uninstall or an eject): query remove of the subtree, then removal; the device
    // leaves the tree. A veto (the refusing driver's status) leaves everything as it was.
    NTSTATUS remove(std::u16string_view instancePath);
    // As remove, but the device stays plugged, without a driver, until enable() brings it up again.
    NTSTATUS disable(std::u16string_view instancePath);
    NTSTATUS enable(std::u16string_view instancePath);
    // Resource rebalance: query stop of the subtree, stop (children first), start (parents first).
    NTSTATUS rebalance(std::u16string_view instancePath);

    // System power: sleep (S3), hibernation (S4), shutdown (S5 with PowerActionShutdownOff), and waking
    // from sleep or hibernation. STATUS_INVALID_DEVICE_STATE when the machine is not in the right state.
    NTSTATUS sleep();
    NTSTATUS hibernate();
    NTSTATUS shutdown();
    NTSTATUS wake();
    SYSTEM_POWER_STATE systemState() const { return systemState_; }

    // A bus's children changed (IoInvalidateDeviceRelations for BusRelations): the manager asks the stack
    // that holds `deviceObject` for its bus relations, brings new children up and removes missing ones.
    // Any IRQL, any fiber; the work is queued and done later.
    void invalidateBusRelations(PDEVICE_OBJECT deviceObject);
    // Waits until the manager has nothing left to do.
    void waitIdle();

    void addClassInstaller(std::u16string classGuid, ClassInstaller installer);

    // The machine's teardown step (on a fiber): every device still plugged is unplugged, so that its
    // drivers see their devices go before the service table unloads them.
    void retire();

    // The tree. The root node (HTREE\ROOT\0) has no PDO; root-enumerated devices are its children.
    DeviceNode& root() { return *root_; }
    DeviceNode* find(std::u16string_view instancePath) const;
    // The node whose stack holds the device object (any level of it), or nullptr.
    DeviceNode* nodeOf(PDEVICE_OBJECT deviceObject) const;
    // One line per node, indented by depth: "<instance path> [<state>] <service>".
    std::string describeTree() const;

    // The default class of a service that names none.
    static constexpr const char16_t* kSystemClass = u"{4d36e97d-e325-11ce-bfc1-08002be10318}";

private:
    // Runs `work` on the manager's fiber and waits until the manager is idle.
    void call(std::function<void()> work);
    void enqueue(std::function<void()> work);
    void runQueue();

    NTSTATUS plugNow(const RootDevice& device, PDEVICE_OBJECT pdo);
    NTSTATUS unplugNow(std::u16string_view instancePath);
    NTSTATUS bringUp(DeviceNode& node);
    NTSTATUS startStack(DeviceNode& node);
    void queryCapabilities(DeviceNode& node);
    void enumerate(DeviceNode& node);
    std::unique_ptr<DeviceNode> newChild(DeviceNode& parent, PDEVICE_OBJECT pdo);
    // The orderly removal of a subtree: query remove (children first), then removal. A veto cancels the
    // queries already made and is returned.
    NTSTATUS removeSubtree(DeviceNode& node, bool keepNode);
    void surpriseRemoveSubtree(DeviceNode& node);
    // After a surprise removal: sends IRP_MN_REMOVE_DEVICE (children first) to every node of the subtree
    // whose stack, and whose children's stacks, have no file object open; true when the subtree's own
    // node got it. As on Windows, a stack an application still has open is removed when the last handle
    // goes, and its parent after it.
    bool removeClosedStacks(DeviceNode& node);
    // Removals held back by open handles, out of the tree (a device arriving again gets a new node).
    void retryHeldRemovals();
    // Takes a surprise-removed node out of the tree: erased if it got its removal, held back otherwise.
    void eraseSurpriseRemoved(DeviceNode& node);
    // Sends IRP_MN_REMOVE_DEVICE down the node's stack (nothing for a node whose stack is gone).
    void sendRemove(DeviceNode& node);
    void eraseNode(DeviceNode& node);
    NTSTATUS setSystemPower(SYSTEM_POWER_STATE state, POWER_ACTION action);
    NTSTATUS sendPnp(DeviceNode& node, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION&)>& fill = nullptr,
                     ULONG_PTR* information = nullptr);
    bool running(const DeviceNode& node) const;

    sim::Scheduler& machine_;
    RootBus rootBus_;
    std::unique_ptr<DeviceNode> root_;
    std::map<std::u16string, ClassInstaller> classInstallers_; // by upper-cased class GUID
    SYSTEM_POWER_STATE systemState_ = PowerSystemWorking;
    POWER_ACTION sleepAction_ = PowerActionNone;

    std::vector<std::unique_ptr<DeviceNode>> heldRemovals_;
    std::deque<std::function<void()>> queue_;
    sim::Fiber* worker_ = nullptr;
    sim::Event idle_{sim::Event::Kind::Notification, true, "Plug and Play manager idle"};
};

// The current machine's manager.
PnpManager& pnpManager();

} // namespace zv::pnp

#endif // ZV_PNP_PNP_MANAGER_H
