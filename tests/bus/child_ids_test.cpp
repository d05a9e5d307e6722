// The children as Plug and Play sees them: their device, hardware, compatible and instance IDs, their
// device text and locale, their capabilities, and the USB bus interface their drivers get. Every answer is
// asked of the child's own physical device object, the way the Plug and Play manager asks.
//
// The phone's configuration gives lowercase hex digits somewhere in every number that fills an ID (VID
// 1a2b, PID 3c4d, class ff, subclass ab and protocol cd, interface 10 as 0a), so an uppercase formatter
// cannot pass.
#include "tests/bus/bus_configurations.h"
#include "tests/bus/bus_machine.h"

#include <usbbusif.h>

namespace {

using namespace zv;
using test::BusMachineTest;
using test::queryCapabilities;
using test::queryDeviceText;
using test::queryIds;

struct ChildIds {
    uint8_t interfaceNumber;
    std::u16string deviceId;
    std::vector<std::u16string> hardwareIds;
    std::vector<std::u16string> compatibleIds;
    std::u16string uniqueInstanceId; // the port vouches for the serial number
    std::u16string plainInstanceId;  // it does not
    std::u16string description;
};

const std::vector<ChildIds> kChildren = {
    {0,
     u"USB\\Vid_1a2b&Pid_3c4d&Mi_00",
     {u"USB\\Vid_1a2b&Pid_3c4d&Rev_0100&Mi_00&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Rev_0100&Mi_00",
      u"USB\\Vid_1a2b&Pid_3c4d&Mi_00&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Mi_00",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_02&SubClass_02&Prot_01&Os_NT",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_02&SubClass_02&Prot_01",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_02&SubClass_02&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Class_02&SubClass_02",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_02&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Class_02"},
     {u"USB\\Class_02&SubClass_02&Prot_01", u"USB\\Class_02&SubClass_02", u"USB\\Class_02"},
     u"ABC123_00",
     u"00",
     u"Modem"},
    {2,
     u"USB\\Vid_1a2b&Pid_3c4d&Mi_02",
     {u"USB\\Vid_1a2b&Pid_3c4d&Rev_0100&Mi_02&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Rev_0100&Mi_02",
      u"USB\\Vid_1a2b&Pid_3c4d&Mi_02&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Mi_02",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&SubClass_00&Prot_00&Os_NT",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&SubClass_00&Prot_00",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&SubClass_00&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&SubClass_00",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Class_ff"},
     {u"USB\\Class_ff&SubClass_00&Prot_00", u"USB\\Class_ff&SubClass_00", u"USB\\Class_ff"},
     u"ABC123_02",
     u"02",
     u""},
    {10,
     u"USB\\Vid_1a2b&Pid_3c4d&Mi_0a",
     {u"USB\\Vid_1a2b&Pid_3c4d&Rev_0100&Mi_0a&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Rev_0100&Mi_0a",
      u"USB\\Vid_1a2b&Pid_3c4d&Mi_0a&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Mi_0a",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&SubClass_ab&Prot_cd&Os_NT",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&SubClass_ab&Prot_cd",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&SubClass_ab&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&SubClass_ab",
      u"USB\\Vid_1a2b&Pid_3c4d&Class_ff&Os_NT", u"USB\\Vid_1a2b&Pid_3c4d&Class_ff"},
     {u"USB\\Class_ff&SubClass_ab&Prot_cd", u"USB\\Class_ff&SubClass_ab", u"USB\\Class_ff"},
     u"ABC123_0a",
     u"0a",
     u"Vendor"},
};

constexpr LCID kEnglish = 0x0409;
const std::u16string kProduct = u"Zornaveltriques Phone";

// A modem under an association (with a string), a vendor function without a string on interface 2, and
// a vendor function with a string on interface 10.
devices::PhoneProfile idProfile() {
    devices::ConfigurationBuilder b;
    b.association(0, 2, 0x02, 0x02, 0x01, test::kModemString)
        .interface(0, 0, 0x02, 0x02, 0x01)
        .cdcHeader()
        .cdcUnion(0, {1})
        .endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 9)
        .interface(1, 0, 0x0A, 0x00, 0x00)
        .endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 512)
        .endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 512)
        .interface(2, 0, 0xFF, 0x00, 0x00)
        .endpoint(0x83, USB_ENDPOINT_TYPE_BULK, 512)
        .endpoint(0x03, USB_ENDPOINT_TYPE_BULK, 512)
        .interface(10, 0, 0xFF, 0xAB, 0xCD, test::kVendorString)
        .endpoint(0x84, USB_ENDPOINT_TYPE_BULK, 512)
        .endpoint(0x04, USB_ENDPOINT_TYPE_BULK, 512);
    return test::profileFor(0xEF, 0x02, 0x01, b.build());
}

class ChildIdsTest : public BusMachineTest, public ::testing::WithParamInterface<bool> {};

TEST_P(ChildIdsTest, EveryChildCarriesTheIdsTextAndCapabilitiesOfItsFunction) {
    const bool uniqueId = GetParam();
    runInFiber([&] {
        installServices(false);
        Plugged phone = plug(idProfile(), {.uniqueId = uniqueId});
        ASSERT_NE(phone.usb, nullptr);
        EXPECT_EQ(childCount(*phone.usb), kChildren.size());
        for (const ChildIds& expected : kChildren) {
            SCOPED_TRACE(testing::Message() << "interface " << int(expected.interfaceNumber));
            pnp::DeviceNode* node = child(*phone.usb, expected.interfaceNumber);
            ASSERT_NE(node, nullptr);
            PDEVICE_OBJECT pdo = node->pdo();

            EXPECT_EQ(queryIds(pdo, BusQueryDeviceID), std::vector<std::u16string>{expected.deviceId});
            EXPECT_EQ(queryIds(pdo, BusQueryHardwareIDs), expected.hardwareIds);
            EXPECT_EQ(queryIds(pdo, BusQueryCompatibleIDs), expected.compatibleIds);
            EXPECT_EQ(
                queryIds(pdo, BusQueryInstanceID),
                std::vector<std::u16string>{uniqueId ? expected.uniqueInstanceId : expected.plainInstanceId});

            // The description is the function's own string, the location the product's; a locale the
            // child has no text for gets the default locale's, which is the device's language.
            for (LCID locale : {kEnglish, LCID(0x0407)}) {
                SCOPED_TRACE(testing::Message() << "locale " << std::hex << locale);
                EXPECT_EQ(queryDeviceText(pdo, DeviceTextDescription, locale), expected.description);
                EXPECT_EQ(queryDeviceText(pdo, DeviceTextLocationInformation, locale), kProduct);
            }

            std::optional<DEVICE_CAPABILITIES> caps = queryCapabilities(pdo);
            ASSERT_TRUE(caps.has_value());
            EXPECT_EQ(caps->UniqueID, uniqueId ? 1u : 0u);
            EXPECT_EQ(caps->Address, expected.interfaceNumber);
            EXPECT_EQ(caps->Removable, 0u);
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Port, ChildIdsTest, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "UniqueId" : "NoUniqueId"; });

// What a driver above a child gets for the USB bus interface is what the bus below gave: same context,
// same routines, with a reference of its own that it gives back.
class ChildBusInterfaceTest : public BusMachineTest {};

USB_BUS_INTERFACE_USBDI_V1 queryBusInterface(PDEVICE_OBJECT target, NTSTATUS* status) {
    USB_BUS_INTERFACE_USBDI_V1 bus{};
    *status = test::sendIrp(target, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](PIRP, PIO_STACK_LOCATION stack) {
                  stack->Parameters.QueryInterface.InterfaceType = &USB_BUS_INTERFACE_USBDI_GUID;
                  stack->Parameters.QueryInterface.Size = sizeof bus;
                  stack->Parameters.QueryInterface.Version = USB_BUSIF_USBDI_VERSION_1;
                  stack->Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&bus);
                  stack->Parameters.QueryInterface.InterfaceSpecificData = nullptr;
              }).status;
    return bus;
}

TEST_F(ChildBusInterfaceTest, AChildsDriverGetsTheBusInterfaceOfTheBusBelow) {
    runInFiber([&] {
        installServices(false);
        Plugged phone = plug(test::phoneProfile());
        ASSERT_NE(phone.usb, nullptr);
        const long referencesBefore = phone.usb->interfaceReferences();

        NTSTATUS belowStatus = STATUS_UNSUCCESSFUL;
        USB_BUS_INTERFACE_USBDI_V1 below = queryBusInterface(phone.usb->pdo(), &belowStatus);
        ASSERT_EQ(belowStatus, STATUS_SUCCESS);
        for (uint8_t interfaceNumber : {0, 2, 4}) {
            SCOPED_TRACE(testing::Message() << "interface " << int(interfaceNumber));
            pnp::DeviceNode* node = child(*phone.usb, interfaceNumber);
            ASSERT_NE(node, nullptr);
            NTSTATUS status = STATUS_UNSUCCESSFUL;
            USB_BUS_INTERFACE_USBDI_V1 got = queryBusInterface(node->pdo(), &status);
            ASSERT_EQ(status, STATUS_SUCCESS);
            EXPECT_EQ(got.Size, below.Size);
            EXPECT_EQ(got.Version, below.Version);
            EXPECT_EQ(got.BusContext, below.BusContext);
            EXPECT_EQ(got.InterfaceReference, below.InterfaceReference);
            EXPECT_EQ(got.InterfaceDereference, below.InterfaceDereference);
            EXPECT_EQ(got.GetUSBDIVersion, below.GetUSBDIVersion);
            EXPECT_EQ(got.QueryBusTime, below.QueryBusTime);
            EXPECT_EQ(got.SubmitIsoOutUrb, below.SubmitIsoOutUrb);
            EXPECT_EQ(got.QueryBusInformation, below.QueryBusInformation);
            EXPECT_EQ(got.IsDeviceHighSpeed, below.IsDeviceHighSpeed);
            ASSERT_NE(got.IsDeviceHighSpeed, nullptr);
            EXPECT_TRUE(got.IsDeviceHighSpeed(got.BusContext)); // the hs-phone
            // The child's answer took a reference on the bus's interface, like the bus's own answer.
            EXPECT_EQ(phone.usb->interfaceReferences(), referencesBefore + 2);
            got.InterfaceDereference(got.BusContext);
            EXPECT_EQ(phone.usb->interfaceReferences(), referencesBefore + 1);
        }
        below.InterfaceDereference(below.BusContext);
        EXPECT_EQ(phone.usb->interfaceReferences(), referencesBefore);
    });
}

} // namespace
