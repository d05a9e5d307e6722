// Framework object handles, object attributes and typed context records.
//
// WDFOBJECT is an untyped handle so that any typed handle converts to it implicitly, as driver code expects
// (WdfObjectDelete(request), GetDeviceContext(device)); the typed handles are distinct pointer types so
// that passing a WDFMEMORY where a WDFREQUEST is wanted does not compile.
//
// A context type is declared once per driver header with WDF_DECLARE_CONTEXT_TYPE_WITH_NAME. Its type
// information is an inline constexpr record (so no static constructor can exist for it), and its address
// is the type's identity: the framework compares UniqueType pointers, never names.
#ifndef ZV_WDFOBJECT_H
#define ZV_WDFOBJECT_H

#include "wdftypes.h"

#include <string.h>

typedef HANDLE WDFOBJECT, *PWDFOBJECT;

DECLARE_HANDLE(WDFDRIVER);
DECLARE_HANDLE(WDFDEVICE);
DECLARE_HANDLE(WDFMEMORY);
DECLARE_HANDLE(WDFCOLLECTION);
DECLARE_HANDLE(WDFSTRING);
DECLARE_HANDLE(WDFKEY);
DECLARE_HANDLE(WDFSPINLOCK);
DECLARE_HANDLE(WDFWAITLOCK);
DECLARE_HANDLE(WDFTIMER);
DECLARE_HANDLE(WDFWORKITEM);
DECLARE_HANDLE(WDFQUEUE);
DECLARE_HANDLE(WDFREQUEST);
DECLARE_HANDLE(WDFIOTARGET);
DECLARE_HANDLE(WDFUSBDEVICE);
DECLARE_HANDLE(WDFUSBINTERFACE);
DECLARE_HANDLE(WDFUSBPIPE);
DECLARE_HANDLE(WDFCHILDLIST);
DECLARE_HANDLE(WDFFILEOBJECT);
DECLARE_HANDLE(WDFWMIINSTANCE);
DECLARE_HANDLE(WDFWMIPROVIDER);
DECLARE_HANDLE(WDFDPC);

// The device-init record handed to a device-add callback; opaque to drivers.
typedef struct WDFDEVICE_INIT* PWDFDEVICE_INIT;

typedef enum _WDF_EXECUTION_LEVEL {
    WdfExecutionLevelInvalid = 0,
    WdfExecutionLevelInheritFromParent,
    WdfExecutionLevelPassive,
    WdfExecutionLevelDispatch,
} WDF_EXECUTION_LEVEL;

typedef enum _WDF_SYNCHRONIZATION_SCOPE {
    WdfSynchronizationScopeInvalid = 0,
    WdfSynchronizationScopeInheritFromParent,
    WdfSynchronizationScopeDevice,
    WdfSynchronizationScopeQueue,
    WdfSynchronizationScopeNone,
} WDF_SYNCHRONIZATION_SCOPE;

WDF_EXTERN_C_START

typedef VOID EVT_WDF_OBJECT_CONTEXT_CLEANUP(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_CLEANUP* PFN_WDF_OBJECT_CONTEXT_CLEANUP;
typedef VOID EVT_WDF_OBJECT_CONTEXT_DESTROY(WDFOBJECT Object);
typedef EVT_WDF_OBJECT_CONTEXT_DESTROY* PFN_WDF_OBJECT_CONTEXT_DESTROY;

typedef struct _WDF_OBJECT_CONTEXT_TYPE_INFO WDF_OBJECT_CONTEXT_TYPE_INFO, *PWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef const WDF_OBJECT_CONTEXT_TYPE_INFO* PCWDF_OBJECT_CONTEXT_TYPE_INFO;
typedef PCWDF_OBJECT_CONTEXT_TYPE_INFO (*PFN_GET_UNIQUE_CONTEXT_TYPE)(VOID);

struct _WDF_OBJECT_CONTEXT_TYPE_INFO {
    ULONG Size;
    PCSTR ContextName;
    size_t ContextSize;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO UniqueType;
    PFN_GET_UNIQUE_CONTEXT_TYPE EvtDriverGetUniqueContextType;
};

typedef struct _WDF_OBJECT_ATTRIBUTES {
    ULONG Size;
    PFN_WDF_OBJECT_CONTEXT_CLEANUP EvtCleanupCallback;
    PFN_WDF_OBJECT_CONTEXT_DESTROY EvtDestroyCallback;
    WDF_EXECUTION_LEVEL ExecutionLevel;
    WDF_SYNCHRONIZATION_SCOPE SynchronizationScope;
    WDFOBJECT ParentObject;
    size_t ContextSizeOverride;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO ContextTypeInfo;
} WDF_OBJECT_ATTRIBUTES, *PWDF_OBJECT_ATTRIBUTES;

#define WDF_NO_OBJECT_ATTRIBUTES NULL

FORCEINLINE VOID WDF_OBJECT_ATTRIBUTES_INIT(PWDF_OBJECT_ATTRIBUTES Attributes) {
    memset(Attributes, 0, sizeof(WDF_OBJECT_ATTRIBUTES));
    Attributes->Size = sizeof(WDF_OBJECT_ATTRIBUTES);
    Attributes->ExecutionLevel = WdfExecutionLevelInheritFromParent;
    Attributes->SynchronizationScope = WdfSynchronizationScopeInheritFromParent;
}

#define WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) WdfTypeInfo_##_contexttype
#define WDF_TYPE_NAME_POINTER_TYPE(_contexttype) WdfPointerType_##_contexttype
#define WDF_GET_CONTEXT_TYPE_INFO(_contexttype) (WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype).UniqueType)

#define WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype)                                    \
    ((void)((_attributes)->ContextTypeInfo = WDF_GET_CONTEXT_TYPE_INFO(_contexttype)))

#define WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(_attributes, _contexttype)                                   \
    (WDF_OBJECT_ATTRIBUTES_INIT(_attributes),                                                                \
     WDF_OBJECT_ATTRIBUTES_SET_CONTEXT_TYPE(_attributes, _contexttype))

NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object);
VOID WdfObjectDelete(WDFOBJECT Object);
VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File);
VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File);
NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes, PVOID* Context);
PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo);

WDF_EXTERN_C_END

#define WdfObjectReferenceWithTag(_handle, _tag)                                                             \
    WdfObjectReferenceActual((WDFOBJECT)(_handle), (PVOID)(_tag), __LINE__, __FILE__)
#define WdfObjectDereferenceWithTag(_handle, _tag)                                                           \
    WdfObjectDereferenceActual((WDFOBJECT)(_handle), (PVOID)(_tag), __LINE__, __FILE__)
#define WdfObjectReference(_handle) WdfObjectReferenceWithTag(_handle, NULL)
#define WdfObjectDereference(_handle) WdfObjectDereferenceWithTag(_handle, NULL)

#define WdfObjectGetTypedContext(_handle, _contexttype)                                                      \
    ((WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(                               \
        (WDFOBJECT)(_handle), WDF_GET_CONTEXT_TYPE_INFO(_contexttype)))

// Declares the context type's information and an accessor `_castingfunction(handle)` returning a typed
// pointer (NULL, with a verifier report, when the object has no context of this type).
#define WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, _castingfunction)                                   \
    typedef _contexttype* WDF_TYPE_NAME_POINTER_TYPE(_contexttype);                                          \
    inline constexpr WDF_OBJECT_CONTEXT_TYPE_INFO WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype) = {               \
        sizeof(WDF_OBJECT_CONTEXT_TYPE_INFO),      #_contexttype, sizeof(_contexttype),                      \
        &WDF_TYPE_NAME_TO_TYPE_INFO(_contexttype), NULL,                                                     \
    };                                                                                                       \
    inline WDF_TYPE_NAME_POINTER_TYPE(_contexttype) _castingfunction(WDFOBJECT Handle) {                     \
        return (WDF_TYPE_NAME_POINTER_TYPE(_contexttype))WdfObjectGetTypedContextWorker(                     \
            Handle, WDF_GET_CONTEXT_TYPE_INFO(_contexttype));                                                \
    }

#define WDF_DECLARE_CONTEXT_TYPE(_contexttype)                                                               \
    WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(_contexttype, WdfObjectGet_##_contexttype)

#endif // ZV_WDFOBJECT_H
