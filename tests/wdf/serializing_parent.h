// A device stand-in for tests of locks, timers and work items: an object of device type whose presentation
// lock is a spin lock, a mutex, or absent, as a real device's is for its synchronisation scope and level.
#ifndef ZV_TESTS_WDF_SERIALIZING_PARENT_H
#define ZV_TESTS_WDF_SERIALIZING_PARENT_H

#include "platform/wdf/object.h"

#include <optional>

namespace zv::test {

class SerializingParent final : public wdf::Object {
public:
    static constexpr wdf::ObjectType kType = wdf::ObjectType::Device;
    SerializingParent(wdf::Object* parent, std::optional<sim::Lock::Kind> kind) : Object(kType, parent) {
        if (kind)
            lock_.emplace(*kind, "presentation lock");
    }
    sim::Lock* presentationLock() override { return lock_ ? &*lock_ : nullptr; }

private:
    std::optional<sim::Lock> lock_;
};

// Creates one (no parent of its own) and returns its handle; the test deletes it with WdfObjectDelete.
inline WDFDEVICE makeSerializingParent(std::optional<sim::Lock::Kind> kind,
                                       SerializingParent** out = nullptr) {
    SerializingParent* parent = nullptr;
    if (!NT_SUCCESS(wdf::create<SerializingParent>(nullptr, nullptr, "test", &parent, kind)))
        return nullptr;
    if (out != nullptr)
        *out = parent;
    return static_cast<WDFDEVICE>(static_cast<void*>(parent->handle()));
}

} // namespace zv::test

#endif // ZV_TESTS_WDF_SERIALIZING_PARENT_H
