// IRP_MN_QUERY_INTERFACE at a framework device: the interfaces added with WdfDeviceAddQueryInterface.
#ifndef ZV_WDF_QUERY_INTERFACE_H
#define ZV_WDF_QUERY_INTERFACE_H

#include <ntddk.h>
#include <wdf.h>

namespace zv::wdf {

class Device;

// Answers the query when the device has the interface (`*handled` set, the IRP completed); otherwise
// leaves the IRP alone for the caller to pass on or complete.
NTSTATUS dispatchQueryInterface(Device& device, PIRP irp, bool* handled);

} // namespace zv::wdf

#endif // ZV_WDF_QUERY_INTERFACE_H
