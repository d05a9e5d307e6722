// Child creation failing on its IDs. A string descriptor holds at most 126 characters, so no phone can
// give a serial number too long for the 256-character ID buffer; the test puts one in the parent's
// context after its bring-up, before Plug and Play asks for the bus relations that create the children.
#include "tests/bus/bus_fixture.h"

#include "platform/wdf/device.h"
#include "platform/wdf/device_stack.h"

#include <string>

namespace {

using zv::test::BusDriver;
using zv::test::parentContext;

class BusChildCreateTest : public zv::test::BusTest {};

TEST_F(BusChildCreateTest, ASerialNumberTooLongForTheInstanceIdCreatesNoChild) {
    runInFiber([&] {
        BusDriver bus;
        WDFDEVICE parent = bus.add(u"USB\\VID_1A2B&PID_3C4D\\ABC123");
        ASSERT_NE(parent, nullptr);
        ASSERT_EQ(bus.prepare(parent), STATUS_SUCCESS);
        PPARENT_FDO_CONTEXT context = parentContext(parent);
        ASSERT_TRUE(context->DeviceCapabilities.UniqueID);

        // 254 characters and "_00" need 257.
        std::u16string serial(254, u'7');
        const UNICODE_STRING kept = context->SerialNumber;
        context->SerialNumber.Buffer = reinterpret_cast<PWSTR>(serial.data());
        context->SerialNumber.Length = USHORT(serial.size() * sizeof(char16_t));
        context->SerialNumber.MaximumLength = context->SerialNumber.Length;

        zv::wdf::IrpResult relations = zv::wdf::sendAndWait(
            zv::wdf::Device::fromHandle(parent)->deviceObject(), IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
            [](IO_STACK_LOCATION& stack) { stack.Parameters.QueryDeviceRelations.Type = BusRelations; });
        ASSERT_TRUE(NT_SUCCESS(relations.status)) << std::hex << relations.status;
        auto* list = reinterpret_cast<PDEVICE_RELATIONS>(relations.information);
        ASSERT_NE(list, nullptr);
        EXPECT_EQ(list->Count, 0u) << "a child was created with a cut instance ID";
        for (ULONG i = 0; i < list->Count; ++i)
            ObDereferenceObject(list->Objects[i]);
        zv::wdf::freeDeviceRelations(list);

        context->SerialNumber = kept;
        EXPECT_EQ(bus.release(parent), STATUS_SUCCESS);
        bus.remove(parent);
    });
}

} // namespace
