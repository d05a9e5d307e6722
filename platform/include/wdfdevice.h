// Framework devices and the device-init record a device-add callback fills before WdfDeviceCreate. Only
// creation and the registry keys of a device instance so far.
#ifndef ZV_WDFDEVICE_H
#define ZV_WDFDEVICE_H

#include "wdfobject.h"

// Which per-instance key to open: the hardware key (its "Device Parameters") or the software key.
#ifndef PLUGPLAY_REGKEY_DEVICE
#define PLUGPLAY_REGKEY_DEVICE 1
#define PLUGPLAY_REGKEY_DRIVER 2
#define PLUGPLAY_REGKEY_CURRENT_HWPROFILE 4
#endif

WDF_EXTERN_C_START

NTSTATUS WdfDeviceCreate(PWDFDEVICE_INIT* DeviceInit, PWDF_OBJECT_ATTRIBUTES DeviceAttributes,
                         WDFDEVICE* Device);
WDFDRIVER WdfDeviceGetDriver(WDFDEVICE Device);

NTSTATUS WdfFdoInitOpenRegistryKey(PWDFDEVICE_INIT DeviceInit, ULONG DeviceInstanceKeyType,
                                   ACCESS_MASK DesiredAccess, PWDF_OBJECT_ATTRIBUTES KeyAttributes,
                                   WDFKEY* Key);
NTSTATUS WdfDeviceOpenRegistryKey(WDFDEVICE Device, ULONG DeviceInstanceKeyType, ACCESS_MASK DesiredAccess,
                                  PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);

WDF_EXTERN_C_END

#endif // ZV_WDFDEVICE_H
