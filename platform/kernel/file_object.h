// File objects: one per successful open of a device, holding a reference on the device object it was
// opened on. Handles (counted by the I/O manager) and references (IRPs travelling with it, ObReferenceObject)
// keep it alive; when the last reference goes its close handler runs (the I/O manager sends IRP_MJ_CLOSE
// from it), at PASSIVE_LEVEL on a fiber, and the object is freed.
#ifndef ZV_KERNEL_FILE_OBJECT_H
#define ZV_KERNEL_FILE_OBJECT_H

#include <ntddk.h>

#include <functional>
#include <map>
#include <memory>
#include <string>

namespace zv::sim {
class Scheduler;
}

namespace zv::kernel {

class FileObjects {
public:
    explicit FileObjects(sim::Scheduler& machine);
    ~FileObjects();
    FileObjects(const FileObjects&) = delete;
    FileObjects& operator=(const FileObjects&) = delete;

    // A file object on `device` with one reference; FileName is `fileName`.
    PFILE_OBJECT create(PDEVICE_OBJECT device, std::u16string fileName);
    bool isLive(PFILE_OBJECT file) const;
    void reference(PFILE_OBJECT file);
    void dereference(PFILE_OBJECT file, const char* routine);
    // Runs once the last reference has gone, before the object is freed.
    void setCloseHandler(PFILE_OBJECT file, std::function<void(PFILE_OBJECT)> handler);
    // Frees a file object whose create failed: no close handler runs.
    void discard(PFILE_OBJECT file);
    LONG references(PFILE_OBJECT file) const;

private:
    struct Record;
    void finish(PFILE_OBJECT file);

    sim::Scheduler& machine_;
    std::map<PFILE_OBJECT, std::unique_ptr<Record>> records_;
};

FileObjects& fileObjects();

} // namespace zv::kernel

#endif // ZV_KERNEL_FILE_OBJECT_H
