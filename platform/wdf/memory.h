// Memory objects (WDFMEMORY). A buffer the framework allocates is owned by the object and freed with it
// (after the last reference, so a request still formatted with it keeps it valid); it is filled with 0xCD
// rather than zeroed, as pool memory is not zeroed, so that a driver reading what it never wrote sees an
// obvious pattern. A preallocated buffer belongs to the driver and is only lent.
#ifndef ZV_WDF_MEMORY_H
#define ZV_WDF_MEMORY_H

#include "platform/wdf/object.h"

#include <memory>
#include <vector>

namespace zv::wdf {

inline constexpr uint8_t kFreshMemoryFill = 0xCD;

class Memory : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Memory;
    // Owned buffer of `size` bytes (size > 0); creation fails with STATUS_INSUFFICIENT_RESOURCES when the
    // allocation does.
    Memory(Object* parent, POOL_TYPE pool, ULONG tag, size_t size);
    // Lent buffer.
    Memory(Object* parent, void* buffer, size_t size);

    void* buffer() const { return buffer_; }
    size_t size() const { return size_; }
    POOL_TYPE poolType() const { return pool_; }
    ULONG poolTag() const { return tag_; }
    bool preallocated() const { return !ownsBuffer_; }
    // Lends another buffer (preallocated objects only).
    void assign(void* buffer, size_t size);

    // Bounds-checked copies: STATUS_INVALID_BUFFER_SIZE when `offset` lies past the end,
    // STATUS_BUFFER_TOO_SMALL when `offset + count` does.
    NTSTATUS copyOut(size_t offset, void* to, size_t count) const;
    NTSTATUS copyIn(size_t offset, const void* from, size_t count);

    NTSTATUS onCreated() override;

private:
    NTSTATUS checkRange(size_t offset, size_t count) const;

    bool ownsBuffer_;
    std::unique_ptr<uint8_t[]> owned_;
    void* buffer_;
    size_t size_;
    POOL_TYPE pool_;
    ULONG tag_;
};

// A live memory object as tests see the pool.
struct Allocation {
    WDFMEMORY handle;
    POOL_TYPE pool;
    ULONG tag;
    size_t size;
    bool preallocated;
};
// Every live memory object of the current machine, oldest first.
std::vector<Allocation> liveAllocations();

// The pool tag whose bytes in memory spell a, b, c, d (the order pool tools display).
constexpr ULONG poolTag(char a, char b, char c, char d) {
    return static_cast<ULONG>(static_cast<uint8_t>(a)) | static_cast<ULONG>(static_cast<uint8_t>(b)) << 8 |
           static_cast<ULONG>(static_cast<uint8_t>(c)) << 16 |
           static_cast<ULONG>(static_cast<uint8_t>(d)) << 24;
}

// The part of a memory object (or of a driver's own buffer) a request is formatted with.
struct MemorySpan {
    Memory* memory = nullptr;
    void* data = nullptr;
    size_t offset = 0;
    size_t length = 0;
};
// The part of a memory object an offset record names; STATUS_INVALID_BUFFER_SIZE (reported) when it lies
// outside. A NULL handle is an empty span.
NTSTATUS memorySpanOf(WDFMEMORY handle, const WDFMEMORY_OFFSET* offsets, const char* routine,
                      MemorySpan* out);
// The same for a memory descriptor (a buffer or a memory object); other kinds are refused with
// STATUS_NOT_SUPPORTED.
NTSTATUS memorySpanOfDescriptor(const WDF_MEMORY_DESCRIPTOR* descriptor, const char* routine,
                                MemorySpan* out);

} // namespace zv::wdf

#endif // ZV_WDF_MEMORY_H
