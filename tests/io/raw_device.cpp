// The raw test device; see raw_device.h.
#include "tests/io/raw_device.h"

#include <algorithm>
#include <cstring>

namespace zv::test {

namespace {

RawDevice& deviceOf(PDEVICE_OBJECT device) {
    return *static_cast<RawDevice*>(WdmLayer::of(device).context);
}

} // namespace

struct RawDispatch {
    static VOID cancelRead(PDEVICE_OBJECT device, PIRP irp) {
        RawDevice& raw = deviceOf(device);
        std::erase(raw.queue_, irp);
        IoReleaseCancelSpinLock(irp->CancelIrql);
        raw.log.push_back("read cancelled");
        completeIrp(irp, STATUS_CANCELLED);
    }

    static NTSTATUS queueRead(RawDevice& raw, PIRP irp) {
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        if (irp->Cancel) {
            IoReleaseCancelSpinLock(irql);
            return completeIrp(irp, STATUS_CANCELLED);
        }
        IoSetCancelRoutine(irp, cancelRead);
        IoMarkIrpPending(irp);
        raw.queue_.push_back(irp);
        IoReleaseCancelSpinLock(irql);
        return STATUS_PENDING;
    }

    static NTSTATUS cleanup(RawDevice& raw, PIRP irp) {
        raw.log.push_back("cleanup");
        PFILE_OBJECT file = IoGetCurrentIrpStackLocation(irp)->FileObject;
        if (raw.cancelOnCleanup) {
            std::vector<PIRP> mine;
            KIRQL irql;
            IoAcquireCancelSpinLock(&irql);
            for (auto it = raw.queue_.begin(); it != raw.queue_.end();) {
                if (IoGetCurrentIrpStackLocation(*it)->FileObject == file &&
                    IoSetCancelRoutine(*it, nullptr)) {
                    mine.push_back(*it);
                    it = raw.queue_.erase(it);
                } else {
                    ++it;
                }
            }
            IoReleaseCancelSpinLock(irql);
            for (PIRP queued : mine) {
                raw.log.push_back("read cancelled");
                completeIrp(queued, STATUS_CANCELLED);
            }
        }
        return completeIrp(irp, STATUS_SUCCESS);
    }
};

RawDevice::RawDevice(Options options) : stack_(stackOptions(options)) {
    install();
}

WdmStack::Options RawDevice::stackOptions(const Options& options) {
    WdmStack::Options o;
    o.layers = options.filter ? 2 : 1;
    o.flags = options.flags;
    o.bottomName = u"\\Device\\ZvRaw0";
    o.linkName = u"\\DosDevices\\ZVRAW0";
    o.exclusive = options.exclusive;
    return o;
}

void* RawDevice::transferBuffer(PDEVICE_OBJECT device, PIRP irp) {
    if (device->Flags & DO_BUFFERED_IO)
        return irp->AssociatedIrp.SystemBuffer;
    if (device->Flags & DO_DIRECT_IO)
        return irp->MdlAddress != nullptr ? MmGetSystemAddressForMdlSafe(irp->MdlAddress, NormalPagePriority)
                                          : nullptr;
    return irp->UserBuffer;
}

bool RawDevice::completeRead(const std::string& data, NTSTATUS status) {
    while (!queue_.empty()) {
        PIRP irp = queue_.front();
        queue_.pop_front();
        KIRQL irql;
        IoAcquireCancelSpinLock(&irql);
        bool mine = IoSetCancelRoutine(irp, nullptr) != nullptr;
        IoReleaseCancelSpinLock(irql);
        if (!mine)
            continue; // its cancel routine has it
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        size_t n = std::min<size_t>(data.size(), stack->Parameters.Read.Length);
        if (n > 0)
            std::memcpy(transferBuffer(stack->DeviceObject, irp), data.data(), n);
        completeIrp(irp, status, NT_ERROR(status) ? 0 : n);
        return true;
    }
    return false;
}

void RawDevice::install() {
    for (size_t i = 0; i < stack_.size(); ++i)
        stack_.layer(i).context = this;
    if (stack_.size() > 1) {
        stack_.topLayer().handlers[IRP_MJ_CREATE] = [this](WdmLayer& layer, PIRP irp) {
            log.push_back("filter create");
            return passDown(layer, irp);
        };
    }
    WdmLayer& bottom = stack_.bottom();
    bottom.handlers[IRP_MJ_CREATE] = [this](WdmLayer&, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        log.push_back("create");
        lastFileName.assign(reinterpret_cast<const char16_t*>(stack->FileObject->FileName.Buffer),
                            stack->FileObject->FileName.Length / sizeof(WCHAR));
        lastAccess = stack->Parameters.Create.SecurityContext->DesiredAccess;
        lastCreateOptions = stack->Parameters.Create.Options;
        return completeIrp(irp, createStatus);
    };
    bottom.handlers[IRP_MJ_CLEANUP] = [this](WdmLayer&, PIRP irp) {
        return RawDispatch::cleanup(*this, irp);
    };
    bottom.handlers[IRP_MJ_CLOSE] = [this](WdmLayer&, PIRP irp) {
        log.push_back("close");
        return completeIrp(irp, STATUS_SUCCESS);
    };
    bottom.handlers[IRP_MJ_FLUSH_BUFFERS] = [this](WdmLayer&, PIRP irp) {
        log.push_back("flush");
        return completeIrp(irp, STATUS_SUCCESS);
    };
    bottom.handlers[IRP_MJ_WRITE] = [this](WdmLayer& layer, PIRP irp) {
        if (failStatus != STATUS_SUCCESS)
            return completeIrp(irp, failStatus);
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Write.Length;
        if (length > 0)
            stored.append(static_cast<const char*>(transferBuffer(layer.device, irp)), length);
        return completeIrp(irp, STATUS_SUCCESS, length);
    };
    bottom.handlers[IRP_MJ_READ] = [this](WdmLayer& layer, PIRP irp) {
        if (failStatus != STATUS_SUCCESS)
            return completeIrp(irp, failStatus);
        if (queueReads)
            return RawDispatch::queueRead(*this, irp);
        ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.Read.Length;
        size_t n = std::min<size_t>(length, stored.size());
        if (n > 0)
            std::memcpy(transferBuffer(layer.device, irp), stored.data(), n);
        stored.erase(0, n);
        return completeIrp(irp, STATUS_SUCCESS, n);
    };
    bottom.handlers[IRP_MJ_DEVICE_CONTROL] = [this](WdmLayer&, PIRP irp) {
        if (deviceControl)
            return deviceControl(irp);
        return completeIrp(irp, STATUS_INVALID_DEVICE_REQUEST);
    };
    bottom.handlers[IRP_MJ_QUERY_INFORMATION] = [this](WdmLayer&, PIRP irp) {
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        if (stack->Parameters.QueryFile.FileInformationClass != FileStandardInformation)
            return completeIrp(irp, STATUS_INVALID_PARAMETER);
        auto* info = static_cast<FILE_STANDARD_INFORMATION*>(irp->AssociatedIrp.SystemBuffer);
        *info = FILE_STANDARD_INFORMATION{};
        info->EndOfFile.QuadPart = LONGLONG(stored.size());
        info->NumberOfLinks = 1;
        return completeIrp(irp, STATUS_SUCCESS, sizeof(FILE_STANDARD_INFORMATION));
    };
}

} // namespace zv::test
