// The USB stack tests' fixture.
#include "tests/usb/stack_fixture.h"

#include "devices/descriptors.h"
#include "platform/kernel/irp.h"

#include <cstring>

namespace zv::test {

SentIrp::SentIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor)
    : target_(target), irp_(IoAllocateIrp(target->StackSize, FALSE)), state_(std::make_shared<State>()) {
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp_);
    next->MajorFunction = major;
    next->MinorFunction = minor;
    irp_->IoStatus.Status = STATUS_NOT_SUPPORTED;
    kernel::setIrpCompletionHandler(irp_, [state = state_](PIRP done) {
        state->completed = true;
        state->status = done->IoStatus.Status;
        state->information = done->IoStatus.Information;
        state->irql = KeGetCurrentIrql();
        state->at = sim::Scheduler::current()->now();
        state->done.set();
    });
}

SentIrp::~SentIrp() {
    if (state_->completed)
        IoFreeIrp(irp_);
}

NTSTATUS SentIrp::send() {
    return IoCallDriver(target_, irp_);
}

NTSTATUS SentIrp::wait() {
    state_->done.wait();
    return state_->status;
}

UrbBuffer descriptorUrb(uint8_t type, uint8_t index, uint16_t language, void* buffer, ULONG length) {
    UrbBuffer u{std::vector<uint8_t>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST))};
    auto& d = u->UrbControlDescriptorRequest;
    d.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.DescriptorType = type;
    d.Index = index;
    d.LanguageId = language;
    d.TransferBuffer = buffer;
    d.TransferBufferLength = length;
    return u;
}

namespace {

// Interface number -> (alternate -> endpoint count), from the configuration.
std::map<uint8_t, std::map<uint8_t, unsigned>> interfaceShapes(const usb::Bytes& configuration) {
    std::map<uint8_t, std::map<uint8_t, unsigned>> shapes;
    uint8_t number = 0, alternate = 0;
    devices::forEachDescriptor(configuration, [&](const uint8_t* d, size_t) {
        if (d[1] == USB_INTERFACE_DESCRIPTOR_TYPE) {
            number = d[2];
            alternate = d[3];
            shapes[number][alternate] = 0;
        } else if (d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE) {
            ++shapes[number][alternate];
        }
    });
    return shapes;
}

} // namespace

UrbBuffer selectConfigurationUrb(const usb::Bytes& configuration, std::map<uint8_t, uint8_t> alternates) {
    auto shapes = interfaceShapes(configuration);
    size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
    for (auto& [number, alts] : shapes)
        size += GET_USBD_INTERFACE_SIZE(alts[alternates[number]]);
    // The URB points at the descriptor: keep a copy behind the records.
    size_t descriptorAt = size;
    UrbBuffer u{std::vector<uint8_t>(size + configuration.size())};
    std::memcpy(u.storage.data() + descriptorAt, configuration.data(), configuration.size());
    auto& s = u->UrbSelectConfiguration;
    s.Hdr.Length = USHORT(size);
    s.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    s.ConfigurationDescriptor =
        reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(u.storage.data() + descriptorAt);
    uint8_t* at = reinterpret_cast<uint8_t*>(&s.Interface);
    for (auto& [number, alts] : shapes) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        unsigned pipes = alts[alternates[number]];
        info->Length = USHORT(GET_USBD_INTERFACE_SIZE(pipes));
        info->InterfaceNumber = number;
        info->AlternateSetting = alternates[number];
        for (unsigned i = 0; i < pipes; ++i)
            info->Pipes[i].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
        at += info->Length;
    }
    return u;
}

UrbBuffer selectInterfaceUrb(const usb::Bytes& configuration, USBD_CONFIGURATION_HANDLE handle,
                             uint8_t interfaceNumber, uint8_t alternate) {
    unsigned pipes = interfaceShapes(configuration)[interfaceNumber][alternate];
    size_t size = offsetof(struct _URB_SELECT_INTERFACE, Interface) + GET_USBD_INTERFACE_SIZE(pipes);
    UrbBuffer u{std::vector<uint8_t>(size)};
    auto& s = u->UrbSelectInterface;
    s.Hdr.Length = USHORT(size);
    s.Hdr.Function = URB_FUNCTION_SELECT_INTERFACE;
    s.ConfigurationHandle = handle;
    s.Interface.Length = USHORT(GET_USBD_INTERFACE_SIZE(pipes));
    s.Interface.InterfaceNumber = interfaceNumber;
    s.Interface.AlternateSetting = alternate;
    return u;
}

UrbBuffer transferUrb(USBD_PIPE_HANDLE pipe, ULONG flags, void* buffer, ULONG length) {
    UrbBuffer u{std::vector<uint8_t>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER))};
    auto& t = u->UrbBulkOrInterruptTransfer;
    t.Hdr.Length = sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER);
    t.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    t.PipeHandle = pipe;
    t.TransferFlags = flags;
    t.TransferBuffer = buffer;
    t.TransferBufferLength = length;
    return u;
}

UrbBuffer pipeUrb(USHORT function, USBD_PIPE_HANDLE pipe) {
    UrbBuffer u{std::vector<uint8_t>(sizeof(struct _URB_PIPE_REQUEST))};
    u->UrbPipeRequest.Hdr.Length = sizeof(struct _URB_PIPE_REQUEST);
    u->UrbPipeRequest.Hdr.Function = function;
    u->UrbPipeRequest.PipeHandle = pipe;
    return u;
}

std::vector<PUSBD_INTERFACE_INFORMATION> interfacesOf(UrbBuffer& selectConfiguration) {
    std::vector<PUSBD_INTERFACE_INFORMATION> all;
    auto& s = selectConfiguration->UrbSelectConfiguration;
    uint8_t* at = reinterpret_cast<uint8_t*>(&s.Interface);
    uint8_t* end = selectConfiguration.storage.data() + s.Hdr.Length;
    while (at < end) {
        auto* info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(at);
        if (info->Length == 0)
            break;
        all.push_back(info);
        at += info->Length;
    }
    return all;
}

devices::Phone& UsbStackTest::phone(const std::string& profile) {
    devices::PhoneProfile p;
    EXPECT_TRUE(devices::makeProfile(profile, &p)) << profile;
    phones_.push_back(std::make_unique<devices::Phone>(std::move(p)));
    return *phones_.back();
}

usb::UsbDevice& UsbStackTest::attach(devices::Phone& model, usb::PortSettings settings) {
    return usb::usbStack().attach(model, std::move(settings));
}

std::unique_ptr<SentIrp> UsbStackTest::startUrb(PDEVICE_OBJECT pdo, PURB urb) {
    return startIoctl(pdo, IOCTL_INTERNAL_USB_SUBMIT_URB, urb);
}

NTSTATUS UsbStackTest::submit(PDEVICE_OBJECT pdo, PURB urb) {
    auto sent = startUrb(pdo, urb);
    return sent->wait();
}

std::unique_ptr<SentIrp> UsbStackTest::startIoctl(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1,
                                                  PVOID systemBuffer, ULONG outputLength) {
    auto sent = std::make_unique<SentIrp>(pdo, IRP_MJ_INTERNAL_DEVICE_CONTROL, 0);
    PIO_STACK_LOCATION next = sent->location();
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    sent->irp()->AssociatedIrp.SystemBuffer = systemBuffer;
    // Argument1 shares its place with the output length: a METHOD_NEITHER code carries only the former.
    if (code == IOCTL_INTERNAL_USB_SUBMIT_URB || argument1 != nullptr)
        next->Parameters.Others.Argument1 = argument1;
    sent->send();
    return sent;
}

NTSTATUS UsbStackTest::ioctl(PDEVICE_OBJECT pdo, ULONG code, PVOID argument1, PVOID systemBuffer,
                             ULONG outputLength, ULONG_PTR* information) {
    auto sent = startIoctl(pdo, code, argument1, systemBuffer, outputLength);
    NTSTATUS status = sent->wait();
    if (information != nullptr)
        *information = sent->information();
    return status;
}

std::map<uint8_t, USBD_PIPE_HANDLE> UsbStackTest::configure(usb::UsbDevice& device) {
    std::map<uint8_t, USBD_PIPE_HANDLE> handles;
    UrbBuffer select = selectConfigurationUrb(device.model().configurationDescriptor());
    EXPECT_EQ(submit(device.pdo(), select.get()), STATUS_SUCCESS);
    for (PUSBD_INTERFACE_INFORMATION info : interfacesOf(select))
        for (ULONG i = 0; i < info->NumberOfPipes; ++i)
            handles[info->Pipes[i].EndpointAddress] = info->Pipes[i].PipeHandle;
    return handles;
}

} // namespace zv::test
