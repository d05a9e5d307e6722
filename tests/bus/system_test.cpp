// The bus driver module under the Plug and Play manager: loaded by its service name for a phone's USB
// device, its parent device started above the phone's physical device object, stopped and removed without
// veto, requests passed down to the device below, and two parent devices of one device instance handing
// the child enumeration over when the older one's device object finally goes.
//
// The device below is a stand-in PDO written here: it answers Plug and Play with the capabilities a test
// gives it, logs every other request and completes it with a status of its own.
#include "tests/support/sim_test.h"

#include "platform/kernel/debug_output.h"
#include "platform/kernel/registry.h"
#include "platform/pnp/pnp_manager.h"
#include "platform/pnp/services.h"
#include "platform/wdf/collection.h"
#include "platform/wdf/device.h"
#include "platform/wdf/driver.h"

#include <ntddk.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <vector>

namespace {

using zv::pnp::NodeState;

const std::u16string kService = u"ZORNAVELTRIQUESbus64";
const std::u16string kPhoneId = u"USB\\VID_1A2B&PID_3C4D";
const std::u16string kUsbClass = u"{36fc9e60-c465-11cf-8056-444553540000}";
// What the stand-in completes every request that is not Plug and Play or power with.
constexpr NTSTATUS kBelowStatus = STATUS_DEVICE_DATA_ERROR;

// The physical device objects below the parents, one per plug.
struct DeviceBelow {
    struct Seen {
        UCHAR major;
        ULONG ioControlCode;
    };
    struct Pdo {
        PDEVICE_OBJECT object = nullptr;
        DEVICE_CAPABILITIES capabilities{};
        std::vector<Seen> seen;
    };

    explicit DeviceBelow(zv::sim::Scheduler&) {
        for (auto& major : driver.MajorFunction)
            major = &dispatch;
    }

    Pdo& create(const DEVICE_CAPABILITIES& capabilities) {
        auto pdo = std::make_unique<Pdo>();
        pdo->capabilities = capabilities;
        EXPECT_EQ(IoCreateDevice(&driver, sizeof(Pdo*), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo->object),
                  STATUS_SUCCESS);
        *static_cast<Pdo**>(pdo->object->DeviceExtension) = pdo.get();
        pdo->object->Flags &= ~DO_DEVICE_INITIALIZING;
        pdos.push_back(std::move(pdo));
        return *pdos.back();
    }

    // Deletes every PDO once nothing is attached to it any more (the tests end with their devices gone).
    void deleteAll() {
        for (auto& pdo : pdos) {
            EXPECT_EQ(pdo->object->AttachedDevice, nullptr);
            IoDeleteDevice(pdo->object);
        }
        pdos.clear();
    }

    static NTSTATUS finish(PIRP irp, NTSTATUS status) {
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }

    static NTSTATUS dispatch(PDEVICE_OBJECT device, PIRP irp) {
        Pdo& pdo = **static_cast<Pdo**>(device->DeviceExtension);
        PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
        switch (stack->MajorFunction) {
            case IRP_MJ_PNP:
                switch (stack->MinorFunction) {
                    case IRP_MN_QUERY_CAPABILITIES: {
                        PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
                        USHORT size = caps->Size;
                        *caps = pdo.capabilities;
                        caps->Size = size;
                        caps->Version = 1;
                        return finish(irp, STATUS_SUCCESS);
                    }
                    case IRP_MN_START_DEVICE:
                    case IRP_MN_QUERY_STOP_DEVICE:
                    case IRP_MN_CANCEL_STOP_DEVICE:
                    case IRP_MN_STOP_DEVICE:
                    case IRP_MN_QUERY_REMOVE_DEVICE:
                    case IRP_MN_CANCEL_REMOVE_DEVICE:
                    case IRP_MN_REMOVE_DEVICE:
                    case IRP_MN_SURPRISE_REMOVAL:
                        return finish(irp, STATUS_SUCCESS);
                    default:
                        return finish(irp, irp->IoStatus.Status);
                }
            case IRP_MJ_POWER:
                return finish(irp, STATUS_SUCCESS);
            default:
                pdo.seen.push_back(
                    {stack->MajorFunction, stack->MajorFunction == IRP_MJ_DEVICE_CONTROL ||
                                                   stack->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL
                                               ? stack->Parameters.DeviceIoControl.IoControlCode
                                               : 0});
                irp->IoStatus.Information = 0;
                return finish(irp, kBelowStatus);
        }
    }

    DRIVER_OBJECT driver{};
    std::vector<std::unique_ptr<Pdo>> pdos;
};

DeviceBelow& below() {
    return zv::sim::Scheduler::current()->service<DeviceBelow>();
}

// What a phone's USB device says of itself before the parent adds its own.
DEVICE_CAPABILITIES phoneCapabilities() {
    DEVICE_CAPABILITIES caps{};
    caps.DeviceD1 = 1;
    caps.DeviceD2 = 1;
    caps.Removable = 1;
    caps.UniqueID = 1;
    caps.SurpriseRemovalOK = 1;
    caps.WakeFromD0 = 0;
    caps.WakeFromD2 = 1;
    caps.Address = 3;
    caps.UINumber = 4;
    caps.DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
    caps.DeviceState[PowerSystemWorking] = PowerDeviceD0;
    caps.DeviceState[PowerSystemSleeping1] = PowerDeviceD1;
    caps.DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
    caps.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
    caps.DeviceState[PowerSystemHibernate] = PowerDeviceD3;
    caps.DeviceState[PowerSystemShutdown] = PowerDeviceD3;
    caps.SystemWake = PowerSystemSleeping3;
    caps.DeviceWake = PowerDeviceD2;
    caps.D1Latency = 10;
    caps.D2Latency = 20;
    caps.D3Latency = 30;
    return caps;
}

zv::pnp::RootDevice phone(unsigned unit) {
    zv::pnp::RootDevice device;
    device.instancePath = kPhoneId + u"\\SN000" + std::u16string(1, char16_t(u'0' + unit));
    device.hardwareIds = {kPhoneId + u"&REV_0100", kPhoneId};
    device.description = u"Phone";
    return device;
}

class BusSystemTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        sched().service<zv::kernel::DebugOutput>().setSink([](std::string_view) {});
        zv::pnp::services().install({kService, ZV_BUS_MODULE, {kPhoneId}, {}, kUsbClass});
    }

    static zv::pnp::PnpManager& pnp() { return zv::pnp::pnpManager(); }

    // Runs `body` on a fiber, then removes whatever phones it left plugged and deletes the stand-in
    // PDOs, on the same fiber, also when the body stopped at a failed assertion.
    void run(const std::function<void()>& body) {
        runInFiber([&] {
            body();
            for (unsigned unit = 0; unit < 10; ++unit) {
                if (pnp().find(phone(unit).instancePath) != nullptr) {
                    EXPECT_EQ(pnp().remove(phone(unit).instancePath), STATUS_SUCCESS);
                }
            }
            EXPECT_TRUE(members().empty());
            below().deleteAll();
        });
    }

    // Plugs a phone above a new stand-in PDO; the parent device that started on it.
    static zv::wdf::Device* plug(unsigned unit, DeviceBelow::Pdo** pdo = nullptr) {
        DeviceBelow::Pdo& below_pdo = below().create(phoneCapabilities());
        if (pdo != nullptr)
            *pdo = &below_pdo;
        EXPECT_EQ(pnp().plug(phone(unit), below_pdo.object), STATUS_SUCCESS);
        zv::pnp::DeviceNode* node = pnp().find(phone(unit).instancePath);
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
    run([&] {
        zv::wdf::Device* first = plug(1);
        zv::wdf::Device* second = plug(2);
        ASSERT_NE(first, nullptr);
        ASSERT_NE(second, nullptr);
        EXPECT_EQ(first->deviceObject()->DeviceType, ULONG(FILE_DEVICE_BUS_EXTENDER));

        // Persistent instance numbers, one per device instance.
        for (auto [unit, number] : {std::pair{1u, 0u}, {2u, 1u}}) {
            zv::kernel::RegKey* key = nullptr;
            ASSERT_EQ(zv::kernel::registry().openKey(
                          pnp().find(phone(unit).instancePath)->instance().hardwareKeyPath(), false, &key),
                      STATUS_SUCCESS);
            EXPECT_EQ(*key->value(u"InstanceNumber"), zv::kernel::RegValue::dword(number));
        }

        // What Plug and Play ends up with: the parent's settings over the phone's answer.
        const DEVICE_CAPABILITIES& caps = pnp().find(phone(1).instancePath)->capabilities();
        DEVICE_CAPABILITIES phoneCaps = phoneCapabilities();
        EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
        EXPECT_EQ(caps.Removable, 1u);
        EXPECT_EQ(caps.UniqueID, 1u);
        EXPECT_EQ(caps.Address, phoneCaps.Address);
        EXPECT_EQ(caps.UINumber, phoneCaps.UINumber);
        EXPECT_EQ(caps.DeviceD1, 0u);
        EXPECT_EQ(caps.DeviceD2, 0u);
        EXPECT_EQ(caps.WakeFromD0, 1u);
        EXPECT_EQ(caps.WakeFromD2, 0u);
        EXPECT_EQ(caps.DeviceState[PowerSystemUnspecified], PowerDeviceUnspecified);
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            EXPECT_EQ(caps.DeviceState[s], PowerDeviceD3) << s;
        EXPECT_EQ(caps.DeviceWake, PowerDeviceD0);
        EXPECT_EQ(caps.SystemWake, PowerSystemUnspecified);
        EXPECT_EQ(caps.D1Latency, phoneCaps.D1Latency);
        EXPECT_EQ(caps.D3Latency, phoneCaps.D3Latency);

        // Both started parents are members; neither waits for the other.
        EXPECT_EQ(members(), (std::vector<WDFOBJECT>{first->handle(), second->handle()}));
        EXPECT_EQ(enumerations(first), 1u);
        EXPECT_EQ(enumerations(second), 1u);
    });
}

TEST_F(BusSystemTest, StopAndRemovalAreNeverVetoed) {
    run([&] {
        zv::wdf::Device* parent = plug(1);
        ASSERT_NE(parent, nullptr);
        WDFOBJECT handle = parent->handle();

        // A rebalance: query stop, stop (hardware released), start (prepared again).
        EXPECT_EQ(pnp().rebalance(phone(1).instancePath), STATUS_SUCCESS);
        EXPECT_EQ(pnp().find(phone(1).instancePath)->state(), NodeState::Started);
        // Prepared again: still one entry, enumerated again.
        EXPECT_EQ(members(), std::vector<WDFOBJECT>{handle});
        EXPECT_EQ(enumerations(parent), 2u);

        EXPECT_EQ(pnp().disable(phone(1).instancePath), STATUS_SUCCESS);
        EXPECT_TRUE(members().empty());
        EXPECT_EQ(pnp().enable(phone(1).instancePath), STATUS_SUCCESS);
        EXPECT_EQ(members().size(), 1u);

        EXPECT_EQ(pnp().remove(phone(1).instancePath), STATUS_SUCCESS);
        EXPECT_EQ(pnp().find(phone(1).instancePath), nullptr);
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

// The completion of a request sent from the test: its status, on the test's event.
struct Sent {
    KEVENT done;
    NTSTATUS status = STATUS_PENDING;
};

NTSTATUS sentCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* sent = static_cast<Sent*>(context);
    sent->status = irp->IoStatus.Status;
    KeSetEvent(&sent->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

TEST_F(BusSystemTest, RequestsToTheParentArePassedDownUnchanged) {
    const PassDownCase cases[] = {
        {"device control", IRP_MJ_DEVICE_CONTROL, CTL_CODE(FILE_DEVICE_UNKNOWN, 0x801, METHOD_BUFFERED, 0), 0,
         true},
        {"internal device control (submit URB)", IRP_MJ_INTERNAL_DEVICE_CONTROL, 0x220003, 0, true},
        {"write, through the default callback", IRP_MJ_WRITE, 0, 4, true},
        {"zero-length read, answered by the framework", IRP_MJ_READ, 0, 0, false},
    };
    run([&] {
        DeviceBelow::Pdo* pdo = nullptr;
        zv::wdf::Device* parent = plug(1, &pdo);
        ASSERT_NE(parent, nullptr);
        PDEVICE_OBJECT top = parent->deviceObject();
        for (const PassDownCase& c : cases) {
            SCOPED_TRACE(c.name);
            pdo->seen.clear();
            char buffer[8] = "abcd";
            PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
            ASSERT_NE(irp, nullptr);
            PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
            stack->MajorFunction = c.major;
            if (c.major == IRP_MJ_DEVICE_CONTROL || c.major == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
                stack->Parameters.DeviceIoControl.IoControlCode = c.ioControlCode;
            } else {
                stack->Parameters.Write.Length = c.length;
                irp->AssociatedIrp.SystemBuffer = buffer;
                irp->UserBuffer = buffer;
            }
            irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
            Sent sent;
            KeInitializeEvent(&sent.done, NotificationEvent, FALSE);
            IoSetCompletionRoutine(irp, sentCompletion, &sent, TRUE, TRUE, TRUE);
            IoCallDriver(top, irp);
            KeWaitForSingleObject(&sent.done, Executive, KernelMode, FALSE, nullptr);
            IoFreeIrp(irp);
            if (c.reachesBelow) {
                EXPECT_EQ(sent.status, kBelowStatus);
                ASSERT_EQ(pdo->seen.size(), 1u);
                EXPECT_EQ(pdo->seen[0].major, c.major);
                EXPECT_EQ(pdo->seen[0].ioControlCode, c.ioControlCode);
            } else {
                EXPECT_EQ(sent.status, STATUS_SUCCESS);
                EXPECT_TRUE(pdo->seen.empty());
            }
        }
    });
}

TEST_F(BusSystemTest, AReturningDeviceWaitsForItsOldParentToGoBeforeEnumerating) {
    run([&] {
        zv::wdf::Device* old = plug(1);
        ASSERT_NE(old, nullptr);
        WDFOBJECT oldHandle = old->handle();
        // Something still holds the old parent's device object when the phone is pulled out.
        PDEVICE_OBJECT held = old->deviceObject();
        ObReferenceObject(held);
        EXPECT_EQ(pnp().unplug(phone(1).instancePath), STATUS_SUCCESS);
        ASSERT_EQ(zv::wdf::Device::fromHandle(static_cast<WDFDEVICE>(oldHandle)), old);
        EXPECT_EQ(members(), std::vector<WDFOBJECT>{oldHandle});

        // The phone comes back: same device instance, same instance number, a new parent that waits.
        zv::wdf::Device* fresh = plug(1);
        ASSERT_NE(fresh, nullptr);
        ASSERT_NE(fresh, old);
        WDFOBJECT freshHandle = fresh->handle();
        EXPECT_EQ(members(), (std::vector<WDFOBJECT>{oldHandle, freshHandle}));
        EXPECT_EQ(enumerations(fresh), 0u);

        // The old device object goes: the old parent is cleaned up and the new one enumerates.
        ObDereferenceObject(held);
        EXPECT_EQ(zv::wdf::Device::fromHandle(static_cast<WDFDEVICE>(oldHandle)), nullptr);
        EXPECT_EQ(members(), std::vector<WDFOBJECT>{freshHandle});
        EXPECT_EQ(enumerations(fresh), 1u);

        EXPECT_EQ(pnp().unplug(phone(1).instancePath), STATUS_SUCCESS);
        EXPECT_TRUE(members().empty());
    });
}

} // namespace
