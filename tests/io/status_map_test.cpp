// Statuses as an application sees them: the Win32 error a failed request leaves in GetLastError.
#include "tests/io/raw_device.h"
#include "tests/support/sim_test.h"

#include "platform/io/win32.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <optional>
#include <string>

namespace zv::io {
namespace {

using test::RawDevice;
using test::SimTest;

struct StatusCase {
    NTSTATUS status;
    DWORD error;
};

std::string caseName(const ::testing::TestParamInfo<StatusCase>& info) {
    char text[16];
    std::snprintf(text, sizeof text, "x%08X", unsigned(info.param.status));
    return text;
}

class StatusMapTest : public SimTest, public ::testing::WithParamInterface<StatusCase> {
protected:
    void TearDown() override {
        raw_.reset();
        SimTest::TearDown();
    }
    std::optional<RawDevice> raw_;
};

// A read the device fails with the status: ReadFile is FALSE (warnings included) with the mapped error.
TEST_P(StatusMapTest, FailedReadLeavesTheMappedError) {
    const StatusCase& c = GetParam();
    EXPECT_EQ(RtlNtStatusToDosError(c.status), c.error);
    raw_.emplace();
    raw_->failStatus = c.status;
    runInFiber([&] {
        HANDLE h = CreateFileW(u"\\\\.\\ZVRAW0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        char buffer[4];
        DWORD n = 0;
        SetLastError(ERROR_SUCCESS);
        EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(GetLastError(), c.error);
        CloseHandle(h);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Statuses, StatusMapTest,
    ::testing::Values(StatusCase{STATUS_CANCELLED, ERROR_OPERATION_ABORTED},
                      StatusCase{STATUS_ACCESS_DENIED, ERROR_ACCESS_DENIED},
                      StatusCase{STATUS_BUFFER_TOO_SMALL, ERROR_INSUFFICIENT_BUFFER},
                      StatusCase{STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA},
                      StatusCase{STATUS_IO_TIMEOUT, ERROR_SEM_TIMEOUT},
                      StatusCase{STATUS_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
                      StatusCase{STATUS_NOT_SUPPORTED, ERROR_NOT_SUPPORTED},
                      StatusCase{STATUS_INVALID_DEVICE_REQUEST, ERROR_INVALID_FUNCTION},
                      StatusCase{STATUS_NO_SUCH_DEVICE, ERROR_FILE_NOT_FOUND},
                      StatusCase{STATUS_DEVICE_NOT_CONNECTED, ERROR_NOT_READY},
                      StatusCase{STATUS_DEVICE_REMOVED, ERROR_DEV_NOT_EXIST},
                      StatusCase{STATUS_INSUFFICIENT_RESOURCES, ERROR_NO_SYSTEM_RESOURCES},
                      StatusCase{STATUS_INVALID_DEVICE_STATE, ERROR_BAD_COMMAND},
                      StatusCase{STATUS_UNSUCCESSFUL, ERROR_GEN_FAILURE},
                      StatusCase{STATUS_DEVICE_DATA_ERROR, ERROR_CRC},
                      StatusCase{STATUS_NOT_IMPLEMENTED, ERROR_INVALID_FUNCTION},
                      StatusCase{STATUS_DELETE_PENDING, ERROR_ACCESS_DENIED},
                      // Not in the table: the error Windows gives for a status it cannot map.
                      StatusCase{NTSTATUS(0xC0FFEE01), ERROR_MR_MID_NOT_FOUND},
                      // A Win32 error carried as a status.
                      StatusCase{NTSTATUS(0xC0070000 | ERROR_BUSY), ERROR_BUSY}),
    caseName);

class SuccessStatusTest : public SimTest {};

// Success and informational statuses are no error; STATUS_PENDING and a time-out are only errors when
// an application asks what they mean.
TEST_F(SuccessStatusTest, MapsWithoutFailing) {
    EXPECT_EQ(win32ErrorFromStatus(STATUS_SUCCESS), ERROR_SUCCESS);
    EXPECT_EQ(win32ErrorFromStatus(STATUS_PENDING), ERROR_IO_PENDING);
    EXPECT_EQ(win32ErrorFromStatus(STATUS_TIMEOUT), ERROR_SEM_TIMEOUT);
    RawDevice raw;
    // A read that times out with STATUS_TIMEOUT (a success status, as serial reads do) succeeds.
    raw.failStatus = STATUS_SUCCESS;
    raw.stack().bottom().handlers[IRP_MJ_READ] = [](test::WdmLayer&, PIRP irp) {
        return test::completeIrp(irp, STATUS_TIMEOUT, 0);
    };
    runInFiber([&] {
        HANDLE h = CreateFileW(u"\\\\.\\ZVRAW0", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        char buffer[4];
        DWORD n = 9;
        EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(n, 0u);
        CloseHandle(h);
    });
}

} // namespace
} // namespace zv::io
