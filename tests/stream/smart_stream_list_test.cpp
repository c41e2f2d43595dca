#include "stream/multiplex_smart_stream.h"
#include "stream/smart_stream_list.h"

#include "stream/check_values.h"
#include "stream/little_endian.h"
#include "tests/stream/test_records.h"

#include <gtest/gtest.h>

using namespace test_records;
using rv::MakeSmartStream;
using rv::TRV_Constructed;

namespace {

// An item with one 32-bit integer that counts the live instances.
class TCounted : public rv::TRV_SmartStream {
public:
    static inline int Alive = 0;
    int32_t V = 0;
    TCounted() { ++Alive; }
    ~TCounted() override { --Alive; }

protected:
    void AssignElements() override {
        TRV_SmartStream::AssignElements();
        AddLongInt(V);
    }
};

class TCountedList : public rv::TRV_SmartStreamListOf<TCounted> {};

// Orders by V.
class TSortedList : public rv::TRV_SmartStreamListOf<TCounted> {
protected:
    bool CompareItemsLess(const rv::TRV_SmartStream* a, const rv::TRV_SmartStream* b) const override {
        return static_cast<const TCounted*>(a)->V < static_cast<const TCounted*>(b)->V;
    }
};

std::unique_ptr<TCounted> Item(int32_t V) {
    auto p = MakeSmartStream<TCounted>();
    p->V = V;
    return p;
}

// The bytes after the check value and the header.
Bytes Body(rv::TRV_SmartStream& R) {
    Bytes all = Written(R);
    EXPECT_EQ(rv::GetLE<uint32_t>(all.data()), rv::Crc32OfBuffer(all.data() + 4, all.size() - 4));
    EXPECT_EQ(all[4], 2);
    EXPECT_EQ(all[5], 2);
    return Bytes(all.begin() + 6, all.end());
}

// A whole record from its body: check value, header, body.
Bytes Framed(const Bytes& Body) {
    Bytes out = Concat({Hex("00 00 00 00 02 02"), Body});
    rv::PutLE<uint32_t>(out.data(), rv::Crc32OfBuffer(out.data() + 4, out.size() - 4));
    return out;
}

std::vector<int32_t> Values(const TCountedList& L) {
    std::vector<int32_t> out;
    for (int i = 0; i < L.Count(); ++i) out.push_back(L.Item(i) ? L.Item(i)->V : -1);
    return out;
}

} // namespace

TEST(SmartStreamList, EmptyListElement) {
    TRV_Constructed<TCountedList> list;
    EXPECT_EQ(Body(list), Hex("04 00 00 00 00 00 00 00"));
    list.Add(Item(1));
    EXPECT_TRUE(ReadFrom(list, Framed(Hex("04 00 00 00 00 00 00 00"))));
    EXPECT_EQ(list.Count(), 0);
}

TEST(SmartStreamList, TwoItemsOnTheWireAndBack) {
    TRV_Constructed<TCountedList> list;
    list.Add(Item(10));
    list.Add(Item(11));
    const Bytes body = Hex("14 00 00 00  02 00 00 00  04 00 00 00 0a 00 00 00  04 00 00 00 0b 00 00 00");
    EXPECT_EQ(Body(list), body);

    TRV_Constructed<TCountedList> back;
    EXPECT_TRUE(ReadFrom(back, Framed(body)));
    EXPECT_EQ(Values(back), (std::vector<int32_t>{10, 11}));
    EXPECT_TRUE(back.Item(0)->SubStreamingWriteCrcAndHeaderEnabled); // restored after the item's read
}

TEST(SmartStreamList, ReadingFreesTheEntriesItReplaces) {
    TRV_Constructed<TCountedList> list;
    for (int i = 0; i < 3; ++i) list.Add(Item(i));
    const int before = TCounted::Alive;
    EXPECT_TRUE(ReadFrom(list, Framed(Hex("0c 00 00 00 01 00 00 00 04 00 00 00 07 00 00 00"))));
    EXPECT_EQ(Values(list), std::vector<int32_t>{7});
    EXPECT_EQ(TCounted::Alive, before - 2);
}

TEST(SmartStreamList, EmptyEntriesAreCountedSoWriterAndReaderAgree) {
    TRV_Constructed<TCountedList> list;
    list.Add(Item(1));
    list.Add(static_cast<rv::TRV_SmartStream*>(nullptr));
    list.Add(Item(3));
    const Bytes body = Hex("18 00 00 00  03 00 00 00  04 00 00 00 01 00 00 00  00 00 00 00  04 00 00 00 03 00 00 00");
    EXPECT_EQ(Body(list), body);
    TRV_Constructed<TCountedList> back;
    EXPECT_TRUE(ReadFrom(back, Framed(body)));
    EXPECT_EQ(Values(back), (std::vector<int32_t>{1, -1, 3}));
}

TEST(SmartStreamList, EntriesAreRealignedToTheirAnnouncedEndAndBoundedByTheElement) {
    TRV_Constructed<TCountedList> list;
    // The first entry announces 8 bytes but its item reads 4: the second entry starts at the announced end.
    EXPECT_TRUE(ReadFrom(list, Framed(Hex("18 00 00 00 02 00 00 00 08 00 00 00 05 00 00 00 ff ff ff ff "
                                          "04 00 00 00 06 00 00 00"))));
    EXPECT_EQ(Values(list), (std::vector<int32_t>{5, 6}));

    // An entry that announces more than the element holds is damage, yet nothing runs past the element.
    int32_t after = 0;
    TRV_Constructed<TProbe> p([&](TProbe& q) {
        q.AddSmartStreamList(list);
        q.AddLongInt(after);
    });
    EXPECT_FALSE(ReadFrom(p, Framed(Hex("0c 00 00 00 01 00 00 00 ff 00 00 00 09 00 00 00 2a 00 00 00"))));
    EXPECT_EQ(after, 42);

    // A count far beyond the entries present ends with the data, as damage.
    EXPECT_FALSE(ReadFrom(list, Framed(Hex("0c 00 00 00 ff ff ff ff 04 00 00 00 01 00 00 00"))));
    EXPECT_EQ(Values(list), std::vector<int32_t>{1});
}

TEST(SmartStreamList, BaseOrderAppendsAndSortKeepsTheOrder) {
    TRV_Constructed<TCountedList> list;
    list.Add(Item(3));
    list.Add(Item(1));
    EXPECT_EQ(list.InsertInSortedOrder(Item(2)), 2);
    list.Sort();
    EXPECT_EQ(Values(list), (std::vector<int32_t>{3, 1, 2}));
}

TEST(SmartStreamList, SortIsStableAndInsertInSortedOrderGoesAfterEqualEntries) {
    TRV_Constructed<TSortedList> list;
    // Two entries of value 2 told apart by identity.
    auto a = Item(2);
    auto b = Item(2);
    TCounted* first = a.get();
    TCounted* second = b.get();
    list.Add(Item(5));
    list.Add(std::move(a));
    list.Add(Item(1));
    list.Add(std::move(b));
    list.Sort();
    ASSERT_EQ(list.Count(), 4);
    EXPECT_EQ(list.Item(0)->V, 1);
    EXPECT_EQ(list.Item(1), first);
    EXPECT_EQ(list.Item(2), second);
    EXPECT_EQ(list.Item(3)->V, 5);

    auto c = Item(2);
    TCounted* third = c.get();
    EXPECT_EQ(list.InsertInSortedOrder(std::move(c)), 3);
    EXPECT_EQ(list.Item(3), third);
    EXPECT_EQ(list.InsertInSortedOrder(Item(0)), 0);
    EXPECT_EQ(list.InsertInSortedOrder(Item(9)), 6);
}

TEST(SmartStreamList, RemoveDeleteAndTheNoDestroyOperations) {
    TRV_Constructed<TCountedList> list;
    for (int i = 0; i < 4; ++i) list.Add(Item(i));
    const int alive = TCounted::Alive;

    auto stranger = Item(99);
    EXPECT_EQ(list.Remove(stranger.get()), -1);
    EXPECT_EQ(TCounted::Alive, alive + 1); // nothing freed

    EXPECT_EQ(list.Remove(list.Item(1)), 1);
    EXPECT_EQ(TCounted::Alive, alive);
    list.Delete(0);
    EXPECT_EQ(TCounted::Alive, alive - 1);
    std::unique_ptr<rv::TRV_SmartStream> kept = list.NoDestroyDelete(0);
    EXPECT_EQ(TCounted::Alive, alive - 1);
    list.Insert(0, std::move(kept));
    EXPECT_EQ(Values(list), (std::vector<int32_t>{2, 3}));
    EXPECT_THROW(list.Insert(5, Item(1)), std::out_of_range);
    EXPECT_THROW(list.Item(2), std::out_of_range);

    list.Clear();
    EXPECT_EQ(list.Count(), 0);
    EXPECT_EQ(TCounted::Alive, alive - 3);

    // An entry must be fully constructed.
    EXPECT_THROW(list.Add(std::make_unique<TCounted>()), std::logic_error);
}

// ---- multiplex ---------------------------------------------------------------------------------------------------

namespace {

class TEmptyItem : public rv::TRV_SmartStream {};

// 0 and 1: TCounted; 2: TIntStr; 9: none (unsupported); 10: a multiplex; anything else: an item without
// elements.
class TTestMux : public rv::TRV_MultiplexSmartStream {
protected:
    std::unique_ptr<rv::TRV_SmartStream> CreateMultiStreamItem(uint16_t V) override {
        switch (V) {
        case 0:
        case 1:
            return std::make_unique<TCounted>();
        case 2:
            return MakeSmartStream<TIntStr>();
        case 9:
            return nullptr;
        case 10:
            return std::make_unique<TTestMux>(); // multiplexes nest
        default:
            return std::make_unique<TEmptyItem>();
        }
    }
};

} // namespace

TEST(MultiplexSmartStream, WrittenWithoutATypeIsTypeZero) {
    TRV_Constructed<TTestMux> mux;
    EXPECT_EQ(mux.si(), nullptr);
    EXPECT_EQ(Body(mux), Hex("00 00  04 00 00 00 00 00 00 00"));
    ASSERT_NE(mux.si(), nullptr);
    EXPECT_EQ(mux.StreamItemType(), 0);
    EXPECT_NE(dynamic_cast<TCounted*>(mux.si()), nullptr);
}

TEST(MultiplexSmartStream, TypeCodeThenTheItemsElementsOnly) {
    TRV_Constructed<TTestMux> mux;
    mux.SetStreamItemType(2);
    auto* item = dynamic_cast<TIntStr*>(mux.si());
    ASSERT_NE(item, nullptr);
    EXPECT_FALSE(item->StreamCRC());
    EXPECT_FALSE(item->StreamHeader());
    EXPECT_EQ(item->MultiStreamType(), 2);
    item->V = 1;
    item->S = "abc";
    const Bytes body = Hex("02 00  0c 00 00 00 01 00 00 00 04 00 00 00 61 62 63 00");
    EXPECT_EQ(Body(mux), body);

    TRV_Constructed<TTestMux> back;
    EXPECT_TRUE(ReadFrom(back, Framed(body)));
    auto* got = dynamic_cast<TIntStr*>(back.si());
    ASSERT_NE(got, nullptr);
    EXPECT_EQ(got->S, "abc");
}

TEST(MultiplexSmartStream, SelectingTypesKeepsOrReplacesTheItem) {
    TRV_Constructed<TTestMux> mux;
    mux.SetStreamItemType(1);
    auto* first = static_cast<TCounted*>(mux.si());
    first->V = 5;
    mux.SetStreamItemType(1);
    EXPECT_EQ(mux.si(), first);
    EXPECT_EQ(first->V, 5);

    const int alive = TCounted::Alive;
    mux.SetStreamItemType(2);
    EXPECT_EQ(TCounted::Alive, alive - 1);

    // Reading the same code twice reuses the item; another code replaces it.
    const Bytes type1 = Framed(Hex("01 00 04 00 00 00 07 00 00 00"));
    EXPECT_TRUE(ReadFrom(mux, type1));
    rv::TRV_SmartStream* reused = mux.si();
    EXPECT_EQ(static_cast<TCounted*>(reused)->V, 7);
    EXPECT_TRUE(ReadFrom(mux, Framed(Hex("01 00 04 00 00 00 08 00 00 00"))));
    EXPECT_EQ(mux.si(), reused);
    EXPECT_EQ(static_cast<TCounted*>(reused)->V, 8);
    const int before = TCounted::Alive;
    EXPECT_TRUE(ReadFrom(mux, Framed(Hex("07 00 00 00 00 00"))));
    EXPECT_EQ(TCounted::Alive, before - 1);
    EXPECT_EQ(mux.StreamItemType(), 7);
    EXPECT_NE(dynamic_cast<TEmptyItem*>(mux.si()), nullptr);
}

TEST(MultiplexSmartStream, UnsupportedTypeStopsAfterTheTypeCode) {
    TRV_Constructed<TTestMux> mux;
    EXPECT_TRUE(ReadFrom(mux, Framed(Hex("09 00 04 00 00 00 07 00 00 00"))));
    EXPECT_EQ(mux.StreamItemType(), 9);
    EXPECT_EQ(mux.si(), nullptr);
}

TEST(MultiplexSmartStream, DataEndingBeforeTheTypeCodeSelectsTypeZeroAndClearsItsItem) {
    TRV_Constructed<TTestMux> mux;
    mux.SetStreamItemType(0);
    rv::TRV_SmartStream* item = mux.si();
    static_cast<TCounted*>(item)->V = 3;
    EXPECT_TRUE(ReadFrom(mux, Framed(Hex("05"))));
    EXPECT_EQ(mux.StreamItemType(), 0);
    EXPECT_EQ(mux.si(), item);
    EXPECT_EQ(static_cast<TCounted*>(item)->V, 0);

    mux.SetStreamItemType(2);
    EXPECT_TRUE(ReadFrom(mux, {}));
    EXPECT_EQ(mux.StreamItemType(), 0);
    EXPECT_NE(dynamic_cast<TCounted*>(mux.si()), nullptr);
}

// An item that is itself a multiplex overwrites its own type code when it reads; the outer multiplex still
// knows which type its item was made for.
TEST(MultiplexSmartStream, NestedMultiplexItemIsNotMistakenForAnotherType) {
    TRV_Constructed<TTestMux> mux;
    EXPECT_TRUE(ReadFrom(mux, Framed(Hex("0a 00 0a 00 00 00 01 00 04 00 00 00 07 00 00 00"))));
    auto* inner = dynamic_cast<TTestMux*>(mux.si());
    ASSERT_NE(inner, nullptr);
    EXPECT_EQ(inner->StreamItemType(), 1);
    EXPECT_EQ(static_cast<TCounted*>(inner->si())->V, 7);

    EXPECT_TRUE(ReadFrom(mux, Framed(Hex("01 00 04 00 00 00 08 00 00 00"))));
    auto* item = dynamic_cast<TCounted*>(mux.si());
    ASSERT_NE(item, nullptr);
    EXPECT_EQ(item->V, 8);
}
