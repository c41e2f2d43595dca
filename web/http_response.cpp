#include "web/http_response.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace rv {

namespace {

std::string Lower(std::string S) {
    for (char& c : S)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return S;
}

std::string Trim(const std::string& S) {
    size_t b = 0, e = S.size();
    while (b < e && (S[b] == ' ' || S[b] == '\t')) ++b;
    while (e > b && (S[e - 1] == ' ' || S[e - 1] == '\t')) --e;
    return S.substr(b, e - b);
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Decimal digits only, no sign, at most 18 of them (so the value fits with room).
bool ReadCount(const std::string& Text, int64_t& Value) {
    if (Text.empty() || Text.size() > 18) return false;
    int64_t v = 0;
    for (char c : Text) {
        if (!IsDigit(c)) return false;
        v = v * 10 + (c - '0');
    }
    Value = v;
    return true;
}

} // namespace

std::string HttpErrorText(int32_t Code) {
    switch (Code) {
    case 0: return "no error";
    case C_httperrAborted: return "request aborted";
    case C_httperrBadUrl: return "not an http:// URL";
    case C_httperrBadStatusLine: return "the answer does not begin with an HTTP/1.0 or HTTP/1.1 status line";
    case C_httperrHeaderTooLong: return "the answer's headers are too long";
    case C_httperrBadHeader: return "the answer's Content-Length is not valid";
    case C_httperrBodyTooLong: return "the document is too long";
    case C_httperrBodyLength: return "the document's length is not the one announced";
    case C_httperrTooManyRedirects: return "too many redirections";
    case C_httperrNoAnswer: return "the connection ended before an answer";
    case C_httperrBusy: return "a request is already running";
    case 10053: return "connection aborted (10053)";
    case 10054: return "connection reset (10054)";
    case 10060: return "connection timed out (10060)";
    case 10061: return "connection refused (10061)";
    case 11001: return "host not found (11001)";
    default: break;
    }
    // Appended rather than joined with operator+, which g++ 12 for i686 warns about wrongly (-Wrestrict).
    std::string text = Code >= 100 && Code <= 999 ? "HTTP status " : Code >= 10000 ? "socket error " : "error ";
    text += std::to_string(Code);
    return text;
}

// --- Answer parser ----------------------------------------------------------------------------------------------

THttpResponseParser::THttpResponseParser(uint64_t MaxBodySize) : FMaxBodySize(MaxBodySize) {}

bool THttpResponseParser::Fail(int32_t Error) {
    FState = T_HttpAnswerState::hasFailed;
    FError = Error;
    return false;
}

bool THttpResponseParser::Feed(const char* Data, size_t Len) {
    size_t i = 0;
    while (FState == T_HttpAnswerState::hasStatusLine || FState == T_HttpAnswerState::hasHeaders) {
        if (i == Len) return true;
        const char* nl = static_cast<const char*>(std::memchr(Data + i, '\n', Len - i));
        const size_t take = nl ? static_cast<size_t>(nl - (Data + i)) + 1 : Len - i;
        FHeaderBytes += take;
        if (FHeaderBytes > C_MaxHttpHeaderBlock) return Fail(C_httperrHeaderTooLong);
        FLine.append(Data + i, take);
        i += take;
        if (!nl) return true;
        std::string line;
        line.swap(FLine);
        line.pop_back(); // the LF
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!TakeLine(line)) return false;
    }
    if (FState != T_HttpAnswerState::hasBody) return false;
    const size_t left = Len - i;
    if (left == 0) return true;
    if (FContentLength >= 0) {
        const uint64_t wanted = static_cast<uint64_t>(FContentLength) - FBodyCount;
        if (left > wanted) return Fail(C_httperrBodyLength);
    } else if (FBodyCount + left > FMaxBodySize) {
        return Fail(C_httperrBodyTooLong);
    }
    FBodyCount += left;
    if (OnBody) OnBody(Data + i, left);
    if (FContentLength >= 0 && FBodyCount == static_cast<uint64_t>(FContentLength)) {
        FState = T_HttpAnswerState::hasDone;
        return false;
    }
    return true;
}

bool THttpResponseParser::TakeLine(const std::string& Line) {
    if (FState == T_HttpAnswerState::hasStatusLine) {
        // "HTTP/1.x nnn" and then the end of the line or a blank and a reason.
        if (Line.size() < 12 || (Line.compare(0, 9, "HTTP/1.0 ") != 0 && Line.compare(0, 9, "HTTP/1.1 ") != 0) ||
            !IsDigit(Line[9]) || !IsDigit(Line[10]) || !IsDigit(Line[11]) || Line[9] < '1' || Line[9] > '5' ||
            (Line.size() > 12 && Line[12] != ' '))
            return Fail(C_httperrBadStatusLine);
        FStatusCode = (Line[9] - '0') * 100 + (Line[10] - '0') * 10 + (Line[11] - '0');
        FState = T_HttpAnswerState::hasHeaders;
        if (OnStatusLine && !OnStatusLine(FStatusCode)) return false;
        return true;
    }
    if (Line.empty()) return HeadersDone();
    // A folded line (leading blank) or one without a colon carries nothing this client reads.
    if (Line[0] == ' ' || Line[0] == '\t') return true;
    const size_t colon = Line.find(':');
    if (colon == std::string::npos || colon == 0) return true;
    const std::string name = Lower(Trim(Line.substr(0, colon)));
    const std::string value = Trim(Line.substr(colon + 1));
    if (name == "content-length") {
        int64_t v = 0;
        if (!ReadCount(value, v)) return Fail(C_httperrBadHeader);
        if (FContentLength >= 0 && FContentLength != v) return Fail(C_httperrBadHeader);
        FContentLength = v;
    } else if (name == "location" && FLocation.empty()) {
        FLocation = value;
    }
    if (OnHeader) OnHeader(name, value);
    return true;
}

bool THttpResponseParser::HeadersDone() {
    // These answers never carry a body, whatever they announce.
    if (FStatusCode == 204 || FStatusCode == 304 || FStatusCode < 200) FContentLength = 0;
    if (FContentLength >= 0 && static_cast<uint64_t>(FContentLength) > FMaxBodySize)
        return Fail(C_httperrBodyTooLong);
    FState = T_HttpAnswerState::hasBody;
    if (OnHeadersDone && !OnHeadersDone()) return false;
    if (FState == T_HttpAnswerState::hasBody && FContentLength == 0) {
        FState = T_HttpAnswerState::hasDone;
        return false;
    }
    return FState == T_HttpAnswerState::hasBody;
}

void THttpResponseParser::EndOfInput() {
    switch (FState) {
    case T_HttpAnswerState::hasStatusLine:
    case T_HttpAnswerState::hasHeaders: Fail(C_httperrNoAnswer); break;
    case T_HttpAnswerState::hasBody:
        if (FContentLength < 0)
            FState = T_HttpAnswerState::hasDone;
        else
            Fail(C_httperrBodyLength);
        break;
    default: break;
    }
}

// --- URLs -------------------------------------------------------------------------------------------------------

std::string THttpUrl::Text() const {
    std::string text = "http://";
    text += Host;
    if (Port != 80) {
        text += ':';
        text += std::to_string(Port);
    }
    text += Path;
    return text;
}

bool ParseHttpUrl(const std::string& Text, THttpUrl& Url) {
    if (Text.size() < 8 || Lower(Text.substr(0, 7)) != "http://") return false;
    std::string rest = Text.substr(7);
    const size_t hash = rest.find('#');
    if (hash != std::string::npos) rest.resize(hash);
    const size_t end = rest.find_first_of("/?");
    const std::string authority = rest.substr(0, end);
    std::string path = end == std::string::npos ? "/" : rest.substr(end);
    if (path[0] == '?') path.insert(path.begin(), '/');
    for (char c : path)
        if (static_cast<unsigned char>(c) <= ' ' || c == 127) return false;
    THttpUrl u;
    const size_t colon = authority.find(':');
    u.Host = Lower(authority.substr(0, colon));
    if (u.Host.empty() || u.Host.size() > 253) return false;
    for (char c : u.Host)
        if (!((c >= 'a' && c <= 'z') || IsDigit(c) || c == '-' || c == '.')) return false;
    if (colon != std::string::npos) {
        int64_t port = 0;
        if (!ReadCount(authority.substr(colon + 1), port) || port < 1 || port > 65535) return false;
        u.Port = static_cast<uint16_t>(port);
    }
    u.Path = path;
    Url = u;
    return true;
}

bool ResolveHttpLocation(const THttpUrl& Base, const std::string& Location, THttpUrl& Result) {
    const std::string loc = Trim(Location);
    if (loc.empty()) return false;
    if (loc.size() >= 7 && Lower(loc.substr(0, 7)) == "http://") return ParseHttpUrl(loc, Result);
    if (loc.find("://") != std::string::npos && loc.find("://") < loc.find_first_of("/?#")) return false;
    if (loc.compare(0, 2, "//") == 0) return ParseHttpUrl("http:" + loc, Result);
    std::string path;
    const std::string basePath = Base.Path.substr(0, Base.Path.find('?'));
    if (loc[0] == '/') {
        path = loc;
    } else if (loc[0] == '?') {
        path = basePath + loc;
    } else {
        path = basePath.substr(0, basePath.rfind('/') + 1) + loc;
    }
    // Dot segments of the path part (not of the query).
    const size_t q = path.find_first_of("?#");
    const std::string query = q == std::string::npos ? std::string() : path.substr(q);
    const std::string p = path.substr(0, q);
    std::vector<std::string> segs;
    size_t start = 1;
    for (;;) {
        const size_t slash = p.find('/', start);
        const std::string seg = p.substr(start, slash == std::string::npos ? std::string::npos : slash - start);
        const bool last = slash == std::string::npos;
        if (seg == "..") {
            if (!segs.empty()) segs.pop_back();
            if (last) segs.emplace_back();
        } else if (seg == ".") {
            if (last) segs.emplace_back();
        } else {
            segs.push_back(seg);
        }
        if (last) break;
        start = slash + 1;
    }
    std::string joined;
    for (const std::string& s : segs) joined += "/" + s;
    if (joined.empty()) joined = "/";
    return ParseHttpUrl("http://" + Base.Host + ":" + std::to_string(Base.Port) + joined + query, Result);
}

} // namespace rv
