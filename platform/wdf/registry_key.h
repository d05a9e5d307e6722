// Registry keys as framework objects (WDFKEY) over the machine's registry. Every operation goes through
// zv::kernel::Registry, so its fault plan reaches the driver as the status of the call. Access rights are
// recorded but not enforced: a kernel-mode caller's handle is not access-checked.
#ifndef ZV_WDF_REGISTRY_KEY_H
#define ZV_WDF_REGISTRY_KEY_H

#include "platform/wdf/object.h"

#include "platform/kernel/registry.h"

#include <string>
#include <string_view>

namespace zv::wdf {

class Key final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Key;
    Key(Object* parent, kernel::RegKey* key, ACCESS_MASK access)
        : Object(kType, parent), key_(key), access_(access) {}

    // Stays valid after the key is deleted from the registry (operations then fail with
    // STATUS_KEY_DELETED).
    kernel::RegKey* regKey() const { return key_; }
    ACCESS_MASK access() const { return access_; }

private:
    kernel::RegKey* key_;
    ACCESS_MASK access_;
};

// Opens (or, with `createMissing`, creates) the key at `path` and wraps it in a key object parented as the
// attributes say, else to `defaultParent`, else to the calling driver. `created` (optional) tells whether
// the key was new.
NTSTATUS openKeyObject(std::u16string_view path, bool createMissing, ACCESS_MASK access,
                       const WDF_OBJECT_ATTRIBUTES* attributes, Object* defaultParent, const char* routine,
                       WDFKEY* out, bool* created = nullptr);

} // namespace zv::wdf

#endif // ZV_WDF_REGISTRY_KEY_H
