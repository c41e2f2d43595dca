#include "stream/multiplex_smart_stream.h"

namespace rv {

void TRV_MultiplexSmartStream::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddStreamType();
    AddSmartStreamPtr(Fsi);
}

void TRV_MultiplexSmartStream::SetStreamItemType(uint16_t V) {
    FMultiStreamType = V;
    // The item's type is kept here rather than read back from the item: an item that is itself a multiplex
    // overwrites its own type code when it reads.
    if (Fsi && FsiType == V) return;
    Fsi.reset();
    std::unique_ptr<TRV_SmartStream> item = CreateMultiStreamItem(V);
    if (!item) return;
    item->AfterConstruction();
    // Inside the multiplex the item is nothing but its elements.
    item->FMultiStreamType = V;
    item->FStreamCRC = false;
    item->FStreamHeader = false;
    item->FReadStreamSize = false;
    item->FWriteStreamSize = false;
    Fsi = std::move(item);
    FsiType = V;
}

void TRV_MultiplexSmartStream::OnReadStreamType(uint16_t V, bool& UnsupportedType) {
    SetStreamItemType(V);
    UnsupportedType = !Fsi;
}

bool TRV_MultiplexSmartStream::WriteToStream(TStream& Dest) {
    if (!Fsi) SetStreamItemType(0);
    return TRV_SmartStream::WriteToStream(Dest);
}

} // namespace rv
