// The USB target tests' fixture: a simulated phone on a port of the USB stack, a framework function
// device (the device-side fixture's test driver) put on the phone's PDO, and the USB device object made
// on it. Tests drive the target from the test's fiber; helpers find pipes by endpoint and make memory.
#ifndef ZV_TESTS_WDF_USB_FIXTURE_H
#define ZV_TESTS_WDF_USB_FIXTURE_H

#include "tests/wdf/device_fixture.h"

#include "devices/phone.h"
#include "platform/usb/usb_stack.h"
#include "platform/wdf/device_init.h"

#include <wdf.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace zv::test {

class UsbTargetTest : public SimTest {
protected:
    // Runs `body` on the test's fiber with the USB device object of a `profile` phone made.
    void run(const std::string& profile, const std::function<void()>& body) {
        runInFiber([&] {
            devices::PhoneProfile p;
            ASSERT_TRUE(devices::makeProfile(profile, &p)) << profile;
            phone_ = std::make_unique<devices::Phone>(std::move(p));
            usb_ = &usb::usbStack().attach(*phone_);
            record_ = std::make_unique<wdf::DriverRecord>(u"ZvUsbTargetTest");
            ASSERT_EQ(record_->callDriverEntry(&device_callbacks::DriverEntry), STATUS_SUCCESS);
            wdf::DeviceInstance instance{usb_->instancePath(), u"{36fc9e60-c465-11cf-8056-444553540000}", 0};
            wdf::DeviceInit init(*record_->driver(), instance, wdf::DeviceInit::Kind::Fdo, usb_->pdo());
            ASSERT_EQ(wdf::addDevice(*record_->driver(), init), STATUS_SUCCESS);
            ASSERT_EQ(WdfUsbTargetDeviceCreate(device(), WDF_NO_OBJECT_ATTRIBUTES, &usbDevice_),
                      STATUS_SUCCESS);
            body();
            PDEVICE_OBJECT top = IoGetAttachedDeviceReference(usb_->pdo());
            wdf::sendAndWait(top, IRP_MJ_PNP, IRP_MN_REMOVE_DEVICE, nullptr);
            ObDereferenceObject(top);
            record_.reset();
        });
    }

    static WDFDEVICE device() { return deviceHooks().device; }
    WDFUSBDEVICE usbDevice() const { return usbDevice_; }
    usb::UsbDevice& usb() const { return *usb_; }
    devices::Phone& phone() const { return *phone_; }

    NTSTATUS selectAll() {
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS params;
        WDF_USB_DEVICE_SELECT_CONFIG_PARAMS_INIT_MULTIPLE_INTERFACES(&params, 0, nullptr);
        return WdfUsbTargetDeviceSelectConfig(usbDevice_, WDF_NO_OBJECT_ATTRIBUTES, &params);
    }
    // The configured pipe of an endpoint address, or NULL.
    WDFUSBPIPE pipe(UCHAR endpointAddress) const {
        for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usbDevice_); ++i) {
            WDFUSBINTERFACE iface = WdfUsbTargetDeviceGetInterface(usbDevice_, i);
            for (UCHAR p = 0; p < WdfUsbInterfaceGetNumConfiguredPipes(iface); ++p) {
                WDF_USB_PIPE_INFORMATION info;
                WDF_USB_PIPE_INFORMATION_INIT(&info);
                WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, p, &info);
                if (info.EndpointAddress == endpointAddress)
                    return pipe;
            }
        }
        return nullptr;
    }
    // The first configured pipe of a type and direction, or NULL.
    WDFUSBPIPE pipeOfType(WDF_USB_PIPE_TYPE type, bool in) const {
        for (UCHAR i = 0; i < WdfUsbTargetDeviceGetNumInterfaces(usbDevice_); ++i) {
            WDFUSBINTERFACE iface = WdfUsbTargetDeviceGetInterface(usbDevice_, i);
            for (UCHAR p = 0; p < WdfUsbInterfaceGetNumConfiguredPipes(iface); ++p) {
                WDFUSBPIPE pipe = WdfUsbInterfaceGetConfiguredPipe(iface, p, nullptr);
                if (WdfUsbTargetPipeGetType(pipe) == type &&
                    (WdfUsbTargetPipeIsInEndpoint(pipe) != FALSE) == in)
                    return pipe;
            }
        }
        return nullptr;
    }
    // Lets virtual time pass on the test's fiber.
    static void delay(sim::Time duration) {
        LARGE_INTEGER interval;
        interval.QuadPart = -static_cast<LONGLONG>(duration);
        KeDelayExecutionThread(KernelMode, FALSE, &interval);
    }
    static WDFMEMORY memory(size_t size, void** buffer = nullptr) {
        WDFMEMORY memory = nullptr;
        EXPECT_EQ(WdfMemoryCreate(WDF_NO_OBJECT_ATTRIBUTES, NonPagedPool, 0, size, &memory, buffer),
                  STATUS_SUCCESS);
        return memory;
    }
    static WDFREQUEST request(WDFIOTARGET target) {
        WDFREQUEST request = nullptr;
        EXPECT_EQ(WdfRequestCreate(WDF_NO_OBJECT_ATTRIBUTES, target, &request), STATUS_SUCCESS);
        return request;
    }

private:
    std::unique_ptr<devices::Phone> phone_;
    usb::UsbDevice* usb_ = nullptr;
    std::unique_ptr<wdf::DriverRecord> record_;
    WDFUSBDEVICE usbDevice_ = nullptr;
};

} // namespace zv::test

#endif // ZV_TESTS_WDF_USB_FIXTURE_H
