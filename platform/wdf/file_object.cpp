// File objects: create (exclusivity, then the driver's create callback with a request it completes),
// cleanup (the handle's waiting requests cancelled, then the cleanup callback) and close (the close
// callback, then the file object goes), and the WdfFileObject* and file-related device-init calls.
#include "platform/wdf/file_object.h"

#include "platform/wdf/device.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/io_state.h"
#include "platform/wdf/queue.h"
#include "platform/wdf/request.h"

namespace zv::wdf {

namespace {

NTSTATUS completeNow(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

bool autoForward(const DeviceIoState& io) {
    return io.config.fileObjectConfig && io.config.fileObjectConfig->AutoForwardCleanupClose == WdfTrue &&
           io.lower != nullptr;
}

NTSTATUS passDown(DeviceIoState& io, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(io.lower, irp);
}

// File callbacks run at PASSIVE_LEVEL on the opener's or closer's fiber, serialised with the queues only
// when the file object's attributes ask for device scope at passive level.
template <class F>
void runFileCallback(FileObject& file, const char* name, F&& f) {
    if (sim::Scheduler::current()->irql() != sim::Irql::Passive)
        reportViolation(sim::rule::kPassiveOnly, &file, name, "file callbacks run at PASSIVE_LEVEL");
    sim::Lock* lock = file.presentationLock();
    if (lock != nullptr)
        lock->acquire(std::nullopt, name);
    invokeCallback(&file, name, std::forward<F>(f));
    if (lock != nullptr)
        lock->release(name);
}

void dropFile(DeviceIoState& io, FileObject& file) {
    io.files.erase(file.wdm());
    --io.opens;
    file.deleteTree();
}

NTSTATUS forwardedCreateDone(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* file = static_cast<FileObject*>(context);
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    createCompleted(file->io(), *file, irp->IoStatus.Status);
    return STATUS_SUCCESS;
}

} // namespace

FileObject::FileObject(Object* device, DeviceIoState& io, PFILE_OBJECT file)
    : Object(kType, device), io_(io), file_(file) {}

sim::Lock* FileObject::presentationLock() {
    if (effectiveSynchronizationScope() != WdfSynchronizationScopeDevice ||
        effectiveExecutionLevel() != WdfExecutionLevelPassive)
        return nullptr;
    sim::Lock* lock = io_.device.presentationLock();
    return lock != nullptr && lock->kind() == sim::Lock::Kind::Mutex ? lock : nullptr;
}

void createCompleted(DeviceIoState& io, FileObject& file, NTSTATUS status) {
    if (NT_SUCCESS(status))
        file.opened = true;
    else
        dropFile(io, file); // a refused create counts as no open
}

NTSTATUS dispatchCreate(DeviceIoState& io, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    // An exclusive device refuses a second open before its driver hears of it.
    if (io.config.exclusive && io.opens > 0)
        return completeNow(irp, STATUS_ACCESS_DENIED);
    if (io.removed)
        return completeNow(irp, STATUS_DELETE_PENDING);
    if (s->FileObject == nullptr || io.files.count(s->FileObject) != 0)
        return completeNow(irp, STATUS_INVALID_PARAMETER);
    const WDF_OBJECT_ATTRIBUTES* attributes =
        io.config.fileObjectAttributes ? &*io.config.fileObjectAttributes : nullptr;
    FileObject* file = nullptr;
    NTSTATUS status =
        create<FileObject>(attributes, &io.device, "file object creation", &file, io, s->FileObject);
    if (!NT_SUCCESS(status))
        return completeNow(irp, status);
    io.files[s->FileObject] = file;
    ++io.opens;

    PFN_WDF_DEVICE_FILE_CREATE callback =
        io.config.fileObjectConfig ? io.config.fileObjectConfig->EvtDeviceFileCreate : nullptr;
    if (callback == nullptr) {
        if (autoForward(io)) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, &forwardedCreateDone, file, TRUE, TRUE, TRUE);
            return IoCallDriver(io.lower, irp);
        }
        file->opened = true;
        return completeNow(irp, STATUS_SUCCESS);
    }
    Request* request = makeDeliveredRequest(io, irp);
    if (request == nullptr) {
        dropFile(io, *file);
        return completeNow(irp, STATUS_INSUFFICIENT_RESOURCES);
    }
    request->setCreateFile(file);
    IoMarkIrpPending(irp);
    const WDFDEVICE device = static_cast<WDFDEVICE>(io.device.handle());
    const WDFREQUEST handle = request->requestHandle();
    const WDFFILEOBJECT fileHandle = file->fileHandle();
    runFileCallback(*file, "EvtDeviceFileCreate", [&] { callback(device, handle, fileHandle); });
    return STATUS_PENDING;
}

NTSTATUS dispatchCleanup(DeviceIoState& io, PIRP irp) {
    PFILE_OBJECT wdm = IoGetCurrentIrpStackLocation(irp)->FileObject;
    // The handle's requests still waiting in the device's queues go; those the driver owns are its own
    // to finish.
    std::vector<Queue*> queues = io.queues;
    for (Queue* queue : queues)
        queue->cancelForFile(wdm);
    FileObject* file = io.fileFor(wdm);
    if (file != nullptr && io.config.fileObjectConfig &&
        io.config.fileObjectConfig->EvtFileCleanup != nullptr) {
        PFN_WDF_FILE_CLEANUP cleanup = io.config.fileObjectConfig->EvtFileCleanup;
        runFileCallback(*file, "EvtFileCleanup", [&] { cleanup(file->fileHandle()); });
    }
    if (autoForward(io))
        return passDown(io, irp);
    return completeNow(irp, STATUS_SUCCESS);
}

NTSTATUS dispatchClose(DeviceIoState& io, PIRP irp) {
    PFILE_OBJECT wdm = IoGetCurrentIrpStackLocation(irp)->FileObject;
    FileObject* file = io.fileFor(wdm);
    if (file != nullptr) {
        if (io.config.fileObjectConfig && io.config.fileObjectConfig->EvtFileClose != nullptr) {
            PFN_WDF_FILE_CLOSE close = io.config.fileObjectConfig->EvtFileClose;
            runFileCallback(*file, "EvtFileClose", [&] { close(file->fileHandle()); });
        }
        dropFile(io, *file);
    }
    if (autoForward(io))
        return passDown(io, irp);
    return completeNow(irp, STATUS_SUCCESS);
}

} // namespace zv::wdf

// ---- Entry points ----

using namespace zv::wdf;

EXTERN_C VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit,
                                               PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                               PWDF_OBJECT_ATTRIBUTES FileObjectAttributes) {
    constexpr const char* routine = "WdfDeviceInitSetFileObjectConfig";
    enterCall(routine, true);
    zv::wdf::DeviceInit* init = zv::wdf::DeviceInit::fromHandle(DeviceInit, routine);
    if (init == nullptr)
        return;
    if (FileObjectConfig == nullptr || FileObjectConfig->Size != sizeof(WDF_FILEOBJECT_CONFIG)) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "the config must be initialised with WDF_FILEOBJECT_CONFIG_INIT");
        return;
    }
    const ULONG fileClass = static_cast<ULONG>(FileObjectConfig->FileObjectClass) & ~0x80000000u;
    if (fileClass < WdfFileObjectNotRequired || fileClass > WdfFileObjectWdfCannotUseFsContexts) {
        reportViolation(rule::kBadParameter, nullptr, routine, "not a WDF_FILEOBJECT_CLASS");
        return;
    }
    if (FileObjectAttributes != nullptr) {
        if (!NT_SUCCESS(checkAttributes(FileObjectAttributes, routine)))
            return;
        if (FileObjectAttributes->ParentObject != nullptr) {
            reportViolation(rule::kBadParameter, nullptr, routine, "a file object's parent is its device");
            return;
        }
        init->io().fileObjectAttributes = *FileObjectAttributes;
    }
    init->io().fileObjectConfig = *FileObjectConfig;
}

EXTERN_C VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive) {
    constexpr const char* routine = "WdfDeviceInitSetExclusive";
    enterCall(routine, true);
    if (zv::wdf::DeviceInit* init = zv::wdf::DeviceInit::fromHandle(DeviceInit, routine))
        init->io().exclusive = IsExclusive != FALSE;
}

EXTERN_C WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject) {
    constexpr const char* routine = "WdfFileObjectGetDevice";
    enterCall(routine);
    auto* file = resolve<zv::wdf::FileObject>(FileObject, routine);
    return file != nullptr ? static_cast<WDFDEVICE>(file->parent()->handle()) : nullptr;
}

EXTERN_C PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject) {
    constexpr const char* routine = "WdfFileObjectWdmGetFileObject";
    enterCall(routine);
    auto* file = resolve<zv::wdf::FileObject>(FileObject, routine);
    return file != nullptr ? file->wdm() : nullptr;
}

EXTERN_C PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject) {
    constexpr const char* routine = "WdfFileObjectGetFileName";
    enterCall(routine);
    auto* file = resolve<zv::wdf::FileObject>(FileObject, routine);
    return file != nullptr && file->wdm() != nullptr ? &file->wdm()->FileName : nullptr;
}

EXTERN_C ULONG WdfFileObjectGetFlags(WDFFILEOBJECT FileObject) {
    constexpr const char* routine = "WdfFileObjectGetFlags";
    enterCall(routine);
    auto* file = resolve<zv::wdf::FileObject>(FileObject, routine);
    return file != nullptr && file->wdm() != nullptr ? file->wdm()->Flags : 0;
}
