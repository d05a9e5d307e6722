// Fiber stacks and context switches; see context.h.
#include "platform/sim/context.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <new>
#include <stdexcept>
#include <utility>

#if defined(__SANITIZE_ADDRESS__)
#define ZV_SIM_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define ZV_SIM_ASAN 1
#endif
#endif

#if defined(ZV_SIM_ASAN)
#include <sanitizer/asan_interface.h>
#include <sanitizer/common_interface_defs.h>
#endif

namespace zv::sim::detail {

namespace {

size_t pageSize() {
    return static_cast<size_t>(sysconf(_SC_PAGESIZE));
}

size_t roundUp(size_t n, size_t to) {
    return (n + to - 1) / to * to;
}

} // namespace

Stack::Stack(size_t bytes) {
    const size_t page = pageSize();
    size_ = roundUp(bytes < 16 * 1024 ? 16 * 1024 : bytes, page);
    mappingBytes_ = size_ + page;
    void* p =
        mmap(nullptr, mappingBytes_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_STACK, -1, 0);
    if (p == MAP_FAILED)
        throw std::bad_alloc();
    if (mprotect(p, page, PROT_NONE) != 0) {
        munmap(p, mappingBytes_);
        throw std::runtime_error("fiber stack: cannot protect the guard page");
    }
    mapping_ = p;
    bottom_ = static_cast<char*>(p) + page;
}

Stack::~Stack() {
    release();
}

Stack::Stack(Stack&& other) noexcept
    : mapping_(std::exchange(other.mapping_, nullptr)), mappingBytes_(std::exchange(other.mappingBytes_, 0)),
      bottom_(std::exchange(other.bottom_, nullptr)), size_(std::exchange(other.size_, 0)) {}

Stack& Stack::operator=(Stack&& other) noexcept {
    if (this != &other) {
        release();
        mapping_ = std::exchange(other.mapping_, nullptr);
        mappingBytes_ = std::exchange(other.mappingBytes_, 0);
        bottom_ = std::exchange(other.bottom_, nullptr);
        size_ = std::exchange(other.size_, 0);
    }
    return *this;
}

void Stack::release() {
    if (!mapping_)
        return;
    unpoison(bottom_, size_);
    munmap(mapping_, mappingBytes_);
    mapping_ = bottom_ = nullptr;
    mappingBytes_ = size_ = 0;
}

Stack StackPool::take() {
    if (free_.empty())
        return Stack(stackBytes_);
    Stack s = std::move(free_.back());
    free_.pop_back();
    return s;
}

void StackPool::give(Stack stack) {
    if (!stack)
        return;
    unpoison(stack.bottom(), stack.size());
    if (free_.size() < kKept)
        free_.push_back(std::move(stack));
}

#if defined(ZV_SIM_OWN_SWITCH)

// zv_sim_switch(void** save, void* to): pushes the callee-saved registers and the SSE and x87 control words
// (the ABI makes them callee-saved too), stores the stack pointer in *save, loads `to` and pops the same
// frame from it. A new context's frame is laid out by prepare() so that the final ret enters
// zv_sim_fiber_start with r12 = argument and r13 = entry.
asm(R"(
    .text
    .globl zv_sim_switch
    .hidden zv_sim_switch
    .type zv_sim_switch, @function
zv_sim_switch:
    .cfi_startproc
    pushq %rbp
    pushq %rbx
    pushq %r12
    pushq %r13
    pushq %r14
    pushq %r15
    subq $8, %rsp
    stmxcsr (%rsp)
    fnstcw 4(%rsp)
    movq %rsp, (%rdi)
    movq %rsi, %rsp
    ldmxcsr (%rsp)
    fldcw 4(%rsp)
    addq $8, %rsp
    popq %r15
    popq %r14
    popq %r13
    popq %r12
    popq %rbx
    popq %rbp
    ret
    .cfi_endproc
    .size zv_sim_switch, .-zv_sim_switch

    .globl zv_sim_fiber_start
    .hidden zv_sim_fiber_start
    .type zv_sim_fiber_start, @function
zv_sim_fiber_start:
    .cfi_startproc
    .cfi_undefined rip
    movq %r12, %rdi
    callq *%r13
    ud2
    .cfi_endproc
    .size zv_sim_fiber_start, .-zv_sim_fiber_start
)");

extern "C" void zv_sim_switch(void** save, void* to);
extern "C" void zv_sim_fiber_start();

void Context::prepare(const Stack& stack, void (*entry)(void*), void* arg) {
    // The top is 16-byte aligned, so that after the final ret of the switch the stack is aligned as the
    // ABI wants it before zv_sim_fiber_start's call.
    auto top = reinterpret_cast<uintptr_t>(stack.bottom()) + stack.size();
    top &= ~uintptr_t{15};
    top -= 16; // a zeroed gap above the first frame, for debuggers walking off the end
    auto* sp = reinterpret_cast<uint64_t*>(top);
    sp[0] = sp[1] = 0;
    *--sp = reinterpret_cast<uint64_t>(&zv_sim_fiber_start); // return address of the switch
    *--sp = 0;                                               // rbp: end of the frame-pointer chain
    *--sp = 0;                                               // rbx
    *--sp = reinterpret_cast<uint64_t>(arg);                 // r12
    *--sp = reinterpret_cast<uint64_t>(entry);               // r13
    *--sp = 0;                                               // r14
    *--sp = 0;                                               // r15
    uint32_t mxcsr = 0;
    uint16_t fpucw = 0;
    asm volatile("stmxcsr %0" : "=m"(mxcsr));
    asm volatile("fnstcw %0" : "=m"(fpucw));
    uint64_t controls = mxcsr | (static_cast<uint64_t>(fpucw) << 32);
    *--sp = controls;
    sp_ = sp;
}

void Context::switchTo(Context& to) {
    zv_sim_switch(&sp_, to.sp_);
}

#else

namespace {

// makecontext passes int arguments only: the entry and its argument travel as two halves each.
void ucontextStart(unsigned entryHi, unsigned entryLo, unsigned argHi, unsigned argLo) {
    auto entry = reinterpret_cast<void (*)(void*)>((static_cast<uintptr_t>(entryHi) << 32) | entryLo);
    auto* arg = reinterpret_cast<void*>((static_cast<uintptr_t>(argHi) << 32) | argLo);
    entry(arg);
}

} // namespace

void Context::prepare(const Stack& stack, void (*entry)(void*), void* arg) {
    getcontext(&uc_);
    uc_.uc_stack.ss_sp = stack.bottom();
    uc_.uc_stack.ss_size = stack.size();
    uc_.uc_link = nullptr;
    auto e = reinterpret_cast<uintptr_t>(entry);
    auto a = reinterpret_cast<uintptr_t>(arg);
    makecontext(&uc_, reinterpret_cast<void (*)()>(&ucontextStart), 4, static_cast<unsigned>(e >> 32),
                static_cast<unsigned>(e), static_cast<unsigned>(a >> 32), static_cast<unsigned>(a));
}

void Context::switchTo(Context& to) {
    swapcontext(&uc_, &to.uc_);
}

#endif

#if defined(ZV_SIM_ASAN)

void startSwitch(void** fakeStackSave, const void* bottom, size_t size) {
    __sanitizer_start_switch_fiber(fakeStackSave, bottom, size);
}

void finishSwitch(void* fakeStackSave, const void** oldBottom, size_t* oldSize) {
    __sanitizer_finish_switch_fiber(fakeStackSave, oldBottom, oldSize);
}

void unpoison(void* bottom, size_t size) {
    __asan_unpoison_memory_region(bottom, size);
}

#else

void startSwitch(void**, const void*, size_t) {}
void finishSwitch(void*, const void**, size_t*) {}
void unpoison(void*, size_t) {}

#endif

} // namespace zv::sim::detail
