// Framework requests (WDFREQUEST). A request wraps an IRP at one device: a delivered request stands for the
// IRP at that device's stack location from the moment it reaches the framework until the driver completes
// it (which deletes the request), gives it away (send-and-forget, forward to the parent) or the framework
// completes it; a driver-created request owns (or borrows) an IRP of its own and is finished by deletion.
//
// Ownership is the request's place: waiting in a queue, with the driver, sent to a target (still the
// driver's, but not completable), gone (given away) or completed. Every rule the verifier checks on a
// request is a question about that place, asked next to the operation it guards.
#ifndef ZV_WDF_REQUEST_H
#define ZV_WDF_REQUEST_H

#include "platform/wdf/memory.h"
#include "platform/wdf/object.h"
#include "platform/wdf/sync.h"

#include <memory>
#include <optional>
#include <string_view>
#include <vector>

namespace zv::wdf {

class Queue;
class IoTarget;
class FileObject;
struct DeviceIoState;

namespace rule {
inline constexpr std::string_view kCompletedTwice = "request-completed-twice";
// Completed (or otherwise finished) by a driver that gave it away: forwarded, sent or queued again.
inline constexpr std::string_view kNotOwned = "request-not-owned";
inline constexpr std::string_view kCompletedCancelable = "request-completed-while-cancelable";
inline constexpr std::string_view kNeverCompleted = "request-never-completed";
inline constexpr std::string_view kStopNotAcknowledged = "request-stop-not-acknowledged";
inline constexpr std::string_view kInformationTooLarge = "request-information-exceeds-buffer";
inline constexpr std::string_view kStopAcknowledgeOutsideStop = "request-stop-acknowledge-outside-stop";
// A call made on the wrong kind of request (completing a driver-created one, sending a driver-created one
// with send-and-forget, a new IRP for a delivered one ...).
inline constexpr std::string_view kWrongRequestKind = "request-wrong-kind";
inline constexpr std::string_view kAlreadySent = "request-already-sent";
inline constexpr std::string_view kNoStackLocation = "request-no-stack-location";
// A memory object of a request, used to format another request, is still referenced at its completion.
inline constexpr std::string_view kMemoryStillReferenced = "request-memory-still-referenced";
inline constexpr std::string_view kSendOptions = "request-send-options";
inline constexpr std::string_view kQueueMisuse = "queue-misuse";
} // namespace rule

// Memory objects over a request's own buffers: they belong to the request and die with its completion.
class RequestMemory final : public Memory {
public:
    RequestMemory(Object* request, void* buffer, size_t size) : Memory(request, buffer, size) {}
    bool driverDeletable() const override { return false; }
    // References that formatting of other requests holds on it.
    int formatReferences = 0;
};

class Request final : public Object {
public:
    static constexpr ObjectType kType = ObjectType::Request;
    enum class Origin { Delivered, Created };
    enum class Place {
        Idle,      // a driver-created request not in flight
        Queued,    // waiting in queue_ (or being taken out of it by a cancellation)
        Driver,    // the driver owns it (presented, retrieved, a create request, or back from a send)
        Sent,      // the driver owns it but it is in flight to a target
        Gone,      // given away: send-and-forget, forwarded to the parent
        Completed, // completed: only references keep the object
    };

    // A delivered request for `irp` at its current stack location of `io`'s device.
    Request(Object* parent, DeviceIoState& io, PIRP irp);
    // A driver-created request around `irp` (freed with the request when `ownsIrp`).
    Request(Object* parent, PIRP irp, bool ownsIrp);

    WDFREQUEST requestHandle() const { return static_cast<WDFREQUEST>(static_cast<void*>(handle())); }
    static Request* fromHandle(WDFREQUEST handle, const char* routine, bool allowFinished = false);

    bool driverDeletable() const override { return origin_ == Origin::Created; }
    Origin origin() const { return origin_; }
    Place place() const { return place_; }
    bool ownedByDriver() const { return place_ == Place::Driver || place_ == Place::Sent; }
    PIRP irp() const { return irp_; }
    // The delivered request's own stack location (nullptr for a driver-created request).
    PIO_STACK_LOCATION location() const { return location_; }
    DeviceIoState* io() const { return io_; }
    Queue* queue() const { return queue_; }
    WDF_REQUEST_TYPE type() const;
    FileObject* fileObject() const;

    // ---- Placement, for queues ----
    void enterQueue(Queue& queue); // Place::Queued, framework cancel routine set
    // Out of the queue and to the driver. False when a cancellation has already claimed the request.
    bool leaveQueueToDriver();
    // Out of the queue for good (purge, cleanup): the framework completes it. False as above.
    bool leaveQueue();
    void setQueue(Queue* queue) { queue_ = queue; }
    void handToDriver() { place_ = Place::Driver; }

    // ---- Completion ----
    // The driver's completion (WdfRequestComplete*), with every ownership check.
    void completeByDriver(NTSTATUS status, std::optional<ULONG_PTR> information, CCHAR boost,
                          const char* routine);
    // The framework's own completion of a request it holds (zero-length, purge, cancel in a queue ...).
    void completeByFramework(NTSTATUS status, ULONG_PTR information = 0);
    // A create request finished: the file object is opened, or dropped when the create failed.
    void setCreateFile(FileObject* file) { createFile_ = file; }

    // ---- Cancellation ----
    void markCancelable(PFN_WDF_REQUEST_CANCEL callback, const char* routine);
    NTSTATUS unmarkCancelable(const char* routine);
    bool isCanceled() const;
    bool cancelable() const { return cancelable_; }
    // The framework's WDM cancel routine, installed while the request waits in a queue or is cancelable.
    static void cancelRoutine(PDEVICE_OBJECT device, PIRP irp);

    // ---- Power stop / resume ----
    bool stopPending() const { return stopPending_; }
    bool suspended() const { return suspended_; }
    void clearSuspended() { suspended_ = false; }
    // Delivers the queue's stop callback with `action` (the cancelable bit added here).
    void deliverStop(ULONG action);
    void deliverResume();
    void stopAcknowledge(bool requeue, const char* routine);

    // ---- Buffers ----
    NTSTATUS retrieveBuffer(bool input, size_t minimum, void** buffer, size_t* length, const char* routine);
    NTSTATUS retrieveMemory(bool input, WDFMEMORY* memory, const char* routine);
    void parameters(WDF_REQUEST_PARAMETERS* out) const;

    // ---- Formatting and sending (request_send.cpp) ----
    // Whether the driver may format the request now (it owns it and it is not in flight); reported if not.
    bool formattable(const char* routine);
    // Prepares the next stack location; false (reported) when the IRP has none.
    bool nextLocation(const char* routine, PIO_STACK_LOCATION* next);
    void formatUsingCurrentType(const char* routine);
    void formatUsingStackLocation(const IO_STACK_LOCATION& stack, const char* routine);
    // After a target formatted the next location: keeps the memory references and the buffers to give
    // back at completion. `swapSystemBuffer` replaces the IRP's buffers for the call.
    struct Format {
        WDF_REQUEST_TYPE type = WdfRequestTypeNoFormat;
        WDFMEMORY input = nullptr;
        WDFMEMORY output = nullptr;
        size_t inputOffset = 0;
        size_t outputOffset = 0;
        size_t outputLength = 0;
        ULONG ioctl = 0;
    };
    void formatted(const Format& format, std::vector<Memory*> references);
    // What a specialised target (the USB targets) keeps with a request it formatted: the URB it built and
    // the completion parameters of its own kind. It lives until the request is formatted again, reused or
    // deleted; `completed` runs when the request is back, after the generic parameters are filled.
    class TargetFormat {
    public:
        virtual ~TargetFormat() = default;
        virtual void completed(PIRP irp, WDF_REQUEST_COMPLETION_PARAMS& params) = 0;
    };
    // After formatted(): attaches the target's own formatting state.
    void setTargetFormat(std::unique_ptr<TargetFormat> format) { targetFormat_ = std::move(format); }
    TargetFormat* targetFormat() const { return targetFormat_.get(); }
    void setSystemBuffers(void* systemBuffer, void* userBuffer);
    // A buffer the framework made for a buffered device control with separate input and output; its
    // first `outputLength` bytes go to `output` at completion.
    void* doubleBuffer(size_t size, void* output, size_t outputLength);
    void dropFormatting();
    bool isFormatted() const { return format_.type != WdfRequestTypeNoFormat || formattedCurrent_; }

    void setCompletionRoutine(PFN_WDF_REQUEST_COMPLETION_ROUTINE routine, WDFCONTEXT context);
    BOOLEAN send(IoTarget& target, const WDF_REQUEST_SEND_OPTIONS* options, const char* routine);
    bool cancelSent();
    NTSTATUS allocateTimer();
    void completionParams(WDF_REQUEST_COMPLETION_PARAMS* out) const { *out = completionParams_; }
    WDF_REQUEST_COMPLETION_PARAMS& completionParams() { return completionParams_; }
    IoTarget* sentTo() const { return sentTo_; }
    bool sentIgnoringState() const { return sentIgnoringState_; }
    NTSTATUS reuse(const WDF_REQUEST_REUSE_PARAMS& params, const char* routine);

    // ---- Moving between queues and devices ----
    NTSTATUS forwardToQueue(Queue& destination, const char* routine);
    NTSTATUS requeue(const char* routine);
    NTSTATUS forwardToParent(Queue& parentQueue, const WDF_REQUEST_FORWARD_OPTIONS* options,
                             const char* routine);

protected:
    void onCleanup() override;

private:
    // Ownership checks shared by the driver's calls; each reports and returns false.
    bool checkOwned(const char* routine, std::string_view rule);
    bool checkDelivered(const char* routine);
    ULONG_PTR checkInformation(ULONG_PTR information, const char* routine);
    void checkMemoryReleased(const char* routine);
    // Ends the framework's hold on the IRP and completes it, then releases the queue and deletes the request.
    void finish(NTSTATUS status, ULONG_PTR information, CCHAR boost);
    void leaveDriver(); // ownership ends (queue bookkeeping, power-pass progress)
    void abandon();     // the device went without a purge: the IRP completes as cancelled
    void scheduleCancelCallback();
    void runCancelCallback();
    CallbackLevel callbackLevel() const;
    sim::Lock* callbackLock() const;

    // request_send.cpp
    static NTSTATUS sentCompletion(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    void onSentComplete();
    void armTimeout(LONGLONG timeout);
    void disarmTimeout();
    void restoreBuffers();
    void giveAway(PDEVICE_OBJECT to);

    Origin origin_;
    Place place_;
    PIRP irp_;
    bool ownsIrp_ = false;
    PIO_STACK_LOCATION location_ = nullptr;
    DeviceIoState* io_ = nullptr;
    Queue* queue_ = nullptr;
    FileObject* createFile_ = nullptr;

    PFN_WDF_REQUEST_CANCEL cancelCallback_ = nullptr;
    bool cancelable_ = false;
    bool cancelClaimed_ = false;   // cancellation took the request from the driver's cancelable state
    bool cancelScheduled_ = false; // its cancel callback is on its way or has run

    bool stopPending_ = false;       // a stop callback waits for an acknowledgement or completion
    bool suspended_ = false;         // acknowledged without requeue: resumed at the next D0 entry
    sim::Fiber* inStopOn_ = nullptr; // the fiber running this request's stop callback

    RequestMemory* inputMemory_ = nullptr;
    RequestMemory* outputMemory_ = nullptr;

    Format format_;
    bool formattedCurrent_ = false; // formatted with the current type (or by a stack location copy)
    std::vector<Memory*> formatReferences_;
    std::unique_ptr<TargetFormat> targetFormat_;
    struct SavedBuffers {
        void* systemBuffer;
        void* userBuffer;
    };
    std::optional<SavedBuffers> savedBuffers_;
    std::vector<uint8_t> doubleBuffer_;
    void* doubleOutput_ = nullptr;
    size_t doubleOutputLength_ = 0;

    PFN_WDF_REQUEST_COMPLETION_ROUTINE completionRoutine_ = nullptr;
    WDFCONTEXT completionContext_ = nullptr;
    WDF_REQUEST_COMPLETION_PARAMS completionParams_;
    IoTarget* sentTo_ = nullptr;
    bool sentIgnoringState_ = false;
    sim::Event* syncDone_ = nullptr;
    bool timerAllocated_ = false;
    std::optional<uint64_t> timeoutEvent_;
    bool timedOut_ = false;
    uint64_t sends_ = 0;          // sends so far, so that a late time-out finds it is not its send any more
    bool deleteWhenBack_ = false; // deleted while in flight: finished by the framework when it returns
    bool abandoned_ = false;      // its device went without the removal's purge
};

} // namespace zv::wdf

#endif // ZV_WDF_REQUEST_H
