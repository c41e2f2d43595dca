#include "stream/string_io.h"

#include <cstring>

namespace rv {

void SaveTStringsToStream(const TStrings& TS, TStream& Stream) {
    static const char kZero = 0;
    for (const std::string& s : TS) {
        Stream.WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
        Stream.WriteBuffer(&kZero, 1);
    }
}

void SplitTStringsPayload(const void* Data, size_t Size, TStrings& TS) {
    TS.clear();
    auto* p = static_cast<const char*>(Data);
    size_t start = 0;
    for (size_t i = 0; i < Size; ++i) {
        if (p[i] == 0) {
            TS.emplace_back(p + start, i - start);
            start = i + 1;
        }
    }
    if (start < Size) TS.emplace_back(p + start, Size - start);
}

void LoadTStringsFromStream(TCustomMemoryStream& Stream, TStrings& TS) {
    SplitTStringsPayload(Stream.Memory(), static_cast<size_t>(Stream.Size()), TS);
}

void ReadLongStringFromStream(TStream& Stream, std::string& S) {
    S.clear();
    std::string found;
    char buf[1024];
    for (;;) {
        int64_t got = Stream.Read(buf, sizeof buf);
        if (got <= 0) return; // no terminator: the string is empty
        const void* zero = std::memchr(buf, 0, static_cast<size_t>(got));
        if (zero) {
            auto n = static_cast<int64_t>(static_cast<const char*>(zero) - buf);
            found.append(buf, static_cast<size_t>(n));
            Stream.Seek(n + 1 - got, TSeekOrigin::soCurrent);
            S = std::move(found);
            return;
        }
        found.append(buf, static_cast<size_t>(got));
    }
}

} // namespace rv
