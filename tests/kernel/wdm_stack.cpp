// The raw WDM test stack; see wdm_stack.h.
#include "tests/kernel/wdm_stack.h"

#include "platform/kernel/device_object.h"

#include <gtest/gtest.h>

namespace zv::test {

namespace {

NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
    WdmLayer& layer = WdmLayer::of(device);
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    auto it = layer.handlers.find(major);
    if (it != layer.handlers.end())
        return it->second(layer, irp);
    if (layer.lower != nullptr)
        return passDown(layer, irp);
    return completeIrp(irp, STATUS_SUCCESS);
}

} // namespace

UNICODE_STRING counted(const std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = reinterpret_cast<PWSTR>(const_cast<char16_t*>(text.data()));
    s.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
    s.MaximumLength = s.Length;
    return s;
}

WdmStack::WdmStack(Options options) : linkName_(options.linkName) {
    for (size_t i = 0; i < options.layers; ++i) {
        auto layer = std::make_unique<WdmLayer>();
        layer->index = i;
        layer->driver.Type = IO_TYPE_DRIVER;
        layer->driver.Size = sizeof(DRIVER_OBJECT);
        for (auto& entry : layer->driver.MajorFunction)
            entry = dispatch;
        std::u16string name = i == 0 ? options.bottomName : std::u16string();
        UNICODE_STRING counted_name = counted(name);
        PDEVICE_OBJECT device = nullptr;
        NTSTATUS status =
            IoCreateDevice(&layer->driver, sizeof(WdmLayer*), name.empty() ? nullptr : &counted_name,
                           FILE_DEVICE_UNKNOWN, 0, options.exclusive && i == 0, &device);
        EXPECT_EQ(status, STATUS_SUCCESS);
        if (!NT_SUCCESS(status))
            break;
        *static_cast<WdmLayer**>(device->DeviceExtension) = layer.get();
        device->Flags |= options.flags;
        if (i > 0)
            layer->lower = IoAttachDeviceToDeviceStack(device, layers_.back()->device);
        device->Flags &= ~DO_DEVICE_INITIALIZING;
        layer->device = device;
        layers_.push_back(std::move(layer));
    }
    if (!linkName_.empty() && !options.bottomName.empty()) {
        UNICODE_STRING link = counted(linkName_);
        UNICODE_STRING target = counted(options.bottomName);
        EXPECT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }
}

WdmStack::~WdmStack() {
    remove();
}

void WdmStack::remove() {
    if (!linkName_.empty()) {
        UNICODE_STRING link = counted(linkName_);
        IoDeleteSymbolicLink(&link);
        linkName_.clear();
    }
    for (auto it = layers_.rbegin(); it != layers_.rend(); ++it) {
        WdmLayer& layer = **it;
        if (!kernel::isDeviceObjectLive(layer.device) || kernel::isDeviceObjectDeleted(layer.device))
            continue;
        if (layer.lower != nullptr && kernel::isDeviceObjectLive(layer.lower) &&
            layer.lower->AttachedDevice == layer.device)
            IoDetachDevice(layer.lower);
        IoDeleteDevice(layer.device);
    }
}

NTSTATUS completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS passDown(WdmLayer& layer, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(layer.lower, irp);
}

} // namespace zv::test
