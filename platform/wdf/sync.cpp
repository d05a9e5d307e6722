// Spin locks, wait locks, the hand-taken presentation lock, and the helpers that serialise timer and
// work-item callbacks with their parent.
#include "platform/wdf/sync.h"

#include <wdfsync.h>

#include <cstdint>
#include <limits>
#include <optional>

namespace zv::wdf {

LockObject::LockObject(ObjectType type, Object* parent, sim::Lock::Kind kind)
    : Object(type, parent), lock_(kind, describe()) {}

void LockObject::onCleanup() {
    sim::Fiber* owner = lock_.owner();
    if (owner == nullptr)
        return;
    reportViolation(rule::kLockDeletedWhileHeld, this, "WdfObjectDelete",
                    "still held by fiber " + owner->name());
    // A deleter that holds the lock gets its IRQL back; any other holder loses the lock when the object is
    // freed (sim::Lock forgets itself), and its later release is a use of a deleted object.
    if (owner == sim::Scheduler::current()->currentFiber())
        lock_.release("WdfObjectDelete");
}

Object* requireDeviceParent(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine) {
    if (attributes == nullptr || attributes->ParentObject == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the attributes must name a parent object");
        return nullptr;
    }
    Object* parent = objects().resolve(attributes->ParentObject, ObjectType::Object, routine);
    if (parent == nullptr)
        return nullptr;
    if (parent->type() == ObjectType::Queue)
        return parent;
    for (Object* o = parent; o != nullptr; o = o->parent())
        if (o->type() == ObjectType::Device)
            return parent;
    reportViolation(rule::kBadParameter, parent, routine,
                    "the parent must be a device, a queue or an object below a device");
    return nullptr;
}

bool levelFitsParentLock(CallbackLevel level, Object& parent) {
    sim::Lock* lock = parent.presentationLock();
    if (lock == nullptr)
        return true;
    return (lock->kind() == sim::Lock::Kind::Spin) == (level == CallbackLevel::Dispatch);
}

SerializedScope::SerializedScope(Object& parent, bool serialized, std::string_view routine)
    : lock_(serialized ? parent.presentationLock() : nullptr), routine_(routine) {
    if (lock_ != nullptr)
        lock_->acquire(std::nullopt, routine_);
}

SerializedScope::~SerializedScope() {
    if (lock_ != nullptr)
        lock_->release(routine_);
}

namespace {

template <class T, class Handle>
NTSTATUS createLock(PWDF_OBJECT_ATTRIBUTES attributes, Handle* out, const char* routine) {
    enterCall(routine);
    if (out == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *out = nullptr;
    T* lock = nullptr;
    NTSTATUS status = create<T>(attributes, nullptr, routine, &lock);
    if (!NT_SUCCESS(status))
        return status;
    *out = static_cast<Handle>(static_cast<void*>(lock->handle()));
    return STATUS_SUCCESS;
}

// A wait lock time-out as the scheduler wants it: relative, nullopt for none.
std::optional<sim::Time> relativeTimeout(const LONGLONG* timeout, sim::Time now) {
    if (timeout == nullptr)
        return std::nullopt;
    LONGLONG t = *timeout;
    if (t < 0)
        return t == std::numeric_limits<LONGLONG>::min() ? std::numeric_limits<sim::Time>::max() : -t;
    return t > now ? t - now : 0;
}

Object* objectWithPresentationLock(WDFOBJECT handle, const char* routine, sim::Lock** lock) {
    Object* object = objects().resolve(handle, ObjectType::Object, routine);
    if (object == nullptr)
        return nullptr;
    *lock = object->presentationLock();
    if (*lock == nullptr) {
        reportViolation(rule::kBadParameter, object, routine, "the object has no presentation lock");
        return nullptr;
    }
    return object;
}

} // namespace
} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfSpinLockCreate(PWDF_OBJECT_ATTRIBUTES SpinLockAttributes, WDFSPINLOCK* SpinLock) {
    return createLock<zv::wdf::SpinLock>(SpinLockAttributes, SpinLock, "WdfSpinLockCreate");
}

EXTERN_C VOID WdfSpinLockAcquire(WDFSPINLOCK SpinLock) {
    enterCall("WdfSpinLockAcquire");
    if (auto* lock = resolve<zv::wdf::SpinLock>(SpinLock, "WdfSpinLockAcquire"))
        lock->lock().acquire(std::nullopt, "WdfSpinLockAcquire");
}

EXTERN_C VOID WdfSpinLockRelease(WDFSPINLOCK SpinLock) {
    enterCall("WdfSpinLockRelease");
    if (auto* lock = resolve<zv::wdf::SpinLock>(SpinLock, "WdfSpinLockRelease"))
        lock->lock().release("WdfSpinLockRelease");
}

EXTERN_C NTSTATUS WdfWaitLockCreate(PWDF_OBJECT_ATTRIBUTES LockAttributes, WDFWAITLOCK* Lock) {
    return createLock<WaitLock>(LockAttributes, Lock, "WdfWaitLockCreate");
}

EXTERN_C NTSTATUS WdfWaitLockAcquire(WDFWAITLOCK Lock, PLONGLONG Timeout) {
    constexpr const char* routine = "WdfWaitLockAcquire";
    enterCall(routine);
    auto* lock = resolve<WaitLock>(Lock, routine);
    if (lock == nullptr)
        return STATUS_INVALID_HANDLE;
    std::optional<zv::sim::Time> timeout = relativeTimeout(Timeout, zv::sim::Scheduler::current()->now());
    bool acquired = timeout == zv::sim::Time{0} ? lock->lock().tryAcquire(routine)
                                                : lock->lock().acquire(timeout, routine);
    return acquired ? STATUS_SUCCESS : STATUS_TIMEOUT;
}

EXTERN_C VOID WdfWaitLockRelease(WDFWAITLOCK Lock) {
    enterCall("WdfWaitLockRelease");
    if (auto* lock = resolve<WaitLock>(Lock, "WdfWaitLockRelease"))
        lock->lock().release("WdfWaitLockRelease");
}

EXTERN_C VOID WdfObjectAcquireLock(WDFOBJECT Object) {
    enterCall("WdfObjectAcquireLock");
    zv::sim::Lock* lock = nullptr;
    if (objectWithPresentationLock(Object, "WdfObjectAcquireLock", &lock))
        lock->acquire(std::nullopt, "WdfObjectAcquireLock");
}

EXTERN_C VOID WdfObjectReleaseLock(WDFOBJECT Object) {
    enterCall("WdfObjectReleaseLock");
    zv::sim::Lock* lock = nullptr;
    if (objectWithPresentationLock(Object, "WdfObjectReleaseLock", &lock))
        lock->release("WdfObjectReleaseLock");
}
