// Framework timers as drivers see them: one-shot or periodic, with the callback at DISPATCH_LEVEL (or at
// PASSIVE_LEVEL for a timer whose execution level is passive).
#ifndef ZV_WDFTIMER_H
#define ZV_WDFTIMER_H

#include "wdfobject.h"

#include <string.h>

WDF_EXTERN_C_START

typedef VOID EVT_WDF_TIMER(WDFTIMER Timer);
typedef EVT_WDF_TIMER* PFN_WDF_TIMER;

typedef struct _WDF_TIMER_CONFIG {
    ULONG Size;
    PFN_WDF_TIMER EvtTimerFunc;
    ULONG Period; // milliseconds; 0 for a one-shot timer
    BOOLEAN AutomaticSerialization;
    ULONG TolerableDelay; // milliseconds
} WDF_TIMER_CONFIG, *PWDF_TIMER_CONFIG;

FORCEINLINE VOID WDF_TIMER_CONFIG_INIT(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc) {
    memset(Config, 0, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = 0;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

FORCEINLINE VOID WDF_TIMER_CONFIG_INIT_PERIODIC(PWDF_TIMER_CONFIG Config, PFN_WDF_TIMER EvtTimerFunc,
                                                LONG Period) {
    memset(Config, 0, sizeof(WDF_TIMER_CONFIG));
    Config->Size = sizeof(WDF_TIMER_CONFIG);
    Config->EvtTimerFunc = EvtTimerFunc;
    Config->Period = (ULONG)Period;
    Config->AutomaticSerialization = TRUE;
    Config->TolerableDelay = 0;
}

// The attributes must name a parent: a device, a queue, or an object below a device.
NTSTATUS WdfTimerCreate(PWDF_TIMER_CONFIG Config, PWDF_OBJECT_ATTRIBUTES Attributes, WDFTIMER* Timer);
// DueTime: negative is relative, positive absolute, in 100-ns units. TRUE when the timer was already
// pending (it is then re-armed with the new due time).
BOOLEAN WdfTimerStart(WDFTIMER Timer, LONGLONG DueTime);
// TRUE when a pending timer was dequeued. Wait TRUE (PASSIVE_LEVEL only) also waits for a running callback.
BOOLEAN WdfTimerStop(WDFTIMER Timer, BOOLEAN Wait);
WDFOBJECT WdfTimerGetParentObject(WDFTIMER Timer);

WDF_EXTERN_C_END

#endif // ZV_WDFTIMER_H
