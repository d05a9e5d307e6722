// Collections and their entry points.
#include "platform/wdf/collection.h"

#include <algorithm>

namespace zv::wdf {

void Collection::add(Object* item) {
    item->reference();
    items_.push_back(item);
}

bool Collection::remove(Object* item) {
    auto it = std::find(items_.begin(), items_.end(), item);
    if (it == items_.end())
        return false;
    items_.erase(it);
    item->dereference();
    return true;
}

void Collection::removeAt(size_t index) {
    Object* item = items_[index];
    items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(index));
    item->dereference();
}

void Collection::onCleanup() {
    // Taken out first: a destroy callback that runs as its reference goes may look at this collection.
    std::deque<Object*> items;
    items.swap(items_);
    for (Object* item : items)
        item->dereference();
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfCollectionCreate(PWDF_OBJECT_ATTRIBUTES CollectionAttributes,
                                      WDFCOLLECTION* Collection) {
    constexpr const char* routine = "WdfCollectionCreate";
    enterCall(routine);
    if (Collection == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Collection = nullptr;
    zv::wdf::Collection* collection = nullptr;
    NTSTATUS status = create<zv::wdf::Collection>(CollectionAttributes, nullptr, routine, &collection);
    if (NT_SUCCESS(status))
        *Collection = static_cast<WDFCOLLECTION>(collection->handle());
    return status;
}

EXTERN_C ULONG WdfCollectionGetCount(WDFCOLLECTION Collection) {
    enterCall("WdfCollectionGetCount");
    auto* collection = resolve<zv::wdf::Collection>(Collection, "WdfCollectionGetCount");
    return collection != nullptr ? static_cast<ULONG>(collection->count()) : 0;
}

EXTERN_C NTSTATUS WdfCollectionAdd(WDFCOLLECTION Collection, WDFOBJECT Object) {
    constexpr const char* routine = "WdfCollectionAdd";
    enterCall(routine);
    auto* collection = resolve<zv::wdf::Collection>(Collection, routine);
    if (collection == nullptr)
        return STATUS_INVALID_HANDLE;
    zv::wdf::Object* item = objects().resolve(Object, ObjectType::Object, routine);
    if (item == nullptr)
        return STATUS_INVALID_HANDLE;
    if (item == collection) {
        reportViolation(rule::kBadParameter, collection, routine, "a collection cannot hold itself");
        return STATUS_INVALID_PARAMETER;
    }
    collection->add(item);
    return STATUS_SUCCESS;
}

EXTERN_C VOID WdfCollectionRemove(WDFCOLLECTION Collection, WDFOBJECT Item) {
    constexpr const char* routine = "WdfCollectionRemove";
    enterCall(routine);
    auto* collection = resolve<zv::wdf::Collection>(Collection, routine);
    if (collection == nullptr)
        return;
    // A deleted item is still a valid entry: removing it is how its last reference goes.
    zv::wdf::Object* item = objects().resolve(Item, ObjectType::Object, routine, true);
    if (item == nullptr)
        return;
    if (!collection->remove(item))
        reportViolation(rule::kBadParameter, collection, routine,
                        item->describe() + " is not in the collection");
}

EXTERN_C VOID WdfCollectionRemoveItem(WDFCOLLECTION Collection, ULONG Index) {
    constexpr const char* routine = "WdfCollectionRemoveItem";
    enterCall(routine);
    auto* collection = resolve<zv::wdf::Collection>(Collection, routine);
    if (collection == nullptr)
        return;
    if (Index >= collection->count()) {
        reportViolation(rule::kBadParameter, collection, routine,
                        "index " + std::to_string(Index) + " is past the end (count " +
                            std::to_string(collection->count()) + ")");
        return;
    }
    collection->removeAt(Index);
}

namespace {

WDFOBJECT itemHandle(WDFCOLLECTION handle, const char* routine, bool last, ULONG index) {
    enterCall(routine);
    auto* collection = resolve<zv::wdf::Collection>(handle, routine);
    if (collection == nullptr || collection->count() == 0)
        return nullptr;
    zv::wdf::Object* item = collection->item(last ? collection->count() - 1 : index);
    return item != nullptr ? item->handle() : nullptr;
}

} // namespace

EXTERN_C WDFOBJECT WdfCollectionGetItem(WDFCOLLECTION Collection, ULONG Index) {
    return itemHandle(Collection, "WdfCollectionGetItem", false, Index);
}

EXTERN_C WDFOBJECT WdfCollectionGetFirstItem(WDFCOLLECTION Collection) {
    return itemHandle(Collection, "WdfCollectionGetFirstItem", false, 0);
}

EXTERN_C WDFOBJECT WdfCollectionGetLastItem(WDFCOLLECTION Collection) {
    return itemHandle(Collection, "WdfCollectionGetLastItem", true, 0);
}
