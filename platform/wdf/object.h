// The framework's object layer: every framework object (driver, device, memory, collection, lock, timer
// ...) is an Object with a parent, a reference count, typed context records and cleanup/destroy callbacks.
// Drivers see objects only as opaque handles; a handle is a key into the per-machine handle table, never a
// pointer, so a stale or wrong handle is reported by the verifier instead of being dereferenced.
#ifndef ZV_WDF_OBJECT_H
#define ZV_WDF_OBJECT_H

#include <wdf.h>

#include "platform/sim/scheduler.h"
#include "platform/sim/verifier.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace zv::wdf {

enum class ObjectType {
    Object, // a plain WdfObjectCreate object
    Driver,
    Device,
    Memory,
    Collection,
    String,
    Key,
    SpinLock,
    WaitLock,
    Timer,
    WorkItem,
    Queue,
    Request,
    IoTarget,
    UsbDevice,
    UsbInterface,
    UsbPipe,
    ChildList,
    FileObject,
    WmiInstance,
    WmiProvider,
    Dpc,
};
const char* typeName(ObjectType type); // "WDFTIMER" ...

// Verifier rules of the object layer (the scheduler's rule namespace holds the lock and wait rules).
namespace rule {
inline constexpr std::string_view kInvalidHandle = "invalid-handle";
inline constexpr std::string_view kWrongHandleType = "wrong-handle-type";
inline constexpr std::string_view kDeletedObject = "use-of-deleted-object";
inline constexpr std::string_view kNotDeletable = "object-not-deletable";
inline constexpr std::string_view kBadParameter = "invalid-parameter";
inline constexpr std::string_view kContextMismatch = "context-type-mismatch";
inline constexpr std::string_view kTimer = "timer-misuse";
inline constexpr std::string_view kWorkItem = "workitem-misuse";
// A dereference that would take away the reference the object was created with (only deletion does).
inline constexpr std::string_view kReferenceUnderflow = "reference-count-underflow";
// A tagged dereference whose tag holds no reference on the object.
inline constexpr std::string_view kReferenceTag = "reference-tag-mismatch";
} // namespace rule

// Whether a handle of `actual` type may be passed where `expected` is asked for: the same type, any type
// for ObjectType::Object, and the USB targets (device, pipe) where an I/O target is asked for.
bool isKindOf(ObjectType actual, ObjectType expected);
std::string describeHandle(ObjectType type, const void* handle); // "WDFTIMER 0x0000000000010020"

class ObjectTable;

class Object {
public:
    Object(ObjectType type, Object* parent);
    virtual ~Object();
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;

    ObjectType type() const { return type_; }
    WDFOBJECT handle() const { return handle_; }
    Object* parent() const { return parent_; }
    const std::vector<Object*>& children() const { return children_; }
    std::string describe() const; // "WDFTIMER 0x000000000000002a"
    // The top of the parent chain: the framework driver for every object a driver created.
    Object* root() const;

    // Attributes given at creation: contexts, callbacks, execution level and synchronisation scope.
    NTSTATUS applyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes);
    NTSTATUS addContext(const WDF_OBJECT_ATTRIBUTES* attributes); // WdfObjectAllocateContext
    void* context(PCWDF_OBJECT_CONTEXT_TYPE_INFO info) const;
    WDF_EXECUTION_LEVEL executionLevel() const { return executionLevel_; }
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope() const { return synchronizationScope_; }
    // The level and scope after inheritance from the parent chain.
    WDF_EXECUTION_LEVEL effectiveExecutionLevel() const;
    WDF_SYNCHRONIZATION_SCOPE effectiveSynchronizationScope() const;

    // The lock that serialises callbacks of this object and of children created with automatic
    // serialisation (a device's presentation lock, a queue's lock); nullptr when there is none.
    virtual sim::Lock* presentationLock() { return nullptr; }

    // Whether a driver may delete it with WdfObjectDelete.
    virtual bool driverDeletable() const { return true; }

    void reference(const void* tag = nullptr);
    void dereference(const void* tag = nullptr);
    long referenceCount() const { return references_; }

    // Cleanup of this object and its subtree (children first), then the creation reference goes. The
    // object is freed when the last reference goes, after its destroy callback.
    // Deleting an object whose deletion is already under way does nothing.
    void deleteTree();
    bool cleanedUp() const { return cleanedUp_; }
    // Deletion has begun (cleanup callbacks of the subtree are running or have run).
    bool deleting() const { return deleting_; }

    // Frees an object that creation gave up on before any driver saw its handle: its children too, and
    // no callbacks run.
    static void discardUnpublished(Object* object);

    // Type-specific checks once the attributes are applied (a level that clashes with the parent ...); a
    // failure makes creation fail with that status.
    virtual NTSTATUS onCreated() { return STATUS_SUCCESS; }

protected:
    // Type-specific work at cleanup, before the driver's cleanup callback (a timer stops, a lock checks
    // it is free ...). Destructors must not touch other objects: at machine teardown objects are freed in
    // no particular order.
    virtual void onCleanup() {}

private:
    friend class ObjectTable;
    void collectForDeletion(std::vector<Object*>& order);
    void runCleanup();
    void drop(); // one reference less, without checks
    void release();

    ObjectType type_;
    WDFOBJECT handle_ = nullptr;
    Object* parent_;
    std::vector<Object*> children_;
    struct Context {
        PCWDF_OBJECT_CONTEXT_TYPE_INFO info;
        std::unique_ptr<uint8_t[]> bytes;
        PFN_WDF_OBJECT_CONTEXT_CLEANUP cleanup;
        PFN_WDF_OBJECT_CONTEXT_DESTROY destroy;
    };
    std::vector<Context> contexts_;
    WDF_EXECUTION_LEVEL executionLevel_ = WdfExecutionLevelInheritFromParent;
    WDF_SYNCHRONIZATION_SCOPE synchronizationScope_ = WdfSynchronizationScopeInheritFromParent;
    long references_ = 1;
    std::unordered_map<const void*, long> tags_; // references taken with a tag, by tag
    ObjectTable* table_;
    bool deleting_ = false;
    bool cleanedUp_ = false;
    bool creationReferenceDropped_ = false;
    bool destroyed_ = false;
};

// Handle table of one machine: handle -> object. Handles are issued from a counter and never reused, and
// the type of every handle ever issued is kept (one byte each), so a deleted handle is told apart from a
// made-up one and reported with its type.
class ObjectTable {
public:
    explicit ObjectTable(sim::Scheduler& scheduler) : scheduler_(scheduler) {}
    // Frees what is still alive without running driver callbacks: the machine is going away, and the
    // driver modules may be gone already.
    ~ObjectTable();
    ObjectTable(const ObjectTable&) = delete;
    ObjectTable& operator=(const ObjectTable&) = delete;

    WDFOBJECT add(Object* object);
    void retire(Object* object); // the object is gone; its handle becomes a tombstone
    // Resolves a handle for `routine`; reports the verifier rule and returns nullptr when the handle is
    // NULL, unknown, deleted or of another type (ObjectType::Object as expected accepts any type). An
    // object whose cleanup has run counts as deleted unless `allowCleanedUp`.
    Object* resolve(WDFOBJECT handle, ObjectType expected, const char* routine, bool allowCleanedUp = false);
    // The live object behind a handle, without checks or reports (platform bookkeeping); nullptr if none.
    Object* find(WDFOBJECT handle) const;
    // Live objects in creation order.
    std::vector<Object*> live() const;
    size_t liveCount() const { return entries_.size(); }
    bool tearingDown() const { return tearingDown_; }

    // The driver on whose behalf the running fiber executes (innermost DriverScope); failing that, the
    // only framework driver of the machine; nullptr when there is none or several.
    Object* callingDriver() const;

private:
    friend class DriverScope;
    static constexpr uintptr_t kFirstHandle = 0x10000;
    static constexpr uintptr_t kHandleStride = 0x10;
    uint64_t fiberKey() const;

    struct Entry {
        Object* object;
        ObjectType type;
    };
    sim::Scheduler& scheduler_;
    uintptr_t next_ = kFirstHandle;
    std::vector<uint8_t> issuedTypes_; // by (handle - kFirstHandle) / kHandleStride
    std::unordered_map<uintptr_t, Entry> entries_;
    std::vector<Object*> drivers_;                                    // the live framework drivers
    std::unordered_map<uint64_t, std::vector<Object*>> driverStacks_; // by fiber id (0: outside fibers)
    bool tearingDown_ = false;
};

ObjectTable& objects();

// Makes framework calls on the running fiber count as made by `object`'s driver (WdfGetDriver, default
// parents) until the scope ends. Platform code entering a driver outside invokeCallback uses it.
class DriverScope {
public:
    explicit DriverScope(const Object* object);
    ~DriverScope();
    DriverScope(const DriverScope&) = delete;
    DriverScope& operator=(const DriverScope&) = delete;

private:
    ObjectTable& table_;
    uint64_t key_;
    bool pushed_ = false;
};

// Typed resolution: `auto* t = resolve<Timer>(handle, "WdfTimerStart");` (T declares `kType`).
template <class T>
T* resolve(const void* handle, const char* routine, bool allowCleanedUp = false) {
    return static_cast<T*>(objects().resolve(static_cast<WDFOBJECT>(const_cast<void*>(handle)), T::kType,
                                             routine, allowCleanedUp));
}

// Checks a driver's object attributes (size, level and scope values, context size); reports and returns
// STATUS_INVALID_PARAMETER when they are malformed.
NTSTATUS checkAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine);

// Checks the attributes (size, level and scope values, context size) and picks the parent: the one the
// attributes name, else `defaultParent`, else the calling driver (nullptr when there is none). A parent
// whose deletion has begun refuses children (STATUS_DELETE_PENDING).
NTSTATUS prepareCreate(const WDF_OBJECT_ATTRIBUTES* attributes, Object* defaultParent, const char* routine,
                       Object** parent);

// Creates a T (constructor (Object* parent, Args...)) with the driver's attributes: the parent from the
// attributes or `defaultParent` (or the calling driver), contexts and callbacks applied. On failure returns
// the status and frees.
template <class T, class... Args>
NTSTATUS create(const WDF_OBJECT_ATTRIBUTES* attributes, Object* defaultParent, const char* routine, T** out,
                Args&&... args) {
    Object* parent = nullptr;
    NTSTATUS status = prepareCreate(attributes, defaultParent, routine, &parent);
    if (!NT_SUCCESS(status))
        return status;
    T* object = new T(parent, std::forward<Args>(args)...);
    status = object->applyAttributes(attributes);
    if (NT_SUCCESS(status))
        status = object->onCreated();
    if (!NT_SUCCESS(status)) {
        Object::discardUnpublished(object);
        return status;
    }
    *out = object;
    return STATUS_SUCCESS;
}

void reportViolation(std::string_view rule, const Object* object, const char* routine,
                     std::string detail = {});
// A framework call's preemption point and passive-level check ("passive-level-only").
void enterCall(const char* routine, bool passiveOnly = false);

// The bookkeeping around one driver callback (see invokeCallback). It keeps the object's type and handle
// rather than the object, because a callback may delete its own object (a work item may).
class CallbackFrame {
public:
    CallbackFrame(const Object* object, const char* callbackName);
    ~CallbackFrame();
    CallbackFrame(const CallbackFrame&) = delete;
    CallbackFrame& operator=(const CallbackFrame&) = delete;

private:
    ObjectType type_;
    const void* handle_;
    const char* name_;
    sim::Fiber* fiber_;
    sim::Irql irql_;
    std::vector<sim::Lock*> heldAtEntry_;
    int uncaught_; // a machine shutting down unwinds fibers by exception: no checks then
    DriverScope scope_;
};

// Runs a driver callback on behalf of `object`: afterwards no lock the callback took may still be held, and
// the IRQL must be what it was (reported as lock-held-on-return / irql-misuse). Framework calls the
// callback makes count as made by the object's driver.
template <class F>
void invokeCallback(const Object* object, const char* callbackName, F&& f) {
    CallbackFrame frame(object, callbackName);
    std::forward<F>(f)();
}

} // namespace zv::wdf

#endif // ZV_WDF_OBJECT_H
