// A tiny raw WDM device for the I/O manager's tests: \Device\ZvRaw0 named by \DosDevices\ZVRAW0, optionally
// under a pass-through filter, with dispatch routines written here. It logs create / cleanup / close,
// stores what is written, answers reads from a pattern (at once, or queued cancelably until the test
// completes them), fails requests with a chosen status, and hands device controls to the test.
#ifndef ZV_TESTS_IO_RAW_DEVICE_H
#define ZV_TESTS_IO_RAW_DEVICE_H

#include "tests/kernel/wdm_stack.h"

#include <ntddk.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace zv::test {

class RawDevice {
public:
    struct Options {
        ULONG flags = DO_BUFFERED_IO;
        bool filter = false; // a pass-through device attached above
        bool exclusive = false;
    };
    explicit RawDevice(Options options);
    RawDevice() : RawDevice(Options{}) {}
    RawDevice(const RawDevice&) = delete;
    RawDevice& operator=(const RawDevice&) = delete;

    PDEVICE_OBJECT device() { return stack_.bottom().device; }
    WdmStack& stack() { return stack_; }

    // What the device saw and did, in order: "create", "cleanup", "close", "flush", "filter create" ...
    std::vector<std::string> log;
    std::u16string lastFileName;
    ACCESS_MASK lastAccess = 0;
    ULONG lastCreateOptions = 0;
    std::string stored; // bytes written

    NTSTATUS createStatus = STATUS_SUCCESS;
    // Reads and writes fail with this status when it is not STATUS_SUCCESS.
    NTSTATUS failStatus = STATUS_SUCCESS;
    // Reads wait in a cancelable queue until completeRead().
    bool queueReads = false;
    // Cleanup cancels the file's queued reads, as a driver should.
    bool cancelOnCleanup = true;
    std::function<NTSTATUS(PIRP)> deviceControl;

    size_t queued() const { return queue_.size(); }
    // Completes the oldest queued read with `data` (cut to its length); false when none was left.
    bool completeRead(const std::string& data, NTSTATUS status = STATUS_SUCCESS);

    // The buffer of a read or write as the device's transfer method gives it.
    static void* transferBuffer(PDEVICE_OBJECT device, PIRP irp);

private:
    friend struct RawDispatch;
    static WdmStack::Options stackOptions(const Options& options);
    void install();

    WdmStack stack_;
    std::deque<PIRP> queue_;
};

} // namespace zv::test

#endif // ZV_TESTS_IO_RAW_DEVICE_H
