// Configuration and interface selection at the USB stack's PDO: the records filled, handles that work,
// handles that stop working, and malformed selection URBs.
#include "tests/usb/stack_fixture.h"

#include <set>

namespace zv::test {
namespace {

class StackConfigTest : public UsbStackTest {};

TEST_F(StackConfigTest, SelectConfigurationFillsEveryInterfaceRecord) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        EXPECT_FALSE(device.configuration());
        UrbBuffer select = selectConfigurationUrb(model.configurationDescriptor());
        ASSERT_EQ(submit(device.pdo(), select.get()), STATUS_SUCCESS);
        EXPECT_EQ(select->UrbHeader.Status, USBD_STATUS_SUCCESS);
        EXPECT_NE(select->UrbSelectConfiguration.ConfigurationHandle, nullptr);
        EXPECT_EQ(device.configuration(), model.configurationDescriptor()[5]);

        struct Expected {
            uint8_t cls, subClass, protocol;
            std::vector<std::pair<uint8_t, USBD_PIPE_TYPE>> pipes;
        };
        const std::vector<Expected> expected = {
            {0x02, 0x02, 0x01, {{0x81, UsbdPipeTypeInterrupt}}},
            {0x0A, 0x00, 0x00, {{0x82, UsbdPipeTypeBulk}, {0x02, UsbdPipeTypeBulk}}},
            {0xFF, 0xFF, 0xFF, {{0x83, UsbdPipeTypeBulk}, {0x03, UsbdPipeTypeBulk}}},
            {0x08, 0x06, 0x50, {{0x84, UsbdPipeTypeBulk}, {0x04, UsbdPipeTypeBulk}}},
            {0x02, 0x0A, 0x01, {{0x85, UsbdPipeTypeBulk}, {0x05, UsbdPipeTypeBulk}}},
        };
        auto interfaces = interfacesOf(select);
        ASSERT_EQ(interfaces.size(), expected.size());
        std::set<USBD_PIPE_HANDLE> handles;
        std::set<USBD_INTERFACE_HANDLE> interfaceHandles;
        for (size_t i = 0; i < interfaces.size(); ++i) {
            SCOPED_TRACE(i);
            PUSBD_INTERFACE_INFORMATION info = interfaces[i];
            EXPECT_EQ(info->Class, expected[i].cls);
            EXPECT_EQ(info->SubClass, expected[i].subClass);
            EXPECT_EQ(info->Protocol, expected[i].protocol);
            interfaceHandles.insert(info->InterfaceHandle);
            ASSERT_EQ(info->NumberOfPipes, expected[i].pipes.size());
            for (ULONG p = 0; p < info->NumberOfPipes; ++p) {
                EXPECT_EQ(info->Pipes[p].EndpointAddress, expected[i].pipes[p].first);
                EXPECT_EQ(info->Pipes[p].PipeType, expected[i].pipes[p].second);
                EXPECT_EQ(info->Pipes[p].MaximumPacketSize,
                          expected[i].pipes[p].second == UsbdPipeTypeBulk ? 512 : 16);
                EXPECT_NE(info->Pipes[p].PipeHandle, nullptr);
                handles.insert(info->Pipes[p].PipeHandle);
            }
        }
        EXPECT_EQ(handles.size(), 9u) << "pipe handles are distinct";
        EXPECT_EQ(interfaceHandles.size(), 5u);
        EXPECT_EQ(interfaces[0]->Pipes[0].Interval, 9);
    });
}

TEST_F(StackConfigTest, SelectInterfaceReplacesTheInterfacePipes) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        UrbBuffer select = selectConfigurationUrb(model.configurationDescriptor());
        ASSERT_EQ(submit(device.pdo(), select.get()), STATUS_SUCCESS);
        USBD_PIPE_HANDLE oldStorage = interfacesOf(select)[3]->Pipes[0].PipeHandle;
        USBD_PIPE_HANDLE otherInterface = interfacesOf(select)[4]->Pipes[1].PipeHandle;

        UrbBuffer alt = selectInterfaceUrb(model.configurationDescriptor(),
                                           select->UrbSelectConfiguration.ConfigurationHandle, 3, 1);
        ASSERT_EQ(submit(device.pdo(), alt.get()), STATUS_SUCCESS);
        EXPECT_EQ(device.alternateSetting(3), 1);
        ASSERT_EQ(alt->UrbSelectInterface.Interface.NumberOfPipes, 2u);
        USBD_PIPE_HANDLE newStorage = alt->UrbSelectInterface.Interface.Pipes[0].PipeHandle;
        EXPECT_NE(newStorage, oldStorage);

        std::vector<uint8_t> buffer(512);
        UrbBuffer stale =
            transferUrb(oldStorage, USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, buffer.data(), 512);
        EXPECT_EQ(submit(device.pdo(), stale.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(stale->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
        UrbBuffer reset = pipeUrb(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL, oldStorage);
        EXPECT_EQ(submit(device.pdo(), reset.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(reset->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);

        // The other interfaces keep theirs: a zero-length write on the diagnostic OUT pipe works.
        UrbBuffer zero = transferUrb(otherInterface, USBD_TRANSFER_DIRECTION_OUT, nullptr, 0);
        EXPECT_EQ(submit(device.pdo(), zero.get()), STATUS_SUCCESS);

        UrbBuffer wrongHandle = selectInterfaceUrb(model.configurationDescriptor(), nullptr, 3, 0);
        EXPECT_EQ(submit(device.pdo(), wrongHandle.get()), STATUS_INVALID_PARAMETER);
        UrbBuffer noSuchAlternate = selectInterfaceUrb(
            model.configurationDescriptor(), select->UrbSelectConfiguration.ConfigurationHandle, 3, 7);
        EXPECT_EQ(submit(device.pdo(), noSuchAlternate.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(noSuchAlternate->UrbHeader.Status, USBD_STATUS_INTERFACE_NOT_FOUND);
        EXPECT_EQ(device.alternateSetting(3), 1) << "a failed selection changes nothing";
    });
}

TEST_F(StackConfigTest, DeconfigureInvalidatesEveryHandle) {
    devices::Phone& model = phone("fs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        auto pipes = configure(device);
        UrbBuffer deconfigure{std::vector<uint8_t>(sizeof(struct _URB_SELECT_CONFIGURATION))};
        deconfigure->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
        deconfigure->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
        ASSERT_EQ(submit(device.pdo(), deconfigure.get()), STATUS_SUCCESS);
        EXPECT_FALSE(device.configuration());
        UrbBuffer write = transferUrb(pipes.at(0x05), USBD_TRANSFER_DIRECTION_OUT, nullptr, 0);
        EXPECT_EQ(submit(device.pdo(), write.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(write->UrbHeader.Status, USBD_STATUS_INVALID_PIPE_HANDLE);
    });
}

struct BadSelection {
    const char* name;
    void (*damage)(UrbBuffer&);
    USBD_STATUS usbd;
};

TEST_F(StackConfigTest, RefusesMalformedSelections) {
    const std::vector<BadSelection> cases = {
        {"interface record too short",
         [](UrbBuffer& u) { interfacesOf(u)[1]->Length = USHORT(GET_USBD_INTERFACE_SIZE(1)); },
         USBD_STATUS_INVALID_PARAMETER},
        {"interface record length zero", [](UrbBuffer& u) { interfacesOf(u)[0]->Length = 0; },
         USBD_STATUS_INVALID_PARAMETER},
        {"records past the URB",
         [](UrbBuffer& u) { u->UrbHeader.Length = USHORT(u->UrbHeader.Length - GET_USBD_INTERFACE_SIZE(2)); },
         USBD_STATUS_INVALID_PARAMETER},
        {"no such interface", [](UrbBuffer& u) { interfacesOf(u)[2]->InterfaceNumber = 9; },
         USBD_STATUS_INTERFACE_NOT_FOUND},
        {"configuration value the device lacks",
         [](UrbBuffer& u) {
             reinterpret_cast<uint8_t*>(u->UrbSelectConfiguration.ConfigurationDescriptor)[5] = 7;
         },
         USBD_STATUS_INVALID_PARAMETER},
        {"maximum packet larger than the endpoint's",
         [](UrbBuffer& u) {
             auto* info = interfacesOf(u)[1];
             info->Pipes[0].PipeFlags = USBD_PF_CHANGE_MAX_PACKET;
             info->Pipes[0].MaximumPacketSize = 1024;
         },
         USBD_STATUS_INAVLID_PIPE_FLAGS},
    };
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        for (const BadSelection& c : cases) {
            SCOPED_TRACE(c.name);
            UrbBuffer select = selectConfigurationUrb(model.configurationDescriptor());
            c.damage(select);
            EXPECT_EQ(submit(device.pdo(), select.get()), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(select->UrbHeader.Status, c.usbd);
            EXPECT_FALSE(device.configuration());
        }
    });
}

TEST_F(StackConfigTest, HonoursPipeFlagsAndMaximumTransferSize) {
    devices::Phone& model = phone("hs-phone");
    runInFiber([&] {
        usb::UsbDevice& device = attach(model);
        UrbBuffer select = selectConfigurationUrb(model.configurationDescriptor());
        PUSBD_INTERFACE_INFORMATION diagnostic = interfacesOf(select)[4];
        diagnostic->Pipes[0].PipeFlags = USBD_PF_CHANGE_MAX_PACKET;
        diagnostic->Pipes[0].MaximumPacketSize = 64;
        diagnostic->Pipes[1].MaximumTransferSize = 1024;
        ASSERT_EQ(submit(device.pdo(), select.get()), STATUS_SUCCESS);
        EXPECT_EQ(diagnostic->Pipes[0].MaximumPacketSize, 64);
        EXPECT_EQ(diagnostic->Pipes[1].MaximumTransferSize, 1024u);

        std::vector<uint8_t> big(2048, 1);
        UrbBuffer tooLong =
            transferUrb(diagnostic->Pipes[1].PipeHandle, USBD_TRANSFER_DIRECTION_OUT, big.data(), 2048);
        EXPECT_EQ(submit(device.pdo(), tooLong.get()), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(tooLong->UrbHeader.Status, USBD_STATUS_INVALID_PARAMETER);

        // 200 bytes written come back as 64-byte packets on the changed IN pipe.
        UrbBuffer write =
            transferUrb(diagnostic->Pipes[1].PipeHandle, USBD_TRANSFER_DIRECTION_OUT, big.data(), 200);
        ASSERT_EQ(submit(device.pdo(), write.get()), STATUS_SUCCESS);
        std::vector<uint8_t> in(64);
        UrbBuffer read = transferUrb(diagnostic->Pipes[0].PipeHandle,
                                     USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK, in.data(), 64);
        ASSERT_EQ(submit(device.pdo(), read.get()), STATUS_SUCCESS);
        EXPECT_EQ(read->UrbBulkOrInterruptTransfer.TransferBufferLength, 64u);
    });
}

} // namespace
} // namespace zv::test
