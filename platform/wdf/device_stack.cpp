// IRP traffic of a device with its stack.
#include "platform/wdf/device_stack.h"

#include "platform/kernel/irp.h"

#include "platform/sim/scheduler.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>

namespace zv::wdf {

namespace {

// Wakes the waiting fiber and keeps the IRP from completing further: it is the waiter's again.
NTSTATUS signalWaiter(PDEVICE_OBJECT, PIRP, PVOID context) {
    static_cast<sim::Event*>(context)->set();
    return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

NTSTATUS forwardAndWait(PDEVICE_OBJECT lower, PIRP irp) {
    sim::Event done(sim::Event::Kind::Notification, false, "IRP sent down the stack");
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, signalWaiter, &done, TRUE, TRUE, TRUE);
    IoCallDriver(lower, irp);
    done.wait(std::nullopt, "IoCallDriver");
    return irp->IoStatus.Status;
}

NTSTATUS passDown(PDEVICE_OBJECT lower, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lower, irp);
}

NTSTATUS completeIrp(PIRP irp, NTSTATUS status) {
    return kernel::completeIrp(irp, status);
}

IrpResult sendAndWait(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                      const std::function<void(IO_STACK_LOCATION&)>& fill) {
    IrpResult result;
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    if (irp == nullptr) {
        result.status = STATUS_INSUFFICIENT_RESOURCES;
        return result;
    }
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    if (fill)
        fill(*stack);
    sim::Event done(sim::Event::Kind::Notification, false, "IRP sent to a device stack");
    IoSetCompletionRoutine(irp, signalWaiter, &done, TRUE, TRUE, TRUE);
    IoCallDriver(target, irp);
    done.wait(std::nullopt, "IoCallDriver");
    result.status = irp->IoStatus.Status;
    result.information = irp->IoStatus.Information;
    IoFreeIrp(irp);
    return result;
}

PDEVICE_RELATIONS allocateDeviceRelations(ULONG count) {
    size_t bytes = offsetof(DEVICE_RELATIONS, Objects) + std::max<size_t>(count, 1) * sizeof(PDEVICE_OBJECT);
    auto* relations = static_cast<PDEVICE_RELATIONS>(std::calloc(1, bytes));
    if (relations != nullptr)
        relations->Count = count;
    return relations;
}

void freeDeviceRelations(PDEVICE_RELATIONS relations) {
    std::free(relations);
}

} // namespace zv::wdf
