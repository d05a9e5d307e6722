// The object layer: lifetime (references, deletion of a subtree, cleanup and destroy callbacks), typed
// contexts, the per-machine handle table, the bookkeeping around driver callbacks, and the WdfObject*
// entry points.
#include "platform/wdf/object.h"

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <exception>
#include <new>

namespace zv::wdf {

const char* typeName(ObjectType type) {
    switch (type) {
        case ObjectType::Object:
            return "WDFOBJECT";
        case ObjectType::Driver:
            return "WDFDRIVER";
        case ObjectType::Device:
            return "WDFDEVICE";
        case ObjectType::Memory:
            return "WDFMEMORY";
        case ObjectType::Collection:
            return "WDFCOLLECTION";
        case ObjectType::String:
            return "WDFSTRING";
        case ObjectType::Key:
            return "WDFKEY";
        case ObjectType::SpinLock:
            return "WDFSPINLOCK";
        case ObjectType::WaitLock:
            return "WDFWAITLOCK";
        case ObjectType::Timer:
            return "WDFTIMER";
        case ObjectType::WorkItem:
            return "WDFWORKITEM";
        case ObjectType::Queue:
            return "WDFQUEUE";
        case ObjectType::Request:
            return "WDFREQUEST";
        case ObjectType::IoTarget:
            return "WDFIOTARGET";
        case ObjectType::UsbDevice:
            return "WDFUSBDEVICE";
        case ObjectType::UsbInterface:
            return "WDFUSBINTERFACE";
        case ObjectType::UsbPipe:
            return "WDFUSBPIPE";
        case ObjectType::ChildList:
            return "WDFCHILDLIST";
        case ObjectType::FileObject:
            return "WDFFILEOBJECT";
        case ObjectType::WmiInstance:
            return "WDFWMIINSTANCE";
        case ObjectType::WmiProvider:
            return "WDFWMIPROVIDER";
        case ObjectType::Dpc:
            return "WDFDPC";
    }
    return "WDF?";
}

bool isKindOf(ObjectType actual, ObjectType expected) {
    if (actual == expected || expected == ObjectType::Object)
        return true;
    // The USB targets are I/O targets: WdfUsbTargetDeviceGetIoTarget and WdfUsbTargetPipeGetIoTarget hand
    // out the same handle.
    return expected == ObjectType::IoTarget &&
           (actual == ObjectType::UsbDevice || actual == ObjectType::UsbPipe);
}

std::string describeHandle(ObjectType type, const void* handle) {
    char text[64];
    std::snprintf(text, sizeof text, "%s 0x%016" PRIxPTR, typeName(type),
                  reinterpret_cast<uintptr_t>(handle));
    return text;
}

ObjectTable& objects() {
    return sim::Scheduler::current()->service<ObjectTable>();
}

void reportViolation(std::string_view rule, const Object* object, const char* routine, std::string detail) {
    sim::Scheduler::current()->verifier().report(rule, object != nullptr ? object->describe() : std::string(),
                                                 routine != nullptr ? routine : "", std::move(detail));
}

void enterCall(const char* routine, bool passiveOnly) {
    sim::Scheduler* scheduler = sim::Scheduler::current();
    if (passiveOnly && scheduler->irql() != sim::Irql::Passive)
        scheduler->verifier().report(sim::rule::kPassiveOnly, std::string(), routine,
                                     std::string("called at ") + sim::irqlName(scheduler->irql()));
    scheduler->preempt();
}

// ---- Object ----

Object::Object(ObjectType type, Object* parent) : type_(type), parent_(parent), table_(&objects()) {
    handle_ = table_->add(this);
    if (parent_ != nullptr) {
        // A child keeps its parent alive, so a parent's destroy callback comes after its children's and a
        // child's destroy callback may still read the parent's context.
        parent_->children_.push_back(this);
        ++parent_->references_;
    }
}

Object::~Object() {
    if (table_->tearingDown())
        return;
    table_->retire(this);
    if (parent_ != nullptr) {
        auto& siblings = parent_->children_;
        siblings.erase(std::find(siblings.begin(), siblings.end(), this));
    }
}

std::string Object::describe() const {
    return describeHandle(type_, handle_);
}

Object* Object::root() const {
    const Object* o = this;
    while (o->parent_ != nullptr)
        o = o->parent_;
    return const_cast<Object*>(o);
}

NTSTATUS checkAttributes(const WDF_OBJECT_ATTRIBUTES* attributes, const char* routine) {
    if (attributes == nullptr)
        return STATUS_SUCCESS;
    auto bad = [&](const char* detail) {
        reportViolation(rule::kBadParameter, nullptr, routine, detail);
        return STATUS_INVALID_PARAMETER;
    };
    if (attributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES))
        return bad("the object attributes were not initialised with WDF_OBJECT_ATTRIBUTES_INIT");
    if (attributes->ExecutionLevel < WdfExecutionLevelInheritFromParent ||
        attributes->ExecutionLevel > WdfExecutionLevelDispatch)
        return bad("the attributes' execution level is not a valid WDF_EXECUTION_LEVEL");
    if (attributes->SynchronizationScope < WdfSynchronizationScopeInheritFromParent ||
        attributes->SynchronizationScope > WdfSynchronizationScopeNone)
        return bad("the attributes' synchronization scope is not a valid WDF_SYNCHRONIZATION_SCOPE");
    if (attributes->ContextSizeOverride != 0) {
        if (attributes->ContextTypeInfo == nullptr)
            return bad("a context size override needs a context type");
        if (attributes->ContextSizeOverride < attributes->ContextTypeInfo->ContextSize)
            return bad("the context size override is smaller than the context type");
    }
    return STATUS_SUCCESS;
}

namespace {

PCWDF_OBJECT_CONTEXT_TYPE_INFO uniqueType(PCWDF_OBJECT_CONTEXT_TYPE_INFO info) {
    return info->UniqueType != nullptr ? info->UniqueType : info;
}

} // namespace

NTSTATUS prepareCreate(const WDF_OBJECT_ATTRIBUTES* attributes, Object* defaultParent, const char* routine,
                       Object** parent) {
    NTSTATUS status = checkAttributes(attributes, routine);
    if (!NT_SUCCESS(status))
        return status;
    Object* chosen = defaultParent;
    if (attributes != nullptr && attributes->ParentObject != nullptr) {
        chosen = objects().resolve(attributes->ParentObject, ObjectType::Object, routine);
        if (chosen == nullptr)
            return STATUS_INVALID_HANDLE;
    }
    if (chosen == nullptr)
        chosen = objects().callingDriver();
    if (chosen != nullptr && chosen->deleting())
        return STATUS_DELETE_PENDING;
    *parent = chosen;
    return STATUS_SUCCESS;
}

NTSTATUS Object::applyAttributes(const WDF_OBJECT_ATTRIBUTES* attributes) {
    if (attributes == nullptr)
        return STATUS_SUCCESS;
    executionLevel_ = attributes->ExecutionLevel;
    synchronizationScope_ = attributes->SynchronizationScope;
    if (attributes->ContextTypeInfo == nullptr && attributes->EvtCleanupCallback == nullptr &&
        attributes->EvtDestroyCallback == nullptr)
        return STATUS_SUCCESS;
    return addContext(attributes);
}

NTSTATUS Object::addContext(const WDF_OBJECT_ATTRIBUTES* attributes) {
    Context c{nullptr, nullptr, attributes->EvtCleanupCallback, attributes->EvtDestroyCallback};
    if (attributes->ContextTypeInfo != nullptr) {
        c.info = uniqueType(attributes->ContextTypeInfo);
        size_t size = std::max(attributes->ContextSizeOverride, c.info->ContextSize);
        // Zero-filled, and at least one byte so that a context of an empty record still has an address.
        c.bytes.reset(new (std::nothrow) uint8_t[std::max<size_t>(size, 1)]());
        if (c.bytes == nullptr)
            return STATUS_INSUFFICIENT_RESOURCES;
    }
    contexts_.push_back(std::move(c));
    return STATUS_SUCCESS;
}

void* Object::context(PCWDF_OBJECT_CONTEXT_TYPE_INFO info) const {
    if (info == nullptr)
        return nullptr;
    PCWDF_OBJECT_CONTEXT_TYPE_INFO wanted = uniqueType(info);
    for (const Context& c : contexts_)
        if (c.info == wanted)
            return c.bytes.get();
    return nullptr;
}

WDF_EXECUTION_LEVEL Object::effectiveExecutionLevel() const {
    for (const Object* o = this; o != nullptr; o = o->parent_)
        if (o->executionLevel_ != WdfExecutionLevelInheritFromParent)
            return o->executionLevel_;
    return WdfExecutionLevelDispatch; // the driver object's level
}

WDF_SYNCHRONIZATION_SCOPE Object::effectiveSynchronizationScope() const {
    for (const Object* o = this; o != nullptr; o = o->parent_)
        if (o->synchronizationScope_ != WdfSynchronizationScopeInheritFromParent)
            return o->synchronizationScope_;
    return WdfSynchronizationScopeNone;
}

void Object::reference(const void* tag) {
    ++references_;
    if (tag != nullptr)
        ++tags_[tag];
}

void Object::dereference(const void* tag) {
    if (tag != nullptr) {
        auto it = tags_.find(tag);
        if (it == tags_.end()) {
            char text[80];
            std::snprintf(text, sizeof text, "no reference is held with tag %p", tag);
            reportViolation(rule::kReferenceTag, this, "WdfObjectDereference", text);
            return;
        }
        if (--it->second == 0)
            tags_.erase(it);
    }
    if (references_ == 1 && !creationReferenceDropped_) {
        reportViolation(rule::kReferenceUnderflow, this, "WdfObjectDereference",
                        "more dereferences than references; only deletion drops the creation reference");
        return;
    }
    drop();
}

void Object::drop() {
    if (--references_ == 0)
        release();
}

void Object::collectForDeletion(std::vector<Object*>& order) {
    deleting_ = true;
    // Newest child first, as destructors unwind: an object made later may depend on an earlier sibling.
    std::vector<Object*> children = children_;
    for (auto it = children.rbegin(); it != children.rend(); ++it)
        if (!(*it)->deleting_)
            (*it)->collectForDeletion(order);
    order.push_back(this);
}

void Object::deleteTree() {
    if (deleting_)
        return;
    std::vector<Object*> order; // children before parents
    collectForDeletion(order);
    // Every object of the subtree holds its creation reference until all cleanups are done, so none of
    // them can be freed while a cleanup callback may still look at it.
    for (Object* o : order)
        o->runCleanup();
    for (Object* o : order) {
        if (!o->creationReferenceDropped_) {
            o->creationReferenceDropped_ = true;
            o->drop();
        }
    }
}

void Object::runCleanup() {
    onCleanup();
    for (const Context& c : contexts_)
        if (c.cleanup != nullptr)
            invokeCallback(this, "EvtCleanupCallback", [&] { c.cleanup(handle_); });
    cleanedUp_ = true;
}

void Object::release() {
    destroyed_ = true;
    for (const Context& c : contexts_)
        if (c.destroy != nullptr)
            invokeCallback(this, "EvtDestroyCallback", [&] { c.destroy(handle_); });
    Object* parent = parent_;
    delete this;
    if (parent != nullptr)
        parent->drop();
}

void Object::discardUnpublished(Object* object) {
    while (!object->children_.empty())
        discardUnpublished(object->children_.back());
    Object* parent = object->parent_;
    delete object;
    if (parent != nullptr)
        parent->drop();
}

// ---- ObjectTable ----

ObjectTable::~ObjectTable() {
    tearingDown_ = true;
    std::vector<Object*> remaining;
    remaining.reserve(entries_.size());
    for (auto& [handle, entry] : entries_)
        remaining.push_back(entry.object);
    entries_.clear();
    for (Object* o : remaining)
        delete o;
}

WDFOBJECT ObjectTable::add(Object* object) {
    uintptr_t handle = next_;
    next_ += kHandleStride;
    issuedTypes_.push_back(static_cast<uint8_t>(object->type()));
    entries_.emplace(handle, Entry{object, object->type()});
    return reinterpret_cast<WDFOBJECT>(handle);
}

void ObjectTable::retire(Object* object) {
    entries_.erase(reinterpret_cast<uintptr_t>(object->handle()));
}

Object* ObjectTable::resolve(WDFOBJECT handle, ObjectType expected, const char* routine,
                             bool allowCleanedUp) {
    auto value = reinterpret_cast<uintptr_t>(handle);
    sim::VerifierLog& log = scheduler_.verifier();
    if (value == 0) {
        log.report(rule::kInvalidHandle, describeHandle(expected, handle), routine, "NULL handle");
        return nullptr;
    }
    auto it = entries_.find(value);
    if (it == entries_.end()) {
        bool issued = value >= kFirstHandle && value < next_ && (value - kFirstHandle) % kHandleStride == 0;
        if (issued) {
            auto type = static_cast<ObjectType>(issuedTypes_[(value - kFirstHandle) / kHandleStride]);
            log.report(rule::kDeletedObject, describeHandle(type, handle), routine,
                       "the object no longer exists");
        } else {
            log.report(rule::kInvalidHandle, describeHandle(expected, handle), routine,
                       "not a handle the framework gave out");
        }
        return nullptr;
    }
    Object* object = it->second.object;
    if (!isKindOf(object->type(), expected)) {
        log.report(rule::kWrongHandleType, object->describe(), routine,
                   std::string("expected a ") + typeName(expected));
        return nullptr;
    }
    if (object->cleanedUp() && !allowCleanedUp) {
        log.report(rule::kDeletedObject, object->describe(), routine,
                   "the object was deleted (only references hold it)");
        return nullptr;
    }
    return object;
}

Object* ObjectTable::find(WDFOBJECT handle) const {
    auto it = entries_.find(reinterpret_cast<uintptr_t>(handle));
    return it != entries_.end() ? it->second.object : nullptr;
}

std::vector<Object*> ObjectTable::live() const {
    std::vector<std::pair<uintptr_t, Object*>> byHandle;
    byHandle.reserve(entries_.size());
    for (const auto& [handle, entry] : entries_)
        byHandle.emplace_back(handle, entry.object);
    std::sort(byHandle.begin(), byHandle.end());
    std::vector<Object*> result;
    result.reserve(byHandle.size());
    for (const auto& [handle, object] : byHandle)
        result.push_back(object);
    return result;
}

uint64_t ObjectTable::fiberKey() const {
    sim::Fiber* fiber = scheduler_.currentFiber();
    return fiber != nullptr ? fiber->id() : 0;
}

Object* ObjectTable::callingDriver() const {
    auto it = driverStacks_.find(fiberKey());
    if (it != driverStacks_.end() && !it->second.empty())
        return it->second.back();
    Object* only = nullptr;
    for (Object* driver : drivers_) {
        if (driver->deleting())
            continue;
        if (only != nullptr)
            return nullptr;
        only = driver;
    }
    return only;
}

// ---- Driver scopes and callback frames ----

DriverScope::DriverScope(const Object* object) : table_(objects()), key_(table_.fiberKey()) {
    Object* driver = object != nullptr ? object->root() : nullptr;
    if (driver != nullptr && driver->type() == ObjectType::Driver) {
        table_.driverStacks_[key_].push_back(driver);
        pushed_ = true;
    }
}

DriverScope::~DriverScope() {
    if (!pushed_)
        return;
    auto it = table_.driverStacks_.find(key_);
    it->second.pop_back();
    if (it->second.empty())
        table_.driverStacks_.erase(it);
}

CallbackFrame::CallbackFrame(const Object* object, const char* callbackName)
    : type_(object != nullptr ? object->type() : ObjectType::Object),
      handle_(object != nullptr ? object->handle() : nullptr), name_(callbackName),
      fiber_(sim::Scheduler::current()->currentFiber()), irql_(sim::Scheduler::current()->irql()),
      uncaught_(std::uncaught_exceptions()), scope_(object) {
    if (fiber_ != nullptr)
        heldAtEntry_ = fiber_->heldLocks();
}

CallbackFrame::~CallbackFrame() {
    if (std::uncaught_exceptions() > uncaught_)
        return;
    sim::Scheduler* scheduler = sim::Scheduler::current();
    std::string object = handle_ != nullptr ? describeHandle(type_, handle_) : std::string();
    std::string still;
    if (fiber_ != nullptr) {
        for (sim::Lock* lock : fiber_->heldLocks()) {
            if (std::find(heldAtEntry_.begin(), heldAtEntry_.end(), lock) != heldAtEntry_.end())
                continue;
            if (!still.empty())
                still += ", ";
            still += lock->name();
        }
    }
    if (!still.empty()) {
        scheduler->verifier().report(sim::rule::kLockHeldOnReturn, object, name_,
                                     "returned holding " + still);
    } else if (scheduler->irql() != irql_) {
        scheduler->verifier().report(sim::rule::kIrqlMisuse, object, name_,
                                     std::string("entered at ") + sim::irqlName(irql_) + ", returned at " +
                                         sim::irqlName(scheduler->irql()));
    }
}

} // namespace zv::wdf

// ---- Entry points ----

using namespace zv::wdf;

namespace {

// What WdfObjectCreate makes: an object with nothing but a parent, contexts and callbacks.
class PlainObject final : public zv::wdf::Object {
public:
    static constexpr ObjectType kType = ObjectType::Object;
    explicit PlainObject(zv::wdf::Object* parent) : Object(kType, parent) {}
};

} // namespace

EXTERN_C NTSTATUS WdfObjectCreate(PWDF_OBJECT_ATTRIBUTES Attributes, WDFOBJECT* Object) {
    constexpr const char* routine = "WdfObjectCreate";
    enterCall(routine);
    if (Object == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Object = nullptr;
    PlainObject* object = nullptr;
    NTSTATUS status = create<PlainObject>(Attributes, nullptr, routine, &object);
    if (NT_SUCCESS(status))
        *Object = object->handle();
    return status;
}

EXTERN_C VOID WdfObjectDelete(WDFOBJECT Object) {
    constexpr const char* routine = "WdfObjectDelete";
    enterCall(routine);
    zv::wdf::Object* object = objects().resolve(Object, ObjectType::Object, routine);
    if (object == nullptr)
        return;
    if (!object->driverDeletable()) {
        reportViolation(rule::kNotDeletable, object, routine, "the framework owns this object's lifetime");
        return;
    }
    object->deleteTree();
}

EXTERN_C VOID WdfObjectReferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File) {
    (void)Line;
    (void)File;
    enterCall("WdfObjectReference");
    if (zv::wdf::Object* object = objects().resolve(Handle, ObjectType::Object, "WdfObjectReference", true))
        object->reference(Tag);
}

EXTERN_C VOID WdfObjectDereferenceActual(WDFOBJECT Handle, PVOID Tag, LONG Line, PCSTR File) {
    (void)Line;
    (void)File;
    enterCall("WdfObjectDereference");
    if (zv::wdf::Object* object = objects().resolve(Handle, ObjectType::Object, "WdfObjectDereference", true))
        object->dereference(Tag);
}

EXTERN_C NTSTATUS WdfObjectAllocateContext(WDFOBJECT Handle, PWDF_OBJECT_ATTRIBUTES ContextAttributes,
                                           PVOID* Context) {
    constexpr const char* routine = "WdfObjectAllocateContext";
    enterCall(routine);
    zv::wdf::Object* object = objects().resolve(Handle, ObjectType::Object, routine);
    if (object == nullptr)
        return STATUS_INVALID_HANDLE;
    if (ContextAttributes == nullptr || ContextAttributes->Size != sizeof(WDF_OBJECT_ATTRIBUTES) ||
        ContextAttributes->ContextTypeInfo == nullptr) {
        reportViolation(rule::kBadParameter, object, routine,
                        "the attributes must be initialised and name a context type");
        return STATUS_INVALID_PARAMETER;
    }
    if (ContextAttributes->ParentObject != nullptr) {
        reportViolation(rule::kBadParameter, object, routine, "a context's attributes cannot name a parent");
        return STATUS_INVALID_PARAMETER;
    }
    if (ContextAttributes->ContextSizeOverride != 0 &&
        ContextAttributes->ContextSizeOverride < ContextAttributes->ContextTypeInfo->ContextSize) {
        reportViolation(rule::kBadParameter, object, routine,
                        "the context size override is smaller than the context type");
        return STATUS_INVALID_PARAMETER;
    }
    if (object->deleting())
        return STATUS_DELETE_PENDING;
    if (void* existing = object->context(ContextAttributes->ContextTypeInfo)) {
        if (Context != nullptr)
            *Context = existing;
        return STATUS_OBJECT_NAME_EXISTS;
    }
    NTSTATUS status = object->addContext(ContextAttributes);
    if (NT_SUCCESS(status) && Context != nullptr)
        *Context = object->context(ContextAttributes->ContextTypeInfo);
    return status;
}

EXTERN_C PVOID WdfObjectGetTypedContextWorker(WDFOBJECT Handle, PCWDF_OBJECT_CONTEXT_TYPE_INFO TypeInfo) {
    constexpr const char* routine = "WdfObjectGetTypedContextWorker";
    enterCall(routine);
    // A context stays readable until the object is freed: destroy callbacks read it after cleanup.
    zv::wdf::Object* object = objects().resolve(Handle, ObjectType::Object, routine, true);
    if (object == nullptr)
        return nullptr;
    if (TypeInfo == nullptr) {
        reportViolation(rule::kBadParameter, object, routine, "NULL context type");
        return nullptr;
    }
    void* context = object->context(TypeInfo);
    if (context == nullptr)
        reportViolation(rule::kContextMismatch, object, routine,
                        std::string("the object has no context of type ") +
                            (TypeInfo->ContextName != nullptr ? TypeInfo->ContextName : "(unnamed)"));
    return context;
}
