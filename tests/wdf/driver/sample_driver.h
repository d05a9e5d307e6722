// A sample driver, compiled as driver code, that uses the framework the way the project's drivers do:
// context types declared with WDF_DECLARE_CONTEXT_TYPE_WITH_NAME, a driver object with a cleanup callback,
// a collection and a string parented to it, the Parameters key, the device's hardware and software keys
// during and after device add. It records what it saw in SampleObservations for the platform-side tests.
// Nothing here carries wide characters, so both sides read it alike.
#ifndef ZV_TESTS_WDF_SAMPLE_DRIVER_H
#define ZV_TESTS_WDF_SAMPLE_DRIVER_H

#include <wdf.h>

extern "C" {

typedef enum _SAMPLE_EVENT {
    SampleEventNone = 0,
    SampleEventDeviceCleanup,
    SampleEventDeviceDestroy,
    SampleEventDriverUnload,
    SampleEventDriverCleanup,
    SampleEventDriverDestroy,
} SAMPLE_EVENT;

#define SAMPLE_DEVICE_MAGIC 0x5a56u

typedef struct _SAMPLE_OBSERVATIONS {
    WDFDRIVER Driver;
    WDFDEVICE Device;
    NTSTATUS ParametersStatus; // opening Parameters and querying "DebugLevel"
    ULONG DebugLevel;          // 5 unless the Parameters key says otherwise
    NTSTATUS InstanceStatus;   // querying "InstanceNumber" in the hardware key at device add
    ULONG InstanceNumber;
    NTSTATUS PortNameStatus; // querying "PortName" as a counted string
    BOOLEAN PortNameIsCom7;
    BOOLEAN DriverContextWasZero;
    BOOLEAN DeviceContextWasZero;
    BOOLEAN DriverFoundByWdfGetDriver;
    NTSTATUS SoftwareKeyStatus; // writing "Seen" = 1 in the software key after WdfDeviceCreate
    ULONG EventCount;
    SAMPLE_EVENT Events[16];
} SAMPLE_OBSERVATIONS;

extern SAMPLE_OBSERVATIONS SampleObservations;

// Clears SampleObservations; called by each test before the driver loads.
VOID SampleReset(VOID);
NTSTATUS SampleDriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
// With EvtDriverUnload registered or not (set before the driver loads).
VOID SampleSetUnloadCallback(BOOLEAN Registered);
// Makes DriverEntry fail with this status after WdfDriverCreate (STATUS_SUCCESS: it does not fail).
VOID SampleFailDriverEntryWith(NTSTATUS Status);

// The device context's Magic field through the driver's accessor (0 when there is no context).
ULONG SampleDeviceMagic(WDFOBJECT Object);
// The driver's collection of devices that passed device add and are not yet cleaned up.
WDFCOLLECTION SampleDeviceCollection(WDFDRIVER Driver);
}

#endif // ZV_TESTS_WDF_SAMPLE_DRIVER_H
