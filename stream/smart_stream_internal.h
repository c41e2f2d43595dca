#pragma once
// Private to the stream library: the state of one read and of one write of an element stream, shared by the
// element readers and writers in smart_stream.cpp and the list elements' in smart_stream_list.cpp.

#include "foundation/streams.h"
#include "stream/size_fields.h"
#include "stream/smart_stream.h"

#include <cstdint>

namespace rv {

struct TRV_SmartStream::TReadState {
    TStream& Source;
    int64_t DataLeft;
    bool SubFlag; // whether nested records carry their own check value and header
    bool Result;
    // A length or count ran past the data that holds it: the read fails and the elements from there on are null.
    bool Damaged = false;
};

struct TRV_SmartStream::TWriteState {
    TStream& Dest;
    TRV_SizeFieldStack Sizes;
    bool SubFlag;
};

} // namespace rv
