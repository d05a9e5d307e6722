// The fixture of the child-list and framework-PDO tests. The test plays a bus driver: its device (on a
// root-bus PDO, as in the device tests) has a default child list of TestChild descriptions, and the
// list's create-device callback makes a framework PDO with IDs built from the description, through hooks
// the test may change. The test scans, then asks the device for its bus relations itself, as the Plug and
// Play manager would, and talks to the children's PDOs directly.
#ifndef ZV_TESTS_WDF_CHILDLIST_FIXTURE_H
#define ZV_TESTS_WDF_CHILDLIST_FIXTURE_H

#include "tests/wdf/device_fixture.h"

#include "platform/wdf/child_list.h"

#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>
#include <vector>

namespace zv::test {

// A child's identification description. Three bytes of padding follow Port: a description compared as
// raw bytes differs when they do.
struct TestChild {
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER Header;
    UCHAR Port;
    ULONG Serial;
};
static_assert(offsetof(TestChild, Serial) == 8, "TestChild has padding after Port");

inline TestChild describeChild(UCHAR port, ULONG serial = 1000, UCHAR padding = 0) {
    TestChild child;
    WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&child.Header, sizeof child);
    std::memset(reinterpret_cast<UCHAR*>(&child) + offsetof(TestChild, Port) + 1, padding, 3);
    child.Port = port;
    child.Serial = serial + port;
    return child;
}

struct ChildHooks {
    explicit ChildHooks(sim::Scheduler&) {}
    // Before WdfDeviceCreate, after the default IDs; a failure is the callback's result (no device).
    std::function<NTSTATUS(PWDFDEVICE_INIT, const TestChild&)> configure;
    // After WdfDeviceCreate; its status is the callback's.
    std::function<NTSTATUS(WDFDEVICE, const TestChild&)> created;
    // Replaces the whole callback when set.
    std::function<NTSTATUS(WDFCHILDLIST, const TestChild&, PWDFDEVICE_INIT)> replace;
    std::vector<std::string> events;  // "create <port>", "create-irql <port>", "cleanup <port>" ...
    std::map<WDFDEVICE, UCHAR> ports; // the children's devices
};

inline ChildHooks& childHooks() {
    return sim::Scheduler::current()->service<ChildHooks>();
}

namespace child_callbacks {

inline void record(std::string event) {
    childHooks().events.push_back(std::move(event));
}

inline VOID ChildCleanup(WDFOBJECT object) {
    auto& ports = childHooks().ports;
    auto it = ports.find(static_cast<WDFDEVICE>(object));
    record("cleanup " + (it != ports.end() ? std::to_string(it->second) : std::string("?")));
}

inline NTSTATUS assign(NTSTATUS (*call)(PWDFDEVICE_INIT, PCUNICODE_STRING), PWDFDEVICE_INIT init,
                       const std::u16string& text) {
    UNICODE_STRING s;
    s.Buffer = const_cast<char16_t*>(text.data());
    s.Length = s.MaximumLength = static_cast<USHORT>(text.size() * sizeof(char16_t));
    return call(init, &s);
}

inline std::u16string u16(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// The ordinary child: IDs from the description, the configure hook, the device, the created hook.
inline NTSTATUS CreateChildDevice(const TestChild& child, PWDFDEVICE_INIT init) {
    ChildHooks& hooks = childHooks();
    std::string port = std::to_string(child.Port);
    NTSTATUS status = assign(WdfPdoInitAssignDeviceID, init, u16("ZV\\CHILD_" + port));
    if (NT_SUCCESS(status))
        status = assign(WdfPdoInitAssignInstanceID, init, u16(std::to_string(child.Serial)));
    if (NT_SUCCESS(status))
        status = assign(WdfPdoInitAddHardwareID, init, u16("ZV\\CHILD_" + port));
    if (NT_SUCCESS(status))
        status = assign(WdfPdoInitAddHardwareID, init, u16("ZV\\CHILD"));
    if (NT_SUCCESS(status) && hooks.configure)
        status = hooks.configure(init, child);
    if (!NT_SUCCESS(status))
        return status;
    WDF_OBJECT_ATTRIBUTES attributes;
    WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
    attributes.EvtCleanupCallback = ChildCleanup;
    WDFDEVICE device = nullptr;
    status = WdfDeviceCreate(&init, &attributes, &device);
    if (!NT_SUCCESS(status))
        return status;
    hooks.ports[device] = child.Port;
    return hooks.created ? hooks.created(device, child) : STATUS_SUCCESS;
}

inline NTSTATUS CreateChild(WDFCHILDLIST list, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header,
                            PWDFDEVICE_INIT init) {
    const TestChild& child = *CONTAINING_RECORD(header, TestChild, Header);
    record("create " + std::to_string(child.Port));
    if (sim::Scheduler::current()->irql() != sim::Irql::Passive)
        record("create-irql " + std::to_string(child.Port));
    if (childHooks().replace)
        return childHooks().replace(list, child, init);
    return CreateChildDevice(child, init);
}

} // namespace child_callbacks

class ChildListTest : public FrameworkDeviceTest {
protected:
    // The parent device with a default child list of TestChild (the config may be changed), started.
    void startParent(const std::function<void(WDF_CHILD_LIST_CONFIG&)>& change = nullptr) {
        deviceHooks().configure = [change](PWDFDEVICE_INIT init) {
            WDF_CHILD_LIST_CONFIG config;
            WDF_CHILD_LIST_CONFIG_INIT(&config, sizeof(TestChild), child_callbacks::CreateChild);
            if (change)
                change(config);
            WdfFdoInitSetDefaultChildListConfig(init, &config, WDF_NO_OBJECT_ATTRIBUTES);
            return STATUS_SUCCESS;
        };
        ASSERT_EQ(add(), STATUS_SUCCESS);
        ASSERT_EQ(pnp(IRP_MN_START_DEVICE), STATUS_SUCCESS);
        takeEvents();
    }
    static WDFCHILDLIST list() { return WdfFdoGetDefaultChildList(device()); }

    // One scan reporting `children`; the statuses of the reports.
    static std::vector<NTSTATUS> scan(std::vector<TestChild> children) {
        std::vector<NTSTATUS> statuses;
        WdfChildListBeginScan(list());
        for (TestChild& c : children)
            statuses.push_back(WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), &c.Header, nullptr));
        WdfChildListEndScan(list());
        return statuses;
    }

    // The parent's bus relations, as the Plug and Play manager asks for them.
    std::vector<PDEVICE_OBJECT> enumerate() {
        wdf::IrpResult result =
            sendToStack(IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_RELATIONS,
                        [](IO_STACK_LOCATION& s) { s.Parameters.QueryDeviceRelations.Type = BusRelations; });
        std::vector<PDEVICE_OBJECT> children;
        EXPECT_EQ(result.status, STATUS_SUCCESS);
        if (auto* relations = reinterpret_cast<PDEVICE_RELATIONS>(result.information)) {
            for (ULONG i = 0; i < relations->Count; ++i) {
                children.push_back(relations->Objects[i]);
                ObDereferenceObject(relations->Objects[i]); // the device keeps it alive
            }
            wdf::freeDeviceRelations(relations);
        }
        return children;
    }
    // The ports of the children behind device objects, in order.
    static std::vector<int> ports(const std::vector<PDEVICE_OBJECT>& children) {
        std::vector<int> out;
        for (PDEVICE_OBJECT pdo : children) {
            wdf::Device* d = wdf::Device::fromDeviceObject(pdo);
            auto it = d != nullptr ? childHooks().ports.find(static_cast<WDFDEVICE>(d->handle()))
                                   : childHooks().ports.end();
            out.push_back(it != childHooks().ports.end() ? it->second : -1);
        }
        return out;
    }
    static WDFDEVICE childDevice(UCHAR port) {
        for (auto& [device, p] : childHooks().ports)
            if (p == port && wdf::Device::fromHandle(device) != nullptr)
                return device;
        return nullptr;
    }
    static PDEVICE_OBJECT childPdo(UCHAR port) {
        WDFDEVICE device = childDevice(port);
        return device != nullptr ? wdf::Device::fromHandle(device)->deviceObject() : nullptr;
    }
    static std::vector<std::string> takeChildEvents() { return std::exchange(childHooks().events, {}); }

    NTSTATUS pnpTo(PDEVICE_OBJECT pdo, UCHAR minor) { return send(pdo, IRP_MJ_PNP, minor).status; }

    // IRP_MN_QUERY_ID's answer as the list of strings it holds (one for a single ID); empty on failure.
    std::vector<std::u16string> queryIds(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type,
                                         NTSTATUS* status = nullptr) {
        wdf::IrpResult result = send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_ID,
                                     [&](IO_STACK_LOCATION& s) { s.Parameters.QueryId.IdType = type; });
        if (status != nullptr)
            *status = result.status;
        return takeStrings(result, type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs);
    }
    std::optional<std::u16string> queryText(PDEVICE_OBJECT pdo, DEVICE_TEXT_TYPE type, LCID locale) {
        wdf::IrpResult result = send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_DEVICE_TEXT, [&](IO_STACK_LOCATION& s) {
            s.Parameters.QueryDeviceText.DeviceTextType = type;
            s.Parameters.QueryDeviceText.LocaleId = locale;
        });
        std::vector<std::u16string> text = takeStrings(result, false);
        if (!NT_SUCCESS(result.status) || text.empty())
            return std::nullopt;
        return text[0];
    }

private:
    static std::vector<std::u16string> takeStrings(const wdf::IrpResult& result, bool list) {
        std::vector<std::u16string> out;
        auto* text = reinterpret_cast<const char16_t*>(result.information);
        if (!NT_SUCCESS(result.status) || text == nullptr)
            return out;
        if (!list)
            out.emplace_back(text);
        else
            for (const char16_t* p = text; *p != u'\0'; p += out.back().size() + 1)
                out.emplace_back(p);
        std::free(const_cast<char16_t*>(text));
        return out;
    }
};

} // namespace zv::test

#endif // ZV_TESTS_WDF_CHILDLIST_FIXTURE_H
