// Fuzz entry point for the bus driver's configuration walk. Each input is a configuration descriptor: a
// parent device brought up on the built-in high-speed phone gets it, in a buffer of exactly its size, in
// place of the phone's configuration, and the walk that splits a configuration into functions runs over
// it. The sanitizers catch any read outside the buffer; the walk must either fail with
// STATUS_DEVICE_ENUMERATION_ERROR or succeed. Each input runs on a fresh machine, so nothing builds up
// between inputs.
#include "base/bus/bus.h"

#include "devices/phone.h"
#include "devices/profiles.h"
#include "platform/sim/scheduler.h"
#include "platform/usb/usb_stack.h"
#include "platform/wdf/device.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/object.h"

#include <cstdlib>
#include <cstring>
#include <memory>

namespace {

void walk(const uint8_t* data, size_t size) {
    zv::devices::PhoneProfile profile;
    zv::devices::makeProfile("hs-phone", &profile);
    zv::devices::Phone phone(profile);
    zv::sim::Scheduler machine;
    machine.setTraceEnabled(false);
    machine.spawn("fuzz", [&] {
        zv::wdf::DriverRecord record(u"ZORNAVELTRIQUESbus64");
        if (!NT_SUCCESS(record.callDriverEntry(DriverEntry)))
            std::abort();
        zv::usb::UsbDevice& usb = zv::usb::usbStack().attach(phone);
        zv::wdf::DeviceInstance instance;
        instance.instancePath = u"USB\\VID_1A2B&PID_3C4D\\FUZZ";
        instance.classGuid = u"{36fc9e60-c465-11cf-8056-444553540000}";
        zv::wdf::DeviceInit init(*record.driver(), instance, zv::wdf::DeviceInit::Kind::Fdo, usb.pdo());
        if (!NT_SUCCESS(zv::wdf::addDevice(*record.driver(), init)))
            std::abort();
        WDFDEVICE parent = static_cast<WDFDEVICE>(init.device()->handle());
        NTSTATUS status = STATUS_UNSUCCESSFUL;
        zv::wdf::invokeCallback(zv::wdf::Device::fromHandle(parent), "EvtDevicePrepareHardware",
                                [&] { status = EvtPrepareHardware(parent, nullptr, nullptr); });
        if (!NT_SUCCESS(status))
            std::abort();

        // Exactly the input's bytes, so that a read one past them is caught.
        size_t length = size > 0xFFFF ? 0xFFFF : size;
        std::unique_ptr<uint8_t[]> bytes(new uint8_t[length > 0 ? length : 1]);
        if (length > 0)
            std::memcpy(bytes.get(), data, length);
        PPARENT_FDO_CONTEXT context = GetParentFdoContext(parent);
        PUSB_CONFIGURATION_DESCRIPTOR kept = context->ConfigurationDescriptor;
        USHORT keptSize = context->ConfigurationDescriptorSize;
        context->ConfigurationDescriptor = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.get());
        context->ConfigurationDescriptorSize = USHORT(length);

        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.ParentObject = parent;
        WDFCOLLECTION collection = nullptr;
        if (NT_SUCCESS(WdfCollectionCreate(&attributes, &collection))) {
            status = BusGenerateIdentificationDescriptions(parent, collection);
            if (!NT_SUCCESS(status) && status != STATUS_DEVICE_ENUMERATION_ERROR)
                std::abort();
        }
        context->ConfigurationDescriptor = kept;
        context->ConfigurationDescriptorSize = keptSize;
        zv::wdf::invokeCallback(zv::wdf::Device::fromHandle(parent), "EvtDeviceReleaseHardware",
                                [&] { EvtReleaseHardware(parent, nullptr); });
        init.device()->deleteWdmDevice();
        record.unload();
    });
    machine.run();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    walk(data, size);
    return 0;
}
