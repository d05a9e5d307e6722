// Fault plans of simulated USB devices.
#include "platform/usb/fault_plan.h"

#include <stdexcept>

namespace zv::usb {

FaultRuleBuilder& FaultRuleBuilder::descriptor(uint8_t type, std::optional<uint8_t> index) {
    match_.descriptorType = type;
    match_.descriptorIndex = index;
    return *this;
}

FaultRuleBuilder& FaultRuleBuilder::endpoint(uint8_t address) {
    match_.endpoint = address;
    return *this;
}

FaultRuleBuilder& FaultRuleBuilder::skip(unsigned matches) {
    match_.skip = matches;
    return *this;
}

FaultRuleBuilder& FaultRuleBuilder::times(unsigned applications) {
    match_.times = applications;
    return *this;
}

FaultRuleBuilder& FaultRuleBuilder::forever() {
    match_.times.reset();
    return *this;
}

FaultRuleBuilder& FaultRuleBuilder::from(sim::Time time) {
    match_.from = time;
    return *this;
}

FaultRule& FaultRuleBuilder::fail(USBD_STATUS usbdStatus, NTSTATUS status) {
    FaultAction action;
    action.kind = FaultAction::Kind::Fail;
    action.usbdStatus = usbdStatus;
    action.status = status;
    return finish(std::move(action));
}

FaultRule& FaultRuleBuilder::stall() {
    FaultAction action;
    action.kind = FaultAction::Kind::Stall;
    action.usbdStatus = USBD_STATUS_STALL_PID;
    action.status = STATUS_UNSUCCESSFUL;
    return finish(std::move(action));
}

FaultRule& FaultRuleBuilder::delay(sim::Time duration) {
    if (duration < 0)
        throw std::invalid_argument("fault delay must not be negative");
    FaultAction action;
    action.kind = FaultAction::Kind::Delay;
    action.delay = duration;
    return finish(std::move(action));
}

FaultRule& FaultRuleBuilder::neverAnswer() {
    FaultAction action;
    action.kind = FaultAction::Kind::NeverAnswer;
    return finish(std::move(action));
}

FaultRule& FaultRuleBuilder::abortInsufficientResources() {
    match_.kind = FaultKind::Abort;
    return fail(USBD_STATUS_INSUFFICIENT_RESOURCES, STATUS_INSUFFICIENT_RESOURCES);
}

FaultRule& FaultRuleBuilder::reply(Bytes bytes) {
    FaultAction action;
    action.kind = FaultAction::Kind::Reply;
    action.bytes = std::move(bytes);
    return finish(std::move(action));
}

FaultRule& FaultRuleBuilder::finish(FaultAction action) {
    return plan_.add(match_, std::move(action));
}

FaultRule& FaultPlan::add(FaultMatch match, FaultAction action) {
    rules_.push_back(FaultRule{std::move(match), std::move(action)});
    return rules_.back();
}

void FaultPlan::disconnectAt(sim::Time time) {
    if (!disconnect_)
        throw std::logic_error("fault plan is not attached to a device");
    disconnect_(time);
}

bool FaultPlan::matches(const FaultMatch& match, const FaultRequest& request, sim::Time now) {
    if (now < match.from)
        return false;
    if (match.kind != FaultKind::Any && match.kind != request.kind)
        return false;
    if (match.descriptorType &&
        (request.kind != FaultKind::Descriptor || *match.descriptorType != request.descriptorType))
        return false;
    if (match.descriptorIndex &&
        (request.kind != FaultKind::Descriptor || *match.descriptorIndex != request.descriptorIndex))
        return false;
    if (match.endpoint && *match.endpoint != request.endpoint)
        return false;
    return true;
}

std::optional<FaultAction> FaultPlan::consult(const FaultRequest& request, sim::Time now) {
    std::optional<FaultAction> chosen;
    for (FaultRule& rule : rules_) {
        if (!matches(rule.match, request, now))
            continue;
        ++rule.seen;
        if (chosen || rule.seen <= rule.match.skip)
            continue;
        if (rule.match.times && rule.applied >= *rule.match.times)
            continue;
        ++rule.applied;
        chosen = rule.action;
    }
    return chosen;
}

} // namespace zv::usb
