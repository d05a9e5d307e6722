// Framework work items as drivers see them: a callback run once per enqueue at PASSIVE_LEVEL on a system
// worker thread.
#ifndef ZV_WDFWORKITEM_H
#define ZV_WDFWORKITEM_H

#include "wdfobject.h"

#include <string.h>

WDF_EXTERN_C_START

typedef VOID EVT_WDF_WORKITEM(WDFWORKITEM WorkItem);
typedef EVT_WDF_WORKITEM* PFN_WDF_WORKITEM;

typedef struct _WDF_WORKITEM_CONFIG {
    ULONG Size;
    PFN_WDF_WORKITEM EvtWorkItemFunc;
    BOOLEAN AutomaticSerialization;
} WDF_WORKITEM_CONFIG, *PWDF_WORKITEM_CONFIG;

FORCEINLINE VOID WDF_WORKITEM_CONFIG_INIT(PWDF_WORKITEM_CONFIG Config, PFN_WDF_WORKITEM EvtWorkItemFunc) {
    memset(Config, 0, sizeof(WDF_WORKITEM_CONFIG));
    Config->Size = sizeof(WDF_WORKITEM_CONFIG);
    Config->EvtWorkItemFunc = EvtWorkItemFunc;
    Config->AutomaticSerialization = TRUE;
}

// The attributes must name a parent: a device, a queue, or an object below a device.
NTSTATUS WdfWorkItemCreate(PWDF_WORKITEM_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes,
                           WDFWORKITEM* WorkItem);
// Enqueuing an item that is already queued does nothing; a running item may be enqueued again.
VOID WdfWorkItemEnqueue(WDFWORKITEM WorkItem);
WDFOBJECT WdfWorkItemGetParentObject(WDFWORKITEM WorkItem);
// Returns when the queued or running callback has finished (PASSIVE_LEVEL only).
VOID WdfWorkItemFlush(WDFWORKITEM WorkItem);

WDF_EXTERN_C_END

#endif // ZV_WDFWORKITEM_H
