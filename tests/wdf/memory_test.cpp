// Memory objects: what the pool view records, the fill of a fresh buffer, bounds of the copy routines,
// lent buffers, and a buffer that outlives its deletion while referenced. Also string objects.
#include "tests/support/sim_test.h"
#include "tests/wdf/framework_test.h"

#include "platform/wdf/memory.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <ostream>
#include <vector>

namespace {

using zv::test::UString;
using zv::wdf::liveAllocations;

constexpr ULONG kTag = zv::wdf::poolTag('Z', 'v', 'T', 't');

class MemoryTest : public zv::test::SimTest {};

TEST_F(MemoryTest, RecordsPoolTypeTagAndSizeAndFillsTheBuffer) {
    runInFiber([&] {
        WDFMEMORY memory = nullptr;
        PVOID buffer = nullptr;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, PagedPool, kTag, 24, &memory, &buffer),
                  STATUS_SUCCESS);
        auto pool = liveAllocations();
        ASSERT_EQ(pool.size(), 1u);
        EXPECT_EQ(pool[0].handle, memory);
        EXPECT_EQ(pool[0].pool, PagedPool);
        EXPECT_EQ(pool[0].tag, kTag);
        EXPECT_EQ(pool[0].size, 24u);
        EXPECT_FALSE(pool[0].preallocated);

        size_t size = 0;
        EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), buffer);
        EXPECT_EQ(size, 24u);
        std::vector<uint8_t> expected(24, zv::wdf::kFreshMemoryFill);
        EXPECT_EQ(std::memcmp(buffer, expected.data(), 24), 0);
        WdfObjectDelete(memory);
        EXPECT_TRUE(liveAllocations().empty());
    });
}

TEST_F(MemoryTest, PagedPoolAtDispatchLevelAndAZeroSizeAreReported) {
    runInFiber([&] {
        WDFMEMORY memory = nullptr;
        EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 0, &memory, nullptr),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(memory, nullptr);
        zv::sim::Scheduler::current()->setIrql(zv::sim::Irql::Dispatch);
        EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, PagedPool, kTag, 8, &memory, nullptr),
                  STATUS_SUCCESS);
        zv::sim::Scheduler::current()->setIrql(zv::sim::Irql::Passive);
        WdfObjectDelete(memory);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 1u);
    EXPECT_EQ(expectViolation(zv::sim::rule::kPassiveOnly).size(), 1u);
}

struct CopyCase {
    size_t offset;
    size_t count;
    NTSTATUS status;
};

void PrintTo(const CopyCase& c, std::ostream* os) {
    *os << "offset " << c.offset << " count " << c.count << " -> 0x" << std::hex
        << static_cast<uint32_t>(c.status);
}

class MemoryCopyTest : public zv::test::SimTest, public ::testing::WithParamInterface<CopyCase> {};

// A 16-byte object; what each copy direction answers, and that a refused copy touches nothing.
TEST_P(MemoryCopyTest, BothDirectionsCheckTheRange) {
    const CopyCase& c = GetParam();
    runInFiber([&] {
        WDFMEMORY memory = nullptr;
        PVOID raw = nullptr;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 16, &memory, &raw),
                  STATUS_SUCCESS);
        auto* buffer = static_cast<uint8_t*>(raw);
        for (int i = 0; i < 16; ++i)
            buffer[i] = static_cast<uint8_t>(i);

        std::array<uint8_t, 32> outside;
        outside.fill(0xEE);
        size_t count = std::min(c.count, outside.size()); // the bytes a wrong copy would move
        EXPECT_EQ(WdfMemoryCopyToBuffer(memory, c.offset, outside.data(), c.count), c.status);
        for (size_t i = 0; i < outside.size(); ++i) {
            uint8_t expected = NT_SUCCESS(c.status) && i < count ? static_cast<uint8_t>(c.offset + i) : 0xEE;
            ASSERT_EQ(outside[i], expected) << "byte " << i;
        }

        outside.fill(0xAB);
        EXPECT_EQ(WdfMemoryCopyFromBuffer(memory, c.offset, outside.data(), c.count), c.status);
        for (size_t i = 0; i < 16; ++i) {
            bool written = NT_SUCCESS(c.status) && i >= c.offset && i < c.offset + c.count;
            ASSERT_EQ(buffer[i], written ? 0xAB : static_cast<uint8_t>(i)) << "byte " << i;
        }
        WdfObjectDelete(memory);
    });
}

INSTANTIATE_TEST_SUITE_P(Ranges, MemoryCopyTest,
                         ::testing::Values(CopyCase{0, 16, STATUS_SUCCESS}, CopyCase{8, 8, STATUS_SUCCESS},
                                           CopyCase{16, 0, STATUS_SUCCESS}, CopyCase{0, 0, STATUS_SUCCESS},
                                           CopyCase{8, 9, STATUS_BUFFER_TOO_SMALL},
                                           CopyCase{0, 17, STATUS_BUFFER_TOO_SMALL},
                                           CopyCase{1, SIZE_MAX, STATUS_BUFFER_TOO_SMALL},
                                           CopyCase{16, 1, STATUS_INVALID_BUFFER_SIZE},
                                           CopyCase{17, 0, STATUS_INVALID_BUFFER_SIZE},
                                           CopyCase{SIZE_MAX, 2, STATUS_INVALID_BUFFER_SIZE}));

TEST_F(MemoryTest, APreallocatedObjectLendsTheDriversBuffer) {
    runInFiber([&] {
        std::array<uint8_t, 8> mine{1, 2, 3, 4, 5, 6, 7, 8};
        WDFMEMORY memory = nullptr;
        ASSERT_EQ(WdfMemoryCreatePreallocated(WDF_NO_OBJECT_ATTRIBUTES, mine.data(), mine.size(), &memory),
                  STATUS_SUCCESS);
        size_t size = 0;
        EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), mine.data());
        EXPECT_EQ(size, 8u);
        EXPECT_EQ(mine[0], 1) << "a lent buffer is not filled";
        std::array<uint8_t, 4> other{};
        ASSERT_EQ(WdfMemoryAssignBuffer(memory, other.data(), other.size()), STATUS_SUCCESS);
        EXPECT_EQ(WdfMemoryGetBuffer(memory, &size), other.data());
        EXPECT_EQ(size, 4u);
        EXPECT_TRUE(liveAllocations()[0].preallocated);
        WdfObjectDelete(memory);
    });
}

TEST_F(MemoryTest, AnOwnedBufferCannotBeReplaced) {
    runInFiber([&] {
        WDFMEMORY memory = nullptr;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 8, &memory, nullptr),
                  STATUS_SUCCESS);
        uint8_t other[4];
        EXPECT_EQ(WdfMemoryAssignBuffer(memory, other, sizeof other), STATUS_INVALID_DEVICE_REQUEST);
        WdfObjectDelete(memory);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 1u);
}

TEST_F(MemoryTest, AReferenceKeepsTheBufferAfterDeletion) {
    runInFiber([&] {
        WDFMEMORY memory = nullptr;
        PVOID buffer = nullptr;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, kTag, 8, &memory, &buffer),
                  STATUS_SUCCESS);
        WdfObjectReference(memory);
        WdfObjectDelete(memory);
        // Whoever holds the reference (a request formatted with it) may still touch the bytes.
        std::memset(buffer, 0x11, 8);
        EXPECT_EQ(liveAllocations().size(), 1u);
        WdfObjectDereference(memory);
        EXPECT_TRUE(liveAllocations().empty());
    });
}

TEST_F(MemoryTest, AStringObjectCopiesItsTextAndHandsItOutTerminated) {
    runInFiber([&] {
        UString source(u"\\Registry\\Machine\\X");
        WDFSTRING string = nullptr;
        ASSERT_EQ(WdfStringCreate(source, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_SUCCESS);
        source.get()->Buffer[0] = u'#'; // the object has its own copy
        UNICODE_STRING out{};
        WdfStringGetUnicodeString(string, &out);
        EXPECT_EQ(zv::test::text(out), u"\\Registry\\Machine\\X");
        EXPECT_EQ(out.Buffer[out.Length / 2], u'\0');
        EXPECT_GE(out.MaximumLength, out.Length + 2);
        WdfObjectDelete(string);

        WDFSTRING empty = nullptr;
        ASSERT_EQ(WdfStringCreate(nullptr, WDF_NO_OBJECT_ATTRIBUTES, &empty), STATUS_SUCCESS);
        WdfStringGetUnicodeString(empty, &out);
        EXPECT_EQ(out.Length, 0u);
        WdfObjectDelete(empty);
    });
}

TEST_F(MemoryTest, AMalformedCountedStringIsRefused) {
    runInFiber([&] {
        UString source(u"abc");
        source.get()->Length = 3; // odd: half a character
        WDFSTRING string = nullptr;
        EXPECT_EQ(WdfStringCreate(source, WDF_NO_OBJECT_ATTRIBUTES, &string), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(string, nullptr);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 1u);
}

} // namespace
