// Fuzz target: the HTML reader and the address rule on an arbitrary page. Read from a stream and from memory, the
// page gives the same titles and text; texts stay within the reader's limits, and every address the rule reads
// prints back as dotted text that reads to the same address.
#include "foundation/streams.h"
#include "net/socket_primitives.h"
#include "web/external_ip.h"
#include "web/html_parser.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct TRead {
    std::vector<std::string> Titles;
    std::vector<std::string> Texts;
    bool operator==(const TRead&) const = default;
};

TRead Read(const uint8_t* Data, size_t Size, bool AsStream) {
    TRead r;
    rv::TRV_ParseHtml p;
    p.OnTitleText = [&](rv::TRV_ParseHtml*, const std::string& T) { r.Titles.push_back(T); };
    p.OnBodyText = [&](rv::TRV_ParseHtml*, const std::string& T) { r.Texts.push_back(T); };
    if (AsStream) {
        rv::TRV_BlockMemoryStream s(Data, static_cast<int64_t>(Size));
        p.ParseStream(s);
    } else {
        p.ParseText(reinterpret_cast<const char*>(Data), Size);
    }
    return r;
}

void CheckAddress(const std::string& Text) {
    const rv::T_NumericIpAddress ip = rv::ExternalIpFromText(Text);
    if (ip == 0) return;
    rv::T_NumericIpAddress again = 0;
    if (!rv::IPStrToLongWord(rv::WS_IpToStr(ip), again) || again != ip) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* Data, size_t Size) {
    const TRead stream = Read(Data, Size, true);
    const TRead memory = Read(Data, Size, false);
    if (!(stream == memory)) std::abort();
    for (const std::string& t : stream.Titles) {
        if (t.size() > rv::C_HtmlMaxText + rv::C_HtmlMaxTag + 2) std::abort();
        CheckAddress(t);
    }
    for (const std::string& t : stream.Texts) {
        if (t.size() > rv::C_HtmlMaxText) std::abort();
        CheckAddress(t);
    }
    CheckAddress(std::string(reinterpret_cast<const char*>(Data), Size));
    return 0;
}
