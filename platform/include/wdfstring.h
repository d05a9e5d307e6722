// String objects: a counted unicode string owned by the framework.
#ifndef ZV_WDFSTRING_H
#define ZV_WDFSTRING_H

#include "wdfobject.h"

WDF_EXTERN_C_START

NTSTATUS WdfStringCreate(PCUNICODE_STRING UnicodeString, PWDF_OBJECT_ATTRIBUTES StringAttributes,
                         WDFSTRING* String);
VOID WdfStringGetUnicodeString(WDFSTRING String, PUNICODE_STRING UnicodeString);

WDF_EXTERN_C_END

#endif // ZV_WDFSTRING_H
