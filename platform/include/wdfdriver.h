// The framework driver object: one per driver image, created in DriverEntry, the root of every object the
// driver creates.
#ifndef ZV_WDFDRIVER_H
#define ZV_WDFDRIVER_H

#include "wdfobject.h"

// The system's driver object; its full layout belongs to the kernel headers.
typedef struct _DRIVER_OBJECT* PDRIVER_OBJECT;

typedef enum _WDF_DRIVER_INIT_FLAGS {
    WdfDriverInitNonPnpDriver = 0x00000001,
    WdfDriverInitNoDispatchOverride = 0x00000002,
    WdfVerifyOn = 0x00000004,
    WdfVerifierOn = 0x00000008,
} WDF_DRIVER_INIT_FLAGS;

WDF_EXTERN_C_START

typedef NTSTATUS EVT_WDF_DRIVER_DEVICE_ADD(WDFDRIVER Driver, PWDFDEVICE_INIT DeviceInit);
typedef EVT_WDF_DRIVER_DEVICE_ADD* PFN_WDF_DRIVER_DEVICE_ADD;
typedef VOID EVT_WDF_DRIVER_UNLOAD(WDFDRIVER Driver);
typedef EVT_WDF_DRIVER_UNLOAD* PFN_WDF_DRIVER_UNLOAD;

typedef struct _WDF_DRIVER_CONFIG {
    ULONG Size;
    PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd;
    PFN_WDF_DRIVER_UNLOAD EvtDriverUnload;
    ULONG DriverInitFlags; // WDF_DRIVER_INIT_FLAGS
    ULONG DriverPoolTag;   // 0: the framework's default tag
} WDF_DRIVER_CONFIG, *PWDF_DRIVER_CONFIG;

FORCEINLINE VOID WDF_DRIVER_CONFIG_INIT(PWDF_DRIVER_CONFIG Config,
                                        PFN_WDF_DRIVER_DEVICE_ADD EvtDriverDeviceAdd) {
    memset(Config, 0, sizeof(WDF_DRIVER_CONFIG));
    Config->Size = sizeof(WDF_DRIVER_CONFIG);
    Config->EvtDriverDeviceAdd = EvtDriverDeviceAdd;
}

NTSTATUS WdfDriverCreate(PDRIVER_OBJECT DriverObject, PCUNICODE_STRING RegistryPath,
                         PWDF_OBJECT_ATTRIBUTES DriverAttributes, PWDF_DRIVER_CONFIG DriverConfig,
                         WDFDRIVER* Driver);
PDRIVER_OBJECT WdfDriverWdmGetDriverObject(WDFDRIVER Driver);
WDFDRIVER WdfGetDriver(VOID);
PWSTR WdfDriverGetRegistryPath(WDFDRIVER Driver);
NTSTATUS WdfDriverOpenParametersRegistryKey(WDFDRIVER Driver, ACCESS_MASK DesiredAccess,
                                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);

WDF_EXTERN_C_END

#endif // ZV_WDFDRIVER_H
