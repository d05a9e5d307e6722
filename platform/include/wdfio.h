// Framework I/O queues (WDFQUEUE) and the device-init settings that shape how requests reach them: the
// device's I/O type and the WDM preprocess callbacks that see an IRP before the framework does.
#ifndef ZV_WDFIO_H
#define ZV_WDFIO_H

#include "wdfobject.h"
#include "wdfrequest.h"

#include <string.h>

typedef enum _WDF_IO_QUEUE_DISPATCH_TYPE {
    WdfIoQueueDispatchInvalid = 0,
    WdfIoQueueDispatchSequential,
    WdfIoQueueDispatchParallel,
    WdfIoQueueDispatchManual,
    WdfIoQueueDispatchMax,
} WDF_IO_QUEUE_DISPATCH_TYPE;

// Bits of WdfIoQueueGetState.
typedef enum _WDF_IO_QUEUE_STATE {
    WdfIoQueueAcceptRequests = 0x01,
    WdfIoQueueDispatchRequests = 0x02,
    WdfIoQueueNoRequests = 0x04,
    WdfIoQueueDriverNoRequests = 0x08,
    WdfIoQueuePnpHeld = 0x10,
} WDF_IO_QUEUE_STATE;

// Nothing waits in the queue and the driver owns nothing from it.
FORCEINLINE BOOLEAN WDF_IO_QUEUE_IDLE(WDF_IO_QUEUE_STATE State) {
    return (State & (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests)) ==
                   (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests)
               ? TRUE
               : FALSE;
}
// Accepting and presenting.
FORCEINLINE BOOLEAN WDF_IO_QUEUE_READY(WDF_IO_QUEUE_STATE State) {
    return (State & (WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests)) ==
                   (WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests)
               ? TRUE
               : FALSE;
}
// Accepting, not presenting, and the driver owns nothing from it.
FORCEINLINE BOOLEAN WDF_IO_QUEUE_STOPPED(WDF_IO_QUEUE_STATE State) {
    return (State & (WdfIoQueueAcceptRequests | WdfIoQueueDispatchRequests | WdfIoQueueDriverNoRequests)) ==
                   (WdfIoQueueAcceptRequests | WdfIoQueueDriverNoRequests)
               ? TRUE
               : FALSE;
}
// Not accepting, and idle.
FORCEINLINE BOOLEAN WDF_IO_QUEUE_PURGED(WDF_IO_QUEUE_STATE State) {
    return (State & (WdfIoQueueAcceptRequests | WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests)) ==
                   (WdfIoQueueNoRequests | WdfIoQueueDriverNoRequests)
               ? TRUE
               : FALSE;
}

typedef enum _WDF_DEVICE_IO_TYPE {
    WdfDeviceIoUndefined = 0,
    WdfDeviceIoNeither,
    WdfDeviceIoBuffered,
    WdfDeviceIoDirect,
} WDF_DEVICE_IO_TYPE,
    *PWDF_DEVICE_IO_TYPE;

WDF_EXTERN_C_START

typedef VOID EVT_WDF_IO_QUEUE_IO_DEFAULT(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_DEFAULT* PFN_WDF_IO_QUEUE_IO_DEFAULT;
typedef VOID EVT_WDF_IO_QUEUE_IO_READ(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_READ* PFN_WDF_IO_QUEUE_IO_READ;
typedef VOID EVT_WDF_IO_QUEUE_IO_WRITE(WDFQUEUE Queue, WDFREQUEST Request, size_t Length);
typedef EVT_WDF_IO_QUEUE_IO_WRITE* PFN_WDF_IO_QUEUE_IO_WRITE;
typedef VOID EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request, size_t OutputBufferLength,
                                                size_t InputBufferLength, ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL(WDFQUEUE Queue, WDFREQUEST Request,
                                                         size_t OutputBufferLength, size_t InputBufferLength,
                                                         ULONG IoControlCode);
typedef EVT_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL* PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL;
typedef VOID EVT_WDF_IO_QUEUE_IO_STOP(WDFQUEUE Queue, WDFREQUEST Request, ULONG ActionFlags);
typedef EVT_WDF_IO_QUEUE_IO_STOP* PFN_WDF_IO_QUEUE_IO_STOP;
typedef VOID EVT_WDF_IO_QUEUE_IO_RESUME(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_RESUME* PFN_WDF_IO_QUEUE_IO_RESUME;
typedef VOID EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE(WDFQUEUE Queue, WDFREQUEST Request);
typedef EVT_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE* PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE;
// Called once a stop or purge of the queue has finished.
typedef VOID EVT_WDF_IO_QUEUE_STATE(WDFQUEUE Queue, WDFCONTEXT Context);
typedef EVT_WDF_IO_QUEUE_STATE* PFN_WDF_IO_QUEUE_STATE;

typedef NTSTATUS EVT_WDFDEVICE_WDM_IRP_PREPROCESS(WDFDEVICE Device, PIRP Irp);
typedef EVT_WDFDEVICE_WDM_IRP_PREPROCESS* PFN_WDFDEVICE_WDM_IRP_PREPROCESS;

WDF_EXTERN_C_END

typedef struct _WDF_IO_QUEUE_CONFIG {
    ULONG Size;
    WDF_IO_QUEUE_DISPATCH_TYPE DispatchType;
    WDF_TRI_STATE PowerManaged;
    BOOLEAN AllowZeroLengthRequests;
    BOOLEAN DefaultQueue;
    PFN_WDF_IO_QUEUE_IO_DEFAULT EvtIoDefault;
    PFN_WDF_IO_QUEUE_IO_READ EvtIoRead;
    PFN_WDF_IO_QUEUE_IO_WRITE EvtIoWrite;
    PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL EvtIoDeviceControl;
    PFN_WDF_IO_QUEUE_IO_INTERNAL_DEVICE_CONTROL EvtIoInternalDeviceControl;
    PFN_WDF_IO_QUEUE_IO_STOP EvtIoStop;
    PFN_WDF_IO_QUEUE_IO_RESUME EvtIoResume;
    PFN_WDF_IO_QUEUE_IO_CANCELED_ON_QUEUE EvtIoCanceledOnQueue;
    union {
        struct {
            ULONG NumberOfPresentedRequests; // (ULONG)-1: no limit
        } Parallel;
    } Settings;
} WDF_IO_QUEUE_CONFIG, *PWDF_IO_QUEUE_CONFIG;

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT(PWDF_IO_QUEUE_CONFIG Config,
                                          WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    memset(Config, 0, sizeof(WDF_IO_QUEUE_CONFIG));
    Config->Size = sizeof(WDF_IO_QUEUE_CONFIG);
    Config->PowerManaged = WdfUseDefault;
    Config->DispatchType = DispatchType;
    if (DispatchType == WdfIoQueueDispatchParallel)
        Config->Settings.Parallel.NumberOfPresentedRequests = (ULONG)-1;
}

FORCEINLINE VOID WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(PWDF_IO_QUEUE_CONFIG Config,
                                                        WDF_IO_QUEUE_DISPATCH_TYPE DispatchType) {
    WDF_IO_QUEUE_CONFIG_INIT(Config, DispatchType);
    Config->DefaultQueue = TRUE;
}

WDF_EXTERN_C_START

NTSTATUS WdfIoQueueCreate(WDFDEVICE Device, PWDF_IO_QUEUE_CONFIG Config,
                          PWDF_OBJECT_ATTRIBUTES QueueAttributes, WDFQUEUE* Queue);
// Read, write, device control and internal device control requests can go to a queue of their own; the
// rest reach the default queue.
NTSTATUS WdfDeviceConfigureRequestDispatching(WDFDEVICE Device, WDFQUEUE Queue, WDF_REQUEST_TYPE RequestType);
WDFQUEUE WdfDeviceGetDefaultQueue(WDFDEVICE Device);

WDFDEVICE WdfIoQueueGetDevice(WDFQUEUE Queue);
WDF_IO_QUEUE_STATE WdfIoQueueGetState(WDFQUEUE Queue, PULONG QueueRequests, PULONG DriverRequests);
VOID WdfIoQueueStart(WDFQUEUE Queue);
VOID WdfIoQueueStop(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE StopComplete, WDFCONTEXT Context);
VOID WdfIoQueueStopSynchronously(WDFQUEUE Queue);
VOID WdfIoQueuePurge(WDFQUEUE Queue, PFN_WDF_IO_QUEUE_STATE PurgeComplete, WDFCONTEXT Context);
VOID WdfIoQueuePurgeSynchronously(WDFQUEUE Queue);
NTSTATUS WdfIoQueueRetrieveNextRequest(WDFQUEUE Queue, WDFREQUEST* OutRequest);

// Device-init settings of the request path.
VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType);
NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
    UCHAR MajorFunction, PUCHAR MinorFunctions, ULONG NumMinorFunctions);
// Hands an IRP a preprocess callback has seen back to the framework. The callback has set up the next stack
// location (skipped or copied the current one); the framework moves the IRP to it and dispatches it.
NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE Device, PIRP Irp);

WDF_EXTERN_C_END

#endif // ZV_WDFIO_H
