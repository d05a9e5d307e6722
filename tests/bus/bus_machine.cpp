// The bus driver's system-test machine; see bus_machine.h.
#include "tests/bus/bus_machine.h"

#include "devices/profiles.h"
#include "platform/kernel/debug_output.h"
#include "platform/pnp/pnp_manager.h"
#include "platform/pnp/services.h"

#include <cstdlib>
#include <cstring>
#include <cstdio>

namespace zv::test {

namespace {

const std::u16string kBusService = u"ZORNAVELTRIQUESbus64";
const std::u16string kFunctionService = u"ZvUsbFunc";
const std::u16string kPhoneId = u"USB\\VID_1A2B&PID_3C4D";
const std::u16string kVendorChildId = u"USB\\Vid_1a2b&Pid_3c4d&Mi_02";
const std::u16string kUsbClass = u"{36fc9e60-c465-11cf-8056-444553540000}";

struct Waiter {
    KEVENT done;
    IrpAnswer answer;
};

NTSTATUS waiterCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* waiter = static_cast<Waiter*>(context);
    waiter->answer.status = irp->IoStatus.Status;
    waiter->answer.information = irp->IoStatus.Information;
    KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

std::vector<std::u16string> takeStrings(ULONG_PTR information, bool list) {
    std::vector<std::u16string> out;
    auto* text = reinterpret_cast<const char16_t*>(information);
    if (text == nullptr)
        return out;
    if (!list) {
        out.emplace_back(text);
    } else {
        for (const char16_t* p = text; *p != u'\0'; p += out.back().size() + 1)
            out.emplace_back(p);
    }
    std::free(reinterpret_cast<void*>(information));
    return out;
}

} // namespace

void WatchedPhone::interfaceSelected(uint8_t interfaceNumber, uint8_t alternateSetting) {
    selections.push_back({interfaceNumber, alternateSetting, sim::Scheduler::current()->now()});
    Phone::interfaceSelected(interfaceNumber, alternateSetting);
}

usb::Handshake WatchedPhone::out(uint8_t endpointAddress, const uint8_t* data, size_t length) {
    usb::Handshake handshake = Phone::out(endpointAddress, data, length);
    if (handshake == usb::Handshake::Ack && length != 0)
        outBuffers.push_back(data);
    return handshake;
}

devices::PhoneProfile phoneProfile(const std::string& name) {
    devices::PhoneProfile profile;
    EXPECT_TRUE(devices::makeProfile(name, &profile)) << name;
    return profile;
}

IrpAnswer sendIrp(PDEVICE_OBJECT target, UCHAR major, UCHAR minor,
                  const std::function<void(PIRP, PIO_STACK_LOCATION)>& fill) {
    PIRP irp = IoAllocateIrp(target->StackSize, FALSE);
    EXPECT_NE(irp, nullptr);
    if (irp == nullptr)
        return {STATUS_INSUFFICIENT_RESOURCES, 0};
    PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
    stack->MajorFunction = major;
    stack->MinorFunction = minor;
    irp->IoStatus.Status = major == IRP_MJ_PNP ? STATUS_NOT_SUPPORTED : STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (fill)
        fill(irp, stack);
    Waiter waiter;
    KeInitializeEvent(&waiter.done, NotificationEvent, FALSE);
    IoSetCompletionRoutine(irp, waiterCompletion, &waiter, TRUE, TRUE, TRUE);
    IoCallDriver(target, irp);
    KeWaitForSingleObject(&waiter.done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
    return waiter.answer;
}

IrpAnswer submitUrb(PDEVICE_OBJECT target, PURB urb) {
    return deviceControl(target, true, IOCTL_INTERNAL_USB_SUBMIT_URB, urb, 0);
}

IrpAnswer deviceControl(PDEVICE_OBJECT target, bool internal, ULONG code, void* buffer, ULONG outputLength) {
    return sendIrp(target, internal ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL, 0,
                   [&](PIRP irp, PIO_STACK_LOCATION stack) {
                       stack->Parameters.DeviceIoControl.IoControlCode = code;
                       stack->Parameters.DeviceIoControl.OutputBufferLength = outputLength;
                       stack->Parameters.DeviceIoControl.InputBufferLength = 0;
                       if ((code & 3) == METHOD_NEITHER) {
                           stack->Parameters.Others.Argument1 = buffer;
                       } else {
                           irp->AssociatedIrp.SystemBuffer = buffer;
                       }
                   });
}

IrpAnswer readWrite(PDEVICE_OBJECT target, UCHAR major, void* buffer, ULONG length) {
    return sendIrp(target, major, 0, [&](PIRP irp, PIO_STACK_LOCATION stack) {
        if (major == IRP_MJ_READ)
            stack->Parameters.Read.Length = length;
        else
            stack->Parameters.Write.Length = length;
        irp->AssociatedIrp.SystemBuffer = buffer;
        irp->UserBuffer = buffer;
    });
}

std::optional<std::vector<std::u16string>> queryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
    IrpAnswer answer = sendIrp(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID, [&](PIRP, PIO_STACK_LOCATION stack) {
        stack->Parameters.QueryId.IdType = type;
    });
    if (!NT_SUCCESS(answer.status))
        return std::nullopt;
    return takeStrings(answer.information, type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
}

std::optional<std::u16string> queryDeviceText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type, LCID locale) {
    IrpAnswer answer =
        sendIrp(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, [&](PIRP, PIO_STACK_LOCATION stack) {
            stack->Parameters.QueryDeviceText.DeviceTextType = type;
            stack->Parameters.QueryDeviceText.LocaleId = locale;
        });
    if (!NT_SUCCESS(answer.status))
        return std::nullopt;
    std::vector<std::u16string> text = takeStrings(answer.information, false);
    return text.empty() ? std::u16string() : text[0];
}

std::optional<DEVICE_CAPABILITIES> queryCapabilities(PDEVICE_OBJECT pdo) {
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof caps;
    caps.Version = 1;
    caps.Address = ULONG(-1);
    caps.UINumber = ULONG(-1);
    IrpAnswer answer =
        sendIrp(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES, [&](PIRP, PIO_STACK_LOCATION stack) {
            stack->Parameters.DeviceCapabilities.Capabilities = &caps;
        });
    if (!NT_SUCCESS(answer.status))
        return std::nullopt;
    return caps;
}

URB descriptorRequest(uint8_t type, uint8_t index, uint16_t language, void* buffer, ULONG length) {
    URB urb;
    std::memset(&urb, 0, sizeof urb);
    auto& d = urb.UrbControlDescriptorRequest;
    d.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    d.Hdr.Length = sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST);
    d.DescriptorType = type;
    d.Index = index;
    d.LanguageId = language;
    d.TransferBuffer = buffer;
    d.TransferBufferLength = length;
    return urb;
}

FunctionDescriptors expectedDescriptors(const devices::PhoneProfile& profile, uint8_t firstInterface,
                                        uint8_t interfaceCount, uint8_t functionClass,
                                        uint8_t functionSubClass, uint8_t functionProtocol) {
    const devices::Bytes& all = profile.configuration;
    auto inFunction = [&](uint8_t number) {
        return number >= firstInterface && number < firstInterface + interfaceCount;
    };
    // Where the function starts: its association descriptor, else its first interface descriptor.
    size_t start = 0, at = all[0];
    for (; at + 2 <= all.size() && all[at] != 0; at += all[at]) {
        uint8_t type = all[at + 1];
        if ((type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE && all[at + 2] == firstInterface) ||
            (type == USB_INTERFACE_DESCRIPTOR_TYPE && all[at + 2] == firstInterface)) {
            start = at;
            break;
        }
    }
    size_t end = start + all[start];
    while (end + 2 <= all.size() && all[end] != 0) {
        uint8_t type = all[end + 1];
        if (type == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE || type == 0x07 ||
            (type == USB_INTERFACE_DESCRIPTOR_TYPE && !inFunction(all[end + 2])))
            break;
        end += all[end];
    }
    FunctionDescriptors out;
    size_t total = sizeof(USB_CONFIGURATION_DESCRIPTOR) + (end - start);
    out.configuration.reserve(total); // one allocation: the insert below never moves the header
    out.configuration.assign(all.begin(), all.begin() + sizeof(USB_CONFIGURATION_DESCRIPTOR));
    out.configuration[2] = uint8_t(total & 0xFF);
    out.configuration[3] = uint8_t(total >> 8);
    out.configuration[4] = interfaceCount;
    out.configuration.insert(out.configuration.end(), all.begin() + long(start), all.begin() + long(end));

    USB_DEVICE_DESCRIPTOR device = profile.device;
    device.bDeviceClass = functionClass;
    device.bDeviceSubClass = functionSubClass;
    device.bDeviceProtocol = functionProtocol;
    device.bNumConfigurations = 1;
    auto* bytes = reinterpret_cast<const uint8_t*>(&device);
    out.device.assign(bytes, bytes + sizeof device);
    return out;
}

void BusMachineTest::SetUp() {
    SimTest::SetUp();
    sched().service<MachinePhones>();
    sched().service<kernel::DebugOutput>().setSink([](std::string_view) {});
}

void BusMachineTest::installServices(bool functionDriver) {
    auto& services = pnp::services();
    services.install({kBusService, ZV_BUS_MODULE, {kPhoneId}, {}, kUsbClass});
    if (functionDriver)
        services.install({kFunctionService, ZV_USBFUNC_MODULE, {kVendorChildId}, {}, kUsbClass});
}

BusMachineTest::Plugged BusMachineTest::plugBusOverPhone() {
    installServices(false);
    Plugged phone = plug(phoneProfile());
    EXPECT_NE(phone.usb, nullptr);
    return phone;
}

BusMachineTest::Plugged BusMachineTest::plug(devices::PhoneProfile profile, usb::PortSettings settings) {
    Plugged plugged;
    plugged.phone = &sim::Scheduler::current()->service<MachinePhones>().make(std::move(profile));
    EXPECT_EQ(usb::usbStack().plug(*plugged.phone, settings, &plugged.usb), STATUS_SUCCESS);
    pnp::pnpManager().waitIdle();
    return plugged;
}

pnp::DeviceNode* BusMachineTest::parentNode(const usb::UsbDevice& usb) {
    return pnp::pnpManager().find(usb.instancePath());
}

PDEVICE_OBJECT BusMachineTest::parentDevice(const usb::UsbDevice& usb) {
    pnp::DeviceNode* node = parentNode(usb);
    if (node == nullptr || node->pdo() == nullptr)
        return nullptr;
    return node->pdo()->AttachedDevice;
}

pnp::DeviceNode* BusMachineTest::child(const usb::UsbDevice& usb, uint8_t interfaceNumber) {
    pnp::DeviceNode* parent = parentNode(usb);
    if (parent == nullptr)
        return nullptr;
    devices::Bytes descriptor = usb.model().deviceDescriptor();
    auto* device = reinterpret_cast<const USB_DEVICE_DESCRIPTOR*>(descriptor.data());
    char text[64];
    std::snprintf(text, sizeof text, "USB\\Vid_%04x&Pid_%04x&Mi_%02x", device->idVendor, device->idProduct,
                  interfaceNumber);
    std::u16string wanted(text, text + std::strlen(text));
    for (const auto& node : parent->children()) {
        if (node->pdo() == nullptr)
            continue;
        std::optional<std::vector<std::u16string>> id = queryIds(node->pdo(), BusQueryDeviceID);
        if (id && !id->empty() && (*id)[0] == wanted)
            return node.get();
    }
    return nullptr;
}

size_t BusMachineTest::childCount(const usb::UsbDevice& usb) {
    pnp::DeviceNode* parent = parentNode(usb);
    return parent == nullptr ? 0 : parent->children().size();
}

} // namespace zv::test
