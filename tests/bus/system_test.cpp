// The bus driver module under the Plug and Play manager: loaded by its service name for a phone's USB
// device on the machine's USB stack, its parent device started above the hub's physical device object,
// stopped and removed without veto, requests passed down to the USB stack, and two parent devices of one
// device instance handing the child enumeration over when the older one's device object finally goes.
#include "tests/bus/bus_machine.h"

#include "platform/kernel/registry.h"
#include "platform/pnp/pnp_manager.h"
#include "platform/pnp/services.h"
#include "platform/wdf/collection.h"
#include "platform/wdf/device.h"
#include "platform/wdf/driver.h"

#include <ntddk.h>
#include <usbioctl.h>

#include <algorithm>
#include <functional>
#include <vector>

namespace {

using zv::pnp::NodeState;
using zv::usb::UsbRequestRecord;

const std::u16string kService = u"ZORNAVELTRIQUESbus64";

class BusSystemTest : public zv::test::BusMachineTest {
protected:
    static zv::pnp::PnpManager& pnp() { return zv::pnp::pnpManager(); }

    // Plugs an hs-phone; the parent device that started on it.
    static zv::wdf::Device* plugPhone(zv::usb::UsbDevice** usb) {
        Plugged plugged = plug(zv::test::phoneProfile());
        *usb = plugged.usb;
        if (plugged.usb == nullptr)
            return nullptr;
        zv::pnp::DeviceNode* node = parentNode(*plugged.usb);
        EXPECT_NE(node, nullptr);
        if (node == nullptr)
            return nullptr;
        EXPECT_EQ(node->state(), NodeState::Started);
        return node->functionDevice();
    }

    // The bus driver's parent collection (the one collection the driver object holds).
    static zv::wdf::Collection* parentCollection() {
        zv::pnp::LoadedDriver* loaded = zv::pnp::services().loaded(kService);
        if (loaded == nullptr || loaded->driver() == nullptr)
            return nullptr;
        zv::wdf::Collection* found = nullptr;
        for (zv::wdf::Object* child : loaded->driver()->children()) {
            if (child->type() == zv::wdf::ObjectType::Collection) {
                EXPECT_EQ(found, nullptr) << "the driver holds one collection";
                found = static_cast<zv::wdf::Collection*>(child);
            }
        }
        return found;
    }

    static std::vector<WDFOBJECT> members() {
        std::vector<WDFOBJECT> out;
        if (zv::wdf::Collection* c = parentCollection())
            for (size_t i = 0; i < c->count(); ++i)
                out.push_back(c->item(i)->handle());
        return out;
    }

    // Each enumeration of a parent leaves a collection of function descriptions under it.
    static size_t enumerations(const zv::wdf::Device* device) {
        return static_cast<size_t>(
            std::count_if(device->children().begin(), device->children().end(), [](const zv::wdf::Object* o) {
                return o->type() == zv::wdf::ObjectType::Collection;
            }));
    }
};

TEST_F(BusSystemTest, ParentStartsAsABusExtenderOverridingTheCapabilitiesOfTheDeviceBelow) {
    runInFiber([&] {
        installServices(false);
        zv::usb::UsbDevice* firstUsb = nullptr;
        zv::usb::UsbDevice* secondUsb = nullptr;
        zv::wdf::Device* first = plugPhone(&firstUsb);
        // A second phone of its own (another serial number), so another device instance.
        zv::devices::PhoneProfile other = zv::test::phoneProfile();
        other.strings.set(zv::devices::kSerialNumberString, u"XYZ789");
        Plugged plugged = plug(other);
        secondUsb = plugged.usb;
        ASSERT_NE(first, nullptr);
        ASSERT_NE(secondUsb, nullptr);
        zv::wdf::Device* second = parentNode(*secondUsb)->functionDevice();
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(first->deviceObject()->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));

        // Persistent instance numbers, one per device instance.
        for (auto [usb, number] : {std::pair{firstUsb, 0u}, {secondUsb, 1u}}) {
            zv::kernel::RegKey* key = nullptr;
            ASSERT_EQ(
                zv::kernel::registry().openKey(parentNode(*usb)->instance().hardwareKeyPath(), false, &key),
                STATUS_SUCCESS);
            EXPECT_EQ(*key->value(u"InstanceNumber"), zv::kernel::RegValue::dword(number));
        }

        // What Plug and Play ends up with: the parent's settings over the hub's answer.
        std::optional<DEVICE_CAPABILITIES> hub = zv::test::queryCapabilities(firstUsb->pdo());
        ASSERT_TRUE(hub.has_value());
        const DEVICE_CAPABILITIES& caps = parentNode(*firstUsb)->capabilities();
        EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
        EXPECT_EQ(caps.Removable, hub->Removable);
        EXPECT_EQ(caps.UniqueID, hub->UniqueID);
        EXPECT_EQ(caps.Address, hub->Address);
        EXPECT_EQ(caps.UINumber, hub->UINumber);
        EXPECT_EQ(caps.DeviceD1, 0u);
        EXPECT_EQ(caps.DeviceD2, 0u);
        EXPECT_EQ(caps.WakeFromD0, 1u);
        EXPECT_EQ(caps.WakeFromD2, 0u);
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            EXPECT_EQ(caps.DeviceState[s], PowerDeviceD3) << s;
        EXPECT_EQ(caps.DeviceWake, PowerDeviceD0);
        EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);

        // Both started parents are members; neither waits for the other.
        EXPECT_EQ(members(), (std::vector<WDFOBJECT>{first->handle(), second->handle()}));
        EXPECT_EQ(enumerations(first), 1u);
        EXPECT_EQ(enumerations(second), 1u);
    });
}

TEST_F(BusSystemTest, StopAndRemovalAreNeverVetoed) {
    runInFiber([&] {
        installServices(false);
        zv::usb::UsbDevice* usb = nullptr;
        zv::wdf::Device* parent = plugPhone(&usb);
        ASSERT_NE(parent, nullptr);
        WDFOBJECT handle = parent->handle();
        const std::u16string path = usb->instancePath();

        // A rebalance: query stop, stop (hardware released), start (prepared again).
        EXPECT_EQ(pnp().rebalance(path), STATUS_SUCCESS);
        EXPECT_EQ(pnp().find(path)->state(), NodeState::Started);
        // Prepared again: still one entry, enumerated again, the children back.
        EXPECT_EQ(members(), std::vector<WDFOBJECT>{handle});
        EXPECT_EQ(enumerations(parent), 2u);
        EXPECT_EQ(childCount(*usb), 4u);

        EXPECT_EQ(pnp().disable(path), STATUS_SUCCESS);
        EXPECT_TRUE(members().empty());
        EXPECT_EQ(usb->configuration(), std::nullopt) << "released without deconfiguring";
        EXPECT_EQ(pnp().enable(path), STATUS_SUCCESS);
        EXPECT_EQ(members().size(), 1u);
        EXPECT_EQ(childCount(*usb), 4u);

        EXPECT_EQ(pnp().remove(path), STATUS_SUCCESS);
        EXPECT_EQ(pnp().find(path), nullptr);
        EXPECT_TRUE(members().empty());
    });
}

struct PassDownCase {
    const char* name;
    UCHAR major;
    ULONG ioControlCode;
    ULONG length;      // of a read or write
    bool reachesBelow; // else the framework answers it with success
};

TEST_F(BusSystemTest, RequestsToTheParentArePassedDownUnchanged) {
    const PassDownCase cases[] = {
        {"device control", IRP_MJ_DEVICE_CONTROL, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, 0), 0,
         true},
        {"internal device control (port status)", IRP_MJ_INTERNAL_DEVICE_CONTROL,
         IOCTL_INTERNAL_USB_GET_PORT_STATUS, 0, true},
        {"write, through the default callback", IRP_MJ_WRITE, 0, 4, true},
        {"zero-length read, answered by the framework", IRP_MJ_READ, 0, 0, false},
    };
    runInFiber([&] {
        installServices(false);
        zv::usb::UsbDevice* usb = nullptr;
        zv::wdf::Device* parent = plugPhone(&usb);
        ASSERT_NE(parent, nullptr);
        // The same request, sent straight to the hub's PDO and through the parent: the same answer.
        auto send = [](PDEVICE_OBJECT target, const PassDownCase& c) {
            ULONG buffer[2] = {0x64636261, 0};
            if (c.major == IRP_MJ_DEVICE_CONTROL || c.major == IRP_MJ_INTERNAL_DEVICE_CONTROL)
                return zv::test::deviceControl(target, c.major == IRP_MJ_INTERNAL_DEVICE_CONTROL,
                                               c.ioControlCode, buffer, sizeof buffer);
            return zv::test::readWrite(target, c.major, buffer, c.length);
        };
        for (const PassDownCase& c : cases) {
            SCOPED_TRACE(c.name);
            zv::test::IrpAnswer direct = send(usb->pdo(), c);
            usb->clearRequests();
            zv::test::IrpAnswer passed = send(parent->deviceObject(), c);
            if (c.reachesBelow) {
                EXPECT_EQ(passed.status, direct.status);
                EXPECT_EQ(passed.information, direct.information);
            } else {
                EXPECT_EQ(passed.status, STATUS_SUCCESS);
                EXPECT_TRUE(usb->requests().empty());
            }
            if (c.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
                EXPECT_EQ(usb->requests(),
                          (std::vector<UsbRequestRecord>{{UsbRequestRecord::Kind::Ioctl, c.ioControlCode}}));
            }
        }
    });
}

TEST_F(BusSystemTest, AReturningDeviceWaitsForItsOldParentToGoBeforeEnumerating) {
    runInFiber([&] {
        installServices(false);
        zv::usb::UsbDevice* oldUsb = nullptr;
        zv::wdf::Device* old = plugPhone(&oldUsb);
        ASSERT_NE(old, nullptr);
        WDFOBJECT oldHandle = old->handle();
        // Something still holds the old parent's device object when the phone is pulled out.
        PDEVICE_OBJECT held = old->deviceObject();
        ObReferenceObject(held);
        oldUsb->disconnect();
        pnp().waitIdle();
        ASSERT_EQ(zv::wdf::Device::fromHandle(static_cast<WDFDEVICE>(oldHandle)), old);
        EXPECT_EQ(members(), std::vector<WDFOBJECT>{oldHandle});

        // The phone comes back: same device instance, same instance number, a new parent that waits.
        zv::usb::UsbDevice* freshUsb = nullptr;
        zv::wdf::Device* fresh = plugPhone(&freshUsb);
        ASSERT_NE(fresh, nullptr);
        ASSERT_NE(fresh, old);
        WDFOBJECT freshHandle = fresh->handle();
        EXPECT_EQ(members(), (std::vector<WDFOBJECT>{oldHandle, freshHandle}));
        EXPECT_EQ(enumerations(fresh), 0u);
        EXPECT_EQ(childCount(*freshUsb), 0u);

        // The old device object goes: the old parent is cleaned up and the new one enumerates.
        ObDereferenceObject(held);
        pnp().waitIdle();
        EXPECT_EQ(zv::wdf::Device::fromHandle(static_cast<WDFDEVICE>(oldHandle)), nullptr);
        EXPECT_EQ(members(), std::vector<WDFOBJECT>{freshHandle});
        EXPECT_EQ(enumerations(fresh), 1u);
        EXPECT_EQ(childCount(*freshUsb), 4u);

        freshUsb->disconnect();
        pnp().waitIdle();
        EXPECT_TRUE(members().empty());
    });
}

} // namespace
