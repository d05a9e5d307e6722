// The deterministic scheduler: every activity of the simulated machine (Plug and Play worker, system
// workers, application threads, DPCs, device models) is a fiber with its own stack, all run on one OS
// thread against a virtual clock in 100-ns units. When nothing can run the clock jumps to the next timed
// event, so time-outs cost no wall time and every run repeats exactly.
#ifndef ZV_SIM_SCHEDULER_H
#define ZV_SIM_SCHEDULER_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <typeindex>
#include <vector>

namespace zv::sim {

using Time = int64_t; // 100-ns units since the machine started
constexpr Time kMicrosecond = 10;
constexpr Time kMillisecond = 10'000;
constexpr Time kSecond = 10'000'000;

enum class Irql : uint8_t { Passive = 0, Apc = 1, Dispatch = 2 };
const char* irqlName(Irql irql);

class Scheduler;
class Lock;
class Event;
class VerifierLog;
namespace detail {
class LockOrder;
}

// One activity with its own stack and interrupt request level. The record stays valid as long as its
// scheduler (a finished fiber gives its stack back but keeps its record).
class Fiber {
public:
    uint64_t id() const { return id_; }
    const std::string& name() const { return name_; }
    Irql irql() const { return irql_; }
    bool isDpc() const { return dpc_; }
    bool finished() const { return state_ == State::Finished; }
    bool blocked() const { return state_ == State::Blocked; }
    // What the fiber is blocked on, for reports ("event X", "lock Y").
    const std::string& waitingFor() const { return waitingFor_; }
    // The lock it is blocked acquiring, if any (deadlock detection follows these).
    Lock* waitingForLock() const { return waitingLock_; }
    // Locks held, in acquisition order.
    const std::vector<Lock*>& heldLocks() const { return held_; }

    ~Fiber();

private:
    friend class Scheduler;
    friend class Lock;
    friend class Event;
    enum class State { Created, Runnable, Running, Blocked, Finished };
    struct Impl;

    Fiber(uint64_t id, std::string name, Irql irql, bool dpc, std::function<void()> body);

    uint64_t id_;
    std::string name_;
    Irql irql_;
    bool dpc_;
    State state_ = State::Created;
    std::function<void()> body_;
    std::string waitingFor_;
    Lock* waitingLock_ = nullptr;
    std::vector<Lock*> held_;
    bool wokenByTimeout_ = false;
    std::unique_ptr<Impl> impl_;
};

struct SchedulePolicy {
    enum class Kind { Fifo, Seeded };
    Kind kind = Kind::Fifo;
    uint64_t seed = 0;
    static SchedulePolicy fifo() { return {}; }
    static SchedulePolicy seeded(uint64_t seed) { return {Kind::Seeded, seed}; }
};

class Scheduler {
public:
    struct Options {
        SchedulePolicy policy;
        size_t stackBytes = 256 * 1024;
    };

    Scheduler();
    explicit Scheduler(Options options);
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // The scheduler of this process: the most recently constructed one still alive. This is the one
    // current-context pointer of the platform; every other piece of platform state hangs off it.
    static Scheduler* current();

    Fiber* spawn(std::string name, std::function<void()> body, Irql irql = Irql::Passive);
    // A deferred procedure call: a fiber that runs at DISPATCH_LEVEL.
    Fiber* spawnDpc(std::string name, std::function<void()> body);

    // Runs fibers and timed events until nothing can run and no timed event is pending. Fibers still
    // blocked at that point are blocked forever: each is reported to the verifier log. Returns true when
    // every fiber finished.
    bool run();
    // As run(), but stops once the clock would pass `limit` (events after it stay pending).
    bool runUntil(Time limit);
    // Ends every unfinished fiber: one that has started is resumed with its wait failing by an exception
    // that unwinds its stack to its entry (so the objects on it are destroyed); one that never ran is
    // dropped. Pending timed events are dropped. The destructor calls it; the test fixture calls it
    // before it checks the log. Not from a fiber or inside run().
    void shutdown();
    // The orderly end of a machine: shutdown(), then the retire step of every service that has one (a
    // `void retire()` member; the service table unloads the drivers still loaded), newest service first,
    // each on a fiber of its own so that the code it calls may wait; then shutdown() again for whatever
    // those steps left blocked. The destructor calls it; the test fixture calls it before it checks the log.
    // Not from a fiber or inside run().
    void retire();

    Time now() const { return now_; }
    // The running fiber; nullptr outside fibers (in a timed event callback, or before run()).
    Fiber* currentFiber() const { return running_; }

    // A preemption point: under a seeded schedule another runnable fiber may run before this returns.
    // Every platform call passes through one. No effect under FIFO or outside a fiber.
    void preempt();
    // Puts the running fiber behind every other runnable fiber.
    void yield();

    // Timed events. The callback runs in the scheduler's own context between fibers and must not block;
    // it typically wakes a fiber or spawns a DPC. Events due at the same time fire in the order they were
    // scheduled.
    using EventId = uint64_t;
    EventId at(Time due, std::function<void()> callback);
    EventId after(Time delay, std::function<void()> callback);
    // As above, with a name for the trace ("fire <name>"). A due time in the past fires at once; a negative
    // delay is an error (std::invalid_argument).
    EventId at(Time due, std::string name, std::function<void()> callback);
    EventId after(Time delay, std::string name, std::function<void()> callback);
    bool cancel(EventId id); // true when the event was still pending
    bool isPending(EventId id) const;

    // IRQL of the running fiber (PASSIVE_LEVEL outside fibers).
    Irql irql() const;
    // Lowering a DPC fiber below DISPATCH_LEVEL, or any fiber that holds a spin lock, is reported as
    // irql-misuse and ignored. No effect outside fibers.
    void setIrql(Irql irql);
    void setIrql(Irql irql, std::string_view routine);

    // Blocking, for the waiting primitives: the running fiber stops until wake(). `what` names the object
    // for reports. With a timeout (relative), the fiber wakes by itself when it expires; the return value
    // is false in that case. Blocking at DISPATCH_LEVEL is reported to the verifier (the wait still happens).
    // A negative timeout is an error (std::invalid_argument); zero returns false at once; outside a fiber
    // it is an error (std::logic_error). While the scheduler shuts down, block() throws a private exception
    // that unwinds the fiber: code that waits must not touch the waited object after a throw, and must not
    // swallow exceptions it does not know (catch (...) without rethrow).
    bool block(std::string what, std::optional<Time> timeout = std::nullopt);
    // As block(), naming the platform routine that waits in a wait-at-dispatch report.
    bool block(std::string what, std::optional<Time> timeout, std::string_view routine);
    // Makes a blocked fiber runnable (behind the others). No effect on a fiber that is not blocked: a wake
    // is not remembered.
    void wake(Fiber* fiber);

    // The run's event trace: fiber switches, timed events and notes, each stamped with time and fiber.
    // Lines read "<time> <fiber>: <what>", the fiber being "-" for the scheduler's own context: "run X"
    // (a switch to X), "fire NAME" (a timed event; "timeout X" for a timed wait), "spawn X", "finish", or
    // the note's text. Long runs should turn it off: it grows with every switch.
    void note(std::string_view text);
    const std::vector<std::string>& trace() const { return trace_; }
    void setTraceEnabled(bool on) { traceEnabled_ = on; }

    VerifierLog& verifier() { return *verifier_; }
    const VerifierLog& verifier() const { return *verifier_; }

    // State of the upper layers (registry, framework objects ...) kept per scheduler: created on first use,
    // destroyed with the scheduler in reverse order of creation.
    template <class T>
    T& service() {
        // Every platform call looks its state up here: the hash (computed once per type) settles all but
        // the matching entry without comparing type names.
        static const size_t hash = typeid(T).hash_code();
        for (auto& s : services_)
            if (s.hash == hash && s.type == std::type_index(typeid(T)))
                return *static_cast<T*>(s.ptr.get());
        T* created = new T(*this);
        std::function<void()> retireStep;
        if constexpr (requires(T & t) { t.retire(); })
            retireStep = [created] { created->retire(); };
        services_.push_back(
            Service{hash, std::type_index(typeid(T)),
                    std::shared_ptr<void>(created, [](void* p) { delete static_cast<T*>(p); }),
                    std::move(retireStep)});
        return *created;
    }

    std::vector<Fiber*> fibers() const;

private:
    friend class Lock;
    friend class Event;
    friend void sleepFor(Time delay, std::string_view routine);
    struct Impl;
    struct Service {
        size_t hash;
        std::type_index type;
        std::shared_ptr<void> ptr;
        std::function<void()> retire;
    };

    Time now_ = 0;
    Fiber* running_ = nullptr;
    bool traceEnabled_ = true;
    std::vector<std::string> trace_;
    std::unique_ptr<VerifierLog> verifier_;
    std::vector<Service> services_;
    std::unique_ptr<Impl> impl_;
};

// A wait object for the platform's own use.
class Event {
public:
    enum class Kind { Notification, Synchronization }; // synchronization events reset when one waiter wakes
    explicit Event(Kind kind = Kind::Notification, bool signaled = false, std::string name = "event");
    ~Event();
    // Waiting fibers point at the event, so it stays where it was made.
    Event(const Event&) = delete;
    Event& operator=(const Event&) = delete;
    void set();
    void reset();
    bool isSet() const { return signaled_; }
    // Waits until set; timeout is relative in 100-ns units (nullopt: forever). False on time-out.
    bool wait(std::optional<Time> timeout = std::nullopt);
    // As wait(), naming the platform routine that waits in a wait-at-dispatch report.
    bool wait(std::optional<Time> timeout, std::string_view routine);
    const std::string& name() const { return name_; }

private:
    friend class Scheduler;
    Kind kind_;
    bool signaled_;
    std::string name_;
    std::vector<Fiber*> waiters_;
};

// A lock with an owner. Spin kind: acquiring raises to DISPATCH_LEVEL (restored on release); a fiber that
// finds it held spins, which is not a wait. Mutex kind: acquiring is a wait, so it needs < DISPATCH_LEVEL
// unless the timeout is zero. Both kinds check recursion, release by a non-owner, and lock order (the
// first order seen between two locks is learned; the reverse is reported), and a cycle of fibers waiting
// on each other's locks is reported as a deadlock naming the fibers and the locks.
//
// Order is learned per lock object (not per name or address) and also through chains (A before B before C
// makes C-then-A an inversion); each pair is reported once, and a try-acquire is neither checked nor learned
// from. A deadlock is found when the fiber that closes the cycle is about to wait; fibers waiting with a
// time-out break a cycle. The deadlocked fibers stay blocked and are not reported again as blocked forever
// (fibers merely stuck behind the cycle are). A released lock is handed to its first waiter. A fiber that
// ends holding a lock is reported (lock-held-on-return) and the lock released.
class Lock {
public:
    enum class Kind { Spin, Mutex };
    Lock(Kind kind, std::string name);
    ~Lock();
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;
    // Returns false only for a mutex-kind acquire with a timeout that expired, or a refused recursion.
    // The timeout applies to the mutex kind only (a spin lock spins until it gets the lock).
    bool acquire(std::optional<Time> timeout = std::nullopt);
    bool tryAcquire();
    void release();
    // As above, naming the platform routine in reports.
    bool acquire(std::optional<Time> timeout, std::string_view routine);
    bool tryAcquire(std::string_view routine);
    void release(std::string_view routine);
    Fiber* owner() const { return owner_; }
    Kind kind() const { return kind_; }
    const std::string& name() const { return name_; }
    void setName(std::string name) { name_ = std::move(name); }

private:
    friend class Scheduler;
    friend class detail::LockOrder;
    void take(Fiber* fiber, Irql saved);
    void releaseHeld(Fiber* fiber);
    void handOff();

    Kind kind_;
    std::string name_;
    Fiber* owner_ = nullptr;
    Irql savedIrql_ = Irql::Passive;
    std::vector<Fiber*> waiters_;
    // The lock-order graph that knows this lock, and its key there (never reused, unlike an address).
    detail::LockOrder* order_ = nullptr;
    uint64_t orderId_ = 0;
};

// Suspends the running fiber for a relative time (zero yields). Negative is std::invalid_argument.
void sleepFor(Time delay);
void sleepFor(Time delay, std::string_view routine);

} // namespace zv::sim

#endif // ZV_SIM_SCHEDULER_H
