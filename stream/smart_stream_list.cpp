#include "stream/smart_stream_list.h"

#include "stream/nested_stream.h"
#include "stream/size_fields.h"
#include "stream/smart_stream_internal.h"

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

// ---- the list element of a record (TRV_SmartStream's element readers and writers call these) ----------------

void TRV_SmartStream::AddSmartStreamList(TRV_SmartStreamList& V) {
    if (&V != this) V.AfterConstruction();
    NewObject(&V, ssSmartStreamList);
}

void TRV_SmartStream::WriteListElement(TRV_SmartStreamList& List, TWriteState& St) {
    // Every entry is counted, empty ones too, so that the count always matches the entries that follow.
    const int count = List.Count();
    SetObjectSize(St.Dest, static_cast<uint32_t>(count));
    FProgress.BeginTasks(count);
    for (int i = 0; i < count; ++i) {
        TRV_SmartStream* item = List.GetItem(i);
        St.Sizes.StreamWriteUnknownSize();
        if (item) WriteNested(*item, St.Dest, St.SubFlag);
        St.Sizes.StreamWriteSize();
        FProgress.TaskDone();
    }
    FProgress.EndTasks();
}

void TRV_SmartStream::ReadListElement(TRV_SmartStreamList& List, TStream& Payload, TReadState& St) {
    List.FList.Clear();
    if (Payload.Size() == 0) return; // an empty element is an empty list
    uint32_t count = 0;
    // The count, every entry's size and every entry's bytes lie inside the element; a count or size that runs
    // past it is damage. Every entry takes at least its 4-byte size, so a huge count ends with the payload.
    if (!ReadObjectSize(Payload, count)) {
        St.Result = false;
        return;
    }
    for (uint32_t i = 0; i < count; ++i) {
        uint32_t size32 = 0;
        if (!ReadObjectSize(Payload, size32)) {
            St.Result = false;
            return;
        }
        const int64_t pos = Payload.Position();
        if (size32 > Payload.Size() - pos) {
            St.Result = false;
            return;
        }
        const int64_t size = size32;
        if (size == 0) {
            List.FList.Add(static_cast<TRV_SmartStream*>(nullptr));
            continue;
        }
        std::unique_ptr<TRV_SmartStream> item = List.CreateItem();
        if (!item) break;
        item->AfterConstruction();
        TRV_SmartStream* raw = item.get();
        List.FList.Add(std::move(item));
        TRV_NestedStreamReadOnly window(Payload, size);
        if (!ReadNested(*raw, window, St.SubFlag)) St.Result = false;
        Payload.SetPosition(pos + size);
    }
}

void TRV_SmartStream::NullListElement(TRV_SmartStreamList& List) { List.FList.Clear(); }

} // namespace rv
