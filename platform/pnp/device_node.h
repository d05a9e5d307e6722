// A device node: what the Plug and Play manager knows of one device in the tree. Its identity (instance path,
// hardware and compatible IDs), its place (parent, children), its physical device object and with it the
// device stack, the service bound to it, its instance keys (the hardware key under Enum and the software
// key under Control\Class, numbered per class), the capabilities the stack reported, and where it stands.
#ifndef ZV_PNP_DEVICE_NODE_H
#define ZV_PNP_DEVICE_NODE_H

#include <ntddk.h>

#include "platform/wdf/device_init.h"

#include <memory>
#include <string>
#include <vector>

namespace zv::wdf {
class Device;
}

namespace zv::pnp {

struct Service;
class LoadedDriver;

enum class NodeState {
    Enumerated, // known, never brought up
    NoDriver,   // no service binds to its IDs
    Started,
    Stopped,  // resources rebalanced: stopped between a stop and the next start
    Disabled, // removed in order; still plugged, may be enabled again
    Failed,   // binding, loading, device add or start failed (problem())
    Removed,  // gone from the tree
};
const char* nodeStateName(NodeState state);

class DeviceNode {
public:
    DeviceNode(DeviceNode* parent, std::u16string instancePath, std::vector<std::u16string> hardwareIds,
               std::vector<std::u16string> compatibleIds, PDEVICE_OBJECT pdo);
    // Frees the subtree's records only: the node's reference on its PDO goes with releasePdo(), on a
    // fiber, before a node leaves the tree (at the machine's teardown the device objects go by themselves).
    ~DeviceNode();
    DeviceNode(const DeviceNode&) = delete;
    DeviceNode& operator=(const DeviceNode&) = delete;

    const std::u16string& instancePath() const { return instancePath_; }
    const std::vector<std::u16string>& hardwareIds() const { return hardwareIds_; }
    const std::vector<std::u16string>& compatibleIds() const { return compatibleIds_; }
    DeviceNode* parent() const { return parent_; }
    const std::vector<std::unique_ptr<DeviceNode>>& children() const { return children_; }
    DeviceNode* addChild(std::unique_ptr<DeviceNode> child);
    // Takes a child out of the tree: its reference on its PDO goes and the record is freed.
    void eraseChild(DeviceNode* child);
    // Takes a child out of the tree and hands its record (with its PDO reference) to the caller.
    std::unique_ptr<DeviceNode> takeChild(DeviceNode* child);

    PDEVICE_OBJECT pdo() const { return pdo_; }
    void releasePdo();
    // The top of its stack (referenced: ObDereferenceObject), the PDO itself when nothing is attached.
    PDEVICE_OBJECT topOfStack() const;
    // The framework device of the function driver above the PDO, if it has one.
    wdf::Device* functionDevice() const;

    NodeState state() const { return state_; }
    void setState(NodeState state) { state_ = state; }
    // Why the node failed (its last failing status), STATUS_SUCCESS otherwise.
    NTSTATUS problem() const { return problem_; }
    void fail(NTSTATUS status) {
        state_ = NodeState::Failed;
        problem_ = status;
    }
    void clearProblem() { problem_ = STATUS_SUCCESS; }

    // Still physically there (false once unplugged or no longer reported by its bus).
    bool present() const { return present_; }
    void setPresent(bool present) { present_ = present; }

    // The service bound to it and the loaded driver (nullptr until bound and loaded).
    const std::u16string& serviceName() const { return serviceName_; }
    LoadedDriver* driver() const { return driver_; }
    void setDriver(std::u16string service, LoadedDriver* driver) {
        serviceName_ = std::move(service);
        driver_ = driver;
    }
    // Its instance keys; the class and the software-key index are settled when a service binds.
    const wdf::DeviceInstance& instance() const { return instance_; }
    // Writes the instance's hardware key values (IDs, service, class, the software key it uses) and
    // creates both keys. The software-key index is kept in the hardware key's "Driver" value, so a device
    // keeps its index across unplugs and restarts of the machine (a .reg file); a new one takes the lowest
    // index free in its class.
    NTSTATUS writeInstanceKeys(const Service& service, const std::u16string& classGuid);
    // For a device no service binds to: the hardware key with its IDs and description (a software key
    // comes only with a driver).
    NTSTATUS writeIdentityKeys();

    // Tells the kernel its PDO is this instance's and what the device's properties are
    // (IoGetDeviceProperty, IoRegisterDeviceInterface). Again once a service has bound (class and
    // software key).
    void publishProperties() const;
    // The device's description (its DeviceDesc), as the bus gave it.
    const std::u16string& description() const { return description_; }
    void setDescription(std::u16string description) { description_ = std::move(description); }

    // What the stack answered to IRP_MN_QUERY_CAPABILITIES (zeroed before the first answer).
    const DEVICE_CAPABILITIES& capabilities() const { return capabilities_; }
    void setCapabilities(const DEVICE_CAPABILITIES& capabilities) { capabilities_ = capabilities; }

    // Subtree walks: every node below (not this one), children before their parent / parents first.
    std::vector<DeviceNode*> descendantsChildrenFirst() const;
    std::vector<DeviceNode*> descendantsParentsFirst() const;

    // The ParentIdPrefix its children without unique instance IDs are named with ("<depth>&<hash>&0").
    std::u16string parentIdPrefix() const;

private:
    void collectChildrenFirst(std::vector<DeviceNode*>& out) const;
    void collectParentsFirst(std::vector<DeviceNode*>& out) const;

    DeviceNode* parent_;
    std::u16string instancePath_;
    std::vector<std::u16string> hardwareIds_;
    std::vector<std::u16string> compatibleIds_;
    PDEVICE_OBJECT pdo_;
    std::vector<std::unique_ptr<DeviceNode>> children_;
    NodeState state_ = NodeState::Enumerated;
    NTSTATUS problem_ = STATUS_SUCCESS;
    bool present_ = true;
    std::u16string serviceName_;
    LoadedDriver* driver_ = nullptr;
    wdf::DeviceInstance instance_;
    DEVICE_CAPABILITIES capabilities_{};
    std::u16string description_;
};

} // namespace zv::pnp

#endif // ZV_PNP_DEVICE_NODE_H
