// The create-device callback: called once per new child when the parent's bus relations are asked for, at
// PASSIVE_LEVEL, with a copy of the description and a fresh child's device-init record. A callback that
// fails (before or after making the device, or claiming success without one) leaves no child: what it made
// is deleted, the description stays pending, and the next enumeration tries again.
#include "tests/wdf/childlist_fixture.h"

#include <algorithm>
#include <ostream>

namespace {

using zv::test::childHooks;
using zv::test::ChildListTest;
using zv::test::describeChild;
using zv::test::TestChild;

enum class Fault { BeforeCreate, AfterCreate, SuccessWithoutDevice, NoDeviceId };

struct CreateCase {
    const char* name;
    Fault fault;
    std::vector<std::string> events; // of the failing enumeration
    std::string_view rule;           // reported, or empty
};

std::ostream& operator<<(std::ostream& os, const CreateCase& c) {
    return os << c.name;
}

class ChildCreateFailure : public ChildListTest, public ::testing::WithParamInterface<CreateCase> {};

TEST_P(ChildCreateFailure, LeavesNoChildAndIsTriedAgainAtTheNextEnumeration) {
    const CreateCase& c = GetParam();
    run([&] {
        startParent();
        bool failing = true;
        childHooks().replace = [&](WDFCHILDLIST, const TestChild& child, PWDFDEVICE_INIT init) -> NTSTATUS {
            if (!failing || child.Port != 2)
                return zv::test::child_callbacks::CreateChildDevice(child, init);
            switch (c.fault) {
                case Fault::BeforeCreate:
                    return STATUS_INSUFFICIENT_RESOURCES;
                case Fault::SuccessWithoutDevice:
                    return STATUS_SUCCESS; // claims a device it never made
                case Fault::NoDeviceId:
                    childHooks().configure = [](PWDFDEVICE_INIT record, const TestChild&) {
                        // A record without a device ID cannot become a child's device.
                        zv::wdf::DeviceInit::fromHandle(record, "test")->pdo().deviceId.reset();
                        return STATUS_SUCCESS;
                    };
                    break;
                case Fault::AfterCreate:
                    childHooks().created = [](WDFDEVICE, const TestChild&) {
                        return STATUS_DEVICE_DATA_ERROR;
                    };
                    break;
            }
            NTSTATUS status = zv::test::child_callbacks::CreateChildDevice(child, init);
            childHooks().configure = nullptr;
            childHooks().created = nullptr;
            return status;
        };
        TestChild one = describeChild(1);
        TestChild two = describeChild(2);
        scan({two, one});
        EXPECT_EQ(ports(enumerate()), std::vector<int>{1});
        EXPECT_EQ(takeChildEvents(), c.events);
        EXPECT_EQ(childDevice(2), nullptr);
        WDF_CHILD_RETRIEVE_INFO info;
        WDF_CHILD_RETRIEVE_INFO_INIT(&info, &two.Header);
        EXPECT_EQ(WdfChildListRetrieveDevice(list(), &info), nullptr);
        EXPECT_EQ(info.Status, WdfChildListRetrieveDeviceNotYetCreated);

        // The fault is gone: the next enumeration, with no scan in between, creates the child.
        failing = false;
        std::vector<int> seen = ports(enumerate());
        std::sort(seen.begin(), seen.end());
        EXPECT_EQ(seen, (std::vector<int>{1, 2}));
        EXPECT_EQ(takeChildEvents(), std::vector<std::string>{"create 2"});
        EXPECT_NE(childDevice(2), nullptr);
    });
    if (!c.rule.empty()) {
        EXPECT_EQ(expectViolation(c.rule).size(), 1u);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Faults, ChildCreateFailure,
    ::testing::Values(
        CreateCase{"FailsBeforeCreate", Fault::BeforeCreate, {"create 2", "create 1"}, {}},
        // What the callback made goes again: its cleanup runs.
        CreateCase{"FailsAfterCreate", Fault::AfterCreate, {"create 2", "cleanup 2", "create 1"}, {}},
        CreateCase{"SucceedsWithoutADevice",
                   Fault::SuccessWithoutDevice,
                   {"create 2", "create 1"},
                   zv::wdf::rule::kChildList},
        CreateCase{"NoDeviceId", Fault::NoDeviceId, {"create 2", "create 1"}, zv::wdf::rule::kBadParameter}),
    [](const auto& info) { return info.param.name; });

// The callback runs at PASSIVE_LEVEL once per new child, gets the description's bytes (a copy: what it
// writes there does not change the list's), and the record of a child.
TEST_F(ChildListTest, TheCallbackGetsACopyOfTheDescriptionAtPassiveLevel) {
    run([&] {
        startParent();
        TestChild reported = describeChild(4, 77, 0x11);
        std::vector<TestChild> seen;
        childHooks().configure = [&](PWDFDEVICE_INIT init, const TestChild& child) {
            seen.push_back(child);
            const_cast<TestChild&>(child).Serial = 0xdead; // the callback's copy only
            EXPECT_EQ(zv::wdf::DeviceInit::fromHandle(init, "test")->kind(), zv::wdf::DeviceInit::Kind::Pdo);
            return STATUS_SUCCESS;
        };
        scan({reported});
        enumerate();
        enumerate();
        ASSERT_EQ(seen.size(), 1u);
        EXPECT_EQ(std::memcmp(&seen[0], &reported, sizeof reported), 0);
        EXPECT_EQ(takeChildEvents(), std::vector<std::string>{"create 4"});
        EXPECT_EQ(scan({reported}), std::vector<NTSTATUS>{STATUS_OBJECT_NAME_EXISTS});

        TestChild back;
        WDF_CHILD_IDENTIFICATION_DESCRIPTION_HEADER_INIT(&back.Header, sizeof back);
        ASSERT_EQ(WdfPdoRetrieveIdentificationDescription(childDevice(4), &back.Header), STATUS_SUCCESS);
        EXPECT_EQ(std::memcmp(&back, &reported, sizeof back), 0);
        EXPECT_EQ(WdfPdoGetParent(childDevice(4)), device());
        EXPECT_EQ(WdfChildListGetDevice(list()), device());
    });
}

} // namespace
