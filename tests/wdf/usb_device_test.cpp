// The USB device object against simulated phones: descriptors and strings as the device answers them,
// configuration selection of each kind (fresh interface and pipe objects every time), and the bus
// interface query through the function device's stack.
#include "tests/wdf/usb_fixture.h"

#include "platform/wdf/object.h"
#include "platform/wdf/usb_device.h"

#include <usbbusif.h>
#include <usbdlib.h>

#include <cstring>
#include <set>

namespace zv::test {
namespace {

class UsbDeviceTest : public UsbTargetTest {};

struct ProfileCase {
    const char* profile;
    bool highSpeed;
};

class UsbDeviceProfileTest : public UsbTargetTest, public ::testing::WithParamInterface<ProfileCase> {};

TEST_P(UsbDeviceProfileTest, DescriptorsAndInformationMatchTheDevice) {
    run(GetParam().profile, [&] {
        USB_DEVICE_DESCRIPTOR descriptor{};
        WdfUsbTargetDeviceGetDeviceDescriptor(usbDevice(), &descriptor);
        usb::Bytes expected = phone().deviceDescriptor();
        ASSERT_EQ(expected.size(), sizeof descriptor);
        EXPECT_EQ(memcmp(&descriptor, expected.data(), sizeof descriptor), 0);

        const usb::Bytes config = phone().configurationDescriptor();
        USHORT length = 0;
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usbDevice(), nullptr, &length),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, config.size());
        // Too small: what fits is copied, the full size is told.
        std::vector<uint8_t> buffer(config.size() + 4, 0xEE);
        length = 9;
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usbDevice(), buffer.data(), &length),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(length, config.size());
        EXPECT_EQ(memcmp(buffer.data(), config.data(), 9), 0);
        EXPECT_EQ(buffer[9], 0xEE);
        length = static_cast<USHORT>(buffer.size());
        EXPECT_EQ(WdfUsbTargetDeviceRetrieveConfigDescriptor(usbDevice(), buffer.data(), &length),
                  STATUS_SUCCESS);
        EXPECT_EQ(length, config.size());
        EXPECT_TRUE(std::equal(config.begin(), config.end(), buffer.begin()));

        WDF_USB_DEVICE_INFORMATION info;
        WDF_USB_DEVICE_INFORMATION_INIT(&info);
        ASSERT_EQ(WdfUsbTargetDeviceRetrieveInformation(usbDevice(), &info), STATUS_SUCCESS);
        EXPECT_EQ((info.Traits & WDF_USB_DEVICE_TRAIT_AT_HIGH_SPEED) != 0, GetParam().highSpeed);
        EXPECT_EQ((info.Traits & WDF_USB_DEVICE_TRAIT_SELF_POWERED) != 0,
                  (config[7] & USB_CONFIG_SELF_POWERED) != 0);
        EXPECT_NE(info.UsbdVersionInformation.Supported_USB_Version, 0u);
        EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usbDevice()), config[4]);
    });
}

INSTANTIATE_TEST_SUITE_P(Profiles, UsbDeviceProfileTest,
                         ::testing::Values(ProfileCase{"hs-phone", true}, ProfileCase{"fs-phone", false},
                                           ProfileCase{"cdc-phone", true}),
                         [](const auto& info) {
                             std::string name = info.param.profile;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

TEST_F(UsbDeviceTest, StringsComeBackAsTheirCharacters) {
    run("hs-phone", [&] {
        std::optional<usb::Bytes> product = phone().stringDescriptor(devices::kProductString, 0x0409);
        ASSERT_TRUE(product.has_value());
        const size_t characters = (product->size() - 2) / 2;

        WDFMEMORY memory = nullptr;
        USHORT count = 0;
        ASSERT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usbDevice(), WDF_NO_OBJECT_ATTRIBUTES, &memory,
                                                        &count, devices::kProductString, 0x0409),
                  STATUS_SUCCESS);
        EXPECT_EQ(count, characters);
        size_t size = 0;
        auto* text = static_cast<uint8_t*>(WdfMemoryGetBuffer(memory, &size));
        ASSERT_GE(size, characters * 2);
        EXPECT_EQ(memcmp(text, product->data() + 2, characters * 2), 0);
        // The memory belongs to the USB device.
        EXPECT_EQ(wdf::objects().find(memory)->parent()->handle(), static_cast<WDFOBJECT>(usbDevice()));

        // The query form: NULL learns the length, a short buffer gets what fits.
        USHORT room = 0;
        EXPECT_EQ(WdfUsbTargetDeviceQueryString(usbDevice(), nullptr, nullptr, nullptr, &room,
                                                devices::kProductString, 0x0409),
                  STATUS_SUCCESS);
        EXPECT_EQ(room, characters);
        std::vector<USHORT> shortBuffer(2, 0);
        room = 2;
        EXPECT_EQ(WdfUsbTargetDeviceQueryString(usbDevice(), nullptr, nullptr, shortBuffer.data(), &room,
                                                devices::kProductString, 0x0409),
                  STATUS_BUFFER_OVERFLOW);
        EXPECT_EQ(room, characters);
        EXPECT_EQ(memcmp(shortBuffer.data(), product->data() + 2, 4), 0);

        // With a request of the driver's, reused between the calls.
        WDFREQUEST request = this->request(WdfUsbTargetDeviceGetIoTarget(usbDevice()));
        std::vector<USHORT> whole(characters, 0);
        for (int round = 0; round < 2; ++round) {
            room = static_cast<USHORT>(whole.size());
            EXPECT_EQ(WdfUsbTargetDeviceQueryString(usbDevice(), request, nullptr, whole.data(), &room,
                                                    devices::kProductString, 0x0409),
                      STATUS_SUCCESS);
            EXPECT_EQ(memcmp(whole.data(), product->data() + 2, characters * 2), 0);
            WDF_REQUEST_REUSE_PARAMS reuse;
            WDF_REQUEST_REUSE_PARAMS_INIT(&reuse, WDF_REQUEST_REUSE_NO_FLAGS, STATUS_SUCCESS);
            ASSERT_EQ(WdfRequestReuse(request, &reuse), STATUS_SUCCESS);
        }
        WdfObjectDelete(request);
    });
}

struct BadStringCase {
    const char* name;
    usb::Bytes reply;
};

class UsbBadStringTest : public UsbTargetTest, public ::testing::WithParamInterface<BadStringCase> {};

TEST_P(UsbBadStringTest, MalformedLengthIsADataError) {
    run("hs-phone", [&] {
        usb()
            .faults()
            .on(usb::FaultKind::Descriptor)
            .descriptor(USB_STRING_DESCRIPTOR_TYPE)
            .forever()
            .reply(GetParam().reply);
        WDFMEMORY memory = nullptr;
        USHORT count = 7;
        EXPECT_EQ(WdfUsbTargetDeviceAllocAndQueryString(usbDevice(), WDF_NO_OBJECT_ATTRIBUTES, &memory,
                                                        &count, devices::kProductString, 0x0409),
                  STATUS_DEVICE_DATA_ERROR);
        EXPECT_EQ(memory, nullptr);
        EXPECT_EQ(count, 0);
    });
}

INSTANTIATE_TEST_SUITE_P(Replies, UsbBadStringTest,
                         ::testing::Values(BadStringCase{"OddLength", {5, 3, 'a', 0, 'b'}},
                                           BadStringCase{"LengthOne", {1, 3}},
                                           BadStringCase{"LengthZero", {0, 3}},
                                           BadStringCase{"NotAString", {4, 2, 'a', 0}}),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(UsbDeviceTest, MultiInterfaceSelectionConfiguresEverySettingZero) {
    run("hs-phone", [&] {
        const usb::Bytes config = phone().configurationDescriptor();
        ASSERT_EQ(WdfUsbTargetDeviceWdmGetConfigurationHandle(usbDevice()), nullptr);
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice(), WDF_NO_OBJECT_ATTRIBUTES, &params),
                  STATUS_SUCCESS);
        EXPECT_EQ(params.Types.MultiInterface.NumberOfConfiguredInterfaces, config[4]);
        EXPECT_NE(WdfUsbTargetDeviceWdmGetConfigurationHandle(usbDevice()), nullptr);
        EXPECT_EQ(usb().configuration(), config[5]);

        std::set<USBD_PIPE_HANDLE> handles;
        for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usbDevice()); ++i) {
            WDFUSBINTERFACE iface = WdfUsbTargetDeviceGetInterface(usbDevice(), i);
            EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(iface), 0);
            EXPECT_EQ(usb().alternateSetting(WdfUsbInterfaceGetInterfaceNumber(iface)), 0);
            const BYTE pipes = WdfUsbInterfaceGetNumConfiguredPipes(iface);
            EXPECT_EQ(pipes, WdfUsbInterfaceGetNumEndpoints(iface, 0));
            for (UCHAR p = 0; p < pipes; ++p) {
                WDF_USB_PIPE_INFORMATION info;
                WDF_USB_PIPE_INFORMATION_INIT(&info);
                WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, p, &info);
                ASSERT_NE(pipe, nullptr);
                EXPECT_NE(info.PipeType, WdfUsbPipeTypeControl);
                EXPECT_NE(info.EndpointAddress & 0x0F, 0); // the default control pipe is not among them
                EXPECT_TRUE(handles.insert(WdfUsbTargetPipeWdmGetPipeHandle(pipe)).second);
            }
            EXPECT_EQ(WdfUsbInterfaceGetConfiguredPipe(iface, pipes, nullptr), nullptr);
        }
        EXPECT_FALSE(handles.empty());
        EXPECT_EQ(WdfUsbTargetDeviceGetInterface(usbDevice(), config[4]), nullptr);
    });
}

TEST_F(UsbDeviceTest, EverySelectionMakesFreshObjectsAndDeconfigDropsThem) {
    run("hs-phone", [&] {
        ASSERT_EQ(selectAll(), STATUS_SUCCESS);
        WDFUSBINTERFACE before = WdfUsbTargetDeviceGetInterface(usbDevice(), 4);
        WDFUSBPIPE oldPipe = pipe(phone().profile().diagnosticBulkIn);
        ASSERT_NE(oldPipe, nullptr);

        // By descriptors: every interface, the mass-storage one (3) in its second setting.
        const usb::Bytes config = phone().configurationDescriptor();
        auto* configuration =
            reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(const_cast<uint8_t*>(config.data()));
        std::vector<PUSB_INTERFACE_DESCRIPTOR> chosen;
        for (UCHAR n = 0; n < configuration->bNumInterfaces; ++n) {
            chosen.push_back(USBD_ParseConfigurationDescriptorEx(configuration, configuration, n,
                                                                 n == 3 ? 1 : 0, -1, -1, -1));
            ASSERT_NE(chosen.back(), nullptr);
        }
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_INTERFACES_DESCRIPTORS(&params, configuration, chosen.data(),
                                                                        static_cast<ULONG>(chosen.size()));
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice(), WDF_NO_OBJECT_ATTRIBUTES, &params),
                  STATUS_SUCCESS);
        EXPECT_EQ(usb().alternateSetting(3), 1);
        EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(WdfUsbTargetDeviceGetInterface(usbDevice(), 3)),
                  1);
        WDFUSBINTERFACE after = WdfUsbTargetDeviceGetInterface(usbDevice(), 4);
        EXPECT_NE(after, before);
        WDFUSBPIPE newPipe = pipe(phone().profile().diagnosticBulkIn);
        ASSERT_NE(newPipe, nullptr);
        EXPECT_NE(newPipe, oldPipe);
        // The old pipe is gone: using it is reported.
        EXPECT_EQ(WdfUsbTargetPipeGetType(oldPipe), WdfUsbPipeTypeInvalid);
        expectViolation(wdf::rule::kDeletedObject);

        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_DECONFIG(&params);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice(), WDF_NO_OBJECT_ATTRIBUTES, &params),
                  STATUS_SUCCESS);
        EXPECT_EQ(usb().configuration(), std::nullopt);
        EXPECT_EQ(WdfUsbTargetDeviceWdmGetConfigurationHandle(usbDevice()), nullptr);
        EXPECT_EQ(pipe(phone().profile().diagnosticBulkIn), nullptr);
        EXPECT_EQ(WdfUsbTargetDeviceGetNumInterfaces(usbDevice()), config[4]);
    });
}

TEST_F(UsbDeviceTest, PairsAndSettingSelectionChooseAlternateSettings) {
    run("hs-phone", [&] {
        // The mass-storage interface (3) has a second setting.
        WDFUSBINTERFACE storage = WdfUsbTargetDeviceGetInterface(usbDevice(), 3);
        ASSERT_GE(WdfUsbInterfaceGetNumSettings(storage), 2);
        std::vector<WDF_USB_INTERFACE_SETTING_PAIR> pairs;
        for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usbDevice()); ++i)
            pairs.push_back(
                {WdfUsbTargetDeviceGetInterface(usbDevice(), i), static_cast<UCHAR>(i == 3 ? 1 : 0)});
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        // Pairs must name every interface.
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 2, pairs.data());
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice(), WDF_NO_OBJECT_ATTRIBUTES, &params),
                  STATUS_INVALID_PARAMETER);
        expectViolation(wdf::rule::kUsbMisuse);
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(
            &params, static_cast<UCHAR>(pairs.size()), pairs.data());
        ASSERT_EQ(params.Type, WdfUsbTargetDeviceSelectConfigTypeInterfacesPairsDescriptor);
        ASSERT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice(), WDF_NO_OBJECT_ATTRIBUTES, &params),
                  STATUS_SUCCESS);
        EXPECT_EQ(params.Types.MultiInterface.NumberOfConfiguredInterfaces, pairs.size());
        storage = WdfUsbTargetDeviceGetInterface(usbDevice(), 3);
        EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(storage), 1);
        USB_INTERFACE_DESCRIPTOR setting1{};
        WdfUsbInterfaceGetDescriptor(storage, 1, &setting1);
        EXPECT_EQ(usb().alternateSetting(3), setting1.bAlternateSetting);
        EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(storage), setting1.bNumEndpoints);

        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS setting;
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 0);
        WDFUSBPIPE before = WdfUsbInterfaceGetConfiguredPipe(storage, 0, nullptr);
        ASSERT_EQ(WdfUsbInterfaceSelectSetting(storage, WDF_NO_OBJECT_ATTRIBUTES, &setting), STATUS_SUCCESS);
        EXPECT_EQ(WdfUsbInterfaceGetConfiguredSettingIndex(storage), 0);
        EXPECT_EQ(usb().alternateSetting(3), 0);
        EXPECT_EQ(WdfUsbInterfaceGetNumConfiguredPipes(storage), WdfUsbInterfaceGetNumEndpoints(storage, 0));
        if (WdfUsbInterfaceGetNumConfiguredPipes(storage) > 0) {
            EXPECT_NE(WdfUsbInterfaceGetConfiguredPipe(storage, 0, nullptr), before);
        }
    });
}

TEST_F(UsbDeviceTest, SingleInterfaceOnACompositeDeviceIsRefused) {
    run("hs-phone", [&] {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_SINGLE_INTERFACE(&params);
        EXPECT_EQ(WdfUsbTargetDeviceSelectConfig(usbDevice(), WDF_NO_OBJECT_ATTRIBUTES, &params),
                  STATUS_INVALID_PARAMETER);
        expectViolation(wdf::rule::kUsbMisuse);
        EXPECT_EQ(usb().configuration(), std::nullopt);
        // A setting selection before any configuration is refused too.
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS setting;
        WDF_USB_INTERFACE_SELECT_SETTING_PARAMS_INIT_SETTING(&setting, 0);
        EXPECT_EQ(WdfUsbInterfaceSelectSetting(WdfUsbTargetDeviceGetInterface(usbDevice(), 0),
                                               WDF_NO_OBJECT_ATTRIBUTES, &setting),
                  STATUS_INVALID_DEVICE_STATE);
        expectViolation(wdf::rule::kUsbMisuse);
    });
}

TEST_F(UsbDeviceTest, ASelectionTheDeviceFailsLeavesTheOldConfiguration) {
    run("hs-phone", [&] {
        ASSERT_EQ(selectAll(), STATUS_SUCCESS);
        WDFUSBPIPE before = pipe(phone().profile().diagnosticBulkOut);
        usb()
            .faults()
            .on(usb::FaultKind::SelectConfiguration)
            .times(1)
            .fail(USBD_STATUS_SET_CONFIG_FAILED, STATUS_UNSUCCESSFUL);
        EXPECT_EQ(selectAll(), STATUS_UNSUCCESSFUL);
        EXPECT_EQ(pipe(phone().profile().diagnosticBulkOut), before);
    });
}

TEST_F(UsbDeviceTest, BusInterfaceQueryGoesDownTheStack) {
    run("hs-phone", [&] {
        USB_BUS_INTERFACE_USBDI_V1 bus{};
        ASSERT_EQ(WdfFdoQueryForInterface(device(), &USB_BUS_INTERFACE_USBDI_GUID,
                                          reinterpret_cast<PINTERFACE>(&bus), sizeof bus,
                                          USB_BUSIF_USBDI_VERSION_1, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(bus.Version, USB_BUSIF_USBDI_VERSION_1);
        ASSERT_NE(bus.IsDeviceHighSpeed, nullptr);
        EXPECT_TRUE(bus.IsDeviceHighSpeed(bus.BusContext));
        EXPECT_EQ(usb().interfaceReferences(), 1);
        bus.InterfaceDereference(bus.BusContext);
        EXPECT_EQ(usb().interfaceReferences(), 0);
        // An interface the stack does not know.
        const GUID unknown = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
        INTERFACE plain{};
        EXPECT_FALSE(
            NT_SUCCESS(WdfFdoQueryForInterface(device(), &unknown, &plain, sizeof plain, 1, nullptr)));
    });
}

TEST_F(UsbDeviceTest, ControlTransferReachesTheDevice) {
    run("hs-phone", [&] {
        // GET_STATUS of the device: two bytes back.
        WDF_USB_CONTROL_SETUP_PACKET setup;
        WDF_USB_CONTROL_SETUP_PACKET_INIT_GET_STATUS(&setup, BmRequestToDevice, 0);
        USHORT status = 0xFFFF;
        WDF_MEMORY_DESCRIPTOR descriptor;
        WDF_MEMORY_DESCRIPTOR_INIT_BUFFER(&descriptor, &status, sizeof status);
        ULONG moved = 0;
        EXPECT_EQ(WdfUsbTargetDeviceSendControlTransferSynchronously(usbDevice(), nullptr, nullptr, &setup,
                                                                     &descriptor, &moved),
                  STATUS_SUCCESS);
        EXPECT_EQ(moved, sizeof status);
        EXPECT_NE(status, 0xFFFF);

        // The same asynchronously: the completion parameters carry the USB view.
        WDFMEMORY buffer = memory(sizeof(USHORT));
        WDFREQUEST request = this->request(WdfUsbTargetDeviceGetIoTarget(usbDevice()));
        ASSERT_EQ(
            WdfUsbTargetDeviceFormatRequestForControlTransfer(usbDevice(), request, &setup, buffer, nullptr),
            STATUS_SUCCESS);
        WDF_REQUEST_SEND_OPTIONS options;
        WDF_REQUEST_SEND_OPTIONS_INIT(&options, WDF_REQUEST_SEND_OPTION_SYNCHRONOUS);
        ASSERT_TRUE(WdfRequestSend(request, WdfUsbTargetDeviceGetIoTarget(usbDevice()), &options));
        WDF_REQUEST_COMPLETION_PARAMS params;
        WDF_REQUEST_COMPLETION_PARAMS_INIT(&params);
        WdfRequestGetCompletionParams(request, &params);
        ASSERT_EQ(params.Type, WdfRequestTypeUsb);
        ASSERT_NE(params.Parameters.Usb.Completion, nullptr);
        const WDF_USB_REQUEST_COMPLETION_PARAMS& usbParams = *params.Parameters.Usb.Completion;
        EXPECT_EQ(usbParams.Type, WdfUsbRequestTypeDeviceControlTransfer);
        EXPECT_EQ(usbParams.UsbdStatus, USBD_STATUS_SUCCESS);
        EXPECT_EQ(usbParams.Parameters.DeviceControlTransfer.Length, sizeof(USHORT));
        EXPECT_EQ(usbParams.Parameters.DeviceControlTransfer.Buffer, buffer);
        EXPECT_EQ(usbParams.Parameters.DeviceControlTransfer.SetupPacket.Packet.bRequest,
                  USB_REQUEST_GET_STATUS);
        WdfObjectDelete(request);
        WdfObjectDelete(buffer);

        // A URB of the driver's own: the device descriptor through the USB device's stack.
        USB_DEVICE_DESCRIPTOR descriptorBack{};
        _URB_CONTROL_DESCRIPTOR_REQUEST urb{};
        urb.Hdr.Length = sizeof urb;
        urb.Hdr.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
        urb.TransferBuffer = &descriptorBack;
        urb.TransferBufferLength = sizeof descriptorBack;
        urb.DescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
        EXPECT_EQ(WdfUsbTargetDeviceSendUrbSynchronously(usbDevice(), nullptr, nullptr,
                                                         reinterpret_cast<PURB>(&urb)),
                  STATUS_SUCCESS);
        EXPECT_EQ(urb.Hdr.Status, USBD_STATUS_SUCCESS);
        EXPECT_EQ(urb.TransferBufferLength, sizeof descriptorBack);
        EXPECT_EQ(descriptorBack.idVendor, phone().profile().device.idVendor);
    });
}

} // namespace
} // namespace zv::test
