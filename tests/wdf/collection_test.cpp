// Collections: insertion order, removal by item and by index, the ends, and the references a collection
// holds on its items (an item deleted while in a collection is cleaned up but destroyed only when it
// leaves).
#include "tests/support/sim_test.h"
#include "tests/wdf/framework_test.h"

#include "platform/wdf/object.h"

#include <wdf.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using zv::test::attributesWithParent;

std::vector<std::string>* events = nullptr;

class CollectionTest : public zv::test::SimTest {
protected:
    void SetUp() override {
        SimTest::SetUp();
        events = &events_;
    }
    void TearDown() override {
        SimTest::TearDown();
        events = nullptr;
    }

    static WDFCOLLECTION makeCollection(WDFOBJECT parent = nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes = attributesWithParent(parent);
        WDFCOLLECTION c = nullptr;
        EXPECT_EQ(WdfCollectionCreate(&attributes, &c), STATUS_SUCCESS);
        return c;
    }
    // An item whose cleanup and destroy callbacks record themselves.
    static WDFOBJECT makeItem(WDFOBJECT parent = nullptr) {
        WDF_OBJECT_ATTRIBUTES attributes = attributesWithParent(parent);
        attributes.EvtCleanupCallback = [](WDFOBJECT) { events->push_back("cleanup"); };
        attributes.EvtDestroyCallback = [](WDFOBJECT) { events->push_back("destroy"); };
        WDFOBJECT o = nullptr;
        EXPECT_EQ(WdfObjectCreate(&attributes, &o), STATUS_SUCCESS);
        return o;
    }
    static std::vector<WDFOBJECT> contents(WDFCOLLECTION c) {
        std::vector<WDFOBJECT> items;
        for (ULONG i = 0; i < WdfCollectionGetCount(c); ++i)
            items.push_back(WdfCollectionGetItem(c, i));
        return items;
    }

    std::vector<std::string> events_;
};

using Items = std::vector<WDFOBJECT>;
using Events = std::vector<std::string>;

TEST_F(CollectionTest, KeepsInsertionOrderAndAnswersNullPastTheEnd) {
    runInFiber([&] {
        WDFCOLLECTION c = makeCollection();
        EXPECT_EQ(WdfCollectionGetFirstItem(c), nullptr);
        EXPECT_EQ(WdfCollectionGetLastItem(c), nullptr);
        EXPECT_EQ(WdfCollectionGetItem(c, 0), nullptr);

        WDFOBJECT a = makeItem(c), b = makeItem(c), d = makeItem(c);
        for (WDFOBJECT o : {a, b, d})
            ASSERT_EQ(WdfCollectionAdd(c, o), STATUS_SUCCESS);
        EXPECT_EQ(contents(c), (Items{a, b, d}));
        EXPECT_EQ(WdfCollectionGetFirstItem(c), a);
        EXPECT_EQ(WdfCollectionGetLastItem(c), d);
        EXPECT_EQ(WdfCollectionGetItem(c, 3), nullptr);
        EXPECT_EQ(WdfCollectionGetItem(c, 0xFFFFFFFFu), nullptr);
        WdfObjectDelete(c);
    });
}

TEST_F(CollectionTest, RemovesByItemTheFirstEntryAndByIndex) {
    runInFiber([&] {
        WDFCOLLECTION c = makeCollection();
        WDFOBJECT a = makeItem(c), b = makeItem(c), d = makeItem(c);
        for (WDFOBJECT o : {a, b, a, d})
            ASSERT_EQ(WdfCollectionAdd(c, o), STATUS_SUCCESS);
        WdfCollectionRemove(c, a);
        EXPECT_EQ(contents(c), (Items{b, a, d}));
        WdfCollectionRemoveItem(c, 1);
        EXPECT_EQ(contents(c), (Items{b, d}));
        WdfCollectionRemoveItem(c, 1);
        EXPECT_EQ(contents(c), (Items{b}));
        EXPECT_TRUE(events_.empty()) << "items parented to the collection live on after leaving it";
        WdfObjectDelete(c);
        EXPECT_EQ(events_, (Events{"cleanup", "cleanup", "cleanup", "destroy", "destroy", "destroy"}));
    });
}

TEST_F(CollectionTest, RemovingWhatIsNotThereIsReported) {
    runInFiber([&] {
        WDFCOLLECTION c = makeCollection();
        WDFOBJECT a = makeItem(c), b = makeItem(c);
        ASSERT_EQ(WdfCollectionAdd(c, a), STATUS_SUCCESS);
        WdfCollectionRemove(c, b);
        WdfCollectionRemoveItem(c, 1);
        EXPECT_EQ(contents(c), (Items{a}));
        WdfObjectDelete(c);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 2u);
}

TEST_F(CollectionTest, AnItemDeletedInsideIsCleanedUpButDestroyedOnlyWhenRemoved) {
    runInFiber([&] {
        WDFCOLLECTION c = makeCollection();
        WDFOBJECT item = makeItem();
        ASSERT_EQ(WdfCollectionAdd(c, item), STATUS_SUCCESS);
        WdfObjectDelete(item);
        EXPECT_EQ(events_, (Events{"cleanup"}));
        // Still an entry, handle and all: the collection's reference holds it.
        EXPECT_EQ(WdfCollectionGetFirstItem(c), item);
        WdfCollectionRemove(c, item);
        EXPECT_EQ(events_, (Events{"cleanup", "destroy"}));
        EXPECT_EQ(WdfCollectionGetCount(c), 0u);
        WdfObjectDelete(c);
    });
}

TEST_F(CollectionTest, DeletingTheCollectionDropsItsReferencesOnly) {
    runInFiber([&] {
        WDFCOLLECTION c = makeCollection();
        WDFOBJECT deleted = makeItem();
        WDFOBJECT kept = makeItem();
        ASSERT_EQ(WdfCollectionAdd(c, deleted), STATUS_SUCCESS);
        ASSERT_EQ(WdfCollectionAdd(c, kept), STATUS_SUCCESS);
        WdfObjectDelete(deleted);
        events_.clear();
        WdfObjectDelete(c);
        EXPECT_EQ(events_, (Events{"destroy"})) << "only the item already deleted goes with the collection";
        events_.clear();
        WdfObjectDelete(kept); // alive and usable
        EXPECT_EQ(events_, (Events{"cleanup", "destroy"}));
        EXPECT_EQ(zv::wdf::objects().liveCount(), 0u);
    });
}

TEST_F(CollectionTest, ACollectionCannotHoldItself) {
    runInFiber([&] {
        WDFCOLLECTION c = makeCollection();
        EXPECT_EQ(WdfCollectionAdd(c, c), STATUS_INVALID_PARAMETER);
        EXPECT_EQ(WdfCollectionGetCount(c), 0u);
        WdfObjectDelete(c);
    });
    EXPECT_EQ(expectViolation(zv::wdf::rule::kBadParameter).size(), 1u);
}

} // namespace
