// The registry: a tree of keys under \Registry, each holding typed values. Keys and value names compare
// without regard to case, as on Windows. The whole tree can be saved to and loaded from the registry
// editor's .reg text format, so persistent values (instance numbers, counters) survive a restart of the
// tools. A fault plan makes chosen opens, queries, writes or deletes fail with a chosen status.
#ifndef ZV_KERNEL_REGISTRY_H
#define ZV_KERNEL_REGISTRY_H

#include <ntstatus.h>

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::sim {
class Scheduler;
}

namespace zv::kernel {

enum class RegType : uint32_t {
    None = 0,
    Sz = 1,
    ExpandSz = 2,
    Binary = 3,
    Dword = 4,
    MultiSz = 7,
    Qword = 11,
};

// A value as stored: its type and raw bytes (strings are UTF-16LE with their terminating NULs, as Windows
// stores them).
struct RegValue {
    RegType type = RegType::None;
    std::vector<uint8_t> data;

    static RegValue dword(uint32_t v);
    static RegValue qword(uint64_t v);
    static RegValue sz(std::u16string_view s, RegType type = RegType::Sz);
    static RegValue multiSz(const std::vector<std::u16string>& items);
    static RegValue binary(std::vector<uint8_t> bytes);
    std::optional<uint32_t> asDword() const;        // only for REG_DWORD of 4 bytes
    std::optional<std::u16string> asString() const; // REG_SZ / REG_EXPAND_SZ, without the NUL
    std::optional<std::vector<std::u16string>> asMultiSz() const;
    bool operator==(const RegValue&) const = default;
};

class RegKey {
public:
    explicit RegKey(std::u16string name, RegKey* parent) : name_(std::move(name)), parent_(parent) {}
    const std::u16string& name() const { return name_; }
    RegKey* parent() const { return parent_; }
    std::u16string path() const; // full path, "\Registry\Machine\..."

    RegKey* child(std::u16string_view name) const;
    RegKey* createChild(std::u16string_view name);
    bool removeChild(std::u16string_view name);
    std::vector<RegKey*> children() const; // in name order (case-insensitive)

    const RegValue* value(std::u16string_view name) const;
    void setValue(std::u16string_view name, RegValue v);
    bool removeValue(std::u16string_view name);
    // Values with their names as first written, in name order (case-insensitive).
    std::vector<std::pair<std::u16string, const RegValue*>> values() const;

    // Takes a child (with its subtree) out of the tree; nullptr when there is none.
    std::unique_ptr<RegKey> detachChild(std::u16string_view name);
    // A deleted key stays alive for whoever still holds it, but every registry operation on it fails with
    // STATUS_KEY_DELETED, as with a handle to a deleted key on Windows.
    bool deleted() const { return deleted_; }
    void markDeleted(); // with its subtree

private:
    struct Less {
        using is_transparent = void;
        bool operator()(std::u16string_view a, std::u16string_view b) const;
    };
    std::u16string name_;
    RegKey* parent_;
    bool deleted_ = false;
    std::map<std::u16string, std::unique_ptr<RegKey>, Less> children_;
    std::map<std::u16string, std::pair<std::u16string, RegValue>, Less> values_; // folded -> (name, value)
};

// Which operation a fault rule applies to.
enum class RegOp { Open, Query, Write, Delete };

struct RegFault {
    RegOp op = RegOp::Open;
    std::u16string keyPath;   // full key path, case-insensitive; empty matches every key
    std::u16string valueName; // for Query/Write/Delete: empty matches every value
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    int skip = 0;   // let this many matching operations succeed first
    int times = -1; // then fail this many (-1: every one after)
};

class Registry {
public:
    // A fresh registry holds \Registry\Machine and \Registry\User with the keys the system makes: the
    // device map with SERIALCOMM, CurrentControlSet's Services, Enum and Control\Class (CurrentControlSet
    // is a plain key, not a link to a control set), Windows NT\CurrentVersion, and User\.Default.
    explicit Registry(sim::Scheduler&);
    Registry();

    // Paths are absolute ("\Registry\Machine\System\CurrentControlSet\Services\x"); separators may be
    // repeated or trailing. Open fails with STATUS_OBJECT_NAME_NOT_FOUND for a missing key unless create is
    // set, in which case the key and every missing parent are created.
    // Other failures: STATUS_OBJECT_PATH_SYNTAX_BAD for a path not under \Registry,
    // STATUS_OBJECT_NAME_INVALID for a bad key name (see registry_names.h), STATUS_ACCESS_DENIED for a new
    // key directly under \Registry, STATUS_INVALID_PARAMETER for a bad value name, STATUS_INVALID_HANDLE for
    // a null key, STATUS_KEY_DELETED for a key deleted since it was opened, STATUS_CANNOT_DELETE for
    // \Registry and its hives.
    NTSTATUS openKey(std::u16string_view path, bool create, RegKey** key);
    NTSTATUS queryValue(RegKey* key, std::u16string_view name, RegValue* out);
    NTSTATUS setValue(RegKey* key, std::u16string_view name, RegValue v);
    NTSTATUS deleteValue(RegKey* key, std::u16string_view name);
    NTSTATUS deleteKey(std::u16string_view path); // with its subtree

    RegKey& root() { return root_; }
    // The key at a path, for inspection (no fault plan applies); nullptr when missing or not a valid path.
    RegKey* find(std::u16string_view path);

    // Fault plan. Every rule that matches an operation counts it; the first rule (in the order added) whose
    // count is past its skip and within its times gives the status. The checks come after the argument
    // checks and before the tree is looked at (so an open rule also fails opens of missing keys). A Delete
    // rule with an empty value name also matches deleteKey. loadReg bypasses the plan.
    void addFault(RegFault f);
    void clearFaults();

    // The registry editor's text format ("Windows Registry Editor Version 5.00", [HKEY_LOCAL_MACHINE\...],
    // "name"=dword:..., "name"="text", hex:, hex(2):, hex(7):, hex(b):). Load merges into the tree.
    std::string saveReg() const;
    bool loadReg(std::string_view text, std::string* error);
    bool saveRegFile(const std::string& file, std::string* error) const;
    bool loadRegFile(const std::string& file, std::string* error);

private:
    // Returns the status to fail with, or STATUS_SUCCESS.
    NTSTATUS faultFor(RegOp op, const RegKey* key, std::u16string_view valueName);
    NTSTATUS faultForPath(RegOp op, std::u16string_view path, std::u16string_view valueName);
    // The tree without the fault plan: the key at the components below \Registry (created when asked).
    RegKey* walk(const std::vector<std::u16string>& components, bool create);
    void retire(std::unique_ptr<RegKey> subtree);

    RegKey root_{u"Registry", nullptr};
    std::vector<std::pair<RegFault, int>> faults_; // rule and matches seen so far
    std::vector<std::unique_ptr<RegKey>> retired_; // deleted subtrees, kept for stale holders
};

// The registry of the current machine (the current scheduler's).
Registry& registry();

// Well-known locations.
std::u16string servicesPath(); // \Registry\Machine\System\CurrentControlSet\Services
std::u16string serviceKeyPath(std::u16string_view service); // ...\Services\<service>
std::u16string enumPath();                                  // \Registry\Machine\System\CurrentControlSet\Enum
std::u16string deviceMapPath();                             // \Registry\Machine\HARDWARE\DEVICEMAP
std::u16string serialCommPath();                            // ...\DEVICEMAP\SERIALCOMM
std::u16string controlPath();     // \Registry\Machine\System\CurrentControlSet\Control
std::u16string classPath();       // ...\Control\Class
std::u16string windowsNtPath();   // \Registry\Machine\Software\Microsoft\Windows NT\CurrentVersion
std::u16string defaultUserPath(); // \Registry\User\.Default

} // namespace zv::kernel

#endif // ZV_KERNEL_REGISTRY_H
