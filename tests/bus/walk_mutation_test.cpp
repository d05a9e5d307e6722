// The walk over configurations that devices get wrong: seeded mutations of the grouping fixtures (bytes
// changed, a bLength set to 0 or pointed past the end, the buffer cut short, wTotalLength above the
// buffer, class-specific descriptors truncated). Each mutated configuration sits in a buffer of exactly its
// size, so that the sanitizer build catches any read past it; the walk must either fail with
// STATUS_DEVICE_ENUMERATION_ERROR or build records whose descriptors all come from the configuration.
#include "tests/bus/bus_configurations.h"
#include "tests/bus/bus_fixture.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <random>
#include <vector>

namespace {

using zv::devices::Bytes;
using zv::test::BusDriver;
using zv::test::parentContext;

constexpr unsigned kMutationsPerFixture = 300;

// Offsets of the descriptors of a configuration, as far as they chain.
std::vector<size_t> descriptorOffsets(const Bytes& c) {
    std::vector<size_t> out;
    for (size_t at = 0; at + 2 <= c.size() && c[at] != 0; at += c[at])
        out.push_back(at);
    return out;
}

Bytes mutate(Bytes c, std::mt19937& random) {
    auto pick = [&](size_t n) { return size_t(random() % n); };
    auto offsets = descriptorOffsets(c);
    switch (random() % 6) {
        case 0: // a few bytes changed anywhere
            for (int i = 0, n = 1 + int(pick(3)); i < n; ++i)
                c[pick(c.size())] = uint8_t(random());
            break;
        case 1: // a zero bLength
            c[offsets[pick(offsets.size())]] = 0;
            break;
        case 2: { // a descriptor running past the end or into its neighbour
            size_t at = offsets[pick(offsets.size())];
            c[at] = uint8_t(c[at] + 1 + pick(40));
            break;
        }
        case 3: // the buffer cut short
            c.resize(pick(c.size()));
            break;
        case 4: { // wTotalLength above the buffer, and a byte changed
            uint16_t total = uint16_t(c.size() + 1 + pick(200));
            c[2] = uint8_t(total);
            c[3] = uint8_t(total >> 8);
            c[pick(c.size())] = uint8_t(random());
            break;
        }
        default: { // a class-specific descriptor truncated (its bLength made smaller)
            std::vector<size_t> cs;
            for (size_t at : offsets)
                if (c[at + 1] == 0x24)
                    cs.push_back(at);
            size_t at = cs.empty() ? offsets[pick(offsets.size())] : cs[pick(cs.size())];
            c[at] = uint8_t(pick(c[at] + 1));
            break;
        }
    }
    return c;
}

class BusWalkMutationTest : public zv::test::BusTest {};

TEST_F(BusWalkMutationTest, MalformedConfigurationsFailOrYieldOnlyTheirOwnDescriptors) {
    runInFiber([&] {
        BusDriver bus;
        WDFDEVICE parent = bus.add(u"USB\\VID_1A2B&PID_3C4D\\MUTATION");
        ASSERT_NE(parent, nullptr);
        ASSERT_EQ(bus.prepare(parent), STATUS_SUCCESS);
        PPARENT_FDO_CONTEXT context = parentContext(parent);
        auto keptConfiguration = context->ConfigurationDescriptor;
        USHORT keptSize = context->ConfigurationDescriptorSize;

        std::vector<Bytes> seeds;
        for (const auto& fixture : zv::test::groupingFixtures())
            seeds.push_back(fixture.configuration);
        seeds.push_back(zv::test::busProfile("hs-phone").configuration);
        seeds.push_back(zv::test::busProfile("cdc-phone").configuration);

        std::mt19937 random(20240611);
        unsigned failed = 0;
        unsigned built = 0;
        for (const Bytes& seed : seeds) {
            for (unsigned m = 0; m < kMutationsPerFixture; ++m) {
                Bytes mutated = mutate(seed, random);
                // Exactly as large as the configuration: one byte more would hide an overrun.
                std::unique_ptr<uint8_t[]> buffer(new uint8_t[std::max<size_t>(mutated.size(), 1)]);
                std::copy(mutated.begin(), mutated.end(), buffer.get());
                context->ConfigurationDescriptor =
                    reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(buffer.get());
                context->ConfigurationDescriptorSize = USHORT(mutated.size());

                WDFCOLLECTION collection = nullptr;
                WDF_OBJECT_ATTRIBUTES attributes;
                WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
                attributes.ParentObject = parent;
                ASSERT_EQ(WdfCollectionCreate(&attributes, &collection), STATUS_SUCCESS);
                NTSTATUS status = BusGenerateIdentificationDescriptions(parent, collection);
                if (status == STATUS_DEVICE_ENUMERATION_ERROR) {
                    ++failed;
                } else {
                    ASSERT_EQ(status, STATUS_SUCCESS);
                    ++built;
                }
                for (ULONG i = 0; i < WdfCollectionGetCount(collection); ++i) {
                    auto* record = static_cast<PCHILD_FUNCTION_DESCRIPTION>(WdfMemoryGetBuffer(
                        static_cast<WDFMEMORY>(WdfCollectionGetItem(collection, i)), nullptr));
                    auto* config = reinterpret_cast<const uint8_t*>(record->ConfigurationDescriptor);
                    size_t total = record->ConfigurationDescriptorLength;
                    ASSERT_GE(total, sizeof(USB_CONFIGURATION_DESCRIPTOR));
                    ASSERT_LE(total, sizeof(USB_CONFIGURATION_DESCRIPTOR) + mutated.size());
                    ASSERT_EQ(config[2] | config[3] << 8, int(total));
                    // Every descriptor of the function chains inside it and is one of the configuration's.
                    for (size_t at = sizeof(USB_CONFIGURATION_DESCRIPTOR); at < total; at += config[at]) {
                        ASSERT_GE(config[at], 2) << "seed " << &seed - &seeds[0] << " mutation " << m;
                        ASSERT_LE(at + config[at], total);
                        auto found = std::search(mutated.begin(), mutated.end(), config + at,
                                                 config + at + config[at]);
                        ASSERT_NE(found, mutated.end());
                    }
                }
                WdfObjectDelete(collection);
            }
        }
        // The mutations reach both outcomes.
        EXPECT_GT(failed, 0u);
        EXPECT_GT(built, 0u);
        context->ConfigurationDescriptor = keptConfiguration;
        context->ConfigurationDescriptorSize = keptSize;
    });
}

} // namespace
