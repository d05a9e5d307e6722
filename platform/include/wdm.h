// The driver-model header: on this platform the executive routines and records a driver sees all live in
// ntddk.h.
#ifndef ZV_WDM_H
#define ZV_WDM_H

#include "ntddk.h"

#endif // ZV_WDM_H
