#include "foundation/object_list.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

// Records its destruction in a shared log, so tests see what was freed and in which order.
struct TItem {
    TItem(std::vector<int>* Log, int Value) : FLog(Log), FValue(Value) {}
    ~TItem() { FLog->push_back(FValue); }
    std::vector<int>* FLog;
    int FValue;
};

class TSortedList : public rv::TRV_ObjectList<TItem> {
public:
    bool CompareItemsLess(const TItem* a, const TItem* b) const override { return a->FValue < b->FValue; }
};

} // namespace

TEST(ObjectList, DeleteFreesAndNoDestroyDeleteOnlyRemoves) {
    std::vector<int> freed;
    rv::TRV_ObjectList<TItem> list;
    list.Add(new TItem(&freed, 1));
    list.Add(new TItem(&freed, 2));
    list.Add(nullptr); // an empty entry
    list.Delete(0);
    EXPECT_EQ(freed, std::vector<int>{1});
    TItem* kept = list.NoDestroyDelete(0);
    EXPECT_EQ(freed, std::vector<int>{1});
    EXPECT_EQ(list.Count(), 1);
    list.Delete(0); // empty entry: nothing to free
    EXPECT_EQ(list.Count(), 0);
    delete kept;
    EXPECT_EQ(freed, (std::vector<int>{1, 2}));
}

TEST(ObjectList, ClearFreesFromLastToFirstAndDestructorClears) {
    std::vector<int> freed;
    {
        rv::TRV_ObjectList<TItem> list;
        for (int i = 1; i <= 3; ++i) list.Add(new TItem(&freed, i));
        list.Clear();
        EXPECT_EQ(freed, (std::vector<int>{3, 2, 1}));
        EXPECT_EQ(list.Count(), 0);
        list.Add(new TItem(&freed, 9));
    }
    EXPECT_EQ(freed, (std::vector<int>{3, 2, 1, 9}));
}

TEST(ObjectList, RemoveReturnsFormerIndexOrMinusOne) {
    std::vector<int> freed;
    rv::TRV_ObjectList<TItem> list;
    auto* a = new TItem(&freed, 1);
    auto* b = new TItem(&freed, 2);
    list.Add(a);
    list.Add(b);
    EXPECT_EQ(list.Remove(b), 1);
    EXPECT_EQ(freed, std::vector<int>{2});
    TItem stranger(&freed, 7);
    EXPECT_EQ(list.Remove(&stranger), -1);
    EXPECT_EQ(list.NoDestroyRemove(a), 0);
    EXPECT_EQ(freed, std::vector<int>{2});
    EXPECT_EQ(list.NoDestroyRemove(a), -1);
    delete a;
}

TEST(ObjectList, SetItemReplacesWithoutFreeingAndNoDestroyClearFreesNothing) {
    std::vector<int> freed;
    TItem old(&freed, 1);
    TItem replacement(&freed, 2);
    rv::TRV_ObjectList<TItem> list;
    list.Add(&old);
    list.SetItem(0, &replacement);
    EXPECT_EQ(list[0], &replacement);
    EXPECT_TRUE(freed.empty());
    list.NoDestroyClear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_TRUE(freed.empty());
}

TEST(ObjectList, SortedInsertPutsEqualItemsAfterExistingOnes) {
    std::vector<int> freed;
    TSortedList list;
    struct Case {
        int Value;
        int ExpectedIndex;
    };
    // 5 -> [5]; 3 -> [3,5]; 5 -> [3,5,5'] (after the equal one); 4 -> [3,4,5,5']; 9 -> end; 0 -> front.
    for (Case c : {Case{5, 0}, Case{3, 0}, Case{5, 2}, Case{4, 1}, Case{9, 4}, Case{0, 0}}) {
        auto* item = new TItem(&freed, c.Value);
        EXPECT_EQ(list.InsertInSortedOrder(item), c.ExpectedIndex) << "value " << c.Value;
        EXPECT_EQ(list[c.ExpectedIndex], item);
    }
    std::vector<int> order;
    for (TItem* i : list) order.push_back(i->FValue);
    EXPECT_EQ(order, (std::vector<int>{0, 3, 4, 5, 5, 9}));
}

TEST(ObjectList, BaseListCreatesNothingAndCallsNothingLess) {
    std::vector<int> freed;
    rv::TRV_ObjectList<TItem> list;
    EXPECT_EQ(list.ItemCreate(), nullptr);
    TItem a(&freed, 1), b(&freed, 2);
    EXPECT_FALSE(list.CompareItemsLess(&a, &b));
    EXPECT_THROW(list.Delete(0), std::out_of_range);
}
