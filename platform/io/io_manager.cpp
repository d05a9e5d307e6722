// The I/O manager: handles, opens, requests with their buffers, completion into the caller's buffers and
// OVERLAPPED, cancellation, cleanup and close.
#include "platform/io/io_manager.h"

#include "platform/kernel/device_object.h"
#include "platform/kernel/file_object.h"
#include "platform/kernel/irp.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/object_namespace.h"
#include "platform/kernel/text.h"
#include "platform/sim/scheduler.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

namespace zv::io {

namespace {

constexpr ACCESS_MASK kFileGenericExecute =
    STANDARD_RIGHTS_READ | FILE_READ_ATTRIBUTES | FILE_EXECUTE | SYNCHRONIZE;

ACCESS_MASK mapGenericAccess(ACCESS_MASK access) {
    ACCESS_MASK mapped = access & ~(GENERIC_READ | GENERIC_WRITE | GENERIC_EXECUTE | GENERIC_ALL);
    if (access & GENERIC_READ)
        mapped |= FILE_GENERIC_READ;
    if (access & GENERIC_WRITE)
        mapped |= FILE_GENERIC_WRITE;
    if (access & GENERIC_EXECUTE)
        mapped |= kFileGenericExecute;
    if (access & GENERIC_ALL)
        mapped |= FILE_ALL_ACCESS;
    return mapped;
}

// The smallest buffer each information class the I/O manager knows takes.
ULONG minimumInformationLength(FILE_INFORMATION_CLASS c) {
    switch (c) {
        case FileBasicInformation:
            return sizeof(FILE_BASIC_INFORMATION);
        case FileStandardInformation:
            return sizeof(FILE_STANDARD_INFORMATION);
        case FilePositionInformation:
            return sizeof(FILE_POSITION_INFORMATION);
        default:
            return 0;
    }
}

// Holds a synchronous file's lock for one request, released also when the waiting fiber is unwound.
class FileLockGuard {
public:
    explicit FileLockGuard(sim::Lock* lock) : lock_(lock) {
        if (lock_)
            lock_->acquire(std::nullopt, "synchronous file I/O");
    }
    ~FileLockGuard() {
        if (lock_)
            lock_->release("synchronous file I/O");
    }
    FileLockGuard(const FileLockGuard&) = delete;
    FileLockGuard& operator=(const FileLockGuard&) = delete;

private:
    sim::Lock* lock_;
};

} // namespace

struct IoManager::OpenFile {
    PFILE_OBJECT file = nullptr;
    ACCESS_MASK access = 0;
    bool synchronous = true;
    // FILE_OBJECT.Event: signalled when a request on the file completes (and no event of the caller's is).
    std::shared_ptr<Waitable> event;
    std::unique_ptr<sim::Lock> lock;
    std::vector<std::shared_ptr<Request>> pending;
};

struct IoManager::Request {
    PIRP irp = nullptr;
    std::shared_ptr<OpenFile> file;
    sim::Fiber* issuer = nullptr;
    LPOVERLAPPED overlapped = nullptr;
    std::shared_ptr<Waitable> overlappedEvent;
    std::string what; // for reports
    bool internal = false;
    UCHAR major = 0;

    std::vector<std::byte> systemBuffer;
    void* copyTo = nullptr;
    bool copyBack = false;
    std::optional<ULONG> maxInformation;
    PMDL mdl = nullptr;
    LONGLONG offset = 0;

    bool completed = false;
    IoResult result;
    bool pendingReturned = false;
    bool dispatchReturned = false;
    NTSTATUS dispatchStatus = STATUS_SUCCESS;
    bool checked = false;
    sim::Event done{sim::Event::Kind::Notification, false, "I/O request"};
};

struct IoManager::Handle {
    std::shared_ptr<OpenFile> file;
    std::shared_ptr<Waitable> event;
};

IoManager::IoManager(sim::Scheduler& machine) : machine_(machine) {}

IoManager::~IoManager() = default;

IoManager& ioManager() {
    return kernel::requireMachine("I/O manager").service<IoManager>();
}

HANDLE IoManager::insert(std::shared_ptr<Handle> entry) {
    uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    handles_.emplace(value, std::move(entry));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<IoManager::OpenFile> IoManager::file(HANDLE handle) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end())
        return nullptr;
    return it->second->file;
}

Waitable* IoManager::waitable(HANDLE handle) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end())
        return nullptr;
    return it->second->event ? it->second->event.get() : it->second->file->event.get();
}

PFILE_OBJECT IoManager::fileObject(HANDLE handle) {
    std::shared_ptr<OpenFile> f = file(handle);
    return f ? f->file : nullptr;
}

HANDLE IoManager::createEvent(bool manualReset, bool signaled) {
    auto entry = std::make_shared<Handle>();
    entry->event = std::make_shared<Waitable>(manualReset, signaled, "event");
    return insert(std::move(entry));
}

NTSTATUS IoManager::openFile(std::u16string_view name, ACCESS_MASK access, ULONG shareAccess,
                             ULONG disposition, ULONG createOptions, bool overlapped, HANDLE* handle) {
    *handle = nullptr;
    kernel::ResolvedName resolved;
    NTSTATUS status = kernel::objectNamespace().resolve(name, &resolved);
    if (!NT_SUCCESS(status))
        return status;
    PDEVICE_OBJECT device = resolved.device;
    if (kernel::isDeviceObjectDeleted(device))
        return STATUS_DELETE_PENDING;
    if (device->Flags & DO_DEVICE_INITIALIZING)
        return STATUS_NO_SUCH_DEVICE;
    if ((device->Flags & DO_EXCLUSIVE) && device->ReferenceCount > 0)
        return STATUS_ACCESS_DENIED;

    auto open = std::make_shared<OpenFile>();
    open->access = mapGenericAccess(access);
    open->synchronous = !overlapped;
    open->event = std::make_shared<Waitable>(true, false, "file object");
    if (open->synchronous) {
        open->lock = std::make_unique<sim::Lock>(sim::Lock::Kind::Mutex, "file object lock");
        createOptions |= FILE_SYNCHRONOUS_IO_NONALERT;
    }
    PFILE_OBJECT file = kernel::fileObjects().create(device, resolved.remainder);
    open->file = file;
    file->Flags = open->synchronous ? FO_SYNCHRONOUS_IO : 0;
    file->ReadAccess = (open->access & FILE_READ_DATA) != 0;
    file->WriteAccess = (open->access & (FILE_WRITE_DATA | FILE_APPEND_DATA)) != 0;
    file->DeleteAccess = (open->access & DELETE) != 0;
    file->SharedRead = (shareAccess & FILE_SHARE_READ) != 0;
    file->SharedWrite = (shareAccess & FILE_SHARE_WRITE) != 0;
    file->SharedDelete = (shareAccess & FILE_SHARE_DELETE) != 0;

    IO_SECURITY_CONTEXT context{};
    context.DesiredAccess = open->access;
    context.FullCreateOptions = createOptions;
    IoCall create;
    create.major = IRP_MJ_CREATE;
    IoResult result =
        send(open, create, nullptr, true, true, &context, (disposition << 24) | (createOptions & 0xFFFFFF),
             static_cast<USHORT>(shareAccess));
    if (!NT_SUCCESS(result.status)) {
        // A failed create is no open: no cleanup or close follows.
        kernel::fileObjects().discard(file);
        return result.status;
    }
    file->Flags |= FO_HANDLE_CREATED;
    kernel::fileObjects().setCloseHandler(file, [this](PFILE_OBJECT f) { sendClose(f); });
    auto entry = std::make_shared<Handle>();
    entry->file = open;
    *handle = insert(std::move(entry));
    return STATUS_SUCCESS;
}

NTSTATUS IoManager::closeHandle(HANDLE handle) {
    auto it = handles_.find(reinterpret_cast<uintptr_t>(handle));
    if (it == handles_.end())
        return STATUS_INVALID_HANDLE;
    std::shared_ptr<Handle> entry = it->second;
    handles_.erase(it);
    if (!entry->file)
        return STATUS_SUCCESS;
    // The last (only) handle of the file: cleanup, then the handle's reference goes; close follows when
    // no request holds the file any more.
    IoCall cleanup;
    cleanup.major = IRP_MJ_CLEANUP;
    send(entry->file, cleanup, nullptr, true, true);
    entry->file->file->Flags |= FO_CLEANUP_COMPLETE;
    kernel::fileObjects().dereference(entry->file->file, "CloseHandle");
    return STATUS_SUCCESS;
}

void IoManager::sendClose(PFILE_OBJECT file) {
    auto open = std::make_shared<OpenFile>();
    open->file = file;
    open->synchronous = (file->Flags & FO_SYNCHRONOUS_IO) != 0;
    open->event = std::make_shared<Waitable>(true, false, "file object");
    IoCall close;
    close.major = IRP_MJ_CLOSE;
    send(open, close, nullptr, true, true);
}

NTSTATUS IoManager::checkAccess(const OpenFile& file, const IoCall& call) const {
    ACCESS_MASK needed = 0;
    switch (call.major) {
        case IRP_MJ_READ:
            needed = FILE_READ_DATA;
            break;
        case IRP_MJ_WRITE:
        case IRP_MJ_FLUSH_BUFFERS:
            if (!(file.access & (FILE_WRITE_DATA | FILE_APPEND_DATA)))
                return STATUS_ACCESS_DENIED;
            return STATUS_SUCCESS;
        case IRP_MJ_DEVICE_CONTROL: {
            ULONG bits = (call.ioControlCode >> 14) & 3;
            if (bits & FILE_READ_ACCESS)
                needed |= FILE_READ_DATA;
            if (bits & FILE_WRITE_ACCESS)
                needed |= FILE_WRITE_DATA;
            break;
        }
        case IRP_MJ_QUERY_INFORMATION:
            if (call.informationClass == FileBasicInformation)
                needed = FILE_READ_ATTRIBUTES;
            break;
        case IRP_MJ_SET_INFORMATION:
            if (call.informationClass == FileBasicInformation)
                needed = FILE_WRITE_ATTRIBUTES;
            break;
        default:
            break;
    }
    return (file.access & needed) == needed ? STATUS_SUCCESS : STATUS_ACCESS_DENIED;
}

IoResult IoManager::call(HANDLE handle, const IoCall& call, LPOVERLAPPED overlapped, bool wait) {
    std::shared_ptr<OpenFile> open = file(handle);
    if (!open)
        return {STATUS_INVALID_HANDLE, 0};
    if (NTSTATUS access = checkAccess(*open, call); !NT_SUCCESS(access))
        return {access, 0};
    if ((call.input == nullptr && call.inputLength > 0) || (call.output == nullptr && call.outputLength > 0))
        return {STATUS_INVALID_USER_BUFFER, 0};
    if (call.major == IRP_MJ_QUERY_INFORMATION || call.major == IRP_MJ_SET_INFORMATION) {
        if (call.informationClass <= 0 || call.informationClass >= FileMaximumInformation)
            return {STATUS_INVALID_INFO_CLASS, 0};
        ULONG length = call.major == IRP_MJ_QUERY_INFORMATION ? call.outputLength : call.inputLength;
        if (length < minimumInformationLength(call.informationClass))
            return {STATUS_INFO_LENGTH_MISMATCH, 0};
        // The position of a synchronous file is the I/O manager's own.
        if (call.informationClass == FilePositionInformation && open->synchronous) {
            if (call.major == IRP_MJ_QUERY_INFORMATION) {
                FILE_POSITION_INFORMATION position{};
                position.CurrentByteOffset = open->file->CurrentByteOffset;
                std::memcpy(call.output, &position, sizeof position);
                return {STATUS_SUCCESS, sizeof position};
            }
            FILE_POSITION_INFORMATION position;
            std::memcpy(&position, call.input, sizeof position);
            if (position.CurrentByteOffset.QuadPart < 0)
                return {STATUS_INVALID_PARAMETER, 0};
            open->file->CurrentByteOffset = position.CurrentByteOffset;
            return {STATUS_SUCCESS, 0};
        }
        wait = true;
    }
    if (call.major == IRP_MJ_FLUSH_BUFFERS)
        wait = true;
    if (!open->synchronous && overlapped == nullptr && !wait)
        return {STATUS_INVALID_PARAMETER, 0};
    FileLockGuard guard(open->synchronous ? open->lock.get() : nullptr);
    return send(open, call, overlapped, wait || open->synchronous, false);
}

IoResult IoManager::send(const std::shared_ptr<OpenFile>& open, const IoCall& call, LPOVERLAPPED overlapped,
                         bool wait, bool internal, PIO_SECURITY_CONTEXT createContext, ULONG createOptions,
                         USHORT shareAccess) {
    PFILE_OBJECT file = open->file;
    PDEVICE_OBJECT top = IoGetAttachedDevice(file->DeviceObject);
    if (top == nullptr)
        return {STATUS_NO_SUCH_DEVICE, 0};
    PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
    if (irp == nullptr)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};

    auto request = std::make_shared<Request>();
    request->irp = irp;
    request->file = open;
    request->issuer = machine_.currentFiber();
    request->overlapped = overlapped;
    request->internal = internal;
    request->major = call.major;
    request->what = std::string(kernel::majorFunctionName(call.major)) + " on FILE_OBJECT of " +
                    kernel::utf16ToUtf8Lossy(kernel::deviceObjectName(file->DeviceObject));
    if (overlapped != nullptr && overlapped->hEvent != nullptr) {
        auto it = handles_.find(reinterpret_cast<uintptr_t>(overlapped->hEvent));
        if (it == handles_.end() || !it->second->event) {
            IoFreeIrp(irp);
            return {STATUS_INVALID_HANDLE, 0};
        }
        request->overlappedEvent = it->second->event;
    }

    irp->RequestorMode = internal ? KernelMode : UserMode;
    irp->Tail.Overlay.OriginalFileObject = file;
    irp->Tail.Overlay.Thread = request->issuer;
    irp->IoStatus.Status = STATUS_SUCCESS;
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = call.major;
    stack->FileObject = file;

    if (overlapped != nullptr)
        request->offset = LONGLONG((ULONGLONG(overlapped->OffsetHigh) << 32) | overlapped->Offset);
    else
        request->offset = file->CurrentByteOffset.QuadPart;

    auto buffered = [&](const void* in, ULONG inLength, void* out, ULONG outLength) {
        size_t size = std::max(inLength, outLength);
        request->systemBuffer.assign(size, std::byte{0});
        if (inLength > 0)
            std::memcpy(request->systemBuffer.data(), in, inLength);
        irp->AssociatedIrp.SystemBuffer = size > 0 ? request->systemBuffer.data() : nullptr;
        irp->Flags |= IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
        if (out != nullptr && outLength > 0) {
            irp->Flags |= IRP_INPUT_OPERATION;
            request->copyTo = out;
            request->copyBack = true;
        }
    };
    auto direct = [&](void* buffer, ULONG length, LOCK_OPERATION operation) {
        if (length == 0)
            return;
        request->mdl = IoAllocateMdl(buffer, length, FALSE, FALSE, irp);
        MmProbeAndLockPages(request->mdl, UserMode, operation);
    };

    switch (call.major) {
        case IRP_MJ_CREATE:
            irp->Flags |= IRP_CREATE_OPERATION | IRP_SYNCHRONOUS_API | IRP_DEFER_IO_COMPLETION;
            stack->Parameters.Create.SecurityContext = createContext;
            stack->Parameters.Create.Options = createOptions;
            stack->Parameters.Create.FileAttributes = FILE_ATTRIBUTE_NORMAL;
            stack->Parameters.Create.ShareAccess = shareAccess;
            break;
        case IRP_MJ_CLOSE:
            irp->Flags |= IRP_CLOSE_OPERATION | IRP_SYNCHRONOUS_API;
            break;
        case IRP_MJ_READ:
        case IRP_MJ_WRITE: {
            bool read = call.major == IRP_MJ_READ;
            void* buffer = read ? call.output : const_cast<void*>(call.input);
            ULONG length = read ? call.outputLength : call.inputLength;
            irp->UserBuffer = buffer;
            if (top->Flags & DO_BUFFERED_IO) {
                if (read)
                    buffered(nullptr, 0, buffer, length);
                else
                    buffered(buffer, length, nullptr, 0);
            } else if (top->Flags & DO_DIRECT_IO) {
                direct(buffer, length, read ? IoWriteAccess : IoReadAccess);
            }
            irp->Flags |= read ? IRP_READ_OPERATION : IRP_WRITE_OPERATION;
            stack->Parameters.Read.Length = length;
            stack->Parameters.Read.ByteOffset.QuadPart = request->offset;
            request->maxInformation = length;
            break;
        }
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL: {
            stack->Parameters.DeviceIoControl.IoControlCode = call.ioControlCode;
            stack->Parameters.DeviceIoControl.InputBufferLength = call.inputLength;
            stack->Parameters.DeviceIoControl.OutputBufferLength = call.outputLength;
            stack->Parameters.DeviceIoControl.Type3InputBuffer = const_cast<void*>(call.input);
            irp->UserBuffer = call.output;
            switch (METHOD_FROM_CTL_CODE(call.ioControlCode)) {
                case METHOD_BUFFERED:
                    buffered(call.input, call.inputLength, call.output, call.outputLength);
                    break;
                case METHOD_IN_DIRECT:
                case METHOD_OUT_DIRECT:
                    if (call.inputLength > 0)
                        buffered(call.input, call.inputLength, nullptr, 0);
                    direct(call.output, call.outputLength,
                           METHOD_FROM_CTL_CODE(call.ioControlCode) == METHOD_IN_DIRECT ? IoReadAccess
                                                                                        : IoWriteAccess);
                    break;
                default:
                    break;
            }
            request->maxInformation = call.outputLength;
            break;
        }
        case IRP_MJ_QUERY_INFORMATION:
            buffered(nullptr, 0, call.output, call.outputLength);
            stack->Parameters.QueryFile.Length = call.outputLength;
            stack->Parameters.QueryFile.FileInformationClass = call.informationClass;
            request->maxInformation = call.outputLength;
            break;
        case IRP_MJ_SET_INFORMATION:
            buffered(call.input, call.inputLength, nullptr, 0);
            stack->Parameters.SetFile.Length = call.inputLength;
            stack->Parameters.SetFile.FileInformationClass = call.informationClass;
            break;
        default:
            break;
    }

    if (!internal) {
        // The request holds the file until it completes.
        kernel::fileObjects().reference(file);
        open->pending.push_back(request);
        if (overlapped != nullptr) {
            overlapped->Internal = ULONG_PTR(ULONG(STATUS_PENDING));
            overlapped->InternalHigh = 0;
        }
        if (request->overlappedEvent)
            request->overlappedEvent->reset();
        open->event->reset();
    }
    kernel::setIrpCompletionHandler(irp, [this, request](PIRP done) { complete(request, done); });

    NTSTATUS status = IoCallDriver(top, irp);
    request->dispatchReturned = true;
    request->dispatchStatus = status;
    if (status != STATUS_PENDING && !request->completed) {
        kernel::reportMisuse(rule::kReturnedUncompleted, request->what, "IoCallDriver",
                             "the dispatch routine returned a status without completing the request or "
                             "returning STATUS_PENDING");
        request->checked = true;
    }
    checkDispatch(*request);

    if (!request->completed && !wait)
        return {STATUS_PENDING, 0};
    if (!request->completed)
        request->done.wait(std::nullopt, "I/O request");
    return request->result;
}

void IoManager::complete(const std::shared_ptr<Request>& request, PIRP irp) {
    Request& r = *request;
    r.completed = true;
    r.result.status = irp->IoStatus.Status;
    r.result.information = irp->IoStatus.Information;
    r.pendingReturned = irp->PendingReturned != FALSE;

    if (r.maxInformation && r.result.information > *r.maxInformation && !NT_ERROR(r.result.status)) {
        kernel::reportMisuse(rule::kInformationOverflow, r.what, "IoCompleteRequest",
                             "completed with information " + std::to_string(r.result.information) +
                                 " for a buffer of " + std::to_string(*r.maxInformation) + " bytes");
        r.result.information = *r.maxInformation;
    }
    if (r.copyBack && !NT_ERROR(r.result.status) && r.result.information > 0)
        std::memcpy(r.copyTo, r.systemBuffer.data(), r.result.information);
    if (r.mdl != nullptr) {
        for (PMDL mdl = irp->MdlAddress; mdl != nullptr;) {
            PMDL next = mdl->Next;
            if (mdl->MdlFlags & MDL_PAGES_LOCKED)
                MmUnlockPages(mdl);
            IoFreeMdl(mdl);
            mdl = next;
        }
        irp->MdlAddress = nullptr;
    }
    IoFreeIrp(irp);
    r.irp = nullptr;

    OpenFile& open = *r.file;
    if (!r.internal) {
        if (open.synchronous && NT_SUCCESS(r.result.status) &&
            (r.major == IRP_MJ_READ || r.major == IRP_MJ_WRITE))
            open.file->CurrentByteOffset.QuadPart = r.offset + LONGLONG(r.result.information);
        // A request that fails at once on an overlapped file gives its status to the caller only; the
        // OVERLAPPED and the event stay as they were.
        bool quietFailure = !open.synchronous && NT_ERROR(r.result.status) && !r.pendingReturned;
        if (!quietFailure) {
            if (r.overlapped != nullptr) {
                r.overlapped->Internal = ULONG_PTR(ULONG(r.result.status));
                r.overlapped->InternalHigh = r.result.information;
            }
            if (r.overlappedEvent)
                r.overlappedEvent->set();
            if (!r.overlappedEvent || open.synchronous)
                open.event->set();
        }
        std::erase(open.pending, request);
    }
    r.done.set();
    checkDispatch(r);
    if (!r.internal) {
        // The file's last reference may go here, inside a driver's completion: its close then runs on a
        // thread of its own, as the deferred deletion of a file object does.
        PFILE_OBJECT file = open.file;
        if (kernel::fileObjects().references(file) == 1)
            machine_.spawn("file object release",
                           [file] { kernel::fileObjects().dereference(file, "I/O completion"); });
        else
            kernel::fileObjects().dereference(file, "I/O completion");
    }
}

void IoManager::checkDispatch(Request& r) {
    if (!r.dispatchReturned || !r.completed || r.checked)
        return;
    r.checked = true;
    if (r.dispatchStatus == STATUS_PENDING) {
        if (!r.pendingReturned)
            kernel::reportMisuse(rule::kPendingNotMarked, r.what, "IoCallDriver",
                                 "the dispatch routine returned STATUS_PENDING without IoMarkIrpPending");
        return;
    }
    if (r.pendingReturned) {
        kernel::reportMisuse(
            rule::kMarkedPendingStatusReturned, r.what, "IoCallDriver",
            "marked pending, but the dispatch routine returned a status, not STATUS_PENDING");
        return;
    }
    if (r.dispatchStatus != r.result.status) {
        char text[96];
        std::snprintf(text, sizeof text, "the dispatch routine returned 0x%08X but completed with 0x%08X",
                      unsigned(r.dispatchStatus), unsigned(r.result.status));
        kernel::reportMisuse(rule::kDispatchStatusMismatch, r.what, "IoCallDriver", text);
    }
}

NTSTATUS IoManager::cancel(HANDLE handle, LPOVERLAPPED overlapped, bool callerOnly) {
    std::shared_ptr<OpenFile> open = file(handle);
    if (!open)
        return STATUS_INVALID_HANDLE;
    std::vector<std::shared_ptr<Request>> snapshot = open->pending;
    sim::Fiber* caller = machine_.currentFiber();
    bool found = false;
    for (const auto& request : snapshot) {
        if (request->completed)
            continue;
        if (callerOnly && request->issuer != caller)
            continue;
        if (overlapped != nullptr && request->overlapped != overlapped)
            continue;
        found = true;
        IoCancelIrp(request->irp);
    }
    return found ? STATUS_SUCCESS : STATUS_NOT_FOUND;
}

NTSTATUS IoManager::awaitOverlapped(HANDLE handle, LPOVERLAPPED overlapped, bool wait) {
    std::shared_ptr<OpenFile> open = file(handle);
    if (!open)
        return STATUS_INVALID_HANDLE;
    auto running = [&] { return NTSTATUS(ULONG(overlapped->Internal)) == STATUS_PENDING; };
    if (!running())
        return STATUS_SUCCESS;
    if (!wait)
        return STATUS_PENDING;
    // Held for the wait, so that closing the event's handle meanwhile leaves nothing dangling.
    std::shared_ptr<Waitable> object = open->event;
    if (overlapped->hEvent != nullptr) {
        auto it = handles_.find(reinterpret_cast<uintptr_t>(overlapped->hEvent));
        if (it == handles_.end() || !it->second->event)
            return STATUS_INVALID_HANDLE;
        object = it->second->event;
    }
    // The event may be set by another request too (the file's event always can be): look again.
    while (running())
        waitFor({object.get()}, false, std::nullopt);
    return STATUS_SUCCESS;
}

} // namespace zv::io
