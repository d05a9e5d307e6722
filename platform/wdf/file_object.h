// Framework file objects (WDFFILEOBJECT) and the create, cleanup and close IRPs that open and close them:
// exclusive devices, the driver's file callbacks at PASSIVE_LEVEL on the opener's (or closer's) fiber, and
// the cancellation at cleanup of the handle's requests still waiting in the device's queues.
#ifndef ZV_WDF_FILE_OBJECT_H
#define ZV_WDF_FILE_OBJECT_H

#include "platform/wdf/object.h"

#include <wdf.h>

namespace zv::wdf {

struct DeviceIoState;

class FileObject final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::FileObject;
    FileObject(Object* device, DeviceIoState& io, PFILE_OBJECT file);

    WDFFILEOBJECT fileHandle() const { return static_cast<WDFFILEOBJECT>(static_cast<void*>(handle())); }
    bool driverDeletable() const override { return false; }
    sim::Lock* presentationLock() override;
    PFILE_OBJECT wdm() const { return file_; }
    DeviceIoState& io() const { return io_; }
    // The create finished successfully (an open that counts).
    bool opened = false;

private:
    DeviceIoState& io_;
    PFILE_OBJECT file_;
};

// IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE at a framework device.
NTSTATUS dispatchCreate(DeviceIoState& io, PIRP irp);
NTSTATUS dispatchCleanup(DeviceIoState& io, PIRP irp);
NTSTATUS dispatchClose(DeviceIoState& io, PIRP irp);
// A create request completed: the open counts, or its file object goes.
void createCompleted(DeviceIoState& io, FileObject& file, NTSTATUS status);

} // namespace zv::wdf

#endif // ZV_WDF_FILE_OBJECT_H
