// What the child-tree tests and their test bus driver module (childbusdrv.cpp) share: the hardware-key
// value that says which children the bus reports at its start, the device control that reports another
// set, and the IDs each child carries. No wide characters, so both sides read it alike.
//
// Child n (0..7) has the device ID "USB\VID_1A2B&PID_3C4D&MI_0n" and the instance ID "ABC123_0n", and is
// unique on its bus, so its instance path is the two joined. Even children carry the test function
// driver's hardware ID (ZV\PnpTestDevice); odd ones an ID no service binds to.
#ifndef ZV_TESTS_PNP_CHILDBUSDRV_H
#define ZV_TESTS_PNP_CHILDBUSDRV_H

#include <ntddk.h>

// REG_DWORD in the bus's hardware key: bit n set = child n is present at the start.
#define CHILDBUS_VALUE_CHILDREN "Children"

#define CHILDBUS_DEVICE_TYPE 0x8124u
// Input: a ULONG bit mask of the children now present; the bus scans again.
#define IOCTL_CHILDBUS_SET_CHILDREN CTL_CODE(CHILDBUS_DEVICE_TYPE, 0x801, METHOD_BUFFERED, FILE_ANY_ACCESS)

// The bus's symbolic link, for an application: \\.\ZvChildBus
#define CHILDBUS_LINK "ZvChildBus"

#endif // ZV_TESTS_PNP_CHILDBUSDRV_H
