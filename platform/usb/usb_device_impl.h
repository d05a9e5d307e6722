// The USB stack's own view of a device on a port: its PDO state, its configuration with the pipes and
// their handles, and the requests it holds. usb_stack.cpp owns the PDO's Plug and Play, power and device
// control side; urb.cpp owns URB processing and the transfer engine.
//
// Every fiber of the machine runs on one thread and switches only at platform calls, so this state needs
// no lock of its own: each routine leaves it consistent before it calls IoCompleteRequest or anything else
// that may switch fibers. A held IRP is reclaimed from its cancel routine with the usual exchange: whoever
// clears the cancel routine first (completion or cancellation) owns the IRP.
#ifndef ZV_USB_USB_DEVICE_IMPL_H
#define ZV_USB_USB_DEVICE_IMPL_H

#include "platform/usb/usb_stack.h"

#include <deque>
#include <list>
#include <map>

namespace zv::usb {

struct Pipe {
    uintptr_t handle = 0;
    uint8_t interfaceNumber = 0;
    uint8_t address = 0;
    uint8_t type = 0; // USB_ENDPOINT_TYPE_*
    uint16_t maxPacket = 0;
    uint8_t interval = 0;
    ULONG maxTransfer = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
    bool halted = false;
    bool stepScheduled = false;
    bool waitingReady = false;  // the head transfer got a NAK
    sim::Time resumeAt = 0;     // the bus time its last packets took ends here
    std::deque<uint64_t> queue; // pending transfer ids, the head in progress
};

// A request the stack holds: a transfer in progress or queued, a control request on the bus, a delayed
// or never-answered one, an idle notification.
struct Pending {
    uint64_t id = 0;
    PIRP irp = nullptr;
    PURB urb = nullptr;
    uintptr_t pipe = 0; // bulk or interrupt transfers
    size_t done = 0;    // bytes moved so far
    bool waitingEp0 = false;
    bool finishing = false; // its answer is on the way (a DPC will complete it)
    std::optional<sim::Scheduler::EventId> timer;
};

struct UsbDevice::Impl : DevicePort {
    Impl(UsbStack& stack, DeviceModel& model, PortSettings settings, unsigned port);
    ~Impl() override;

    void endpointReady(uint8_t endpointAddress) override;

    // ---- usb_stack.cpp ----
    static Impl* of(PDEVICE_OBJECT pdo);
    static NTSTATUS dispatch(PDEVICE_OBJECT deviceObject, PIRP irp);
    NTSTATUS pnp(PIRP irp);
    NTSTATUS power(PIRP irp);
    NTSTATUS internalControl(PIRP irp);
    NTSTATUS queryInterface(PIRP irp);
    void disconnect();
    void cyclePort();
    void resetPort();
    void deletePdoWhenFree();

    // ---- urb.cpp ----
    NTSTATUS submitUrb(PIRP irp, PURB urb);
    NTSTATUS handleUrb(PIRP irp, PURB urb);
    NTSTATUS getDescriptor(PIRP irp, PURB urb, const Bytes* replacement);
    NTSTATUS selectConfiguration(PIRP irp, PURB urb);
    NTSTATUS selectInterface(PIRP irp, PURB urb);
    NTSTATUS controlRequest(PIRP irp, PURB urb, const SetupPacket& setup, PVOID buffer, ULONG length);
    NTSTATUS transfer(PIRP irp, PURB urb);
    NTSTATUS resetPipe(PIRP irp, PURB urb);
    NTSTATUS abortPipe(PIRP irp, PURB urb);
    void stepPipe(uintptr_t handle);
    void schedulePipe(Pipe& pipe, sim::Time delay);
    void runControl(uint64_t id, SetupPacket setup, PVOID buffer, ULONG length);
    // Drops the pipes (all, or one interface's), failing their transfers as cancelled.
    void dropPipes(std::optional<uint8_t> interfaceNumber);

    // Holding requests. pend() marks the IRP pending and makes it cancelable; it returns the id, or 0 when
    // the IRP was cancelled already (it has been completed then).
    uint64_t pend(PIRP irp, PURB urb, uintptr_t pipe = 0);
    Pending* find(uint64_t id);
    // Completes a held request unless its cancellation has begun (the cancel routine does it then); a
    // transfer's TransferBufferLength becomes the bytes it moved.
    void finish(uint64_t id, USBD_STATUS usbd, NTSTATUS status);
    // Every held request (or those of one pipe) completed with the given status.
    void failHeld(USBD_STATUS usbd, NTSTATUS status, std::optional<uintptr_t> pipe = std::nullopt);
    static void cancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp);
    std::unique_ptr<Pending> take(uint64_t id);
    // Runs `work` on a DPC `delay` from now.
    void later(sim::Time delay, std::string name, std::function<void()> work);
    sim::Time controlDuration(size_t bytes) const;

    UsbStack& stack;
    sim::Scheduler& machine;
    DeviceModel& model;
    PortSettings settings;
    unsigned port;
    PDEVICE_OBJECT pdo = nullptr;
    FaultPlan faults;
    UsbDevice* owner = nullptr;

    bool connected = true;
    bool plugged = false;
    bool removed = false; // IRP_MN_REMOVE_DEVICE seen and no start since
    bool pdoDeleted = false;
    long interfaceRefs = 0;

    Bytes deviceDescriptor;
    UsbIds ids;
    std::u16string instanceId;
    std::u16string instancePath;
    std::u16string description;

    std::optional<uint8_t> configurationValue;
    uintptr_t configurationHandle = 0;
    Bytes configuration;                           // the device's own, while configured
    std::map<uint8_t, uint8_t> alternates;         // interface number -> alternate setting
    std::map<uint8_t, uintptr_t> interfaceHandles; // interface number -> handle
    std::map<uintptr_t, Pipe> pipes;
    uintptr_t nextHandle;

    std::list<std::unique_ptr<Pending>> held;
    uint64_t nextPending = 1;
    uint64_t idleNotification = 0;

    std::vector<UsbRequestRecord> records;
};

} // namespace zv::usb

#endif // ZV_USB_USB_DEVICE_IMPL_H
