// RtlWriteRegistryValue / RtlDeleteRegistryValue and their relative roots, on the machine's registry and
// under its fault plan.
#include "platform/kernel/registry.h"
#include "tests/support/sim_test.h"

#include <ntddk.h>

#include <gtest/gtest.h>

#include <string>

namespace zv::kernel {
namespace {

using test::SimTest;

class RtlRegistryTest : public SimTest {
protected:
    // What the serial port driver writes: the device name as value, the port name as REG_SZ data.
    NTSTATUS writeSerialComm(const char16_t* device, const char16_t* port) {
        auto bytes = ULONG((std::char_traits<char16_t>::length(port) + 1) * sizeof(char16_t));
        return RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", device, REG_SZ,
                                     const_cast<char16_t*>(port), bytes);
    }
    const RegValue* serialComm(std::u16string_view name) {
        return registry().find(serialCommPath())->value(name);
    }
};

TEST_F(RtlRegistryTest, SerialCommValuesAreWrittenAndDeleted) {
    ASSERT_EQ(writeSerialComm(u"\\Device\\ZVSerial0", u"COM7"), STATUS_SUCCESS);
    const RegValue* v = serialComm(u"\\device\\zvserial0");
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->type, RegType::Sz);
    EXPECT_EQ(v->asString(), u"COM7");
    EXPECT_EQ(v->data.size(), 10u); // with its NUL, as written

    ASSERT_EQ(writeSerialComm(u"\\Device\\ZVSerial0", u"COM12"), STATUS_SUCCESS);
    EXPECT_EQ(serialComm(u"\\Device\\ZVSerial0")->asString(), u"COM12");

    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\ZVSerial0"),
              STATUS_SUCCESS);
    EXPECT_EQ(serialComm(u"\\Device\\ZVSerial0"), nullptr);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\ZVSerial0"),
              STATUS_OBJECT_NAME_NOT_FOUND);
}

TEST_F(RtlRegistryTest, PathsResolveAgainstTheirRoot) {
    struct Case {
        ULONG root;
        std::u16string path;
        std::u16string key;
    };
    const Case cases[] = {
        {RTL_REGISTRY_ABSOLUTE, serviceKeyPath(u"Abs"), serviceKeyPath(u"Abs")},
        {RTL_REGISTRY_SERVICES, u"ZvBus\\Parameters", serviceKeyPath(u"ZvBus") + u"\\Parameters"},
        {RTL_REGISTRY_CONTROL, u"Zv", controlPath() + u"\\Zv"},
        {RTL_REGISTRY_WINDOWS_NT, u"Zv", windowsNtPath() + u"\\Zv"},
        {RTL_REGISTRY_DEVICEMAP, u"ZVPORTS", deviceMapPath() + u"\\ZVPORTS"},
        {RTL_REGISTRY_USER, u"Zv", defaultUserPath() + u"\\Zv"},
        {RTL_REGISTRY_SERVICES | RTL_REGISTRY_OPTIONAL, u"Opt", serviceKeyPath(u"Opt")},
    };
    ULONG n = 0;
    for (const Case& c : cases) {
        std::u16string path = c.path;
        ULONG data = ++n;
        // The key must exist: writing does not create it.
        EXPECT_EQ(RtlWriteRegistryValue(c.root, path.c_str(), u"v", REG_DWORD, &data, sizeof data),
                  STATUS_OBJECT_NAME_NOT_FOUND)
            << n;
        EXPECT_EQ(RtlCheckRegistryKey(c.root, path.data()), STATUS_OBJECT_NAME_NOT_FOUND) << n;
        ASSERT_EQ(RtlCreateRegistryKey(c.root, path.data()), STATUS_SUCCESS) << n;
        EXPECT_EQ(RtlCheckRegistryKey(c.root, path.data()), STATUS_SUCCESS) << n;
        ASSERT_EQ(RtlWriteRegistryValue(c.root, path.c_str(), u"v", REG_DWORD, &data, sizeof data),
                  STATUS_SUCCESS)
            << n;
        RegKey* key = registry().find(c.key);
        ASSERT_NE(key, nullptr) << n;
        EXPECT_EQ(key->value(u"v")->asDword(), n);
    }
    // No path: the root itself.
    ULONG data = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, nullptr, u"top", REG_DWORD, &data, sizeof data),
              STATUS_SUCCESS);
    EXPECT_NE(registry().find(deviceMapPath())->value(u"top"), nullptr);
}

TEST_F(RtlRegistryTest, BadArgumentsGetAClearStatus) {
    ULONG data = 1;
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_MAXIMUM, u"x", u"v", REG_DWORD, &data, sizeof data),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"v", REG_BINARY, nullptr, 4),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(
        RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, u"Machine\\x", u"v", REG_DWORD, &data, sizeof data),
        STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, nullptr, u"v", REG_DWORD, &data, sizeof data),
              STATUS_OBJECT_PATH_SYNTAX_BAD);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_SERVICES, u"NoSuchService", u"v"),
              STATUS_OBJECT_NAME_NOT_FOUND);
    // Empty data is a value too.
    EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"empty", REG_BINARY, nullptr, 0),
              STATUS_SUCCESS);
    EXPECT_TRUE(registry().find(serialCommPath())->value(u"empty")->data.empty());
}

TEST_F(RtlRegistryTest, FaultPlanAppliesToOpenWriteAndDelete) {
    Registry& reg = registry();
    reg.addFault(
        {RegOp::Write, serialCommPath(), u"\\Device\\ZVSerial0", STATUS_INSUFFICIENT_RESOURCES, 0, 1});
    EXPECT_EQ(writeSerialComm(u"\\Device\\ZVSerial0", u"COM7"), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(serialComm(u"\\Device\\ZVSerial0"), nullptr);
    EXPECT_EQ(writeSerialComm(u"\\Device\\ZVSerial0", u"COM7"), STATUS_SUCCESS);

    reg.addFault({RegOp::Delete, serialCommPath(), u"", STATUS_ACCESS_DENIED, 0, 1});
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\ZVSerial0"),
              STATUS_ACCESS_DENIED);
    EXPECT_NE(serialComm(u"\\Device\\ZVSerial0"), nullptr);

    reg.addFault({RegOp::Open, serialCommPath(), u"", STATUS_DEVICE_BUSY, 0, 1});
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\ZVSerial0"),
              STATUS_DEVICE_BUSY);
    EXPECT_EQ(RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", u"\\Device\\ZVSerial0"),
              STATUS_SUCCESS);
}

TEST_F(RtlRegistryTest, WritingAbovePassiveLevelIsReported) {
    runInFiber([&] {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        EXPECT_EQ(writeSerialComm(u"\\Device\\ZVSerial0", u"COM7"), STATUS_SUCCESS);
        KeLowerIrql(old);
    });
    auto reports = expectViolation(sim::rule::kPassiveOnly);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].routine, "RtlWriteRegistryValue");
}

} // namespace
} // namespace zv::kernel
