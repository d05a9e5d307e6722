// The application interface of the machine, in the shape of the Win32 calls an application makes on a
// device: handles opened by name (CreateFile on "\\.\COM7", on "COM7", or on a device interface path
// "\\?\ROOT#...#{guid}"), synchronous and overlapped ReadFile / WriteFile / DeviceIoControl, flushing,
// cancellation, events and waits, the calling thread's last error, and the native information calls.
//
// Applications run on application fibers (zv::io::spawnApplication); any fiber at PASSIVE_LEVEL may make
// these calls, each fiber being a thread with its own last error. Times are on the virtual clock.
// Statuses become Win32 errors as Windows maps them (RtlNtStatusToDosError).
#ifndef ZV_IO_WIN32_H
#define ZV_IO_WIN32_H

#include <ntddk.h>

#include <functional>
#include <string>

#ifdef __cplusplus
extern "C" {
#endif

typedef void* LPVOID;
typedef const void* LPCVOID;
typedef DWORD* LPDWORD;
typedef BOOL* LPBOOL;
typedef const HANDLE* LPCHANDLE;

typedef struct _OVERLAPPED {
    ULONG_PTR Internal;     // the request's status; STATUS_PENDING while it runs
    ULONG_PTR InternalHigh; // bytes transferred
    union {
        struct {
            DWORD Offset;
            DWORD OffsetHigh;
        };
        PVOID Pointer;
    };
    HANDLE hEvent;
} OVERLAPPED, *LPOVERLAPPED;

typedef struct _SECURITY_ATTRIBUTES {
    DWORD nLength;
    LPVOID lpSecurityDescriptor;
    BOOL bInheritHandle;
} SECURITY_ATTRIBUTES, *LPSECURITY_ATTRIBUTES;

#define INVALID_HANDLE_VALUE ((HANDLE)(LONG_PTR)-1)

#define CREATE_NEW 1
#define CREATE_ALWAYS 2
#define OPEN_EXISTING 3
#define OPEN_ALWAYS 4
#define TRUNCATE_EXISTING 5

#define GENERIC_EXECUTE (0x20000000L)

#define FILE_FLAG_WRITE_THROUGH 0x80000000
#define FILE_FLAG_OVERLAPPED 0x40000000
#define FILE_FLAG_NO_BUFFERING 0x20000000
#define FILE_FLAG_RANDOM_ACCESS 0x10000000
#define FILE_FLAG_SEQUENTIAL_SCAN 0x08000000

#define INFINITE 0xFFFFFFFF
#define WAIT_OBJECT_0 0x00000000L
#define WAIT_ABANDONED 0x00000080L
#define WAIT_TIMEOUT 0x00000102L
#define WAIT_FAILED ((DWORD)0xFFFFFFFF)
#define MAXIMUM_WAIT_OBJECTS 64

#define ERROR_SUCCESS 0L
#define NO_ERROR 0L
#define ERROR_INVALID_FUNCTION 1L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_PATH_NOT_FOUND 3L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_BAD_COMMAND 22L
#define ERROR_CRC 23L
#define ERROR_BAD_LENGTH 24L
#define ERROR_NOT_READY 21L
#define ERROR_WRITE_PROTECT 19L
#define ERROR_GEN_FAILURE 31L
#define ERROR_SHARING_VIOLATION 32L
#define ERROR_HANDLE_EOF 38L
#define ERROR_NOT_SUPPORTED 50L
#define ERROR_DEV_NOT_EXIST 55L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_SEM_TIMEOUT 121L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_INVALID_NAME 123L
#define ERROR_BAD_PATHNAME 161L
#define ERROR_BUSY 170L
#define ERROR_ALREADY_EXISTS 183L
#define ERROR_FILENAME_EXCED_RANGE 206L
#define ERROR_MORE_DATA 234L
#define ERROR_NO_MORE_ITEMS 259L
#define ERROR_MR_MID_NOT_FOUND 317L
#define ERROR_ARITHMETIC_OVERFLOW 534L
#define ERROR_OPERATION_ABORTED 995L
#define ERROR_IO_INCOMPLETE 996L
#define ERROR_IO_PENDING 997L
#define ERROR_IO_DEVICE 1117L
#define ERROR_NOT_FOUND 1168L
#define ERROR_INTERNAL_ERROR 1359L
#define ERROR_NO_SYSTEM_RESOURCES 1450L
#define ERROR_TIMEOUT 1460L
#define ERROR_INVALID_USER_BUFFER 1784L
#define ERROR_BAD_DRIVER 2001L
#define ERROR_KEY_DELETED 1018L

// ---- Handles and I/O ----

// dwCreationDisposition is one of CREATE_NEW ... TRUNCATE_EXISTING (passed to the driver in the create
// request); FILE_FLAG_OVERLAPPED makes every I/O on the handle asynchronous. INVALID_HANDLE_VALUE on error.
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// The name in UTF-8.
HANDLE CreateFileA(LPCSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                   DWORD dwFlagsAndAttributes, HANDLE hTemplateFile);
// Closing a file handle runs the driver's cleanup; its close follows once no request holds the file.
BOOL CloseHandle(HANDLE hObject);

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                     LPOVERLAPPED lpOverlapped);
// Waits for the flush even on an overlapped handle.
BOOL FlushFileBuffers(HANDLE hFile);
// The calling thread's requests on the handle.
BOOL CancelIo(HANDLE hFile);
// Requests of any thread on the handle: those of lpOverlapped, or all of them when it is NULL.
// ERROR_NOT_FOUND when there was nothing to cancel.
BOOL CancelIoEx(HANDLE hFile, LPOVERLAPPED lpOverlapped);
// ERROR_IO_INCOMPLETE while the request runs and bWait is FALSE.
BOOL GetOverlappedResult(HANDLE hFile, LPOVERLAPPED lpOverlapped, LPDWORD lpNumberOfBytesTransferred,
                         BOOL bWait);

// ---- Events and waits ----

// Named events are not shared between calls: lpName is ignored.
HANDLE CreateEventW(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCWSTR lpName);
HANDLE CreateEventA(LPSECURITY_ATTRIBUTES lpEventAttributes, BOOL bManualReset, BOOL bInitialState,
                    LPCSTR lpName);
BOOL SetEvent(HANDLE hEvent);
BOOL ResetEvent(HANDLE hEvent);
// Events, and file handles (signalled when a request on the file completes).
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
DWORD WaitForMultipleObjects(DWORD nCount, const HANDLE* lpHandles, BOOL bWaitAll, DWORD dwMilliseconds);
VOID Sleep(DWORD dwMilliseconds);
// Milliseconds of virtual time since the machine started.
DWORD GetTickCount(VOID);

DWORD GetLastError(VOID);
VOID SetLastError(DWORD dwErrCode);

// ---- Native calls ----

ULONG RtlNtStatusToDosError(NTSTATUS Status);
// FileStandardInformation, FileBasicInformation and the rest go to the driver (IRP_MJ_QUERY_INFORMATION /
// IRP_MJ_SET_INFORMATION); FilePositionInformation on a synchronous handle is the I/O manager's own.
// Always synchronous. STATUS_INFO_LENGTH_MISMATCH when Length is below the class's record.
NTSTATUS NtQueryInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                                ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);
NTSTATUS NtSetInformationFile(HANDLE FileHandle, PIO_STATUS_BLOCK IoStatusBlock, PVOID FileInformation,
                              ULONG Length, FILE_INFORMATION_CLASS FileInformationClass);

#ifdef __cplusplus
} // extern "C"
#endif

#define CreateFile CreateFileW
#define CreateEvent CreateEventW

#ifdef __cplusplus
namespace zv::sim {
class Fiber;
}
namespace zv::io {
// Starts an application thread: a fiber at PASSIVE_LEVEL on the current machine.
sim::Fiber* spawnApplication(std::string name, std::function<void()> body);
// The Win32 error for a status, as RtlNtStatusToDosError gives it.
DWORD win32ErrorFromStatus(NTSTATUS status);
} // namespace zv::io
#endif

#endif // ZV_IO_WIN32_H
