#include "group/info_stream.h"

#include "foundation/text.h"

#include <algorithm>

namespace rv {

bool UniqueIdMatches(const std::string& Own, const std::string& Id) {
    size_t star = Id.find('*');
    if (star == std::string::npos) star = Own.find('*');
    if (star == std::string::npos) return SameTextAscii(Own, Id);
    // Only the characters before the wildcard's position count; a text shorter than that is compared whole.
    return SameTextAscii(Own.substr(0, star), Id.substr(0, star));
}

T_InfoStream::T_InfoStream() {
    SetStreamHeader(false);
    SetShortStreamLengthCRC(true);
}

void T_InfoStream::SetUniqueIdStr(const std::string& Value) {
    FUniqueIdStr = Value;
    std::erase(FUniqueIdStr, '*');
}

void T_InfoStream::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddRecord(sT);
    AddLongString(FUniqueIdStr);
    AddLongString(FParameterStr);
    AddStream(AppDataStream);
}

} // namespace rv
