// The wrapped framework calls of the bus driver's unit tests and their fault plan.
#include "tests/bus/framework_faults.h"

#include "platform/sim/scheduler.h"
#include "platform/wdf/object.h"
#include "platform/wdf/sync.h"

#include <algorithm>

namespace zv::test {

void FrameworkFaults::fail(std::string routine, NTSTATUS status, WDFOBJECT subject, int times) {
    rules_.push_back({std::move(routine), subject, status, times});
}

NTSTATUS FrameworkFaults::enter(const char* routine, WDFOBJECT subject) {
    bool held = false;
    if (watched_ != nullptr) {
        wdf::Object* object = wdf::objects().find(watched_);
        sim::Fiber* fiber = sim::Scheduler::current()->currentFiber();
        if (object != nullptr && object->type() == wdf::ObjectType::WaitLock && fiber != nullptr) {
            sim::Lock* lock = &static_cast<wdf::WaitLock*>(object)->lock();
            const auto& heldLocks = fiber->heldLocks();
            held = std::find(heldLocks.begin(), heldLocks.end(), lock) != heldLocks.end();
        }
    }
    NTSTATUS status = STATUS_SUCCESS;
    for (Rule& rule : rules_) {
        if (rule.times != 0 && rule.routine == routine &&
            (rule.subject == nullptr || rule.subject == subject)) {
            --rule.times;
            status = rule.status;
            break;
        }
    }
    calls_.push_back({routine, subject, held, !NT_SUCCESS(status)});
    return status;
}

std::vector<FrameworkCall> FrameworkFaults::callsOf(std::string_view routine, WDFOBJECT subject) const {
    std::vector<FrameworkCall> out;
    for (const FrameworkCall& call : calls_)
        if (call.routine == routine && call.subject == subject)
            out.push_back(call);
    return out;
}

FrameworkFaults& frameworkFaults() {
    return sim::Scheduler::current()->service<FrameworkFaults>();
}

} // namespace zv::test

namespace {

WDFOBJECT parentOf(const WDF_OBJECT_ATTRIBUTES* attributes) {
    return attributes != nullptr ? attributes->ParentObject : nullptr;
}

} // namespace

// The wrapped routines: ld resolves the driver's calls to __wrap_X and __real_X to the framework's X.
extern "C" {

NTSTATUS __real_WdfDriverCreate(PDRIVER_OBJECT, PCUNICODE_STRING, PWDF_OBJECT_ATTRIBUTES, PWDF_DRIVER_CONFIG,
                                WDFDRIVER*);
NTSTATUS __real_WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES, WDFCOLLECTION*);
NTSTATUS __real_WdfCollectionAdd(WDFCOLLECTION, WDFOBJECT);
NTSTATUS __real_WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES, WDFWAITLOCK*);
NTSTATUS __real_WdfDeviceCreate(PWDFDEVICE_INIT*, PWDF_OBJECT_ATTRIBUTES, WDFDEVICE*);
NTSTATUS __real_WdfIoQueueCreate(WDFDEVICE, PWDF_IO_QUEUE_CONFIG, PWDF_OBJECT_ATTRIBUTES, WDFQUEUE*);
NTSTATUS __real_WdfFdoQueryForInterface(WDFDEVICE, LPCGUID, PINTERFACE, USHORT, USHORT, PVOID);
USBD_CONFIGURATION_HANDLE __real_WdfUsbTargetDeviceWdmGetConfigurationHandle(WDFUSBDEVICE);

NTSTATUS __wrap_WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                                PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                                WDFDRIVER* Driver) {
    NTSTATUS status = zv::test::frameworkFaults().enter("WdfDriverCreate", nullptr);
    if (!NT_SUCCESS(status))
        return status;
    return __real_WdfDriverCreate(DriverObject, RegistryPath, DriverAttributes, DriverConfig, Driver);
}

NTSTATUS __wrap_WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection) {
    NTSTATUS status =
        zv::test::frameworkFaults().enter("WdfCollectionCreate", parentOf(CollectionAttributes));
    if (!NT_SUCCESS(status))
        return status;
    return __real_WdfCollectionCreate(CollectionAttributes, Collection);
}

NTSTATUS __wrap_WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object) {
    NTSTATUS status = zv::test::frameworkFaults().enter("WdfCollectionAdd", Object);
    if (!NT_SUCCESS(status))
        return status;
    return __real_WdfCollectionAdd(Collection, Object);
}

NTSTATUS __wrap_WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock) {
    NTSTATUS status = zv::test::frameworkFaults().enter("WdfWaitLockCreate", parentOf(LockAttributes));
    if (!NT_SUCCESS(status))
        return status;
    return __real_WdfWaitLockCreate(LockAttributes, Lock);
}

NTSTATUS __wrap_WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                                WDFDEVICE* Device) {
    NTSTATUS status = zv::test::frameworkFaults().enter("WdfDeviceCreate", nullptr);
    if (!NT_SUCCESS(status))
        return status;
    return __real_WdfDeviceCreate(DeviceInit, DeviceAttributes, Device);
}

NTSTATUS __wrap_WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                                 PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue) {
    NTSTATUS status = zv::test::frameworkFaults().enter("WdfIoQueueCreate", Device);
    if (!NT_SUCCESS(status))
        return status;
    return __real_WdfIoQueueCreate(Device, Config, QueueAttributes, Queue);
}

NTSTATUS __wrap_WdfFdoQueryForInterface(WDFDEVICE Fdo, LPCGUID InterfaceType, PINTERFACE Interface,
                                        USHORT Size, USHORT Version, PVOID InterfaceSpecificData) {
    NTSTATUS status = zv::test::frameworkFaults().enter("WdfFdoQueryForInterface", Fdo);
    if (!NT_SUCCESS(status))
        return status;
    return __real_WdfFdoQueryForInterface(Fdo, InterfaceType, Interface, Size, Version,
                                          InterfaceSpecificData);
}

// A failure planned for it makes the handle NULL.
USBD_CONFIGURATION_HANDLE __wrap_WdfUsbTargetDeviceWdmGetConfigurationHandle(WDFUSBDEVICE UsbDevice) {
    if (!NT_SUCCESS(
            zv::test::frameworkFaults().enter("WdfUsbTargetDeviceWdmGetConfigurationHandle", UsbDevice)))
        return nullptr;
    return __real_WdfUsbTargetDeviceWdmGetConfigurationHandle(UsbDevice);
}

} // extern "C"
