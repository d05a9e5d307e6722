// IRPs: allocation, IoCallDriver, completion, cancellation and the cancel spin lock, memory descriptor
// lists, and the power variants of the calls.
#include "platform/kernel/irp.h"

#include "platform/kernel/device_object.h"
#include "platform/kernel/machine.h"
#include "platform/sim/scheduler.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <set>

namespace zv::kernel {

namespace {

constexpr UCHAR kAllocatedFromPool = 0x01;

std::string hexPointer(const void* p) {
    char text[32];
    std::snprintf(text, sizeof text, "%p", p);
    return text;
}

struct IrpRecord {
    bool pool = false;
    bool inFlight = false;
    CHAR entry = 0; // the sender's CurrentLocation when it sent the IRP
    std::function<void(PIRP)> handler;
};

// The machine's IRPs. Records are held by pointer so that a completion routine freeing an IRP (and its
// record) never moves the records of others.
class IrpTable {
public:
    explicit IrpTable(sim::Scheduler&) {}
    ~IrpTable() {
        for (auto& [irp, record] : records_)
            if (record->pool)
                std::free(irp);
    }
    IrpTable(const IrpTable&) = delete;
    IrpTable& operator=(const IrpTable&) = delete;

    IrpRecord* find(PIRP irp) {
        auto it = records_.find(irp);
        return it == records_.end() ? nullptr : it->second.get();
    }
    IrpRecord& add(PIRP irp) {
        auto& slot = records_[irp];
        if (!slot)
            slot = std::make_unique<IrpRecord>();
        return *slot;
    }
    void erase(PIRP irp) { records_.erase(irp); }

    // Reports and returns nullptr when `irp` is not an IRP the kernel knows.
    IrpRecord* check(PIRP irp, const char* routine) {
        IrpRecord* r = find(irp);
        if (r == nullptr)
            reportMisuse(rule::kIrpUnknown, "IRP " + hexPointer(irp), routine,
                         irp == nullptr ? "NULL IRP" : "not an IRP (freed, or never allocated)");
        return r;
    }

private:
    std::map<PIRP, std::unique_ptr<IrpRecord>> records_;
};

IrpTable& irps() {
    return requireMachine("IRPs").service<IrpTable>();
}

// The cancel spin lock of the machine.
class CancelLock {
public:
    explicit CancelLock(sim::Scheduler&) {}
    sim::Lock lock{sim::Lock::Kind::Spin, "cancel spin lock"};
};

sim::Lock& cancelLock() {
    return requireMachine("cancel spin lock").service<CancelLock>().lock;
}

void initialize(PIRP irp, USHORT size, CCHAR stackSize, UCHAR allocationFlags) {
    std::memset(irp, 0, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->AllocationFlags = allocationFlags;
    irp->ThreadListEntry.Flink = irp->ThreadListEntry.Blink = &irp->ThreadListEntry;
    irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
}

void preempt() {
    if (sim::Scheduler* m = machine())
        m->preempt();
}

class MdlTable {
public:
    explicit MdlTable(sim::Scheduler&) {}
    ~MdlTable() {
        for (PMDL mdl : mdls_)
            std::free(mdl);
    }
    MdlTable(const MdlTable&) = delete;
    MdlTable& operator=(const MdlTable&) = delete;
    std::set<PMDL> mdls_;
};

MdlTable& mdls() {
    return requireMachine("MDLs").service<MdlTable>();
}

bool checkMdl(PMDL mdl, const char* routine) {
    if (mdls().mdls_.count(mdl) != 0)
        return true;
    reportMisuse(rule::kMdlUnknown, "MDL " + hexPointer(mdl), routine,
                 mdl == nullptr ? "NULL MDL" : "not an MDL (freed, or never allocated)");
    return false;
}

} // namespace

const char* majorFunctionName(UCHAR major) {
    static constexpr const char* kNames[] = {"IRP_MJ_CREATE",
                                             "IRP_MJ_CREATE_NAMED_PIPE",
                                             "IRP_MJ_CLOSE",
                                             "IRP_MJ_READ",
                                             "IRP_MJ_WRITE",
                                             "IRP_MJ_QUERY_INFORMATION",
                                             "IRP_MJ_SET_INFORMATION",
                                             "IRP_MJ_QUERY_EA",
                                             "IRP_MJ_SET_EA",
                                             "IRP_MJ_FLUSH_BUFFERS",
                                             "IRP_MJ_QUERY_VOLUME_INFORMATION",
                                             "IRP_MJ_SET_VOLUME_INFORMATION",
                                             "IRP_MJ_DIRECTORY_CONTROL",
                                             "IRP_MJ_FILE_SYSTEM_CONTROL",
                                             "IRP_MJ_DEVICE_CONTROL",
                                             "IRP_MJ_INTERNAL_DEVICE_CONTROL",
                                             "IRP_MJ_SHUTDOWN",
                                             "IRP_MJ_LOCK_CONTROL",
                                             "IRP_MJ_CLEANUP",
                                             "IRP_MJ_CREATE_MAILSLOT",
                                             "IRP_MJ_QUERY_SECURITY",
                                             "IRP_MJ_SET_SECURITY",
                                             "IRP_MJ_POWER",
                                             "IRP_MJ_SYSTEM_CONTROL",
                                             "IRP_MJ_DEVICE_CHANGE",
                                             "IRP_MJ_QUERY_QUOTA",
                                             "IRP_MJ_SET_QUOTA",
                                             "IRP_MJ_PNP"};
    return major < std::size(kNames) ? kNames[major] : "IRP_MJ_(unknown)";
}

std::string describeIrp(PIRP irp) {
    std::string text = "IRP " + hexPointer(irp);
    if (sim::Scheduler::current() != nullptr && irps().find(irp) != nullptr &&
        irp->CurrentLocation <= irp->StackCount && irp->CurrentLocation >= 1)
        text += std::string(" (") + majorFunctionName(IoGetCurrentIrpStackLocation(irp)->MajorFunction) + ")";
    return text;
}

NTSTATUS completeIrp(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS completeIrpAsIs(PIRP irp) {
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

void setIrpCompletionHandler(PIRP irp, std::function<void(PIRP)> handler) {
    if (IrpRecord* r = irps().check(irp, "setIrpCompletionHandler"))
        r->handler = std::move(handler);
}

bool isIrpLive(PIRP irp) {
    return irps().find(irp) != nullptr;
}

bool isIrpInFlight(PIRP irp) {
    IrpRecord* r = irps().find(irp);
    return r != nullptr && r->inFlight;
}

} // namespace zv::kernel

using namespace zv::kernel;

namespace {

// Unwinds `irp` from its current location upward, as IoCompleteRequest does.
void unwind(PIRP irp) {
    IrpTable& table = irps();
    for (;;) {
        IrpRecord* record = table.find(irp);
        if (record == nullptr) {
            // A completion routine freed the IRP and did not return STATUS_MORE_PROCESSING_REQUIRED.
            reportMisuse(rule::kIrpUnknown, "IRP " + hexPointer(irp), "IoCompleteRequest",
                         "freed by a completion routine that let the completion go on");
            return;
        }
        if (irp->CurrentLocation > irp->StackCount) {
            record->inFlight = false;
            if (record->handler) {
                auto handler = record->handler;
                handler(irp);
            } else {
                reportMisuse(rule::kIrpNotReclaimed, describeIrp(irp), "IoCompleteRequest",
                             "completed past its first location with nobody to take it back: the sender's "
                             "completion routine must return STATUS_MORE_PROCESSING_REQUIRED");
            }
            return;
        }
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) != 0;
        if (irp->CurrentLocation == record->entry)
            record->inFlight = false; // back with its sender, who may free it in its routine
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = (NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                      (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                      (irp->Cancel && (stack->Control & SL_INVOKE_ON_CANCEL));
        PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
        PVOID context = stack->Context;
        stack->Control = 0;
        stack->CompletionRoutine = nullptr;
        stack->Context = nullptr;
        bool atTop = irp->CurrentLocation > irp->StackCount;
        if (invoke && routine != nullptr) {
            PDEVICE_OBJECT device = atTop ? nullptr : IoGetCurrentIrpStackLocation(irp)->DeviceObject;
            bool pendingBelow = irp->PendingReturned;
            NTSTATUS result = routine(device, irp, context);
            if (result == STATUS_MORE_PROCESSING_REQUIRED)
                return;
            if (table.find(irp) == nullptr)
                continue; // reported at the top of the loop
            if (pendingBelow && !atTop &&
                !(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED)) {
                reportMisuse(rule::kPendingNotPropagated, describeIrp(irp), "IoCompleteRequest",
                             "a completion routine saw PendingReturned, let the completion go on and did not "
                             "call IoMarkIrpPending");
                IoMarkIrpPending(irp);
            }
        } else if (irp->PendingReturned && !atTop) {
            IoMarkIrpPending(irp);
        }
    }
}

} // namespace

extern "C" {

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
    (void)ChargeQuota;
    if (StackSize < 1) {
        reportMisuse(rule::kInvalidParameter, "IoAllocateIrp", "IoAllocateIrp", "StackSize below 1");
        return nullptr;
    }
    USHORT size = IoSizeOfIrp(StackSize);
    auto* irp = static_cast<PIRP>(std::malloc(size));
    if (irp == nullptr)
        return nullptr;
    initialize(irp, size, StackSize, kAllocatedFromPool);
    IrpRecord& record = irps().add(irp);
    record = IrpRecord{};
    record.pool = true;
    return irp;
}

VOID IoFreeIrp(PIRP Irp) {
    IrpTable& table = irps();
    IrpRecord* record = table.check(Irp, "IoFreeIrp");
    if (record == nullptr)
        return;
    if (!record->pool) {
        reportMisuse(rule::kInvalidParameter, describeIrp(Irp), "IoFreeIrp",
                     "not allocated by IoAllocateIrp (its owner frees its memory)");
        return;
    }
    if (record->inFlight) {
        // Kept, so that the drivers still holding it do not touch freed memory.
        reportMisuse(rule::kIrpFreedInFlight, describeIrp(Irp), "IoFreeIrp",
                     "freed while a lower driver still owns it");
        return;
    }
    table.erase(Irp);
    std::free(Irp);
}

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
    if (Irp == nullptr || StackSize < 1 || PacketSize < IoSizeOfIrp(StackSize)) {
        reportMisuse(rule::kInvalidParameter, "IRP " + hexPointer(Irp), "IoInitializeIrp",
                     Irp == nullptr ? "NULL IRP" : "PacketSize too small for StackSize locations");
        return;
    }
    IrpTable& table = irps();
    IrpRecord* existing = table.find(Irp);
    if (existing != nullptr && existing->inFlight) {
        reportMisuse(rule::kIrpReusedInFlight, describeIrp(Irp), "IoInitializeIrp",
                     "initialised while a lower driver still owns it");
        return;
    }
    bool pool = existing != nullptr && existing->pool;
    initialize(Irp, PacketSize, StackSize, pool ? kAllocatedFromPool : 0);
    IrpRecord& record = table.add(Irp);
    record = IrpRecord{};
    record.pool = pool;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
    IrpRecord* record = irps().check(Irp, "IoReuseIrp");
    if (record == nullptr)
        return;
    if (record->inFlight) {
        reportMisuse(rule::kIrpReusedInFlight, describeIrp(Irp), "IoReuseIrp",
                     "reused while a lower driver still owns it");
        return;
    }
    UCHAR flags = Irp->AllocationFlags;
    initialize(Irp, Irp->Size, Irp->StackCount, flags);
    Irp->IoStatus.Status = Iostatus;
}

NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    const char* routine = "IoCallDriver";
    preempt();
    IrpRecord* record = irps().check(Irp, routine);
    if (record == nullptr)
        return STATUS_INVALID_PARAMETER;
    if (!deviceObjects().check(DeviceObject, routine))
        return STATUS_INVALID_PARAMETER;
    if (Irp->CurrentLocation <= 1) {
        reportMisuse(rule::kIrpNoStackLocation, describeIrp(Irp), routine,
                     "no stack location left for the device it is sent to (StackSize too small)");
        return STATUS_INVALID_PARAMETER;
    }
    if (Irp->CancelRoutine != nullptr)
        reportMisuse(rule::kIrpSentCancelable, describeIrp(Irp), routine,
                     "passed to another driver with its cancel routine still set");
    if (!record->inFlight) {
        record->inFlight = true;
        record->entry = Irp->CurrentLocation;
    }
    IoSetNextIrpStackLocation(Irp);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    stack->DeviceObject = DeviceObject;
    PDRIVER_OBJECT driver = DeviceObject->DriverObject;
    PDRIVER_DISPATCH dispatch = nullptr;
    if (driver != nullptr && stack->MajorFunction < IRP_MJ_MAXIMUM_FUNCTION_COUNT)
        dispatch = driver->MajorFunction[stack->MajorFunction];
    if (dispatch == nullptr) {
        // What a driver that handles nothing of this kind answers.
        Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        Irp->IoStatus.Information = 0;
        IoCompleteRequest(Irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
    return dispatch(DeviceObject, Irp);
}

VOID IoCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
    (void)PriorityBoost;
    const char* routine = "IoCompleteRequest";
    preempt();
    IrpRecord* record = irps().check(Irp, routine);
    if (record == nullptr)
        return;
    if (!record->inFlight || Irp->CurrentLocation > Irp->StackCount) {
        reportMisuse(rule::kIrpDoubleCompletion, describeIrp(Irp), routine,
                     Irp->CurrentLocation > Irp->StackCount
                         ? "completed with no stack location left (already completed, or never sent)"
                         : "completed while its sender owns it (already completed)");
        return;
    }
    if (Irp->IoStatus.Status == STATUS_PENDING) {
        reportMisuse(rule::kIrpCompletedPending, describeIrp(Irp), routine, "completed with STATUS_PENDING");
        return;
    }
    if (Irp->CancelRoutine != nullptr) {
        // Cleared, so that a later IoCancelIrp cannot call into a request that is gone.
        reportMisuse(rule::kIrpCompletedCancelable, describeIrp(Irp), routine,
                     "completed with its cancel routine still set");
        Irp->CancelRoutine = nullptr;
    }
    unwind(Irp);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
    if (irps().check(Irp, "IoCancelIrp") == nullptr)
        return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    Irp->Cancel = TRUE;
    PDRIVER_CANCEL cancel = IoSetCancelRoutine(Irp, nullptr);
    if (cancel == nullptr) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    Irp->CancelIrql = irql;
    PDEVICE_OBJECT device = nullptr;
    if (Irp->CurrentLocation >= 1 && Irp->CurrentLocation <= Irp->StackCount)
        device = IoGetCurrentIrpStackLocation(Irp)->DeviceObject;
    // The routine releases the cancel spin lock.
    cancel(device, Irp);
    return TRUE;
}

VOID IoAcquireCancelSpinLock(PKIRQL Irql) {
    zv::sim::Scheduler* m = machine();
    if (m == nullptr || Irql == nullptr)
        return;
    KIRQL previous = static_cast<KIRQL>(m->irql());
    cancelLock().acquire(std::nullopt, "IoAcquireCancelSpinLock");
    *Irql = previous;
}

VOID IoReleaseCancelSpinLock(KIRQL Irql) {
    zv::sim::Scheduler* m = machine();
    if (m == nullptr)
        return;
    cancelLock().release("IoReleaseCancelSpinLock");
    // The lock puts back the level it was taken at; a caller that names another gets that one.
    if (m->currentFiber() != nullptr && static_cast<KIRQL>(m->irql()) != Irql && Irql <= DISPATCH_LEVEL)
        m->setIrql(static_cast<zv::sim::Irql>(Irql), "IoReleaseCancelSpinLock");
}

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
    return IoCallDriver(DeviceObject, Irp);
}

VOID PoStartNextPowerIrp(PIRP Irp) {
    irps().check(Irp, "PoStartNextPowerIrp");
}

PMDL IoAllocateMdl(PVOID VirtualAddress, ULONG Length, BOOLEAN SecondaryBuffer, BOOLEAN ChargeQuota,
                   PIRP Irp) {
    (void)ChargeQuota;
    if (Irp != nullptr && irps().check(Irp, "IoAllocateMdl") == nullptr)
        return nullptr;
    auto* mdl = static_cast<PMDL>(std::calloc(1, sizeof(MDL)));
    if (mdl == nullptr)
        return nullptr;
    auto address = reinterpret_cast<ULONG_PTR>(VirtualAddress);
    mdl->Size = sizeof(MDL);
    mdl->MdlFlags = MDL_MAPPED_TO_SYSTEM_VA;
    mdl->StartVa = reinterpret_cast<PVOID>(address & ~ULONG_PTR(0xFFF));
    mdl->ByteOffset = ULONG(address & 0xFFF);
    mdl->ByteCount = Length;
    mdl->MappedSystemVa = VirtualAddress;
    mdls().mdls_.insert(mdl);
    if (Irp != nullptr) {
        if (!SecondaryBuffer || Irp->MdlAddress == nullptr) {
            Irp->MdlAddress = mdl;
        } else {
            PMDL last = Irp->MdlAddress;
            while (last->Next != nullptr)
                last = last->Next;
            last->Next = mdl;
        }
    }
    return mdl;
}

VOID IoFreeMdl(PMDL Mdl) {
    if (!checkMdl(Mdl, "IoFreeMdl"))
        return;
    mdls().mdls_.erase(Mdl);
    std::free(Mdl);
}

VOID MmBuildMdlForNonPagedPool(PMDL MemoryDescriptorList) {
    if (checkMdl(MemoryDescriptorList, "MmBuildMdlForNonPagedPool"))
        MemoryDescriptorList->MdlFlags |= MDL_SOURCE_IS_NONPAGED_POOL;
}

VOID MmProbeAndLockPages(PMDL MemoryDescriptorList, KPROCESSOR_MODE AccessMode, LOCK_OPERATION Operation) {
    (void)AccessMode;
    (void)Operation;
    if (checkMdl(MemoryDescriptorList, "MmProbeAndLockPages"))
        MemoryDescriptorList->MdlFlags |= MDL_PAGES_LOCKED;
}

VOID MmUnlockPages(PMDL MemoryDescriptorList) {
    if (!checkMdl(MemoryDescriptorList, "MmUnlockPages"))
        return;
    if (!(MemoryDescriptorList->MdlFlags & MDL_PAGES_LOCKED)) {
        reportMisuse(rule::kInvalidParameter, "MDL " + hexPointer(MemoryDescriptorList), "MmUnlockPages",
                     "pages not locked");
        return;
    }
    MemoryDescriptorList->MdlFlags &= ~MDL_PAGES_LOCKED;
}

} // extern "C"
