// Private to the scheduler: fiber stacks and the machine-level switch between execution contexts, with the
// AddressSanitizer annotations that tell it which stack is live.
//
// On x86-64 the switch is a few instructions of our own that save the callee-saved registers and swap stack
// pointers: swapcontext() makes a system call per switch (for the signal mask, which the simulation never
// changes) and is intercepted by AddressSanitizer with a warning. Elsewhere ucontext does the job.
#ifndef ZV_SIM_CONTEXT_H
#define ZV_SIM_CONTEXT_H

#include <cstddef>
#include <vector>

// ZV_SIM_UCONTEXT forces the portable switch on x86-64 too, to test it.
#if defined(__x86_64__) && !defined(ZV_SIM_UCONTEXT)
#define ZV_SIM_OWN_SWITCH 1
#else
#include <ucontext.h>
#endif

namespace zv::sim::detail {

// A fiber stack: anonymous memory with an inaccessible guard page below it, so an overflow faults at once
// instead of overwriting a neighbour.
class Stack {
public:
    Stack() = default;
    explicit Stack(size_t bytes);
    ~Stack();
    Stack(Stack&& other) noexcept;
    Stack& operator=(Stack&& other) noexcept;

    void* bottom() const { return bottom_; } // lowest usable address
    size_t size() const { return size_; }
    explicit operator bool() const { return bottom_ != nullptr; }

private:
    void release();
    void* mapping_ = nullptr;
    size_t mappingBytes_ = 0;
    void* bottom_ = nullptr;
    size_t size_ = 0;
};

// Keeps stacks of finished fibers for the next ones: a DPC per timer expiry would otherwise map and unmap a
// stack each time.
class StackPool {
public:
    explicit StackPool(size_t stackBytes) : stackBytes_(stackBytes) {}
    Stack take();
    void give(Stack stack);

private:
    static constexpr size_t kKept = 32;
    size_t stackBytes_;
    std::vector<Stack> free_;
};

class Context {
public:
    // Makes this a context that, when first switched to, calls entry(arg) on `stack`. entry never returns.
    void prepare(const Stack& stack, void (*entry)(void*), void* arg);
    // Saves the running context in *this and continues `to`.
    void switchTo(Context& to);

private:
#if defined(ZV_SIM_OWN_SWITCH)
    void* sp_ = nullptr;
#else
    ucontext_t uc_{};
#endif
};

// The sanitizer's fiber protocol: start before a switch (fakeStackSave null when the current stack is
// leaving for good), finish right after arriving (reports the stack we came from).
void startSwitch(void** fakeStackSave, const void* bottom, size_t size);
void finishSwitch(void* fakeStackSave, const void** oldBottom, size_t* oldSize);
// Clears stale poisoning that unwound frames may leave on a stack before it is reused or unmapped.
void unpoison(void* bottom, size_t size);

} // namespace zv::sim::detail

#endif // ZV_SIM_CONTEXT_H
