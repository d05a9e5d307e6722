// How a device talks to the rest of its device stack: passing an IRP on to the device below, with or
// without waiting for it to come back, and sending an IRP of its own (a D-IRP, a query) to a stack and
// waiting for the answer. Plug and Play and power traffic needs nothing more; the request path has its
// own I/O targets. Waiting needs PASSIVE_LEVEL; the completion may come on any fiber.
#ifndef ZV_WDF_DEVICE_STACK_H
#define ZV_WDF_DEVICE_STACK_H

#include <ntddk.h>

#include <functional>

namespace zv::wdf {

// Passes the IRP to `lower` and waits until the stack below has completed it; the IRP stays the
// caller's, to complete. Returns its final status.
NTSTATUS forwardAndWait(PDEVICE_OBJECT lower, PIRP irp);
// Gives the IRP to `lower` for good (the current stack location is skipped).
NTSTATUS passDown(PDEVICE_OBJECT lower, PIRP irp);
// Completes the IRP with `status` (IoStatus.Information as it is) and returns the status.
NTSTATUS completeIrp(PIRP irp, NTSTATUS status);

struct IrpResult {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    ULONG_PTR information = 0;
};
// Builds an IRP for the stack `target` heads, lets `fill` set its first stack location (major and minor
// are set already), sends it and waits. Plug and Play IRPs start as STATUS_NOT_SUPPORTED, as the system's
// do, so that a stack that does not handle one says so.
IrpResult sendAndWait(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                      const std::function<void(IO_STACK_LOCATION&)>& fill);

// A DEVICE_RELATIONS record for `count` device objects, from the pool (malloc), Count set; freed by whoever
// receives it, with freeDeviceRelations (free). nullptr when the pool is out.
PDEVICE_RELATIONS allocateDeviceRelations(ULONG count);
void freeDeviceRelations(PDEVICE_RELATIONS relations);

} // namespace zv::wdf

#endif // ZV_WDF_DEVICE_STACK_H
