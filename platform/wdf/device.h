// Framework devices (WDFDEVICE).
//
// A device is a child of its driver and cannot be deleted by the driver. WdfDeviceCreate builds its WDM
// device object (named, typed and with the characteristics the device-add callback set), attaches it above
// the physical device object, routes the driver object's dispatch table into the framework (Plug and Play
// and power to the device's state machine, everything else to the request path) and makes the request
// path's state. Removal detaches and deletes the device object; the WDFDEVICE itself, with its cleanup
// callbacks, goes only when the device object is released, which is later when a handle to it is still
// open (or anything else holds a reference). So two device objects of one device instance can exist at
// once: the removed one waiting for its last handle, and a new one.
//
// A device whose effective synchronisation scope is the device owns the presentation lock that serialises
// its queue callbacks: a mutex at passive execution level, else a spin lock.
#ifndef ZV_WDF_DEVICE_H
#define ZV_WDF_DEVICE_H

#include "platform/wdf/device_init.h"
#include "platform/wdf/device_pnp.h"
#include "platform/wdf/device_power.h"
#include "platform/wdf/object.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zv::wdf {

class ChildList;

class Device : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Device;
    Device(Object* parent, DeviceInit& init);
    ~Device() override;

    bool driverDeletable() const override { return false; }
    sim::Lock* presentationLock() override { return presentationLock_.get(); }
    NTSTATUS onCreated() override;

    // The framework device behind a WDM device object the framework made (nullptr for any other, and
    // once the device has been cleaned up).
    static Device* fromDeviceObject(PDEVICE_OBJECT deviceObject);
    // The device behind a handle, without a verifier report (platform code and tests); nullptr if none.
    static Device* fromHandle(WDFDEVICE handle);

    Driver& driver() const { return driver_; }
    const DeviceInstance& instance() const { return instance_; }
    // A PDO learns its instance path when Plug and Play has named it (before its start).
    void setInstancePath(std::u16string path) { instance_.instancePath = std::move(path); }
    DeviceInit::Kind kind() const { return kind_; }
    const DeviceSettings& settings() const { return settings_; }

    // The WDM side. The device object stays until it is released (nullptr afterwards); the attached
    // (next lower) device and the physical device are nullptr for a device with nothing below it.
    PDEVICE_OBJECT deviceObject() const { return deviceObject_; }
    PDEVICE_OBJECT attachedDevice() const { return attachedDevice_; }
    PDEVICE_OBJECT physicalDevice() const { return physicalDevice_; }
    // Detached and deleted (IoDeleteDevice has run); the device object may live on.
    bool wdmDeleted() const { return wdmDeleted_; }

    // The request path's settings (still the device-init record's while WdfDeviceCreate runs) and state.
    IoConfig& io() { return creatingFrom_ != nullptr ? creatingFrom_->io() : *io_; }
    DeviceIoState* ioState() { return ioState_.get(); }
    // WdfDeviceCreate hands the settings over once the device exists.
    void adoptIo(IoConfigPtr io);

    DevicePnp& pnp() { return pnp_; }
    DevicePower& power() { return power_; }

    // What the driver set, exactly as it passed it (the last call of each kind).
    const std::optional<WDF_DEVICE_PNP_CAPABILITIES>& pnpCapabilities() const { return pnpCapabilities_; }
    const std::optional<WDF_DEVICE_POWER_CAPABILITIES>& powerCapabilities() const {
        return powerCapabilities_;
    }
    const std::optional<PNP_BUS_INFORMATION>& busInformation() const { return busInformation_; }
    // Applies every capability the driver set (the non-default fields of every call, in order) over what
    // the bus below answered to IRP_MN_QUERY_CAPABILITIES.
    void applyCapabilities(DEVICE_CAPABILITIES& capabilities) const;
    void setPnpCapabilities(const WDF_DEVICE_PNP_CAPABILITIES& capabilities);
    void setPowerCapabilities(const WDF_DEVICE_POWER_CAPABILITIES& capabilities);
    void setBusInformation(const PNP_BUS_INFORMATION& information) { busInformation_ = information; }

    // WdfDeviceSetStaticStopRemove: while the count is above zero, query stop and query remove fail.
    // False when TRUE comes without a FALSE before it.
    bool setStoppable(bool stoppable);
    bool stopRemoveAllowed() const { return notStoppable_ == 0; }

    // Symbolic links and device interfaces: made now, interfaces switched on at start and off at removal,
    // links deleted at removal.
    NTSTATUS createSymbolicLink(std::u16string_view link);
    const std::vector<std::u16string>& symbolicLinks() const { return symbolicLinks_; }
    NTSTATUS createDeviceInterface(const GUID& interfaceClass, std::u16string_view reference);
    // The interface's symbolic link name; nullptr when the device has no such interface.
    const std::u16string* deviceInterface(const GUID& interfaceClass, std::u16string_view reference) const;
    void setInterfacesEnabled(bool enabled);
    void deleteSymbolicLinks();

    // A bus device's current children, asked for when Plug and Play queries its bus relations. The
    // device objects returned are the children's physical device objects; the query takes a reference
    // on each for the caller. No provider: the query passes down unanswered.
    using ChildrenProvider = std::function<std::vector<PDEVICE_OBJECT>()>;
    void setChildrenProvider(ChildrenProvider provider) { childrenProvider_ = std::move(provider); }
    const ChildrenProvider& childrenProvider() const { return childrenProvider_; }

    // The device's child lists (the default one first); its bus relations are their children.
    const std::vector<WDFCHILDLIST>& childLists() const { return childLists_; }
    WDFCHILDLIST defaultChildList() const { return defaultChildList_; }
    NTSTATUS addChildList(const WDF_CHILD_LIST_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes,
                          const char* routine, WDFCHILDLIST* list);

    // A framework PDO's side: what its list's create-device callback set, the list and the parent device
    // (nullptr for a device no list made).
    const PdoSettings& pdoSettings() const { return pdo_; }
    ChildList* childList() const;
    Device* parentDevice() const;

    // Interfaces added with WdfDeviceAddQueryInterface, answered to IRP_MN_QUERY_INTERFACE.
    struct QueryInterface {
        GUID type;
        std::vector<uint8_t> record; // the driver's INTERFACE record as it was added (empty: none)
        bool sendToParentStack;
        bool importInterface;
        PFN_WDF_DEVICE_PROCESS_QUERY_INTERFACE_REQUEST callback;
    };
    std::vector<QueryInterface>& queryInterfaces() { return queryInterfaces_; }

    // A PDO's deletion: now when nothing is attached above it any more, else as soon as the device above
    // detaches (a function driver's removal passes the IRP down before it detaches).
    void deleteWdmDeviceWhenDetached();

    // Removal's last step: detach from the device below and delete the device object (IoDeleteDevice).
    // The device is cleaned up when the device object is released.
    void deleteWdmDevice();

protected:
    // A device deleted with its driver (unloaded without a removal) gives its device object up too.
    void onCleanup() override;

private:
    NTSTATUS createWdmDevice();
    // The device object has been freed: clean the framework device up (its EvtCleanupCallback runs).
    void deviceObjectReleased();

    Driver& driver_;
    DeviceInstance instance_;
    DeviceInit::Kind kind_;
    DeviceSettings settings_;
    IoConfigPtr io_;
    DeviceIoStatePtr ioState_;
    PDEVICE_OBJECT physicalDevice_;
    PDEVICE_OBJECT deviceObject_ = nullptr;
    PDEVICE_OBJECT attachedDevice_ = nullptr;
    bool wdmDeleted_ = false;
    bool deleteWhenDetached_ = false;
    std::unique_ptr<sim::Lock> presentationLock_;
    DevicePnp pnp_;
    DevicePower power_;

    std::optional<WDF_DEVICE_PNP_CAPABILITIES> pnpCapabilities_;
    std::optional<WDF_DEVICE_POWER_CAPABILITIES> powerCapabilities_;
    std::vector<WDF_DEVICE_PNP_CAPABILITIES> pnpCapabilityCalls_;
    std::vector<WDF_DEVICE_POWER_CAPABILITIES> powerCapabilityCalls_;
    std::optional<PNP_BUS_INFORMATION> busInformation_;
    long notStoppable_ = 0;

    std::vector<std::u16string> symbolicLinks_;
    struct Interface {
        GUID interfaceClass;
        std::u16string reference;
        std::u16string linkName;
        bool enabled = false;
    };
    std::vector<Interface> interfaces_;
    ChildrenProvider childrenProvider_;
    std::vector<WDFCHILDLIST> childLists_;
    WDFCHILDLIST defaultChildList_ = nullptr;
    PdoSettings pdo_;
    WDFDEVICE parentDevice_ = nullptr;
    PDEVICE_OBJECT parentObject_ = nullptr; // referenced while this child's device lives
    std::vector<QueryInterface> queryInterfaces_;
    DeviceInit* creatingFrom_; // until adoptIo
};

// Runs a driver's EvtDriverDeviceAdd on the device-init record and finishes what the framework does
// around it: a device made by a callback that then failed is deleted again (its cleanup callbacks run),
// and a device that was made is ready for requests (DO_DEVICE_INITIALIZING cleared). The device made, if
// any, is init.device().
NTSTATUS addDevice(Driver& driver, DeviceInit& init);

} // namespace zv::wdf

#endif // ZV_WDF_DEVICE_H
