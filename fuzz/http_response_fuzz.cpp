// Fuzz target: the HTTP answer parser on an arbitrary byte stream (status line, headers, pieces of body), fed
// whole and then in pieces whose sizes come from the input, with the connection's end after it. Both must give
// the same status, state, error and body (except that pieces ending exactly at the announced length complete an
// answer whose excess the whole feed refuses); the body never passes the limit nor the announced length; a location
// found is resolved without fault.
#include "web/http_response.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

constexpr uint64_t kMaxBody = 4096;

struct TOutcome {
    int Status = 0;
    rv::T_HttpAnswerState State = rv::T_HttpAnswerState::hasStatusLine;
    int32_t Error = 0;
    std::string Body;
    std::string Location;
    int64_t Length = -1;
    bool operator==(const TOutcome&) const = default;
};

TOutcome Run(const uint8_t* Data, size_t Size, bool Pieces) {
    rv::THttpResponseParser p(kMaxBody);
    TOutcome o;
    p.OnBody = [&](const char* D, size_t L) { o.Body.append(D, L); };
    uint64_t state = 0x9e3779b97f4a7c15ull;
    for (size_t i = 0; i < Size; ++i) state = (state ^ Data[i]) * 0x100000001b3ull;
    bool going = true;
    for (size_t i = 0; going && i < Size;) {
        size_t n = Size - i;
        if (Pieces) {
            state ^= state << 13;
            state ^= state >> 7;
            state ^= state << 17;
            n = std::min<size_t>(n, 1 + state % 64);
        }
        going = p.Feed(reinterpret_cast<const char*>(Data) + i, n);
        i += n;
    }
    if (going) p.EndOfInput();
    o.Status = p.StatusCode();
    o.State = p.State();
    o.Error = p.Error();
    o.Location = p.Location();
    o.Length = p.ContentLength();
    return o;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    TOutcome whole = Run(Data, Size, false);
    TOutcome pieces = Run(Data, Size, true);
    if (whole.Body.size() > kMaxBody || pieces.Body.size() > kMaxBody) std::abort();
    // A body past a length is refused in the piece that passes it, so what came before that piece differs.
    if (whole.Error == rv::C_httperrBodyLength || whole.Error == rv::C_httperrBodyTooLong) {
        whole.Body.clear();
        if (whole.Error == rv::C_httperrBodyLength && pieces.State == rv::T_HttpAnswerState::hasDone) {
            // Pieces that end exactly at the announced length complete the answer; the rest is never read.
            if (pieces.Length < 0 || pieces.Body.size() != static_cast<uint64_t>(pieces.Length)) std::abort();
            pieces.State = whole.State;
            pieces.Error = whole.Error;
        }
        pieces.Body.clear();
    }
    if (!(whole == pieces)) std::abort();
    if (whole.Length >= 0 && whole.Body.size() > static_cast<uint64_t>(whole.Length)) std::abort();
    if (whole.State == rv::T_HttpAnswerState::hasFailed && whole.Error == 0) std::abort();
    if (!whole.Location.empty()) {
        rv::THttpUrl base, next;
        if (!rv::ParseHttpUrl("http://example.test:8080/dir/page?q=1", base)) std::abort();
        if (rv::ResolveHttpLocation(base, whole.Location, next)) {
            rv::THttpUrl again;
            // What a resolution gives is itself a URL the client can take.
            if (!rv::ParseHttpUrl(next.Text(), again) || again.Text() != next.Text()) std::abort();
        }
    }
    return 0;
}
