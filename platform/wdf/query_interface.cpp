// Driver-defined interfaces of a framework device (WdfDeviceAddQueryInterface) and the framework's answer
// to IRP_MN_QUERY_INTERFACE: an added interface is copied into the caller's record; an interface the device
// does not have goes on down a function driver's stack, and keeps its status at a PDO (the bottom). Every
// framework PDO also has the re-enumerate-self interface.
//
// The checks: the caller's record must be at least the added interface's size (STATUS_INVALID_PARAMETER
// otherwise) and must not ask for a newer version than the one added (STATUS_NOT_SUPPORTED). The copy is
// handed out referenced (its InterfaceReference is called once for the new holder).
#include "platform/wdf/query_interface.h"

#include "platform/wdf/child_list.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device_stack.h"

#include <cstring>

namespace zv::wdf {

namespace {

bool sameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

VOID reenumerateReference(PVOID) {}
VOID reenumerateDereference(PVOID) {}

// The driver above a child asked to be enumerated afresh. The list's callback runs at PASSIVE_LEVEL on a
// fiber of its own, since the request may come at any level and from inside the driver's own callbacks.
VOID reenumerateSelf(PVOID context) {
    WDFDEVICE handle = static_cast<WDFDEVICE>(context);
    sim::Scheduler::current()->spawn("child re-enumeration", [handle] {
        Device* device = Device::fromHandle(handle);
        if (device == nullptr)
            return;
        if (ChildList* list = device->childList())
            list->reenumerate(device->pdoSettings().childId);
    });
}

NTSTATUS answerReenumerateSelf(Device& device, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    auto* out =
        reinterpret_cast<PREENUMERATE_SELF_INTERFACE_STANDARD>(stack->Parameters.QueryInterface.Interface);
    if (out == nullptr || stack->Parameters.QueryInterface.Size < sizeof(REENUMERATE_SELF_INTERFACE_STANDARD))
        return completeIrp(irp, STATUS_INVALID_PARAMETER);
    if (stack->Parameters.QueryInterface.Version > 1)
        return completeIrp(irp, STATUS_NOT_SUPPORTED);
    out->Size = sizeof(REENUMERATE_SELF_INTERFACE_STANDARD);
    out->Version = 1;
    out->Context = device.handle();
    out->InterfaceReference = &reenumerateReference;
    out->InterfaceDereference = &reenumerateDereference;
    out->SurpriseRemoveAndReenumerateSelf = &reenumerateSelf;
    return completeIrp(irp, STATUS_SUCCESS);
}

// The query goes to the parent's stack (SendQueryToParentStack) and its answer is the child's.
NTSTATUS askParentStack(Device& device, PIRP irp) {
    Device* parent = device.parentDevice();
    if (parent == nullptr || parent->deviceObject() == nullptr)
        return completeIrp(irp, irp->IoStatus.Status);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    PDEVICE_OBJECT top = IoGetAttachedDeviceReference(parent->deviceObject());
    IrpResult result = sendAndWait(top, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION& s) {
        s.Parameters.QueryInterface = stack->Parameters.QueryInterface;
    });
    ObDereferenceObject(top);
    irp->IoStatus.Information = result.information;
    return completeIrp(irp, result.status);
}

} // namespace

NTSTATUS dispatchQueryInterface(Device& device, PIRP irp, bool* handled) {
    *handled = false;
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    const GUID* type = stack->Parameters.QueryInterface.InterfaceType;
    if (type == nullptr)
        return STATUS_SUCCESS;
    for (Device::QueryInterface& entry : device.queryInterfaces()) {
        if (!sameGuid(entry.type, *type))
            continue;
        *handled = true;
        if (entry.sendToParentStack)
            return askParentStack(device, irp);
        auto* out = stack->Parameters.QueryInterface.Interface;
        if (out == nullptr)
            return completeIrp(irp, STATUS_INVALID_PARAMETER);
        bool referenced = false;
        if (!entry.importInterface && !entry.record.empty()) {
            const auto* added = reinterpret_cast<const INTERFACE*>(entry.record.data());
            if (stack->Parameters.QueryInterface.Size < added->Size)
                return completeIrp(irp, STATUS_INVALID_PARAMETER);
            if (stack->Parameters.QueryInterface.Version > added->Version)
                return completeIrp(irp, STATUS_NOT_SUPPORTED);
            std::memcpy(out, entry.record.data(), entry.record.size());
            if (out->InterfaceReference != nullptr) {
                out->InterfaceReference(out->Context);
                referenced = true;
            }
        }
        NTSTATUS status = STATUS_SUCCESS;
        if (entry.callback != nullptr) {
            GUID asked = *type;
            invokeCallback(&device, "EvtDeviceProcessQueryInterfaceRequest", [&] {
                status = entry.callback(static_cast<WDFDEVICE>(device.handle()), &asked, out,
                                        stack->Parameters.QueryInterface.InterfaceSpecificData);
            });
        }
        if (!NT_SUCCESS(status) && referenced && out->InterfaceDereference != nullptr)
            out->InterfaceDereference(out->Context); // the caller holds nothing after a failure
        return completeIrp(irp, status);
    }
    if (device.childList() != nullptr && sameGuid(*type, GUID_REENUMERATE_SELF_INTERFACE_STANDARD)) {
        *handled = true;
        return answerReenumerateSelf(device, irp);
    }
    return STATUS_SUCCESS;
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfDeviceAddQueryInterface(WDFDEVICE Device, PWDF_QUERY_INTERFACE_CONFIG InterfaceConfig) {
    constexpr const char* routine = "WdfDeviceAddQueryInterface";
    enterCall(routine, true);
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    if (device == nullptr)
        return STATUS_INVALID_HANDLE;
    if (InterfaceConfig == nullptr || InterfaceConfig->Size != sizeof(WDF_QUERY_INTERFACE_CONFIG)) {
        reportViolation(rule::kBadParameter, device, routine,
                        "the config was not initialised with WDF_QUERY_INTERFACE_CONFIG_INIT");
        return STATUS_INVALID_PARAMETER;
    }
    if (InterfaceConfig->InterfaceType == nullptr) {
        reportViolation(rule::kBadParameter, device, routine, "the interface type is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    const INTERFACE* record = InterfaceConfig->Interface;
    if (InterfaceConfig->SendQueryToParentStack) {
        if (device->childList() == nullptr) {
            reportViolation(rule::kBadParameter, device, routine,
                            "only a child list's child can send a query to its parent's stack");
            return STATUS_INVALID_PARAMETER;
        }
    } else if (!InterfaceConfig->ImportInterface) {
        if (record == nullptr || record->Size < sizeof(INTERFACE)) {
            reportViolation(rule::kBadParameter, device, routine,
                            "the interface record is NULL or smaller than INTERFACE");
            return STATUS_INVALID_PARAMETER;
        }
    }
    for (const zv::wdf::Device::QueryInterface& entry : device->queryInterfaces())
        if (std::memcmp(&entry.type, InterfaceConfig->InterfaceType, sizeof(GUID)) == 0)
            return STATUS_OBJECT_NAME_COLLISION;
    zv::wdf::Device::QueryInterface entry{};
    entry.type = *InterfaceConfig->InterfaceType;
    // The record is the framework's copy from now on: the driver's may go.
    if (record != nullptr && record->Size >= sizeof(INTERFACE) && !InterfaceConfig->SendQueryToParentStack)
        entry.record.assign(reinterpret_cast<const uint8_t*>(record),
                            reinterpret_cast<const uint8_t*>(record) + record->Size);
    entry.sendToParentStack = InterfaceConfig->SendQueryToParentStack != FALSE;
    entry.importInterface = InterfaceConfig->ImportInterface != FALSE;
    entry.callback = InterfaceConfig->EvtDeviceProcessQueryInterfaceRequest;
    device->queryInterfaces().push_back(std::move(entry));
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfDeviceInterfaceReferenceNoOp(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
}

EXTERN_C VOID WdfDeviceInterfaceDereferenceNoOp(PVOID Context) {
    UNREFERENCED_PARAMETER(Context);
}
