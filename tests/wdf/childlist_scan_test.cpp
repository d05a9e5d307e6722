// Scans of a child list: what a report returns for a new, a known and a changed description (every byte
// counts, padding too, unless the list compares), which children the parent's bus relations hold after a
// scan, which create-device calls a scan leads to, and what happens to a child that is no longer reported.
#include "tests/wdf/childlist_fixture.h"

#include <algorithm>
#include <ostream>

namespace {

using zv::test::childHooks;
using zv::test::ChildListTest;
using zv::test::describeChild;
using zv::test::TestChild;

struct ScanCase {
    const char* name;
    std::vector<TestChild> second; // the scan after {1, 2} were created
    std::vector<NTSTATUS> statuses;
    std::vector<std::string> creates; // create-device calls of the enumeration after it
    std::vector<int> present;         // the ports in the bus relations after it
};

std::ostream& operator<<(std::ostream& os, const ScanCase& c) {
    return os << c.name;
}

class ChildListScan : public ChildListTest, public ::testing::WithParamInterface<ScanCase> {};

TEST_P(ChildListScan, ASecondScanKeepsAddsAndDropsChildrenByTheirBytes) {
    const ScanCase& c = GetParam();
    run([&] {
        startParent();
        EXPECT_EQ(scan({describeChild(1), describeChild(2)}),
                  (std::vector<NTSTATUS>{STATUS_SUCCESS, STATUS_SUCCESS}));
        EXPECT_EQ(ports(enumerate()), (std::vector<int>{1, 2}));
        EXPECT_EQ(takeChildEvents(), (std::vector<std::string>{"create 1", "create 2"}));

        EXPECT_EQ(scan(c.second), c.statuses);
        EXPECT_EQ(ports(enumerate()), c.present);
        EXPECT_EQ(takeChildEvents(), c.creates);
    });
}

INSTANTIATE_TEST_SUITE_P(
    Scans, ChildListScan,
    ::testing::Values(ScanCase{"Same",
                               {describeChild(1), describeChild(2)},
                               {STATUS_OBJECT_NAME_EXISTS, STATUS_OBJECT_NAME_EXISTS},
                               {},
                               {1, 2}},
                      ScanCase{"OneMissing", {describeChild(2)}, {STATUS_OBJECT_NAME_EXISTS}, {}, {2}},
                      ScanCase{"AllMissing", {}, {}, {}, {}},
                      ScanCase{"OneNew",
                               {describeChild(1), describeChild(2), describeChild(3)},
                               {STATUS_OBJECT_NAME_EXISTS, STATUS_OBJECT_NAME_EXISTS, STATUS_SUCCESS},
                               {"create 3"},
                               {1, 2, 3}},
                      // Only the padding differs: a new child, and the old one is missing.
                      ScanCase{"PaddingChanged",
                               {describeChild(1, 1000, 0x5a), describeChild(2)},
                               {STATUS_SUCCESS, STATUS_OBJECT_NAME_EXISTS},
                               {"create 1"},
                               {2, 1}},
                      ScanCase{"FieldChanged",
                               {describeChild(1, 2000), describeChild(2)},
                               {STATUS_SUCCESS, STATUS_OBJECT_NAME_EXISTS},
                               {"create 1"},
                               {2, 1}},
                      // A description reported twice in one scan is one child.
                      ScanCase{"ReportedTwice",
                               {describeChild(3), describeChild(3)},
                               {STATUS_SUCCESS, STATUS_OBJECT_NAME_EXISTS},
                               {"create 3"},
                               {3}}),
    [](const auto& info) { return info.param.name; });

// With a compare callback the list asks it instead of comparing bytes: a child whose padding changed is
// the same child.
BOOLEAN ComparePorts(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER a,
                     PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER b) {
    return CONTAINING_RECORD(a, TestChild, Header)->Port == CONTAINING_RECORD(b, TestChild, Header)->Port;
}

TEST_F(ChildListTest, ACompareCallbackDecidesWhatIsTheSameChild) {
    run([&] {
        startParent([](WDF_CHILD_LIST_CONFIG& config) {
            config.EvtChildListIdentificationDescriptionCompare = ComparePorts;
        });
        scan({describeChild(1)});
        ASSERT_EQ(ports(enumerate()), std::vector<int>{1});
        EXPECT_EQ(scan({describeChild(1, 1000, 0x77)}), std::vector<NTSTATUS>{STATUS_OBJECT_NAME_EXISTS});
        EXPECT_EQ(ports(enumerate()), std::vector<int>{1});
        EXPECT_EQ(takeChildEvents(), std::vector<std::string>{"create 1"});
    });
}

TEST_F(ChildListTest, ADescriptionOfAnotherSizeIsRefused) {
    run([&] {
        startParent();
        TestChild child = describeChild(1);
        child.Header.IdentificationDescriptionSize = sizeof(TestChild) - 4;
        WdfChildListBeginScan(list());
        EXPECT_EQ(WdfChildListAddOrUpdateChildDescriptionAsPresent(list(), &child.Header, nullptr),
                  STATUS_INVALID_PARAMETER);
        WdfChildListEndScan(list());
        EXPECT_TRUE(enumerate().empty());
        EXPECT_TRUE(takeChildEvents().empty());
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kChildList).size(), 1u);
}

// Every end of a scan asks Plug and Play to enumerate the parent; with no manager on this machine the
// requests are only counted.
TEST_F(ChildListTest, EveryEndOfAScanInvalidatesTheParentsBusRelations) {
    run([&] {
        startParent();
        unsigned before = zv::wdf::busRelationsNotifier().requests;
        scan({describeChild(1)});
        scan({describeChild(1)});
        scan({});
        EXPECT_EQ(zv::wdf::busRelationsNotifier().requests, before + 3);
    });
}

VOID CleanupDescription(WDFCHILDLIST, PWDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER header) {
    childHooks().events.push_back("description " +
                                  std::to_string(CONTAINING_RECORD(header, TestChild, Header)->Port));
}

// A missing child's device stays until Plug and Play removes it, and goes then (its cleanup runs, its
// description is cleaned up); a child still reported keeps its device across a removal, for its next
// start. A description that never got a device goes at the end of the scan that dropped it.
TEST_F(ChildListTest, AMissingChildGoesWhenPlugAndPlayRemovesItAPresentOneStays) {
    run([&] {
        startParent([](WDF_CHILD_LIST_CONFIG& config) {
            config.EvtChildListIdentificationDescriptionCleanup = CleanupDescription;
        });
        scan({describeChild(1), describeChild(2)});
        enumerate();
        PDEVICE_OBJECT one = childPdo(1);
        PDEVICE_OBJECT two = childPdo(2);
        ASSERT_NE(one, nullptr);
        ASSERT_NE(two, nullptr);
        for (PDEVICE_OBJECT pdo : {one, two})
            ASSERT_EQ(pnpTo(pdo, IRP_MN_START_DEVICE), STATUS_SUCCESS);
        takeChildEvents();

        scan({describeChild(1), describeChild(3)});
        // Child 3 was reported and dropped before any enumeration: its description goes at once.
        scan({describeChild(1)});
        EXPECT_EQ(takeChildEvents(), std::vector<std::string>{"description 3"});
        EXPECT_EQ(ports(enumerate()), std::vector<int>{1});
        EXPECT_NE(childDevice(2), nullptr) << "a missing child's device waits for its removal";

        TestChild two_ = describeChild(2);
        WDF_CHILD_RETRIEVE_INFO info;
        WDF_CHILD_RETRIEVE_INFO_INIT(&info, &two_.Header);
        EXPECT_EQ(WdfChildListRetrieveDevice(list(), &info), nullptr);
        EXPECT_EQ(info.Status, WdfChildListRetrieveDeviceNoSuchDevice);

        EXPECT_EQ(pnpTo(two, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
        EXPECT_EQ(pnpTo(two, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        std::vector<std::string> gone = takeChildEvents();
        std::sort(gone.begin(), gone.end());
        EXPECT_EQ(gone, (std::vector<std::string>{"cleanup 2", "description 2"}));
        EXPECT_EQ(childDevice(2), nullptr);

        // Removed while still reported (a disable): the device stays and starts again.
        EXPECT_EQ(pnpTo(one, IRP_MN_QUERY_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_EQ(pnpTo(one, IRP_MN_REMOVE_DEVICE), STATUS_SUCCESS);
        EXPECT_TRUE(takeChildEvents().empty());
        EXPECT_EQ(ports(enumerate()), std::vector<int>{1});
        EXPECT_EQ(childPdo(1), one);
        EXPECT_EQ(pnpTo(one, IRP_MN_START_DEVICE), STATUS_SUCCESS);
    });
}

// A scan's end with nothing reported, outside any enumeration: WdfChildListRetrieveDevice and an
// iteration see each child's state.
TEST_F(ChildListTest, RetrievalAndIterationSeeEachChildsState) {
    run([&] {
        startParent();
        scan({describeChild(1)});
        enumerate();
        scan({describeChild(1), describeChild(2)}); // 2 is reported, not yet created

        struct Lookup {
            UCHAR port;
            WDF_CHILD_LIST_RETRIEVE_DEVICE_STATUS status;
            bool device;
        };
        for (const Lookup& l : {Lookup{1, WdfChildListRetrieveDeviceSuccess, true},
                                Lookup{2, WdfChildListRetrieveDeviceNotYetCreated, false},
                                Lookup{9, WdfChildListRetrieveDeviceNoSuchDevice, false}}) {
            SCOPED_TRACE(int(l.port));
            TestChild wanted = describeChild(l.port);
            WDF_CHILD_RETRIEVE_INFO info;
            WDF_CHILD_RETRIEVE_INFO_INIT(&info, &wanted.Header);
            WDFDEVICE found = WdfChildListRetrieveDevice(list(), &info);
            EXPECT_EQ(info.Status, l.status);
            EXPECT_EQ(found, l.device ? childDevice(l.port) : nullptr);
        }

        struct Walk {
            ULONG flags;
            std::vector<int> ports;
        };
        for (const Walk& w : {Walk{WdfRetrievePresentChildren, {1}}, Walk{WdfRetrievePendingChildren, {2}},
                              Walk{WdfRetrieveAllChildren, {1, 2}}}) {
            SCOPED_TRACE(w.flags);
            WDF_CHILD_LIST_ITERATOR iterator;
            WDF_CHILD_LIST_ITERATOR_INIT(&iterator, w.flags);
            WdfChildListBeginIteration(list(), &iterator);
            std::vector<int> seen;
            TestChild each;
            WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&each.Header, sizeof each);
            WDF_CHILD_RETRIEVE_INFO info;
            WDF_CHILD_RETRIEVE_INFO_INIT(&info, &each.Header);
            WDFDEVICE device = nullptr;
            while (WdfChildListRetrieveNextDevice(list(), &iterator, &device, &info) == STATUS_SUCCESS)
                seen.push_back(each.Port);
            WdfChildListEndIteration(list(), &iterator);
            EXPECT_EQ(seen, w.ports);
        }
    });
}

} // namespace
