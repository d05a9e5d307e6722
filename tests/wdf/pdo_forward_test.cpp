// A child's requests forwarded to its parent's queue: the child's device object has a stack location for
// every device of the parent's stack (its StackSize is the parent's + 1), the parent gets the IRP at a
// location of its own and its completion reaches whoever sent the request to the child; a child whose
// record did not allow forwarding, or a queue that is not its parent's, is refused.
#include "tests/wdf/childlist_fixture.h"

#include "platform/wdf/request.h"

#include <ostream>

namespace {

using zv::test::childHooks;
using zv::test::ChildListTest;
using zv::test::describeChild;
using zv::test::deviceHooks;
using zv::test::TestChild;

constexpr ULONG kIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

struct ForwardState {
    explicit ForwardState(zv::sim::Scheduler&) {}
    WDFQUEUE parentQueue = nullptr;
    std::map<WDFDEVICE, WDFQUEUE> childQueues;
    WDFQUEUE target = nullptr; // where the children forward to
    NTSTATUS forwarded = STATUS_PENDING;
    CCHAR parentLocation = 0;          // the IRP's current location at the parent
    PDEVICE_OBJECT parentAt = nullptr; // the device object of that location
};
ForwardState& state() {
    return zv::sim::Scheduler::current()->service<ForwardState>();
}

VOID ParentIoctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    PIRP irp = WdfRequestWdmGetIrp(request);
    state().parentLocation = irp->CurrentLocation;
    state().parentAt = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    WdfRequestComplete(request, STATUS_SUCCESS);
}

VOID ChildIoctl(WDFQUEUE, WDFREQUEST request, size_t, size_t, ULONG) {
    WDF_REQUEST_FORWARD_OPTIONS options;
    WDF_REQUEST_FORWARD_OPTIONS_INIT(&options);
    NTSTATUS status = WdfRequestForwardToParentDeviceIoQueue(request, state().target, &options);
    state().forwarded = status;
    if (!NT_SUCCESS(status))
        WdfRequestComplete(request, status);
}

NTSTATUS defaultQueue(WDFDEVICE device, PFN_WDF_IO_QUEUE_IO_DEVICE_CONTROL handler, bool powerManaged,
                      WDFQUEUE* queue) {
    WDF_IO_QUEUE_CONFIG config;
    WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
    config.PowerManaged = powerManaged ? WdfTrue : WdfFalse;
    config.EvtIoDeviceControl = handler;
    return WdfIoQueueCreate(device, &config, WDF_NO_OBJECT_ATTRIBUTES, queue);
}

struct ForwardCase {
    const char* name;
    bool allowed;     // WdfPdoInitAllowForwardingRequestToParent
    bool toParent;    // the parent's queue, else the other child's
    NTSTATUS forward; // what the forward returns
    NTSTATUS status;  // what the sender sees
    std::string_view rule;
};

std::ostream& operator<<(std::ostream& os, const ForwardCase& c) {
    return os << c.name;
}

class PdoForward : public ChildListTest, public ::testing::WithParamInterface<ForwardCase> {};

TEST_P(PdoForward, TheParentGetsTheChildsIrpAtALocationOfItsOwn) {
    const ForwardCase& c = GetParam();
    run([&] {
        deviceHooks().created = [](WDFDEVICE device) {
            return defaultQueue(device, ParentIoctl, true, &state().parentQueue);
        };
        startParent();
        childHooks().configure = [&](PWDFDEVICE_INIT init, const TestChild&) {
            if (c.allowed)
                WdfPdoInitAllowForwardingRequestToParent(init);
            return STATUS_SUCCESS;
        };
        childHooks().created = [](WDFDEVICE device, const TestChild&) {
            WDFQUEUE queue = nullptr;
            NTSTATUS status = defaultQueue(device, ChildIoctl, false, &queue);
            state().childQueues[device] = queue;
            return status;
        };
        scan({describeChild(1), describeChild(2)});
        enumerate();
        PDEVICE_OBJECT child = childPdo(1);
        ASSERT_NE(child, nullptr);
        PDEVICE_OBJECT parentObject = WdfDeviceWdmGetDeviceObject(device());
        EXPECT_EQ(child->StackSize, parentObject->StackSize + 1);
        ASSERT_EQ(pnpTo(child, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        state().target = c.toParent ? state().parentQueue : state().childQueues[childDevice(2)];

        zv::wdf::IrpResult result = send(child, IRP_MJ_DEVICE_CONTROL, 0, [](IO_STACK_LOCATION& s) {
            s.Parameters.DeviceIoControl.IoControlCode = kIoctl;
        });
        EXPECT_EQ(state().forwarded, c.forward);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(state().parentAt != nullptr, NT_SUCCESS(c.forward)) << "the parent's queue got the request";
        if (NT_SUCCESS(c.forward)) {
            // The child's location is the top one; the parent's is right below it.
            EXPECT_EQ(state().parentLocation, child->StackSize - 1);
            EXPECT_EQ(state().parentAt, parentObject);
        }
    });
    if (!c.rule.empty()) {
        EXPECT_EQ(expectViolation(c.rule).size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PdoForward,
    ::testing::Values(ForwardCase{"ToTheParent", true, true, STATUS_SUCCESS, STATUS_SUCCESS, {}},
                      ForwardCase{"NotAllowed", false, true, STATUS_INVALID_DEVICE_REQUEST,
                                  STATUS_INVALID_DEVICE_REQUEST, zv::wdf::rule::kQueueMisuse},
                      ForwardCase{"ToAnotherChild", true, false, STATUS_INVALID_DEVICE_REQUEST,
                                  STATUS_INVALID_DEVICE_REQUEST, zv::wdf::rule::kQueueMisuse}),
    [](const auto& info) { return info.param.name; });

} // namespace
