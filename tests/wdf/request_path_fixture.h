// The fixture of the request path's tests. The test plays the driver: a framework driver whose device-add,
// queue, request and file callbacks call the hooks the test sets (kept per machine, so each test starts
// with none), a framework device built through the ordinary device-add path above a raw WDM device that
// stands for the stack below (its dispatch routine is a hook too, by default completing what it gets), and
// IRPs sent into the framework device from above as the I/O manager sends them.
#ifndef ZV_TESTS_WDF_REQUEST_PATH_FIXTURE_H
#define ZV_TESTS_WDF_REQUEST_PATH_FIXTURE_H

#include "tests/support/sim_test.h"

#include "platform/kernel/irp.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device_io.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/request.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zv::test {

struct DriverHooks {
    explicit DriverHooks(sim::Scheduler&) {}
    std::function<NTSTATUS(PWDFDEVICE_INIT)> deviceAdd;
    // Every presented request: reads, writes, (internal) device controls and the rest.
    std::function<void(WDFQUEUE, WDFREQUEST)> io;
    std::function<void(WDFQUEUE, WDFREQUEST, ULONG)> stop;
    std::function<void(WDFQUEUE, WDFREQUEST)> resume;
    std::function<void(WDFQUEUE, WDFREQUEST)> canceledOnQueue;
    std::function<void(WDFREQUEST)> cancel;
    std::function<void(WDFREQUEST, WDFIOTARGET, PWDF_REQUEST_COMPLETION_PARAMS, WDFCONTEXT)> completion;
    std::function<void(WDFQUEUE, WDFCONTEXT)> queueState;
    std::function<void(WDFDEVICE, WDFREQUEST, WDFFILEOBJECT)> fileCreate;
    std::function<void(WDFFILEOBJECT)> fileCleanup;
    std::function<void(WDFFILEOBJECT)> fileClose;
    std::function<NTSTATUS(PIRP)> preprocess;
    // The WDM device below. Unset: completes every IRP with STATUS_SUCCESS and its length.
    std::function<NTSTATUS(PDEVICE_OBJECT, PIRP)> lower;
    // IRPs the lower device holds (see holdBelow), cancelable.
    std::deque<PIRP> heldBelow;
};

inline DriverHooks& hooks() {
    return sim::Scheduler::current()->service<DriverHooks>();
}

namespace callbacks {

inline NTSTATUS DeviceAdd(WDFDRIVER, PWDFDEVICE_INIT init) {
    return hooks().deviceAdd(init);
}
inline VOID IoDefault(WDFQUEUE q, WDFREQUEST r) {
    hooks().io(q, r);
}
inline VOID IoRead(WDFQUEUE q, WDFREQUEST r, size_t) {
    hooks().io(q, r);
}
inline VOID IoWrite(WDFQUEUE q, WDFREQUEST r, size_t) {
    hooks().io(q, r);
}
inline VOID IoDeviceControl(WDFQUEUE q, WDFREQUEST r, size_t, size_t, ULONG) {
    hooks().io(q, r);
}
inline VOID IoStop(WDFQUEUE q, WDFREQUEST r, ULONG flags) {
    hooks().stop(q, r, flags);
}
inline VOID IoResume(WDFQUEUE q, WDFREQUEST r) {
    hooks().resume(q, r);
}
inline VOID IoCanceledOnQueue(WDFQUEUE q, WDFREQUEST r) {
    hooks().canceledOnQueue(q, r);
}
inline VOID RequestCancel(WDFREQUEST r) {
    hooks().cancel(r);
}
inline VOID Completion(WDFREQUEST r, WDFIOTARGET t, PWDF_REQUEST_COMPLETION_PARAMS p, WDFCONTEXT c) {
    hooks().completion(r, t, p, c);
}
inline VOID QueueState(WDFQUEUE q, WDFCONTEXT c) {
    hooks().queueState(q, c);
}
inline VOID FileCreate(WDFDEVICE d, WDFREQUEST r, WDFFILEOBJECT f) {
    hooks().fileCreate(d, r, f);
}
inline VOID FileCleanup(WDFFILEOBJECT f) {
    hooks().fileCleanup(f);
}
inline VOID FileClose(WDFFILEOBJECT f) {
    hooks().fileClose(f);
}
inline NTSTATUS Preprocess(WDFDEVICE, PIRP irp) {
    return hooks().preprocess(irp);
}

inline NTSTATUS completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

inline ULONG_PTR lengthOf(PIO_STACK_LOCATION s) {
    switch (s->MajorFunction) {
        case IRP_MJ_READ:
            return s->Parameters.Read.Length;
        case IRP_MJ_WRITE:
            return s->Parameters.Write.Length;
        case IRP_MJ_DEVICE_CONTROL:
        case IRP_MJ_INTERNAL_DEVICE_CONTROL:
            return s->Parameters.DeviceIoControl.OutputBufferLength;
        default:
            return 0;
    }
}

inline NTSTATUS LowerDispatch(PDEVICE_OBJECT device, PIRP irp) {
    if (hooks().lower)
        return hooks().lower(device, irp);
    return completeIrp(irp, STATUS_SUCCESS, lengthOf(IoGetCurrentIrpStackLocation(irp)));
}

inline VOID LowerCancel(PDEVICE_OBJECT, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    auto& held = hooks().heldBelow;
    held.erase(std::remove(held.begin(), held.end(), irp), held.end());
    completeIrp(irp, STATUS_CANCELLED, 0);
}

} // namespace callbacks

// The lower device keeps what it gets, cancelable, until the test completes it or it is cancelled.
inline NTSTATUS holdBelow(PDEVICE_OBJECT, PIRP irp) {
    IoMarkIrpPending(irp);
    hooks().heldBelow.push_back(irp);
    IoSetCancelRoutine(irp, &callbacks::LowerCancel);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        hooks().heldBelow.pop_back();
        callbacks::completeIrp(irp, STATUS_CANCELLED, 0);
    }
    return STATUS_PENDING;
}

// Completes the oldest IRP the lower device holds.
inline void releaseBelow(NTSTATUS status, ULONG_PTR information = 0) {
    auto& held = hooks().heldBelow;
    ASSERT_FALSE(held.empty());
    PIRP irp = held.front();
    held.pop_front();
    ASSERT_NE(IoSetCancelRoutine(irp, nullptr), nullptr);
    callbacks::completeIrp(irp, status, information);
}

// An IRP sent into the framework device from above, and what became of it.
struct Submission {
    PIRP irp = nullptr;
    bool done = false;
    NTSTATUS status = STATUS_PENDING;
    ULONG_PTR information = 0;
    NTSTATUS returned = STATUS_PENDING; // what IoCallDriver returned
    std::vector<uint8_t> buffer;
};

struct IrpShape {
    UCHAR major = IRP_MJ_READ;
    ULONG length = 16;     // read/write length; device control output length
    ULONG inputLength = 0; // device control input length
    ULONG ioctl = 0;       // device control code
    PFILE_OBJECT file = nullptr;
    PVOID argument1 = nullptr; // an internal control's first argument (an URB, for instance)
};

inline constexpr ULONG kBufferedIoctl =
    CTL_CODE(FILE_DEVICE_UNKNOWN, 0x800, METHOD_BUFFERED, FILE_ANY_ACCESS);

class RequestPathTest : public SimTest {
protected:
    // Runs `body` on the test's fiber between loading the driver (with a lower device) and unloading it.
    void run(const std::function<void()>& body) {
        runInFiber([&] {
            load();
            body();
            unload();
        });
    }

    void load() {
        lowerRecord_ = std::make_unique<wdf::DriverRecord>(u"ZvReqLower");
        for (auto& major : lowerRecord_->driverObject()->MajorFunction)
            major = &callbacks::LowerDispatch;
        ASSERT_EQ(
            IoCreateDevice(lowerRecord_->driverObject(), 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &lower_),
            STATUS_SUCCESS);
        lower_->Flags &= ~DO_DEVICE_INITIALIZING;
        record_ = std::make_unique<wdf::DriverRecord>(u"ZvReqTest");
        ASSERT_EQ(record_->callDriverEntry(&entry), STATUS_SUCCESS);
    }

    void unload() {
        record_.reset();
        // The records stay for the test to look at; their IRPs go.
        for (auto& s : submissions_) {
            if (s->irp != nullptr && s->done) {
                IoFreeIrp(s->irp);
                s->irp = nullptr;
            }
        }
        if (lower_ != nullptr)
            IoDeleteDevice(lower_);
        lower_ = nullptr;
        lowerRecord_.reset();
    }

    // A framework device above the lower device (or, with `below` false, with nothing below it), made by
    // the driver's device-add callback: `configure` sets the device-init record up first.
    WDFDEVICE addDevice(const std::function<void(PWDFDEVICE_INIT)>& configure = {},
                        PWDF_OBJECT_ATTRIBUTES attributes = nullptr, bool below = true) {
        WDFDEVICE device = nullptr;
        hooks().deviceAdd = [&](PWDFDEVICE_INIT init) {
            if (configure)
                configure(init);
            return WdfDeviceCreate(&init, attributes, &device);
        };
        wdf::DeviceInstance instance{u"ROOT\\ZVREQ\\" + std::u16string(1, u'0' + devices_.size()),
                                     u"{4d36e97d-e325-11ce-bfc1-08002be10318}",
                                     static_cast<unsigned>(devices_.size())};
        wdf::DeviceInit init(*record_->driver(), instance, wdf::DeviceInit::Kind::Fdo,
                             below ? lower_ : nullptr);
        EXPECT_EQ(wdf::addDevice(*record_->driver(), init), STATUS_SUCCESS);
        if (device != nullptr)
            devices_.push_back(device);
        return device;
    }

    static wdf::Device& deviceOf(WDFDEVICE device) {
        return *static_cast<wdf::Device*>(wdf::objects().find(static_cast<WDFOBJECT>(device)));
    }
    static PDEVICE_OBJECT wdm(WDFDEVICE device) { return WdfDeviceWdmGetDeviceObject(device); }

    // A queue of `device` whose callbacks are the hooks'; `tweak` adjusts the config first.
    static WDFQUEUE addQueue(WDFDEVICE device, WDF_IO_QUEUE_DISPATCH_TYPE type, bool isDefault,
                             const std::function<void(WDF_IO_QUEUE_CONFIG&)>& tweak = {},
                             PWDF_OBJECT_ATTRIBUTES attributes = nullptr) {
        WDF_IO_QUEUE_CONFIG config;
        if (isDefault)
            WDF_IO_QUEUE_CONFIG_INIT_DEFAULT_QUEUE(&config, type);
        else
            WDF_IO_QUEUE_CONFIG_INIT(&config, type);
        if (type != WdfIoQueueDispatchManual) {
            config.EvtIoDefault = &callbacks::IoDefault;
            config.EvtIoRead = &callbacks::IoRead;
            config.EvtIoWrite = &callbacks::IoWrite;
            config.EvtIoDeviceControl = &callbacks::IoDeviceControl;
            config.EvtIoInternalDeviceControl = &callbacks::IoDeviceControl;
        }
        if (tweak)
            tweak(config);
        WDFQUEUE queue = nullptr;
        EXPECT_EQ(WdfIoQueueCreate(device, &config, attributes, &queue), STATUS_SUCCESS);
        return queue;
    }

    static void powerUp(WDFDEVICE device) { wdf::ioPowerUp(deviceOf(device)); }
    static void powerDown(WDFDEVICE device) { wdf::ioPowerDown(deviceOf(device)); }
    static void purgeForRemoval(WDFDEVICE device) { wdf::ioPurgeForRemoval(deviceOf(device)); }

    // Sends an IRP built from `shape` to the top of `device`'s stack.
    Submission& submit(WDFDEVICE device, const IrpShape& shape) { return submitTo(wdm(device), shape); }

    Submission& submitTo(PDEVICE_OBJECT target, const IrpShape& shape) {
        auto owned = std::make_unique<Submission>();
        Submission* s = owned.get();
        submissions_.push_back(std::move(owned));
        s->buffer.assign(std::max(shape.length, shape.inputLength) + 1, 0);
        PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
        s->irp = irp;
        irp->AssociatedIrp.SystemBuffer = s->buffer.data();
        irp->UserBuffer = s->buffer.data();
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = shape.major;
        next->FileObject = shape.file;
        irp->Tail.Overlay.OriginalFileObject = shape.file;
        switch (shape.major) {
            case IRP_MJ_READ:
                next->Parameters.Read.Length = shape.length;
                break;
            case IRP_MJ_WRITE:
                next->Parameters.Write.Length = shape.length;
                break;
            case IRP_MJ_DEVICE_CONTROL:
            case IRP_MJ_INTERNAL_DEVICE_CONTROL:
                next->Parameters.DeviceIoControl.OutputBufferLength = shape.length;
                next->Parameters.DeviceIoControl.InputBufferLength = shape.inputLength;
                next->Parameters.DeviceIoControl.IoControlCode = shape.ioctl;
                if (shape.argument1 != nullptr)
                    next->Parameters.Others.Argument1 = shape.argument1;
                break;
            default:
                break;
        }
        kernel::setIrpCompletionHandler(irp, [s](PIRP done) {
            s->done = true;
            s->status = done->IoStatus.Status;
            s->information = done->IoStatus.Information;
        });
        s->returned = IoCallDriver(target, irp);
        return *s;
    }

    std::unique_ptr<wdf::DriverRecord> record_;
    std::unique_ptr<wdf::DriverRecord> lowerRecord_;
    PDEVICE_OBJECT lower_ = nullptr;
    std::vector<WDFDEVICE> devices_;
    std::vector<std::unique_ptr<Submission>> submissions_;

private:
    static NTSTATUS entry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, &callbacks::DeviceAdd);
        return WdfDriverCreate(driverObject, registryPath, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
    }
};

} // namespace zv::test

#endif // ZV_TESTS_WDF_REQUEST_PATH_FIXTURE_H
