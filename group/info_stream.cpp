#include "group/info_stream.h"

#include <algorithm>

namespace rv {

namespace {

std::string AsciiUpper(std::string S) {
    for (char& c : S)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return S;
}

} // namespace

bool UniqueIdMatches(const std::string& Own, const std::string& Id) {
    size_t star = Id.find('*');
    if (star == std::string::npos) star = Own.find('*');
    if (star == std::string::npos) return AsciiUpper(Own) == AsciiUpper(Id);
    // Only the characters before the wildcard's position count; a text shorter than that is compared whole.
    return AsciiUpper(Own.substr(0, star)) == AsciiUpper(Id.substr(0, star));
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
