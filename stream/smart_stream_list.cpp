#include "stream/smart_stream_list.h"

#include <stdexcept>

namespace rv {

namespace {
void RequireReady(const TRV_SmartStream* V) {
    if (V && !V->IsConstructed())
        throw std::logic_error("TRV_SmartStreamList: an entry must be fully constructed (use MakeSmartStream)");
}
} // namespace

void TRV_SmartStreamList::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddSmartStreamList(*this);
}

int TRV_SmartStreamList::Add(std::unique_ptr<TRV_SmartStream> V) {
    RequireReady(V.get());
    return FList.Add(V.release());
}

void TRV_SmartStreamList::Insert(int Index, std::unique_ptr<TRV_SmartStream> V) {
    RequireReady(V.get());
    FList.Insert(Index, V.get());
    V.release();
}

bool TRV_SmartStreamList::CompareItemsLess(const TRV_SmartStream*, const TRV_SmartStream*) const { return false; }

int TRV_SmartStreamList::InsertInSortedOrder(std::unique_ptr<TRV_SmartStream> V) {
    RequireReady(V.get());
    for (int i = 0; i < Count(); ++i) {
        if (CompareItemsLess(V.get(), FList.Items(i))) {
            Insert(i, std::move(V));
            return i;
        }
    }
    return Add(std::move(V));
}

void TRV_SmartStreamList::Sort() {
    // Insertion sort: an entry moves left only past entries it is strictly less than, so equal entries keep
    // their order.
    for (int i = 1; i < Count(); ++i) {
        TRV_SmartStream* taken = FList.Items(i);
        int j = i;
        while (j > 0 && CompareItemsLess(taken, FList.Items(j - 1))) {
            FList.SetItem(j, FList.Items(j - 1));
            --j;
        }
        FList.SetItem(j, taken);
    }
}

} // namespace rv
