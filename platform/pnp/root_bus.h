// The root bus: the bus driver of root-enumerated devices (\Driver\PnpManager). A device a test or a tool
// plugs gets a physical device object here, which answers Plug and Play and power IRPs as a bus driver
// does: its IDs, its capabilities, start, stop and removal (a removal deletes the PDO once the device has
// been unplugged, after the function device above has detached from it; until then the PDO stays for the
// device to be started again).
#ifndef ZV_PNP_ROOT_BUS_H
#define ZV_PNP_ROOT_BUS_H

#include <ntddk.h>

#include <memory>
#include <string>
#include <vector>

namespace zv::pnp {

// What a root-enumerated device says about itself.
struct RootDevice {
    std::u16string instancePath; // "ROOT\ZVTEST\0000": the device ID, then the instance ID
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string description;
    bool removable = true;
    bool surpriseRemovalOk = true;
    bool rawDeviceOk = false; // may run with no function driver
};

class RootBus {
public:
    RootBus();
    // Device objects still alive keep a pointer to the driver object: the machine frees them first.
    ~RootBus();
    RootBus(const RootBus&) = delete;
    RootBus& operator=(const RootBus&) = delete;

    // A new PDO for the device (nullptr with the status when IoCreateDevice fails).
    NTSTATUS createPdo(const RootDevice& device, PDEVICE_OBJECT* pdo);
    // The device has been unplugged: its PDO goes at its removal.
    void markMissing(PDEVICE_OBJECT pdo);
    // Deletes the PDOs removed while unplugged whose stacks have let go of them (after a removal IRP).
    void reapRemoved();
    PDRIVER_OBJECT driverObject() { return &driverObject_; }

private:
    struct Pdo;
    static NTSTATUS dispatch(PDEVICE_OBJECT deviceObject, PIRP irp);
    static NTSTATUS pnp(Pdo& pdo, PIRP irp);
    static Pdo* pdoOf(PDEVICE_OBJECT deviceObject);

    std::u16string driverName_ = u"\\Driver\\PnpManager";
    DRIVER_OBJECT driverObject_{};
    std::vector<std::unique_ptr<Pdo>> pdos_;
};

// A NUL-terminated wide string (or, for a list, each entry NUL-terminated and one more NUL at the end)
// from the pool (malloc), as IRP_MN_QUERY_ID answers; the receiver frees it with free().
PWCHAR allocateIdString(const std::u16string& id);
PWCHAR allocateIdList(const std::vector<std::u16string>& ids);

} // namespace zv::pnp

#endif // ZV_PNP_ROOT_BUS_H
