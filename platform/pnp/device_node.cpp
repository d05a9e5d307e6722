// Device nodes and their instance keys.
#include "platform/pnp/device_node.h"

#include "platform/kernel/device_object.h"
#include "platform/kernel/registry.h"
#include "platform/kernel/text.h"
#include "platform/pnp/services.h"
#include "platform/wdf/device.h"

#include <algorithm>
#include <cstdio>
#include <set>

namespace zv::pnp {

using kernel::RegKey;
using kernel::RegValue;

const char* nodeStateName(NodeState state) {
    switch (state) {
        case NodeState::Enumerated:
            return "enumerated";
        case NodeState::NoDriver:
            return "no-driver";
        case NodeState::Started:
            return "started";
        case NodeState::Stopped:
            return "stopped";
        case NodeState::Disabled:
            return "disabled";
        case NodeState::Failed:
            return "failed";
        case NodeState::Removed:
            return "removed";
    }
    return "?";
}

namespace {

std::u16string ascii(const char* text) {
    return std::u16string(text, text + std::char_traits<char>::length(text));
}

// "nnnn" -> n; -1 for anything that is not four decimal digits.
int indexOf(std::u16string_view name) {
    if (name.size() != 4)
        return -1;
    int n = 0;
    for (char16_t c : name) {
        if (c < u'0' || c > u'9')
            return -1;
        n = n * 10 + (c - u'0');
    }
    return n;
}

} // namespace

DeviceNode::DeviceNode(DeviceNode* parent, std::u16string instancePath,
                       std::vector<std::u16string> hardwareIds, std::vector<std::u16string> compatibleIds,
                       PDEVICE_OBJECT pdo)
    : parent_(parent), instancePath_(std::move(instancePath)), hardwareIds_(std::move(hardwareIds)),
      compatibleIds_(std::move(compatibleIds)), pdo_(pdo) {
    instance_.instancePath = instancePath_;
}

DeviceNode::~DeviceNode() = default;

void DeviceNode::releasePdo() {
    for (auto& child : children_)
        child->releasePdo();
    if (pdo_ != nullptr)
        ObDereferenceObject(pdo_);
    pdo_ = nullptr;
}

DeviceNode* DeviceNode::addChild(std::unique_ptr<DeviceNode> child) {
    children_.push_back(std::move(child));
    return children_.back().get();
}

void DeviceNode::eraseChild(DeviceNode* child) {
    auto it =
        std::find_if(children_.begin(), children_.end(), [&](const auto& c) { return c.get() == child; });
    if (it == children_.end())
        return;
    (*it)->releasePdo();
    children_.erase(it);
}

std::unique_ptr<DeviceNode> DeviceNode::takeChild(DeviceNode* child) {
    auto it =
        std::find_if(children_.begin(), children_.end(), [&](const auto& c) { return c.get() == child; });
    if (it == children_.end())
        return nullptr;
    std::unique_ptr<DeviceNode> taken = std::move(*it);
    children_.erase(it);
    taken->parent_ = nullptr;
    return taken;
}

PDEVICE_OBJECT DeviceNode::topOfStack() const {
    return pdo_ != nullptr ? IoGetAttachedDeviceReference(pdo_) : nullptr;
}

wdf::Device* DeviceNode::functionDevice() const {
    if (pdo_ == nullptr)
        return nullptr;
    // The function driver's device sits right above the PDO (no filters on this machine).
    return wdf::Device::fromDeviceObject(pdo_->AttachedDevice);
}

NTSTATUS DeviceNode::writeInstanceKeys(const Service& service, const std::u16string& classGuid) {
    auto& reg = kernel::registry();
    RegKey* enumKey = nullptr;
    NTSTATUS status = reg.openKey(kernel::enumPath() + u"\\" + instancePath_, true, &enumKey);
    if (!NT_SUCCESS(status))
        return status;

    // The software key this instance used before, if it was in the same class.
    int index = -1;
    RegValue previous;
    if (NT_SUCCESS(reg.queryValue(enumKey, u"Driver", &previous))) {
        if (std::optional<std::u16string> text = previous.asString()) {
            size_t slash = text->rfind(u'\\');
            if (slash != std::u16string::npos && kernel::equalIgnoreCase(text->substr(0, slash), classGuid))
                index = indexOf(std::u16string_view(*text).substr(slash + 1));
        }
    }
    RegKey* classKey = nullptr;
    status = reg.openKey(kernel::classPath() + u"\\" + classGuid, true, &classKey);
    if (!NT_SUCCESS(status))
        return status;
    if (index < 0) {
        std::set<int> used;
        for (RegKey* k : classKey->children())
            used.insert(indexOf(k->name()));
        index = 0;
        while (used.count(index) != 0)
            ++index;
    }
    char nnnn[16];
    std::snprintf(nnnn, sizeof nnnn, "%04d", index);

    instance_.classGuid = classGuid;
    instance_.driverIndex = static_cast<unsigned>(index);
    RegKey* key = nullptr;
    if (!NT_SUCCESS(status = reg.openKey(instance_.softwareKeyPath(), true, &key)) ||
        !NT_SUCCESS(status = reg.openKey(instance_.hardwareKeyPath(), true, &key)))
        return status;
    std::pair<const char16_t*, RegValue> values[] = {
        {u"HardwareID", RegValue::multiSz(hardwareIds_)},
        {u"CompatibleIDs", RegValue::multiSz(compatibleIds_)},
        {u"Service", RegValue::sz(service.name)},
        {u"ClassGUID", RegValue::sz(classGuid)},
        {u"Driver", RegValue::sz(classGuid + u"\\" + ascii(nnnn))},
        {u"DeviceDesc", RegValue::sz(description_)},
    };
    for (auto& [name, value] : values)
        if (!NT_SUCCESS(status = reg.setValue(enumKey, name, std::move(value))))
            return status;
    return STATUS_SUCCESS;
}

NTSTATUS DeviceNode::writeIdentityKeys() {
    auto& reg = kernel::registry();
    RegKey* enumKey = nullptr;
    NTSTATUS status = reg.openKey(kernel::enumPath() + u"\\" + instancePath_, true, &enumKey);
    if (!NT_SUCCESS(status))
        return status;
    RegKey* parameters = nullptr;
    if (!NT_SUCCESS(status = reg.openKey(instance_.hardwareKeyPath(), true, &parameters)))
        return status;
    std::pair<const char16_t*, RegValue> values[] = {
        {u"HardwareID", RegValue::multiSz(hardwareIds_)},
        {u"CompatibleIDs", RegValue::multiSz(compatibleIds_)},
        {u"DeviceDesc", RegValue::sz(description_)},
    };
    for (auto& [name, value] : values)
        if (!NT_SUCCESS(status = reg.setValue(enumKey, name, std::move(value))))
            return status;
    return STATUS_SUCCESS;
}

void DeviceNode::publishProperties() const {
    if (pdo_ == nullptr)
        return;
    kernel::setPhysicalDeviceInstance(pdo_, instancePath_);
    auto multiSz = [](const std::vector<std::u16string>& items) {
        std::vector<uint8_t> bytes = RegValue::multiSz(items).data;
        return bytes;
    };
    kernel::setDeviceProperty(pdo_, DevicePropertyHardwareID, multiSz(hardwareIds_));
    kernel::setDeviceProperty(pdo_, DevicePropertyCompatibleIDs, multiSz(compatibleIds_));
    kernel::setDeviceProperty(pdo_, DevicePropertyEnumeratorName,
                              std::u16string_view(instancePath_).substr(0, instancePath_.find(u'\\')));
    if (!description_.empty())
        kernel::setDeviceProperty(pdo_, DevicePropertyDeviceDescription, description_);
    if (!instance_.classGuid.empty()) {
        char nnnn[16];
        std::snprintf(nnnn, sizeof nnnn, "%04u", instance_.driverIndex);
        kernel::setDeviceProperty(pdo_, DevicePropertyClassGuid, instance_.classGuid);
        kernel::setDeviceProperty(pdo_, DevicePropertyDriverKeyName,
                                  instance_.classGuid + u"\\" + ascii(nnnn));
    }
}

void DeviceNode::collectChildrenFirst(std::vector<DeviceNode*>& out) const {
    for (const auto& child : children_) {
        child->collectChildrenFirst(out);
        out.push_back(child.get());
    }
}

void DeviceNode::collectParentsFirst(std::vector<DeviceNode*>& out) const {
    for (const auto& child : children_) {
        out.push_back(child.get());
        child->collectParentsFirst(out);
    }
}

std::vector<DeviceNode*> DeviceNode::descendantsChildrenFirst() const {
    std::vector<DeviceNode*> out;
    collectChildrenFirst(out);
    return out;
}

std::vector<DeviceNode*> DeviceNode::descendantsParentsFirst() const {
    std::vector<DeviceNode*> out;
    collectParentsFirst(out);
    return out;
}

std::u16string DeviceNode::parentIdPrefix() const {
    unsigned depth = 0;
    for (const DeviceNode* n = this; n->parent_ != nullptr; n = n->parent_)
        ++depth;
    uint32_t hash = 2166136261u; // FNV-1a over the upper-cased instance path
    for (char16_t c : instancePath_) {
        char16_t u = c >= u'a' && c <= u'z' ? char16_t(c - u'a' + u'A') : c;
        hash = (hash ^ u) * 16777619u;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%x&%08x&0", depth + 1, hash);
    return ascii(text);
}

} // namespace zv::pnp
