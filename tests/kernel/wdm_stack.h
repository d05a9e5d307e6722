// A raw WDM device stack for tests: each layer is a device object of a test driver of its own, whose
// dispatch routine for a major function is a std::function the test sets. A layer without a handler passes
// the IRP down (skipping its location) when there is a device below, and completes it with STATUS_SUCCESS
// at the bottom. The stack deletes what is left of it when it goes (it must go before the machine).
#ifndef ZV_TESTS_KERNEL_WDM_STACK_H
#define ZV_TESTS_KERNEL_WDM_STACK_H

#include <ntddk.h>

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zv::test {

struct WdmLayer {
    using Handler = std::function<NTSTATUS(WdmLayer& layer, PIRP irp)>;
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
    PDEVICE_OBJECT lower = nullptr; // what the layer attached to
    size_t index = 0;               // 0 at the bottom
    std::map<UCHAR, Handler> handlers;
    void* context = nullptr; // the test's, for routines that only get the device object

    static WdmLayer& of(PDEVICE_OBJECT device) { return **static_cast<WdmLayer**>(device->DeviceExtension); }
};

class WdmStack {
public:
    struct Options {
        size_t layers = 1;
        ULONG flags = 0;           // DO_BUFFERED_IO / DO_DIRECT_IO on every layer
        std::u16string bottomName; // "\Device\X" for the bottom device, or none
        std::u16string linkName;   // "\DosDevices\X" naming the bottom device, or none
        bool exclusive = false;
    };
    explicit WdmStack(Options options);
    explicit WdmStack(size_t layers) : WdmStack(withLayers(layers)) {}
    ~WdmStack();
    WdmStack(const WdmStack&) = delete;
    WdmStack& operator=(const WdmStack&) = delete;

    WdmLayer& layer(size_t index) { return *layers_.at(index); }
    WdmLayer& bottom() { return *layers_.front(); }
    WdmLayer& topLayer() { return *layers_.back(); }
    PDEVICE_OBJECT top() { return layers_.back()->device; }
    size_t size() const { return layers_.size(); }
    // Detaches and deletes every layer that is not deleted yet, top first.
    void remove();

private:
    static Options withLayers(size_t layers) {
        Options options;
        options.layers = layers;
        return options;
    }
    std::vector<std::unique_ptr<WdmLayer>> layers_;
    std::u16string linkName_;
};

// Completes the IRP and returns the status, as a dispatch routine that finishes at once does.
NTSTATUS completeIrp(PIRP irp, NTSTATUS status, ULONG_PTR information = 0);
// Passes the IRP to the layer below with the layer's own location (no completion routine).
NTSTATUS passDown(WdmLayer& layer, PIRP irp);
// A counted string over `text` (which must outlive it).
UNICODE_STRING counted(const std::u16string& text);

} // namespace zv::test

#endif // ZV_TESTS_KERNEL_WDM_STACK_H
