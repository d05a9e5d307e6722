// Framework locks as drivers see them: spin locks (WDFSPINLOCK), wait locks (WDFWAITLOCK) and the
// presentation lock of a device or queue taken by hand (WdfObjectAcquireLock).
#ifndef ZV_WDFSYNC_H
#define ZV_WDFSYNC_H

#include "wdfobject.h"

WDF_EXTERN_C_START

NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock);
VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock);
VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock);

NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock);
// Timeout: NULL waits forever, 0 only tries, negative is relative and positive absolute (100-ns units).
// STATUS_SUCCESS when the lock is held, STATUS_TIMEOUT when it is not.
NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout);
VOID WdfWaitLockRelease(WDFWAITLOCK Lock);

// The presentation lock of a device or queue, the one automatic serialisation takes.
VOID WdfObjectAcquireLock(WDFOBJECT Object);
VOID WdfObjectReleaseLock(WDFOBJECT Object);

WDF_EXTERN_C_END

#endif // ZV_WDFSYNC_H
