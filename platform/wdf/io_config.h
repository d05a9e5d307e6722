// What a device-add callback said about the device's I/O, kept in the device-init record until
// WdfDeviceCreate hands it to the request side (platform/wdf/device_io.h). The WdfDeviceInit* calls of
// the request path write it; a child's PDO init sets allowForwardingToParent.
#ifndef ZV_WDF_IO_CONFIG_H
#define ZV_WDF_IO_CONFIG_H

#include <wdf.h>

#include "platform/wdf/device_io.h"

#include <optional>
#include <vector>

namespace zv::wdf {

struct IoConfig {
    WDF_DEVICE_IO_TYPE ioType = WdfDeviceIoBuffered;
    // WdfDeviceInitSetRequestAttributes: a context (and callbacks) on every request the queues deliver.
    std::optional<WDF_OBJECT_ATTRIBUTES> requestAttributes;
    // WdfDeviceInitSetFileObjectConfig.
    std::optional<WDF_FILEOBJECT_CONFIG> fileObjectConfig;
    std::optional<WDF_OBJECT_ATTRIBUTES> fileObjectAttributes;
    bool exclusive = false;
    // WdfPdoInitAllowForwardingRequestToParent: the child's requests may move to its parent's queues.
    bool allowForwardingToParent = false;

    struct Preprocess {
        UCHAR major;
        PFN_WDFDEVICE_WDM_IRP_PREPROCESS callback;
        std::vector<UCHAR> minors; // empty: every minor function
    };
    std::vector<Preprocess> preprocess;

    // The preprocess callback for an IRP's major and minor function, or nullptr.
    PFN_WDFDEVICE_WDM_IRP_PREPROCESS preprocessFor(UCHAR major, UCHAR minor) const;
};

} // namespace zv::wdf

#endif // ZV_WDF_IO_CONFIG_H
