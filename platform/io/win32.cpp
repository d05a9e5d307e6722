// The Win32-style calls: Win32 names to NT names, results to the calling thread's last error, and
// application threads.
#include "platform/io/win32.h"

#include "platform/io/io_manager.h"
#include "platform/kernel/machine.h"
#include "platform/kernel/text.h"
#include "platform/sim/scheduler.h"

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

namespace zv::io {

namespace {

// The last error of each thread (fiber); calls made outside any fiber share one slot.
class LastErrors {
public:
    explicit LastErrors(sim::Scheduler&) {}
    DWORD& of(const sim::Fiber* fiber) { return errors_[fiber != nullptr ? fiber->id() : 0]; }

private:
    std::map<uint64_t, DWORD> errors_;
};

DWORD* lastErrorSlot() {
    sim::Scheduler* m = kernel::machine();
    if (m == nullptr)
        return nullptr;
    return &m->service<LastErrors>().of(m->currentFiber());
}

void setError(DWORD error) {
    if (DWORD* slot = lastErrorSlot())
        *slot = error;
}

BOOL failWithStatus(NTSTATUS status) {
    setError(win32ErrorFromStatus(status));
    return FALSE;
}

// A call that may wait needs a thread at PASSIVE_LEVEL.
bool onThread(const char* routine) {
    sim::Scheduler* m = kernel::machine();
    if (m == nullptr)
        return false;
    if (m->currentFiber() == nullptr) {
        kernel::reportMisuse(rule::kCallOutsideThread, routine, routine,
                             "called outside any application thread");
        setError(ERROR_INVALID_FUNCTION);
        return false;
    }
    if (!kernel::checkPassive(routine)) {
        setError(ERROR_INVALID_FUNCTION);
        return false;
    }
    return true;
}

std::optional<sim::Time> timeoutOf(DWORD milliseconds) {
    if (milliseconds == INFINITE)
        return std::nullopt;
    return sim::Time(milliseconds) * sim::kMillisecond;
}

bool startsWith(std::u16string_view text, std::u16string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// The NT name a Win32 file name stands for: "\\.\X" and "\\?\X" are "\??\X", an NT name stays, and the DOS
// device names COM1..COM9 and LPT1..LPT9 (with or without a colon) mean "\??\COMn". There are no file
// systems, so any other name is a path that does not exist.
std::optional<std::u16string> ntName(std::u16string_view name) {
    if (startsWith(name, u"\\\\.\\") || startsWith(name, u"\\\\?\\"))
        return u"\\??\\" + std::u16string(name.substr(4));
    if (startsWith(name, u"\\??\\"))
        return std::u16string(name);
    std::u16string_view device = name;
    if (!device.empty() && device.back() == u':')
        device.remove_suffix(1);
    if (device.size() == 4 && device[3] >= u'1' && device[3] <= u'9' &&
        (kernel::equalIgnoreCase(device.substr(0, 3), u"COM") ||
         kernel::equalIgnoreCase(device.substr(0, 3), u"LPT")))
        return u"\\??\\" + std::u16string(device);
    return std::nullopt;
}

ULONG dispositionOf(DWORD creation) {
    switch (creation) {
        case CREATE_NEW:
            return FILE_CREATE;
        case CREATE_ALWAYS:
            return FILE_OVERWRITE_IF;
        case OPEN_EXISTING:
            return FILE_OPEN;
        case OPEN_ALWAYS:
            return FILE_OPEN_IF;
        case TRUNCATE_EXISTING:
            return FILE_OVERWRITE;
        default:
            return ~0u;
    }
}

// ReadFile / WriteFile / DeviceIoControl share their way of answering.
BOOL transfer(const char* routine, HANDLE handle, const IoCall& call, LPDWORD bytes,
              LPOVERLAPPED overlapped) {
    if (!onThread(routine))
        return FALSE;
    if (bytes != nullptr)
        *bytes = 0;
    if (bytes == nullptr && overlapped == nullptr)
        return failWithStatus(STATUS_INVALID_PARAMETER);
    IoManager& io = ioManager();
    IoResult result = io.call(handle, call, overlapped);
    if (result.status == STATUS_PENDING) {
        setError(ERROR_IO_PENDING);
        return FALSE;
    }
    if (NT_SUCCESS(result.status)) {
        if (bytes != nullptr)
            *bytes = DWORD(result.information);
        return TRUE;
    }
    PFILE_OBJECT file = io.fileObject(handle);
    bool synchronous = file != nullptr && (file->Flags & FO_SYNCHRONOUS_IO);
    // End of file on a synchronous read is a successful read of nothing.
    if (result.status == STATUS_END_OF_FILE && call.major == IRP_MJ_READ && synchronous)
        return TRUE;
    if (NT_WARNING(result.status) && bytes != nullptr)
        *bytes = DWORD(result.information);
    return failWithStatus(result.status);
}

} // namespace

sim::Fiber* spawnApplication(std::string name, std::function<void()> body) {
    return kernel::requireMachine("spawnApplication")
        .spawn(std::move(name), std::move(body), sim::Irql::Passive);
}

} // namespace zv::io

using namespace zv::io;
namespace kernel = zv::kernel;

extern "C" {

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;
    (void)hTemplateFile;
    if (!onThread("CreateFileW"))
        return INVALID_HANDLE_VALUE;
    if (lpFileName == nullptr) {
        failWithStatus(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    ULONG disposition = dispositionOf(dwCreationDisposition);
    if (disposition == ~0u) {
        failWithStatus(STATUS_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::u16string_view name(reinterpret_cast<const char16_t*>(lpFileName));
    std::optional<std::u16string> nt = ntName(name);
    if (!nt) {
        failWithStatus(STATUS_OBJECT_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    ULONG options = FILE_NON_DIRECTORY_FILE;
    if (dwFlagsAndAttributes & FILE_FLAG_WRITE_THROUGH)
        options |= FILE_WRITE_THROUGH;
    if (dwFlagsAndAttributes & FILE_FLAG_NO_BUFFERING)
        options |= FILE_NO_INTERMEDIATE_BUFFERING;
    if (dwFlagsAndAttributes & FILE_FLAG_SEQUENTIAL_SCAN)
        options |= FILE_SEQUENTIAL_ONLY;
    HANDLE handle = nullptr;
    NTSTATUS status = ioManager().openFile(*nt, dwDesiredAccess | SYNCHRONIZE | FILE_READ_ATTRIBUTES,
                                           dwShareMode, disposition, options,
                                           (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) != 0, &handle);
    if (!NT_SUCCESS(status)) {
        failWithStatus(status);
        return INVALID_HANDLE_VALUE;
    }
    setError(ERROR_SUCCESS);
    return handle;
}

HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    if (lpFileName == nullptr)
        return CreateFileW(nullptr, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                           dwFlagsAndAttributes, hTemplateFile);
    std::optional<std::u16string> wide = kernel::utf8ToUtf16(lpFileName);
    if (!wide) {
        failWithStatus(STATUS_OBJECT_NAME_INVALID);
        return INVALID_HANDLE_VALUE;
    }
    return CreateFileW(reinterpret_cast<LPCWSTR>(wide->c_str()), dwDesiredAccess, dwShareMode,
                       lpSecurityAttributes, dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
}

BOOL CloseHandle(HANDLE hObject) {
    if (!onThread("CloseHandle"))
        return FALSE;
    NTSTATUS status = ioManager().closeHandle(hObject);
    return NT_SUCCESS(status) ? TRUE : failWithStatus(status);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    IoCall call;
    call.major = IRP_MJ_READ;
    call.output = lpBuffer;
    call.outputLength = nNumberOfBytesToRead;
    return transfer("ReadFile", hFile, call, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    IoCall call;
    call.major = IRP_MJ_WRITE;
    call.input = lpBuffer;
    call.inputLength = nNumberOfBytesToWrite;
    return transfer("WriteFile", hFile, call, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped) {
    IoCall call;
    call.major = IRP_MJ_DEVICE_CONTROL;
    call.ioControlCode = dwIoControlCode;
    call.input = lpInBuffer;
    call.inputLength = nInBufferSize;
    call.output = lpOutBuffer;
    call.outputLength = nOutBufferSize;
    return transfer("DeviceIoControl", hDevice, call, lpBytesReturned, lpOverlapped);
}

BOOL FlushFileBuffers(HANDLE hFile) {
    if (!onThread("FlushFileBuffers"))
        return FALSE;
    IoCall call;
    call.major = IRP_MJ_FLUSH_BUFFERS;
    IoResult result = ioManager().call(hFile, call, nullptr, true);
    return NT_SUCCESS(result.status) ? TRUE : failWithStatus(result.status);
}

BOOL CancelIo(HANDLE hFile) {
    if (!onThread("CancelIo"))
        return FALSE;
    NTSTATUS status = ioManager().cancel(hFile, nullptr, true);
    return status == STATUS_INVALID_HANDLE ? failWithStatus(status) : TRUE;
}

BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped) {
    if (!onThread("CancelIoEx"))
        return FALSE;
    NTSTATUS status = ioManager().cancel(hFile, lpOverlapped, false);
    return NT_SUCCESS(status) ? TRUE : failWithStatus(status);
}

BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait) {
    if (!onThread("GetOverlappedResult"))
        return FALSE;
    if (lpOverlapped == nullptr || lpNumberOfBytesTransferred == nullptr)
        return failWithStatus(STATUS_INVALID_PARAMETER);
    NTSTATUS waited = ioManager().awaitOverlapped(hFile, lpOverlapped, bWait != FALSE);
    if (waited == STATUS_PENDING) {
        setError(ERROR_IO_INCOMPLETE);
        return FALSE;
    }
    if (!NT_SUCCESS(waited))
        return failWithStatus(waited);
    *lpNumberOfBytesTransferred = DWORD(lpOverlapped->InternalHigh);
    NTSTATUS status = NTSTATUS(ULONG(lpOverlapped->Internal));
    return NT_SUCCESS(status) ? TRUE : failWithStatus(status);
}

HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName) {
    (void)lpEventAttributes;
    (void)lpName;
    if (kernel::machine() == nullptr)
        return nullptr;
    setError(ERROR_SUCCESS);
    return ioManager().createEvent(bManualReset != FALSE, bInitialState != FALSE);
}

HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName) {
    (void)lpName;
    return CreateEventW(lpEventAttributes, bManualReset, bInitialState, nullptr);
}

BOOL SetEvent(HANDLE hEvent) {
    if (kernel::machine() == nullptr)
        return FALSE;
    Waitable* w = ioManager().waitable(hEvent);
    if (w == nullptr || ioManager().fileObject(hEvent) != nullptr)
        return failWithStatus(STATUS_INVALID_HANDLE);
    w->set();
    return TRUE;
}

BOOL ResetEvent(HANDLE hEvent) {
    if (kernel::machine() == nullptr)
        return FALSE;
    Waitable* w = ioManager().waitable(hEvent);
    if (w == nullptr || ioManager().fileObject(hEvent) != nullptr)
        return failWithStatus(STATUS_INVALID_HANDLE);
    w->reset();
    return TRUE;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
    return WaitForMultipleObjects(1, &hHandle, FALSE, dwMilliseconds);
}

DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds) {
    if (!onThread(nCount == 1 ? "WaitForSingleObject" : "WaitForMultipleObjects"))
        return WAIT_FAILED;
    if (nCount == 0 || nCount > MAXIMUM_WAIT_OBJECTS || lpHandles == nullptr) {
        failWithStatus(STATUS_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::vector<Waitable*> objects;
    for (DWORD i = 0; i < nCount; ++i) {
        Waitable* w = ioManager().waitable(lpHandles[i]);
        if (w == nullptr) {
            failWithStatus(STATUS_INVALID_HANDLE);
            return WAIT_FAILED;
        }
        if (bWaitAll && std::find(objects.begin(), objects.end(), w) != objects.end()) {
            failWithStatus(STATUS_INVALID_PARAMETER);
            return WAIT_FAILED;
        }
        objects.push_back(w);
    }
    std::optional<size_t> which = waitFor(objects, bWaitAll != FALSE, timeoutOf(dwMilliseconds));
    return which ? DWORD(WAIT_OBJECT_0 + *which) : DWORD(WAIT_TIMEOUT);
}

VOID Sleep(DWORD dwMilliseconds) {
    if (!onThread("Sleep"))
        return;
    if (dwMilliseconds == INFINITE) {
        kernel::machine()->block("Sleep(INFINITE)", std::nullopt, "Sleep");
        return;
    }
    zv::sim::sleepFor(zv::sim::Time(dwMilliseconds) * zv::sim::kMillisecond, "Sleep");
}

DWORD GetTickCount(VOID) {
    zv::sim::Scheduler* m = kernel::machine();
    return m == nullptr ? 0 : DWORD(m->now() / zv::sim::kMillisecond);
}

DWORD GetLastError(VOID) {
    DWORD* slot = lastErrorSlot();
    return slot != nullptr ? *slot : ERROR_SUCCESS;
}

VOID SetLastError(DWORD dwErrCode) {
    setError(dwErrCode);
}

NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    if (!onThread("NtQueryInformationFile"))
        return STATUS_INVALID_DEVICE_STATE;
    if (IoStatusBlock == nullptr)
        return STATUS_INVALID_PARAMETER;
    IoCall call;
    call.major = IRP_MJ_QUERY_INFORMATION;
    call.output = FileInformation;
    call.outputLength = Length;
    call.informationClass = FileInformationClass;
    IoResult result = ioManager().call(FileHandle, call, nullptr, true);
    IoStatusBlock->Status = result.status;
    IoStatusBlock->Information = result.information;
    return result.status;
}

NTSTATUS NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                              ULONG Length, FILE_INFORMATION_CLASS FileInformationClass) {
    if (!onThread("NtSetInformationFile"))
        return STATUS_INVALID_DEVICE_STATE;
    if (IoStatusBlock == nullptr)
        return STATUS_INVALID_PARAMETER;
    IoCall call;
    call.major = IRP_MJ_SET_INFORMATION;
    call.input = FileInformation;
    call.inputLength = Length;
    call.informationClass = FileInformationClass;
    IoResult result = ioManager().call(FileHandle, call, nullptr, true);
    IoStatusBlock->Status = result.status;
    IoStatusBlock->Information = result.information;
    return result.status;
}

} // extern "C"
