// The descriptor-parsing routines on built configurations and on malformed ones.
#include "devices/descriptors.h"

#include <usbdlib.h>

#include <gtest/gtest.h>

namespace {

using zv::devices::Bytes;
using zv::devices::ConfigurationBuilder;

Bytes phoneConfiguration() {
    return ConfigurationBuilder()
        .association(0, 2, 0x02, 0x02, 0x01)
        .interface(0, 0, 0x02, 0x02, 0x01)
        .cdcHeader()
        .cdcUnion(0, {1})
        .endpoint(0x81, USB_ENDPOINT_TYPE_INTERRUPT, 16, 9)
        .interface(1, 0, 0x0A, 0, 0)
        .endpoint(0x82, USB_ENDPOINT_TYPE_BULK, 512)
        .endpoint(0x02, USB_ENDPOINT_TYPE_BULK, 512)
        .interface(2, 0, 0xFF, 0xFF, 0xFF)
        .interface(3, 0, 0x08, 0x06, 0x50)
        .interface(3, 1, 0x08, 0x06, 0x50)
        .endpoint(0x83, USB_ENDPOINT_TYPE_BULK, 512)
        .build();
}

size_t offsetOf(const Bytes& b, const void* p) {
    return size_t(static_cast<const uint8_t*>(p) - b.data());
}

TEST(UsbdParse, DescriptorsByTypeFromAStartPosition) {
    Bytes c = phoneConfiguration();
    auto* start = c.data();
    auto* iad =
        USBD_ParseDescriptors(c.data(), ULONG(c.size()), start, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE);
    ASSERT_NE(iad, nullptr);
    EXPECT_EQ(offsetOf(c, iad), 9u);
    // The start position itself counts.
    EXPECT_EQ(
        USBD_ParseDescriptors(c.data(), ULONG(c.size()), iad, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE),
        iad);
    auto* afterIad = reinterpret_cast<uint8_t*>(iad) + iad->bLength;
    EXPECT_EQ(
        USBD_ParseDescriptors(c.data(), ULONG(c.size()), afterIad, USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE),
        nullptr);
    auto* cs = USBD_ParseDescriptors(c.data(), ULONG(c.size()), afterIad, 0x24);
    ASSERT_NE(cs, nullptr);
    EXPECT_EQ(offsetOf(c, cs), 9u + 8 + 9);
    EXPECT_EQ(USBD_ParseDescriptors(c.data(), ULONG(c.size()), start, -1), reinterpret_cast<PVOID>(c.data()));
    // A start outside the buffer finds nothing.
    EXPECT_EQ(USBD_ParseDescriptors(c.data(), ULONG(c.size()), c.data() + c.size(), -1), nullptr);
}

TEST(UsbdParse, InterfacesByCriteria) {
    Bytes c = phoneConfiguration();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(c.data());
    struct Case {
        LONG number, alternate, cls, sub, proto;
        int expectNumber, expectAlternate; // -1: none
    };
    const Case cases[] = {
        {-1, -1, -1, -1, -1, 0, 0},   {2, -1, -1, -1, -1, 2, 0},  {3, 1, -1, -1, -1, 3, 1},
        {-1, -1, 0x08, -1, -1, 3, 0}, {-1, -1, 0x0A, 0, 0, 1, 0}, {4, -1, -1, -1, -1, -1, -1},
        {3, 2, -1, -1, -1, -1, -1},
    };
    for (const auto& k : cases) {
        auto* d =
            USBD_ParseConfigurationDescriptorEx(config, config, k.number, k.alternate, k.cls, k.sub, k.proto);
        if (k.expectNumber < 0) {
            EXPECT_EQ(d, nullptr) << k.number << "/" << k.alternate;
            continue;
        }
        ASSERT_NE(d, nullptr) << k.number << "/" << k.alternate;
        EXPECT_EQ(d->bInterfaceNumber, k.expectNumber);
        EXPECT_EQ(d->bAlternateSetting, k.expectAlternate);
    }
    auto* i1 = USBD_ParseConfigurationDescriptor(config, 1, 0);
    ASSERT_NE(i1, nullptr);
    EXPECT_EQ(USBD_GetInterfaceLength(i1, c.data() + c.size()), 9u + 7 + 7);
}

TEST(UsbdParse, MalformedConfigurationsEndTheWalk) {
    struct Case {
        const char* name;
        Bytes blob;
    };
    const Case cases[] = {
        {"zero-length descriptor before the interface",
         {9, 2, 20, 0, 1, 1, 0, 0x80, 50, 0, 0x24, 9, 4, 0, 0, 0, 0, 0, 0, 0}},
        {"interface running past the end", {9, 2, 15, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0}},
        {"wTotalLength shorter than the interface",
         {9, 2, 12, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 0, 0, 0, 0}},
    };
    for (const auto& k : cases) {
        Bytes b = k.blob;
        auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(b.data());
        EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, -1, -1, -1, -1, -1), nullptr) << k.name;
        EXPECT_EQ(
            USBD_ParseDescriptors(b.data(), config->wTotalLength, b.data(), USB_INTERFACE_DESCRIPTOR_TYPE),
            nullptr)
            << k.name;
    }
}

} // namespace
