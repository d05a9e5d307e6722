// Child lists (WDFCHILDLIST): a bus device's record of its children, one identification description (and
// optionally an address description) per child, and the scans that change it.
//
// A child goes through: reported (its description copied in, no device yet), created (the create-device
// callback made its framework PDO when Plug and Play asked the parent for its bus relations), missing (no
// longer reported; its device stays until Plug and Play removes it), gone. A create-device callback that
// fails leaves the description pending and marked failed: the next enumeration of the parent tries it
// again (as the framework does), so a transient failure does not lose the child.
//
// The list is a child object of its device. A child's device is a child of the driver; it holds a
// reference on the parent's device object, so the parent's framework device is not cleaned up while a
// child's device object remains (an open handle keeps one).
#ifndef ZV_WDF_CHILD_LIST_H
#define ZV_WDF_CHILD_LIST_H

#include "platform/wdf/object.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

namespace zv::wdf {

class Device;

// Verifier rule of child lists: a description of the wrong size, a scan out of order, a create-device
// callback that claims success without making a device.
namespace rule {
inline constexpr std::string_view kChildList = "child-list-misuse";
}

// Where IoInvalidateDeviceRelations(BusRelations) goes on this machine: the Plug and Play manager installs
// its handler; without one (framework tests driving the IRPs themselves) the requests are only counted.
struct BusRelationsNotifier {
    explicit BusRelationsNotifier(sim::Scheduler&) {}
    std::function<void(PDEVICE_OBJECT)> handler;
    unsigned requests = 0;
};
BusRelationsNotifier& busRelationsNotifier();
void invalidateBusRelations(PDEVICE_OBJECT physicalDevice);

class ChildList final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::ChildList;

    struct Child {
        uint64_t id = 0;
        std::vector<uint8_t> identification; // the list's copy, IdentificationDescriptionSize bytes
        std::vector<uint8_t> address;        // AddressDescriptionSize bytes, or empty
        bool reported = true;                // marked present by the current (or last) scan
        bool missing = false;                // reported missing: its device waits for Plug and Play
        WDFDEVICE device = nullptr;          // once created
        unsigned failedCreates = 0;          // create-device failures so far
        PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identificationHeader() {
            return reinterpret_cast<PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER>(identification.data());
        }
        PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER addressHeader() {
            return address.empty() ? nullptr
                                   : reinterpret_cast<PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER>(address.data());
        }
    };

    ChildList(Object* parent, Device& device, const WDF_CHILD_LIST_CONFIG& config);
    ~ChildList() override;

    bool driverDeletable() const override { return false; }

    Device& device() const { return device_; }
    const WDF_CHILD_LIST_CONFIG& config() const { return config_; }
    WDFCHILDLIST listHandle() const { return static_cast<WDFCHILDLIST>(handle()); }

    void beginScan(const char* routine);
    void endScan(const char* routine);
    NTSTATUS addOrUpdate(PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                         PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER address, const char* routine);
    NTSTATUS updateAsMissing(PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                             const char* routine);
    void updateAllAsPresent();

    // Checks a caller's description record against the list's size (reported when it differs).
    bool checkIdentification(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* header, const char* routine);
    bool checkAddress(const WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* header, const char* routine);

    // The child (not missing) whose description matches, with `compare` or else the list's comparison.
    Child* find(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* identification,
                PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE compare = nullptr);
    Child* child(uint64_t id);
    const std::vector<std::unique_ptr<Child>>& children() const { return children_; }
    // Copies a child's descriptions into a caller's records (either may be NULL).
    void copyOut(Child& child, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER identification,
                 PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER address);

    // IRP_MN_QUERY_DEVICE_RELATIONS(BusRelations) at the parent, at PASSIVE_LEVEL: a device is created for
    // every reported child that has none; the result is the device objects of the children present.
    std::vector<PDEVICE_OBJECT> enumerate();

    // Plug and Play removed the child's device: true when the device is to go with it (the child was
    // reported missing, or its parent is being removed); false keeps it for another start.
    bool removalDeletes(uint64_t id);
    // The child's device has been cleaned up: a missing child leaves the list; a present one will get a
    // new device at the next enumeration.
    void deviceGone(uint64_t id);
    // The parent is being removed: every child goes, devices not yet removed by Plug and Play included.
    void parentRemoved();
    // A child asked to be enumerated afresh (a port cycle): EvtChildListDeviceReenumerated decides whether
    // its description stays (TRUE, the default with no callback) or the child is dropped; the parent's
    // bus relations are invalidated either way. False when no such child exists.
    bool reenumerate(uint64_t id);

protected:
    void onCleanup() override;

private:
    NTSTATUS copyIdentification(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* source, Child& child);
    NTSTATUS copyAddress(const WDF_CHILD_ADDRESS_DESCRIPTION_HEADER* source, Child& child);
    bool matches(const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* a,
                 const WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER* b,
                 PFN_WDF_CHILD_LIST_IDENTIFICATION_DESCRIPTION_COMPARE compare);
    // Creates the child's device; false when the callback failed (the child stays pending).
    bool createDevice(Child& child);
    // Description cleanup callbacks, then the record goes.
    void drop(uint64_t id);
    void invalidate();

    Device& device_;
    WDF_CHILD_LIST_CONFIG config_;
    std::vector<std::unique_ptr<Child>> children_;
    uint64_t nextId_ = 1;
    bool scanning_ = false;
    bool parentRemoved_ = false;
};

// The list behind a handle, without a report; nullptr if none.
ChildList* childListOf(WDFCHILDLIST handle);

} // namespace zv::wdf

#endif // ZV_WDF_CHILD_LIST_H
