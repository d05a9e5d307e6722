// The grouping of a parent's configuration into functions: for each fixture, the records the enumeration
// builds (class, interface number, string, disable switch) and their synthesised device and configuration
// descriptors, byte for byte against what the fixture says the function holds; the fixtures that must fail
// fail the parent's start with STATUS_DEVICE_ENUMERATION_ERROR and build no record.
#include "tests/bus/bus_configurations.h"
#include "tests/bus/bus_fixture.h"

#include <string>
#include <vector>

namespace {

using zv::devices::Bytes;
using zv::test::BusDriver;
using zv::test::GroupingFixture;
using zv::test::parentContext;

std::vector<PCHILD_FUNCTION_DESCRIPTION> records(WDFDEVICE parent) {
    std::vector<PCHILD_FUNCTION_DESCRIPTION> out;
    WDFCOLLECTION collection = parentContext(parent)->IdentificationDescriptions;
    if (collection == nullptr)
        return out;
    for (ULONG i = 0; i < WdfCollectionGetCount(collection); ++i)
        out.push_back(static_cast<PCHILD_FUNCTION_DESCRIPTION>(
            WdfMemoryGetBuffer(static_cast<WDFMEMORY>(WdfCollectionGetItem(collection, i)), nullptr)));
    return out;
}

Bytes bytesOf(const void* p, size_t n) {
    auto* b = static_cast<const uint8_t*>(p);
    return Bytes(b, b + n);
}

std::u16string text(const UNICODE_STRING& s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s.Buffer), s.Length / sizeof(char16_t));
}

void setSoftwareValue(WDFDEVICE device, const char16_t* name, ULONG value) {
    WDFKEY key = nullptr;
    ASSERT_EQ(WdfDeviceOpenRegistryKey(device, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS,
                                       WDF_NO_OBJECT_ATTRIBUTES, &key),
              STATUS_SUCCESS);
    UNICODE_STRING valueName;
    RtlInitUnicodeString(&valueName, reinterpret_cast<PCWSTR>(name));
    ASSERT_EQ(WdfRegistryAssignULong(key, &valueName, value), STATUS_SUCCESS);
    WdfRegistryClose(key);
}

class BusGroupingTest : public zv::test::BusTest, public ::testing::WithParamInterface<GroupingFixture> {};

TEST_P(BusGroupingTest, RecordsAndSynthesisedDescriptorsMatchTheFunctions) {
    const GroupingFixture& fixture = GetParam();
    runInFiber([&] {
        BusDriver bus;
        auto profile = zv::test::profileFor(fixture.deviceClass, fixture.deviceSubClass,
                                            fixture.deviceProtocol, fixture.configuration);
        USB_DEVICE_DESCRIPTOR device = profile.device;
        WDFDEVICE parent = bus.add(u"USB\\VID_1A2B&PID_3C4D\\GROUPING", profile);
        ASSERT_NE(parent, nullptr);
        NTSTATUS status = bus.prepare(parent);
        if (!fixture.enumerates) {
            EXPECT_EQ(status, STATUS_DEVICE_ENUMERATION_ERROR);
            EXPECT_TRUE(records(parent).empty());
            return;
        }
        ASSERT_EQ(status, STATUS_SUCCESS);
        auto found = records(parent);
        ASSERT_EQ(found.size(), fixture.functions.size());
        for (size_t i = 0; i < found.size(); ++i) {
            const auto& want = fixture.functions[i];
            PCHILD_FUNCTION_DESCRIPTION got = found[i];
            SCOPED_TRACE("function of interface " + std::to_string(want.interfaceNumber));
            EXPECT_EQ(got->Header.IdentificationDescriptionSize, sizeof(CHILD_FUNCTION_DESCRIPTION));
            EXPECT_FALSE(got->Disabled);
            EXPECT_EQ(got->InterfaceNumber, want.interfaceNumber);
            EXPECT_EQ(got->FunctionClass, want.functionClass);
            EXPECT_EQ(got->FunctionSubClass, want.functionSubClass);
            EXPECT_EQ(got->FunctionProtocol, want.functionProtocol);
            EXPECT_EQ(text(got->FunctionDescription), want.description);

            // The parent's header with this function's length and interface count, then its bytes.
            size_t total = sizeof(USB_CONFIGURATION_DESCRIPTOR) + want.bytes.size();
            Bytes config;
            config.reserve(total); // one allocation: the insert below never moves the header
            config.assign(fixture.configuration.begin(),
                          fixture.configuration.begin() + sizeof(USB_CONFIGURATION_DESCRIPTOR));
            config[2] = uint8_t(total);
            config[3] = uint8_t(total >> 8);
            config[4] = want.numInterfaces;
            config.insert(config.end(), want.bytes.begin(), want.bytes.end());
            ASSERT_EQ(got->ConfigurationDescriptorLength, total);
            EXPECT_EQ(bytesOf(got->ConfigurationDescriptor, total), config);

            // The parent's device descriptor with one configuration and the function's class.
            USB_DEVICE_DESCRIPTOR expected = device;
            expected.bLength = sizeof(USB_DEVICE_DESCRIPTOR);
            expected.bDescriptorType = USB_DEVICE_DESCRIPTOR_TYPE;
            expected.bNumConfigurations = 1;
            expected.bDeviceClass = want.functionClass;
            expected.bDeviceSubClass = want.functionSubClass;
            expected.bDeviceProtocol = want.functionProtocol;
            EXPECT_EQ(bytesOf(got->DeviceDescriptor, sizeof(USB_DEVICE_DESCRIPTOR)),
                      bytesOf(&expected, sizeof(expected)));
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Fixtures, BusGroupingTest, ::testing::ValuesIn(zv::test::groupingFixtures()),
                         [](const auto& info) {
                             std::string name = info.param.name;
                             for (char& c : name)
                                 if (c == '-')
                                     c = '_';
                             return name;
                         });

class BusDisableSwitchTest : public zv::test::BusTest {};

// DisableIf_02 names interface 2 (the vendor function): 1 keeps it from being reported, 0 does not.
TEST_F(BusDisableSwitchTest, SwitchOfTheFunctionsFirstInterfaceDisablesOnlyWhenNotZero) {
    for (ULONG value : {1u, 0u, 7u}) {
        SCOPED_TRACE("DisableIf_02 = " + std::to_string(value));
        runInFiber([&] {
            BusDriver bus;
            auto fixture = zv::test::groupingFixtures().front();
            WDFDEVICE parent = bus.add(u"USB\\VID_1A2B&PID_3C4D\\SWITCH",
                                       zv::test::profileFor(fixture.deviceClass, fixture.deviceSubClass,
                                                            fixture.deviceProtocol, fixture.configuration));
            ASSERT_NE(parent, nullptr);
            setSoftwareValue(parent, u"DisableIf_02", value);
            setSoftwareValue(parent, u"DisableIf_2", 1); // not the name: ignored
            ASSERT_EQ(bus.prepare(parent), STATUS_SUCCESS);
            auto found = records(parent);
            ASSERT_EQ(found.size(), 3u);
            EXPECT_FALSE(found[0]->Disabled);
            EXPECT_EQ(found[1]->InterfaceNumber, 2);
            EXPECT_EQ(found[1]->Disabled != FALSE, value != 0);
            EXPECT_FALSE(found[2]->Disabled);
        });
    }
}

// Interface 10's switch ends in two lowercase hexadecimal digits.
TEST_F(BusDisableSwitchTest, SwitchNameIsLowercaseHexadecimal) {
    runInFiber([&] {
        BusDriver bus;
        zv::devices::ConfigurationBuilder b;
        b.interface(10, 0, 0xFF, 0x00, 0x00).interface(11, 0, 0xFF, 0x00, 0x00);
        WDFDEVICE parent = bus.add(u"USB\\VID_1A2B&PID_3C4D\\HEX", zv::test::profileFor(0, 0, 0, b.build()));
        ASSERT_NE(parent, nullptr);
        setSoftwareValue(parent, u"DisableIf_0a", 1);
        setSoftwareValue(parent, u"DisableIf_10", 1); // decimal: names no interface here
        ASSERT_EQ(bus.prepare(parent), STATUS_SUCCESS);
        auto found = records(parent);
        ASSERT_EQ(found.size(), 2u);
        EXPECT_TRUE(found[0]->Disabled);
        EXPECT_FALSE(found[1]->Disabled);
    });
}

} // namespace
