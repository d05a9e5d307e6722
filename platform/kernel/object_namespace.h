// The object namespace of the machine, as far as devices need it: named device objects (\Device\X), the
// DOS devices directory (\GLOBAL??, also spelled \DosDevices and \??) holding symbolic links to device
// names, and device interfaces (a symbolic link per interface class and reference string of a physical
// device object, enabled or disabled). Names compare without regard to case. Resolving a name yields the
// device object and what follows the device's part of the name (which becomes FILE_OBJECT.FileName).
#ifndef ZV_KERNEL_OBJECT_NAMESPACE_H
#define ZV_KERNEL_OBJECT_NAMESPACE_H

#include <ntddk.h>

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::sim {
class Scheduler;
}

namespace zv::kernel {

struct ResolvedName {
    PDEVICE_OBJECT device = nullptr;
    std::u16string remainder; // "" or "\rest"
};

struct SymbolicLinkInfo {
    std::u16string name;   // "\GLOBAL??\COM7"
    std::u16string target; // "\Device\Serial0"
};

struct DeviceInterfaceInfo {
    GUID interfaceClass;
    std::u16string symbolicLinkName; // "\??\ROOT#ZVBUS#0000#{guid}" (+ "\reference")
    std::u16string instancePath;
    std::u16string referenceString;
    bool enabled = false;
    PDEVICE_OBJECT device = nullptr; // the physical device object it is registered for (nullptr once gone)
};

class ObjectNamespace {
public:
    explicit ObjectNamespace(sim::Scheduler& machine);

    // Device names. insertDevice fails with STATUS_OBJECT_NAME_COLLISION when the name is taken,
    // STATUS_OBJECT_NAME_INVALID when it is not absolute or lies in the DOS devices directory.
    NTSTATUS insertDevice(std::u16string_view name, PDEVICE_OBJECT device);
    void removeDevice(PDEVICE_OBJECT device);
    PDEVICE_OBJECT findDevice(std::u16string_view name) const;

    NTSTATUS createLink(std::u16string_view linkName, std::u16string_view target);
    NTSTATUS deleteLink(std::u16string_view linkName);
    std::optional<std::u16string> linkTarget(std::u16string_view linkName) const;
    std::vector<SymbolicLinkInfo> links() const;

    NTSTATUS registerInterface(PDEVICE_OBJECT pdo, std::u16string_view instancePath,
                               const GUID& interfaceClass, std::u16string_view referenceString,
                               std::u16string* linkName);
    NTSTATUS setInterfaceState(std::u16string_view linkName, bool enable);
    // The physical device object is being deleted: its interfaces are disabled and forget it.
    void deviceDeleted(PDEVICE_OBJECT device);
    // Registered interfaces, optionally of one class and only the enabled ones, in registration order.
    std::vector<DeviceInterfaceInfo> interfaces(const GUID* interfaceClass = nullptr,
                                                bool enabledOnly = false) const;

    // Resolves an absolute name ("\Device\X", "\??\COM7\more", "\GLOBAL??\ROOT#...#{guid}\ref"), following
    // symbolic links. STATUS_OBJECT_NAME_INVALID for a malformed name, STATUS_OBJECT_NAME_NOT_FOUND when
    // nothing of that name exists (or the interface is disabled), STATUS_OBJECT_PATH_NOT_FOUND for an
    // unknown directory.
    NTSTATUS resolve(std::u16string_view name, ResolvedName* result) const;

    // "\DosDevices\X", "\??\X" and "\GLOBAL??\X" give "\GLOBAL??\X"; anything else nullopt.
    static std::optional<std::u16string> canonicalDosName(std::u16string_view name);

private:
    struct Interface {
        DeviceInterfaceInfo info;
        std::u16string key; // upper-cased canonical link name
    };
    static std::u16string key(std::u16string_view name);
    Interface* findInterface(std::u16string_view linkName);

    std::map<std::u16string, std::pair<std::u16string, PDEVICE_OBJECT>> devices_; // key -> (name, device)
    std::map<std::u16string, SymbolicLinkInfo> links_;                            // key -> link
    std::vector<Interface> interfaces_;
};

ObjectNamespace& objectNamespace();

// "{6bdd1fc6-810f-11d0-bec7-08002be2092f}": lower case, as interface names carry it.
std::u16string guidToString(const GUID& guid);
// Parses "{...}" (either case); nullopt when malformed.
std::optional<GUID> guidFromString(std::u16string_view text);

// Convenience for tools and tests: the current machine's namespace.
std::vector<SymbolicLinkInfo> symbolicLinks();
std::vector<DeviceInterfaceInfo> deviceInterfaces(const GUID* interfaceClass = nullptr,
                                                  bool enabledOnly = false);

} // namespace zv::kernel

#endif // ZV_KERNEL_OBJECT_NAMESPACE_H
