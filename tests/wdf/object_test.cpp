// The object layer: deletion order of a tree, references held past deletion, contexts (zero-filled, typed,
// added later), and every verifier rule of handle resolution caught by a minimal misuse.
#include "tests/support/sim_test.h"
#include "tests/wdf/framework_test.h"

#include "platform/wdf/object.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

using zv::test::attributesWithParent;

struct NAMED_CONTEXT {
    char Name[8];
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(NAMED_CONTEXT, GetNamed)

struct OTHER_CONTEXT {
    ULONG Value;
};
WDF_DECLARE_CONTEXT_TYPE_WITH_NAME(OTHER_CONTEXT, GetOther)

// Callbacks are plain functions, so the record they write to is reached through this pointer, set by the
// fixture for the length of one test.
std::vector<std::string>* events = nullptr;

void recordCleanup(WDFOBJECT object) {
    events->push_back(std::string("cleanup ") + GetNamed(object)->Name);
}
void recordDestroy(WDFOBJECT object) {
    events->push_back(std::string("destroy ") + GetNamed(object)->Name);
}

class ObjectTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        events = &events_;
    }
    void TearDown() override {
        SimTest::TearDown();
        events = nullptr;
    }

    // An object with a NAMED_CONTEXT called `name` and both callbacks recording.
    static WDFOBJECT named(const char* name, WDFOBJECT parent = nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NAMED_CONTEXT);
        attributes.ParentObject = parent;
        attributes.EvtCleanupCallback = recordCleanup;
        attributes.EvtDestroyCallback = recordDestroy;
        WDFOBJECT object = nullptr;
        EXPECT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        std::strncpy(GetNamed(object)->Name, name, sizeof(NAMED_CONTEXT::Name) - 1);
        return object;
    }

    std::vector<std::string> events_;
};

using Events = std::vector<std::string>;

// a
// +- b
// |  +- d
// +- c
TEST_F(ObjectTest, DeletingATreeCleansUpChildrenFirstThenDestroysAsReferencesGo) {
    runInFiber([&] {
        WDFOBJECT a = named("a");
        WDFOBJECT b = named("b", a);
        named("d", b);
        named("c", a);
        WdfObjectDelete(a);
        // Siblings go newest first, as later objects may depend on earlier ones.
        EXPECT_EQ(events_, (Events{"cleanup c", "cleanup d", "cleanup b", "cleanup a", "destroy c",
                                   "destroy d", "destroy b", "destroy a"}));
        EXPECT_EQ(zv::wdf::objects().liveCount(), 0u);
    });
}

TEST_F(ObjectTest, AReferenceHeldPastDeleteKeepsTheHandleAndDelaysDestroyUpTheChain) {
    runInFiber([&] {
        WDFOBJECT a = named("a");
        WDFOBJECT b = named("b", a);
        WDFOBJECT d = named("d", b);
        named("c", a);
        WdfObjectReference(d);
        WdfObjectDelete(a);
        EXPECT_EQ(events_, (Events{"cleanup c", "cleanup d", "cleanup b", "cleanup a", "destroy c"}));

        // The context of a deleted object stays readable while a reference holds it.
        ASSERT_NE(GetNamed(d), nullptr);
        EXPECT_STREQ(GetNamed(d)->Name, "d");
        events_.clear();
        WdfObjectDereference(d);
        // d's parent chain was kept alive by d; it goes with it, child first.
        EXPECT_EQ(events_, (Events{"destroy d", "destroy b", "destroy a"}));
        EXPECT_EQ(zv::wdf::objects().liveCount(), 0u);
    });
}

TEST_F(ObjectTest, DeletingAChildAloneLeavesTheParentAndIsNotRepeatedWithIt) {
    runInFiber([&] {
        WDFOBJECT a = named("a");
        WDFOBJECT b = named("b", a);
        WdfObjectDelete(b);
        EXPECT_EQ(events_, (Events{"cleanup b", "destroy b"}));
        events_.clear();
        WdfObjectDelete(a);
        EXPECT_EQ(events_, (Events{"cleanup a", "destroy a"}));
    });
}

void createChildDuringCleanup(WDFOBJECT object) {
    WDF_OBJECT_ATTRIBUTES attributes = attributesWithParent(object);
    WDFOBJECT child = nullptr;
    events->push_back(WdfObjectCreate(&attributes, &child) == STATUS_DELETE_PENDING ? "refused" : "created");
}

TEST_F(ObjectTest, AnObjectBeingDeletedRefusesNewChildren) {
    runInFiber([&] {
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT(&attributes);
        attributes.EvtCleanupCallback = createChildDuringCleanup;
        WDFOBJECT object = nullptr;
        ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        WdfObjectDelete(object);
        EXPECT_EQ(events_, (Events{"refused"}));
        EXPECT_EQ(zv::wdf::objects().liveCount(), 0u);
    });
}

TEST_F(ObjectTest, ContextsAreZeroFilledIncludingASizeOverride) {
    runInFiber([&] {
        constexpr size_t kOverride = 4096;
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, OTHER_CONTEXT);
        attributes.ContextSizeOverride = kOverride;
        WDFOBJECT object = nullptr;
        ASSERT_EQ(WdfObjectCreate(&attributes, &object), STATUS_SUCCESS);
        auto* bytes = reinterpret_cast<const unsigned char*>(GetOther(object));
        ASSERT_NE(bytes, nullptr);
        std::vector<unsigned char> zeros(kOverride, 0);
        EXPECT_EQ(std::memcmp(bytes, zeros.data(), kOverride), 0);
        WdfObjectDelete(object);
    });
}

TEST_F(ObjectTest, AContextAddedLaterHasItsOwnCallbacksAndCannotBeAddedTwice) {
    runInFiber([&] {
        WDFOBJECT object = named("x");
        WDF_OBJECT_ATTRIBUTES attributes;
        WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, OTHER_CONTEXT);
        attributes.EvtCleanupCallback = [](WDFOBJECT o) {
            events->push_back("other cleanup " + std::to_string(GetOther(o)->Value));
        };
        PVOID first = nullptr;
        ASSERT_EQ(WdfObjectAllocateContext(object, &attributes, &first), STATUS_SUCCESS);
        ASSERT_EQ(first, GetOther(object));
        EXPECT_EQ(GetOther(object)->Value, 0u);
        GetOther(object)->Value = 7;

        PVOID again = nullptr;
        EXPECT_EQ(WdfObjectAllocateContext(object, &attributes, &again), STATUS_OBJECT_NAME_EXISTS);
        EXPECT_EQ(again, first);
        WdfObjectDelete(object);
        EXPECT_EQ(events_, (Events{"cleanup x", "other cleanup 7", "destroy x"}));
    });
}

// A misuse the verifier must report, with the rule it is reported under.
struct Misuse {
    const char* name;
    std::string_view rule;
    std::function<void()> commit;
};

void PrintTo(const Misuse& m, std::ostream* os) {
    *os << m.name;
}

class ObjectMisuseTest : public zv::test::SimTest, public ::testing::WithParamInterface<Misuse> {};

WDFOBJECT plainObject() {
    WDFOBJECT object = nullptr;
    EXPECT_EQ(WdfObjectCreate(WDF_NO_OBJECT_ATTRIBUTES, &object), STATUS_SUCCESS);
    return object;
}

WDFCOLLECTION collection() {
    WDFCOLLECTION c = nullptr;
    EXPECT_EQ(WdfCollectionCreate(WDF_NO_OBJECT_ATTRIBUTES, &c), STATUS_SUCCESS);
    return c;
}

const Misuse kMisuses[] = {
    {"NullHandle", zv::wdf::rule::kInvalidHandle, [] { WdfObjectDelete(nullptr); }},
    {"MadeUpHandle", zv::wdf::rule::kInvalidHandle,
     [] { EXPECT_EQ(WdfCollectionGetCount(reinterpret_cast<WDFCOLLECTION>(0x1234)), 0u); }},
    {"DeletedHandle", zv::wdf::rule::kDeletedObject,
     [] {
         WDFCOLLECTION c = collection();
         WdfObjectDelete(c);
         EXPECT_EQ(WdfCollectionAdd(c, plainObject()), STATUS_INVALID_HANDLE);
     }},
    {"DeletedTwice", zv::wdf::rule::kDeletedObject,
     [] {
         WDFOBJECT o = plainObject();
         WdfObjectDelete(o);
         WdfObjectDelete(o);
     }},
    {"UsedAfterDeleteWhileReferenced", zv::wdf::rule::kDeletedObject,
     [] {
         WDFCOLLECTION c = collection();
         WdfObjectReference(c);
         WdfObjectDelete(c);
         EXPECT_EQ(WdfCollectionGetCount(c), 0u);
         WdfObjectDereference(c);
     }},
    {"WrongType", zv::wdf::rule::kWrongHandleType,
     [] {
         WDFOBJECT o = plainObject();
         EXPECT_EQ(WdfCollectionGetFirstItem(static_cast<WDFCOLLECTION>(o)), nullptr);
         WdfObjectDelete(o);
     }},
    {"ContextOfAnotherType", zv::wdf::rule::kContextMismatch,
     [] {
         WDFOBJECT o = plainObject();
         EXPECT_EQ(GetNamed(o), nullptr);
         WdfObjectDelete(o);
     }},
    {"DereferenceBelowTheCreationReference", zv::wdf::rule::kReferenceUnderflow,
     [] {
         WDFOBJECT o = plainObject();
         WdfObjectDereference(o);
         WdfObjectDelete(o); // still alive: the bad dereference was refused
     }},
    {"DereferenceWithAnUnknownTag", zv::wdf::rule::kReferenceTag,
     [] {
         int tagA = 0, tagB = 0;
         WDFOBJECT o = plainObject();
         WdfObjectReferenceWithTag(o, &tagA);
         WdfObjectDereferenceWithTag(o, &tagB);
         WdfObjectDereferenceWithTag(o, &tagA);
         WdfObjectDelete(o);
     }},
    {"AttributesNotInitialised", zv::wdf::rule::kBadParameter,
     [] {
         WDF_OBJECT_ATTRIBUTES attributes{};
         WDFOBJECT o = nullptr;
         EXPECT_EQ(WdfObjectCreate(&attributes, &o), STATUS_INVALID_PARAMETER);
         EXPECT_EQ(o, nullptr);
     }},
    {"ContextSizeOverrideTooSmall", zv::wdf::rule::kBadParameter,
     [] {
         WDF_OBJECT_ATTRIBUTES attributes;
         WDF_OBJECT_ATTRIBUTES_INIT_CONTEXT_TYPE(&attributes, NAMED_CONTEXT);
         attributes.ContextSizeOverride = 1;
         WDFOBJECT o = nullptr;
         EXPECT_EQ(WdfObjectCreate(&attributes, &o), STATUS_INVALID_PARAMETER);
     }},
    {"ParentThatIsNotAHandle", zv::wdf::rule::kInvalidHandle,
     [] {
         WDF_OBJECT_ATTRIBUTES attributes = attributesWithParent(reinterpret_cast<WDFOBJECT>(0x99));
         WDFOBJECT o = nullptr;
         EXPECT_EQ(WdfObjectCreate(&attributes, &o), STATUS_INVALID_HANDLE);
     }},
};

TEST_P(ObjectMisuseTest, IsReportedAndSurvived) {
    runInFiber(GetParam().commit);
    EXPECT_EQ(expectViolation(GetParam().rule).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Rules, ObjectMisuseTest, ::testing::ValuesIn(kMisuses),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(ObjectTest, AReportNamesTheObjectAndTheRoutine) {
    runInFiber([&] {
        WDFOBJECT o = plainObject();
        WdfObjectDelete(o);
        WdfObjectDelete(o);
    });
    auto reports = expectViolation(zv::wdf::rule::kDeletedObject);
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0].routine, "WdfObjectDelete");
    EXPECT_EQ(reports[0].object.rfind("WDFOBJECT 0x", 0), 0u) << reports[0].object;
}

TEST_F(ObjectTest, ACallbackReturningWithALockHeldOrIrqlChangedIsReported) {
    runInFiber([&] {
        WDFOBJECT o = plainObject();
        auto* object = zv::wdf::objects().find(o);
        zv::sim::Lock lock(zv::sim::Lock::Kind::Spin, "driver's lock");
        zv::wdf::invokeCallback(object, "EvtSomething", [&] { lock.acquire(); });
        lock.release();
        zv::wdf::invokeCallback(object, "EvtOther",
                                [&] { zv::sim::Scheduler::current()->setIrql(zv::sim::Irql::Dispatch); });
        zv::sim::Scheduler::current()->setIrql(zv::sim::Irql::Passive);
        WdfObjectDelete(o);
    });
    auto held = expectViolation(zv::sim::rule::kLockHeldOnReturn);
    ASSERT_EQ(held.size(), 1u);
    EXPECT_EQ(held[0].routine, "EvtSomething");
    EXPECT_NE(held[0].detail.find("driver's lock"), std::string::npos) << held[0].detail;
    auto irql = expectViolation(zv::sim::rule::kIrqlMisuse);
    ASSERT_EQ(irql.size(), 1u);
    EXPECT_EQ(irql[0].routine, "EvtOther");
}

} // namespace
