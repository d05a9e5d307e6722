// Framework requests (WDFREQUEST) as drivers see them. A request wraps an IRP at one device: a queue
// delivers one for every IRP that reaches the device, and a driver creates its own to send to an I/O
// target. The records below keep the framework's published layouts; the stop-action, send-option,
// forward-option and reuse flags keep its values.
#ifndef ZV_WDFREQUEST_H
#define ZV_WDFREQUEST_H

#include "ntddk.h"
#include "wdfobject.h"
#include "wdfmemory.h"

#include <string.h>

typedef PVOID WDFCONTEXT;

// The request's kind is the IRP's major function code.
typedef enum _WDF_REQUEST_TYPE {
    WdfRequestTypeCreate = 0x0,
    WdfRequestTypeCreateNamedPipe = 0x1,
    WdfRequestTypeClose = 0x2,
    WdfRequestTypeRead = 0x3,
    WdfRequestTypeWrite = 0x4,
    WdfRequestTypeQueryInformation = 0x5,
    WdfRequestTypeSetInformation = 0x6,
    WdfRequestTypeQueryEA = 0x7,
    WdfRequestTypeSetEA = 0x8,
    WdfRequestTypeFlushBuffers = 0x9,
    WdfRequestTypeQueryVolumeInformation = 0xa,
    WdfRequestTypeSetVolumeInformation = 0xb,
    WdfRequestTypeDirectoryControl = 0xc,
    WdfRequestTypeFileSystemControl = 0xd,
    WdfRequestTypeDeviceControl = 0xe,
    WdfRequestTypeDeviceControlInternal = 0xf,
    WdfRequestTypeShutdown = 0x10,
    WdfRequestTypeLockControl = 0x11,
    WdfRequestTypeCleanup = 0x12,
    WdfRequestTypeCreateMailSlot = 0x13,
    WdfRequestTypeQuerySecurity = 0x14,
    WdfRequestTypeSetSecurity = 0x15,
    WdfRequestTypePower = 0x16,
    WdfRequestTypeSystemControl = 0x17,
    WdfRequestTypeDeviceChange = 0x18,
    WdfRequestTypeQueryQuota = 0x19,
    WdfRequestTypeSetQuota = 0x1A,
    WdfRequestTypePnp = 0x1B,
    WdfRequestTypeOther,
    WdfRequestTypeUsb = 0x40,
    WdfRequestTypeNoFormat = 0xFF,
    WdfRequestTypeMax,
} WDF_REQUEST_TYPE;

// What a queue's stop callback is asked to do with a request the driver owns.
typedef enum _WDF_REQUEST_STOP_ACTION_FLAGS {
    WdfRequestStopActionInvalid = 0,
    WdfRequestStopActionSuspend = 0x01,
    WdfRequestStopActionPurge = 0x2,
    WdfRequestStopRequestCancelable = 0x10000000,
} WDF_REQUEST_STOP_ACTION_FLAGS;

// ---- Parameters of the IRP at the request's device ----

typedef struct _WDF_REQUEST_PARAMETERS {
    USHORT Size;
    UCHAR MinorFunction;
    WDF_REQUEST_TYPE Type;
    union {
        struct {
            PVOID SecurityContext;
            ULONG Options;
            USHORT POINTER_ALIGNMENT FileAttributes;
            USHORT ShareAccess;
            ULONG POINTER_ALIGNMENT EaLength;
        } Create;
        struct {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Read;
        struct {
            size_t Length;
            ULONG POINTER_ALIGNMENT Key;
            LONGLONG DeviceOffset;
        } Write;
        struct {
            size_t OutputBufferLength;
            size_t POINTER_ALIGNMENT InputBufferLength;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Type3InputBuffer;
        } DeviceIoControl;
        // Internal device controls and every other kind: the stack location's four arguments, the
        // control code where a device control keeps it.
        struct {
            PVOID Arg1;
            PVOID Arg2;
            ULONG POINTER_ALIGNMENT IoControlCode;
            PVOID Arg4;
        } Others;
    } Parameters;
} WDF_REQUEST_PARAMETERS, *PWDF_REQUEST_PARAMETERS;

FORCEINLINE VOID WDF_REQUEST_PARAMETERS_INIT(PWDF_REQUEST_PARAMETERS Parameters) {
    memset(Parameters, 0, sizeof(WDF_REQUEST_PARAMETERS));
    Parameters->Size = sizeof(WDF_REQUEST_PARAMETERS);
}

// ---- Completion of a sent request ----

struct _WDF_USB_REQUEST_COMPLETION_PARAMS;

typedef struct _WDF_REQUEST_COMPLETION_PARAMS {
    ULONG Size;
    WDF_REQUEST_TYPE Type;
    IO_STATUS_BLOCK IoStatus;
    union {
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Write;
        struct {
            WDFMEMORY Buffer;
            size_t Length;
            size_t Offset;
        } Read;
        struct {
            ULONG IoControlCode;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
            } Input;
            struct {
                WDFMEMORY Buffer;
                size_t Offset;
                size_t Length;
            } Output;
        } Ioctl;
        struct {
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument1;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument2;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument3;
            union {
                PVOID Ptr;
                ULONG_PTR Value;
            } Argument4;
        } Others;
        struct {
            struct _WDF_USB_REQUEST_COMPLETION_PARAMS* Completion;
        } Usb;
    } Parameters;
} WDF_REQUEST_COMPLETION_PARAMS, *PWDF_REQUEST_COMPLETION_PARAMS;

FORCEINLINE VOID WDF_REQUEST_COMPLETION_PARAMS_INIT(PWDF_REQUEST_COMPLETION_PARAMS Params) {
    memset(Params, 0, sizeof(WDF_REQUEST_COMPLETION_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_COMPLETION_PARAMS);
    Params->Type = WdfRequestTypeNoFormat;
}

// ---- Send options ----

typedef enum _WDF_REQUEST_SEND_OPTIONS_FLAGS {
    WDF_REQUEST_SEND_OPTION_TIMEOUT = 0x00000001,
    WDF_REQUEST_SEND_OPTION_SYNCHRONOUS = 0x00000002,
    WDF_REQUEST_SEND_OPTION_IGNORE_TARGET_STATE = 0x00000004,
    WDF_REQUEST_SEND_OPTION_SEND_AND_FORGET = 0x00000008,
} WDF_REQUEST_SEND_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_SEND_OPTIONS {
    ULONG Size;
    ULONG Flags;
    // 100-ns units: negative is relative, positive an absolute system time.
    LONGLONG Timeout;
} WDF_REQUEST_SEND_OPTIONS, *PWDF_REQUEST_SEND_OPTIONS;

#define WDF_NO_SEND_OPTIONS NULL

FORCEINLINE VOID WDF_REQUEST_SEND_OPTIONS_INIT(PWDF_REQUEST_SEND_OPTIONS Options, ULONG Flags) {
    memset(Options, 0, sizeof(WDF_REQUEST_SEND_OPTIONS));
    Options->Size = sizeof(WDF_REQUEST_SEND_OPTIONS);
    Options->Flags = Flags;
}

FORCEINLINE VOID WDF_REQUEST_SEND_OPTIONS_SET_TIMEOUT(PWDF_REQUEST_SEND_OPTIONS Options, LONGLONG Timeout) {
    Options->Flags |= WDF_REQUEST_SEND_OPTION_TIMEOUT;
    Options->Timeout = Timeout;
}

#define WDF_TIMEOUT_TO_SEC ((LONGLONG)1 * 10 * 1000 * 1000)
#define WDF_TIMEOUT_TO_MS ((LONGLONG)1 * 10 * 1000)
#define WDF_TIMEOUT_TO_US ((LONGLONG)1 * 10)

FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_SEC(ULONGLONG Time) {
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_SEC;
}
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_MS(ULONGLONG Time) {
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_MS;
}
FORCEINLINE LONGLONG WDF_REL_TIMEOUT_IN_US(ULONGLONG Time) {
    return (LONGLONG)Time * -1 * WDF_TIMEOUT_TO_US;
}
FORCEINLINE LONGLONG WDF_ABS_TIMEOUT_IN_SEC(ULONGLONG Time) {
    return (LONGLONG)Time * WDF_TIMEOUT_TO_SEC;
}
FORCEINLINE LONGLONG WDF_ABS_TIMEOUT_IN_MS(ULONGLONG Time) {
    return (LONGLONG)Time * WDF_TIMEOUT_TO_MS;
}
FORCEINLINE LONGLONG WDF_ABS_TIMEOUT_IN_US(ULONGLONG Time) {
    return (LONGLONG)Time * WDF_TIMEOUT_TO_US;
}

// ---- Forwarding and reuse ----

typedef enum _WDF_REQUEST_FORWARD_OPTIONS_FLAGS {
    WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET = 0x1,
} WDF_REQUEST_FORWARD_OPTIONS_FLAGS;

typedef struct _WDF_REQUEST_FORWARD_OPTIONS {
    ULONG Size;
    ULONG Flags;
} WDF_REQUEST_FORWARD_OPTIONS, *PWDF_REQUEST_FORWARD_OPTIONS;

FORCEINLINE VOID WDF_REQUEST_FORWARD_OPTIONS_INIT(PWDF_REQUEST_FORWARD_OPTIONS ForwardOptions) {
    memset(ForwardOptions, 0, sizeof(WDF_REQUEST_FORWARD_OPTIONS));
    ForwardOptions->Size = sizeof(WDF_REQUEST_FORWARD_OPTIONS);
    ForwardOptions->Flags = WDF_REQUEST_FORWARD_OPTION_SEND_AND_FORGET;
}

typedef enum _WDF_REQUEST_REUSE_FLAGS {
    WDF_REQUEST_REUSE_NO_FLAGS = 0x00000000,
    WDF_REQUEST_REUSE_SET_NEW_IRP = 0x00000001,
} WDF_REQUEST_REUSE_FLAGS;

typedef struct _WDF_REQUEST_REUSE_PARAMS {
    ULONG Size;
    ULONG Flags;
    NTSTATUS Status;
    PIRP NewIrp;
} WDF_REQUEST_REUSE_PARAMS, *PWDF_REQUEST_REUSE_PARAMS;

FORCEINLINE VOID WDF_REQUEST_REUSE_PARAMS_INIT(PWDF_REQUEST_REUSE_PARAMS Params, ULONG Flags,
                                               NTSTATUS Status) {
    memset(Params, 0, sizeof(WDF_REQUEST_REUSE_PARAMS));
    Params->Size = sizeof(WDF_REQUEST_REUSE_PARAMS);
    Params->Flags = Flags;
    Params->Status = Status;
}

FORCEINLINE VOID WDF_REQUEST_REUSE_PARAMS_SET_NEW_IRP(PWDF_REQUEST_REUSE_PARAMS Params, PIRP NewIrp) {
    Params->Flags |= WDF_REQUEST_REUSE_SET_NEW_IRP;
    Params->NewIrp = NewIrp;
}

WDF_EXTERN_C_START

typedef VOID EVT_WDF_REQUEST_CANCEL(WDFREQUEST Request);
typedef EVT_WDF_REQUEST_CANCEL* PFN_WDF_REQUEST_CANCEL;

typedef VOID EVT_WDF_REQUEST_COMPLETION_ROUTINE(WDFREQUEST Request, WDFIOTARGET Target,
                                                PWDF_REQUEST_COMPLETION_PARAMS Params, WDFCONTEXT Context);
typedef EVT_WDF_REQUEST_COMPLETION_ROUTINE* PFN_WDF_REQUEST_COMPLETION_ROUTINE;

// A request context on every request the device's queues deliver.
VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit, PWDF_OBJECT_ATTRIBUTES RequestAttributes);

// Requests a driver makes. Without a target the IRP has one stack location.
NTSTATUS WdfRequestCreate(PWDF_OBJECT_ATTRIBUTES RequestAttributes, WDFIOTARGET IoTarget,
                          WDFREQUEST* Request);
NTSTATUS WdfRequestCreateFromIrp(PWDF_OBJECT_ATTRIBUTES RequestAttributes, PIRP Irp, BOOLEAN RequestFreesIrp,
                                 WDFREQUEST* Request);
NTSTATUS WdfRequestReuse(WDFREQUEST Request, PWDF_REQUEST_REUSE_PARAMS ReuseParams);

// Formatting fills the IRP's next stack location, the one the target sees.
VOID WdfRequestWdmFormatUsingStackLocation(WDFREQUEST Request, PIO_STACK_LOCATION Stack);
VOID WdfRequestFormatRequestUsingCurrentType(WDFREQUEST Request);

BOOLEAN WdfRequestSend(WDFREQUEST Request, WDFIOTARGET Target, PWDF_REQUEST_SEND_OPTIONS Options);
VOID WdfRequestSetCompletionRoutine(WDFREQUEST Request, PFN_WDF_REQUEST_COMPLETION_ROUTINE CompletionRoutine,
                                    WDFCONTEXT CompletionContext);
VOID WdfRequestGetCompletionParams(WDFREQUEST Request, PWDF_REQUEST_COMPLETION_PARAMS Params);
NTSTATUS WdfRequestGetStatus(WDFREQUEST Request);
NTSTATUS WdfRequestAllocateTimer(WDFREQUEST Request);
BOOLEAN WdfRequestCancelSentRequest(WDFREQUEST Request);

VOID WdfRequestComplete(WDFREQUEST Request, NTSTATUS Status);
VOID WdfRequestCompleteWithInformation(WDFREQUEST Request, NTSTATUS Status, ULONG_PTR Information);
VOID WdfRequestCompleteWithPriorityBoost(WDFREQUEST Request, NTSTATUS Status, CCHAR PriorityBoost);
VOID WdfRequestSetInformation(WDFREQUEST Request, ULONG_PTR Information);
ULONG_PTR WdfRequestGetInformation(WDFREQUEST Request);

VOID WdfRequestMarkCancelable(WDFREQUEST Request, PFN_WDF_REQUEST_CANCEL EvtRequestCancel);
NTSTATUS WdfRequestUnmarkCancelable(WDFREQUEST Request);
BOOLEAN WdfRequestIsCanceled(WDFREQUEST Request);

VOID WdfRequestStopAcknowledge(WDFREQUEST Request, BOOLEAN Requeue);

NTSTATUS WdfRequestRetrieveInputBuffer(WDFREQUEST Request, size_t MinimumRequiredLength, PVOID* Buffer,
                                       size_t* Length);
NTSTATUS WdfRequestRetrieveOutputBuffer(WDFREQUEST Request, size_t MinimumRequiredSize, PVOID* Buffer,
                                        size_t* Length);
NTSTATUS WdfRequestRetrieveInputMemory(WDFREQUEST Request, WDFMEMORY* Memory);
NTSTATUS WdfRequestRetrieveOutputMemory(WDFREQUEST Request, WDFMEMORY* Memory);

VOID WdfRequestGetParameters(WDFREQUEST Request, PWDF_REQUEST_PARAMETERS Parameters);
KPROCESSOR_MODE WdfRequestGetRequestorMode(WDFREQUEST Request);
WDFQUEUE WdfRequestGetIoQueue(WDFREQUEST Request);
WDFFILEOBJECT WdfRequestGetFileObject(WDFREQUEST Request);
PIRP WdfRequestWdmGetIrp(WDFREQUEST Request);

NTSTATUS WdfRequestForwardToIoQueue(WDFREQUEST Request, WDFQUEUE DestinationQueue);
NTSTATUS WdfRequestRequeue(WDFREQUEST Request);
NTSTATUS WdfRequestForwardToParentDeviceIoQueue(WDFREQUEST Request, WDFQUEUE ParentDeviceQueue,
                                                PWDF_REQUEST_FORWARD_OPTIONS ForwardOptions);

WDF_EXTERN_C_END

#endif // ZV_WDFREQUEST_H
