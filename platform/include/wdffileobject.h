// Framework file objects (WDFFILEOBJECT): one per open handle of a device, with the create, cleanup and
// close callbacks a device-add callback registers, and exclusive devices that allow one open at a time.
#ifndef ZV_WDFFILEOBJECT_H
#define ZV_WDFFILEOBJECT_H

#include "wdfobject.h"
#include "wdfrequest.h"

#include <string.h>

// Where the framework may keep its own state: file system contexts of the WDM file object, or neither.
typedef enum _WDF_FILEOBJECT_CLASS {
    WdfFileObjectInvalid = 0,
    WdfFileObjectNotRequired = 1,
    WdfFileObjectWdfCanUseFsContext = 2,
    WdfFileObjectWdfCanUseFsContext2 = 3,
    WdfFileObjectWdfCannotUseFsContexts = 4,
    WdfFileObjectCanBeOptional = 0x80000000,
} WDF_FILEOBJECT_CLASS,
    *PWDF_FILEOBJECT_CLASS;

WDF_EXTERN_C_START

// The driver completes the create request; a failure status refuses the open.
typedef VOID EVT_WDF_DEVICE_FILE_CREATE(WDFDEVICE Device, WDFREQUEST Request, WDFFILEOBJECT FileObject);
typedef EVT_WDF_DEVICE_FILE_CREATE* PFN_WDF_DEVICE_FILE_CREATE;
typedef VOID EVT_WDF_FILE_CLOSE(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLOSE* PFN_WDF_FILE_CLOSE;
typedef VOID EVT_WDF_FILE_CLEANUP(WDFFILEOBJECT FileObject);
typedef EVT_WDF_FILE_CLEANUP* PFN_WDF_FILE_CLEANUP;

WDF_EXTERN_C_END

typedef struct _WDF_FILEOBJECT_CONFIG {
    ULONG Size;
    PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate;
    PFN_WDF_FILE_CLOSE EvtFileClose;
    PFN_WDF_FILE_CLEANUP EvtFileCleanup;
    // Whether create, cleanup and close go on to the lower device after the callbacks.
    WDF_TRI_STATE AutoForwardCleanupClose;
    WDF_FILEOBJECT_CLASS FileObjectClass;
} WDF_FILEOBJECT_CONFIG, *PWDF_FILEOBJECT_CONFIG;

FORCEINLINE VOID WDF_FILEOBJECT_CONFIG_INIT(PWDF_FILEOBJECT_CONFIG FileEventCallbacks,
                                            PFN_WDF_DEVICE_FILE_CREATE EvtDeviceFileCreate,
                                            PFN_WDF_FILE_CLOSE EvtFileClose,
                                            PFN_WDF_FILE_CLEANUP EvtFileCleanup) {
    memset(FileEventCallbacks, 0, sizeof(WDF_FILEOBJECT_CONFIG));
    FileEventCallbacks->Size = sizeof(WDF_FILEOBJECT_CONFIG);
    FileEventCallbacks->EvtDeviceFileCreate = EvtDeviceFileCreate;
    FileEventCallbacks->EvtFileClose = EvtFileClose;
    FileEventCallbacks->EvtFileCleanup = EvtFileCleanup;
    FileEventCallbacks->FileObjectClass = WdfFileObjectWdfCannotUseFsContexts;
    FileEventCallbacks->AutoForwardCleanupClose = WdfUseDefault;
}

WDF_EXTERN_C_START

VOID WdfDeviceInitSetFileObjectConfig(PWDFDEVICE_INIT DeviceInit, PWDF_FILEOBJECT_CONFIG FileObjectConfig,
                                      PWDF_OBJECT_ATTRIBUTES FileObjectAttributes);
// TRUE: a second create while a handle is open is refused with STATUS_ACCESS_DENIED.
VOID WdfDeviceInitSetExclusive(PWDFDEVICE_INIT DeviceInit, BOOLEAN IsExclusive);

WDFDEVICE WdfFileObjectGetDevice(WDFFILEOBJECT FileObject);
PFILE_OBJECT WdfFileObjectWdmGetFileObject(WDFFILEOBJECT FileObject);
PUNICODE_STRING WdfFileObjectGetFileName(WDFFILEOBJECT FileObject);
ULONG WdfFileObjectGetFlags(WDFFILEOBJECT FileObject);

WDF_EXTERN_C_END

#endif // ZV_WDFFILEOBJECT_H
