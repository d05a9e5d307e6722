// The parent's USB bring-up at hardware preparation and its undoing at release: which device classes are
// served, how each failing step fails the start (driven by the USB stack's fault plans, device models
// with broken descriptors, or a framework call made to fail), and what a restart and a release do.
#include "tests/bus/bus_configurations.h"
#include "tests/bus/bus_fixture.h"

#include <functional>
#include <string>
#include <vector>

namespace {

using zv::devices::PhoneProfile;
using zv::test::BusDriver;
using zv::test::frameworkFaults;
using zv::test::parentContext;
using zv::usb::FaultKind;
using zv::usb::UsbDevice;

const std::u16string kPath = u"USB\\VID_1A2B&PID_3C4D\\BRINGUP";

class BusBringUpTest : public zv::test::BusTest {};

struct ClassCase {
    uint8_t deviceClass, deviceSubClass, deviceProtocol;
    NTSTATUS status;
};

TEST_F(BusBringUpTest, ServesPerInterfaceCompositeAndCommunicationsClassesOnly) {
    const std::vector<ClassCase> cases = {
        {0x00, 0x00, 0x00, STATUS_SUCCESS},      {0xEF, 0x02, 0x01, STATUS_SUCCESS},
        {0x02, 0x00, 0x00, STATUS_SUCCESS},      {0x02, 0x0C, 0x07, STATUS_SUCCESS},
        {0xEF, 0x02, 0x02, STATUS_UNSUCCESSFUL}, {0xFF, 0x00, 0x00, STATUS_UNSUCCESSFUL},
        {0x00, 0x00, 0x01, STATUS_UNSUCCESSFUL}, {0xEF, 0x01, 0x01, STATUS_UNSUCCESSFUL},
    };
    for (const ClassCase& c : cases) {
        SCOPED_TRACE(testing::Message() << std::hex << int(c.deviceClass) << "/" << int(c.deviceSubClass)
                                        << "/" << int(c.deviceProtocol));
        runInFiber([&] {
            BusDriver bus;
            PhoneProfile profile = zv::test::busProfile();
            profile.device.bDeviceClass = c.deviceClass;
            profile.device.bDeviceSubClass = c.deviceSubClass;
            profile.device.bDeviceProtocol = c.deviceProtocol;
            WDFDEVICE parent = bus.add(kPath, profile);
            ASSERT_NE(parent, nullptr);
            EXPECT_EQ(bus.prepare(parent), c.status);
            // Only a served device joins the collection and is configured.
            EXPECT_EQ(bus.members().size(), NT_SUCCESS(c.status) ? 1u : 0u);
            EXPECT_EQ(bus.usbDevice(parent).configuration().has_value(), NT_SUCCESS(c.status));
        });
    }
}

struct FailureCase {
    std::string name;
    std::function<void(PhoneProfile&)> model;        // a broken device
    std::function<void(UsbDevice&, WDFDEVICE)> plan; // a fault plan or a failing framework call
    NTSTATUS status;                                 // 0: any failure
};

TEST_F(BusBringUpTest, EveryFailingStepFailsTheStartAndLeavesNothingTaken) {
    const std::vector<FailureCase> cases = {
        {"no serial-number string", [](PhoneProfile& p) { p.device.iSerialNumber = 0; }, nullptr,
         STATUS_UNSUCCESSFUL},
        {"serial number of no characters",
         [](PhoneProfile& p) { p.strings.set(zv::devices::kSerialNumberString, u""); }, nullptr,
         STATUS_UNSUCCESSFUL},
        {"string descriptor 0 shorter than 2 bytes", nullptr,
         [](UsbDevice& usb, WDFDEVICE) {
             usb.faults()
                 .on(FaultKind::Descriptor)
                 .descriptor(USB_STRING_DESCRIPTOR_TYPE, 0)
                 .forever()
                 .reply({2, USB_STRING_DESCRIPTOR_TYPE});
         },
         STATUS_UNSUCCESSFUL},
        {"language list unreadable", nullptr,
         [](UsbDevice& usb, WDFDEVICE) {
             usb.faults()
                 .on(FaultKind::Descriptor)
                 .descriptor(USB_STRING_DESCRIPTOR_TYPE, 0)
                 .forever()
                 .stall();
         },
         0},
        {"product string unreadable", nullptr,
         [](UsbDevice& usb, WDFDEVICE) {
             usb.faults()
                 .on(FaultKind::Descriptor)
                 .descriptor(USB_STRING_DESCRIPTOR_TYPE, zv::devices::kProductString)
                 .forever()
                 .stall();
         },
         0},
        // The USB target already refuses such a device when it is made; the driver's own check after the
        // retrieval stays behind it.
        {"wTotalLength above the bytes retrieved",
         [](PhoneProfile& p) {
             // The device announces 16 bytes more than it sends.
             uint16_t total = uint16_t(p.configuration.size() + 16);
             p.configuration[2] = uint8_t(total);
             p.configuration[3] = uint8_t(total >> 8);
         },
         nullptr, 0},
        {"configuration selection refused", nullptr,
         [](UsbDevice& usb, WDFDEVICE) {
             usb.faults()
                 .on(FaultKind::SelectConfiguration)
                 .forever()
                 .fail(USBD_STATUS_REQUEST_FAILED, STATUS_DEVICE_DATA_ERROR);
         },
         0},
        {"no configuration handle", nullptr,
         [](UsbDevice&, WDFDEVICE) {
             frameworkFaults().fail("WdfUsbTargetDeviceWdmGetConfigurationHandle", STATUS_UNSUCCESSFUL);
         },
         STATUS_UNSUCCESSFUL},
        {"bus interface query failing", nullptr,
         [](UsbDevice&, WDFDEVICE parent) {
             frameworkFaults().fail("WdfFdoQueryForInterface", STATUS_NOT_SUPPORTED, parent);
         },
         STATUS_NOT_SUPPORTED},
    };
    for (const FailureCase& c : cases) {
        SCOPED_TRACE(c.name);
        runInFiber([&] {
            BusDriver bus;
            PhoneProfile profile = zv::test::busProfile();
            if (c.model)
                c.model(profile);
            WDFDEVICE parent = bus.add(kPath, profile);
            ASSERT_NE(parent, nullptr);
            UsbDevice& usb = bus.usbDevice(parent);
            if (c.plan)
                c.plan(usb, parent);
            NTSTATUS status = bus.prepare(parent);
            if (c.status != 0)
                EXPECT_EQ(status, c.status);
            else
                EXPECT_FALSE(NT_SUCCESS(status)) << std::hex << status;
            EXPECT_TRUE(bus.members().empty());
            EXPECT_EQ(parentContext(parent)->IdentificationDescriptions, nullptr);
            // A start that failed is not released: the bus interface went back at once.
            EXPECT_EQ(usb.interfaceReferences(), 0);
        });
    }
}

TEST_F(BusBringUpTest, KeepsTheDeviceWithOneConfigurationItsStringsAndItsConfiguration) {
    runInFiber([&] {
        BusDriver bus;
        PhoneProfile profile = zv::test::busProfile();
        profile.device.bNumConfigurations = 3;
        zv::devices::Bytes configuration = profile.configuration;
        WDFDEVICE parent = bus.add(kPath, profile);
        ASSERT_NE(parent, nullptr);
        ASSERT_EQ(bus.prepare(parent), STATUS_SUCCESS);
        PPARENT_FDO_CONTEXT context = parentContext(parent);
        EXPECT_EQ(context->UsbDeviceDescriptor.bNumConfigurations, 1);
        EXPECT_EQ(context->UsbDeviceDescriptor.idVendor, profile.device.idVendor);
        EXPECT_EQ(context->LanguageId, 0x0409);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(context->SerialNumber.Buffer),
                                 context->SerialNumber.Length / 2),
                  u"ABC123");
        EXPECT_GT(context->ProductString.Length, 0);
        ASSERT_EQ(context->ConfigurationDescriptorSize, configuration.size());
        EXPECT_EQ(zv::devices::Bytes(reinterpret_cast<uint8_t*>(context->ConfigurationDescriptor),
                                     reinterpret_cast<uint8_t*>(context->ConfigurationDescriptor) +
                                         configuration.size()),
                  configuration);
        EXPECT_NE(context->ConfigurationHandle, nullptr);
        EXPECT_EQ(context->DeviceCapabilities.Version, 1);
        EXPECT_TRUE(context->DeviceCapabilities.UniqueID);
        EXPECT_NE(context->UsbBusInterface.InterfaceDereference, nullptr);
        // Every interface in alternate setting 0 (mass storage 3 has a second one).
        EXPECT_EQ(bus.usbDevice(parent).alternateSetting(3), 0);
    });
}

TEST_F(BusBringUpTest, RestartKeepsTheTargetButReadsAndSelectsAgain) {
    runInFiber([&] {
        BusDriver bus;
        WDFDEVICE parent = bus.add(kPath);
        ASSERT_NE(parent, nullptr);
        UsbDevice& usb = bus.usbDevice(parent);
        ASSERT_EQ(bus.prepare(parent), STATUS_SUCCESS);
        PPARENT_FDO_CONTEXT context = parentContext(parent);
        WDFUSBDEVICE target = context->UsbDevice;
        auto firstConfiguration = context->ConfigurationDescriptor;
        auto firstDescriptions = context->IdentificationDescriptions;
        EXPECT_EQ(usb.interfaceReferences(), 1);

        EXPECT_EQ(bus.release(parent), STATUS_SUCCESS);
        // Deconfigured, the bus interface given back; the target and data stay.
        EXPECT_FALSE(usb.configuration().has_value());
        EXPECT_EQ(usb.interfaceReferences(), 0);
        EXPECT_EQ(context->UsbDevice, target);
        EXPECT_EQ(context->ConfigurationDescriptor, firstConfiguration);

        usb.clearRequests();
        ASSERT_EQ(bus.prepare(parent), STATUS_SUCCESS);
        EXPECT_EQ(context->UsbDevice, target);
        EXPECT_TRUE(usb.configuration().has_value());
        EXPECT_EQ(usb.interfaceReferences(), 1);
        // Fresh copies: the configuration read again into new memory, a new enumeration.
        EXPECT_NE(context->ConfigurationDescriptor, firstConfiguration);
        EXPECT_NE(context->IdentificationDescriptions, firstDescriptions);
        bool read = false;
        bool selected = false;
        for (const auto& r : usb.requests()) {
            read |= r.kind == zv::usb::UsbRequestRecord::Kind::Urb &&
                    r.code == URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
            selected |=
                r.kind == zv::usb::UsbRequestRecord::Kind::Urb && r.code == URB_FUNCTION_SELECT_CONFIGURATION;
        }
        EXPECT_TRUE(read);
        EXPECT_TRUE(selected);
        EXPECT_EQ(bus.members().size(), 1u);
        EXPECT_EQ(bus.release(parent), STATUS_SUCCESS);
    });
}

} // namespace
