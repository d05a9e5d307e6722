// Devices: creation with their WDM device object, the framework's dispatch routine, capabilities, names and
// interfaces, and the WdfDevice* entry points of the device side.
#include "platform/wdf/device.h"

#include "platform/kernel/device_object.h"
#include "platform/wdf/child_list.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/registry_key.h"
#include "platform/wdf/string.h"

#include <cstring>

namespace zv::wdf {

namespace {

// Tags of the framework's own references on a device.
constexpr char kDispatchTag = 'D';
constexpr char kDeviceAddTag = 'A';

// Every IRP a framework device object receives. The WDFDEVICE is held for the whole dispatch, so that
// removal deleting the device object (and with it, possibly, the WDFDEVICE) cannot free it underneath.
NTSTATUS frameworkDispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Device* device = Device::fromDeviceObject(deviceObject);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    if (device == nullptr) {
        // The framework device went with its driver while the device object lives on (a handle is still
        // open): only the handle's cleanup and close succeed.
        NTSTATUS status =
            major == IRP_MJ_CLEANUP || major == IRP_MJ_CLOSE ? STATUS_SUCCESS : STATUS_NO_SUCH_DEVICE;
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    device->reference(&kDispatchTag);
    NTSTATUS status;
    switch (major) {
        case IRP_MJ_PNP:
            status = device->pnp().dispatch(irp);
            break;
        case IRP_MJ_POWER:
            status = device->power().dispatch(irp);
            break;
        default:
            status = dispatchIoIrp(*device, irp);
            break;
    }
    device->dereference(&kDispatchTag);
    return status;
}

void applyTriState(WDF_TRI_STATE value, auto set) {
    if (value != WdfUseDefault)
        set(value == WdfTrue ? 1u : 0u);
}

UNICODE_STRING counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Length = static_cast<USHORT>(text.size() * sizeof(char16_t));
    s.MaximumLength = s.Length;
    s.Buffer = const_cast<char16_t*>(text.data());
    return s;
}

} // namespace

Device::Device(Object* parent, DeviceInit& init)
    : Object(kType, parent), driver_(init.driver()), instance_(init.instance()), kind_(init.kind()),
      settings_(init.settings()), physicalDevice_(init.physicalDevice()), pnp_(*this), power_(*this),
      pdo_(init.pdo()), creatingFrom_(&init) {}

Device::~Device() = default;

NTSTATUS Device::onCreated() {
    if (effectiveSynchronizationScope() == WdfSynchronizationScopeDevice) {
        auto kind = effectiveExecutionLevel() == WdfExecutionLevelPassive ? sim::Lock::Kind::Mutex
                                                                          : sim::Lock::Kind::Spin;
        presentationLock_ = std::make_unique<sim::Lock>(kind, describe() + " presentation lock");
    }
    ChildList* list = nullptr;
    if (pdo_.list != nullptr) {
        list = childListOf(pdo_.list);
        if (list == nullptr || list->cleanedUp())
            return STATUS_DELETE_PENDING;
        // Plug and Play names a child by its device ID: without one it could not be enumerated.
        if (!pdo_.deviceId) {
            reportViolation(rule::kBadParameter, this, "WdfDeviceCreate",
                            "a child's device needs WdfPdoInitAssignDeviceID");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
    }
    NTSTATUS status = createWdmDevice();
    if (!NT_SUCCESS(status))
        return status;
    ioState_ = makeDeviceIoState(*this, creatingFrom_->io());
    if (ioState_ == nullptr) {
        deleteWdmDevice();
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (list != nullptr) {
        Device& parent = list->device();
        parentDevice_ = static_cast<WDFDEVICE>(parent.handle());
        // A request forwarded to the parent goes on down the parent's stack: the child's IRPs need room
        // for all of it.
        if (PDEVICE_OBJECT parentObject = parent.deviceObject()) {
            deviceObject_->StackSize = static_cast<CCHAR>(parentObject->StackSize + 1);
            ObReferenceObject(parentObject);
            parentObject_ = parentObject;
        }
    }
    if (const auto& defaultList = settings_.defaultChildList) {
        WDF_OBJECT_ATTRIBUTES attributes;
        const WDF_OBJECT_ATTRIBUTES* given = nullptr;
        if (defaultList->attributes) {
            attributes = *defaultList->attributes;
            attributes.ParentObject = nullptr; // the device is the list's parent
            given = &attributes;
        }
        status = addChildList(defaultList->config, given, "WdfDeviceCreate", &defaultChildList_);
        if (!NT_SUCCESS(status)) {
            deleteWdmDevice();
            return status;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS Device::addChildList(const WDF_CHILD_LIST_CONFIG& config, const WDF_OBJECT_ATTRIBUTES* attributes,
                              const char* routine, WDFCHILDLIST* out) {
    ChildList* list = nullptr;
    NTSTATUS status = create<ChildList>(attributes, this, routine, &list, *this, config);
    if (!NT_SUCCESS(status))
        return status;
    childLists_.push_back(list->listHandle());
    *out = list->listHandle();
    if (!childrenProvider_) {
        // The framework answers the bus relations of a device with child lists from them.
        setChildrenProvider([this] {
            std::vector<PDEVICE_OBJECT> all;
            for (WDFCHILDLIST handle : std::vector<WDFCHILDLIST>(childLists_))
                if (ChildList* l = childListOf(handle)) {
                    std::vector<PDEVICE_OBJECT> some = l->enumerate();
                    all.insert(all.end(), some.begin(), some.end());
                }
            return all;
        });
    }
    return STATUS_SUCCESS;
}

ChildList* Device::childList() const {
    return pdo_.list != nullptr ? childListOf(pdo_.list) : nullptr;
}

Device* Device::parentDevice() const {
    return parentDevice_ != nullptr ? fromHandle(parentDevice_) : nullptr;
}

void Device::adoptIo(IoConfigPtr io) {
    io_ = std::move(io);
    creatingFrom_ = nullptr;
}

NTSTATUS Device::createWdmDevice() {
    PDRIVER_OBJECT driverObject = driver_.record().driverObject();
    UNICODE_STRING name{};
    if (settings_.name)
        name = counted(*settings_.name);
    PDEVICE_OBJECT deviceObject = nullptr;
    // Exclusivity is the framework's to enforce at create (before the driver's callback), so the device
    // object itself is not exclusive.
    NTSTATUS status = IoCreateDevice(driverObject, sizeof(WDFOBJECT), settings_.name ? &name : nullptr,
                                     settings_.deviceType, settings_.characteristics, FALSE, &deviceObject);
    if (!NT_SUCCESS(status))
        return status;
    *static_cast<WDFOBJECT*>(deviceObject->DeviceExtension) = handle();
    if (physicalDevice_ != nullptr) {
        attachedDevice_ = IoAttachDeviceToDeviceStack(deviceObject, physicalDevice_);
        if (attachedDevice_ == nullptr) {
            *static_cast<WDFOBJECT*>(deviceObject->DeviceExtension) = nullptr;
            IoDeleteDevice(deviceObject);
            return STATUS_NO_SUCH_DEVICE;
        }
    }
    deviceObject_ = deviceObject;
    for (auto& entry : driverObject->MajorFunction)
        entry = &frameworkDispatch;
    WDFOBJECT self = handle();
    kernel::onDeviceObjectReleased(deviceObject, [self] {
        Object* object = objects().find(self);
        if (object != nullptr && object->type() == ObjectType::Device)
            static_cast<Device*>(object)->deviceObjectReleased();
    });
    return STATUS_SUCCESS;
}

Device* Device::fromHandle(WDFDEVICE handle) {
    Object* object = objects().find(handle);
    return object != nullptr && object->type() == ObjectType::Device ? static_cast<Device*>(object) : nullptr;
}

Device* Device::fromDeviceObject(PDEVICE_OBJECT deviceObject) {
    // Only a device object the framework made has a handle in its extension.
    if (deviceObject == nullptr || deviceObject->DeviceExtension == nullptr ||
        deviceObject->DriverObject == nullptr ||
        deviceObject->DriverObject->MajorFunction[IRP_MJ_PNP] != &frameworkDispatch)
        return nullptr;
    Object* object = objects().find(*static_cast<WDFOBJECT*>(deviceObject->DeviceExtension));
    if (object == nullptr || object->type() != ObjectType::Device || object->cleanedUp())
        return nullptr;
    auto* device = static_cast<Device*>(object);
    return device->deviceObject_ == deviceObject ? device : nullptr;
}

void Device::deleteWdmDevice() {
    if (wdmDeleted_ || deviceObject_ == nullptr)
        return;
    wdmDeleted_ = true;
    setInterfacesEnabled(false);
    deleteSymbolicLinks();
    interfaces_.clear();
    if (PDEVICE_OBJECT lower = attachedDevice_) {
        IoDetachDevice(lower);
        // A framework PDO whose removal waited for this device to let go goes now.
        if (Device* below = fromDeviceObject(lower); below != nullptr && below->deleteWhenDetached_)
            below->deleteWdmDevice();
    }
    // May release the device object at once (and clean this device up), or when its last handle closes.
    IoDeleteDevice(deviceObject_);
}

void Device::deleteWdmDeviceWhenDetached() {
    if (wdmDeleted_ || deviceObject_ == nullptr)
        return;
    if (kernel::upperDeviceObject(deviceObject_) == nullptr)
        deleteWdmDevice();
    else
        deleteWhenDetached_ = true;
}

void Device::deviceObjectReleased() {
    deviceObject_ = nullptr;
    attachedDevice_ = nullptr;
    // A device whose creation failed is freed by its creator; one being deleted already needs nothing.
    if (creatingFrom_ != nullptr || deleting())
        return;
    if (sim::Scheduler::current()->irql() == sim::Irql::Passive) {
        deleteTree();
        return;
    }
    // Released at DISPATCH_LEVEL (a last reference dropped in a completion routine): cleanup callbacks run
    // at PASSIVE_LEVEL, so on a fiber of their own.
    WDFOBJECT self = handle();
    sim::Scheduler::current()->spawn("WDFDEVICE cleanup", [self] {
        if (Object* object = objects().find(self); object != nullptr && !object->deleting())
            object->deleteTree();
    });
}

void Device::onCleanup() {
    // Outside every fiber is only the machine's teardown, where the device objects go by themselves.
    if (sim::Scheduler::current()->currentFiber() == nullptr)
        return;
    // A device that Plug and Play never removed (its driver is unloading) gives its device object up now;
    // the release that follows finds the cleanup already under way.
    deleteWdmDevice();
    if (ChildList* list = childList())
        list->deviceGone(pdo_.childId);
    // The parent's device object (and with it the parent) may go once no child's device remains.
    if (PDEVICE_OBJECT parentObject = std::exchange(parentObject_, nullptr))
        ObDereferenceObject(parentObject);
}

void Device::setPnpCapabilities(const WDF_DEVICE_PNP_CAPABILITIES& capabilities) {
    pnpCapabilities_ = capabilities;
    pnpCapabilityCalls_.push_back(capabilities);
}

void Device::setPowerCapabilities(const WDF_DEVICE_POWER_CAPABILITIES& capabilities) {
    powerCapabilities_ = capabilities;
    powerCapabilityCalls_.push_back(capabilities);
}

void Device::applyCapabilities(DEVICE_CAPABILITIES& c) const {
    for (const WDF_DEVICE_PNP_CAPABILITIES& p : pnpCapabilityCalls_) {
        applyTriState(p.LockSupported, [&](ULONG v) { c.LockSupported = v; });
        applyTriState(p.EjectSupported, [&](ULONG v) { c.EjectSupported = v; });
        applyTriState(p.Removable, [&](ULONG v) { c.Removable = v; });
        applyTriState(p.DockDevice, [&](ULONG v) { c.DockDevice = v; });
        applyTriState(p.UniqueID, [&](ULONG v) { c.UniqueID = v; });
        applyTriState(p.SilentInstall, [&](ULONG v) { c.SilentInstall = v; });
        applyTriState(p.SurpriseRemovalOK, [&](ULONG v) { c.SurpriseRemovalOK = v; });
        applyTriState(p.HardwareDisabled, [&](ULONG v) { c.HardwareDisabled = v; });
        applyTriState(p.NoDisplayInUI, [&](ULONG v) { c.NoDisplayInUI = v; });
        if (p.Address != static_cast<ULONG>(-1))
            c.Address = p.Address;
        if (p.UINumber != static_cast<ULONG>(-1))
            c.UINumber = p.UINumber;
    }
    for (const WDF_DEVICE_POWER_CAPABILITIES& p : powerCapabilityCalls_) {
        applyTriState(p.DeviceD1, [&](ULONG v) { c.DeviceD1 = v; });
        applyTriState(p.DeviceD2, [&](ULONG v) { c.DeviceD2 = v; });
        applyTriState(p.WakeFromD0, [&](ULONG v) { c.WakeFromD0 = v; });
        applyTriState(p.WakeFromD1, [&](ULONG v) { c.WakeFromD1 = v; });
        applyTriState(p.WakeFromD2, [&](ULONG v) { c.WakeFromD2 = v; });
        applyTriState(p.WakeFromD3, [&](ULONG v) { c.WakeFromD3 = v; });
        for (int s = 0; s < POWER_SYSTEM_MAXIMUM; ++s)
            if (p.DeviceState[s] != PowerDeviceMaximum)
                c.DeviceState[s] = p.DeviceState[s];
        if (p.DeviceWake != PowerDeviceMaximum)
            c.DeviceWake = p.DeviceWake;
        if (p.SystemWake != PowerSystemMaximum)
            c.SystemWake = p.SystemWake;
        if (p.D1Latency != static_cast<ULONG>(-1))
            c.D1Latency = p.D1Latency;
        if (p.D2Latency != static_cast<ULONG>(-1))
            c.D2Latency = p.D2Latency;
        if (p.D3Latency != static_cast<ULONG>(-1))
            c.D3Latency = p.D3Latency;
    }
}

bool Device::setStoppable(bool stoppable) {
    if (!stoppable) {
        ++notStoppable_;
        return true;
    }
    if (notStoppable_ == 0)
        return false;
    --notStoppable_;
    return true;
}

NTSTATUS Device::createSymbolicLink(std::u16string_view link) {
    if (!settings_.name || deviceObject_ == nullptr || wdmDeleted_)
        return STATUS_INVALID_DEVICE_STATE;
    std::u16string text(link);
    UNICODE_STRING linkName = counted(text);
    UNICODE_STRING deviceName = counted(*settings_.name);
    NTSTATUS status = IoCreateSymbolicLink(&linkName, &deviceName);
    if (NT_SUCCESS(status))
        symbolicLinks_.push_back(std::move(text));
    return status;
}

void Device::deleteSymbolicLinks() {
    for (const std::u16string& link : symbolicLinks_) {
        UNICODE_STRING name = counted(link);
        IoDeleteSymbolicLink(&name);
    }
    symbolicLinks_.clear();
}

NTSTATUS Device::createDeviceInterface(const GUID& interfaceClass, std::u16string_view reference) {
    // Interfaces belong to the physical device object: a child's own, a function driver's the one below.
    PDEVICE_OBJECT pdo = kind_ == DeviceInit::Kind::Pdo ? deviceObject_ : physicalDevice_;
    if (pdo == nullptr || wdmDeleted_)
        return STATUS_INVALID_DEVICE_REQUEST;
    if (deviceInterface(interfaceClass, reference) != nullptr)
        return STATUS_SUCCESS;
    std::u16string ref(reference);
    UNICODE_STRING refString = counted(ref);
    UNICODE_STRING registered{};
    NTSTATUS status =
        IoRegisterDeviceInterface(pdo, &interfaceClass, ref.empty() ? nullptr : &refString, &registered);
    if (!NT_SUCCESS(status))
        return status;
    // The device keeps its own copy of the name, so nothing of the pool outlives a machine's teardown.
    interfaces_.push_back(
        {interfaceClass, ref, std::u16string(registered.Buffer, registered.Length / sizeof(WCHAR)), false});
    RtlFreeUnicodeString(&registered);
    // Interfaces are switched on when the device starts; one made while it runs is switched on now.
    if (pnp_.started()) {
        Interface& made = interfaces_.back();
        UNICODE_STRING name = counted(made.linkName);
        made.enabled = NT_SUCCESS(IoSetDeviceInterfaceState(&name, TRUE));
    }
    return STATUS_SUCCESS;
}

const std::u16string* Device::deviceInterface(const GUID& interfaceClass,
                                              std::u16string_view reference) const {
    for (const Interface& i : interfaces_)
        if (std::memcmp(&i.interfaceClass, &interfaceClass, sizeof(GUID)) == 0 && i.reference == reference)
            return &i.linkName;
    return nullptr;
}

void Device::setInterfacesEnabled(bool enabled) {
    for (Interface& i : interfaces_) {
        if (i.enabled == enabled)
            continue;
        UNICODE_STRING name = counted(i.linkName);
        if (NT_SUCCESS(IoSetDeviceInterfaceState(&name, enabled ? TRUE : FALSE)) || !enabled)
            i.enabled = enabled;
    }
}

NTSTATUS addDevice(Driver& driver, DeviceInit& init) {
    NTSTATUS status = driver.addDevice(init.handle());
    Device* device = init.device();
    if (device == nullptr)
        return status;
    if (!NT_SUCCESS(status)) {
        // The framework deletes what a failing device add made: its device object, then the device.
        device->reference(&kDeviceAddTag);
        device->deleteWdmDevice();
        if (!device->deleting())
            device->deleteTree();
        device->dereference(&kDeviceAddTag);
        return status;
    }
    if (PDEVICE_OBJECT deviceObject = device->deviceObject())
        deviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}

} // namespace zv::wdf

using namespace zv::wdf;

namespace {

zv::wdf::Device* deviceFor(WDFDEVICE handle, const char* routine, bool passiveOnly = false) {
    enterCall(routine, passiveOnly);
    return resolve<zv::wdf::Device>(handle, routine);
}

bool guidArgument(const GUID* guid, const zv::wdf::Device* device, const char* routine) {
    if (guid != nullptr)
        return true;
    reportViolation(rule::kBadParameter, device, routine, "the interface class GUID is NULL");
    return false;
}

// The optional reference string of an interface call; false (reported) when malformed.
bool referenceArgument(PCUNICODE_STRING reference, const zv::wdf::Device* device, const char* routine,
                       std::u16string_view* text) {
    *text = {};
    return reference == nullptr || argumentText(reference, device, routine, "reference string", text);
}

} // namespace

EXTERN_C NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                  WDFDEVICE* Device) {
    constexpr const char* routine = "WdfDeviceCreate";
    enterCall(routine, true);
    if (Device == nullptr || DeviceInit == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "NULL device-init or output handle pointer");
        return STATUS_INVALID_PARAMETER;
    }
    *Device = nullptr;
    zv::wdf::DeviceInit* init = zv::wdf::DeviceInit::fromHandle(*DeviceInit, routine);
    if (init == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (DeviceAttributes != nullptr && DeviceAttributes->ParentObject != nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "a device's parent is its driver");
        return STATUS_INVALID_PARAMETER;
    }
    zv::wdf::Device* device = nullptr;
    NTSTATUS status = create<zv::wdf::Device>(DeviceAttributes, &init->driver(), routine, &device, *init);
    if (!NT_SUCCESS(status))
        return status;
    device->adoptIo(init->takeIo());
    init->consume(*device);
    *DeviceInit = nullptr;
    *Device = static_cast<WDFDEVICE>(device->handle());
    return STATUS_SUCCESS;
}

EXTERN_C WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device) {
    auto* device = deviceFor(Device, "WdfDeviceGetDriver");
    return device != nullptr ? static_cast<WDFDRIVER>(device->driver().handle()) : nullptr;
}

EXTERN_C PDEVICE_OBJECT WdfDeviceWdmGetDeviceObject(WDFDEVICE Device) {
    auto* device = deviceFor(Device, "WdfDeviceWdmGetDeviceObject");
    return device != nullptr ? device->deviceObject() : nullptr;
}

EXTERN_C PDEVICE_OBJECT WdfDeviceWdmGetAttachedDevice(WDFDEVICE Device) {
    auto* device = deviceFor(Device, "WdfDeviceWdmGetAttachedDevice");
    return device != nullptr ? device->attachedDevice() : nullptr;
}

EXTERN_C PDEVICE_OBJECT WdfDeviceWdmGetPhysicalDevice(WDFDEVICE Device) {
    auto* device = deviceFor(Device, "WdfDeviceWdmGetPhysicalDevice");
    if (device == nullptr)
        return nullptr;
    return device->kind() == DeviceInit::Kind::Pdo ? device->deviceObject() : device->physicalDevice();
}

EXTERN_C WDFIOTARGET WdfDeviceGetIoTarget(WDFDEVICE Device) {
    auto* device = deviceFor(Device, "WdfDeviceGetIoTarget");
    return device != nullptr ? defaultIoTarget(*device) : nullptr;
}

EXTERN_C VOID WdfDeviceSetPnpCapabilities(WDFDEVICE Device, PWDF_DEVICE_PNP_CAPABILITIES PnpCapabilities) {
    constexpr const char* routine = "WdfDeviceSetPnpCapabilities";
    auto* device = deviceFor(Device, routine);
    if (device == nullptr)
        return;
    if (PnpCapabilities == nullptr || PnpCapabilities->Size != sizeof(WDF_DEVICE_PNP_CAPABILITIES)) {
        reportViolation(rule::kBadParameter, device, routine,
                        "the capabilities were not initialised with WDF_DEVICE_PNP_CAPABILITIES_INIT");
        return;
    }
    device->setPnpCapabilities(*PnpCapabilities);
}

EXTERN_C VOID WdfDeviceSetPowerCapabilities(WDFDEVICE Device,
                                            PWDF_DEVICE_POWER_CAPABILITIES PowerCapabilities) {
    constexpr const char* routine = "WdfDeviceSetPowerCapabilities";
    auto* device = deviceFor(Device, routine);
    if (device == nullptr)
        return;
    if (PowerCapabilities == nullptr || PowerCapabilities->Size != sizeof(WDF_DEVICE_POWER_CAPABILITIES)) {
        reportViolation(rule::kBadParameter, device, routine,
                        "the capabilities were not initialised with WDF_DEVICE_POWER_CAPABILITIES_INIT");
        return;
    }
    device->setPowerCapabilities(*PowerCapabilities);
}

EXTERN_C VOID WdfDeviceSetBusInformationForChildren(WDFDEVICE Device, PPNP_BUS_INFORMATION BusInformation) {
    constexpr const char* routine = "WdfDeviceSetBusInformationForChildren";
    auto* device = deviceFor(Device, routine);
    if (device == nullptr)
        return;
    if (BusInformation == nullptr) {
        reportViolation(rule::kBadParameter, device, routine, "the bus information is NULL");
        return;
    }
    device->setBusInformation(*BusInformation);
}

EXTERN_C VOID WdfDeviceSetStaticStopRemove(WDFDEVICE Device, BOOLEAN Stoppable) {
    constexpr const char* routine = "WdfDeviceSetStaticStopRemove";
    auto* device = deviceFor(Device, routine);
    if (device != nullptr && !device->setStoppable(Stoppable != FALSE))
        reportViolation(rule::kBadParameter, device, routine,
                        "Stoppable TRUE without a call with FALSE to balance");
}

EXTERN_C POWER_ACTION WdfDeviceGetSystemPowerAction(WDFDEVICE Device) {
    auto* device = deviceFor(Device, "WdfDeviceGetSystemPowerAction");
    return device != nullptr ? device->power().systemAction() : PowerActionNone;
}

EXTERN_C NTSTATUS WdfDeviceRetrieveDeviceName(WDFDEVICE Device, WDFSTRING String) {
    constexpr const char* routine = "WdfDeviceRetrieveDeviceName";
    auto* device = deviceFor(Device, routine, true);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    auto* string = resolve<zv::wdf::String>(String, routine);
    if (string == nullptr)
        return STATUS_INVALID_HANDLE;
    if (!device->settings().name)
        return STATUS_INVALID_DEVICE_STATE;
    return string->assign(*device->settings().name) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

EXTERN_C NTSTATUS WdfDeviceCreateSymbolicLink(WDFDEVICE Device, PCUNICODE_STRING SymbolicLinkName) {
    constexpr const char* routine = "WdfDeviceCreateSymbolicLink";
    auto* device = deviceFor(Device, routine, true);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    std::u16string_view link;
    if (!argumentText(SymbolicLinkName, device, routine, "symbolic link name", &link))
        return STATUS_INVALID_PARAMETER;
    return device->createSymbolicLink(link);
}

EXTERN_C NTSTATUS WdfDeviceCreateDeviceInterface(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                 PCUNICODE_STRING ReferenceString) {
    constexpr const char* routine = "WdfDeviceCreateDeviceInterface";
    auto* device = deviceFor(Device, routine, true);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    std::u16string_view reference;
    if (!guidArgument(InterfaceClassGUID, device, routine) ||
        !referenceArgument(ReferenceString, device, routine, &reference))
        return STATUS_INVALID_PARAMETER;
    return device->createDeviceInterface(*InterfaceClassGUID, reference);
}

EXTERN_C NTSTATUS WdfDeviceRetrieveDeviceInterfaceString(WDFDEVICE Device, const GUID* InterfaceClassGUID,
                                                         PCUNICODE_STRING ReferenceString, WDFSTRING String) {
    constexpr const char* routine = "WdfDeviceRetrieveDeviceInterfaceString";
    auto* device = deviceFor(Device, routine, true);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    auto* string = resolve<zv::wdf::String>(String, routine);
    if (string == nullptr)
        return STATUS_INVALID_HANDLE;
    std::u16string_view reference;
    if (!guidArgument(InterfaceClassGUID, device, routine) ||
        !referenceArgument(ReferenceString, device, routine, &reference))
        return STATUS_INVALID_PARAMETER;
    const std::u16string* link = device->deviceInterface(*InterfaceClassGUID, reference);
    if (link == nullptr)
        return STATUS_OBJECT_NAME_NOT_FOUND;
    return string->assign(*link) ? STATUS_SUCCESS : STATUS_INSUFFICIENT_RESOURCES;
}

EXTERN_C NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType,
                                           ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                           WDFKEY* Key) {
    constexpr const char* routine = "WdfDeviceOpenRegistryKey";
    enterCall(routine, true);
    if (Key == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Key = nullptr;
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    std::u16string path;
    if (!device->instance().keyPath(DeviceInstanceKeyType, &path)) {
        reportViolation(rule::kBadParameter, device, routine,
                        "unknown key type " + std::to_string(DeviceInstanceKeyType));
        return STATUS_INVALID_PARAMETER;
    }
    return openKeyObject(path, true, DesiredAccess, KeyAttributes, device, routine, Key);
}
