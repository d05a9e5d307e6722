// File objects and their references.
#include "platform/kernel/file_object.h"

#include "platform/kernel/device_object.h"
#include "platform/kernel/machine.h"
#include "platform/sim/scheduler.h"

#include <cstdio>

namespace zv::kernel {

struct FileObjects::Record {
    FILE_OBJECT object{};
    std::u16string fileName;
    LONG refs = 1;
    bool closing = false;
    std::function<void(PFILE_OBJECT)> closeHandler;
};

FileObjects::FileObjects(sim::Scheduler& machine) : machine_(machine) {}

// What is left at the end of a run is freed without its close: the device objects it referenced may be
// gone already.
FileObjects::~FileObjects() = default;

PFILE_OBJECT FileObjects::create(PDEVICE_OBJECT device, std::u16string fileName) {
    auto record = std::make_unique<Record>();
    record->fileName = std::move(fileName);
    FILE_OBJECT& f = record->object;
    f.Type = IO_TYPE_FILE;
    f.Size = sizeof(FILE_OBJECT);
    f.DeviceObject = device;
    f.FileName.Buffer = reinterpret_cast<PWSTR>(record->fileName.data());
    f.FileName.Length = static_cast<USHORT>(record->fileName.size() * sizeof(WCHAR));
    f.FileName.MaximumLength = f.FileName.Length;
    f.IrpList.Flink = f.IrpList.Blink = &f.IrpList;
    PFILE_OBJECT file = &record->object;
    records_.emplace(file, std::move(record));
    deviceObjects().fileOpened(device);
    return file;
}

bool FileObjects::isLive(PFILE_OBJECT file) const {
    auto it = records_.find(file);
    return it != records_.end() && !it->second->closing;
}

void FileObjects::reference(PFILE_OBJECT file) {
    auto it = records_.find(file);
    if (it != records_.end() && !it->second->closing)
        ++it->second->refs;
}

void FileObjects::dereference(PFILE_OBJECT file, const char* routine) {
    auto it = records_.find(file);
    if (it == records_.end() || it->second->closing) {
        char text[48];
        std::snprintf(text, sizeof text, "FILE_OBJECT %p", static_cast<void*>(file));
        reportMisuse(rule::kUnknownObject, text, routine, "not a live file object");
        return;
    }
    Record& r = *it->second;
    if (--r.refs > 0)
        return;
    r.closing = true;
    if (!r.closeHandler) {
        finish(file);
        return;
    }
    // Close runs at PASSIVE_LEVEL on a thread; the last reference may go in a completion routine.
    sim::Fiber* fiber = machine_.currentFiber();
    if (fiber != nullptr && machine_.irql() == sim::Irql::Passive) {
        r.closeHandler(file);
        finish(file);
        return;
    }
    machine_.spawn("file object close", [this, file] {
        auto found = records_.find(file);
        if (found == records_.end())
            return;
        found->second->closeHandler(file);
        finish(file);
    });
}

void FileObjects::finish(PFILE_OBJECT file) {
    auto it = records_.find(file);
    if (it == records_.end())
        return;
    PDEVICE_OBJECT device = it->second->object.DeviceObject;
    records_.erase(it);
    deviceObjects().fileClosed(device);
}

void FileObjects::setCloseHandler(PFILE_OBJECT file, std::function<void(PFILE_OBJECT)> handler) {
    auto it = records_.find(file);
    if (it != records_.end())
        it->second->closeHandler = std::move(handler);
}

void FileObjects::discard(PFILE_OBJECT file) {
    auto it = records_.find(file);
    if (it == records_.end())
        return;
    it->second->closing = true;
    finish(file);
}

LONG FileObjects::references(PFILE_OBJECT file) const {
    auto it = records_.find(file);
    return it == records_.end() ? 0 : it->second->refs;
}

FileObjects& fileObjects() {
    return requireMachine("file objects").service<FileObjects>();
}

} // namespace zv::kernel
