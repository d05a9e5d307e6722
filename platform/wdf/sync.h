// Framework locks (WDFSPINLOCK, WDFWAITLOCK) over the scheduler's sim::Lock, and the serialisation of
// deferred callbacks (timers, work items) with their parent's presentation lock. The lock rules themselves
// (recursion, release by a non-owner, order inversion, deadlock, waits at DISPATCH_LEVEL) are sim::Lock's;
// this layer adds what only the framework knows: the object's name in reports and deletion while held.
#ifndef ZV_WDF_SYNC_H
#define ZV_WDF_SYNC_H

#include "platform/wdf/object.h"

#include <string_view>

namespace zv::wdf {

namespace rule {
inline constexpr std::string_view kLockDeletedWhileHeld = "lock-deleted-while-held";
} // namespace rule

// A framework object that is a lock. The sim::Lock carries the object's name ("WDFSPINLOCK 0x...") so
// that the scheduler's lock reports name the driver's object.
class LockObject : public Object {
public:
    sim::Lock& lock() { return lock_; }

protected:
    LockObject(ObjectType type, Object* parent, sim::Lock::Kind kind);
    void onCleanup() override;

private:
    sim::Lock lock_;
};

class SpinLock final : public LockObject {
public:
    static constexpr ObjectType kType = ObjectType::SpinLock;
    explicit SpinLock(Object* parent) : LockObject(kType, parent, sim::Lock::Kind::Spin) {}
};

class WaitLock final : public LockObject {
public:
    static constexpr ObjectType kType = ObjectType::WaitLock;
    explicit WaitLock(Object* parent) : LockObject(kType, parent, sim::Lock::Kind::Mutex) {}
};

// Level a deferred callback runs at.
enum class CallbackLevel { Dispatch, Passive };

// The parent a timer or work item must have: named in the attributes, and a device, a queue or an object
// below a device. Reports and returns nullptr otherwise.
Object* requireDeviceParent(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine);

// Whether a callback at `level` can be serialised with `parent`'s presentation lock: a spin lock keeps
// its holder at DISPATCH_LEVEL and a mutex cannot be taken there, so the level must match the lock kind.
bool levelFitsParentLock(CallbackLevel level, Object& parent);

// Holds the parent's presentation lock across one deferred callback when automatic serialisation asks for
// it (and the parent has such a lock). The lock pointer is taken at construction, so the callback may
// delete its own object.
class SerializedScope {
public:
    // `routine` names the callback in the lock's reports.
    SerializedScope(Object& parent, bool serialized, std::string_view routine);
    ~SerializedScope();
    SerializedScope(const SerializedScope&) = delete;
    SerializedScope& operator=(const SerializedScope&) = delete;

private:
    sim::Lock* lock_ = nullptr;
    std::string_view routine_;
};

} // namespace zv::wdf

#endif // ZV_WDF_SYNC_H
