// Registry keys as framework objects (WDFKEY) and the value routines on them.
#ifndef ZV_WDFREGISTRY_H
#define ZV_WDFREGISTRY_H

#include "wdfobject.h"

#ifndef REG_OPTION_NON_VOLATILE
#define REG_OPTION_NON_VOLATILE (0x00000000L)
#define REG_OPTION_VOLATILE (0x00000001L)
#endif
#ifndef REG_CREATED_NEW_KEY
#define REG_CREATED_NEW_KEY (0x00000001L)
#define REG_OPENED_EXISTING_KEY (0x00000002L)
#endif

WDF_EXTERN_C_START

NTSTATUS WdfRegistryOpenKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                            PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
NTSTATUS WdfRegistryCreateKey(WDFKEY ParentKey, PCUNICODE_STRING KeyName, ACCESS_MASK DesiredAccess,
                              ULONG CreateOptions, PULONG CreateDisposition,
                              PWDF_OBJECT_ATTRIBUTES KeyAttributes, WDFKEY* Key);
VOID WdfRegistryClose(WDFKEY Key);
NTSTATUS WdfRegistryRemoveKey(WDFKEY Key);
NTSTATUS WdfRegistryRemoveValue(WDFKEY Key, PCUNICODE_STRING ValueName);

NTSTATUS WdfRegistryQueryValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueLength, PVOID Value,
                               PULONG ValueLengthQueried, PULONG ValueType);
NTSTATUS WdfRegistryQueryULong(WDFKEY Key, PCUNICODE_STRING ValueName, PULONG Value);
NTSTATUS WdfRegistryQueryUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PUSHORT ValueByteLength,
                                       PUNICODE_STRING Value);
NTSTATUS WdfRegistryQueryString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String);

NTSTATUS WdfRegistryAssignValue(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG ValueType, ULONG ValueLength,
                                PVOID Value);
NTSTATUS WdfRegistryAssignULong(WDFKEY Key, PCUNICODE_STRING ValueName, ULONG Value);
NTSTATUS WdfRegistryAssignUnicodeString(WDFKEY Key, PCUNICODE_STRING ValueName, PCUNICODE_STRING Value);
NTSTATUS WdfRegistryAssignString(WDFKEY Key, PCUNICODE_STRING ValueName, WDFSTRING String);

WDF_EXTERN_C_END

#endif // ZV_WDFREGISTRY_H
