#pragma once
// TRV_SmartStreamList: a record made of an ordered, owning list of item records of one class.
//
// List element encoding (inside the element's 32-bit byte count): the 32-bit number of entries, then for every
// entry its 32-bit size and the item as its SaveToStream writes it (nested items carry no check value or header
// under the default options). An empty entry is size 0 and reads back as an empty entry; the number written
// counts every entry, empty ones included, so that writer and reader always agree.
//
// Threads: as every record, one object is used by one thread at a time.

#include "foundation/object_list.h"
#include "stream/smart_stream.h"

#include <memory>

namespace rv {

class TRV_SmartStreamList : public TRV_SmartStream {
public:
    int Count() const { return FList.Count(); }
    int GetCount() const { return Count(); }
    // The entry at Index (nullptr for an empty entry); an index out of range raises std::out_of_range.
    TRV_SmartStream* GetItem(int Index) const { return FList.Items(Index); }
    TRV_SmartStream* Item(int Index) const { return GetItem(Index); }

    // Add and Insert take ownership; an entry may be empty. A record added must be fully constructed.
    virtual int Add(std::unique_ptr<TRV_SmartStream> V);
    int Add(TRV_SmartStream* V) { return Add(std::unique_ptr<TRV_SmartStream>(V)); }
    // Inserts before Index (0 to Count).
    virtual void Insert(int Index, std::unique_ptr<TRV_SmartStream> V);
    void Insert(int Index, TRV_SmartStream* V) { Insert(Index, std::unique_ptr<TRV_SmartStream>(V)); }
    // Frees the entry and removes it.
    virtual void Delete(int Index) { FList.Delete(Index); }
    // Removes the entry without freeing it; the caller owns it.
    virtual std::unique_ptr<TRV_SmartStream> NoDestroyDelete(int Index) {
        return std::unique_ptr<TRV_SmartStream>(FList.NoDestroyDelete(Index));
    }
    // Frees every entry, last to first, and empties the list. (Hides the record's Clear: on a list, Clear means
    // the entries. The record's own Clear is reached through a TRV_SmartStream reference.)
    virtual void Clear() { FList.Clear(); }
    // Empties the list without freeing; the entries must be owned elsewhere.
    virtual void NoDestroyClear() { FList.NoDestroyClear(); }
    // Inserts before the first entry E with CompareItemsLess(V, E) and returns the index; entries that compare
    // equal stay before V; with no such entry V is appended.
    virtual int InsertInSortedOrder(std::unique_ptr<TRV_SmartStream> V);
    // Stable insertion sort by CompareItemsLess.
    virtual void Sort();
    // Frees and removes V; returns its former index, or -1 (nothing freed) when V is not in the list.
    virtual int Remove(TRV_SmartStream* V) { return FList.Remove(V); }
    int IndexOf(const TRV_SmartStream* V) const { return FList.IndexOf(V); }

protected:
    // A new, empty item of the list's item class.
    virtual std::unique_ptr<TRV_SmartStream> CreateItem() = 0;
    // True when Item1 sorts before Item2. The base orders nothing.
    virtual bool CompareItemsLess(const TRV_SmartStream* Item1, const TRV_SmartStream* Item2) const;
    // Declares the list itself as the element; a derived list declares further elements after calling this.
    void AssignElements() override;

private:
    friend class TRV_SmartStream;
    TRV_ObjectList<TRV_SmartStream> FList;
};

// A list of items of class T: CreateItem makes a T and Item gives T*.
template <class T>
    requires std::derived_from<T, TRV_SmartStream>
class TRV_SmartStreamListOf : public TRV_SmartStreamList {
public:
    T* Item(int Index) const { return static_cast<T*>(GetItem(Index)); }
    using TRV_SmartStreamList::Add;
    int Add(std::unique_ptr<T> V) { return TRV_SmartStreamList::Add(std::unique_ptr<TRV_SmartStream>(std::move(V))); }

protected:
    std::unique_ptr<TRV_SmartStream> CreateItem() override { return MakeSmartStream<T>(); }
};

} // namespace rv
