#pragma once
// TRV_MultiplexSmartStream: a record that carries exactly one item record, whose class is chosen by the 16-bit
// type code stored in front of it. Encoding after the record's own size field, check value and header: the type
// code, then the item as a sized element holding nothing but the item's elements (the item's own check value,
// header and size field are switched off when it is created).
//
// Threads: as every record, one object is used by one thread at a time.

#include "stream/smart_stream.h"

#include <cstdint>
#include <memory>

namespace rv {

// The code that means no type. The base class never writes or tests it.
inline constexpr uint16_t C_MultiplexStreamNullStreamType = 0xFFFF;

class TRV_MultiplexSmartStream : public TRV_SmartStream {
public:
    // The current item, or none before the first type is selected.
    TRV_SmartStream* si() const { return Fsi.get(); }
    uint16_t StreamItemType() const { return FMultiStreamType; }
    // Selects type V. An item whose own type is V is kept with its contents; otherwise the item is replaced by a
    // new one from CreateMultiStreamItem(V), stamped with V and with its check value, header and size fields off.
    void SetStreamItemType(uint16_t V);

    // Selects type 0 first when no item exists yet.
    bool WriteToStream(TStream& Dest) override;

protected:
    // A new item record for type code V. Must give an item for every code it can be given, 0 and any code read
    // from the wire included; returning none makes a read stop after the type code.
    virtual std::unique_ptr<TRV_SmartStream> CreateMultiStreamItem(uint16_t V) = 0;

    void AssignElements() override;
    // Selects the item for V; UnsupportedType when there is none.
    void OnReadStreamType(uint16_t V, bool& UnsupportedType) override;

private:
    std::unique_ptr<TRV_SmartStream> Fsi;
    uint16_t FsiType = 0; // the type Fsi was created for
};

} // namespace rv
