// The USB stack: the root hub's ports, the hub driver's PDOs and what they answer outside URBs (Plug and
// Play, power, the hub-style internal device controls and the USB bus interface).
#include "platform/usb/usb_stack.h"

#include "platform/kernel/irp.h"

#include "platform/pnp/pnp_manager.h"
#include "platform/pnp/root_bus.h"
#include "platform/usb/usb_device_impl.h"

#include <usbbusif.h>
#include <usbioctl.h>

#include <cstdlib>
#include <cstring>
#include <stdexcept>

namespace zv::usb {

namespace {

// Records a hub hands out that the driver-facing headers do not declare.
struct BusInformationLevel0 {
    ULONG TotalBandwidth;
    ULONG ConsumedBandwidth;
};
struct BusInformationLevel1 {
    ULONG TotalBandwidth;
    ULONG ConsumedBandwidth;
    ULONG ControllerNameLength; // bytes
    WCHAR ControllerNameUnicodeString[1];
};
struct BusNotification {
    ULONG NotificationType;
    ULONG TotalBandwidth;
    ULONG ConsumedBandwidth;
    ULONG ControllerNameLength;
};
constexpr ULONG kBusInfoNotification = 3; // the notification type of a bus information answer

std::u16string hex(unsigned value, int digits) {
    static const char16_t* kDigits = u"0123456789ABCDEF";
    std::u16string text(size_t(digits), u'0');
    for (int i = digits - 1; i >= 0; --i, value >>= 4)
        text[size_t(i)] = kDigits[value & 0xF];
    return text;
}

std::u16string decimal(unsigned value, int digits) {
    std::u16string text(size_t(digits), u'0');
    for (int i = digits - 1; i >= 0; --i, value /= 10)
        text[size_t(i)] = char16_t(u'0' + value % 10);
    return text;
}

NTSTATUS complete(PIRP irp, NTSTATUS status) {
    return kernel::completeIrp(irp, status);
}

// Completes with what the IRP already says: a bus leaves alone what it does not handle.
NTSTATUS leave(PIRP irp) {
    return kernel::completeIrpAsIs(irp);
}

// The text of a string descriptor, or empty.
std::u16string stringOf(const DeviceModel& model, uint8_t index) {
    if (index == 0)
        return {};
    uint16_t language = 0x0409;
    if (auto languages = model.stringDescriptor(0, 0); languages && languages->size() >= 4)
        language = uint16_t((*languages)[2] | (*languages)[3] << 8);
    auto d = model.stringDescriptor(index, language);
    if (!d || d->size() < 2 || (*d)[1] != USB_STRING_DESCRIPTOR_TYPE)
        return {};
    size_t length = std::min<size_t>((*d)[0], d->size());
    std::u16string text;
    for (size_t i = 2; i + 1 < length; i += 2)
        text.push_back(char16_t((*d)[i] | (*d)[i + 1] << 8));
    return text;
}

// A serial number Windows accepts as an instance ID: printable, no comma, not empty.
bool usableSerial(const std::u16string& serial) {
    if (serial.empty() || serial.size() > 255)
        return false;
    for (char16_t c : serial)
        if (c < 0x20 || c > 0x7F || c == u',')
            return false;
    return true;
}

// Writes a USB_HUB_NAME-shaped answer into a METHOD_BUFFERED output buffer.
NTSTATUS answerName(PIRP irp, const std::u16string& name) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG length = stack->Parameters.DeviceIoControl.OutputBufferLength;
    auto* out = static_cast<PUSB_HUB_NAME>(irp->AssociatedIrp.SystemBuffer);
    irp->IoStatus.Information = 0;
    if (out == nullptr || length < sizeof(USB_HUB_NAME))
        return complete(irp, STATUS_BUFFER_TOO_SMALL);
    ULONG full = ULONG(offsetof(USB_HUB_NAME, HubName) + (name.size() + 1) * sizeof(WCHAR));
    out->ActualLength = full;
    ULONG room = length - ULONG(offsetof(USB_HUB_NAME, HubName));
    ULONG copy = std::min<ULONG>(room, ULONG((name.size() + 1) * sizeof(WCHAR)));
    std::u16string withNul = name + u'\0';
    std::memcpy(out->HubName, withNul.data(), copy);
    irp->IoStatus.Information = offsetof(USB_HUB_NAME, HubName) + copy;
    return complete(irp, STATUS_SUCCESS);
}

// ---- the USB bus interface's routines (BusContext is the device's Impl) ----

void busReference(PVOID context) {
    ++static_cast<UsbDevice::Impl*>(context)->interfaceRefs;
}

void busDereference(PVOID context) {
    auto* device = static_cast<UsbDevice::Impl*>(context);
    if (device->interfaceRefs <= 0) {
        device->machine.verifier().report("interface-reference-underflow", "USB bus interface",
                                          "InterfaceDereference", "more dereferences than references");
        return;
    }
    --device->interfaceRefs;
}

void busGetVersion(PVOID context, PUSBD_VERSION_INFORMATION version, PULONG hcdCapabilities) {
    (void)context;
    if (version != nullptr) {
        version->USBDI_Version = 0x600;
        version->Supported_USB_Version = 0x200;
    }
    if (hcdCapabilities != nullptr)
        *hcdCapabilities = 0;
}

NTSTATUS busQueryTime(PVOID context, PULONG frame) {
    if (frame == nullptr)
        return STATUS_INVALID_PARAMETER;
    *frame = static_cast<UsbDevice::Impl*>(context)->stack.frameNumber();
    return STATUS_SUCCESS;
}

NTSTATUS busSubmitIsoOut(PVOID context, PURB urb) {
    (void)context;
    (void)urb;
    return STATUS_NOT_SUPPORTED; // no isochronous endpoints on this bus
}

NTSTATUS busQueryInformation(PVOID context, ULONG level, PVOID buffer, PULONG bufferLength,
                             PULONG actualLength) {
    auto* device = static_cast<UsbDevice::Impl*>(context);
    if (bufferLength == nullptr)
        return STATUS_INVALID_PARAMETER;
    ULONG total = device->model.speed() == Speed::High ? 480000 : 12000;
    if (level == 0) {
        if (actualLength)
            *actualLength = sizeof(BusInformationLevel0);
        if (buffer == nullptr || *bufferLength < sizeof(BusInformationLevel0))
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = static_cast<BusInformationLevel0*>(buffer);
        info->TotalBandwidth = total;
        info->ConsumedBandwidth = 0;
        *bufferLength = sizeof(BusInformationLevel0);
        return STATUS_SUCCESS;
    }
    if (level == 1) {
        const std::u16string& name = device->stack.controllerName();
        ULONG nameBytes = ULONG(name.size() * sizeof(WCHAR));
        ULONG full = ULONG(offsetof(BusInformationLevel1, ControllerNameUnicodeString)) + nameBytes;
        if (actualLength)
            *actualLength = full;
        if (buffer == nullptr || *bufferLength < offsetof(BusInformationLevel1, ControllerNameUnicodeString))
            return STATUS_BUFFER_TOO_SMALL;
        auto* info = static_cast<BusInformationLevel1*>(buffer);
        info->TotalBandwidth = total;
        info->ConsumedBandwidth = 0;
        info->ControllerNameLength = nameBytes;
        ULONG room = *bufferLength - ULONG(offsetof(BusInformationLevel1, ControllerNameUnicodeString));
        ULONG copy = std::min(room, nameBytes);
        std::memcpy(info->ControllerNameUnicodeString, name.data(), copy);
        *bufferLength = ULONG(offsetof(BusInformationLevel1, ControllerNameUnicodeString)) + copy;
        return copy == nameBytes ? STATUS_SUCCESS : STATUS_BUFFER_TOO_SMALL;
    }
    return STATUS_NOT_SUPPORTED;
}

BOOLEAN busIsHighSpeed(PVOID context) {
    return static_cast<UsbDevice::Impl*>(context)->model.speed() == Speed::High ? TRUE : FALSE;
}

} // namespace

// ---- IDs ----

UsbIds usbIdsFor(const Bytes& d, const Bytes& configuration) {
    UsbIds ids;
    if (d.size() < sizeof(USB_DEVICE_DESCRIPTOR))
        return ids;
    unsigned vid = d[8] | d[9] << 8, pid = d[10] | d[11] << 8, rev = d[12] | d[13] << 8;
    uint8_t cls = d[4], sub = d[5], prot = d[6], configurations = d[17];
    ids.deviceId = u"USB\\VID_" + hex(vid, 4) + u"&PID_" + hex(pid, 4);
    ids.hardwareIds = {ids.deviceId + u"&REV_" + hex(rev, 4), ids.deviceId};
    // A device that leaves its class to its interfaces is named by its device class codes as "DevClass".
    std::u16string prefix = cls == 0 ? u"USB\\DevClass_" : u"USB\\Class_";
    ids.compatibleIds = {prefix + hex(cls, 2) + u"&SubClass_" + hex(sub, 2) + u"&Prot_" + hex(prot, 2),
                         prefix + hex(cls, 2) + u"&SubClass_" + hex(sub, 2), prefix + hex(cls, 2)};
    unsigned interfaces = configuration.size() >= 5 ? configuration[4] : 0;
    bool compositeClass = cls == 0 || (cls == 0xEF && sub == 0x02 && prot == 0x01);
    if (compositeClass && interfaces > 1 && configurations == 1)
        ids.compatibleIds.push_back(u"USB\\COMPOSITE");
    return ids;
}

// ---- the stack ----

struct UsbStack::Impl {
    explicit Impl(sim::Scheduler& m) : machine(m) {
        driverObject.Type = IO_TYPE_DRIVER;
        driverObject.Size = sizeof driverObject;
        driverObject.DriverName.Length = USHORT(driverName.size() * sizeof(WCHAR));
        driverObject.DriverName.MaximumLength = driverObject.DriverName.Length;
        driverObject.DriverName.Buffer = driverName.data();
        for (auto& entry : driverObject.MajorFunction)
            entry = &UsbDevice::Impl::dispatch;
    }

    sim::Scheduler& machine;
    std::u16string driverName = u"\\Driver\\usbhub";
    DRIVER_OBJECT driverObject{};
    std::u16string hubName = u"USB#ROOT_HUB20#4&2F1D3A7C&0#{f18a0e88-c30c-11d0-8815-00a0c906bed8}";
    std::u16string controllerName =
        u"USB#VID_8086&PID_1E2D#3&11583659&0&D0#{3abf6f2d-71c4-462a-8a92-1e6861e6af27}";
    std::map<unsigned, UsbDevice*> ports;            // the device on each port now
    std::vector<std::unique_ptr<UsbDevice>> devices; // every device ever attached (references stay valid)
    unsigned pdoSerial = 0;
};

UsbStack::UsbStack(sim::Scheduler& machine) : impl_(std::make_unique<Impl>(machine)) {}

UsbStack::~UsbStack() = default;

UsbStack& usbStack() {
    sim::Scheduler* machine = sim::Scheduler::current();
    if (machine == nullptr)
        throw std::logic_error("no machine");
    return machine->service<UsbStack>();
}

PDRIVER_OBJECT UsbStack::hubDriver() {
    return &impl_->driverObject;
}
const std::u16string& UsbStack::hubName() const {
    return impl_->hubName;
}
const std::u16string& UsbStack::controllerName() const {
    return impl_->controllerName;
}
ULONG UsbStack::frameNumber() const {
    return ULONG(impl_->machine.now() / sim::kMillisecond);
}

UsbDevice* UsbStack::deviceAt(unsigned portNumber) const {
    auto it = impl_->ports.find(portNumber);
    return it == impl_->ports.end() ? nullptr : it->second;
}

UsbDevice* UsbStack::deviceOf(PDEVICE_OBJECT pdo) const {
    for (auto& device : impl_->devices)
        if (device->pdo() == pdo)
            return device.get();
    return nullptr;
}

std::vector<UsbDevice*> UsbStack::devices() const {
    std::vector<UsbDevice*> all;
    for (auto& device : impl_->devices)
        all.push_back(device.get());
    return all;
}

UsbDevice& UsbStack::attach(DeviceModel& model, PortSettings settings) {
    unsigned port = settings.portNumber;
    if (port == 0) {
        for (unsigned p = 1; p <= kPorts && port == 0; ++p)
            if (UsbDevice* d = deviceAt(p); d == nullptr || !d->connected())
                port = p;
        if (port == 0)
            throw std::invalid_argument("every port of the root hub is in use");
    }
    if (port > kPorts)
        throw std::invalid_argument("no such port on the root hub");
    if (UsbDevice* d = deviceAt(port); d != nullptr && d->connected())
        throw std::invalid_argument("the port holds a connected device");

    auto impl = std::make_unique<UsbDevice::Impl>(*this, model, settings, port);
    UsbDevice::Impl* raw = impl.get();
    std::u16string name = u"\\Device\\USBPDO-" + decimal(impl_->pdoSerial++, 1);
    UNICODE_STRING unicodeName{USHORT(name.size() * sizeof(WCHAR)), USHORT(name.size() * sizeof(WCHAR)),
                               name.data()};
    PDEVICE_OBJECT pdo = nullptr;
    NTSTATUS status = IoCreateDevice(&impl_->driverObject, sizeof(UsbDevice::Impl*), &unicodeName,
                                     FILE_DEVICE_USB, FILE_AUTOGENERATED_DEVICE_NAME, FALSE, &pdo);
    if (!NT_SUCCESS(status))
        throw std::runtime_error("IoCreateDevice failed for a USB device");
    *static_cast<UsbDevice::Impl**>(pdo->DeviceExtension) = raw;
    pdo->Flags |= DO_BUS_ENUMERATED_DEVICE | DO_POWER_PAGABLE;
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    raw->pdo = pdo;
    model.attach(raw);

    auto device = std::unique_ptr<UsbDevice>(new UsbDevice(std::move(impl)));
    raw->owner = device.get();
    impl_->ports[port] = device.get();
    impl_->devices.push_back(std::move(device));
    return *impl_->devices.back();
}

NTSTATUS UsbStack::plug(DeviceModel& model, PortSettings settings, UsbDevice** device) {
    UsbDevice& attached = attach(model, std::move(settings));
    if (device != nullptr)
        *device = &attached;
    UsbDevice::Impl& d = attached.impl();
    pnp::RootDevice description;
    description.instancePath = d.instancePath;
    description.hardwareIds = d.ids.hardwareIds;
    description.compatibleIds = d.ids.compatibleIds;
    description.description = d.description;
    description.removable = true;
    description.surpriseRemovalOk = false;
    d.plugged = true;
    return pnp::pnpManager().plug(description, d.pdo);
}

// ---- one device ----

UsbDevice::Impl::Impl(UsbStack& s, DeviceModel& m, PortSettings ps, unsigned p)
    : stack(s), machine(*sim::Scheduler::current()), model(m), settings(std::move(ps)), port(p),
      nextHandle(uintptr_t(0x1000) * (p + 1) << 16) {
    deviceDescriptor = model.deviceDescriptor();
    ids = usbIdsFor(deviceDescriptor, model.configurationDescriptor());
    std::u16string serial = deviceDescriptor.size() >= sizeof(USB_DEVICE_DESCRIPTOR)
                                ? stringOf(model, deviceDescriptor[16])
                                : u"";
    if (settings.uniqueId && usableSerial(serial))
        instanceId = serial;
    else
        instanceId = u"5&2A8F0C1B&0&" + decimal(port, 1); // the hub's and the port's place
    instancePath = ids.deviceId + u"\\" + instanceId;
    description = settings.description;
    if (description.empty() && deviceDescriptor.size() >= sizeof(USB_DEVICE_DESCRIPTOR))
        description = stringOf(model, deviceDescriptor[15]);
    if (description.empty())
        description = u"USB Device";
    faults.setDisconnectHandler([this](sim::Time time) {
        sim::Time delay = std::max<sim::Time>(0, time - machine.now());
        machine.after(delay, "USB disconnect port " + std::to_string(port), [this] { disconnect(); });
    });
}

UsbDevice::Impl::~Impl() {
    model.attach(nullptr);
}

UsbDevice::Impl* UsbDevice::Impl::of(PDEVICE_OBJECT pdo) {
    if (pdo == nullptr || pdo->DeviceExtension == nullptr)
        return nullptr;
    return *static_cast<Impl**>(pdo->DeviceExtension);
}

void UsbDevice::Impl::disconnect() {
    if (!connected)
        return;
    connected = false;
    configurationValue.reset();
    // Completing IRPs needs a fiber: from a timed event (a fault plan's disconnect) a DPC does it.
    auto failEverything = [this] {
        failHeld(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
        pipes.clear();
    };
    if (machine.currentFiber() != nullptr)
        failEverything();
    else
        machine.spawnDpc("USB disconnect port " + std::to_string(port), failEverything);
    if (plugged)
        pnp::pnpManager().deviceGone(instancePath);
}

void UsbDevice::Impl::resetPort() {
    // The hub restores the configuration after the reset: pipes keep their handles, halts go.
    for (auto& [handle, pipe] : pipes) {
        pipe.halted = false;
        model.endpointReset(pipe.address);
    }
}

void UsbDevice::Impl::cyclePort() {
    // A port cycle is a disconnect and a new arrival on the same port: a plugged device is surprise-removed
    // and enumerated again (a new UsbDevice on the port); an attached one comes back on the same PDO,
    // unconfigured.
    machine.spawn("USB port cycle " + std::to_string(port), [this] {
        PortSettings again = settings;
        again.portNumber = port;
        bool wasPlugged = plugged;
        std::u16string path = instancePath;
        plugged = false; // the cycle tells the manager itself, and waits for it
        disconnect();
        if (wasPlugged) {
            pnp::pnpManager().unplug(path);
            stack.plug(model, again, nullptr);
        } else {
            connected = true;
            removed = false;
        }
    });
}

void UsbDevice::Impl::deletePdoWhenFree() {
    // The function device detaches after the removal has passed below it; the PDO goes after that.
    machine.spawn("USB PDO delete", [this] {
        for (int tries = 0; tries < 64 && pdo->AttachedDevice != nullptr; ++tries)
            machine.yield();
        if (pdo->AttachedDevice == nullptr && !pdoDeleted) {
            pdoDeleted = true;
            IoDeleteDevice(pdo);
        }
    });
}

NTSTATUS UsbDevice::Impl::dispatch(PDEVICE_OBJECT deviceObject, PIRP irp) {
    Impl* device = of(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (device == nullptr || device->pdoDeleted)
        return complete(irp, STATUS_NO_SUCH_DEVICE);
    switch (stack->MajorFunction) {
        case IRP_MJ_PNP:
            return device->pnp(irp);
        case IRP_MJ_POWER:
            return device->power(irp);
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return device->internalControl(irp);
        case IRP_MJ_CREATE:
        case IRP_MJ_CLOSE:
        case IRP_MJ_CLEANUP:
            irp->IoStatus.Information = 0;
            return complete(irp, STATUS_SUCCESS);
        default:
            irp->IoStatus.Information = 0;
            return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

NTSTATUS UsbDevice::Impl::power(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PoStartNextPowerIrp(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_SET_POWER:
            if (stack->Parameters.Power.Type == DevicePowerState)
                PoSetPowerState(pdo, DevicePowerState, stack->Parameters.Power.State);
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_POWER:
            return complete(irp, STATUS_SUCCESS);
        default:
            return leave(irp);
    }
}

NTSTATUS UsbDevice::Impl::pnp(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            if (!connected)
                return complete(irp, STATUS_DEVICE_NOT_CONNECTED);
            removed = false;
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
        case IRP_MN_STOP_DEVICE:
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_SURPRISE_REMOVAL:
            failHeld(USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_REMOVE_DEVICE:
            // What the function driver left behind fails; the device is unconfigured. A device still on
            // its port keeps its PDO for a later start, as a hub keeps it until the device goes.
            removed = true;
            failHeld(USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
            dropPipes(std::nullopt);
            configurationValue.reset();
            configuration.clear();
            alternates.clear();
            interfaceHandles.clear();
            if (!connected)
                deletePdoWhenFree();
            return complete(irp, STATUS_SUCCESS);
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            if (caps == nullptr || caps->Size < sizeof(DEVICE_CAPABILITIES) || caps->Version < 1)
                return complete(irp, STATUS_INVALID_PARAMETER);
            Bytes config = model.configurationDescriptor();
            bool remoteWake = config.size() >= 8 && (config[7] & USB_CONFIG_REMOTE_WAKEUP) != 0;
            caps->DeviceD1 = 0;
            caps->DeviceD2 = 1; // suspend
            caps->LockSupported = 0;
            caps->EjectSupported = 0;
            caps->Removable = 1;
            caps->DockDevice = 0;
            caps->UniqueID = settings.uniqueId ? 1 : 0;
            caps->SilentInstall = 0;
            caps->RawDeviceOK = 0;
            caps->SurpriseRemovalOK = 0;
            caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD3 = 0;
            caps->WakeFromD2 = remoteWake ? 1 : 0;
            caps->HardwareDisabled = 0;
            caps->NonDynamic = 0;
            caps->WarmEjectSupported = 0;
            caps->NoDisplayInUI = 0;
            caps->Address = port;
            caps->UINumber = port;
            caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
            caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
            for (int s = PowerSystemSleeping1; s <= PowerSystemSleeping3; ++s)
                caps->DeviceState[s] = remoteWake ? PowerDeviceD2 : PowerDeviceD3;
            caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
            caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
            caps->SystemWake = remoteWake ? PowerSystemSleeping3 : PowerSystemUnspecified;
            caps->DeviceWake = remoteWake ? PowerDeviceD2 : PowerDeviceUnspecified;
            caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
            return complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_ID: {
            PWCHAR answer = nullptr;
            switch (stack->Parameters.QueryId.IdType) {
                case BusQueryDeviceID:
                    answer = pnp::allocateIdString(ids.deviceId);
                    break;
                case BusQueryInstanceID:
                    answer = pnp::allocateIdString(instanceId);
                    break;
                case BusQueryHardwareIDs:
                    answer = pnp::allocateIdList(ids.hardwareIds);
                    break;
                case BusQueryCompatibleIDs:
                    answer = pnp::allocateIdList(ids.compatibleIds);
                    break;
                default:
                    return leave(irp);
            }
            if (answer == nullptr)
                return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
            return complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_DEVICE_TEXT: {
            std::u16string text;
            if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextDescription)
                text = description;
            else if (stack->Parameters.QueryDeviceText.DeviceTextType == DeviceTextLocationInformation)
                text = u"Port_#" + decimal(port, 4) + u".Hub_#0001";
            if (text.empty())
                return leave(irp);
            PWCHAR answer = pnp::allocateIdString(text);
            if (answer == nullptr)
                return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(answer);
            return complete(irp, STATUS_SUCCESS);
        }
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            if (stack->Parameters.QueryDeviceRelations.Type == TargetDeviceRelation) {
                auto* relations = static_cast<PDEVICE_RELATIONS>(std::calloc(1, sizeof(DEVICE_RELATIONS)));
                if (relations == nullptr)
                    return complete(irp, STATUS_INSUFFICIENT_RESOURCES);
                ObReferenceObject(pdo);
                relations->Count = 1;
                relations->Objects[0] = pdo;
                irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
                return complete(irp, STATUS_SUCCESS);
            }
            return leave(irp);
        case IRP_MN_QUERY_INTERFACE:
            return queryInterface(irp);
        default:
            return leave(irp);
    }
}

NTSTATUS UsbDevice::Impl::queryInterface(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
    if (type == nullptr || std::memcmp(type, &USB_BUS_INTERFACE_USBDI_GUID, sizeof(GUID)) != 0)
        return leave(irp); // not ours: a filter or the caller's default answers
    USHORT version = stack->Parameters.QueryInterface.Version;
    USHORT size = stack->Parameters.QueryInterface.Size;
    PINTERFACE out = stack->Parameters.QueryInterface.Interface;
    if (version > USB_BUSIF_USBDI_VERSION_1)
        return complete(irp, STATUS_NOT_SUPPORTED);
    size_t needed = version == USB_BUSIF_USBDI_VERSION_0 ? sizeof(USB_BUS_INTERFACE_USBDI_V0)
                                                         : sizeof(USB_BUS_INTERFACE_USBDI_V1);
    if (out == nullptr || size < needed)
        return complete(irp, STATUS_INVALID_PARAMETER);
    auto* bus = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(out);
    bus->Size = USHORT(needed);
    bus->Version = version;
    bus->BusContext = this;
    bus->InterfaceReference = &busReference;
    bus->InterfaceDereference = &busDereference;
    bus->GetUSBDIVersion = &busGetVersion;
    bus->QueryBusTime = &busQueryTime;
    bus->SubmitIsoOutUrb = &busSubmitIsoOut;
    bus->QueryBusInformation = &busQueryInformation;
    if (version == USB_BUSIF_USBDI_VERSION_1)
        bus->IsDeviceHighSpeed = &busIsHighSpeed;
    busReference(this); // handed out referenced: the receiver dereferences
    return complete(irp, STATUS_SUCCESS);
}

NTSTATUS UsbDevice::Impl::internalControl(PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB)
        return submitUrb(irp, static_cast<PURB>(stack->Parameters.Others.Argument1));
    records.push_back({UsbRequestRecord::Kind::Ioctl, code});
    irp->IoStatus.Information = 0;
    if (removed && code != IOCTL_INTERNAL_USB_GET_PORT_STATUS)
        return complete(irp, STATUS_NO_SUCH_DEVICE);
    switch (code) {
        case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
            auto* status = static_cast<PULONG>(stack->Parameters.Others.Argument1);
            if (status == nullptr)
                return complete(irp, STATUS_INVALID_PARAMETER);
            *status = connected ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
            return complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_RESET_PORT: {
            if (!connected)
                return complete(irp, STATUS_DEVICE_NOT_CONNECTED);
            std::optional<FaultAction> action = faults.consult({FaultKind::Reset}, machine.now());
            if (action &&
                (action->kind == FaultAction::Kind::Fail || action->kind == FaultAction::Kind::Stall))
                return complete(irp, action->status);
            if (action && action->kind == FaultAction::Kind::NeverAnswer) {
                pend(irp, nullptr);
                return STATUS_PENDING;
            }
            if (action && action->kind == FaultAction::Kind::Delay) {
                uint64_t id = pend(irp, nullptr);
                if (id != 0)
                    later(action->delay, "USB port reset", [this, id] {
                        if (find(id) == nullptr)
                            return;
                        resetPort();
                        finish(id, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
                    });
                return STATUS_PENDING;
            }
            resetPort();
            return complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_CYCLE_PORT:
            if (!connected)
                return complete(irp, STATUS_DEVICE_NOT_CONNECTED);
            cyclePort();
            return complete(irp, STATUS_SUCCESS);
        case IOCTL_INTERNAL_USB_GET_HUB_NAME:
            return answerName(irp, this->stack.hubName());
        case IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME:
            return answerName(irp, this->stack.controllerName());
        case IOCTL_INTERNAL_USB_GET_BUS_INFO: {
            auto* out = static_cast<BusNotification*>(irp->AssociatedIrp.SystemBuffer);
            if (out == nullptr ||
                stack->Parameters.DeviceIoControl.OutputBufferLength < sizeof(BusNotification))
                return complete(irp, STATUS_BUFFER_TOO_SMALL);
            out->NotificationType = kBusInfoNotification;
            out->TotalBandwidth = model.speed() == Speed::High ? 480000 : 12000;
            out->ConsumedBandwidth = 0;
            out->ControllerNameLength = ULONG((this->stack.controllerName().size() + 1) * sizeof(WCHAR));
            irp->IoStatus.Information = sizeof(BusNotification);
            return complete(irp, STATUS_SUCCESS);
        }
        case IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION: {
            if (!connected)
                return complete(irp, STATUS_DEVICE_NOT_CONNECTED);
            if (stack->Parameters.Others.Argument1 == nullptr)
                return complete(irp, STATUS_INVALID_PARAMETER);
            if (idleNotification != 0 && find(idleNotification) != nullptr)
                return complete(irp, STATUS_DEVICE_BUSY);
            idleNotification = pend(irp, nullptr);
            return STATUS_PENDING;
        }
        default:
            return complete(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
}

// ---- the public face ----

UsbDevice::UsbDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
UsbDevice::~UsbDevice() = default;

PDEVICE_OBJECT UsbDevice::pdo() const {
    return impl_->pdoDeleted ? nullptr : impl_->pdo;
}
DeviceModel& UsbDevice::model() const {
    return impl_->model;
}
Speed UsbDevice::speed() const {
    return impl_->model.speed();
}
FaultPlan& UsbDevice::faults() {
    return impl_->faults;
}
unsigned UsbDevice::portNumber() const {
    return impl_->port;
}
bool UsbDevice::connected() const {
    return impl_->connected;
}
void UsbDevice::disconnect() {
    impl_->disconnect();
}
bool UsbDevice::plugged() const {
    return impl_->plugged;
}
const std::u16string& UsbDevice::deviceId() const {
    return impl_->ids.deviceId;
}
const std::u16string& UsbDevice::instanceId() const {
    return impl_->instanceId;
}
const std::u16string& UsbDevice::instancePath() const {
    return impl_->instancePath;
}
const std::vector<std::u16string>& UsbDevice::hardwareIds() const {
    return impl_->ids.hardwareIds;
}
const std::vector<std::u16string>& UsbDevice::compatibleIds() const {
    return impl_->ids.compatibleIds;
}
std::optional<uint8_t> UsbDevice::configuration() const {
    return impl_->configurationValue;
}
std::optional<uint8_t> UsbDevice::alternateSetting(uint8_t interfaceNumber) const {
    auto it = impl_->alternates.find(interfaceNumber);
    if (it == impl_->alternates.end())
        return std::nullopt;
    return it->second;
}
const std::vector<UsbRequestRecord>& UsbDevice::requests() const {
    return impl_->records;
}
void UsbDevice::clearRequests() {
    impl_->records.clear();
}
long UsbDevice::interfaceReferences() const {
    return impl_->interfaceRefs;
}
size_t UsbDevice::pendingRequests() const {
    return impl_->held.size();
}

} // namespace zv::usb
