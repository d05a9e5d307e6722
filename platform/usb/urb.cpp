// URB processing of a USB device's PDO: descriptor requests, configuration and interface selection with
// their handles, control requests, bulk and interrupt transfers moved packet by packet on the virtual clock
// (link.h's packets per frame), pipe reset and abort, and the requests the stack holds meanwhile.
#include "platform/usb/usb_device_impl.h"

#include <usbioctl.h>

#include <cstring>

namespace zv::usb {

namespace {

void setUrbStatus(PURB urb, USBD_STATUS status) {
    if (urb != nullptr)
        urb->UrbHeader.Status = status;
}

NTSTATUS completeUrb(PIRP irp, PURB urb, USBD_STATUS usbd, NTSTATUS status) {
    setUrbStatus(urb, usbd);
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

// Completion from the bus happens at DISPATCH_LEVEL, as from a host controller's DPC.
void completeAtDispatch(PIRP irp, NTSTATUS status) {
    irp->IoStatus.Status = status;
    KIRQL old = 0;
    bool raise = KeGetCurrentIrql() < DISPATCH_LEVEL;
    if (raise)
        KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    if (raise)
        KeLowerIrql(old);
}

// The buffer of a transfer: the virtual address, else the MDL's mapping.
PVOID bufferOf(PVOID buffer, PMDL mdl) {
    if (buffer != nullptr)
        return buffer;
    return mdl != nullptr ? MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority) : nullptr;
}

ULONG* transferLengthOf(PURB urb) {
    switch (urb->UrbHeader.Function) {
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return &urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_CONTROL_TRANSFER_EX:
            return &urb->UrbControlTransfer.TransferBufferLength;
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return &urb->UrbControlDescriptorRequest.TransferBufferLength;
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER:
            return &urb->UrbControlGetStatusRequest.TransferBufferLength;
        default:
            if (urb->UrbHeader.Function >= URB_FUNCTION_VENDOR_DEVICE &&
                urb->UrbHeader.Function <= URB_FUNCTION_VENDOR_OTHER)
                return &urb->UrbControlVendorClassRequest.TransferBufferLength;
            return nullptr;
    }
}

// Walks a configuration descriptor bounded by its wTotalLength and the bytes there are.
template <class F>
void walk(const uint8_t* config, size_t size, F&& visit) {
    if (size < sizeof(USB_CONFIGURATION_DESCRIPTOR))
        return;
    size_t total = std::min<size_t>(size, size_t(config[2] | config[3] << 8));
    for (size_t at = 0; at + 2 <= total;) {
        uint8_t length = config[at];
        if (length < 2 || at + length > total)
            return;
        if (!visit(config + at, length))
            return;
        at += length;
    }
}

struct EndpointInfo {
    uint8_t address, attributes, interval;
    uint16_t maxPacket;
};
struct InterfaceInfo {
    bool found = false;
    uint8_t cls = 0, subClass = 0, protocol = 0;
    std::vector<EndpointInfo> endpoints;
};

InterfaceInfo findInterface(const uint8_t* config, size_t size, uint8_t number, uint8_t alternate) {
    InterfaceInfo info;
    bool inside = false;
    walk(config, size, [&](const uint8_t* d, uint8_t length) {
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && length >= sizeof(USB_INTERFACE_DESCRIPTOR)) {
            if (inside)
                return false;
            inside = d[2] == number && d[3] == alternate;
            if (inside) {
                info.found = true;
                info.cls = d[5];
                info.subClass = d[6];
                info.protocol = d[7];
            }
        } else if (inside && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE &&
                   length >= sizeof(USB_ENDPOINT_DESCRIPTOR)) {
            info.endpoints.push_back({d[2], d[3], d[6], uint16_t((d[4] | d[5] << 8) & 0x7FF)});
        }
        return true;
    });
    return info;
}

USBD_PIPE_TYPE pipeType(uint8_t attributes) {
    switch (attributes & USB_ENDPOINT_TYPE_MASK) {
        case USB_ENDPOINT_TYPE_ISOCHRONOUS:
            return UsbdPipeTypeIsochronous;
        case USB_ENDPOINT_TYPE_BULK:
            return UsbdPipeTypeBulk;
        case USB_ENDPOINT_TYPE_INTERRUPT:
            return UsbdPipeTypeInterrupt;
        default:
            return UsbdPipeTypeControl;
    }
}

} // namespace

// ---- held requests ----

uint64_t UsbDevice::Impl::pend(PIRP irp, PURB urb, uintptr_t pipe) {
    IoMarkIrpPending(irp);
    auto p = std::make_unique<Pending>();
    p->id = nextPending++;
    p->irp = irp;
    p->urb = urb;
    p->pipe = pipe;
    uint64_t id = p->id;
    held.push_back(std::move(p));
    IoSetCancelRoutine(irp, &Impl::cancelRoutine);
    if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
        // Cancelled before it could be held.
        take(id);
        setUrbStatus(urb, USBD_STATUS_CANCELED);
        irp->IoStatus.Information = 0;
        completeAtDispatch(irp, STATUS_CANCELLED);
        return 0;
    }
    return id;
}

Pending* UsbDevice::Impl::find(uint64_t id) {
    for (auto& p : held)
        if (p->id == id)
            return p.get();
    return nullptr;
}

std::unique_ptr<Pending> UsbDevice::Impl::take(uint64_t id) {
    for (auto it = held.begin(); it != held.end(); ++it) {
        if ((*it)->id != id)
            continue;
        std::unique_ptr<Pending> p = std::move(*it);
        held.erase(it);
        if (p->timer)
            machine.cancel(*p->timer);
        if (auto pipe = pipes.find(p->pipe); pipe != pipes.end()) {
            auto& q = pipe->second.queue;
            bool head = !q.empty() && q.front() == id;
            std::erase(q, id);
            if (head && !q.empty())
                schedulePipe(pipe->second, std::max<sim::Time>(0, pipe->second.resumeAt - machine.now()));
        }
        if (id == idleNotification)
            idleNotification = 0;
        return p;
    }
    return nullptr;
}

void UsbDevice::Impl::finish(uint64_t id, USBD_STATUS usbd, NTSTATUS status) {
    Pending* p = find(id);
    if (p == nullptr)
        return;
    if (IoSetCancelRoutine(p->irp, nullptr) == nullptr)
        return; // its cancellation has begun: the cancel routine completes it
    std::unique_ptr<Pending> owned = take(id);
    PIRP irp = owned->irp;
    PURB urb = owned->urb;
    setUrbStatus(urb, usbd);
    irp->IoStatus.Information = 0;
    if (urb != nullptr)
        if (ULONG* length = transferLengthOf(urb); length != nullptr && owned->pipe != 0)
            *length = ULONG(owned->done);
    completeAtDispatch(irp, status);
}

void UsbDevice::Impl::failHeld(USBD_STATUS usbd, NTSTATUS status, std::optional<uintptr_t> pipe) {
    std::vector<uint64_t> ids;
    for (auto& p : held)
        if (!pipe || p->pipe == *pipe)
            ids.push_back(p->id);
    for (uint64_t id : ids)
        finish(id, usbd, status);
}

void UsbDevice::Impl::cancelRoutine(PDEVICE_OBJECT deviceObject, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    Impl* device = of(deviceObject);
    if (device == nullptr)
        return;
    uint64_t id = 0;
    for (auto& p : device->held)
        if (p->irp == irp)
            id = p->id;
    std::unique_ptr<Pending> owned = device->take(id);
    if (!owned)
        return;
    setUrbStatus(owned->urb, USBD_STATUS_CANCELED);
    if (owned->urb != nullptr && owned->pipe != 0)
        if (ULONG* length = transferLengthOf(owned->urb))
            *length = ULONG(owned->done);
    irp->IoStatus.Information = 0;
    completeAtDispatch(irp, STATUS_CANCELLED);
}

void UsbDevice::Impl::later(sim::Time delay, std::string name, std::function<void()> work) {
    machine.after(delay, name, [this, name, work = std::move(work)] { machine.spawnDpc(name, work); });
}

sim::Time UsbDevice::Impl::controlDuration(size_t bytes) const {
    uint16_t maxPacket0 = deviceDescriptor.size() > 7 && deviceDescriptor[7] != 0 ? deviceDescriptor[7] : 64;
    // Setup and status stages, and the data stage's packets between them.
    size_t packets = 2 + (bytes == 0 ? 0 : packetsFor(bytes, maxPacket0, false));
    return std::max(durationFor(model.speed(), packets), timing(model.speed()).frame);
}

void UsbDevice::Impl::endpointReady(uint8_t endpointAddress) {
    if (!connected)
        return;
    if ((endpointAddress & 0x7F) == 0) {
        for (auto& p : held)
            if (p->waitingEp0 && !p->finishing) {
                p->waitingEp0 = false;
                uint64_t id = p->id;
                PURB urb = p->urb;
                later(0, "USB control retry", [this, id, urb] {
                    if (find(id) != nullptr)
                        handleUrb(find(id)->irp, urb);
                });
            }
        return;
    }
    for (auto& [handle, pipe] : pipes)
        if (pipe.address == endpointAddress && pipe.waitingReady) {
            pipe.waitingReady = false;
            schedulePipe(pipe, std::max<sim::Time>(0, pipe.resumeAt - machine.now()));
        }
}

// ---- dispatch of URBs ----

NTSTATUS UsbDevice::Impl::submitUrb(PIRP irp, PURB urb) {
    irp->IoStatus.Information = 0;
    if (urb == nullptr) {
        records.push_back({UsbRequestRecord::Kind::Ioctl, IOCTL_INTERNAL_USB_SUBMIT_URB});
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_PARAMETER;
    }
    USHORT function = urb->UrbHeader.Function;
    records.push_back({UsbRequestRecord::Kind::Urb, function});
    if (removed)
        return completeUrb(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_NO_SUCH_DEVICE);
    if (!connected)
        return completeUrb(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);

    FaultRequest request;
    uintptr_t pipeHandle = 0;
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            request.kind = FaultKind::Descriptor;
            request.descriptorType = urb->UrbControlDescriptorRequest.DescriptorType;
            request.descriptorIndex = urb->UrbControlDescriptorRequest.Index;
            break;
        case URB_FUNCTION_SELECT_CONFIGURATION:
            request.kind = FaultKind::SelectConfiguration;
            break;
        case URB_FUNCTION_SELECT_INTERFACE:
            request.kind = FaultKind::SelectInterface;
            break;
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            request.kind = FaultKind::Transfer;
            pipeHandle = uintptr_t(urb->UrbBulkOrInterruptTransfer.PipeHandle);
            break;
        case URB_FUNCTION_ABORT_PIPE:
            request.kind = FaultKind::Abort;
            pipeHandle = uintptr_t(urb->UrbPipeRequest.PipeHandle);
            break;
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            request.kind = FaultKind::Reset;
            pipeHandle = uintptr_t(urb->UrbPipeRequest.PipeHandle);
            break;
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            request.kind = FaultKind::Any;
            break;
        default:
            request.kind = FaultKind::Control;
            break;
    }
    if (auto pipe = pipes.find(pipeHandle); pipe != pipes.end())
        request.endpoint = pipe->second.address;

    std::optional<FaultAction> action = faults.consult(request, machine.now());
    if (!action)
        return handleUrb(irp, urb);
    switch (action->kind) {
        case FaultAction::Kind::Fail:
            return completeUrb(irp, urb, action->usbdStatus, action->status);
        case FaultAction::Kind::Stall:
            if (auto pipe = pipes.find(pipeHandle);
                pipe != pipes.end() && request.kind == FaultKind::Transfer)
                pipe->second.halted = true;
            return completeUrb(irp, urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        case FaultAction::Kind::Reply:
            if (request.kind == FaultKind::Descriptor)
                return getDescriptor(irp, urb, &action->bytes);
            return handleUrb(irp, urb);
        case FaultAction::Kind::NeverAnswer:
            pend(irp, urb);
            return STATUS_PENDING;
        case FaultAction::Kind::Delay: {
            uint64_t id = pend(irp, urb);
            if (id == 0)
                return STATUS_PENDING;
            Pending* p = find(id);
            p->timer = machine.after(action->delay, "USB delayed request", [this, id, urb] {
                Pending* waiting = find(id);
                if (waiting == nullptr)
                    return;
                waiting->timer.reset();
                machine.spawnDpc("USB delayed request", [this, id, urb] {
                    Pending* again = find(id);
                    if (again == nullptr || IoSetCancelRoutine(again->irp, nullptr) == nullptr)
                        return;
                    PIRP delayed = take(id)->irp;
                    handleUrb(delayed, urb);
                });
            });
            return STATUS_PENDING;
        }
    }
    return handleUrb(irp, urb);
}

// On the submitter's call, or from a DPC for a request held back (its IRP is marked pending then).
NTSTATUS UsbDevice::Impl::handleUrb(PIRP irp, PURB urb) {
    if (!connected)
        return completeUrb(irp, urb, USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED);
    USHORT function = urb->UrbHeader.Function;
    switch (function) {
        case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
            return getDescriptor(irp, urb, nullptr);
        case URB_FUNCTION_SELECT_CONFIGURATION:
            return selectConfiguration(irp, urb);
        case URB_FUNCTION_SELECT_INTERFACE:
            return selectInterface(irp, urb);
        case URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER:
            return transfer(irp, urb);
        case URB_FUNCTION_ABORT_PIPE:
            return abortPipe(irp, urb);
        case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        case URB_FUNCTION_SYNC_RESET_PIPE:
        case URB_FUNCTION_SYNC_CLEAR_STALL:
            return resetPipe(irp, urb);
        case URB_FUNCTION_GET_CURRENT_FRAME_NUMBER:
            if (urb->UrbHeader.Length < sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER))
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
            urb->UrbGetCurrentFrameNumber.FrameNumber = stack.frameNumber();
            return completeUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
        case URB_FUNCTION_CONTROL_TRANSFER:
        case URB_FUNCTION_CONTROL_TRANSFER_EX: {
            auto& c = urb->UrbControlTransfer;
            if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_TRANSFER))
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
            if (c.PipeHandle != nullptr && !(c.TransferFlags & USBD_DEFAULT_PIPE_TRANSFER))
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
            SetupPacket setup;
            setup.bmRequestType = c.SetupPacket[0];
            setup.bRequest = c.SetupPacket[1];
            setup.wValue = uint16_t(c.SetupPacket[2] | c.SetupPacket[3] << 8);
            setup.wIndex = uint16_t(c.SetupPacket[4] | c.SetupPacket[5] << 8);
            setup.wLength = uint16_t(std::min<ULONG>(c.TransferBufferLength, 0xFFFF));
            if (c.TransferFlags & USBD_TRANSFER_DIRECTION_IN)
                setup.bmRequestType |= 0x80;
            return controlRequest(irp, urb, setup, bufferOf(c.TransferBuffer, c.TransferBufferMDL),
                                  c.TransferBufferLength);
        }
        case URB_FUNCTION_VENDOR_DEVICE:
        case URB_FUNCTION_VENDOR_INTERFACE:
        case URB_FUNCTION_VENDOR_ENDPOINT:
        case URB_FUNCTION_VENDOR_OTHER:
        case URB_FUNCTION_CLASS_DEVICE:
        case URB_FUNCTION_CLASS_INTERFACE:
        case URB_FUNCTION_CLASS_ENDPOINT:
        case URB_FUNCTION_CLASS_OTHER: {
            auto& v = urb->UrbControlVendorClassRequest;
            if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
            bool vendor = function <= URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
            uint8_t recipient = 0;
            switch (function) {
                case URB_FUNCTION_VENDOR_INTERFACE:
                case URB_FUNCTION_CLASS_INTERFACE:
                    recipient = 1;
                    break;
                case URB_FUNCTION_VENDOR_ENDPOINT:
                case URB_FUNCTION_CLASS_ENDPOINT:
                    recipient = 2;
                    break;
                case URB_FUNCTION_VENDOR_OTHER:
                case URB_FUNCTION_CLASS_OTHER:
                    recipient = 3;
                    break;
                default:
                    break;
            }
            SetupPacket setup;
            setup.bmRequestType =
                uint8_t((v.TransferFlags & USBD_TRANSFER_DIRECTION_IN ? 0x80 : 0) | (vendor ? 0x40 : 0x20) |
                        recipient | (v.RequestTypeReservedBits & 0x1C));
            setup.bRequest = v.Request;
            setup.wValue = v.Value;
            setup.wIndex = v.Index;
            setup.wLength = uint16_t(std::min<ULONG>(v.TransferBufferLength, 0xFFFF));
            return controlRequest(irp, urb, setup, bufferOf(v.TransferBuffer, v.TransferBufferMDL),
                                  v.TransferBufferLength);
        }
        case URB_FUNCTION_GET_STATUS_FROM_DEVICE:
        case URB_FUNCTION_GET_STATUS_FROM_INTERFACE:
        case URB_FUNCTION_GET_STATUS_FROM_ENDPOINT:
        case URB_FUNCTION_GET_STATUS_FROM_OTHER: {
            auto& g = urb->UrbControlGetStatusRequest;
            if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_GET_STATUS_REQUEST) ||
                g.TransferBufferLength < 2)
                return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
            SetupPacket setup;
            setup.bmRequestType = uint8_t(0x80 | (function == URB_FUNCTION_GET_STATUS_FROM_DEVICE      ? 0
                                                  : function == URB_FUNCTION_GET_STATUS_FROM_INTERFACE ? 1
                                                  : function == URB_FUNCTION_GET_STATUS_FROM_ENDPOINT  ? 2
                                                                                                       : 3));
            setup.bRequest = USB_REQUEST_GET_STATUS;
            setup.wIndex = g.Index;
            setup.wLength = 2;
            return controlRequest(irp, urb, setup, bufferOf(g.TransferBuffer, g.TransferBufferMDL), 2);
        }
        default:
            return completeUrb(irp, urb, USBD_STATUS_INVALID_URB_FUNCTION, STATUS_INVALID_PARAMETER);
    }
}

// ---- descriptors ----

NTSTATUS UsbDevice::Impl::getDescriptor(PIRP irp, PURB urb, const Bytes* replacement) {
    auto& d = urb->UrbControlDescriptorRequest;
    if (urb->UrbHeader.Length < sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    PVOID buffer = bufferOf(d.TransferBuffer, d.TransferBufferMDL);
    if (buffer == nullptr && d.TransferBufferLength != 0)
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    std::optional<Bytes> answer;
    if (replacement != nullptr) {
        answer = *replacement;
    } else {
        switch (d.DescriptorType) {
            case USB_DEVICE_DESCRIPTOR_TYPE:
                answer = deviceDescriptor;
                break;
            case USB_CONFIGURATION_DESCRIPTOR_TYPE:
                if (d.Index == 0)
                    answer = model.configurationDescriptor();
                break;
            case USB_STRING_DESCRIPTOR_TYPE:
                answer = model.stringDescriptor(d.Index, d.LanguageId);
                break;
            default:
                break;
        }
    }
    uint64_t id = pend(irp, urb);
    if (id == 0)
        return STATUS_PENDING;
    ULONG length = d.TransferBufferLength;
    find(id)->finishing = true;
    later(controlDuration(answer ? std::min<size_t>(answer->size(), length) : 0), "USB descriptor",
          [this, id, urb, buffer, length, answer] {
              Pending* p = find(id);
              if (p == nullptr)
                  return;
              if (!answer) {
                  finish(id, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL); // the device's default: stall
                  return;
              }
              size_t n = std::min<size_t>(answer->size(), length);
              if (n != 0)
                  std::memcpy(buffer, answer->data(), n);
              urb->UrbControlDescriptorRequest.TransferBufferLength = ULONG(n);
              finish(id, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
          });
    return STATUS_PENDING;
}

// ---- control requests ----

NTSTATUS UsbDevice::Impl::controlRequest(PIRP irp, PURB urb, const SetupPacket& setup, PVOID buffer,
                                         ULONG length) {
    if (buffer == nullptr && length != 0)
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    uint64_t id = 0;
    if (Pending* existing = [&]() -> Pending* {
            for (auto& p : held)
                if (p->irp == irp)
                    return p.get();
            return nullptr;
        }())
        id = existing->id; // a retry after a NAK
    else
        id = pend(irp, urb);
    if (id == 0)
        return STATUS_PENDING;
    find(id)->finishing = true;
    later(controlDuration(length), "USB control",
          [this, id, setup, buffer, length] { runControl(id, setup, buffer, length); });
    return STATUS_PENDING;
}

void UsbDevice::Impl::runControl(uint64_t id, SetupPacket setup, PVOID buffer, ULONG length) {
    Pending* p = find(id);
    if (p == nullptr)
        return;
    bool in = (setup.bmRequestType & 0x80) != 0;
    Bytes data;
    if (!in && length != 0)
        data.assign(static_cast<uint8_t*>(buffer), static_cast<uint8_t*>(buffer) + length);
    Handshake h = Handshake::Stall;
    if ((setup.bmRequestType & 0x60) == 0) {
        // Standard requests a host driver may send through a control transfer.
        if (setup.bRequest == USB_REQUEST_GET_STATUS && in) {
            data = {0, 0};
            if ((setup.bmRequestType & 0x1F) == 2)
                for (auto& [handle, pipe] : pipes)
                    if (pipe.address == uint8_t(setup.wIndex) && pipe.halted)
                        data[0] = 1;
            h = Handshake::Ack;
        } else if (setup.bRequest == USB_REQUEST_GET_DESCRIPTOR && in) {
            uint8_t type = uint8_t(setup.wValue >> 8), index = uint8_t(setup.wValue);
            std::optional<Bytes> answer;
            if (type == USB_DEVICE_DESCRIPTOR_TYPE)
                answer = deviceDescriptor;
            else if (type == USB_CONFIGURATION_DESCRIPTOR_TYPE && index == 0)
                answer = model.configurationDescriptor();
            else if (type == USB_STRING_DESCRIPTOR_TYPE)
                answer = model.stringDescriptor(index, setup.wIndex);
            if (answer) {
                data = *answer;
                h = Handshake::Ack;
            }
        } else {
            h = model.control(setup, data);
        }
    } else {
        h = model.control(setup, data);
    }
    if (h == Handshake::Nak) {
        p->finishing = false;
        p->waitingEp0 = true;
        return;
    }
    if (h == Handshake::Stall) {
        finish(id, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
        return;
    }
    if (ULONG* transferred = transferLengthOf(p->urb)) {
        if (in) {
            size_t n = std::min<size_t>(data.size(), length);
            if (n != 0)
                std::memcpy(buffer, data.data(), n);
            *transferred = ULONG(n);
        } else {
            *transferred = length;
        }
    }
    finish(id, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

// ---- configuration and interfaces ----

void UsbDevice::Impl::dropPipes(std::optional<uint8_t> interfaceNumber) {
    std::vector<uintptr_t> gone;
    for (auto& [handle, pipe] : pipes)
        if (!interfaceNumber || pipe.interfaceNumber == *interfaceNumber)
            gone.push_back(handle);
    for (uintptr_t handle : gone)
        failHeld(USBD_STATUS_CANCELED, STATUS_CANCELLED, handle);
    for (uintptr_t handle : gone)
        pipes.erase(handle);
}

namespace {

// Fills one USBD_INTERFACE_INFORMATION record and makes its pipes. Returns the USBD status.
USBD_STATUS fillInterface(UsbDevice::Impl& device, const uint8_t* config, size_t size,
                          PUSBD_INTERFACE_INFORMATION info, size_t room, std::map<uintptr_t, Pipe>& made,
                          uintptr_t& interfaceHandle) {
    if (room < offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
        info->Length < offsetof(USBD_INTERFACE_INFORMATION, Pipes) || info->Length > room)
        return USBD_STATUS_INVALID_PARAMETER;
    InterfaceInfo found = findInterface(config, size, info->InterfaceNumber, info->AlternateSetting);
    if (!found.found)
        return USBD_STATUS_INTERFACE_NOT_FOUND;
    if (info->Length < GET_USBD_INTERFACE_SIZE(found.endpoints.size()))
        return USBD_STATUS_INVALID_PARAMETER;
    info->Class = found.cls;
    info->SubClass = found.subClass;
    info->Protocol = found.protocol;
    info->Reserved = 0;
    interfaceHandle = device.nextHandle++;
    info->InterfaceHandle = reinterpret_cast<USBD_INTERFACE_HANDLE>(interfaceHandle);
    info->NumberOfPipes = ULONG(found.endpoints.size());
    for (size_t i = 0; i < found.endpoints.size(); ++i) {
        const EndpointInfo& e = found.endpoints[i];
        USBD_PIPE_INFORMATION& p = info->Pipes[i];
        Pipe pipe;
        pipe.handle = device.nextHandle++;
        pipe.interfaceNumber = info->InterfaceNumber;
        pipe.address = e.address;
        pipe.type = e.attributes & USB_ENDPOINT_TYPE_MASK;
        pipe.maxPacket = e.maxPacket;
        pipe.interval = e.interval;
        if (p.PipeFlags & USBD_PF_CHANGE_MAX_PACKET) {
            if (p.MaximumPacketSize == 0 || p.MaximumPacketSize > e.maxPacket)
                return USBD_STATUS_INAVLID_PIPE_FLAGS;
            pipe.maxPacket = p.MaximumPacketSize;
        }
        pipe.maxTransfer =
            p.MaximumTransferSize == 0 ? USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE : p.MaximumTransferSize;
        p.MaximumPacketSize = pipe.maxPacket;
        p.EndpointAddress = e.address;
        p.Interval = e.interval;
        p.PipeType = pipeType(e.attributes);
        p.PipeHandle = reinterpret_cast<USBD_PIPE_HANDLE>(pipe.handle);
        p.MaximumTransferSize = pipe.maxTransfer;
        made.emplace(pipe.handle, std::move(pipe));
    }
    return USBD_STATUS_SUCCESS;
}

} // namespace

NTSTATUS UsbDevice::Impl::selectConfiguration(PIRP irp, PURB urb) {
    auto& s = urb->UrbSelectConfiguration;
    size_t headerSize = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    if (urb->UrbHeader.Length < headerSize)
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    if (s.ConfigurationDescriptor == nullptr) {
        dropPipes(std::nullopt);
        configurationValue.reset();
        configuration.clear();
        alternates.clear();
        interfaceHandles.clear();
        configurationHandle = 0;
        model.configured(0);
        return completeUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
    }
    auto* given = reinterpret_cast<const uint8_t*>(s.ConfigurationDescriptor);
    size_t givenSize = given[2] | given[3] << 8;
    Bytes own = model.configurationDescriptor();
    if (givenSize < sizeof(USB_CONFIGURATION_DESCRIPTOR) || given[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        own.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR) || given[5] != own[5])
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    unsigned count = given[4];
    std::map<uintptr_t, Pipe> made;
    std::map<uint8_t, uint8_t> chosen;
    std::map<uint8_t, uintptr_t> handles;
    auto* at = reinterpret_cast<uint8_t*>(&s.Interface);
    auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
    for (unsigned i = 0; i < count; ++i) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (at >= end)
            return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
        uintptr_t handle = 0;
        USBD_STATUS status = fillInterface(*this, given, givenSize, info, size_t(end - at), made, handle);
        if (status != USBD_STATUS_SUCCESS)
            return completeUrb(irp, urb, status, STATUS_INVALID_PARAMETER);
        chosen[info->InterfaceNumber] = info->AlternateSetting;
        handles[info->InterfaceNumber] = handle;
        at += info->Length;
    }
    dropPipes(std::nullopt);
    pipes = std::move(made);
    alternates = std::move(chosen);
    interfaceHandles = std::move(handles);
    configuration = std::move(own);
    configurationValue = given[5];
    configurationHandle = nextHandle++;
    s.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configurationHandle);
    model.configured(given[5]);
    for (auto [number, alternate] : alternates)
        if (alternate != 0)
            model.interfaceSelected(number, alternate);
    return completeUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS UsbDevice::Impl::selectInterface(PIRP irp, PURB urb) {
    auto& s = urb->UrbSelectInterface;
    if (urb->UrbHeader.Length <
        offsetof(struct _URB_SELECT_INTERFACE, Interface) + offsetof(USBD_INTERFACE_INFORMATION, Pipes))
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    if (!configurationValue || uintptr_t(s.ConfigurationHandle) != configurationHandle)
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    auto* at = reinterpret_cast<uint8_t*>(&s.Interface);
    auto* end = reinterpret_cast<uint8_t*>(urb) + urb->UrbHeader.Length;
    std::map<uintptr_t, Pipe> made;
    uintptr_t handle = 0;
    USBD_STATUS status = fillInterface(*this, configuration.data(), configuration.size(), &s.Interface,
                                       size_t(end - at), made, handle);
    if (status != USBD_STATUS_SUCCESS)
        return completeUrb(irp, urb, status, STATUS_INVALID_PARAMETER);
    uint8_t number = s.Interface.InterfaceNumber;
    dropPipes(number);
    pipes.merge(made);
    alternates[number] = s.Interface.AlternateSetting;
    interfaceHandles[number] = handle;
    model.interfaceSelected(number, s.Interface.AlternateSetting);
    return completeUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

// ---- pipes ----

NTSTATUS UsbDevice::Impl::resetPipe(PIRP irp, PURB urb) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    auto it = pipes.find(uintptr_t(urb->UrbPipeRequest.PipeHandle));
    if (it == pipes.end())
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    Pipe& pipe = it->second;
    pipe.halted = false;
    if (urb->UrbHeader.Function != URB_FUNCTION_SYNC_RESET_PIPE)
        model.endpointReset(pipe.address); // CLEAR_FEATURE(ENDPOINT_HALT) resets the device's side too
    if (!pipe.queue.empty())
        schedulePipe(pipe, 0);
    return completeUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS UsbDevice::Impl::abortPipe(PIRP irp, PURB urb) {
    if (urb->UrbHeader.Length < sizeof(struct _URB_PIPE_REQUEST))
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    uintptr_t handle = uintptr_t(urb->UrbPipeRequest.PipeHandle);
    if (pipes.find(handle) == pipes.end())
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    failHeld(USBD_STATUS_CANCELED, STATUS_CANCELLED, handle);
    return completeUrb(irp, urb, USBD_STATUS_SUCCESS, STATUS_SUCCESS);
}

NTSTATUS UsbDevice::Impl::transfer(PIRP irp, PURB urb) {
    auto& t = urb->UrbBulkOrInterruptTransfer;
    if (urb->UrbHeader.Length < sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    auto it = pipes.find(uintptr_t(t.PipeHandle));
    if (it == pipes.end() ||
        (it->second.type != USB_ENDPOINT_TYPE_BULK && it->second.type != USB_ENDPOINT_TYPE_INTERRUPT))
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PIPE_HANDLE, STATUS_INVALID_PARAMETER);
    Pipe& pipe = it->second;
    bool in = (t.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
    if (in != (USB_ENDPOINT_DIRECTION_IN(pipe.address) != 0))
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    if (bufferOf(t.TransferBuffer, t.TransferBufferMDL) == nullptr && t.TransferBufferLength != 0)
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    if (t.TransferBufferLength > pipe.maxTransfer)
        return completeUrb(irp, urb, USBD_STATUS_INVALID_PARAMETER, STATUS_INVALID_PARAMETER);
    if (pipe.halted) {
        t.TransferBufferLength = 0;
        return completeUrb(irp, urb, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    }
    uint64_t id = pend(irp, urb, pipe.handle);
    if (id == 0)
        return STATUS_PENDING;
    pipe.queue.push_back(id);
    if (pipe.queue.size() == 1)
        schedulePipe(pipe, std::max<sim::Time>(0, pipe.resumeAt - machine.now()));
    return STATUS_PENDING;
}

void UsbDevice::Impl::schedulePipe(Pipe& pipe, sim::Time delay) {
    if (pipe.stepScheduled)
        return;
    pipe.stepScheduled = true;
    uintptr_t handle = pipe.handle;
    // The packets move in the scheduler's own context (device models do not block); completions go to DPCs.
    machine.after(delay, "USB pipe step", [this, handle] {
        auto it = pipes.find(handle);
        if (it == pipes.end())
            return;
        it->second.stepScheduled = false;
        stepPipe(handle);
    });
}

// Moves one (micro)frame's worth of packets of the pipe's head transfer.
void UsbDevice::Impl::stepPipe(uintptr_t handle) {
    auto it = pipes.find(handle);
    if (it == pipes.end() || !connected)
        return;
    Pipe& pipe = it->second;
    if (pipe.queue.empty() || pipe.halted)
        return;
    sim::Time now = machine.now();
    if (now < pipe.resumeAt) {
        schedulePipe(pipe, pipe.resumeAt - now);
        return;
    }
    uint64_t id = pipe.queue.front();
    Pending* p = find(id);
    if (p == nullptr) {
        pipe.queue.pop_front();
        schedulePipe(pipe, 0);
        return;
    }
    auto& t = p->urb->UrbBulkOrInterruptTransfer;
    auto* buffer = static_cast<uint8_t*>(bufferOf(t.TransferBuffer, t.TransferBufferMDL));
    size_t length = t.TransferBufferLength;
    bool in = USB_ENDPOINT_DIRECTION_IN(pipe.address) != 0;
    const LinkTiming link = timing(model.speed());
    unsigned budget = pipe.type == USB_ENDPOINT_TYPE_INTERRUPT ? 1 : link.bulkPackets;

    enum class End { None, Done, Nak, Stall, Overrun, Short };
    End end = End::None;
    size_t packets = 0;
    while (packets < budget && end == End::None) {
        if (in) {
            Bytes packet;
            Handshake h = model.in(pipe.address, packet, pipe.maxPacket);
            if (h == Handshake::Nak) {
                end = End::Nak;
                break;
            }
            ++packets;
            if (h == Handshake::Stall) {
                end = End::Stall;
                break;
            }
            size_t room = length - p->done;
            size_t n = std::min(room, packet.size());
            if (n != 0)
                std::memcpy(buffer + p->done, packet.data(), n);
            p->done += n;
            if (packet.size() > room)
                end = End::Overrun;
            else if (packet.size() < pipe.maxPacket)
                end =
                    (t.TransferFlags & USBD_SHORT_TRANSFER_OK) || p->done == length ? End::Done : End::Short;
            else if (p->done == length)
                end = End::Done;
        } else {
            size_t n = std::min<size_t>(pipe.maxPacket, length - p->done);
            Handshake h = model.out(pipe.address, buffer == nullptr ? nullptr : buffer + p->done, n);
            if (h == Handshake::Nak) {
                end = End::Nak;
                break;
            }
            ++packets;
            if (h == Handshake::Stall) {
                end = End::Stall;
                break;
            }
            p->done += n;
            if (p->done == length)
                end = End::Done;
        }
    }
    sim::Time busy = durationFor(model.speed(), packets);
    pipe.resumeAt = now + busy;
    if (end == End::Nak) {
        pipe.waitingReady = true;
        return;
    }
    if (end == End::None) {
        schedulePipe(pipe, busy);
        return;
    }
    // The transfer is over: it leaves the queue now, and its completion comes when its bus time ends.
    pipe.queue.pop_front();
    p->finishing = true;
    USBD_STATUS usbd = USBD_STATUS_SUCCESS;
    NTSTATUS status = STATUS_SUCCESS;
    if (end == End::Stall || end == End::Overrun) {
        usbd = end == End::Stall ? USBD_STATUS_STALL_PID : USBD_STATUS_DATA_OVERRUN;
        status = STATUS_UNSUCCESSFUL;
        pipe.halted = true;
    } else if (end == End::Short) {
        usbd = USBD_STATUS_ERROR_SHORT_TRANSFER;
        status = STATUS_UNSUCCESSFUL;
    }
    later(busy, "USB transfer completion", [this, id, usbd, status] { finish(id, usbd, status); });
    if (pipe.halted) {
        // A halted endpoint fails what is queued behind the stall until it is reset.
        std::vector<uint64_t> behind(pipe.queue.begin(), pipe.queue.end());
        for (uint64_t queued : behind)
            finish(queued, USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL);
    } else if (!pipe.queue.empty()) {
        schedulePipe(pipe, busy);
    }
}

} // namespace zv::usb
