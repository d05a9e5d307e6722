// Collections (WDFCOLLECTION): framework objects in insertion order, index 0 first. The collection holds
// one reference per entry, so an item deleted while it is in a collection has its cleanup run but stays
// in the collection, handle valid, until it is removed or the collection goes; removing it then drops the
// last reference and runs its destroy callback.
#ifndef ZV_WDF_COLLECTION_H
#define ZV_WDF_COLLECTION_H

#include "platform/wdf/object.h"

#include <deque>

namespace zv::wdf {

class Collection final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Collection;
    explicit Collection(Object* parent) : Object(kType, parent) {}

    size_t count() const { return items_.size(); }
    Object* item(size_t index) const { return index < items_.size() ? items_[index] : nullptr; }
    void add(Object* item);
    // Removes the first entry holding `item`; false when there is none.
    bool remove(Object* item);
    void removeAt(size_t index);

protected:
    void onCleanup() override; // drops every entry's reference

private:
    // A deque: drivers use collections as FIFOs (add at the end, take from the front).
    std::deque<Object*> items_;
};

} // namespace zv::wdf

#endif // ZV_WDF_COLLECTION_H
