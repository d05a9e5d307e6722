// Framework I/O targets (WDFIOTARGET): where a driver sends requests. A device's default target is the
// next lower device object of its stack.
#ifndef ZV_WDFIOTARGET_H
#define ZV_WDFIOTARGET_H

#include "wdfobject.h"
#include "wdfrequest.h"

typedef enum _WDF_IO_TARGET_STATE {
    WdfIoTargetStateUndefined = 0,
    WdfIoTargetStarted,
    WdfIoTargetStopped,
    WdfIoTargetClosedForQueryRemove,
    WdfIoTargetClosed,
    WdfIoTargetDeleted,
} WDF_IO_TARGET_STATE,
    *PWDF_IO_TARGET_STATE;

// What WdfIoTargetStop does with the requests already sent through the target.
typedef enum _WDF_IO_TARGET_SENT_IO_ACTION {
    WdfIoTargetSentIoUndefined = 0,
    WdfIoTargetCancelSentIo,
    WdfIoTargetWaitForSentIoToComplete,
    WdfIoTargetLeaveSentIoPending,
} WDF_IO_TARGET_SENT_IO_ACTION;

WDF_EXTERN_C_START

NTSTATUS WdfIoTargetStart(WDFIOTARGET IoTarget);
VOID WdfIoTargetStop(WDFIOTARGET IoTarget, WDF_IO_TARGET_SENT_IO_ACTION Action);
WDF_IO_TARGET_STATE WdfIoTargetGetState(WDFIOTARGET IoTarget);
WDFDEVICE WdfIoTargetGetDevice(WDFIOTARGET IoTarget);
PDEVICE_OBJECT WdfIoTargetWdmGetTargetDeviceObject(WDFIOTARGET IoTarget);

// Formatting for the target: the buffers are memory objects, each with an optional offset and length
// within it; a NULL memory is an empty buffer.
NTSTATUS WdfIoTargetFormatRequestForRead(WDFIOTARGET IoTarget, WDFREQUEST Request, WDFMEMORY OutputBuffer,
                                         PWDFMEMORY_OFFSET OutputBufferOffset, PLONGLONG DeviceOffset);
NTSTATUS WdfIoTargetFormatRequestForWrite(WDFIOTARGET IoTarget, WDFREQUEST Request, WDFMEMORY InputBuffer,
                                          PWDFMEMORY_OFFSET InputBufferOffset, PLONGLONG DeviceOffset);
NTSTATUS WdfIoTargetFormatRequestForIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                          WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                          WDFMEMORY OutputBuffer, PWDFMEMORY_OFFSET OutputBufferOffset);
NTSTATUS WdfIoTargetFormatRequestForInternalIoctl(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                  WDFMEMORY InputBuffer, PWDFMEMORY_OFFSET InputBufferOffset,
                                                  WDFMEMORY OutputBuffer,
                                                  PWDFMEMORY_OFFSET OutputBufferOffset);

// Synchronous device controls; without a request object the framework makes one for the call. The bytes
// returned go to BytesReturned.
NTSTATUS WdfIoTargetSendIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                           PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                           PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                           PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                           PULONG_PTR BytesReturned);
NTSTATUS WdfIoTargetSendInternalIoctlSynchronously(WDFIOTARGET IoTarget, WDFREQUEST Request, ULONG IoctlCode,
                                                   PWDF_MEMORY_DESCRIPTOR InputBuffer,
                                                   PWDF_MEMORY_DESCRIPTOR OutputBuffer,
                                                   PWDF_REQUEST_SEND_OPTIONS RequestOptions,
                                                   PULONG_PTR BytesReturned);

WDF_EXTERN_C_END

#endif // ZV_WDFIOTARGET_H
