// The framework's IRP_MJ_PNP handling for a device, and WdfFdoQueryForInterface.
#include "platform/wdf/device_pnp.h"

#include "platform/kernel/device_object.h"
#include "platform/wdf/child_list.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device_stack.h"
#include "platform/wdf/pdo.h"
#include "platform/wdf/query_interface.h"

#include "platform/wdf/driver.h"

#include <vector>

namespace zv::wdf {

const char* pnpStateName(PnpState state) {
    switch (state) {
        case PnpState::Added:
            return "added";
        case PnpState::Started:
            return "started";
        case PnpState::QueryStopped:
            return "query-stopped";
        case PnpState::Stopped:
            return "stopped";
        case PnpState::QueryRemoved:
            return "query-removed";
        case PnpState::SurpriseRemoved:
            return "surprise-removed";
        case PnpState::Failed:
            return "failed";
        case PnpState::Removed:
            return "removed";
    }
    return "?";
}

namespace {

WDFDEVICE handleOf(const Device& device) {
    return static_cast<WDFDEVICE>(device.handle());
}

// What the stack below says to an IRP, waiting for it. With nothing below (a bus's child answers for
// itself) an IRP that changes state succeeds and a query keeps the status it came with.
NTSTATUS below(Device& device, PIRP irp, bool answerAtBottom) {
    if (PDEVICE_OBJECT lower = device.attachedDevice())
        return forwardAndWait(lower, irp);
    if (answerAtBottom)
        irp->IoStatus.Status = STATUS_SUCCESS;
    return irp->IoStatus.Status;
}

// Hands the IRP on to the stack below for good, or completes it where the stack ends.
NTSTATUS passOn(Device& device, PIRP irp) {
    if (PDEVICE_OBJECT lower = device.attachedDevice())
        return passDown(lower, irp);
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Succeeds a state-changing IRP at this device and hands it on.
NTSTATUS succeedAndPassOn(Device& device, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    return passOn(device, irp);
}

} // namespace

NTSTATUS DevicePnp::dispatch(PIRP irp) {
    // A framework PDO answers the queries a bus answers for its children.
    if (device_.kind() == DeviceInit::Kind::Pdo && device_.attachedDevice() == nullptr) {
        NTSTATUS status;
        if (answerPdoQuery(device_, irp, &status))
            return status;
    }
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
        case IRP_MN_QUERY_INTERFACE: {
            bool handled = false;
            NTSTATUS status = dispatchQueryInterface(device_, irp, &handled);
            return handled ? status : passOn(device_, irp);
        }
        case IRP_MN_START_DEVICE:
            return start(irp);
        case IRP_MN_QUERY_STOP_DEVICE:
            return queryStop(irp);
        case IRP_MN_CANCEL_STOP_DEVICE:
            return cancelStop(irp);
        case IRP_MN_STOP_DEVICE:
            return stop(irp);
        case IRP_MN_QUERY_REMOVE_DEVICE:
            return queryRemove(irp);
        case IRP_MN_CANCEL_REMOVE_DEVICE:
            return cancelRemove(irp);
        case IRP_MN_SURPRISE_REMOVAL:
            return surpriseRemoval(irp);
        case IRP_MN_REMOVE_DEVICE:
            return remove(irp);
        case IRP_MN_QUERY_DEVICE_RELATIONS:
            return deviceRelations(irp);
        case IRP_MN_QUERY_CAPABILITIES:
            return capabilities(irp);
        case IRP_MN_QUERY_PNP_DEVICE_STATE:
            return deviceState(irp);
        case IRP_MN_DEVICE_USAGE_NOTIFICATION:
            return usageNotification(irp);
        default:
            return passOn(device_, irp);
    }
}

NTSTATUS DevicePnp::start(PIRP irp) {
    if (state_ == PnpState::Started)
        return completeIrp(irp, STATUS_SUCCESS);
    if (state_ != PnpState::Added && state_ != PnpState::Stopped)
        return completeIrp(irp, STATUS_INVALID_DEVICE_STATE);
    if (device_.kind() == DeviceInit::Kind::Pdo && device_.deviceObject() != nullptr)
        if (std::optional<std::u16string> path = kernel::physicalDeviceInstance(device_.deviceObject()))
            device_.setInstancePath(std::move(*path));
    // The devices below start first: the hardware must be there before it is prepared.
    NTSTATUS status = below(device_, irp, true);
    if (NT_SUCCESS(status))
        status = startFramework();
    return completeIrp(irp, status);
}

NTSTATUS DevicePnp::startFramework() {
    // The default target opens before hardware preparation, which may already ask the bus below.
    if (WDFIOTARGET target = defaultIoTarget(device_))
        WdfIoTargetStart(target);
    // The simulated machine assigns no hardware resources: the lists are empty objects of the device.
    resourcesRaw_ = (new Object(ObjectType::Object, &device_))->handle();
    resourcesTranslated_ = (new Object(ObjectType::Object, &device_))->handle();
    NTSTATUS status = STATUS_SUCCESS;
    if (auto prepare = device_.settings().pnpPower.EvtDevicePrepareHardware)
        invokeCallback(&device_, "EvtDevicePrepareHardware", [&] {
            status = prepare(handleOf(device_), static_cast<WDFCMRESLIST>(resourcesRaw_),
                             static_cast<WDFCMRESLIST>(resourcesTranslated_));
        });
    if (!NT_SUCCESS(status)) {
        releaseHardwareLists();
        if (WDFIOTARGET target = defaultIoTarget(device_))
            WdfIoTargetStop(target, WdfIoTargetLeaveSentIoPending);
        state_ = PnpState::Failed;
        return status;
    }
    hardwarePrepared_ = true;
    // The first start enters D0 from WdfPowerDeviceD3Final; a restart from the D3 the stop left it in.
    status = device_.power().enterD0(device_.power().state());
    if (!NT_SUCCESS(status)) {
        releaseHardware();
        state_ = PnpState::Failed;
        return status;
    }
    state_ = PnpState::Started;
    device_.setInterfacesEnabled(true);
    return STATUS_SUCCESS;
}

NTSTATUS DevicePnp::queryStop(PIRP irp) {
    if (!device_.stopRemoveAllowed())
        return completeIrp(irp, STATUS_INVALID_DEVICE_STATE);
    if (state_ != PnpState::Started)
        return succeedAndPassOn(device_, irp);
    NTSTATUS status = STATUS_SUCCESS;
    if (auto query = device_.settings().pnpPower.EvtDeviceQueryStop)
        invokeCallback(&device_, "EvtDeviceQueryStop", [&] { status = query(handleOf(device_)); });
    if (!NT_SUCCESS(status))
        return completeIrp(irp, status);
    stateBeforeQuery_ = state_;
    state_ = PnpState::QueryStopped;
    return succeedAndPassOn(device_, irp);
}

NTSTATUS DevicePnp::cancelStop(PIRP irp) {
    below(device_, irp, true);
    if (state_ == PnpState::QueryStopped)
        state_ = stateBeforeQuery_;
    return completeIrp(irp, STATUS_SUCCESS);
}

NTSTATUS DevicePnp::stop(PIRP irp) {
    if (state_ == PnpState::QueryStopped || state_ == PnpState::Started) {
        powerDownAndRelease(WdfPowerDeviceD3);
        state_ = PnpState::Stopped;
    }
    return succeedAndPassOn(device_, irp);
}

NTSTATUS DevicePnp::queryRemove(PIRP irp) {
    if (!device_.stopRemoveAllowed())
        return completeIrp(irp, STATUS_INVALID_DEVICE_STATE);
    NTSTATUS status = STATUS_SUCCESS;
    if (auto query = device_.settings().pnpPower.EvtDeviceQueryRemove)
        invokeCallback(&device_, "EvtDeviceQueryRemove", [&] { status = query(handleOf(device_)); });
    if (!NT_SUCCESS(status))
        return completeIrp(irp, status);
    stateBeforeQuery_ = state_;
    state_ = PnpState::QueryRemoved;
    return succeedAndPassOn(device_, irp);
}

NTSTATUS DevicePnp::cancelRemove(PIRP irp) {
    below(device_, irp, true);
    if (state_ == PnpState::QueryRemoved)
        state_ = stateBeforeQuery_;
    return completeIrp(irp, STATUS_SUCCESS);
}

NTSTATUS DevicePnp::surpriseRemoval(PIRP irp) {
    if (auto surprise = device_.settings().pnpPower.EvtDeviceSurpriseRemoval)
        invokeCallback(&device_, "EvtDeviceSurpriseRemoval", [&] { surprise(handleOf(device_)); });
    // The hardware is gone: what was sent to it is cancelled before anything waits for it.
    ioSurpriseRemoved(device_);
    device_.setInterfacesEnabled(false);
    device_.deleteSymbolicLinks();
    powerDownAndRelease(WdfPowerDeviceD3Final);
    state_ = PnpState::SurpriseRemoved;
    return succeedAndPassOn(device_, irp);
}

NTSTATUS DevicePnp::remove(PIRP irp) {
    if (state_ == PnpState::Removed)
        return completeIrp(irp, STATUS_SUCCESS);
    if (state_ != PnpState::SurpriseRemoved)
        powerDownAndRelease(WdfPowerDeviceD3Final);
    // A child its bus still reports stays for another start (a disable, or its driver's removal); only a
    // child reported missing goes with the removal.
    if (ChildList* list = device_.childList();
        list != nullptr && !list->removalDeletes(device_.pdoSettings().childId)) {
        device_.setInterfacesEnabled(false);
        state_ = PnpState::Added;
        return completeIrp(irp, STATUS_SUCCESS);
    }
    device_.setInterfacesEnabled(false);
    device_.deleteSymbolicLinks();
    device_.power().flushSelfManagedIo();
    ioPurgeForRemoval(device_);
    device_.power().cleanupSelfManagedIo();
    if (WDFIOTARGET target = defaultIoTarget(device_))
        WdfIoTargetStop(target, WdfIoTargetCancelSentIo);
    state_ = PnpState::Removed;
    // A parent's children go with it.
    for (WDFCHILDLIST handle : device_.childLists())
        if (ChildList* list = childListOf(handle))
            list->parentRemoved();
    NTSTATUS status = succeedAndPassOn(device_, irp);
    // The device object goes now, the framework device with it or when its last handle closes. A PDO
    // waits until the device above it has detached.
    if (device_.kind() == DeviceInit::Kind::Pdo)
        device_.deleteWdmDeviceWhenDetached();
    else
        device_.deleteWdmDevice();
    return status;
}

void DevicePnp::powerDownAndRelease(WDF_POWER_DEVICE_STATE target) {
    if (device_.power().inD0())
        device_.power().leaveD0(target);
    if (hardwarePrepared_)
        releaseHardware();
}

NTSTATUS DevicePnp::releaseHardware() {
    NTSTATUS status = STATUS_SUCCESS;
    if (auto release = device_.settings().pnpPower.EvtDeviceReleaseHardware)
        invokeCallback(&device_, "EvtDeviceReleaseHardware", [&] {
            status = release(handleOf(device_), static_cast<WDFCMRESLIST>(resourcesTranslated_));
        });
    releaseHardwareLists();
    return status;
}

void DevicePnp::releaseHardwareLists() {
    for (WDFOBJECT* list : {&resourcesRaw_, &resourcesTranslated_}) {
        if (Object* object = objects().find(*list))
            object->deleteTree();
        *list = nullptr;
    }
    hardwarePrepared_ = false;
}

NTSTATUS DevicePnp::deviceRelations(PIRP irp) {
    DEVICE_RELATION_TYPE type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryDeviceRelations.Type;
    if (auto query = device_.settings().pnpPower.EvtDeviceRelationsQuery)
        invokeCallback(&device_, "EvtDeviceRelationsQuery", [&] { query(handleOf(device_), type); });
    if (type == BusRelations && device_.childrenProvider()) {
        // A bus answers with its children, after any that a device above already listed.
        std::vector<PDEVICE_OBJECT> children = device_.childrenProvider()();
        auto* earlier = reinterpret_cast<PDEVICE_RELATIONS>(irp->IoStatus.Information);
        ULONG count = static_cast<ULONG>(children.size()) + (earlier != nullptr ? earlier->Count : 0);
        PDEVICE_RELATIONS relations = allocateDeviceRelations(count);
        if (relations == nullptr)
            return completeIrp(irp, STATUS_INSUFFICIENT_RESOURCES);
        ULONG n = 0;
        if (earlier != nullptr) {
            for (ULONG i = 0; i < earlier->Count; ++i)
                relations->Objects[n++] = earlier->Objects[i];
            freeDeviceRelations(earlier);
        }
        for (PDEVICE_OBJECT child : children) {
            ObReferenceObject(child);
            relations->Objects[n++] = child;
        }
        irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
        irp->IoStatus.Status = STATUS_SUCCESS;
    }
    return passOn(device_, irp);
}

NTSTATUS DevicePnp::capabilities(PIRP irp) {
    // The bus answers first; what the driver set goes over its answer.
    NTSTATUS status = below(device_, irp, true);
    if (NT_SUCCESS(status)) {
        PDEVICE_CAPABILITIES caps =
            IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
        if (caps == nullptr)
            return completeIrp(irp, STATUS_INVALID_PARAMETER);
        if (device_.kind() == DeviceInit::Kind::Pdo && device_.attachedDevice() == nullptr) {
            pdoBaseCapabilities(*caps);
            if (device_.pdoSettings().rawClass)
                caps->RawDeviceOK = 1;
        }
        device_.applyCapabilities(*caps);
        device_.power().rememberDeviceStates(*caps);
    }
    return completeIrp(irp, status);
}

NTSTATUS DevicePnp::deviceState(PIRP irp) {
    NTSTATUS status = below(device_, irp, false);
    ULONG_PTR state = NT_SUCCESS(status) ? irp->IoStatus.Information : 0;
    if (!device_.stopRemoveAllowed()) {
        state |= PNP_DEVICE_NOT_DISABLEABLE;
        status = STATUS_SUCCESS;
    }
    if (NT_SUCCESS(status))
        irp->IoStatus.Information = state;
    return completeIrp(irp, status);
}

NTSTATUS DevicePnp::usageNotification(PIRP irp) {
    // The driver hears of a special file only once the stack below has taken it on.
    NTSTATUS status = below(device_, irp, true);
    auto notify = device_.settings().pnpPower.EvtDeviceUsageNotification;
    if (NT_SUCCESS(status) && notify != nullptr) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        WDF_SPECIAL_FILE_TYPE type = WdfSpecialFileUndefined;
        switch (stack->Parameters.UsageNotification.Type) {
            case DeviceUsageTypePaging:
                type = WdfSpecialFilePaging;
                break;
            case DeviceUsageTypeHibernation:
                type = WdfSpecialFileHibernation;
                break;
            case DeviceUsageTypeDumpFile:
                type = WdfSpecialFileDump;
                break;
            default:
                break;
        }
        BOOLEAN inPath = stack->Parameters.UsageNotification.InPath;
        invokeCallback(&device_, "EvtDeviceUsageNotification",
                       [&] { notify(handleOf(device_), type, inPath); });
    }
    return completeIrp(irp, status);
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface,
                                          USHORT Size, USHORT Version, PVOID InterfaceSpecificData) {
    constexpr const char* routine = "WdfFdoQueryForInterface";
    enterCall(routine, true);
    auto* device = resolve<zv::wdf::Device>(Fdo, routine);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    if (device->kind() != DeviceInit::Kind::Fdo) {
        reportViolation(rule::kBadParameter, device, routine, "not a function driver's device");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (InterfaceType == nullptr || Interface == nullptr || Size < sizeof(INTERFACE)) {
        reportViolation(rule::kBadParameter, device, routine,
                        "the interface type or record is missing, or smaller than INTERFACE");
        return STATUS_INVALID_PARAMETER;
    }
    PDEVICE_OBJECT lower = device->attachedDevice();
    if (lower == nullptr)
        return STATUS_NOT_SUPPORTED;
    IrpResult result = sendAndWait(lower, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION& stack) {
        stack.Parameters.QueryInterface.InterfaceType = InterfaceType;
        stack.Parameters.QueryInterface.Size = Size;
        stack.Parameters.QueryInterface.Version = Version;
        stack.Parameters.QueryInterface.Interface = Interface;
        stack.Parameters.QueryInterface.InterfaceSpecificData = InterfaceSpecificData;
    });
    return result.status;
}
