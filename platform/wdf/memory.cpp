// Memory objects and their entry points.
#include "platform/wdf/memory.h"

#include "platform/wdf/driver.h"

#include <cstring>
#include <new>

namespace zv::wdf {

namespace {

// Larger requests fail as the pool would, instead of exhausting the process.
constexpr size_t kMaxAllocation = size_t{1} << 31;

bool pagedPool(POOL_TYPE pool) {
    return (static_cast<int>(pool) & 1) != 0;
}

} // namespace

Memory::Memory(Object* parent, POOL_TYPE pool, ULONG tag, size_t size)
    : Object(kType, parent), ownsBuffer_(true),
      owned_(size <= kMaxAllocation ? new (std::nothrow) uint8_t[size] : nullptr), buffer_(owned_.get()),
      size_(owned_ != nullptr ? size : 0), pool_(pool), tag_(tag) {
    if (owned_ != nullptr)
        std::memset(owned_.get(), kFreshMemoryFill, size);
}

Memory::Memory(Object* parent, void* buffer, size_t size)
    : Object(kType, parent), ownsBuffer_(false), buffer_(buffer), size_(size), pool_(NonPagedPool), tag_(0) {}

NTSTATUS Memory::onCreated() {
    return ownsBuffer_ && owned_ == nullptr ? STATUS_INSUFFICIENT_RESOURCES : STATUS_SUCCESS;
}

void Memory::assign(void* buffer, size_t size) {
    buffer_ = buffer;
    size_ = size;
}

NTSTATUS Memory::checkRange(size_t offset, size_t count) const {
    if (offset > size_ || (offset == size_ && count > 0))
        return STATUS_INVALID_BUFFER_SIZE;
    if (count > size_ - offset)
        return STATUS_BUFFER_TOO_SMALL;
    return STATUS_SUCCESS;
}

NTSTATUS Memory::copyOut(size_t offset, void* to, size_t count) const {
    NTSTATUS status = checkRange(offset, count);
    if (NT_SUCCESS(status) && count > 0)
        std::memmove(to, static_cast<const uint8_t*>(buffer_) + offset, count);
    return status;
}

NTSTATUS Memory::copyIn(size_t offset, const void* from, size_t count) {
    NTSTATUS status = checkRange(offset, count);
    if (NT_SUCCESS(status) && count > 0)
        std::memmove(static_cast<uint8_t*>(buffer_) + offset, from, count);
    return status;
}

std::vector<Allocation> liveAllocations() {
    std::vector<Allocation> result;
    for (Object* o : objects().live()) {
        if (o->type() != ObjectType::Memory)
            continue;
        auto* m = static_cast<Memory*>(o);
        result.push_back(
            {static_cast<WDFMEMORY>(m->handle()), m->poolType(), m->poolTag(), m->size(), m->preallocated()});
    }
    return result;
}

NTSTATUS memorySpanOf(WDFMEMORY handle, const WDFMEMORY_OFFSET* offsets, const char* routine,
                      MemorySpan* out) {
    *out = MemorySpan{};
    if (handle == nullptr)
        return STATUS_SUCCESS;
    auto* memory = resolve<Memory>(handle, routine);
    if (memory == nullptr)
        return STATUS_INVALID_HANDLE;
    size_t offset = offsets != nullptr ? offsets->BufferOffset : 0;
    size_t length =
        offsets != nullptr && offsets->BufferLength != 0 ? offsets->BufferLength : memory->size() - offset;
    if (offset > memory->size() || length > memory->size() - offset) {
        reportViolation(rule::kBadParameter, memory, routine, "the offsets lie outside the memory");
        return STATUS_INVALID_BUFFER_SIZE;
    }
    *out = MemorySpan{memory, static_cast<uint8_t*>(memory->buffer()) + offset, offset, length};
    return STATUS_SUCCESS;
}

NTSTATUS memorySpanOfDescriptor(const WDF_MEMORY_DESCRIPTOR* descriptor, const char* routine,
                                MemorySpan* out) {
    *out = MemorySpan{};
    if (descriptor == nullptr)
        return STATUS_SUCCESS;
    switch (descriptor->Type) {
        case WdfMemoryDescriptorTypeBuffer:
            out->data = descriptor->u.BufferType.Buffer;
            out->length = descriptor->u.BufferType.Length;
            return STATUS_SUCCESS;
        case WdfMemoryDescriptorTypeHandle:
            return memorySpanOf(descriptor->u.HandleType.Memory, descriptor->u.HandleType.Offsets, routine,
                                out);
        default:
            reportViolation(rule::kBadParameter, nullptr, routine,
                            "only buffer and memory descriptors are offered");
            return STATUS_NOT_SUPPORTED;
    }
}

} // namespace zv::wdf

using namespace zv::wdf;

EXTERN_C NTSTATUS WdfMemoryCreate(PWDF_OBJECT_ATTRIBUTES Attributes, POOL_TYPE PoolType, ULONG PoolTag,
                                  size_t BufferSize, WDFMEMORY* Memory, PVOID* Buffer) {
    constexpr const char* routine = "WdfMemoryCreate";
    enterCall(routine);
    if (Memory == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    if (Buffer != nullptr)
        *Buffer = nullptr;
    if (BufferSize == 0) {
        reportViolation(rule::kBadParameter, nullptr, routine, "a buffer size of 0");
        return STATUS_INVALID_PARAMETER;
    }
    if (pagedPool(PoolType) && zv::sim::Scheduler::current()->irql() >= zv::sim::Irql::Dispatch)
        reportViolation(zv::sim::rule::kPassiveOnly, nullptr, routine,
                        "paged pool allocated at DISPATCH_LEVEL");
    Object* parent = nullptr;
    NTSTATUS status = prepareCreate(Attributes, nullptr, routine, &parent);
    if (!NT_SUCCESS(status))
        return status;
    if (PoolTag == 0) {
        Object* root = parent != nullptr ? parent->root() : nullptr;
        PoolTag = root != nullptr && root->type() == ObjectType::Driver
                      ? static_cast<Driver*>(root)->poolTag()
                      : Driver::kFallbackPoolTag;
    }
    zv::wdf::Memory* memory = nullptr;
    status = create<zv::wdf::Memory>(Attributes, parent, routine, &memory, PoolType, PoolTag, BufferSize);
    if (!NT_SUCCESS(status))
        return status;
    *Memory = static_cast<WDFMEMORY>(memory->handle());
    if (Buffer != nullptr)
        *Buffer = memory->buffer();
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfMemoryCreatePreallocated(PWDF_OBJECT_ATTRIBUTES Attributes, PVOID Buffer,
                                              size_t BufferSize, WDFMEMORY* Memory) {
    constexpr const char* routine = "WdfMemoryCreatePreallocated";
    enterCall(routine);
    if (Memory == nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "the output handle pointer is NULL");
        return STATUS_INVALID_PARAMETER;
    }
    *Memory = nullptr;
    if (Buffer == nullptr || BufferSize == 0) {
        reportViolation(rule::kBadParameter, nullptr, routine, "a NULL buffer or a size of 0");
        return STATUS_INVALID_PARAMETER;
    }
    zv::wdf::Memory* memory = nullptr;
    NTSTATUS status = create<zv::wdf::Memory>(Attributes, nullptr, routine, &memory, Buffer, BufferSize);
    if (NT_SUCCESS(status))
        *Memory = static_cast<WDFMEMORY>(memory->handle());
    return status;
}

EXTERN_C NTSTATUS WdfMemoryAssignBuffer(WDFMEMORY Memory, PVOID Buffer, size_t BufferSize) {
    constexpr const char* routine = "WdfMemoryAssignBuffer";
    enterCall(routine);
    auto* memory = resolve<zv::wdf::Memory>(Memory, routine);
    if (memory == nullptr)
        return STATUS_INVALID_HANDLE;
    if (!memory->preallocated()) {
        reportViolation(rule::kBadParameter, memory, routine, "the object owns its buffer");
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    if (Buffer == nullptr || BufferSize == 0) {
        reportViolation(rule::kBadParameter, memory, routine, "a NULL buffer or a size of 0");
        return STATUS_INVALID_PARAMETER;
    }
    memory->assign(Buffer, BufferSize);
    return STATUS_SUCCESS;
}

EXTERN_C PVOID WdfMemoryGetBuffer(WDFMEMORY Memory, size_t* BufferSize) {
    constexpr const char* routine = "WdfMemoryGetBuffer";
    enterCall(routine);
    if (BufferSize != nullptr)
        *BufferSize = 0;
    auto* memory = resolve<zv::wdf::Memory>(Memory, routine);
    if (memory == nullptr)
        return nullptr;
    if (BufferSize != nullptr)
        *BufferSize = memory->size();
    return memory->buffer();
}

EXTERN_C NTSTATUS WdfMemoryCopyToBuffer(WDFMEMORY SourceMemory, size_t SourceOffset, PVOID Buffer,
                                        size_t NumBytesToCopyTo) {
    constexpr const char* routine = "WdfMemoryCopyToBuffer";
    enterCall(routine);
    auto* memory = resolve<zv::wdf::Memory>(SourceMemory, routine);
    if (memory == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Buffer == nullptr) {
        reportViolation(rule::kBadParameter, memory, routine, "NULL destination buffer");
        return STATUS_INVALID_PARAMETER;
    }
    return memory->copyOut(SourceOffset, Buffer, NumBytesToCopyTo);
}

EXTERN_C NTSTATUS WdfMemoryCopyFromBuffer(WDFMEMORY DestinationMemory, size_t DestinationOffset, PVOID Buffer,
                                          size_t NumBytesToCopyFrom) {
    constexpr const char* routine = "WdfMemoryCopyFromBuffer";
    enterCall(routine);
    auto* memory = resolve<zv::wdf::Memory>(DestinationMemory, routine);
    if (memory == nullptr)
        return STATUS_INVALID_HANDLE;
    if (Buffer == nullptr) {
        reportViolation(rule::kBadParameter, memory, routine, "NULL source buffer");
        return STATUS_INVALID_PARAMETER;
    }
    return memory->copyIn(DestinationOffset, Buffer, NumBytesToCopyFrom);
}
