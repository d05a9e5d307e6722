// The Plug and Play and power manager: its work queue and fiber, bringing nodes up, enumeration of bus
// children, removal, rebalance and system power.
#include "platform/pnp/pnp_manager.h"

#include "platform/kernel/device_object.h"
#include "platform/pnp/services.h"
#include "platform/sim/verifier.h"
#include "platform/wdf/child_list.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/device_stack.h"
#include "platform/wdf/driver.h"

#include <algorithm>
#include <cstdlib>

namespace zv::pnp {

namespace {

// Verifier rule of the manager: a bus reported a child it did not name properly (no device ID, or an
// instance path another device has).
constexpr std::string_view kBadChild = "pnp-bad-child-id";

std::u16string upper(std::u16string_view text) {
    std::u16string out(text);
    for (char16_t& c : out)
        if (c >= u'a' && c <= u'z')
            c = char16_t(c - u'a' + u'A');
    return out;
}

std::string narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? char(c) : '?');
    return out;
}

// An IRP_MN_QUERY_ID answer: a string, or a list of strings each ending in NUL and the list in one more.
// The buffer is the receiver's to free.
std::vector<std::u16string> takeIds(ULONG_PTR information, bool list) {
    std::vector<std::u16string> ids;
    auto* text = reinterpret_cast<const char16_t*>(information);
    if (text == nullptr)
        return ids;
    if (!list) {
        ids.emplace_back(text);
    } else {
        for (const char16_t* p = text; *p != u'\0'; p += ids.back().size() + 1)
            ids.emplace_back(p);
    }
    std::free(reinterpret_cast<void*>(information));
    return ids;
}

std::vector<DeviceNode*> subtreeChildrenFirst(DeviceNode& node) {
    std::vector<DeviceNode*> order = node.descendantsChildrenFirst();
    order.push_back(&node);
    return order;
}

} // namespace

PnpManager::PnpManager(sim::Scheduler& machine)
    : machine_(machine),
      root_(std::make_unique<DeviceNode>(nullptr, u"HTREE\\ROOT\\0", std::vector<std::u16string>{},
                                         std::vector<std::u16string>{}, nullptr)) {
    // Drivers are unloaded after the tree is gone: the service table must outlive the manager, and so
    // must the device objects whose file closes the manager hears of.
    services();
    kernel::deviceObjects().setFileClosedHook([this] {
        if (!heldRemovals_.empty())
            enqueue([this] { retryHeldRemovals(); });
    });
    root_->setState(NodeState::Started);
    // The framework's child lists ask for their parent's enumeration here (IoInvalidateDeviceRelations).
    machine.service<wdf::BusRelationsNotifier>().handler = [this](PDEVICE_OBJECT pdo) {
        invalidateBusRelations(pdo);
    };
}

PnpManager::~PnpManager() {
    kernel::deviceObjects().setFileClosedHook(nullptr);
    // The notifier was made before the manager and outlives it.
    machine_.service<wdf::BusRelationsNotifier>().handler = nullptr;
}

void PnpManager::retire() {
    std::vector<std::u16string> plugged;
    for (const auto& child : root_->children())
        plugged.push_back(child->instancePath());
    for (const std::u16string& path : plugged)
        unplug(path);
}

PnpManager& pnpManager() {
    return sim::Scheduler::current()->service<PnpManager>();
}

// ---- the manager's fiber ----

void PnpManager::enqueue(std::function<void()> work) {
    queue_.push_back(std::move(work));
    idle_.reset();
    if (worker_ == nullptr)
        worker_ = machine_.spawn("PnP manager", [this] { runQueue(); });
}

void PnpManager::runQueue() {
    while (!queue_.empty()) {
        std::function<void()> work = std::move(queue_.front());
        queue_.pop_front();
        work();
    }
    worker_ = nullptr;
    idle_.set();
}

void PnpManager::call(std::function<void()> work) {
    // A driver callback on the manager's own fiber asking for more: do it now, in line.
    if (machine_.currentFiber() != nullptr && machine_.currentFiber() == worker_) {
        work();
        return;
    }
    enqueue(std::move(work));
    idle_.wait(std::nullopt, "PnpManager");
}

void PnpManager::waitIdle() {
    if (machine_.currentFiber() == worker_)
        return;
    idle_.wait(std::nullopt, "PnpManager");
}

void PnpManager::invalidateBusRelations(PDEVICE_OBJECT deviceObject) {
    enqueue([this, deviceObject] {
        if (DeviceNode* node = nodeOf(deviceObject); node != nullptr && running(*node))
            enumerate(*node);
    });
}

void PnpManager::addClassInstaller(std::u16string classGuid, ClassInstaller installer) {
    classInstallers_[upper(classGuid)] = std::move(installer);
}

// ---- the tree ----

DeviceNode* PnpManager::find(std::u16string_view instancePath) const {
    std::u16string wanted = upper(instancePath);
    for (DeviceNode* node : root_->descendantsParentsFirst())
        if (upper(node->instancePath()) == wanted)
            return node;
    return nullptr;
}

DeviceNode* PnpManager::nodeOf(PDEVICE_OBJECT deviceObject) const {
    if (deviceObject == nullptr)
        return nullptr;
    for (DeviceNode* node : root_->descendantsParentsFirst())
        for (PDEVICE_OBJECT d = node->pdo(); d != nullptr; d = d->AttachedDevice)
            if (d == deviceObject)
                return node;
    return nullptr;
}

std::string PnpManager::describeTree() const {
    std::string text;
    std::function<void(const DeviceNode&, int)> walk = [&](const DeviceNode& node, int depth) {
        text += std::string(size_t(depth) * 2, ' ') + narrow(node.instancePath()) + " [" +
                nodeStateName(node.state()) + "]";
        if (!node.serviceName().empty())
            text += " " + narrow(node.serviceName());
        text += "\n";
        for (const auto& child : node.children())
            walk(*child, depth + 1);
    };
    walk(*root_, 0);
    return text;
}

bool PnpManager::running(const DeviceNode& node) const {
    return node.state() == NodeState::Started || node.state() == NodeState::Stopped;
}

NTSTATUS PnpManager::sendPnp(DeviceNode& node, UCHAR minor,
                             const std::function<void(IO_STACK_LOCATION&)>& fill, ULONG_PTR* information) {
    PDEVICE_OBJECT top = node.topOfStack();
    if (top == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    wdf::IrpResult result = wdf::sendAndWait(top, IRP_MJ_PNP, minor, fill);
    ObDereferenceObject(top);
    if (information != nullptr)
        *information = result.information;
    return result.status;
}

// ---- bringing devices up ----

NTSTATUS PnpManager::plug(const RootDevice& device) {
    return plug(device, nullptr);
}

NTSTATUS PnpManager::plug(const RootDevice& device, PDEVICE_OBJECT pdo) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    call([&] { status = plugNow(device, pdo); });
    return status;
}

NTSTATUS PnpManager::plugNow(const RootDevice& device, PDEVICE_OBJECT pdo) {
    if (systemState_ != PowerSystemWorking)
        return STATUS_INVALID_DEVICE_STATE;
    if (device.instancePath.empty() || device.instancePath.find(u'\\') == std::u16string::npos)
        return STATUS_INVALID_PARAMETER;
    if (find(device.instancePath) != nullptr)
        return STATUS_OBJECT_NAME_COLLISION;
    if (pdo == nullptr) {
        NTSTATUS status = rootBus_.createPdo(device, &pdo);
        if (!NT_SUCCESS(status))
            return status;
    }
    // The node's own reference: the PDO's memory stays until the node leaves the tree, whenever its bus
    // deletes it.
    ObReferenceObject(pdo);
    DeviceNode* node = root_->addChild(std::make_unique<DeviceNode>(
        root_.get(), device.instancePath, device.hardwareIds, device.compatibleIds, pdo));
    node->setDescription(device.description);
    node->publishProperties();
    return bringUp(*node);
}

NTSTATUS PnpManager::bringUp(DeviceNode& node) {
    node.clearProblem();
    queryCapabilities(node);
    const Service* service = services().bind(node.hardwareIds(), node.compatibleIds());
    if (service == nullptr) {
        NTSTATUS written = node.writeIdentityKeys();
        if (!NT_SUCCESS(written)) {
            node.fail(written);
            return written;
        }
        if (node.capabilities().RawDeviceOK)
            return startStack(node);
        node.setState(NodeState::NoDriver);
        return STATUS_OBJECT_NAME_NOT_FOUND;
    }
    std::u16string classGuid = service->classGuid.empty() ? std::u16string(kSystemClass) : service->classGuid;
    std::u16string serviceName = service->name;
    NTSTATUS status = node.writeInstanceKeys(*service, classGuid);
    if (!NT_SUCCESS(status)) {
        node.fail(status);
        return status;
    }
    node.publishProperties();
    LoadedDriver* loaded = nullptr;
    status = services().load(serviceName, &loaded);
    if (NT_SUCCESS(status) && loaded->driver() == nullptr)
        status = STATUS_DRIVER_UNABLE_TO_LOAD; // not a framework driver
    if (!NT_SUCCESS(status)) {
        node.fail(status);
        return status;
    }
    node.setDriver(serviceName, loaded);
    if (auto it = classInstallers_.find(upper(classGuid)); it != classInstallers_.end()) {
        status = it->second(node);
        if (!NT_SUCCESS(status)) {
            node.fail(status);
            return status;
        }
    }
    {
        wdf::DeviceInit init(*loaded->driver(), node.instance(), wdf::DeviceInit::Kind::Fdo, node.pdo());
        status = wdf::addDevice(*loaded->driver(), init);
    }
    if (!NT_SUCCESS(status)) {
        node.fail(status);
        return status;
    }
    return startStack(node);
}

NTSTATUS PnpManager::startStack(DeviceNode& node) {
    NTSTATUS status = sendPnp(node, IRP_MN_START_DEVICE);
    if (!NT_SUCCESS(status)) {
        // A stack that failed to start is taken down again; the PDO stays for another try.
        sendRemove(node);
        node.fail(status);
        return status;
    }
    node.setState(NodeState::Started);
    queryCapabilities(node);
    enumerate(node);
    return STATUS_SUCCESS;
}

void PnpManager::queryCapabilities(DeviceNode& node) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = static_cast<ULONG>(-1);
    caps.UINumber = static_cast<ULONG>(-1);
    NTSTATUS status = sendPnp(node, IRP_MN_QUERY_CAPABILITIES, [&](IO_STACK_LOCATION& stack) {
        stack.Parameters.DeviceCapabilities.Capabilities = &caps;
    });
    if (NT_SUCCESS(status))
        node.setCapabilities(caps);
}

void PnpManager::enumerate(DeviceNode& node) {
    ULONG_PTR information = 0;
    NTSTATUS status = sendPnp(
        node, IRP_MN_QUERY_DEVICE_RELATIONS,
        [](IO_STACK_LOCATION& stack) { stack.Parameters.QueryDeviceRelations.Type = BusRelations; },
        &information);
    // A stack that does not answer is no bus (or kept its children as they were).
    if (!NT_SUCCESS(status))
        return;
    std::vector<PDEVICE_OBJECT> reported;
    if (auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(information)) {
        reported.assign(relations->Objects, relations->Objects + relations->Count);
        wdf::freeDeviceRelations(relations);
    }
    // Children no longer reported are gone: surprise removal, then removal.
    std::vector<DeviceNode*> missing;
    for (const auto& child : node.children())
        if (std::find(reported.begin(), reported.end(), child->pdo()) == reported.end())
            missing.push_back(child.get());
    for (DeviceNode* child : missing) {
        surpriseRemoveSubtree(*child);
        eraseSurpriseRemoved(*child);
    }
    for (PDEVICE_OBJECT pdo : reported) {
        auto known = std::find_if(node.children().begin(), node.children().end(),
                                  [&](const auto& child) { return child->pdo() == pdo; });
        if (known != node.children().end()) {
            ObDereferenceObject(pdo); // the list's reference; the node holds its own
            continue;
        }
        std::unique_ptr<DeviceNode> child = newChild(node, pdo);
        if (child == nullptr) {
            ObDereferenceObject(pdo);
            continue;
        }
        bringUp(*node.addChild(std::move(child)));
    }
}

std::unique_ptr<DeviceNode> PnpManager::newChild(DeviceNode& parent, PDEVICE_OBJECT pdo) {
    auto query = [&](BUS_QUERY_ID_TYPE type, bool list) {
        wdf::IrpResult result =
            wdf::sendAndWait(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID,
                             [&](IO_STACK_LOCATION& stack) { stack.Parameters.QueryId.IdType = type; });
        return NT_SUCCESS(result.status) ? takeIds(result.information, list) : std::vector<std::u16string>{};
    };
    std::vector<std::u16string> deviceId = query(BusQueryDeviceID, false);
    std::vector<std::u16string> instanceId = query(BusQueryInstanceID, false);
    std::vector<std::u16string> hardwareIds = query(BusQueryHardwareIDs, true);
    std::vector<std::u16string> compatibleIds = query(BusQueryCompatibleIDs, true);
    if (deviceId.empty() || deviceId[0].empty()) {
        machine_.verifier().report(kBadChild, narrow(parent.instancePath()), "IRP_MN_QUERY_ID",
                                   "a child of this bus gave no device ID");
        return nullptr;
    }
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = static_cast<ULONG>(-1);
    caps.UINumber = static_cast<ULONG>(-1);
    wdf::IrpResult capsResult =
        wdf::sendAndWait(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                         [&](IO_STACK_LOCATION& s) { s.Parameters.DeviceCapabilities.Capabilities = &caps; });
    std::u16string instance = instanceId.empty() ? std::u16string() : instanceId[0];
    // An instance ID that is unique only on its bus is made unique in the tree with the parent's prefix.
    if (!NT_SUCCESS(capsResult.status) || !caps.UniqueID)
        instance = parent.parentIdPrefix() + u"&" + instance;
    std::u16string path = deviceId[0] + u"\\" + instance;
    if (find(path) != nullptr) {
        machine_.verifier().report(kBadChild, narrow(parent.instancePath()), "IRP_MN_QUERY_ID",
                                   "two devices named " + narrow(path));
        return nullptr;
    }
    auto child = std::make_unique<DeviceNode>(&parent, std::move(path), std::move(hardwareIds),
                                              std::move(compatibleIds), pdo);
    if (NT_SUCCESS(capsResult.status))
        child->setCapabilities(caps);
    wdf::IrpResult text =
        wdf::sendAndWait(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, [](IO_STACK_LOCATION& s) {
            s.Parameters.QueryDeviceText.DeviceTextType = DeviceTextDescription;
            s.Parameters.QueryDeviceText.LocaleId = 0x409;
        });
    if (NT_SUCCESS(text.status)) {
        std::vector<std::u16string> description = takeIds(text.information, false);
        if (!description.empty())
            child->setDescription(description[0]);
    }
    child->publishProperties();
    return child;
}

// ---- taking devices down ----

void PnpManager::sendRemove(DeviceNode& node) {
    if (node.pdo() == nullptr)
        return;
    sendPnp(node, IRP_MN_REMOVE_DEVICE);
    rootBus_.reapRemoved();
}

void PnpManager::eraseNode(DeviceNode& node) {
    node.setState(NodeState::Removed);
    if (DeviceNode* parent = node.parent())
        parent->eraseChild(&node);
}

namespace {

// Whether an application (or anyone) has a file object open on a device of the node's stack.
bool stackHasOpenFiles(const DeviceNode& node) {
    for (PDEVICE_OBJECT d = node.pdo(); d != nullptr; d = d->AttachedDevice)
        if (d->ReferenceCount > 0)
            return true;
    return false;
}

} // namespace

bool PnpManager::removeClosedStacks(DeviceNode& node) {
    bool childrenGone = true;
    for (const auto& child : node.children())
        if (!removeClosedStacks(*child))
            childrenGone = false;
    if (node.state() == NodeState::Removed)
        return true;
    if (!childrenGone || stackHasOpenFiles(node))
        return false;
    sendRemove(node);
    node.setState(NodeState::Removed);
    return true;
}

void PnpManager::retryHeldRemovals() {
    for (size_t i = 0; i < heldRemovals_.size();) {
        if (removeClosedStacks(*heldRemovals_[i])) {
            heldRemovals_[i]->releasePdo();
            heldRemovals_.erase(heldRemovals_.begin() + std::ptrdiff_t(i));
        } else {
            ++i;
        }
    }
}

void PnpManager::surpriseRemoveSubtree(DeviceNode& node) {
    std::vector<DeviceNode*> order = subtreeChildrenFirst(node);
    for (DeviceNode* n : order) {
        n->setPresent(false);
        rootBus_.markMissing(n->pdo());
        if (running(*n))
            sendPnp(*n, IRP_MN_SURPRISE_REMOVAL);
    }
    removeClosedStacks(node);
}

void PnpManager::eraseSurpriseRemoved(DeviceNode& node) {
    DeviceNode* parent = node.parent();
    if (parent == nullptr)
        return;
    if (node.state() == NodeState::Removed) {
        parent->eraseChild(&node);
    } else if (std::unique_ptr<DeviceNode> held = parent->takeChild(&node)) {
        // Its removal waits for the handles still open on its stack (or on its children's).
        heldRemovals_.push_back(std::move(held));
    }
}

NTSTATUS PnpManager::removeSubtree(DeviceNode& node, bool keepNode) {
    std::vector<DeviceNode*> order = subtreeChildrenFirst(node);
    std::vector<DeviceNode*> queried;
    for (DeviceNode* n : order) {
        if (!running(*n))
            continue;
        NTSTATUS status = sendPnp(*n, IRP_MN_QUERY_REMOVE_DEVICE);
        if (!NT_SUCCESS(status)) {
            for (auto q = queried.rbegin(); q != queried.rend(); ++q)
                sendPnp(**q, IRP_MN_CANCEL_REMOVE_DEVICE);
            return status;
        }
        queried.push_back(n);
    }
    if (!keepNode) {
        node.setPresent(false);
        rootBus_.markMissing(node.pdo());
    }
    for (DeviceNode* n : order) {
        sendRemove(*n);
        n->setState(NodeState::Removed);
    }
    while (!node.children().empty())
        node.eraseChild(node.children().front().get());
    if (keepNode)
        node.setState(NodeState::Disabled);
    else
        eraseNode(node);
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::unplugNow(std::u16string_view instancePath) {
    DeviceNode* node = find(instancePath);
    if (node == nullptr)
        return STATUS_NO_SUCH_DEVICE;
    if (node->parent() != root_.get())
        return STATUS_INVALID_DEVICE_REQUEST; // its bus unplugs it, by no longer reporting it
    surpriseRemoveSubtree(*node);
    eraseSurpriseRemoved(*node);
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::unplug(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    call([&] { status = unplugNow(instancePath); });
    return status;
}

void PnpManager::deviceGone(std::u16string instancePath) {
    enqueue([this, path = std::move(instancePath)] { unplugNow(path); });
}

NTSTATUS PnpManager::remove(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    call([&] {
        if (DeviceNode* node = find(instancePath))
            status = removeSubtree(*node, false);
    });
    return status;
}

NTSTATUS PnpManager::disable(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    call([&] {
        if (DeviceNode* node = find(instancePath))
            status = node->state() == NodeState::Disabled ? STATUS_SUCCESS : removeSubtree(*node, true);
    });
    return status;
}

NTSTATUS PnpManager::enable(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    call([&] {
        DeviceNode* node = find(instancePath);
        if (node == nullptr)
            return;
        if (systemState_ != PowerSystemWorking || running(*node) || !node->present()) {
            status = running(*node) ? STATUS_SUCCESS : STATUS_INVALID_DEVICE_STATE;
            return;
        }
        status = bringUp(*node);
    });
    return status;
}

NTSTATUS PnpManager::rebalance(std::u16string_view instancePath) {
    NTSTATUS status = STATUS_NO_SUCH_DEVICE;
    call([&] {
        DeviceNode* node = find(instancePath);
        if (node == nullptr)
            return;
        if (node->state() != NodeState::Started) {
            status = STATUS_INVALID_DEVICE_STATE;
            return;
        }
        std::vector<DeviceNode*> order;
        for (DeviceNode* n : subtreeChildrenFirst(*node))
            if (running(*n))
                order.push_back(n);
        std::vector<DeviceNode*> queried;
        for (DeviceNode* n : order) {
            status = sendPnp(*n, IRP_MN_QUERY_STOP_DEVICE);
            if (!NT_SUCCESS(status)) {
                for (auto q = queried.rbegin(); q != queried.rend(); ++q)
                    sendPnp(**q, IRP_MN_CANCEL_STOP_DEVICE);
                return;
            }
            queried.push_back(n);
        }
        for (DeviceNode* n : order) {
            sendPnp(*n, IRP_MN_STOP_DEVICE);
            n->setState(NodeState::Stopped);
        }
        status = STATUS_SUCCESS;
        for (auto n = order.rbegin(); n != order.rend(); ++n) {
            NTSTATUS started = startStack(**n);
            if (!NT_SUCCESS(started) && NT_SUCCESS(status))
                status = started;
        }
    });
    return status;
}

// ---- system power ----

NTSTATUS PnpManager::setSystemPower(SYSTEM_POWER_STATE state, POWER_ACTION action) {
    bool waking = state == PowerSystemWorking;
    if (waking ? systemState_ == PowerSystemWorking || systemState_ == PowerSystemShutdown
               : systemState_ != PowerSystemWorking)
        return STATUS_INVALID_DEVICE_STATE;
    // Going down, children before their parents; coming back, parents first.
    std::vector<DeviceNode*> order =
        waking ? root_->descendantsParentsFirst() : root_->descendantsChildrenFirst();
    order.erase(std::remove_if(order.begin(), order.end(), [&](DeviceNode* n) { return !running(*n); }),
                order.end());
    auto send = [&](DeviceNode& node, UCHAR minor) {
        PDEVICE_OBJECT top = node.topOfStack();
        if (top == nullptr)
            return STATUS_NO_SUCH_DEVICE;
        wdf::IrpResult result = wdf::sendAndWait(top, IRP_MJ_POWER, minor, [&](IO_STACK_LOCATION& stack) {
            stack.Parameters.Power.Type = SystemPowerState;
            stack.Parameters.Power.State.SystemState = state;
            stack.Parameters.Power.ShutdownType = action;
        });
        ObDereferenceObject(top);
        return result.status;
    };
    if (!waking) {
        for (DeviceNode* n : order) {
            NTSTATUS status = send(*n, IRP_MN_QUERY_POWER);
            if (!NT_SUCCESS(status))
                return status;
        }
    }
    for (DeviceNode* n : order)
        send(*n, IRP_MN_SET_POWER);
    systemState_ = state;
    sleepAction_ = waking ? PowerActionNone : action;
    return STATUS_SUCCESS;
}

NTSTATUS PnpManager::sleep() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    call([&] { status = setSystemPower(PowerSystemSleeping3, PowerActionSleep); });
    return status;
}

NTSTATUS PnpManager::hibernate() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    call([&] { status = setSystemPower(PowerSystemHibernate, PowerActionHibernate); });
    return status;
}

NTSTATUS PnpManager::shutdown() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    call([&] { status = setSystemPower(PowerSystemShutdown, PowerActionShutdownOff); });
    return status;
}

NTSTATUS PnpManager::wake() {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // The S0 IRP carries the action the machine is coming back from.
    call([&] { status = setSystemPower(PowerSystemWorking, sleepAction_); });
    return status;
}

} // namespace zv::pnp
