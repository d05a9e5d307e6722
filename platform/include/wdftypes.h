// Types every framework header shares: the tri-state, the device power states the framework reports, and
// the "none" spellings drivers pass for optional arguments.
#ifndef ZV_WDFTYPES_H
#define ZV_WDFTYPES_H

#include "ntdef.h"
#include "ntstatus.h"

#ifdef __cplusplus
#define WDF_EXTERN_C_START extern "C" {
#define WDF_EXTERN_C_END }
#else
#define WDF_EXTERN_C_START
#define WDF_EXTERN_C_END
#endif

#define WDFAPI

#define WDF_NO_HANDLE NULL
#define WDF_NO_CONTEXT NULL
#define WDF_NO_EVENT_CALLBACK NULL

typedef enum _WDF_TRI_STATE {
    WdfFalse = FALSE,
    WdfTrue = TRUE,
    WdfUseDefault = 2,
} WDF_TRI_STATE,
    *PWDF_TRI_STATE;

typedef enum _WDF_POWER_DEVICE_STATE {
    WdfPowerDeviceInvalid = 0,
    WdfPowerDeviceD0 = 1,
    WdfPowerDeviceD1,
    WdfPowerDeviceD2,
    WdfPowerDeviceD3,
    WdfPowerDeviceD3Final = 5,
    WdfPowerDevicePrepareForHibernation = 6,
    WdfPowerDeviceMaximum = 7,
} WDF_POWER_DEVICE_STATE,
    *PWDF_POWER_DEVICE_STATE;

#endif // ZV_WDFTYPES_H
