// The framework driver: creation from DriverEntry with its Parameters key, what an unload or a failed
// driver entry runs and in which order, one framework driver per DRIVER_OBJECT, the calling driver behind
// WdfGetDriver and default parents, and the default pool tag.
#include "tests/support/sim_test.h"
#include "tests/wdf/driver/sample_driver.h"
#include "tests/wdf/framework_test.h"

#include "platform/kernel/registry.h"
#include "platform/wdf/collection.h"
#include "platform/wdf/device_init.h"
#include "platform/wdf/driver.h"
#include "platform/wdf/memory.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include <vector>

namespace {

using zv::kernel::RegValue;
using zv::wdf::DriverRecord;

const std::u16string kService = u"ZvSample";

class DriverTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        SampleReset();
    }
    static std::u16string parametersPath() { return zv::kernel::serviceKeyPath(kService) + u"\\Parameters"; }
    static std::vector<SAMPLE_EVENT> events() {
        return {SampleObservations.Events, SampleObservations.Events + SampleObservations.EventCount};
    }
};

using Events = std::vector<SAMPLE_EVENT>;

TEST_F(DriverTest, DriverEntryCreatesTheDriverAndReadsItsParameters) {
    runInFiber([&] {
        zv::kernel::RegKey* parameters = nullptr;
        ASSERT_EQ(zv::kernel::registry().openKey(parametersPath(), true, &parameters), STATUS_SUCCESS);
        parameters->setValue(u"DebugLevel", RegValue::dword(3));

        DriverRecord record(kService);
        ASSERT_EQ(record.callDriverEntry(SampleDriverEntry), STATUS_SUCCESS);
        ASSERT_NE(record.driver(), nullptr);
        WDFDRIVER driver = SampleObservations.Driver;
        EXPECT_EQ(record.driver()->handle(), driver);
        EXPECT_EQ(SampleObservations.DebugLevel, 3u);
        EXPECT_TRUE(SampleObservations.DriverContextWasZero);
        EXPECT_TRUE(SampleObservations.DriverFoundByWdfGetDriver);

        EXPECT_EQ(WdfDriverWdmGetDriverObject(driver), record.driverObject());
        EXPECT_EQ(std::u16string(WdfDriverGetRegistryPath(driver)), zv::kernel::serviceKeyPath(kService));
        // The collection the driver created without naming a parent is the driver's child.
        auto* devices = zv::wdf::resolve<zv::wdf::Collection>(SampleDeviceCollection(driver), "test");
        ASSERT_NE(devices, nullptr);
        EXPECT_EQ(devices->parent(), record.driver());
    });
}

TEST_F(DriverTest, AMissingParametersKeyIsCreated) {
    runInFiber([&] {
        ASSERT_EQ(zv::kernel::registry().find(parametersPath()), nullptr);
        DriverRecord record(kService);
        ASSERT_EQ(record.callDriverEntry(SampleDriverEntry), STATUS_SUCCESS);
        EXPECT_NE(zv::kernel::registry().find(parametersPath()), nullptr);
        EXPECT_EQ(SampleObservations.ParametersStatus, STATUS_OBJECT_NAME_NOT_FOUND);
        EXPECT_EQ(SampleObservations.DebugLevel, 5u);
    });
}

TEST_F(DriverTest, AParametersKeyThatCannotBeOpenedFailsTheOpenWithItsStatus) {
    runInFiber([&] {
        zv::kernel::registry().addFault(
            {zv::kernel::RegOp::Open, parametersPath(), {}, STATUS_ACCESS_DENIED});
        DriverRecord record(kService);
        ASSERT_EQ(record.callDriverEntry(SampleDriverEntry), STATUS_SUCCESS);
        EXPECT_EQ(SampleObservations.ParametersStatus, STATUS_ACCESS_DENIED);
        EXPECT_EQ(SampleObservations.DebugLevel, 5u);
    });
}

TEST_F(DriverTest, UnloadRunsEvtDriverUnloadThenCleansUpDevicesBeforeTheDriver) {
    runInFiber([&] {
        SampleSetUnloadCallback(TRUE);
        DriverRecord record(kService);
        ASSERT_EQ(record.callDriverEntry(SampleDriverEntry), STATUS_SUCCESS);
        zv::wdf::DeviceInit init(*record.driver(),
                                 {u"ROOT\\ZVSAMPLE\\0000", u"{00000000-0000-0000-0000-000000000001}", 0});
        ASSERT_EQ(record.driver()->addDevice(init.handle()), STATUS_SUCCESS);
        EXPECT_EQ(WdfCollectionGetCount(SampleDeviceCollection(SampleObservations.Driver)), 1u);

        record.unload();
        EXPECT_EQ(events(),
                  (Events{SampleEventDriverUnload, SampleEventDeviceCleanup, SampleEventDriverCleanup,
                          SampleEventDeviceDestroy, SampleEventDriverDestroy}));
        EXPECT_EQ(record.driver(), nullptr);
        EXPECT_EQ(zv::wdf::objects().liveCount(), 0u);
    });
}

TEST_F(DriverTest, AFailedDriverEntryCleansUpWithoutUnloadAndTheDriverCanLoadAgain) {
    runInFiber([&] {
        SampleSetUnloadCallback(TRUE);
        SampleFailDriverEntryWith(STATUS_INSUFFICIENT_RESOURCES);
        DriverRecord record(kService);
        EXPECT_EQ(record.callDriverEntry(SampleDriverEntry), STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(events(), (Events{SampleEventDriverCleanup, SampleEventDriverDestroy}));
        EXPECT_EQ(record.driver(), nullptr);
        EXPECT_EQ(zv::wdf::objects().liveCount(), 0u);

        SampleReset();
        EXPECT_EQ(record.callDriverEntry(SampleDriverEntry), STATUS_SUCCESS);
        EXPECT_NE(record.driver(), nullptr);
    });
}

NTSTATUS createTwice(PDRIVER_OBJECT object, PUNICODE_STRING path) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    WDFDRIVER first = nullptr, second = nullptr;
    EXPECT_EQ(WdfDriverCreate(object, path, WDF_NO_OBJECT_ATTRIBUTES, &config, &first), STATUS_SUCCESS);
    EXPECT_EQ(WdfDriverCreate(object, path, WDF_NO_OBJECT_ATTRIBUTES, &config, &second),
              STATUS_INVALID_DEVICE_STATE);
    EXPECT_EQ(second, nullptr);
    // Nor may the driver delete its framework driver.
    WdfObjectDelete(first);
    return STATUS_SUCCESS;
}

TEST_F(DriverTest, ADriverObjectHasOneFrameworkDriverWhichTheDriverCannotDelete) {
    runInFiber([&] {
        DriverRecord record(kService);
        EXPECT_EQ(record.callDriverEntry(createTwice), STATUS_SUCCESS);
        EXPECT_NE(record.driver(), nullptr);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 1u);
    EXPECT_EQ(expectViolation(zv::wdf::rule::kNotDeletable).size(), 1u);
}

TEST_F(DriverTest, WdfDriverCreateRefusesWhatTheSystemDidNotPass) {
    runInFiber([&] {
        DRIVER_OBJECT stray{};
        zv::test::UString path(zv::kernel::serviceKeyPath(kService));
        WDF_DRIVER_CONFIG config;
        WDF_DRIVER_CONFIG_INIT(&config, nullptr);
        WDFDRIVER driver = nullptr;
        EXPECT_EQ(WdfDriverCreate(&stray, path, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
                  STATUS_INVALID_PARAMETER);
        DriverRecord record(kService);
        config.Size = 0;
        EXPECT_EQ(WdfDriverCreate(record.driverObject(), path, WDF_NO_OBJECT_ATTRIBUTES, &config, &driver),
                  STATUS_INVALID_PARAMETER);
        EXPECT_EQ(driver, nullptr);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 2u);
}

// Two drivers of one machine: what each creates without naming a parent is its own.
WDFCOLLECTION createdByA = nullptr;
WDFCOLLECTION createdByB = nullptr;

NTSTATUS entryCreatingACollection(PDRIVER_OBJECT object, PUNICODE_STRING path, WDFCOLLECTION* created) {
    WDF_DRIVER_CONFIG config;
    WDF_DRIVER_CONFIG_INIT(&config, nullptr);
    NTSTATUS status = WdfDriverCreate(object, path, WDF_NO_OBJECT_ATTRIBUTES, &config, WDF_NO_HANDLE);
    if (!NT_SUCCESS(status))
        return status;
    return WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, created);
}
NTSTATUS entryA(PDRIVER_OBJECT o, PUNICODE_STRING p) {
    return entryCreatingACollection(o, p, &createdByA);
}
NTSTATUS entryB(PDRIVER_OBJECT o, PUNICODE_STRING p) {
    return entryCreatingACollection(o, p, &createdByB);
}

TEST_F(DriverTest, WithTwoDriversEachCallCountsForTheDriverItRunsFor) {
    runInFiber([&] {
        DriverRecord a(u"ZvDriverA"), b(u"ZvDriverB");
        ASSERT_EQ(a.callDriverEntry(entryA), STATUS_SUCCESS);
        ASSERT_EQ(b.callDriverEntry(entryB), STATUS_SUCCESS);
        EXPECT_EQ(zv::wdf::objects().find(createdByA)->parent(), a.driver());
        EXPECT_EQ(zv::wdf::objects().find(createdByB)->parent(), b.driver());

        // A callback of an object of B's runs as B.
        WDFDRIVER seen = nullptr;
        zv::wdf::invokeCallback(zv::wdf::objects().find(createdByB), "EvtTest",
                                [&] { seen = WdfGetDriver(); });
        EXPECT_EQ(seen, b.driver()->handle());
        EXPECT_EQ(WdfGetDriver(), nullptr) << "outside any driver, with two loaded, there is no answer";
    });
}

TEST_F(DriverTest, MemoryWithoutATagGetsTheDriversTag) {
    runInFiber([&] {
        DriverRecord record(kService);
        ASSERT_EQ(record.callDriverEntry(SampleDriverEntry), STATUS_SUCCESS);
        zv::wdf::DriverScope scope(record.driver());
        WDFMEMORY memory = nullptr;
        ASSERT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPoolNx, 0, 4, &memory, nullptr),
                  STATUS_SUCCESS);
        EXPECT_EQ(zv::wdf::liveAllocations().at(0).tag, zv::wdf::poolTag('Z', 'v', 'S', 'a'));
    });
}

struct TagCase {
    const char16_t* service;
    ULONG tag;
};

void PrintTo(const TagCase& c, std::ostream* os) {
    *os << std::u16string_view(c.service).size() << " characters";
}

class DefaultPoolTagTest : public ::testing::TestWithParam<TagCase> {};

TEST_P(DefaultPoolTagTest, ComesFromTheServiceName) {
    EXPECT_EQ(zv::wdf::defaultPoolTag(GetParam().service), GetParam().tag);
}

INSTANTIATE_TEST_SUITE_P(Names, DefaultPoolTagTest,
                         ::testing::Values(TagCase{u"ZvSample", zv::wdf::poolTag('Z', 'v', 'S', 'a')},
                                           TagCase{u"WdfSerial", zv::wdf::poolTag('S', 'e', 'r', 'i')},
                                           TagCase{u"wdfAbcd", zv::wdf::poolTag('A', 'b', 'c', 'd')},
                                           TagCase{u"WdfAbc", zv::wdf::Driver::kFallbackPoolTag},
                                           TagCase{u"Ab", zv::wdf::Driver::kFallbackPoolTag}));

} // namespace
