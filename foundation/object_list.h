#pragma once
// TRV_ObjectList: an owning list. An entry is an object or empty (nullptr).
// Not thread-safe: a list belongs to the thread that uses it (normally the main thread).

#include <cstddef>
#include <memory>
#include <stdexcept>
#include <utility>
#include <vector>

namespace rv {

// Deleter used by a list to free its entries; a list of threads swaps in the thread deleter.
template <class T, class Deleter = std::default_delete<T>>
class TRV_ObjectList {
public:
    TRV_ObjectList() = default;
    TRV_ObjectList(const TRV_ObjectList&) = delete;
    TRV_ObjectList& operator=(const TRV_ObjectList&) = delete;
    // Frees every entry, last to first. A derived list's Clear override does not run here; a derived list
    // that needs it calls Clear in its own destructor.
    virtual ~TRV_ObjectList() { FreeAll(); }

    int Count() const { return static_cast<int>(FList.size()); }
    T* Items(int i) const { return FList.at(Check(i)); }
    T* operator[](int i) const { return Items(i); }
    // Replaces entry i without freeing the old one: the caller keeps whatever it held there.
    void SetItem(int i, T* item) { FList.at(Check(i)) = item; }

    // Add and Insert take ownership.
    int Add(T* item) {
        FList.push_back(item);
        return Count() - 1;
    }
    int Add(std::unique_ptr<T, Deleter> item) { return Add(item.release()); }
    void Insert(int i, T* item) {
        if (i < 0 || i > Count()) throw std::out_of_range("TRV_ObjectList: list index out of bounds");
        FList.insert(FList.begin() + i, item);
    }
    void Insert(int i, std::unique_ptr<T, Deleter> item) { Insert(i, item.release()); }

    int IndexOf(const T* item) const {
        for (int i = 0; i < Count(); ++i)
            if (FList[static_cast<size_t>(i)] == item) return i;
        return -1;
    }

    // Frees entry i (when not empty) and removes it. The entry leaves the list before it is freed, so an
    // entry's destructor never sees itself in the list.
    void Delete(int i) { Free(NoDestroyDelete(i)); }
    // Removes entry i without freeing it; ownership passes to the caller.
    T* NoDestroyDelete(int i) {
        T* item = FList.at(Check(i));
        FList.erase(FList.begin() + i);
        return item;
    }
    // Frees and removes Obj; returns its former index, or -1 when it is not in the list.
    int Remove(T* obj) {
        int i = IndexOf(obj);
        if (i >= 0) Delete(i);
        return i;
    }
    int NoDestroyRemove(T* obj) {
        int i = IndexOf(obj);
        if (i >= 0) NoDestroyDelete(i);
        return i;
    }
    // Frees every non-empty entry from the last to the first, then the list is empty.
    virtual void Clear() { FreeAll(); }
    void NoDestroyClear() { FList.clear(); }

    virtual std::unique_ptr<T, Deleter> ItemCreate() { return nullptr; }
    virtual bool CompareItemsLess(const T* /*a*/, const T* /*b*/) const { return false; }
    // Inserts before the first entry E with CompareItemsLess(item, E); equal items go after existing ones.
    virtual int InsertInSortedOrder(T* item) {
        for (int i = 0; i < Count(); ++i) {
            if (CompareItemsLess(item, FList[static_cast<size_t>(i)])) {
                Insert(i, item);
                return i;
            }
        }
        return Add(item);
    }
    int InsertInSortedOrder(std::unique_ptr<T, Deleter> item) { return InsertInSortedOrder(item.release()); }

    auto begin() const { return FList.begin(); }
    auto end() const { return FList.end(); }

protected:
    static void Free(T* item) {
        if (item) Deleter()(item);
    }

private:
    size_t Check(int i) const {
        if (i < 0 || i >= Count()) throw std::out_of_range("TRV_ObjectList: list index out of bounds");
        return static_cast<size_t>(i);
    }
    void FreeAll() {
        // One at a time from the end: an entry freed here may look at the list.
        while (!FList.empty()) {
            T* item = FList.back();
            FList.pop_back();
            Free(item);
        }
    }

    std::vector<T*> FList;
};

} // namespace rv
