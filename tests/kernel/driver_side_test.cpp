// The kernel headers as driver code compiled with 16-bit wchar_t sees them: its L"..." literals meet the
// platform's char16_t routines at the same symbols and give the same text.
#include "tests/kernel/driver_side.h"

#include "platform/kernel/debug_output.h"
#include "platform/kernel/registry.h"
#include "tests/support/sim_test.h"

#include <ntddk.h>

#include <gtest/gtest.h>

namespace zv::kernel {
namespace {

using test::SimTest;

std::u16string text(PCUNICODE_STRING s) {
    return std::u16string(reinterpret_cast<const char16_t*>(s->Buffer), s->Length / 2);
}

class DriverSideTest : public SimTest {};

TEST_F(DriverSideTest, WideLiteralsOfDriverCodeAreTheKernelsStrings) {
    char16_t buffer[8];
    UNICODE_STRING port{0, sizeof buffer, reinterpret_cast<PWSTR>(buffer)};
    ASSERT_EQ(DriverSideFormatPortName(&port, 12), STATUS_SUCCESS);
    EXPECT_EQ(text(&port), u"COM12");

    PCUNICODE_STRING counter = DriverSideCounterName();
    EXPECT_EQ(text(counter), u"NextInstanceNumber");
    EXPECT_EQ(counter->MaximumLength, counter->Length + 2);

    UNICODE_STRING device;
    RtlInitUnicodeString(&device, u"\\Device\\ZVSerial0");
    ASSERT_EQ(DriverSideWriteSerialComm(&device, &port), STATUS_SUCCESS);
    EXPECT_EQ(registry().find(serialCommPath())->value(u"\\Device\\ZVSerial0")->asString(), u"COM12");

    std::string trace;
    sched().service<DebugOutput>().setSink([&](std::string_view t) { trace += t; });
    DriverSideTrace(&port);
    EXPECT_EQ(trace, "  >Trace COM12\n");
}

} // namespace
} // namespace zv::kernel
