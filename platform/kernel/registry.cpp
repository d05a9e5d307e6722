// The registry tree, its operations and the fault plan. The .reg text format lives in reg_file.cpp.
#include "platform/kernel/registry.h"

#include "platform/kernel/registry_names.h"
#include "platform/kernel/text.h"
#include "platform/sim/scheduler.h"

#include <cstdio>
#include <cstdlib>

namespace zv::kernel {

// ---- RegValue ----

namespace {

void appendUnits(std::vector<uint8_t>& data, std::u16string_view s) {
    for (char16_t c : s) {
        data.push_back(static_cast<uint8_t>(c & 0xFF));
        data.push_back(static_cast<uint8_t>(c >> 8));
    }
}

// The data as UTF-16LE units; a trailing odd byte is not part of any unit.
std::u16string unitsOf(const std::vector<uint8_t>& data) {
    std::u16string s;
    s.reserve(data.size() / 2);
    for (size_t i = 0; i + 1 < data.size(); i += 2)
        s.push_back(static_cast<char16_t>(data[i] | (data[i + 1] << 8)));
    return s;
}

} // namespace

RegValue RegValue::dword(uint32_t v) {
    RegValue r;
    r.type = RegType::Dword;
    for (int i = 0; i < 4; ++i)
        r.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return r;
}

RegValue RegValue::qword(uint64_t v) {
    RegValue r;
    r.type = RegType::Qword;
    for (int i = 0; i < 8; ++i)
        r.data.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return r;
}

RegValue RegValue::sz(std::u16string_view s, RegType type) {
    RegValue r;
    r.type = type;
    appendUnits(r.data, s);
    appendUnits(r.data, std::u16string_view(u"\0", 1));
    return r;
}

// An empty item cannot be stored (an empty string ends the list), so empty items are left out.
RegValue RegValue::multiSz(const std::vector<std::u16string>& items) {
    RegValue r;
    r.type = RegType::MultiSz;
    for (const auto& item : items) {
        if (item.empty())
            continue;
        appendUnits(r.data, item);
        appendUnits(r.data, std::u16string_view(u"\0", 1));
    }
    appendUnits(r.data, std::u16string_view(u"\0", 1));
    return r;
}

RegValue RegValue::binary(std::vector<uint8_t> bytes) {
    RegValue r;
    r.type = RegType::Binary;
    r.data = std::move(bytes);
    return r;
}

std::optional<uint32_t> RegValue::asDword() const {
    if (type != RegType::Dword || data.size() != 4)
        return std::nullopt;
    return uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
}

// As the kernel reads strings: up to the first NUL, or the whole data when it has none.
std::optional<std::u16string> RegValue::asString() const {
    if (type != RegType::Sz && type != RegType::ExpandSz)
        return std::nullopt;
    std::u16string s = unitsOf(data);
    if (auto nul = s.find(u'\0'); nul != std::u16string::npos)
        s.resize(nul);
    return s;
}

std::optional<std::vector<std::u16string>> RegValue::asMultiSz() const {
    if (type != RegType::MultiSz)
        return std::nullopt;
    std::vector<std::u16string> items;
    std::u16string s = unitsOf(data);
    size_t start = 0;
    while (start < s.size()) {
        size_t nul = s.find(u'\0', start);
        size_t end = nul == std::u16string::npos ? s.size() : nul;
        if (end == start)
            break; // the empty string that ends the list
        items.emplace_back(s.substr(start, end - start));
        start = end + 1;
    }
    return items;
}

// ---- RegKey ----

bool RegKey::Less::operator()(std::u16string_view a, std::u16string_view b) const {
    return compareIgnoreCase(a, b) < 0;
}

std::u16string RegKey::path() const {
    if (parent_ == nullptr)
        return u"\\" + name_;
    return parent_->path() + u"\\" + name_;
}

RegKey* RegKey::child(std::u16string_view name) const {
    auto it = children_.find(name);
    return it == children_.end() ? nullptr : it->second.get();
}

RegKey* RegKey::createChild(std::u16string_view name) {
    if (RegKey* existing = child(name))
        return existing;
    auto key = std::make_unique<RegKey>(std::u16string(name), this);
    RegKey* raw = key.get();
    children_.emplace(std::u16string(name), std::move(key));
    return raw;
}

bool RegKey::removeChild(std::u16string_view name) {
    return detachChild(name) != nullptr;
}

std::unique_ptr<RegKey> RegKey::detachChild(std::u16string_view name) {
    auto it = children_.find(name);
    if (it == children_.end())
        return nullptr;
    std::unique_ptr<RegKey> key = std::move(it->second);
    children_.erase(it);
    return key;
}

void RegKey::markDeleted() {
    deleted_ = true;
    for (auto& [name, key] : children_)
        key->markDeleted();
}

std::vector<RegKey*> RegKey::children() const {
    std::vector<RegKey*> out;
    out.reserve(children_.size());
    for (const auto& [name, key] : children_)
        out.push_back(key.get());
    return out;
}

const RegValue* RegKey::value(std::u16string_view name) const {
    auto it = values_.find(name);
    return it == values_.end() ? nullptr : &it->second.second;
}

void RegKey::setValue(std::u16string_view name, RegValue v) {
    auto it = values_.find(name);
    if (it != values_.end())
        it->second.second = std::move(v); // the name keeps the spelling it was first written with
    else
        values_.emplace(std::u16string(name), std::make_pair(std::u16string(name), std::move(v)));
}

bool RegKey::removeValue(std::u16string_view name) {
    auto it = values_.find(name);
    if (it == values_.end())
        return false;
    values_.erase(it);
    return true;
}

std::vector<std::pair<std::u16string, const RegValue*>> RegKey::values() const {
    std::vector<std::pair<std::u16string, const RegValue*>> out;
    out.reserve(values_.size());
    for (const auto& [folded, entry] : values_)
        out.emplace_back(entry.first, &entry.second);
    return out;
}

// ---- Registry ----

Registry::Registry(sim::Scheduler&) : Registry() {}

Registry::Registry() {
    root_.createChild(u"Machine");
    root_.createChild(u"User");
    for (const auto& path :
         {serialCommPath(), servicesPath(), enumPath(), classPath(), windowsNtPath(), defaultUserPath()}) {
        auto components = parseKeyPath(path);
        walk(components.components, true);
    }
}

RegKey* Registry::walk(const std::vector<std::u16string>& components, bool create) {
    RegKey* key = &root_;
    for (size_t i = 1; i < components.size(); ++i) {
        RegKey* next = key->child(components[i]);
        if (next == nullptr) {
            if (!create)
                return nullptr;
            next = key->createChild(components[i]);
        }
        key = next;
    }
    return key;
}

void Registry::retire(std::unique_ptr<RegKey> subtree) {
    subtree->markDeleted();
    retired_.push_back(std::move(subtree));
}

RegKey* Registry::find(std::u16string_view path) {
    ParsedKeyPath parsed = parseKeyPath(path);
    if (parsed.status != STATUS_SUCCESS)
        return nullptr;
    return walk(parsed.components, false);
}

NTSTATUS Registry::openKey(std::u16string_view path, bool create, RegKey** key) {
    if (key == nullptr)
        return STATUS_INVALID_PARAMETER;
    *key = nullptr;
    ParsedKeyPath parsed = parseKeyPath(path);
    if (parsed.status != STATUS_SUCCESS)
        return parsed.status;
    if (NTSTATUS fault = faultForPath(RegOp::Open, joinKeyPath(parsed.components), u"");
        fault != STATUS_SUCCESS)
        return fault;
    RegKey* k = &root_;
    for (size_t i = 1; i < parsed.components.size(); ++i) {
        RegKey* next = k->child(parsed.components[i]);
        if (next == nullptr) {
            if (!create)
                return STATUS_OBJECT_NAME_NOT_FOUND;
            if (k == &root_)
                return STATUS_ACCESS_DENIED; // \Registry holds only its hives
            next = k->createChild(parsed.components[i]);
        }
        k = next;
    }
    *key = k;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::queryValue(RegKey* key, std::u16string_view name, RegValue* out) {
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    if (key->deleted())
        return STATUS_KEY_DELETED;
    if (NTSTATUS fault = faultFor(RegOp::Query, key, name); fault != STATUS_SUCCESS)
        return fault;
    const RegValue* v = key->value(name);
    if (v == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    if (out != nullptr)
        *out = *v;
    return STATUS_SUCCESS;
}

NTSTATUS Registry::setValue(RegKey* key, std::u16string_view name, RegValue v) {
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    if (key->deleted())
        return STATUS_KEY_DELETED;
    if (key == &root_)
        return STATUS_ACCESS_DENIED;
    if (!isValidValueName(name))
        return STATUS_INVALID_PARAMETER;
    if (NTSTATUS fault = faultFor(RegOp::Write, key, name); fault != STATUS_SUCCESS)
        return fault;
    key->setValue(name, std::move(v));
    return STATUS_SUCCESS;
}

NTSTATUS Registry::deleteValue(RegKey* key, std::u16string_view name) {
    if (key == nullptr)
        return STATUS_INVALID_HANDLE;
    if (key->deleted())
        return STATUS_KEY_DELETED;
    if (NTSTATUS fault = faultFor(RegOp::Delete, key, name); fault != STATUS_SUCCESS)
        return fault;
    return key->removeValue(name) ? STATUS_SUCCESS : STATUS_OBJECT_NAME_NOT_FOUND;
}

NTSTATUS Registry::deleteKey(std::u16string_view path) {
    ParsedKeyPath parsed = parseKeyPath(path);
    if (parsed.status != STATUS_SUCCESS)
        return parsed.status;
    if (parsed.components.size() <= 2)
        return STATUS_CANNOT_DELETE; // \Registry and its hives
    if (NTSTATUS fault = faultForPath(RegOp::Delete, joinKeyPath(parsed.components), u"");
        fault != STATUS_SUCCESS)
        return fault;
    RegKey* key = walk(parsed.components, false);
    if (key == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    retire(key->parent()->detachChild(key->name()));
    return STATUS_SUCCESS;
}

void Registry::addFault(RegFault f) {
    // Rules match on the normalised path, so "\Registry\\Machine\X\" and "\registry\machine\x" are one key.
    if (!f.keyPath.empty()) {
        ParsedKeyPath parsed = parseKeyPath(f.keyPath);
        if (parsed.status == STATUS_SUCCESS)
            f.keyPath = joinKeyPath(parsed.components);
    }
    faults_.emplace_back(std::move(f), 0);
}

void Registry::clearFaults() {
    faults_.clear();
}

NTSTATUS Registry::faultFor(RegOp op, const RegKey* key, std::u16string_view valueName) {
    return faultForPath(op, key->path(), valueName);
}

// Every rule that matches counts the operation; the first rule (in the order added) whose count is past
// its skip and within its times decides the status.
NTSTATUS Registry::faultForPath(RegOp op, std::u16string_view path, std::u16string_view valueName) {
    NTSTATUS result = STATUS_SUCCESS;
    for (auto& [rule, seen] : faults_) {
        if (rule.op != op)
            continue;
        if (!rule.keyPath.empty() && !equalIgnoreCase(rule.keyPath, path))
            continue;
        if (op != RegOp::Open && !rule.valueName.empty() && !equalIgnoreCase(rule.valueName, valueName))
            continue;
        int n = seen++;
        bool fail = n >= rule.skip && (rule.times < 0 || n - rule.skip < rule.times);
        if (fail && result == STATUS_SUCCESS)
            result = rule.status;
    }
    return result;
}

Registry& registry() {
    sim::Scheduler* machine = sim::Scheduler::current();
    if (machine == nullptr) {
        std::fprintf(stderr, "zv::kernel::registry(): no machine is running (no scheduler exists)\n");
        std::abort();
    }
    return machine->service<Registry>();
}

std::u16string servicesPath() {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Services";
}
std::u16string serviceKeyPath(std::u16string_view service) {
    return servicesPath() + u"\\" + std::u16string(service);
}
std::u16string enumPath() {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Enum";
}
std::u16string deviceMapPath() {
    return u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP";
}
std::u16string serialCommPath() {
    return deviceMapPath() + u"\\SERIALCOMM";
}
std::u16string controlPath() {
    return u"\\Registry\\Machine\\System\\CurrentControlSet\\Control";
}
std::u16string classPath() {
    return controlPath() + u"\\Class";
}
std::u16string windowsNtPath() {
    return u"\\Registry\\Machine\\Software\\Microsoft\\Windows NT\\CurrentVersion";
}
std::u16string defaultUserPath() {
    return u"\\Registry\\User\\.Default";
}

} // namespace zv::kernel
