// Basic kernel types as drivers see them: integer widths of the Windows data model (LLP64: ULONG is 32 bits
// on every build), counted strings, large integers, interrupt request levels and handle declarations.
#ifndef ZV_NTDEF_H
#define ZV_NTDEF_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
#define EXTERN_C extern "C"
#else
#define EXTERN_C extern
#endif

#define IN
#define OUT
#define OPTIONAL
#define _In_
#define _Out_
#define _Inout_
#define _In_opt_
#define _Out_opt_
#define _Inout_opt_
#define _Use_decl_annotations_
#define _IRQL_requires_max_(x)
#define _IRQL_requires_(x)
#define _Must_inspect_result_
#define UNREFERENCED_PARAMETER(p) ((void)(p))
#define PAGED_CODE() ((void)0)
#define NTAPI
#define FORCEINLINE inline

typedef void VOID;
typedef void* PVOID;
typedef const void* PCVOID;
typedef char CHAR;
typedef unsigned char UCHAR;
typedef int16_t SHORT;
typedef uint16_t USHORT;
typedef int32_t LONG;
typedef uint32_t ULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef LONGLONG* PLONGLONG;
typedef ULONGLONG* PULONGLONG;
typedef int64_t LONG64;
typedef uint64_t ULONG64;
typedef uint8_t UINT8;
typedef uint16_t UINT16;
typedef uint32_t UINT32;
typedef uint64_t UINT64;
typedef int32_t INT32;
typedef int INT;
typedef unsigned int UINT;
typedef intptr_t LONG_PTR;
typedef uintptr_t ULONG_PTR;
typedef uintptr_t SIZE_T;
typedef intptr_t SSIZE_T;
typedef uint8_t BOOLEAN;
typedef int BOOL;
typedef uint8_t BYTE;
typedef uint16_t WORD;
typedef uint32_t DWORD;
typedef CHAR* PCHAR;
typedef UCHAR* PUCHAR;
typedef USHORT* PUSHORT;
typedef ULONG* PULONG;
typedef LONG* PLONG;
typedef ULONG_PTR* PULONG_PTR;
typedef SIZE_T* PSIZE_T;
typedef BOOLEAN* PBOOLEAN;
typedef ULONG64* PULONG64;
typedef LONG NTSTATUS;
typedef NTSTATUS* PNTSTATUS;
typedef ULONG ACCESS_MASK;
typedef PVOID HANDLE;
typedef HANDLE* PHANDLE;

// Wide characters are 16 bits as on Windows. Driver code is compiled with 16-bit wchar_t so that L"..."
// literals have the kernel's shape; platform code, built with the host's wchar_t, sees the same bits as
// char16_t. The routines between them are extern "C", so both spellings meet at the same symbols.
#if defined(__SIZEOF_WCHAR_T__) && __SIZEOF_WCHAR_T__ == 2
typedef wchar_t WCHAR;
#else
typedef char16_t WCHAR;
#endif
typedef WCHAR* PWCHAR;
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef const WCHAR* LPCWSTR;
typedef CHAR* PSTR;
typedef const CHAR* PCSTR;
typedef const CHAR* LPCSTR;

#define TRUE 1
#define FALSE 0
#ifndef NULL
#define NULL 0
#endif

typedef struct _UNICODE_STRING {
    USHORT Length;        // bytes, without a terminating NUL
    USHORT MaximumLength; // bytes
    PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;

typedef struct _STRING {
    USHORT Length;
    USHORT MaximumLength;
    PCHAR Buffer;
} STRING, ANSI_STRING, *PSTRING, *PANSI_STRING;
typedef const STRING* PCANSI_STRING;

#define DECLARE_CONST_UNICODE_STRING(_var, _string)                                                          \
    const WCHAR _var##_buffer[] = _string;                                                                   \
    const UNICODE_STRING _var = {sizeof(_string) - sizeof(WCHAR), sizeof(_string), (PWSTR)_var##_buffer}
#define DECLARE_UNICODE_STRING_SIZE(_var, _size)                                                             \
    WCHAR _var##_buffer[_size];                                                                              \
    UNICODE_STRING _var = {0, (_size) * sizeof(WCHAR), _var##_buffer}
#define RTL_CONSTANT_STRING(s)                                                                               \
    { sizeof(s) - sizeof((s)[0]), sizeof(s), (PWSTR)(s) }

#define UNICODE_STRING_MAX_BYTES ((USHORT)65534)
#define UNICODE_STRING_MAX_CHARS (32767)

typedef union _LARGE_INTEGER {
    struct {
        ULONG LowPart;
        LONG HighPart;
    } u;
    LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef struct _GUID {
    ULONG Data1;
    USHORT Data2;
    USHORT Data3;
    UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;
typedef const GUID& REFGUID;

typedef struct _LIST_ENTRY {
    struct _LIST_ENTRY* Flink;
    struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

// Interrupt request levels the system uses.
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
#define PASSIVE_LEVEL 0
#define LOW_LEVEL 0
#define APC_LEVEL 1
#define DISPATCH_LEVEL 2

typedef CHAR KPROCESSOR_MODE;
#define KernelMode 0
#define UserMode 1

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolNx = 512 } POOL_TYPE;

#define NT_SUCCESS(Status) (((NTSTATUS)(Status)) >= 0)
#define NT_INFORMATION(Status) ((((ULONG)(Status)) >> 30) == 1)
#define NT_WARNING(Status) ((((ULONG)(Status)) >> 30) == 2)
#define NT_ERROR(Status) ((((ULONG)(Status)) >> 30) == 3)

#define RTL_NUMBER_OF(a) (sizeof(a) / sizeof((a)[0]))
#define ARRAYSIZE(a) RTL_NUMBER_OF(a)
#define FIELD_OFFSET(type, field) ((LONG)offsetof(type, field))
#define RTL_FIELD_SIZE(type, field) (sizeof(((type*)0)->field))
#define CONTAINING_RECORD(address, type, field) ((type*)((PCHAR)(address) - (ULONG_PTR)(&((type*)0)->field)))

#define DECLARE_HANDLE(name)                                                                                 \
    struct name##__;                                                                                         \
    typedef struct name##__* name

// Access rights.
#define DELETE (0x00010000L)
#define READ_CONTROL (0x00020000L)
#define WRITE_DAC (0x00040000L)
#define WRITE_OWNER (0x00080000L)
#define SYNCHRONIZE (0x00100000L)
#define STANDARD_RIGHTS_REQUIRED (0x000F0000L)
#define STANDARD_RIGHTS_READ (READ_CONTROL)
#define STANDARD_RIGHTS_WRITE (READ_CONTROL)
#define STANDARD_RIGHTS_ALL (0x001F0000L)
#define KEY_QUERY_VALUE (0x0001)
#define KEY_SET_VALUE (0x0002)
#define KEY_CREATE_SUB_KEY (0x0004)
#define KEY_ENUMERATE_SUB_KEYS (0x0008)
#define KEY_READ (0x20019)
#define KEY_WRITE (0x20006)
#define KEY_ALL_ACCESS (0xF003F)
#define GENERIC_READ (0x80000000L)
#define GENERIC_WRITE (0x40000000L)
#define GENERIC_ALL (0x10000000L)

#endif // ZV_NTDEF_H
