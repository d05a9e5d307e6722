// The parent's handling of what its children forward and of what is sent to it: a child's configuration
// selection becoming one interface selection per interface inside the parent's configuration (each with
// the parent's configuration handle and a 1-second limit), the node-information answer of a composite
// parent, and the port operations it refuses. URBs are sent to a child's physical device object; the USB
// stack's own record of the device (its handles, selected settings and requests) is the oracle.
#include "tests/bus/bus_machine.h"

#include "platform/usb/usb_device_impl.h"

#include <usbioctl.h>

#include <cstring>

namespace {

using namespace zv;
using test::BusMachineTest;
using test::WatchedPhone;
using usb::UsbRequestRecord;

// A configuration-selection URB over `interfaces`, each given as (number, alternate setting, pipes).
struct InterfaceRequest {
    uint8_t number;
    uint8_t alternate;
    ULONG pipes;
};

class SelectConfigurationUrb {
public:
    explicit SelectConfigurationUrb(const std::vector<InterfaceRequest>& interfaces) {
        size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        for (const InterfaceRequest& i : interfaces)
            size += GET_USBD_INTERFACE_SIZE(i.pipes);
        bytes_.assign(size, 0);
        urb()->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        urb()->UrbHeader.Length = USHORT(size);
        urb()->UrbSelectConfiguration.ConfigurationHandle = nullptr;
        size_t at = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
        for (const InterfaceRequest& i : interfaces) {
            auto* entry = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes_.data() + at);
            entry->Length = USHORT(GET_USBD_INTERFACE_SIZE(i.pipes));
            entry->InterfaceNumber = i.number;
            entry->AlternateSetting = i.alternate;
            entry->NumberOfPipes = i.pipes;
            for (ULONG p = 0; p < i.pipes; ++p)
                entry->Pipes[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
            entries_.push_back(at);
            at += entry->Length;
        }
    }
    PURB urb() { return reinterpret_cast<PURB>(bytes_.data()); }
    PUSBD_INTERFACE_INFORMATION entry(size_t i) {
        return reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(bytes_.data() + entries_.at(i));
    }

private:
    std::vector<uint8_t> bytes_;
    std::vector<size_t> entries_;
};

class ParentIoTest : public BusMachineTest {
protected:
    // The entry came back with the stack's handles for the interface and each of its pipes.
    static void expectRealHandles(usb::UsbDevice& usb, PUSBD_INTERFACE_INFORMATION entry,
                                  const std::vector<uint8_t>& endpoints) {
        auto& impl = usb.impl();
        ASSERT_TRUE(impl.interfaceHandles.contains(entry->InterfaceNumber));
        EXPECT_EQ(uintptr_t(entry->InterfaceHandle), impl.interfaceHandles.at(entry->InterfaceNumber));
        ASSERT_EQ(entry->NumberOfPipes, endpoints.size());
        for (size_t p = 0; p < endpoints.size(); ++p) {
            SCOPED_TRACE(testing::Message() << "pipe " << p);
            EXPECT_EQ(entry->Pipes[p].EndpointAddress, endpoints[p]);
            auto pipe = impl.pipes.find(uintptr_t(entry->Pipes[p].PipeHandle));
            ASSERT_NE(pipe, impl.pipes.end()) << "not a pipe handle of the stack";
            EXPECT_EQ(pipe->second.address, endpoints[p]);
            EXPECT_EQ(pipe->second.interfaceNumber, entry->InterfaceNumber);
            EXPECT_EQ(entry->Pipes[p].MaximumPacketSize, pipe->second.maxPacket);
        }
    }
};

TEST_F(ParentIoTest, AChildsConfigurationSelectionBecomesOneInterfaceSelectionPerInterface) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* modem = child(*phone.usb, 0);
        ASSERT_NE(modem, nullptr);
        const uintptr_t configurationHandle = phone.usb->impl().configurationHandle;
        ASSERT_NE(configurationHandle, 0u);

        SelectConfigurationUrb select({{0, 0, 1}, {1, 0, 2}});
        phone.usb->clearRequests();
        phone.phone->selections.clear();
        test::IrpAnswer answer = test::submitUrb(modem->pdo(), select.urb());

        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        // The device is not reconfigured: its interfaces are selected in the child's order, each
        // within the parent's configuration (the stack refuses a select-interface with another handle).
        EXPECT_EQ(phone.usb->requests(), (std::vector<UsbRequestRecord>{
                                             {UsbRequestRecord::Kind::Urb, URB_FUNCTION_SELECT_INTERFACE},
                                             {UsbRequestRecord::Kind::Urb, URB_FUNCTION_SELECT_INTERFACE}}));
        ASSERT_EQ(phone.phone->selections.size(), 2u);
        EXPECT_EQ(phone.phone->selections[0].interfaceNumber, 0);
        EXPECT_EQ(phone.phone->selections[1].interfaceNumber, 1);
        EXPECT_EQ(phone.usb->impl().configurationHandle, configurationHandle);
        EXPECT_EQ(uintptr_t(select.urb()->UrbSelectConfiguration.ConfigurationHandle), configurationHandle);
        expectRealHandles(*phone.usb, select.entry(0), {0x81});
        expectRealHandles(*phone.usb, select.entry(1), {0x82, 0x02});
        EXPECT_EQ(select.entry(0)->Class, 0x02);
        EXPECT_EQ(select.entry(1)->Class, 0x0A);
    });
}

TEST_F(ParentIoTest, AChildSelectsAnAlternateSettingOfItsInterfaceOnly) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* storage = child(*phone.usb, 3);
        ASSERT_NE(storage, nullptr);
        SelectConfigurationUrb select({{3, 1, 2}});
        phone.phone->selections.clear();
        test::IrpAnswer answer = test::submitUrb(storage->pdo(), select.urb());
        EXPECT_EQ(answer.status, STATUS_SUCCESS);
        ASSERT_EQ(phone.phone->selections.size(), 1u);
        EXPECT_EQ(phone.phone->selections[0].interfaceNumber, 3);
        EXPECT_EQ(phone.phone->selections[0].alternateSetting, 1);
        EXPECT_EQ(phone.usb->alternateSetting(3), 1);
        for (uint8_t other : {0, 1, 2, 4})
            EXPECT_EQ(phone.usb->alternateSetting(other), 0) << int(other);
        EXPECT_EQ(select.entry(0)->AlternateSetting, 1);
        expectRealHandles(*phone.usb, select.entry(0), {0x84, 0x04});
    });
}

TEST_F(ParentIoTest, AnInterfaceSelectionThatNeverAnswersTimesOutAfterOneSecond) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        pnp::DeviceNode* modem = child(*phone.usb, 0);
        ASSERT_NE(modem, nullptr);
        phone.usb->faults().on(usb::FaultKind::SelectInterface).skip(1).times(1).neverAnswer();

        SelectConfigurationUrb select({{0, 0, 1}, {1, 0, 2}});
        phone.phone->selections.clear();
        test::IrpAnswer answer = test::submitUrb(modem->pdo(), select.urb());
        const sim::Time answered = sched().now();

        EXPECT_EQ(answer.status, STATUS_IO_TIMEOUT);
        ASSERT_EQ(phone.phone->selections.size(), 1u);
        EXPECT_EQ(answered - phone.phone->selections[0].at, sim::kSecond);
        // The first interface keeps what the stack gave it; the second and the configuration handle
        // are left as the child sent them.
        expectRealHandles(*phone.usb, select.entry(0), {0x81});
        EXPECT_EQ(select.entry(1)->InterfaceHandle, nullptr);
        EXPECT_EQ(select.entry(1)->Pipes[0].PipeHandle, nullptr);
        EXPECT_EQ(select.urb()->UrbSelectConfiguration.ConfigurationHandle, nullptr);
        EXPECT_EQ(phone.usb->pendingRequests(), 0u) << "the timed-out selection is still held";
    });
}

TEST_F(ParentIoTest, NodeInformationDescribesACompositeParent) {
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        PDEVICE_OBJECT parent = parentDevice(*phone.usb);
        ASSERT_NE(parent, nullptr);
        const uint8_t interfaces = phone.phone->profile().configuration[4];
        phone.usb->clearRequests();
        for (ULONG length : {76u, 75u}) {
            SCOPED_TRACE(testing::Message() << length << " bytes");
            std::vector<uint8_t> buffer(80, 0xAA);
            test::IrpAnswer answer =
                test::deviceControl(parent, false, IOCTL_USB_GET_NODE_INFORMATION, buffer.data(), length);
            if (length < sizeof(USB_NODE_INFORMATION)) {
                EXPECT_EQ(answer.status, STATUS_BUFFER_TOO_SMALL);
                continue;
            }
            EXPECT_EQ(answer.status, STATUS_SUCCESS);
            USB_NODE_INFORMATION node;
            std::memcpy(&node, buffer.data(), sizeof node);
            EXPECT_EQ(node.NodeType, UsbMIParent);
            EXPECT_EQ(node.u.MiParentInformation.NumberOfInterfaces, interfaces);
        }
        EXPECT_TRUE(phone.usb->requests().empty());
    });
}

struct ParentRefusal {
    const char* name;
    bool internal;
    ULONG code;
    NTSTATUS status;
};

TEST_F(ParentIoTest, PortOperationsSentToTheParentAreRefused) {
    const ParentRefusal cases[] = {
        {"idle notification", true, IOCTL_INTERNAL_USB_SUBMIT_IDLE_NOTIFICATION, STATUS_UNSUCCESSFUL},
        {"reset port", true, IOCTL_INTERNAL_USB_RESET_PORT, STATUS_NOT_SUPPORTED},
        {"enable port", true, IOCTL_INTERNAL_USB_ENABLE_PORT, STATUS_NOT_SUPPORTED},
        {"cycle port", true, IOCTL_INTERNAL_USB_CYCLE_PORT, STATUS_NOT_SUPPORTED},
        {"hub cycle port", false, IOCTL_USB_HUB_CYCLE_PORT, STATUS_NOT_SUPPORTED},
    };
    runInFiber([&] {
        Plugged phone = plugBusOverPhone();
        ASSERT_NE(phone.usb, nullptr);
        PDEVICE_OBJECT parent = parentDevice(*phone.usb);
        ASSERT_NE(parent, nullptr);
        for (const ParentRefusal& c : cases) {
            SCOPED_TRACE(c.name);
            phone.usb->clearRequests();
            ULONG scratch[4] = {};
            EXPECT_EQ(test::deviceControl(parent, c.internal, c.code, scratch, sizeof scratch).status,
                      c.status);
            EXPECT_TRUE(phone.usb->requests().empty());
        }
    });
}

} // namespace
