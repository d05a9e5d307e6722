// Fault plans: a per-device list of rules that make the USB stack misbehave on purpose. A rule matches a
// kind of request (optionally narrowed to a descriptor type and index or an endpoint), skips its first n
// matches, applies m times or forever, from a virtual time on, and then acts: fail with a chosen USBD
// status and NTSTATUS, stall, delay the answer, never answer, or answer a descriptor request with given
// bytes. A plan can also disconnect its device at a virtual time.
//
//   device.faults().on(FaultKind::Transfer).endpoint(0x81).skip(2).times(1).fail(USBD_STATUS_CRC,
//                                                                                  STATUS_UNSUCCESSFUL);
//   device.faults().on(FaultKind::Abort).times(2).abortInsufficientResources();
//   device.faults().disconnectAt(5 * sim::kMillisecond);
#ifndef ZV_USB_FAULT_PLAN_H
#define ZV_USB_FAULT_PLAN_H

#include <ntddk.h>
#include <usb.h>

#include "platform/sim/scheduler.h"
#include "platform/usb/device_model.h"

#include <deque>
#include <functional>
#include <optional>

namespace zv::usb {

enum class FaultKind {
    Control,             // class and vendor requests, control transfers
    Descriptor,          // GET_DESCRIPTOR_FROM_DEVICE
    SelectConfiguration, // SELECT_CONFIGURATION
    SelectInterface,     // SELECT_INTERFACE
    Transfer,            // bulk or interrupt transfer
    Abort,               // ABORT_PIPE
    Reset,               // pipe resets and port resets
    Any,
};

// What the stack tells a plan about a request it is about to handle.
struct FaultRequest {
    FaultKind kind = FaultKind::Any;
    uint8_t descriptorType = 0;  // descriptor requests
    uint8_t descriptorIndex = 0; // descriptor requests
    uint8_t endpoint = 0;        // transfers, aborts and pipe resets: the endpoint address
};

struct FaultMatch {
    FaultKind kind = FaultKind::Any;
    std::optional<uint8_t> descriptorType;
    std::optional<uint8_t> descriptorIndex;
    std::optional<uint8_t> endpoint;
    unsigned skip = 0;             // matches let through before the rule applies
    std::optional<unsigned> times; // applications; nullopt: forever
    sim::Time from = 0;            // the rule sleeps before this virtual time
};

struct FaultAction {
    enum class Kind {
        Fail,        // USBD status and NTSTATUS as given
        Stall,       // a STALL handshake: halts a pipe; control requests fail with USBD_STATUS_STALL_PID
        Delay,       // the request is handled `delay` later
        NeverAnswer, // pending until cancelled (or aborted, or the device goes)
        Reply,       // a descriptor request is answered with `bytes`
    };
    Kind kind = Kind::Fail;
    USBD_STATUS usbdStatus = USBD_STATUS_REQUEST_FAILED;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    sim::Time delay = 0;
    Bytes bytes;
};

struct FaultRule {
    FaultMatch match;
    FaultAction action;
    unsigned seen = 0;    // matches so far
    unsigned applied = 0; // applications so far
};

class FaultPlan;

// Builds one rule; the rule enters the plan when an action is chosen.
class FaultRuleBuilder {
public:
    FaultRuleBuilder(FaultPlan& plan, FaultKind kind) : plan_(plan) { match_.kind = kind; }
    FaultRuleBuilder& descriptor(uint8_t type, std::optional<uint8_t> index = std::nullopt);
    FaultRuleBuilder& endpoint(uint8_t address);
    FaultRuleBuilder& skip(unsigned matches);
    FaultRuleBuilder& times(unsigned applications);
    FaultRuleBuilder& forever();
    FaultRuleBuilder& from(sim::Time time);

    FaultRule& fail(USBD_STATUS usbdStatus, NTSTATUS status);
    FaultRule& stall();
    FaultRule& delay(sim::Time duration);
    FaultRule& neverAnswer();
    FaultRule& abortInsufficientResources();
    FaultRule& reply(Bytes bytes);

private:
    FaultRule& finish(FaultAction action);
    FaultPlan& plan_;
    FaultMatch match_;
};

class FaultPlan {
public:
    FaultPlan() = default;
    FaultPlan(const FaultPlan&) = delete;
    FaultPlan& operator=(const FaultPlan&) = delete;

    FaultRuleBuilder on(FaultKind kind) { return FaultRuleBuilder(*this, kind); }
    FaultRule& add(FaultMatch match, FaultAction action);
    // The device goes at `time` (at once when it is past), with surprise removal when it was plugged.
    void disconnectAt(sim::Time time);
    void clear() { rules_.clear(); }

    // Counts the request against every rule it matches and returns the action of the first rule that
    // applies, if any. The stack calls this once per request.
    std::optional<FaultAction> consult(const FaultRequest& request, sim::Time now);

    // Rules stay where they are as others are added: the builder hands out references.
    const std::deque<FaultRule>& rules() const { return rules_; }

    // The stack's hook for disconnectAt (the device it belongs to).
    void setDisconnectHandler(std::function<void(sim::Time)> handler) { disconnect_ = std::move(handler); }

private:
    static bool matches(const FaultMatch& match, const FaultRequest& request, sim::Time now);

    std::deque<FaultRule> rules_;
    std::function<void(sim::Time)> disconnect_;
};

} // namespace zv::usb

#endif // ZV_USB_FAULT_PLAN_H
