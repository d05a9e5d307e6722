// Collections: ordered lists of framework objects, index 0 first. A collection holds a reference on every
// item it contains.
#ifndef ZV_WDFCOLLECTION_H
#define ZV_WDFCOLLECTION_H

#include "wdfobject.h"

WDF_EXTERN_C_START

NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes, WDFCOLLECTION* Collection);
ULONG WdfCollectionGetCount(WDFCOLLECTION Collection);
NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object);
VOID WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item);
VOID WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index);
WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection);
WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection);

WDF_EXTERN_C_END

#endif // ZV_WDFCOLLECTION_H
