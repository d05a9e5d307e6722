// The deferred child enumeration between parents of one device instance (one instance number): a parent
// joins the driver's collection at hardware preparation and enumerates its children, or waits while an
// older parent of its instance exists; the older parent's cleanup hands the enumeration to the first
// twin waiting. Each case is a sequence of steps on named parents; an enumeration is seen as the
// collection of function descriptions it makes under the parent device, with the collection lock held.
#include "tests/bus/bus_fixture.h"

#include <cctype>
#include <map>
#include <optional>
#include <ostream>
#include <string>

namespace {

using zv::test::BusDriver;
using zv::test::frameworkFaults;
using zv::test::parentContext;

enum class Op {
    Add,      // the parent is added for device instance `instance`
    Prepare,  // hardware preparation, which must return `status`
    Restart,  // hardware release and preparation again (a stop and start)
    Remove,   // removed with nothing holding its device object: cleaned up
    FailEnum, // its next enumeration fails
    FailJoin, // its next WdfCollectionAdd fails
    Check,    // the state is `expect`
};

struct State {
    std::string members; // the collection, in index order
    std::string pending; // the members with EnumChildrenPending
    std::map<char, int> enumerations;
};

struct Step {
    Op op;
    char parent = 0;
    int instance = 0;
    NTSTATUS status = STATUS_SUCCESS;
    std::optional<State> expect = std::nullopt;
};

Step add(char p, int instance) {
    return {Op::Add, p, instance};
}
Step prepare(char p, NTSTATUS status = STATUS_SUCCESS) {
    return {Op::Prepare, p, 0, status};
}
Step restart(char p) {
    return {Op::Restart, p};
}
Step remove(char p) {
    return {Op::Remove, p};
}
Step failEnum(char p) {
    return {Op::FailEnum, p};
}
Step failJoin(char p) {
    return {Op::FailJoin, p};
}
Step check(State s) {
    return {Op::Check, 0, 0, STATUS_SUCCESS, std::move(s)};
}

constexpr NTSTATUS kFault = STATUS_INSUFFICIENT_RESOURCES;

struct DeferredCase {
    const char* name;
    std::vector<Step> steps;
};

void PrintTo(const DeferredCase& c, std::ostream* out) {
    *out << c.name;
}

const DeferredCase kCases[] = {
    {"different instance numbers each enumerate at preparation",
     {add('A', 1), add('B', 2), prepare('A'), prepare('B'), check({"AB", "", {{'A', 1}, {'B', 1}}})}},
    {"a twin waits until the older parent is cleaned up",
     {add('A', 1), prepare('A'), add('B', 1), prepare('B'), check({"AB", "B", {{'A', 1}, {'B', 0}}}),
      remove('A'), check({"B", "", {{'A', 1}, {'B', 1}}})}},
    {"of three twins only the first pending one is enumerated",
     {add('A', 1), prepare('A'), add('B', 1), prepare('B'), add('C', 1), prepare('C'),
      check({"ABC", "BC", {{'A', 1}, {'B', 0}, {'C', 0}}}), remove('A'),
      check({"BC", "C", {{'B', 1}, {'C', 0}}}), remove('B'), check({"C", "", {{'C', 1}}})}},
    {"a failing hand-over leaves the twin pending and tries the next",
     {add('A', 1), prepare('A'), add('B', 1), prepare('B'), add('C', 1), prepare('C'), failEnum('B'),
      remove('A'), check({"BC", "B", {{'B', 0}, {'C', 1}}})}},
    {"a twin whose hand-over failed waits for the next cleanup of its instance",
     {add('A', 1), prepare('A'), add('B', 1), prepare('B'), failEnum('B'), remove('A'),
      check({"B", "B", {{'B', 0}}}), add('C', 1), prepare('C'), check({"BC", "BC", {{'B', 0}, {'C', 0}}}),
      remove('C'), check({"B", "", {{'B', 1}}})}},
    {"a pending parent cleaned up simply leaves",
     {add('A', 1), prepare('A'), add('B', 1), prepare('B'), remove('B'),
      check({"A", "", {{'A', 1}, {'B', 0}}}), remove('A'), check({"", "", {{'A', 1}, {'B', 0}}})}},
    {"a pending twin leaving hands nothing over while the older one holds the children",
     {add('A', 1), prepare('A'), add('B', 1), prepare('B'), add('C', 1), prepare('C'), remove('B'),
      check({"AC", "C", {{'A', 1}, {'C', 0}}}), remove('A'), check({"C", "", {{'C', 1}}})}},
    {"a restart keeps the parent's turn and its one entry",
     {add('A', 1), prepare('A'), add('B', 1), prepare('B'), restart('A'), restart('B'),
      check({"AB", "B", {{'A', 2}, {'B', 0}}}), remove('A'), check({"B", "", {{'B', 1}}}), restart('B'),
      check({"B", "", {{'B', 2}}})}},
    {"a parent that failed to join is no member and blocks no twin",
     {add('A', 1), failJoin('A'), prepare('A', kFault), check({"", "", {{'A', 0}}}), add('B', 1),
      prepare('B'), check({"B", "", {{'B', 1}}}), remove('A'), check({"B", "", {{'A', 0}, {'B', 1}}})}},
    {"a parent whose own enumeration failed still hands over at its cleanup",
     {add('A', 1), failEnum('A'), prepare('A', kFault), check({"A", "", {{'A', 0}}}), add('B', 1),
      prepare('B'), check({"AB", "B", {{'B', 0}}}), remove('A'), check({"B", "", {{'B', 1}}})}},
};

class BusDeferredEnumerationTest : public zv::test::BusTest,
                                   public ::testing::WithParamInterface<DeferredCase> {};

std::u16string instancePath(int instance) {
    return u"USB\\VID_1A2B&PID_3C4D\\PHONE" + std::u16string(1, char16_t(u'0' + instance));
}

TEST_P(BusDeferredEnumerationTest, Runs) {
    const DeferredCase& c = GetParam();
    runInFiber([&] {
        BusDriver bus;
        ASSERT_EQ(bus.entryStatus(), STATUS_SUCCESS);
        std::map<char, WDFDEVICE> parents;
        auto nameOf = [&](WDFDEVICE device) {
            for (auto& [name, handle] : parents)
                if (handle == device)
                    return name;
            return '?';
        };
        auto enumerations = [&](char p) {
            int n = 0;
            for (const auto& call : frameworkFaults().callsOf("WdfCollectionCreate", parents[p]))
                n += call.failed ? 0 : 1;
            return n;
        };
        int index = 0;
        for (const Step& step : c.steps) {
            SCOPED_TRACE("step " + std::to_string(index++));
            switch (step.op) {
                case Op::Add:
                    parents[step.parent] = bus.add(instancePath(step.instance));
                    ASSERT_NE(parents[step.parent], nullptr);
                    break;
                case Op::Prepare:
                    EXPECT_EQ(bus.prepare(parents[step.parent]), step.status);
                    break;
                case Op::Restart:
                    EXPECT_EQ(bus.release(parents[step.parent]), STATUS_SUCCESS);
                    EXPECT_EQ(bus.prepare(parents[step.parent]), STATUS_SUCCESS);
                    break;
                case Op::Remove:
                    bus.remove(parents[step.parent]);
                    break;
                case Op::FailEnum:
                    frameworkFaults().fail("WdfCollectionCreate", kFault, parents[step.parent]);
                    break;
                case Op::FailJoin:
                    frameworkFaults().fail("WdfCollectionAdd", kFault, parents[step.parent]);
                    break;
                case Op::Check: {
                    const State& want = *step.expect;
                    std::string members, pending;
                    for (WDFDEVICE member : bus.members()) {
                        members += nameOf(member);
                        if (parentContext(member)->EnumChildrenPending)
                            pending += nameOf(member);
                    }
                    EXPECT_EQ(members, want.members);
                    EXPECT_EQ(pending, want.pending);
                    for (auto [p, n] : want.enumerations)
                        EXPECT_EQ(enumerations(p), n) << "enumerations of " << p;
                    break;
                }
            }
        }
        // Every enumeration, at preparation or at a hand-over, ran under the collection lock.
        for (const auto& call : frameworkFaults().calls()) {
            if (call.routine == "WdfCollectionCreate" && call.subject != bus.driver()) {
                EXPECT_TRUE(call.collectionLockHeld);
            }
        }
    });
}

INSTANTIATE_TEST_SUITE_P(Cases, BusDeferredEnumerationTest, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<DeferredCase>& info) {
                             std::string name;
                             for (const char* p = info.param.name; *p != '\0'; ++p)
                                 name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

} // namespace
