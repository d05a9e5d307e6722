// The request side of platform/wdf/device_io.h: the device's I/O state, the dispatch of every I/O IRP
// into the framework (WDM preprocess callbacks first, then file objects or queues), the power and removal
// passes over the device's queues, and the device-init calls that set the device's I/O up.
#include "platform/wdf/device.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/file_object.h"
#include "platform/wdf/io_state.h"
#include "platform/wdf/io_target.h"
#include "platform/wdf/queue.h"
#include "platform/wdf/request.h"
#include "platform/wdf/workitem.h"

#include <algorithm>
#include <limits>

namespace zv::wdf {

// ---- Records ----

PFN_WDFDEVICE_WDM_IRP_PREPROCESS IoConfig::preprocessFor(UCHAR major, UCHAR minor) const {
    for (const Preprocess& p : preprocess)
        if (p.major == major &&
            (p.minors.empty() || std::find(p.minors.begin(), p.minors.end(), minor) != p.minors.end()))
            return p.callback;
    return nullptr;
}

void destroyIoConfig(IoConfig* config) {
    delete config;
}

IoConfigPtr makeIoConfig() {
    return IoConfigPtr(new IoConfig);
}

namespace {

struct IoTables {
    explicit IoTables(sim::Scheduler&) {}
    std::unordered_map<PIO_STACK_LOCATION, Request*> locations;
};

IoTables& tables() {
    return sim::Scheduler::current()->service<IoTables>();
}

NTSTATUS completeNow(PIRP irp, NTSTATUS status, ULONG_PTR information = 0) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace

void bindLocation(PIO_STACK_LOCATION location, Request* request) {
    tables().locations[location] = request;
}

void unbindLocation(PIO_STACK_LOCATION location) {
    if (location != nullptr)
        tables().locations.erase(location);
}

Request* requestAt(PIO_STACK_LOCATION location) {
    auto& locations = tables().locations;
    auto it = locations.find(location);
    return it != locations.end() ? it->second : nullptr;
}

void runSoon(std::string name, CallbackLevel level, std::function<void()> work) {
    sim::Scheduler& scheduler = *sim::Scheduler::current();
    if (level == CallbackLevel::Passive)
        scheduler.service<SystemWorkers>().submit(std::move(work));
    else
        scheduler.spawnDpc(std::move(name), std::move(work));
}

bool holdsAnyLock() {
    sim::Fiber* fiber = sim::Scheduler::current()->currentFiber();
    return fiber != nullptr && !fiber->heldLocks().empty();
}

// ---- Device state ----

DeviceIoState::DeviceIoState(Device& device, IoConfig& config)
    : device(device), config(config), self(device.deviceObject()), lower(device.attachedDevice()) {}

DeviceIoState::~DeviceIoState() = default;

Queue* DeviceIoState::route(WDF_REQUEST_TYPE type) const {
    auto it = dispatching.find(type);
    return it != dispatching.end() ? it->second : defaultQueue;
}

FileObject* DeviceIoState::fileFor(PFILE_OBJECT file) const {
    if (file == nullptr)
        return nullptr;
    auto it = files.find(file);
    return it != files.end() ? it->second : nullptr;
}

bool DeviceIoState::waitFor(const std::function<bool()>& done, sim::Time limit) {
    sim::Scheduler& scheduler = *sim::Scheduler::current();
    const sim::Time never = std::numeric_limits<sim::Time>::max();
    const sim::Time deadline = limit >= never - scheduler.now() ? never : scheduler.now() + limit;
    while (!done()) {
        progress.reset();
        std::optional<sim::Time> timeout;
        if (deadline != never) {
            if (deadline <= scheduler.now())
                return false;
            timeout = deadline - scheduler.now();
        }
        progress.wait(timeout, "request path power pass");
    }
    return true;
}

DeviceIoState* ioStateOf(Device& device) {
    return device.ioState();
}

DeviceIoStatePtr makeDeviceIoState(Device& device, IoConfig& config) {
    DeviceIoStatePtr state(new DeviceIoState(device, config));
    // The I/O type tells the I/O manager how to pass read and write buffers.
    if (state->self != nullptr) {
        if (config.ioType == WdfDeviceIoBuffered)
            state->self->Flags |= DO_BUFFERED_IO;
        else if (config.ioType == WdfDeviceIoDirect)
            state->self->Flags |= DO_DIRECT_IO;
    }
    auto* target = new IoTarget(&device, state.get(), state->lower, true);
    state->defaultTarget = target;
    state->targets.push_back(target);
    return state;
}

void destroyDeviceIoState(DeviceIoState* state) {
    delete state;
}

WDFIOTARGET defaultIoTarget(Device& device) {
    DeviceIoState* io = device.ioState();
    if (io == nullptr || io->defaultTarget == nullptr || io->defaultTarget->cleanedUp())
        return nullptr;
    return io->defaultTarget->targetHandle();
}

Request* makeDeliveredRequest(DeviceIoState& io, PIRP irp) {
    const WDF_OBJECT_ATTRIBUTES* attributes =
        io.config.requestAttributes ? &*io.config.requestAttributes : nullptr;
    Request* request = nullptr;
    if (!NT_SUCCESS(create<Request>(attributes, &io.device, "request delivery", &request, io, irp)))
        return nullptr;
    bindLocation(request->location(), request);
    return request;
}

// ---- Dispatch ----

namespace {

NTSTATUS dispatchToQueue(DeviceIoState& io, PIRP irp) {
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    const auto type = static_cast<WDF_REQUEST_TYPE>(s->MajorFunction);
    Queue* queue = io.route(type);
    if (queue == nullptr) {
        // WMI traffic a device does not answer goes on to the device below.
        if (s->MajorFunction == IRP_MJ_SYSTEM_CONTROL && io.lower != nullptr) {
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(io.lower, irp);
        }
        return completeNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    if (!queue->accepting())
        return completeNow(irp, STATUS_INVALID_DEVICE_STATE);
    const bool zeroLength = (type == WdfRequestTypeRead && s->Parameters.Read.Length == 0) ||
                            (type == WdfRequestTypeWrite && s->Parameters.Write.Length == 0);
    if (zeroLength && !queue->config().AllowZeroLengthRequests)
        return completeNow(irp, STATUS_SUCCESS);
    if (!queue->handles(type))
        return completeNow(irp, STATUS_INVALID_DEVICE_REQUEST);
    Request* request = makeDeliveredRequest(io, irp);
    if (request == nullptr)
        return completeNow(irp, io.device.deleting() ? STATUS_DELETE_PENDING : STATUS_INSUFFICIENT_RESOURCES);
    IoMarkIrpPending(irp);
    queue->insert(*request);
    return STATUS_PENDING;
}

NTSTATUS dispatchToFramework(DeviceIoState& io, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
        case IRP_MJ_CREATE:
            return dispatchCreate(io, irp);
        case IRP_MJ_CLEANUP:
            return dispatchCleanup(io, irp);
        case IRP_MJ_CLOSE:
            return dispatchClose(io, irp);
        default:
            return dispatchToQueue(io, irp);
    }
}

} // namespace

NTSTATUS dispatchIoIrp(Device& device, PIRP irp) {
    DeviceIoState* io = device.ioState();
    if (io == nullptr)
        return completeNow(irp, STATUS_NO_SUCH_DEVICE);
    PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
    if (PFN_WDFDEVICE_WDM_IRP_PREPROCESS preprocess =
            io->config.preprocessFor(s->MajorFunction, s->MinorFunction)) {
        NTSTATUS status = STATUS_SUCCESS;
        invokeCallback(&device, "EvtDeviceWdmIrpPreprocess",
                       [&] { status = preprocess(static_cast<WDFDEVICE>(device.handle()), irp); });
        return status;
    }
    return dispatchToFramework(*io, irp);
}

// ---- Power and removal ----

void ioPowerDown(Device& device) {
    DeviceIoState* io = device.ioState();
    if (io == nullptr)
        return;
    io->inD0 = false;
    std::vector<Queue*> queues = io->queues;
    for (Queue* queue : queues)
        queue->beginPowerDown();
    auto settled = [io] {
        return std::all_of(io->queues.begin(), io->queues.end(),
                           [](Queue* q) { return q->powerDownSettled(); });
    };
    if (!io->waitFor(settled, kPowerPassLimit))
        for (Queue* queue : io->queues)
            if (!queue->powerDownSettled())
                queue->reportUnacknowledged();
}

void ioPowerUp(Device& device) {
    DeviceIoState* io = device.ioState();
    if (io == nullptr)
        return;
    io->inD0 = true;
    std::vector<Queue*> queues = io->queues;
    for (Queue* queue : queues)
        queue->powerUp();
}

void ioPurgeForRemoval(Device& device) {
    DeviceIoState* io = device.ioState();
    if (io == nullptr)
        return;
    io->removed = true;
    std::vector<Queue*> queues = io->queues;
    std::stable_partition(queues.begin(), queues.end(), [](Queue* q) { return q->powerManaged(); });
    for (Queue* queue : queues)
        queue->beginRemovalPurge();
    auto drained = [io] {
        return std::all_of(io->queues.begin(), io->queues.end(),
                           [](Queue* q) { return q->owned().empty() && q->waiting().empty(); });
    };
    if (!io->waitFor(drained, kPowerPassLimit))
        for (Queue* queue : io->queues)
            queue->reportNeverCompleted();
}

void ioSurpriseRemoved(Device& device) {
    DeviceIoState* io = device.ioState();
    if (io == nullptr)
        return;
    std::vector<IoTarget*> targets = io->targets;
    for (IoTarget* target : targets)
        target->cancelSentIo();
}

} // namespace zv::wdf

// ---- Entry points ----

using namespace zv::wdf;

namespace {

zv::wdf::DeviceInit* initOf(PWDFDEVICE_INIT handle, const char* routine) {
    enterCall(routine, true);
    return zv::wdf::DeviceInit::fromHandle(handle, routine);
}

} // namespace

EXTERN_C VOID WdfDeviceInitSetIoType(PWDFDEVICE_INIT DeviceInit, WDF_DEVICE_IO_TYPE IoType) {
    constexpr const char* routine = "WdfDeviceInitSetIoType";
    zv::wdf::DeviceInit* init = initOf(DeviceInit, routine);
    if (init == nullptr)
        return;
    if (IoType != WdfDeviceIoBuffered && IoType != WdfDeviceIoDirect && IoType != WdfDeviceIoNeither) {
        reportViolation(rule::kBadParameter, nullptr, routine, "not a WDF_DEVICE_IO_TYPE a device can have");
        return;
    }
    init->io().ioType = IoType;
}

EXTERN_C VOID WdfDeviceInitSetRequestAttributes(PWDFDEVICE_INIT DeviceInit,
                                                PWDF_OBJECT_ATTRIBUTES RequestAttributes) {
    constexpr const char* routine = "WdfDeviceInitSetRequestAttributes";
    zv::wdf::DeviceInit* init = initOf(DeviceInit, routine);
    if (init == nullptr || RequestAttributes == nullptr ||
        !NT_SUCCESS(checkAttributes(RequestAttributes, routine)))
        return;
    if (RequestAttributes->ParentObject != nullptr) {
        reportViolation(rule::kBadParameter, nullptr, routine, "a request's attributes cannot name a parent");
        return;
    }
    init->io().requestAttributes = *RequestAttributes;
}

EXTERN_C NTSTATUS WdfDeviceInitAssignWdmIrpPreprocessCallback(
    PWDFDEVICE_INIT DeviceInit, PFN_WDFDEVICE_WDM_IRP_PREPROCESS EvtDeviceWdmIrpPreprocess,
    UCHAR MajorFunction, PUCHAR MinorFunctions, ULONG NumMinorFunctions) {
    constexpr const char* routine = "WdfDeviceInitAssignWdmIrpPreprocessCallback";
    zv::wdf::DeviceInit* init = initOf(DeviceInit, routine);
    if (init == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (EvtDeviceWdmIrpPreprocess == nullptr || MajorFunction >= IRP_MJ_MAXIMUM_FUNCTION_COUNT ||
        (NumMinorFunctions > 0 && MinorFunctions == nullptr)) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "needs a callback, a major function code and the minor functions it names");
        return STATUS_INVALID_PARAMETER;
    }
    if (MajorFunction == IRP_MJ_PNP || MajorFunction == IRP_MJ_POWER) {
        reportViolation(rule::kBadParameter, nullptr, routine,
                        "Plug and Play and power IRPs cannot be preprocessed on this platform");
        return STATUS_NOT_SUPPORTED;
    }
    zv::wdf::IoConfig& io = init->io();
    for (zv::wdf::IoConfig::Preprocess& p : io.preprocess) {
        if (p.major != MajorFunction)
            continue;
        if (p.callback != EvtDeviceWdmIrpPreprocess) {
            reportViolation(rule::kBadParameter, nullptr, routine,
                            "this major function has another preprocess callback already");
            return STATUS_INVALID_DEVICE_REQUEST;
        }
        // More minor functions for the same callback; none means all of them.
        if (NumMinorFunctions == 0 || p.minors.empty())
            p.minors.clear();
        else
            p.minors.insert(p.minors.end(), MinorFunctions, MinorFunctions + NumMinorFunctions);
        return STATUS_SUCCESS;
    }
    zv::wdf::IoConfig::Preprocess entry{MajorFunction, EvtDeviceWdmIrpPreprocess, {}};
    if (NumMinorFunctions > 0)
        entry.minors.assign(MinorFunctions, MinorFunctions + NumMinorFunctions);
    io.preprocess.push_back(std::move(entry));
    return STATUS_SUCCESS;
}

EXTERN_C NTSTATUS WdfDeviceWdmDispatchPreprocessedIrp(WDFDEVICE Device, PIRP Irp) {
    constexpr const char* routine = "WdfDeviceWdmDispatchPreprocessedIrp";
    enterCall(routine);
    auto* device = resolve<zv::wdf::Device>(Device, routine);
    if (device == nullptr || Irp == nullptr)
        return Irp != nullptr ? completeNow(Irp, STATUS_INVALID_PARAMETER) : STATUS_INVALID_PARAMETER;
    DeviceIoState* io = device->ioState();
    if (io == nullptr)
        return completeNow(Irp, STATUS_NO_SUCH_DEVICE);
    // The callback skipped or copied the current location; the framework takes the IRP up at the next one.
    if (Irp->CurrentLocation <= 1) {
        reportViolation(rule::kNoStackLocation, device, routine,
                        "the IRP has no next stack location to dispatch from");
        return completeNow(Irp, STATUS_INVALID_DEVICE_REQUEST);
    }
    IoSetNextIrpStackLocation(Irp);
    IoGetCurrentIrpStackLocation(Irp)->DeviceObject = io->self;
    return dispatchToFramework(*io, Irp);
}
