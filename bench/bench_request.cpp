// The request path's costs, per operation: an application's DeviceIoControl on a framework device whose
// queue completes it at once (the I/O manager's IRP, the framework's request, presentation, completion
// and the way back), and a driver's send of a reused request to the device below with a completion
// routine. Each machine is fresh; the timed loop runs inside its fibers, so wall time per iteration is the
// platform's cost.
#include "platform/io/win32.h"
#include "platform/wdf/device.h"
#include "platform/wdf/driver.h"

#include <wdf.h>

#include <benchmark/benchmark.h>

#include <memory>

namespace {

constexpr ULONG kBenchIoctl = CTL_CODE(FILE_DEVICE_UNKNOWN, 0x900, METHOD_BUFFERED, FILE_ANY_ACCESS);

VOID EvtBenchIoDeviceControl(WDFQUEUE, WDFREQUEST request, size_t outputLength, size_t, ULONG) {
    WdfRequestCompleteWithInformation(request, STATUS_SUCCESS, outputLength);
}

VOID EvtBenchCompletion(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS params, WDFCONTEXT context) {
    *static_cast<NTSTATUS*>(context) = params->IoStatus.Status;
}

NTSTATUS BenchLowerDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}

NTSTATUS BenchDriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
}

UNICODE_STRING counted(const char16_t* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

// A framework driver with one named device above a raw WDM device that completes what it gets; the
// device's default queue answers device controls at once.
class BenchMachine {
public:
    bool setUp() {
        lowerRecord_ = std::make_unique<zv::wdf::DriverRecord>(u"ZvBenchLower");
        for (auto& major : lowerRecord_->driverObject()->MajorFunction)
            major = &BenchLowerDispatch;
        if (!NT_SUCCESS(IoCreateDevice(lowerRecord_->driverObject(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0,
                                       FALSE, &lower_)))
            return false;
        lower_->Flags &= ~DO_DEVICE_INITIALIZING;
        record_ = std::make_unique<zv::wdf::DriverRecord>(u"ZvBench");
        if (!NT_SUCCESS(record_->callDriverEntry(&BenchDriverEntry)))
            return false;
        zv::wdf::DeviceInit init(
            *record_->driver(),
            zv::wdf::DeviceInstance{u"ROOT\\ZVBENCH\\0000", u"{4d36e97d-e325-11ce-bfc1-08002be10318}", 0},
            zv::wdf::DeviceInit::Kind::Fdo, lower_);
        UNICODE_STRING name = counted(u"\\Device\\ZvBench");
        if (!NT_SUCCESS(WdfDeviceInitAssignName(init.handle(), &name)))
            return false;
        PWDFDEVICE_INIT handle = init.handle();
        if (!NT_SUCCESS(WdfDeviceCreate(&handle, WDF_NO_OBJECT_ATTRIBUTES, &device_)))
            return false;
        WDF_IO_QUEUE_CONFIG config;
        WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, WdfIoQueueDispatchParallel);
        config.PowerManaged = WdfFalse;
        config.EvtIoDeviceControl = &EvtBenchIoDeviceControl;
        if (!NT_SUCCESS(WdfIoQueueCreate(device_, &config, WDF_NO_OBJECT_ATTRIBUTES, nullptr)))
            return false;
        UNICODE_STRING link = counted(u"\\DosDevices\\ZvBench");
        if (!NT_SUCCESS(WdfDeviceCreateSymbolicLink(device_, &link)))
            return false;
        WdfDeviceWdmGetDeviceObject(device_)->Flags &= ~DO_DEVICE_INITIALIZING;
        return true;
    }

    void tearDown() {
        record_.reset();
        if (lower_ != nullptr)
            IoDeleteDevice(lower_);
        lowerRecord_.reset();
    }

    WDFDEVICE device() const { return device_; }

private:
    std::unique_ptr<zv::wdf::DriverRecord> lowerRecord_;
    std::unique_ptr<zv::wdf::DriverRecord> record_;
    PDEVICE_OBJECT lower_ = nullptr;
    WDFDEVICE device_ = nullptr;
};

void BM_DeviceIoControlRoundTrip(benchmark::State& state) {
    zv::sim::Scheduler scheduler;
    scheduler.setTraceEnabled(false);
    zv::io::spawnApplication("bench", [&] {
        BenchMachine machine;
        if (!machine.setUp()) {
            state.SkipWithError("the device could not be made");
            machine.tearDown();
            return;
        }
        HANDLE handle = CreateFileW(u"\\\\.\\ZvBench", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
        if (handle == INVALID_HANDLE_VALUE) {
            state.SkipWithError("CreateFile failed");
            machine.tearDown();
            return;
        }
        uint8_t in[16] = {}, out[16] = {};
        for (auto _ : state) {
            DWORD returned = 0;
            if (!DeviceIoControl(handle, kBenchIoctl, in, sizeof in, out, sizeof out, &returned, nullptr)) {
                state.SkipWithError("DeviceIoControl failed");
                break;
            }
            benchmark::DoNotOptimize(returned);
        }
        CloseHandle(handle);
        machine.tearDown();
    });
    scheduler.run();
    if (!scheduler.verifier().empty())
        state.SkipWithError("the verifier reported");
}
BENCHMARK(BM_DeviceIoControlRoundTrip);

void BM_SendToLowerTargetWithCompletionRoutine(benchmark::State& state) {
    zv::sim::Scheduler scheduler;
    scheduler.setTraceEnabled(false);
    scheduler.spawn("bench", [&] {
        BenchMachine machine;
        if (!machine.setUp()) {
            state.SkipWithError("the device could not be made");
            machine.tearDown();
            return;
        }
        WDFIOTARGET target = WdfDeviceGetIoTarget(machine.device());
        WDFREQUEST request = nullptr;
        WDFMEMORY memory = nullptr;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = machine.device();
        if (!NT_SUCCESS(WdfRequestCreate(&attributes, target, &request)) ||
            !NT_SUCCESS(WdfMemoryCreate(&attributes, NonPagedPool, 0, 64, &memory, nullptr))) {
            state.SkipWithError("request or memory creation failed");
            machine.tearDown();
            return;
        }
        NTSTATUS status = STATUS_PENDING;
        for (auto _ : state) {
            WDF_REQUEST_REUSE_PARAMS reuse;
            WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
            WdfRequestReuse(request, &reuse);
            WdfIoTargetFormatRequestForWrite(target, request, memory, nullptr, nullptr);
            WdfRequestSetCompletionRoutine(request, &EvtBenchCompletion, &status);
            if (!WdfRequestSend(request, target, WDF_NO_SEND_OPTIONS) || status != STATUS_SUCCESS) {
                state.SkipWithError("the send failed");
                break;
            }
            status = STATUS_PENDING;
        }
        WdfObjectDelete(request);
        machine.tearDown();
    });
    scheduler.run();
    if (!scheduler.verifier().empty())
        state.SkipWithError("the verifier reported");
}
BENCHMARK(BM_SendToLowerTargetWithCompletionRoutine);

} // namespace
