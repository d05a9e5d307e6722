// Framework I/O targets (WDFIOTARGET): a device object requests are sent to, its started / stopped state,
// and the requests sent through it that have not come back. A device's default target is the next lower
// device object of its stack. The USB targets build on this class (their handles are I/O targets too).
#ifndef ZV_WDF_IO_TARGET_H
#define ZV_WDF_IO_TARGET_H

#include "platform/wdf/object.h"

#include <wdf.h>

#include <vector>

namespace zv::wdf {

class Request;
struct DeviceIoState;

class IoTarget : public Object {
public:
    static constexpr ObjectType kType = ObjectType::IoTarget;
    // `io` is the state of the device the target belongs to (nullptr when it belongs to none).
    IoTarget(Object* parent, DeviceIoState* io, PDEVICE_OBJECT target, bool isDefault = false,
             ObjectType type = kType);

    WDFIOTARGET targetHandle() const { return static_cast<WDFIOTARGET>(static_cast<void*>(handle())); }
    bool driverDeletable() const override { return !isDefault_; }
    bool isDefault() const { return isDefault_; }
    DeviceIoState* io() const { return io_; }
    PDEVICE_OBJECT targetDevice() const { return target_; }
    WDF_IO_TARGET_STATE state() const { return state_; }

    NTSTATUS start(const char* routine);
    void stop(WDF_IO_TARGET_SENT_IO_ACTION action, const char* routine);
    // Cancels every request sent through the target that has not come back (surprise removal, stop).
    void cancelSentIo();

    // Whether a send with these options may go out now; the refusal's status otherwise.
    NTSTATUS admit(ULONG sendFlags) const;
    void sent(Request& request);
    void returned(Request& request);
    const std::vector<Request*>& sentRequests() const { return sent_; }

protected:
    void onCleanup() override;

private:
    bool waitedFor(const Request& request) const;
    void waitForSentIo(const char* routine);

    DeviceIoState* io_;
    PDEVICE_OBJECT target_;
    bool isDefault_;
    WDF_IO_TARGET_STATE state_ = WdfIoTargetStarted;
    std::vector<Request*> sent_;
    sim::Event drained_{sim::Event::Kind::Notification, false, "I/O target sent I/O"};
};

} // namespace zv::wdf

#endif // ZV_WDF_IO_TARGET_H
