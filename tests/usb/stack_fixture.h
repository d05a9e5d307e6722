// The USB stack tests' fixture: simulated phones to attach, IRPs sent straight to a device's PDO from the
// test's fiber (internal device controls with URBs, Plug and Play IRPs), and URB builders.
#ifndef ZV_TESTS_USB_STACK_FIXTURE_H
#define ZV_TESTS_USB_STACK_FIXTURE_H

#include "tests/support/sim_test.h"

#include "devices/phone.h"
#include "platform/usb/usb_stack.h"

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zv::test {

// One IRP sent to a PDO; the test keeps it until it has completed (then it is freed with this record).
class SentIrp {
public:
    SentIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor);
    ~SentIrp();
    SentIrp(const SentIrp&) = delete;
    SentIrp& operator=(const SentIrp&) = delete;

    PIRP irp() const { return irp_; }
    PIO_STACK_LOCATION location() const { return IoGetNextIrpStackLocation(irp_); }
    // IoCallDriver; returns what the dispatch routine returned.
    NTSTATUS send();
    // Waits (on the fiber) until completion reaches the test; the final status.
    NTSTATUS wait();
    bool completed() const { return state_->completed; }
    NTSTATUS status() const { return state_->status; }
    ULONG_PTR information() const { return state_->information; }
    KIRQL completionIrql() const { return state_->irql; }
    sim::Time completedAt() const { return state_->at; }
    bool cancel() { return IoCancelIrp(irp_) != FALSE; }

private:
    struct State {
        bool completed = false;
        NTSTATUS status = STATUS_PENDING;
        ULONG_PTR information = 0;
        KIRQL irql = PASSIVE_LEVEL;
        sim::Time at = 0;
        sim::Event done{sim::Event::Kind::Notification, false, "test IRP completion"};
    };
    PDEVICE_OBJECT target_;
    PIRP irp_;
    std::shared_ptr<State> state_;
};

// A URB in storage of its own size (selection URBs carry their interface records behind them).
struct UrbBuffer {
    std::vector<uint8_t> storage;
    PURB get() { return reinterpret_cast<PURB>(storage.data()); }
    URB* operator->() { return get(); }
};

UrbBuffer descriptorUrb(uint8_t type, uint8_t index, uint16_t language, void* buffer, ULONG length);
// Every interface of the configuration in the alternate settings given (default 0).
UrbBuffer selectConfigurationUrb(const usb::Bytes& configuration, std::map<uint8_t, uint8_t> alternates = {});
UrbBuffer selectInterfaceUrb(const usb::Bytes& configuration, USBD_CONFIGURATION_HANDLE handle,
                             uint8_t interfaceNumber, uint8_t alternate);
UrbBuffer transferUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length);
UrbBuffer pipeUrb(USHORT function, USBD_PIPE_HANDLE pipe);
// The interface records that follow a selection URB, in order.
std::vector<PUSBD_INTERFACE_INFORMATION> interfacesOf(UrbBuffer& selectConfiguration);

class UsbStackTest : public SimTest {
protected:
    devices::Phone& phone(const std::string& profile = "hs-phone");
    usb::UsbDevice& attach(devices::Phone& model, usb::PortSettings settings = {});

    // On the test's fiber.
    std::unique_ptr<SentIrp> startUrb(PDEVICE_OBJECT pdo, PURB urb);
    NTSTATUS submit(PDEVICE_OBJECT pdo, PURB urb);
    std::unique_ptr<SentIrp> startIoctl(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1 = nullptr,
                                        PVOID systemBuffer = nullptr, ULONG outputLength = 0);
    NTSTATUS ioctl(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1 = nullptr, PVOID systemBuffer = nullptr,
                   ULONG outputLength = 0, ULONG_PTR* information = nullptr);
    // Selects the configuration with every interface in alternate setting 0; the pipe handle of each
    // endpoint address.
    std::map<uint8_t, USBD_PIPE_HANDLE> configure(usb::UsbDevice& device);

private:
    std::vector<std::unique_ptr<devices::Phone>> phones_;
};

} // namespace zv::test

#endif // ZV_TESTS_USB_STACK_FIXTURE_H
