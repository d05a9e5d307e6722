// A framework PDO's answers to the Plug and Play manager: its IDs as whole strings and lists (copies of
// what the create-device callback gave), its texts per locale with the default locale as fallback, its
// capabilities, its parent's bus information, the interfaces added to it (size and version checked,
// unknown ones left alone) and the re-enumerate-self interface that leads to EvtChildListDeviceReenumerated.
#include "tests/wdf/childlist_fixture.h"

#include <ostream>

namespace {

using zv::test::childHooks;
using zv::test::ChildListTest;
using zv::test::describeChild;
using zv::test::TestChild;
using zv::test::child_callbacks::assign;

constexpr LCID kEnglish = 0x409;
constexpr LCID kGerman = 0x407;
constexpr LCID kFrench = 0x40c;
constexpr LCID kItalian = 0x410;

std::u16string text(const char* s) {
    return std::u16string(s, s + std::strlen(s));
}

UNICODE_STRING counted(std::u16string& s) {
    UNICODE_STRING u;
    u.Buffer = s.data();
    u.Length = u.MaximumLength = static_cast<USHORT>(s.size() * sizeof(char16_t));
    return u;
}

// The child made for port 1, after `configure` ran on its record.
class PdoTest : public ChildListTest {
protected:
    PDEVICE_OBJECT makeChild(std::function<NTSTATUS(PWDFDEVICE_INIT)> configure = nullptr,
                             std::function<NTSTATUS(WDFDEVICE)> created = nullptr) {
        childHooks().configure = [configure](PWDFDEVICE_INIT init, const TestChild&) {
            return configure ? configure(init) : STATUS_SUCCESS;
        };
        childHooks().created = [created](WDFDEVICE device, const TestChild&) {
            return created ? created(device) : STATUS_SUCCESS;
        };
        scan({describeChild(1)});
        enumerate();
        return childPdo(1);
    }
};

TEST_F(PdoTest, IdsAreAnsweredWholeFromTheFrameworksCopies) {
    run([&] {
        startParent();
        PDEVICE_OBJECT pdo = makeChild([](PWDFDEVICE_INIT init) {
            std::u16string compatible = text("ZV\\COMPAT");
            UNICODE_STRING s = counted(compatible);
            NTSTATUS status = WdfPdoInitAddCompatibleID(init, &s);
            compatible.assign(compatible.size(), u'X'); // the caller's buffer may go
            if (NT_SUCCESS(status))
                status = assign(WdfPdoInitAddCompatibleID, init, text("ZV\\GENERIC"));
            return status;
        });
        ASSERT_NE(pdo, nullptr);
        EXPECT_EQ(queryIds(pdo, BusQueryDeviceID), std::vector<std::u16string>{text("ZV\\CHILD_1")});
        EXPECT_EQ(queryIds(pdo, BusQueryInstanceID), std::vector<std::u16string>{text("1001")});
        EXPECT_EQ(queryIds(pdo, BusQueryHardwareIDs),
                  (std::vector<std::u16string>{text("ZV\\CHILD_1"), text("ZV\\CHILD")}));
        EXPECT_EQ(queryIds(pdo, BusQueryCompatibleIDs),
                  (std::vector<std::u16string>{text("ZV\\COMPAT"), text("ZV\\GENERIC")}));
        // An ID the child has no answer for keeps the status the IRP came with.
        NTSTATUS status = STATUS_SUCCESS;
        EXPECT_TRUE(queryIds(pdo, BusQueryDeviceSerialNumber, &status).empty());
        EXPECT_EQ(status, STATUS_NOT_SUPPORTED);
    });
}

TEST_F(PdoTest, MalformedIdsAreRefused) {
    run([&] {
        startParent();
        PDEVICE_OBJECT pdo = makeChild([](PWDFDEVICE_INIT init) {
            std::u16string withNul = text("ZV\\A");
            withNul.push_back(u'\0');
            withNul += text("B");
            EXPECT_EQ(assign(WdfPdoInitAddHardwareID, init, withNul), STATUS_INVALID_PARAMETER);
            EXPECT_EQ(assign(WdfPdoInitAssignDeviceID, init, std::u16string()), STATUS_INVALID_PARAMETER);
            UNICODE_STRING odd{3, 4, nullptr};
            EXPECT_EQ(WdfPdoInitAddCompatibleID(init, &odd), STATUS_INVALID_PARAMETER);
            return STATUS_SUCCESS;
        });
        ASSERT_NE(pdo, nullptr);
        EXPECT_EQ(queryIds(pdo, BusQueryHardwareIDs).size(), 2u) << "the refused ID was not added";
        EXPECT_EQ(queryIds(pdo, BusQueryDeviceID), std::vector<std::u16string>{text("ZV\\CHILD_1")});
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 3u);
}

struct TextCase {
    const char* name;
    bool defaultLocale; // WdfPdoInitSetDefaultLocale(German); without it the first text added is the default
    LCID asked;
    DEVICE_TEXT_TYPE type;
    const char* answer; // nullptr: none (STATUS_NOT_SUPPORTED kept)
};

std::ostream& operator<<(std::ostream& os, const TextCase& c) {
    return os << c.name;
}

class PdoText : public PdoTest, public ::testing::WithParamInterface<TextCase> {};

TEST_P(PdoText, EachLocaleGetsItsTextOrTheDefaultLocales) {
    const TextCase& c = GetParam();
    run([&] {
        startParent();
        PDEVICE_OBJECT pdo = makeChild([&](PWDFDEVICE_INIT init) {
            std::u16string en = text("Modem"), enWhere = text("Port 1");
            std::u16string de = text("Modem (de)"), deWhere = text("Anschluss 1");
            std::u16string stale = text("replaced");
            UNICODE_STRING a = counted(en), b = counted(enWhere), d = counted(de), e = counted(deWhere);
            UNICODE_STRING s = counted(stale);
            EXPECT_EQ(WdfPdoInitAddDeviceText(init, &s, &s, kEnglish), STATUS_SUCCESS);
            EXPECT_EQ(WdfPdoInitAddDeviceText(init, &a, &b, kEnglish), STATUS_SUCCESS); // replaces
            EXPECT_EQ(WdfPdoInitAddDeviceText(init, &d, &e, kGerman), STATUS_SUCCESS);
            // A text without a location: that locale has none.
            std::u16string it = text("Modem (it)");
            UNICODE_STRING i = counted(it);
            EXPECT_EQ(WdfPdoInitAddDeviceText(init, &i, nullptr, kItalian), STATUS_SUCCESS);
            if (c.defaultLocale)
                WdfPdoInitSetDefaultLocale(init, kGerman);
            return STATUS_SUCCESS;
        });
        ASSERT_NE(pdo, nullptr);
        std::optional<std::u16string> got = queryText(pdo, c.type, c.asked);
        if (c.answer == nullptr)
            EXPECT_FALSE(got.has_value());
        else
            EXPECT_EQ(got, std::optional<std::u16string>(text(c.answer)));
    });
}

INSTANTIATE_TEST_SUITE_P(
    Locales, PdoText,
    ::testing::Values(
        TextCase{"EnglishDescription", true, kEnglish, DeviceTextDescription, "Modem"},
        TextCase{"GermanLocation", true, kGerman, DeviceTextLocationInformation, "Anschluss 1"},
        TextCase{"FrenchFallsBackToTheDefault", true, kFrench, DeviceTextDescription, "Modem (de)"},
        TextCase{"FrenchWithoutADefaultGetsTheFirst", false, kFrench, DeviceTextLocationInformation,
                 "Port 1"},
        TextCase{"ItalianHasNoLocation", true, kItalian, DeviceTextLocationInformation, nullptr},
        TextCase{"ItalianDescription", false, kItalian, DeviceTextDescription, "Modem (it)"}),
    [](const auto& info) { return info.param.name; });

TEST_F(PdoTest, CapabilitiesComeFromWhatTheChildsDriverSet) {
    run([&] {
        startParent();
        PDEVICE_OBJECT pdo = makeChild(nullptr, [](WDFDEVICE device) {
            WDF_DEVICE_PNP_CAPABILITIES pnp;
            WDF_DEVICE_PNP_CAPABILITIES_INIT(&pnp);
            pnp.Removable = WdfTrue;
            pnp.SurpriseRemovalOK = WdfTrue;
            pnp.UniqueID = WdfTrue;
            pnp.Address = 5;
            pnp.UINumber = 7;
            WdfDeviceSetPnpCapabilities(device, &pnp);
            WDF_DEVICE_POWER_CAPABILITIES power;
            WDF_DEVICE_POWER_CAPABILITIES_INIT(&power);
            power.DeviceD2 = WdfTrue;
            power.DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
            WdfDeviceSetPowerCapabilities(device, &power);
            return STATUS_SUCCESS;
        });
        ASSERT_NE(pdo, nullptr);
        DEVICE_CAPABILITIES caps{};
        caps.Size = sizeof caps;
        caps.Version = 1;
        caps.Address = caps.UINumber = static_cast<ULONG>(-1);
        caps.LockSupported = 1; // what the PDO does not claim, it clears
        ASSERT_EQ(send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_CAPABILITIES,
                       [&](IO_STACK_LOCATION& s) { s.Parameters.DeviceCapabilities.Capabilities = &caps; })
                      .status,
                  STATUS_SUCCESS);
        EXPECT_EQ(caps.Removable, 1u);
        EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
        EXPECT_EQ(caps.UniqueID, 1u);
        EXPECT_EQ(caps.LockSupported, 0u);
        EXPECT_EQ(caps.Address, 5u);
        EXPECT_EQ(caps.UINumber, 7u);
        EXPECT_EQ(caps.DeviceD2, 1u);
        EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
        EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD2);
        EXPECT_EQ(caps.DeviceState[PowerSystemHibernate], PowerDeviceD3);
    });
}

TEST_F(PdoTest, BusInformationIsTheParentsForItsChildren) {
    run([&] {
        startParent();
        PDEVICE_OBJECT pdo = makeChild();
        ASSERT_NE(pdo, nullptr);
        {
            zv::wdf::IrpResult none = send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION);
            EXPECT_EQ(none.status, STATUS_NOT_SUPPORTED);
            EXPECT_EQ(none.information, 0u);
        }
        PNP_BUS_INFORMATION information{};
        information.BusTypeGuid = GUID{0x11223344, 0x5566, 0x7788, {1, 2, 3, 4, 5, 6, 7, 8}};
        information.LegacyBusType = PNPBus;
        information.BusNumber = 3;
        WdfDeviceSetBusInformationForChildren(device(), &information);
        zv::wdf::IrpResult answer = send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_BUS_INFORMATION);
        ASSERT_EQ(answer.status, STATUS_SUCCESS);
        auto* got = reinterpret_cast<PPNP_BUS_INFORMATION>(answer.information);
        ASSERT_NE(got, nullptr);
        EXPECT_EQ(std::memcmp(got, &information, sizeof information), 0);
        std::free(got);
    });
}

// ---- interfaces ----

struct TestInterface {
    INTERFACE Header;
    ULONG Magic;
};

struct InterfaceCounts {
    explicit InterfaceCounts(zv::sim::Scheduler&) {}
    long references = 0;
    NTSTATUS callbackStatus = STATUS_SUCCESS;
    int callbacks = 0;
};
InterfaceCounts& counts() {
    return zv::sim::Scheduler::current()->service<InterfaceCounts>();
}
VOID Reference(PVOID) {
    ++counts().references;
}
VOID Dereference(PVOID) {
    --counts().references;
}
NTSTATUS ProcessQuery(WDFDEVICE, GUID*, PINTERFACE, PVOID) {
    ++counts().callbacks;
    return counts().callbackStatus;
}

const GUID kTestInterfaceGuid = {0x0badf00d, 0x1234, 0x5678, {0x9a, 0xbc, 0xde, 0xf0, 1, 2, 3, 4}};
const GUID kUnknownGuid = {0x0badf00d, 0x1234, 0x5678, {0x9a, 0xbc, 0xde, 0xf0, 9, 9, 9, 9}};

struct InterfaceCase {
    const char* name;
    const GUID* type;
    USHORT size;
    USHORT version;
    NTSTATUS callback; // what the process callback returns
    NTSTATUS status;   // the query's
    bool copied;
};

std::ostream& operator<<(std::ostream& os, const InterfaceCase& c) {
    return os << c.name;
}

class PdoInterface : public PdoTest, public ::testing::WithParamInterface<InterfaceCase> {};

TEST_P(PdoInterface, TheAddedRecordIsCopiedReferencedWhenTheQueryFits) {
    const InterfaceCase& c = GetParam();
    run([&] {
        startParent();
        PDEVICE_OBJECT pdo = makeChild(nullptr, [](WDFDEVICE device) {
            TestInterface exposed{};
            exposed.Header.Size = sizeof exposed;
            exposed.Header.Version = 2;
            exposed.Header.Context = &counts();
            exposed.Header.InterfaceReference = Reference;
            exposed.Header.InterfaceDereference = Dereference;
            exposed.Magic = 0xfeed;
            WDF_QUERY_INTERFACE_CONFIG config;
            WDF_QUERY_INTERFACE_CONFIG_INIT(&config, &exposed.Header, &kTestInterfaceGuid, ProcessQuery);
            NTSTATUS status = WdfDeviceAddQueryInterface(device, &config);
            EXPECT_EQ(WdfDeviceAddQueryInterface(device, &config), STATUS_OBJECT_NAME_COLLISION);
            exposed.Magic = 0; // the framework keeps its own copy
            return status;
        });
        ASSERT_NE(pdo, nullptr);
        counts().callbackStatus = c.callback;
        struct {
            TestInterface record;
            UCHAR beyond[8];
        } out{};
        std::memset(&out, 0xcc, sizeof out);
        zv::wdf::IrpResult result = send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE, [&](IO_STACK_LOCATION& s) {
            s.Parameters.QueryInterface.InterfaceType = c.type;
            s.Parameters.QueryInterface.Size = c.size;
            s.Parameters.QueryInterface.Version = c.version;
            s.Parameters.QueryInterface.Interface = &out.record.Header;
            s.Parameters.QueryInterface.InterfaceSpecificData = nullptr;
        });
        EXPECT_EQ(result.status, c.status);
        if (c.copied) {
            EXPECT_EQ(out.record.Header.Size, sizeof(TestInterface));
            EXPECT_EQ(out.record.Header.Version, 2);
            EXPECT_EQ(out.record.Magic, 0xfeedu);
            EXPECT_EQ(out.beyond[0], 0xcc) << "no byte beyond the added record is written";
        } else {
            EXPECT_EQ(out.record.Header.Size, 0xcccc);
        }
        // The caller holds one reference after a success, none otherwise.
        EXPECT_EQ(counts().references, NT_SUCCESS(c.status) ? 1 : 0);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Queries, PdoInterface,
    ::testing::Values(
        InterfaceCase{"Fits", &kTestInterfaceGuid, sizeof(TestInterface), 2, STATUS_SUCCESS, STATUS_SUCCESS,
                      true},
        InterfaceCase{"LargerRecordAndOlderVersion", &kTestInterfaceGuid, sizeof(TestInterface) + 8, 1,
                      STATUS_SUCCESS, STATUS_SUCCESS, true},
        InterfaceCase{"RecordTooSmall", &kTestInterfaceGuid, sizeof(INTERFACE), 2, STATUS_SUCCESS,
                      STATUS_INVALID_PARAMETER, false},
        InterfaceCase{"NewerVersion", &kTestInterfaceGuid, sizeof(TestInterface), 3, STATUS_SUCCESS,
                      STATUS_NOT_SUPPORTED, false},
        InterfaceCase{"CallbackRefuses", &kTestInterfaceGuid, sizeof(TestInterface), 2, STATUS_ACCESS_DENIED,
                      STATUS_ACCESS_DENIED, true},
        // A PDO is the bottom of its stack: an interface it does not have keeps the IRP's status.
        InterfaceCase{"Unknown", &kUnknownGuid, sizeof(TestInterface), 2, STATUS_SUCCESS,
                      STATUS_NOT_SUPPORTED, false}),
    [](const auto& info) { return info.param.name; });

BOOLEAN KeepOnReenumeration(WDFCHILDLIST, WDFDEVICE, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER,
                            PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER) {
    childHooks().events.push_back("reenumerated keep");
    return TRUE;
}
BOOLEAN DropOnReenumeration(WDFCHILDLIST, WDFDEVICE, PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER,
                            PWDF_CHILD_ADDRESS_DESCRIPTION_HEADER) {
    childHooks().events.push_back("reenumerated drop");
    return FALSE;
}

class PdoReenumeration : public PdoTest, public ::testing::WithParamInterface<bool> {};

// A driver above the child asks to be enumerated afresh: the list's callback decides whether the child
// comes back (TRUE: a new device for the same description) or is gone; the old device goes either way.
TEST_P(PdoReenumeration, TheListsCallbackDecidesWhetherTheChildComesBack) {
    const bool keep = GetParam();
    run([&] {
        startParent([keep](WDF_CHILD_LIST_CONFIG& config) {
            config.EvtChildListDeviceReenumerated = keep ? KeepOnReenumeration : DropOnReenumeration;
        });
        PDEVICE_OBJECT pdo = makeChild();
        ASSERT_NE(pdo, nullptr);
        WDFDEVICE old = childDevice(1);
        REENUMERATE_SELF_INTERFACE_STANDARD self{};
        ASSERT_EQ(send(pdo, IRP_MJ_PNP, IRP_MN_QUERY_INTERFACE,
                       [&](IO_STACK_LOCATION& s) {
                           s.Parameters.QueryInterface.InterfaceType =
                               &GUID_REENUMERATE_SELF_INTERFACE_STANDARD;
                           s.Parameters.QueryInterface.Size = sizeof self;
                           s.Parameters.QueryInterface.Version = 1;
                           s.Parameters.QueryInterface.Interface = reinterpret_cast<PINTERFACE>(&self);
                       })
                      .status,
                  STATUS_SUCCESS);
        ASSERT_NE(self.SurpriseRemoveAndReenumerateSelf, nullptr);
        takeChildEvents();
        unsigned before = zv::wdf::busRelationsNotifier().requests;
        self.SurpriseRemoveAndReenumerateSelf(self.Context);
        zv::sim::sleepFor(zv::sim::Time(1000));
        EXPECT_EQ(takeChildEvents(),
                  std::vector<std::string>{keep ? "reenumerated keep" : "reenumerated drop"});
        EXPECT_EQ(zv::wdf::busRelationsNotifier().requests, before + 1);

        // The old child is missing; a kept description is a new child.
        EXPECT_EQ(ports(enumerate()), keep ? std::vector<int>{1} : std::vector<int>{});
        EXPECT_EQ(takeChildEvents(),
                  keep ? std::vector<std::string>{"create 1"} : std::vector<std::string>{});
        EXPECT_EQ(pnpTo(pdo, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(zv::wdf::Device::fromHandle(old), nullptr);
        EXPECT_EQ(takeChildEvents(), std::vector<std::string>{"cleanup 1"});
        EXPECT_EQ(childDevice(1) != nullptr, keep);
    });
}

INSTANTIATE_TEST_SUITE_P(Answer, PdoReenumeration, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Keep" : "Drop"; });

} // namespace
