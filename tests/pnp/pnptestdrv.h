// What the Plug and Play tests and their test driver module (pnptestdrv.cpp) share: the values the driver
// reads from a device's hardware key at device add, its device controls, and the shape of the event lines
// it writes to the debug output. No wide characters, so both sides read it alike.
//
// Every callback the driver gets writes one line "ZVPNP <unit> <event>\n", for instance
// "ZVPNP 3 D0Exit target=4 action=2" (WDF_POWER_DEVICE_STATE, then the POWER_ACTION of
// WdfDeviceGetSystemPowerAction).
#ifndef ZV_TESTS_PNP_PNPTESTDRV_H
#define ZV_TESTS_PNP_PNPTESTDRV_H

#include <ntddk.h>

// Hardware key ("Device Parameters") values read at device add.
#define PNPTEST_VALUE_UNIT "Unit"     // REG_DWORD: the unit in event lines; names \Device\ZvPnpTest<unit>
#define PNPTEST_VALUE_FAULTS "Faults" // REG_DWORD: PNPTEST_FAULT_* bits

#define PNPTEST_FAULT_DEVICE_ADD 0x01       // fail device add after WdfDeviceCreate
#define PNPTEST_FAULT_PREPARE_HARDWARE 0x02 // EvtDevicePrepareHardware fails
#define PNPTEST_FAULT_D0_ENTRY 0x04         // EvtDeviceD0Entry fails
#define PNPTEST_FAULT_VETO_QUERY_STOP 0x08  // EvtDeviceQueryStop refuses
#define PNPTEST_FAULT_VETO_QUERY_REMOVE 0x10
#define PNPTEST_FAULT_NOT_STOPPABLE 0x20 // WdfDeviceSetStaticStopRemove(FALSE) at device add

// The status a failing callback returns, and the one a veto returns.
#define PNPTEST_FAILURE_STATUS STATUS_DEVICE_DATA_ERROR
#define PNPTEST_VETO_STATUS STATUS_DEVICE_BUSY

// A write keeps up to this many bytes; a read returns what the last write kept.
#define PNPTEST_BUFFER_BYTES 64

#define PNPTEST_DEVICE_TYPE 0x8123u
// Output: the device's unit (ULONG).
#define IOCTL_PNPTEST_GET_UNIT CTL_CODE(PNPTEST_DEVICE_TYPE, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)
// The driver keeps the request (it is answered by IOCTL_PNPTEST_RELEASE, or cancelled at removal). Across a
// power-down the driver acknowledges its stop callback and keeps it.
#define IOCTL_PNPTEST_HOLD CTL_CODE(PNPTEST_DEVICE_TYPE, 0x802, METHOD_BUFFERED, FILE_ANY_ACCESS)
// Completes the held request with STATUS_SUCCESS, then this one.
#define IOCTL_PNPTEST_RELEASE CTL_CODE(PNPTEST_DEVICE_TYPE, 0x803, METHOD_BUFFERED, FILE_ANY_ACCESS)

// {5a8c1f3e-2b4d-4e6f-9a0b-1c2d3e4f5a6b}: the interface every test device registers.
#define PNPTEST_INTERFACE_GUID_INIT                                                                          \
    {                                                                                                        \
        0x5a8c1f3e, 0x2b4d, 0x4e6f, {                                                                        \
            0x9a, 0x0b, 0x1c, 0x2d, 0x3e, 0x4f, 0x5a, 0x6b                                                   \
        }                                                                                                    \
    }

#endif // ZV_TESTS_PNP_PNPTESTDRV_H
