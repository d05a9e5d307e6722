// The USB device's PDO towards Plug and Play and its function driver: IDs as a hub builds them, plugging
// through the PnP manager with a driver bound to those IDs, surprise removal on disconnect, capabilities,
// the USB bus interface and the hub-style internal device controls.
#include "tests/usb/stack_fixture.h"

#include "platform/kernel/debug_output.h"
#include "platform/kernel/device_object.h"
#include "platform/kernel/registry.h"
#include "platform/pnp/pnp_manager.h"
#include "platform/pnp/services.h"
#include "platform/wdf/device_init.h"
#include "tests/pnp/pnptestdrv.h"

#include <usbbusif.h>

#include <cstdlib>
#include <cstring>

namespace zv::test {
namespace {

const std::u16string kUsbDeviceId = u"USB\\VID_1A2B&PID_3C4D";

// An IRP_MN_QUERY_ID answer: one string (device and instance IDs) or a list ended by an empty entry.
std::vector<std::u16string> idList(const WCHAR* text, bool list) {
    std::vector<std::u16string> ids;
    for (const WCHAR* p = text; p != nullptr && *p != 0; p += ids.back().size() + 1) {
        ids.emplace_back(reinterpret_cast<const char16_t*>(p));
        if (!list)
            break;
    }
    return ids;
}

class StackPnpTest : public UsbStackTest {
protected:
    void SetUp() override {
        UsbStackTest::SetUp();
        sched().service<kernel::DebugOutput>().setSink([this](std::string_view text) { output_ += text; });
        pnp::services().install({u"ZvUsbStackTest",
                                 ZV_PNP_TEST_DRIVER_MODULE,
                                 {kUsbDeviceId},
                                 {},
                                 u"{6d2f9a41-7c3b-4e25-8f10-2a9b3c4d5e6f}"});
    }
    // The unit the test driver writes its event lines under, in the device's hardware key.
    static void configureUnit(const std::u16string& instancePath, unsigned unit) {
        wdf::DeviceInstance instance;
        instance.instancePath = instancePath;
        kernel::RegKey* key = nullptr;
        ASSERT_EQ(kernel::registry().openKey(instance.hardwareKeyPath(), true, &key), STATUS_SUCCESS);
        key->setValue(u"" PNPTEST_VALUE_UNIT, kernel::RegValue::dword(unit));
        key->setValue(u"" PNPTEST_VALUE_FAULTS, kernel::RegValue::dword(0));
    }
    bool sawEvent(const std::string& event) const { return output_.find(event) != std::string::npos; }

    // A PnP IRP straight to the PDO; its status, and Information.
    NTSTATUS pnpIrp(PDEVICE_OBJECT pdo, UCHAR minor, const std::function<void(IO_STACK_LOCATION&)>& fill,
                    ULONG_PTR* information = nullptr) {
        SentIrp sent(pdo, IRP_MJ_PNP, minor);
        fill(*sent.location());
        sent.send();
        NTSTATUS status = sent.wait();
        if (information != nullptr)
            *information = sent.information();
        return status;
    }
    std::vector<std::u16string> queryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type) {
        ULONG_PTR answer = 0;
        EXPECT_EQ(pnpIrp(
                      pdo, IRP_MN_QUERY_ID,
                      [type](IO_STACK_LOCATION& s) { s.Parameters.QueryId.IdType = type; }, &answer),
                  STATUS_SUCCESS);
        auto* text = reinterpret_cast<WCHAR*>(answer);
        std::vector<std::u16string> ids =
            idList(text, type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
        std::free(text);
        return ids;
    }

private:
    std::string output_;
};

TEST_F(StackPnpTest, IdsFollowTheDeviceDescriptor) {
    struct IdCase {
        const char* profile;
        usb::PortSettings port;
        std::u16string instanceId;
        std::vector<std::u16string> compatible;
    };
    const std::vector<IdCase> cases = {
        {"hs-phone",
         {},
         u"ABC123",
         {u"USB\\Class_EF&SubClass_02&Prot_01", u"USB\\Class_EF&SubClass_02", u"USB\\Class_EF",
          u"USB\\COMPOSITE"}},
        {"fs-phone",
         {.uniqueId = false, .portNumber = 7},
         u"5&2A8F0C1B&0&7",
         {u"USB\\Class_EF&SubClass_02&Prot_01", u"USB\\Class_EF&SubClass_02", u"USB\\Class_EF",
          u"USB\\COMPOSITE"}},
        {"cdc-phone",
         {},
         u"ABC123",
         {u"USB\\Class_02&SubClass_00&Prot_00", u"USB\\Class_02&SubClass_00", u"USB\\Class_02"}},
    };
    for (const IdCase& c : cases) {
        SCOPED_TRACE(c.profile);
        devices::Phone& model = phone(c.profile);
        runInFiber([&] {
            usb::UsbDevice& device = attach(model, c.port);
            const std::vector<std::u16string> hardware = {kUsbDeviceId + u"&REV_0100", kUsbDeviceId};
            EXPECT_EQ(device.hardwareIds(), hardware);
            EXPECT_EQ(device.compatibleIds(), c.compatible);
            EXPECT_EQ(device.instancePath(), kUsbDeviceId + u"\\" + c.instanceId);
            EXPECT_EQ(queryIds(device.pdo(), BusQueryDeviceID), std::vector<std::u16string>{kUsbDeviceId});
            EXPECT_EQ(queryIds(device.pdo(), BusQueryInstanceID), std::vector<std::u16string>{c.instanceId});
            EXPECT_EQ(queryIds(device.pdo(), BusQueryHardwareIDs), hardware);
            EXPECT_EQ(queryIds(device.pdo(), BusQueryCompatibleIDs), c.compatible);

            DEVICE_CAPABILITIES caps{};
            caps.Size = sizeof caps;
            caps.Version = 1;
            EXPECT_EQ(
                pnpIrp(device.pdo(), IRP_MN_QUERY_CAPABILITIES,
                       [&](IO_STACK_LOCATION& s) { s.Parameters.DeviceCapabilities.Capabilities = &caps; }),
                STATUS_SUCCESS);
            EXPECT_EQ(caps.Size, sizeof caps);
            EXPECT_EQ(caps.Version, 1);
            EXPECT_EQ(caps.UniqueID, c.port.uniqueId ? 1u : 0u);
            EXPECT_EQ(caps.Removable, 1u);
            EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
            EXPECT_EQ(caps.Address, device.portNumber());
            EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
            EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
            device.disconnect();
        });
    }
}

TEST_F(StackPnpTest, PlugBringsTheBoundDriverUpAndDisconnectSurpriseRemovesIt) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        const std::u16string path = kUsbDeviceId + u"\\ABC123";
        configureUnit(path, 4);
        usb::UsbDevice* device = nullptr;
        ASSERT_EQ(usb::usbStack().plug(model, {}, &device), STATUS_SUCCESS);
        ASSERT_NE(device, nullptr);
        EXPECT_TRUE(device->plugged());
        pnp::DeviceNode* node = pnp::pnpManager().find(path);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->state(), pnp::NodeState::Started);
        EXPECT_EQ(node->pdo(), device->pdo());
        EXPECT_TRUE(sawEvent("ZVPNP 4 DeviceAdd"));
        EXPECT_TRUE(sawEvent("ZVPNP 4 D0Entry"));
        EXPECT_NE(device->pdo()->AttachedDevice, nullptr) << "the driver's device sits on the PDO";

        PDEVICE_OBJECT pdo = device->pdo();
        ObReferenceObject(pdo);
        device->disconnect();
        sim::sleepFor(sim::kMillisecond, "test");
        pnp::pnpManager().waitIdle();
        EXPECT_TRUE(sawEvent("ZVPNP 4 SurpriseRemoval"));
        EXPECT_TRUE(pnp::pnpManager().find(path) == nullptr ||
                    pnp::pnpManager().find(path)->state() == pnp::NodeState::Removed);
        sim::sleepFor(sim::kMillisecond, "test");
        EXPECT_TRUE(kernel::isDeviceObjectDeleted(pdo)) << "a gone device's PDO goes after its removal";
        ObDereferenceObject(pdo);
    });
}

TEST_F(StackPnpTest, PortCycleEnumeratesAPluggedDeviceAgain) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        const std::u16string path = kUsbDeviceId + u"\\ABC123";
        configureUnit(path, 5);
        usb::UsbDevice* first = nullptr;
        ASSERT_EQ(usb::usbStack().plug(model, {.portNumber = 3}, &first), STATUS_SUCCESS);
        EXPECT_EQ(ioctl(first->pdo(), IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
        sim::sleepFor(sim::kMillisecond, "test");
        pnp::pnpManager().waitIdle();
        EXPECT_FALSE(first->connected());
        EXPECT_TRUE(sawEvent("ZVPNP 5 SurpriseRemoval"));
        usb::UsbDevice* second = usb::usbStack().deviceAt(3);
        ASSERT_NE(second, nullptr);
        EXPECT_NE(second, first);
        EXPECT_TRUE(second->connected());
        EXPECT_EQ(first->pdo(), nullptr) << "the gone device's PDO was deleted at its removal";
        pnp::DeviceNode* node = pnp::pnpManager().find(path);
        ASSERT_NE(node, nullptr);
        EXPECT_EQ(node->state(), pnp::NodeState::Started);
        EXPECT_EQ(node->pdo(), second->pdo());
    });
}

TEST_F(StackPnpTest, BusInterfaceAnswersFromTheSimulatedBus) {
    devices::Phone& high = phone("hs-phone");
    devices::Phone& full = phone("fs-phone");
    runInFiber([&] {
        for (devices::Phone* model : {&high, &full}) {
            usb::UsbDevice& device = attach(*model, {.uniqueId = false});
            auto query = [&](USHORT size, USHORT version, PVOID out,
                             const GUID* type = &USB_BUS_INTERFACE_USBDI_GUID) {
                return pnpIrp(device.pdo(), IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION& s) {
                    s.Parameters.QueryInterface.InterfaceType = type;
                    s.Parameters.QueryInterface.Size = size;
                    s.Parameters.QueryInterface.Version = version;
                    s.Parameters.QueryInterface.Interface = static_cast<PINTERFACE>(out);
                });
            };
            USB_BUS_INTERFACE_USBDI_V1 v1{};
            ASSERT_EQ(query(sizeof v1, USB_BUSIF_USBDI_VERSION_1, &v1), STATUS_SUCCESS);
            EXPECT_EQ(v1.Size, sizeof v1);
            EXPECT_EQ(device.interfaceReferences(), 1);
            ASSERT_NE(v1.IsDeviceHighSpeed, nullptr);
            EXPECT_EQ(v1.IsDeviceHighSpeed(v1.BusContext) != FALSE, device.speed() == usb::Speed::High);
            USBD_VERSION_INFORMATION version{};
            ULONG capabilities = 7;
            v1.GetUSBDIVersion(v1.BusContext, &version, &capabilities);
            EXPECT_EQ(version.USBDI_Version, 0x600u);
            EXPECT_EQ(version.Supported_USB_Version, 0x200u);
            sim::sleepFor(37 * sim::kMillisecond + 5, "test");
            ULONG frame = 0;
            EXPECT_EQ(v1.QueryBusTime(v1.BusContext, &frame), STATUS_SUCCESS);
            EXPECT_EQ(frame, ULONG(sched().now() / sim::kMillisecond));
            UrbBuffer frameUrb = pipeUrb(URB_FUNCTION_GET_CURRENT_FRAME_NUMBER, nullptr);
            frameUrb.storage.resize(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
            frameUrb->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
            ASSERT_EQ(submit(device.pdo(), frameUrb.get()), STATUS_SUCCESS);
            EXPECT_EQ(frameUrb->UrbGetCurrentFrameNumber.FrameNumber,
                      ULONG(sched().now() / sim::kMillisecond));

            ULONG level0[2] = {};
            ULONG length = sizeof level0, actual = 0;
            EXPECT_EQ(v1.QueryBusInformation(v1.BusContext, 0, level0, &length, &actual), STATUS_SUCCESS);
            EXPECT_EQ(actual, sizeof level0);
            EXPECT_GT(level0[0], 0u);
            length = 4;
            EXPECT_EQ(v1.QueryBusInformation(v1.BusContext, 0, level0, &length, &actual),
                      STATUS_BUFFER_TOO_SMALL);
            EXPECT_EQ(v1.QueryBusInformation(v1.BusContext, 9, level0, &length, &actual),
                      STATUS_NOT_SUPPORTED);
            v1.InterfaceDereference(v1.BusContext);
            EXPECT_EQ(device.interfaceReferences(), 0);

            USB_BUS_INTERFACE_USBDI_V0 v0{};
            EXPECT_EQ(query(sizeof v0, USB_BUSIF_USBDI_VERSION_0, &v0), STATUS_SUCCESS);
            EXPECT_EQ(v0.Version, USB_BUSIF_USBDI_VERSION_0);
            v0.InterfaceDereference(v0.BusContext);
            EXPECT_EQ(query(sizeof v0, USB_BUSIF_USBDI_VERSION_1, &v1), STATUS_INVALID_PARAMETER)
                << "V1 in a V0 size";
            EXPECT_EQ(query(sizeof v1, 3, &v1), STATUS_NOT_SUPPORTED);
            EXPECT_EQ(query(sizeof v1, USB_BUSIF_USBDI_VERSION_1, nullptr), STATUS_INVALID_PARAMETER);
            const GUID other = {0x12345678, 0x1, 0x2, {1, 2, 3, 4, 5, 6, 7, 8}};
            EXPECT_EQ(query(sizeof v1, 1, &v1, &other), STATUS_NOT_SUPPORTED)
                << "left with the status it came with";
            EXPECT_EQ(device.interfaceReferences(), 0);
            device.disconnect();
        }
    });
}

TEST_F(StackPnpTest, HubControlsAnswerAsAHub) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        ULONG status = 0;
        EXPECT_EQ(ioctl(device.pdo(), IOCTL_INTERNAL_USB_GET_PORT_STATUS, &status), STATUS_SUCCESS);
        EXPECT_EQ(status, ULONG(USBD_PORT_ENABLED | USBD_PORT_CONNECTED));

        std::vector<uint8_t> name(512);
        ULONG_PTR information = 0;
        EXPECT_EQ(ioctl(device.pdo(), IOCTL_INTERNAL_USB_GET_HUB_NAME, nullptr, name.data(),
                        ULONG(name.size()), &information),
                  STATUS_SUCCESS);
        auto* hub = reinterpret_cast<PUSB_HUB_NAME>(name.data());
        EXPECT_EQ(hub->ActualLength, information);
        EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(hub->HubName)), usb::usbStack().hubName());
        EXPECT_EQ(ioctl(device.pdo(), IOCTL_INTERNAL_USB_GET_HUB_NAME, nullptr, name.data(), 2),
                  STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(ioctl(device.pdo(), IOCTL_INTERNAL_USB_GET_CONTROLLER_NAME, nullptr, name.data(), 12,
                        &information),
                  STATUS_SUCCESS);
        EXPECT_EQ(information, 12u) << "as much of the name as fits";
        EXPECT_GT(hub->ActualLength, 12u);
        EXPECT_EQ(
            ioctl(device.pdo(), IOCTL_INTERNAL_USB_GET_BUS_INFO, nullptr, name.data(), 16, &information),
            STATUS_SUCCESS);
        EXPECT_EQ(information, 16u);
        EXPECT_EQ(ioctl(device.pdo(), 0x22FFFF), STATUS_INVALID_DEVICE_REQUEST);

        // The idle notification waits until it is cancelled; a second one meanwhile is refused.
        ULONG callbackInfo[4] = {};
        auto idle = startIoctl(device.pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, callbackInfo);
        sim::sleepFor(sim::kSecond, "test");
        EXPECT_FALSE(idle->completed());
        EXPECT_EQ(ioctl(device.pdo(), IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, callbackInfo),
                  STATUS_DEVICE_BUSY);
        EXPECT_TRUE(idle->cancel());
        EXPECT_EQ(idle->wait(), STATUS_CANCELLED);

        // A port cycle: the device goes and comes back unconfigured on the same PDO.
        auto pipes = configure(device);
        EXPECT_EQ(ioctl(device.pdo(), IOCTL_INTERNAL_USB_CYCLE_PORT), STATUS_SUCCESS);
        sim::sleepFor(sim::kMillisecond, "test");
        EXPECT_TRUE(device.connected());
        EXPECT_FALSE(device.configuration());
        UrbBuffer stale = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, nullptr, 0);
        EXPECT_EQ(submit(device.pdo(), stale.get()), STATUS_INVALID_PARAMETER);

        const std::vector<usb::UsbRequestRecord> tail = {
            {usb::UsbRequestRecord::Kind::Ioctl, IOCTL_INTERNAL_USB_CYCLE_PORT},
            {usb::UsbRequestRecord::Kind::Urb, URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER},
        };
        ASSERT_GE(device.requests().size(), 2u);
        EXPECT_EQ(std::vector<usb::UsbRequestRecord>(device.requests().end() - 2, device.requests().end()),
                  tail);
        device.disconnect();
    });
}

} // namespace
} // namespace zv::test
