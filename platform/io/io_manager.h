// The I/O manager: the handle table of the machine's applications, opening a device by name (a file object
// and IRP_MJ_CREATE to the top of the device's stack), the requests an application makes on a handle
// (IRPs built with the buffers each transfer method asks for, sent to the top of the stack, waited for
// on a synchronous handle, completed into OVERLAPPED on an overlapped one), cancellation, and cleanup /
// close when the handle goes.
//
// It also checks what a driver's dispatch routine tells it: a request pended without IoMarkIrpPending, a
// request marked pending whose dispatch returned a status, a returned status other than the completion's,
// a status returned without completing, and completion information larger than the caller's buffer.
#ifndef ZV_IO_IO_MANAGER_H
#define ZV_IO_IO_MANAGER_H

#include "platform/io/waitable.h"
#include "platform/io/win32.h"

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zv::sim {
class Scheduler;
class Lock;
} // namespace zv::sim

namespace zv::io {

namespace rule {
inline constexpr std::string_view kPendingNotMarked = "pending-not-marked";
inline constexpr std::string_view kMarkedPendingStatusReturned = "pending-marked-status-returned";
inline constexpr std::string_view kDispatchStatusMismatch = "dispatch-status-mismatch";
inline constexpr std::string_view kReturnedUncompleted = "dispatch-returned-uncompleted";
inline constexpr std::string_view kInformationOverflow = "information-exceeds-buffer";
inline constexpr std::string_view kCallOutsideThread = "win32-call-outside-thread";
} // namespace rule

// One request on a handle: the operation and the caller's buffers.
struct IoCall {
    UCHAR major = IRP_MJ_READ;
    ULONG ioControlCode = 0;
    const void* input = nullptr;
    ULONG inputLength = 0;
    void* output = nullptr;
    ULONG outputLength = 0;
    FILE_INFORMATION_CLASS informationClass = FileStandardInformation;
};

struct IoResult {
    NTSTATUS status = STATUS_SUCCESS; // STATUS_PENDING: an overlapped request still runs
    ULONG_PTR information = 0;
};

class IoManager {
public:
    explicit IoManager(sim::Scheduler& machine);
    ~IoManager();
    IoManager(const IoManager&) = delete;
    IoManager& operator=(const IoManager&) = delete;

    // An NT name ("\??\COM7", "\Device\X\rest"). Access is the file's (generic rights mapped); share and
    // disposition / options go to the driver in the create request.
    NTSTATUS openFile(std::u16string_view name, ACCESS_MASK access, ULONG shareAccess, ULONG disposition,
                      ULONG createOptions, bool overlapped, HANDLE* handle);
    HANDLE createEvent(bool manualReset, bool signaled);
    NTSTATUS closeHandle(HANDLE handle);

    // Read, write, device control, flush, query / set information. A synchronous handle (or `wait`)
    // waits for the result; an overlapped one needs `overlapped` and answers STATUS_PENDING while the
    // request runs.
    IoResult call(HANDLE handle, const IoCall& call, LPOVERLAPPED overlapped, bool wait = false);
    // Cancels the requests on the handle: those of `overlapped` (nullptr: all), and with `callerOnly` only
    // those the calling fiber made. STATUS_NOT_FOUND when there was none.
    NTSTATUS cancel(HANDLE handle, LPOVERLAPPED overlapped, bool callerOnly);
    // GetOverlappedResult's wait: returns once the request of `overlapped` has completed, or at once
    // (false) when `wait` is false and it has not.
    NTSTATUS awaitOverlapped(HANDLE handle, LPOVERLAPPED overlapped, bool wait);

    // The object behind a waitable handle (events, files); nullptr for anything else.
    Waitable* waitable(HANDLE handle);
    PFILE_OBJECT fileObject(HANDLE handle);
    size_t openHandleCount() const { return handles_.size(); }

private:
    struct OpenFile;
    struct Request;
    struct Handle;

    std::shared_ptr<OpenFile> file(HANDLE handle);
    HANDLE insert(std::shared_ptr<Handle> entry);
    IoResult send(const std::shared_ptr<OpenFile>& file, const IoCall& call, LPOVERLAPPED overlapped,
                  bool wait, bool internal, PIO_SECURITY_CONTEXT createContext = nullptr,
                  ULONG createOptions = 0, USHORT shareAccess = 0);
    void complete(const std::shared_ptr<Request>& request, PIRP irp);
    void checkDispatch(Request& request);
    void sendClose(PFILE_OBJECT file);
    NTSTATUS checkAccess(const OpenFile& file, const IoCall& call) const;

    sim::Scheduler& machine_;
    uintptr_t nextHandle_ = 4;
    std::map<uintptr_t, std::shared_ptr<Handle>> handles_;
};

IoManager& ioManager();

} // namespace zv::io

#endif // ZV_IO_IO_MANAGER_H
