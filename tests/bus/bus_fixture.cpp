// The bus driver's unit-test fixture.
#include "tests/bus/bus_fixture.h"

#include "platform/kernel/debug_output.h"
#include "platform/kernel/registry.h"
#include "platform/wdf/device.h"

namespace zv::test {

// Read during dynamic initialisation, which follows the constant initialisation of the driver's globals.
const ULONG kImageDebugLevel = DebugLevel;
const ULONG kImageDebugFlag = DebugFlag;

std::u16string busParametersPath() {
    return kernel::serviceKeyPath(kBusService) + u"\\Parameters";
}

devices::PhoneProfile busProfile(const std::string& name) {
    devices::PhoneProfile profile;
    EXPECT_TRUE(devices::makeProfile(name, &profile)) << name;
    return profile;
}

void BusTest::SetUp() {
    SimTest::SetUp();
    sched().service<BusPhones>();
    capture(sched());
}

void BusTest::capture(sim::Scheduler& machine) {
    machine.service<kernel::DebugOutput>().setSink([this](std::string_view text) { output += text; });
}

void BusTest::TearDown() {
    DebugLevel = kImageDebugLevel;
    DebugFlag = kImageDebugFlag;
    SimTest::TearDown();
}

BusDriver::BusDriver() : record_(kBusService) {
    entryStatus_ = record_.callDriverEntry(DriverEntry);
    if (loaded())
        frameworkFaults().watch(context()->ParentFdoCollectionLock);
}

BusDriver::~BusDriver() {
    record_.unload();
}

WDFDRIVER BusDriver::driver() const {
    return static_cast<WDFDRIVER>(record_.driver()->handle());
}

PDRIVER_CONTEXT BusDriver::context() const {
    return GetDriverContext(driver());
}

WDFDEVICE BusDriver::add(const std::u16string& instancePath, NTSTATUS* status) {
    return add(instancePath, busProfile(), status);
}

WDFDEVICE BusDriver::add(const std::u16string& instancePath, devices::PhoneProfile profile,
                         NTSTATUS* status) {
    sim::Scheduler& machine = *sim::Scheduler::current();
    devices::Phone& phone = machine.service<BusPhones>().make(std::move(profile));
    usb::UsbDevice& usb = usb::usbStack().attach(phone);
    wdf::DeviceInstance instance;
    instance.instancePath = instancePath;
    instance.classGuid = u"{36fc9e60-c465-11cf-8056-444553540000}"; // USB
    auto [entry, fresh] = softwareKeys_.try_emplace(instancePath, unsigned(softwareKeys_.size()));
    instance.driverIndex = entry->second;
    inits_.push_back(std::make_unique<wdf::DeviceInit>(*record_.driver(), instance,
                                                       wdf::DeviceInit::Kind::Fdo, usb.pdo()));
    NTSTATUS result = wdf::addDevice(*record_.driver(), *inits_.back());
    if (status != nullptr)
        *status = result;
    if (!NT_SUCCESS(result))
        return nullptr;
    auto device = static_cast<WDFDEVICE>(inits_.back()->device()->handle());
    usbDevices_[device] = &usb;
    return device;
}

usb::UsbDevice& BusDriver::usbDevice(WDFDEVICE device) const {
    return *usbDevices_.at(device);
}

NTSTATUS BusDriver::prepare(WDFDEVICE device) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    wdf::invokeCallback(wdf::Device::fromHandle(device), "EvtDevicePrepareHardware",
                        [&] { status = EvtPrepareHardware(device, nullptr, nullptr); });
    return status;
}

NTSTATUS BusDriver::release(WDFDEVICE device) {
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    wdf::invokeCallback(wdf::Device::fromHandle(device), "EvtDeviceReleaseHardware",
                        [&] { status = EvtReleaseHardware(device, nullptr); });
    return status;
}

void BusDriver::remove(WDFDEVICE device) {
    wdf::Device::fromHandle(device)->deleteWdmDevice();
}

std::vector<WDFDEVICE> BusDriver::members() const {
    std::vector<WDFDEVICE> out;
    WDFCOLLECTION collection = context()->ParentFdoCollection;
    for (ULONG i = 0; i < WdfCollectionGetCount(collection); ++i)
        out.push_back(static_cast<WDFDEVICE>(WdfCollectionGetItem(collection, i)));
    return out;
}

PPARENT_FDO_CONTEXT parentContext(WDFDEVICE device) {
    return GetParentFdoContext(device);
}

} // namespace zv::test
