#include "cli/config_json.h"

#include "net/socket_primitives.h"

#include <charconv>
#include <cstdint>
#include <functional>
#include <utility>
#include <limits>
#include <vector>

namespace cli {

using rv::T_ConfigRec;
using Json = nlohmann::ordered_json;

std::string Latin1ToUtf8(const std::string& Bytes) {
    std::string out;
    out.reserve(Bytes.size());
    for (unsigned char c : Bytes) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

bool Utf8ToLatin1(const std::string& Text, std::string& Bytes) {
    std::string out;
    for (size_t i = 0; i < Text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(Text[i]);
        if (c == 0) return false;
        if (c < 0x80) {
            out += static_cast<char>(c);
            continue;
        }
        // Only two-byte sequences (U+0080 to U+07FF) can be in range; C2 and C3 lead exactly U+0080 to U+00FF.
        if ((c != 0xC2 && c != 0xC3) || i + 1 >= Text.size()) return false;
        const unsigned char d = static_cast<unsigned char>(Text[i + 1]);
        if ((d & 0xC0) != 0x80) return false;
        out += static_cast<char>(((c & 0x1F) << 6) | (d & 0x3F));
        ++i;
    }
    Bytes = std::move(out);
    return true;
}

namespace {

bool ParseInteger(const std::string& Text, int64_t Min, int64_t Max, int64_t& V) {
    if (Text.empty()) return false;
    const char* end = Text.data() + Text.size();
    auto [p, ec] = std::from_chars(Text.data(), end, V);
    return ec == std::errc() && p == end && V >= Min && V <= Max;
}

bool ParseJson(const std::string& Text, Json& J) {
    try {
        J = Json::parse(Text);
        return true;
    } catch (const Json::exception&) {
        return false;
    }
}

// One field of the record: where it sits in the JSON object, how it reads and how it is set from text.
// Reading does not change the record; the accessors are shared by both directions.
struct TField {
    std::vector<std::string> Path;
    std::function<Json(T_ConfigRec&)> Get;
    std::function<bool(T_ConfigRec&, const std::string&)> Set; // false: wrong value, R unchanged
};

template <class T>
using TRef = T& (*)(T_ConfigRec&);

template <class Int>
TField Integer(std::vector<std::string> Path, TRef<Int> Ref) {
    return {std::move(Path), [Ref](T_ConfigRec& R) { return Json(Ref(R)); },
            [Ref](T_ConfigRec& R, const std::string& Text) {
                int64_t v = 0;
                if (!ParseInteger(Text, std::numeric_limits<Int>::min(), std::numeric_limits<Int>::max(), v))
                    return false;
                Ref(R) = static_cast<Int>(v);
                return true;
            }};
}

TField Boolean(std::vector<std::string> Path, TRef<bool> Ref) {
    return {std::move(Path), [Ref](T_ConfigRec& R) { return Json(Ref(R)); },
            [Ref](T_ConfigRec& R, const std::string& Text) {
                if (Text != "true" && Text != "false") return false;
                Ref(R) = Text == "true";
                return true;
            }};
}

TField String(std::vector<std::string> Path, TRef<std::string> Ref) {
    return {std::move(Path), [Ref](T_ConfigRec& R) { return Json(Latin1ToUtf8(Ref(R))); },
            [Ref](T_ConfigRec& R, const std::string& Text) {
                std::string bytes;
                if (!Utf8ToLatin1(Text, bytes)) return false;
                Ref(R) = std::move(bytes);
                return true;
            }};
}

TField StringList(std::vector<std::string> Path, TRef<rv::TStrings> Ref) {
    return {std::move(Path),
            [Ref](T_ConfigRec& R) {
                Json a = Json::array();
                for (const std::string& s : Ref(R)) a.push_back(Latin1ToUtf8(s));
                return a;
            },
            [Ref](T_ConfigRec& R, const std::string& Text) {
                Json j;
                if (!ParseJson(Text, j) || !j.is_array()) return false;
                rv::TStrings list;
                for (const Json& e : j) {
                    std::string bytes;
                    if (!e.is_string() || !Utf8ToLatin1(e.get<std::string>(), bytes)) return false;
                    list.push_back(std::move(bytes));
                }
                Ref(R) = std::move(list);
                return true;
            }};
}

TField Address(std::vector<std::string> Path, TRef<uint32_t> Ref) {
    return {std::move(Path), [Ref](T_ConfigRec& R) { return Json(rv::WS_IpToStr(Ref(R))); },
            [Ref](T_ConfigRec& R, const std::string& Text) {
                uint32_t ip = 0;
                if (!rv::WS_StrToIp(Text, ip)) return false;
                Ref(R) = ip;
                return true;
            }};
}

// Two 16-bit ports in one 32-bit field, low word first.
TField PortPair(std::vector<std::string> Path, TRef<uint32_t> Ref) {
    return {std::move(Path),
            [Ref](T_ConfigRec& R) { return Json::array({rv::LoWord(Ref(R)), rv::HiWord(Ref(R))}); },
            [Ref](T_ConfigRec& R, const std::string& Text) {
                Json j;
                if (!ParseJson(Text, j) || !j.is_array() || j.size() != 2) return false;
                uint16_t w[2] = {};
                for (size_t i = 0; i < 2; ++i) {
                    if (!j[i].is_number_integer()) return false;
                    const int64_t n = j[i].get<int64_t>();
                    if (n < 0 || n > 0xFFFF) return false;
                    w[i] = static_cast<uint16_t>(n);
                }
                Ref(R) = rv::MakeServices(w[0], w[1]);
                return true;
            }};
}

// The search method as its number: any byte value, as the field holds it.
TField SearchMethod(std::vector<std::string> Path) {
    return {std::move(Path),
            [](T_ConfigRec& R) { return Json(static_cast<unsigned>(R.NetGroupCfgR.sT.NetGroupSearchMethod)); },
            [](T_ConfigRec& R, const std::string& Text) {
                int64_t v = 0;
                if (!ParseInteger(Text, 0, 255, v)) return false;
                R.NetGroupCfgR.sT.NetGroupSearchMethod = static_cast<rv::T_NetGroupSearchMethod>(v);
                return true;
            }};
}

const std::vector<TField>& Fields() {
    using R = T_ConfigRec;
    static const std::vector<TField> fields = {
        Integer<int32_t>({"sT", "Mainltwh", "Left"}, [](R& r) -> int32_t& { return r.sT.Mainltwh.Left; }),
        Integer<int32_t>({"sT", "Mainltwh", "Top"}, [](R& r) -> int32_t& { return r.sT.Mainltwh.Top; }),
        Integer<int32_t>({"sT", "Mainltwh", "Width"}, [](R& r) -> int32_t& { return r.sT.Mainltwh.Width; }),
        Integer<int32_t>({"sT", "Mainltwh", "Height"}, [](R& r) -> int32_t& { return r.sT.Mainltwh.Height; }),
        Boolean({"sT", "RestoreSizePos"}, [](R& r) -> bool& { return r.sT.RestoreSizePos; }),
        Boolean({"sT", "MinToSystemTray"}, [](R& r) -> bool& { return r.sT.MinToSystemTray; }),
        Boolean({"sT", "FullScreen"}, [](R& r) -> bool& { return r.sT.FullScreen; }),
        Boolean({"sT", "ShowFirstTimeHelp"}, [](R& r) -> bool& { return r.sT.ShowFirstTimeHelp; }),
        Integer<int32_t>({"sT", "LaunchCount"}, [](R& r) -> int32_t& { return r.sT.LaunchCount; }),
        String({"Duke3dInstallFolder"}, [](R& r) -> std::string& { return r.Duke3dInstallFolder; }),
        String({"Duke3dMapFolder"}, [](R& r) -> std::string& { return r.Duke3dMapFolder; }),
        String({"Duke3dMultiPlayMaps"}, [](R& r) -> std::string& { return r.Duke3dMultiPlayMaps; }),
        String({"CurrentMapFileName"}, [](R& r) -> std::string& { return r.CurrentMapFileName; }),
        String({"CurrentMpMapPath"}, [](R& r) -> std::string& { return r.CurrentMpMapPath; }),
        String({"CurrentSpMapPath"}, [](R& r) -> std::string& { return r.CurrentSpMapPath; }),
        String({"OurIpStr"}, [](R& r) -> std::string& { return r.OurIpStr; }),
        String({"GamePortStr"}, [](R& r) -> std::string& { return r.GamePortStr; }),
        Integer<uint32_t>({"NetGroupCfgR", "sT", "HostIP_MS"}, [](R& r) -> uint32_t& { return r.NetGroupCfgR.sT.HostIP_MS; }),
        Address({"NetGroupCfgR", "sT", "HostIP"}, [](R& r) -> uint32_t& { return r.NetGroupCfgR.sT.HostIP; }),
        Integer<uint16_t>({"NetGroupCfgR", "sT", "UdpPort"}, [](R& r) -> uint16_t& { return r.NetGroupCfgR.sT.UdpPort; }),
        Integer<uint16_t>({"NetGroupCfgR", "sT", "InfoReplyPort"},
                          [](R& r) -> uint16_t& { return r.NetGroupCfgR.sT.InfoReplyPort; }),
        Integer<uint16_t>({"NetGroupCfgR", "sT", "MsgTimeOut"}, [](R& r) -> uint16_t& { return r.NetGroupCfgR.sT.MsgTimeOut; }),
        PortPair({"NetGroupCfgR", "sT", "TcpIpServices"}, [](R& r) -> uint32_t& { return r.NetGroupCfgR.sT.TcpIpServices; }),
        PortPair({"NetGroupCfgR", "sT", "OtherServices"}, [](R& r) -> uint32_t& { return r.NetGroupCfgR.sT.OtherServices; }),
        SearchMethod({"NetGroupCfgR", "sT", "NetGroupSearchMethod"}),
        String({"NetGroupCfgR", "GroupId"}, [](R& r) -> std::string& { return r.NetGroupCfgR.GroupId; }),
        String({"NetGroupCfgR", "HostName"}, [](R& r) -> std::string& { return r.NetGroupCfgR.HostName; }),
        String({"NetGroupCfgR", "ClassId"}, [](R& r) -> std::string& { return r.NetGroupCfgR.ClassId; }),
        String({"NetGroupCfgR", "UnitId"}, [](R& r) -> std::string& { return r.NetGroupCfgR.UnitId; }),
        StringList({"MsgTextList"}, [](R& r) -> rv::TStrings& { return r.MsgTextList; }),
        StringList({"MpMapReOpenList"}, [](R& r) -> rv::TStrings& { return r.MpMapReOpenList; }),
        StringList({"SpMapReOpenList"}, [](R& r) -> rv::TStrings& { return r.SpMapReOpenList; }),
    };
    return fields;
}

std::string DottedKey(const std::vector<std::string>& Path) {
    std::string key;
    for (const std::string& p : Path) key += (key.empty() ? "" : ".") + p;
    return key;
}

} // namespace

Json ConfigRecordToJson(const T_ConfigRec& R) {
    T_ConfigRec& rec = const_cast<T_ConfigRec&>(R); // the getters only read
    Json root = Json::object();
    for (const TField& f : Fields()) {
        Json* node = &root;
        for (size_t i = 0; i + 1 < f.Path.size(); ++i) node = &(*node)[f.Path[i]];
        (*node)[f.Path.back()] = f.Get(rec);
    }
    return root;
}

bool SetConfigField(T_ConfigRec& R, const std::string& Key, const std::string& Value, std::string& Error) {
    for (const TField& f : Fields()) {
        if (DottedKey(f.Path) != Key) continue;
        if (f.Set(R, Value)) return true;
        Error = "invalid value for " + Key;
        return false;
    }
    Error = "unknown key: " + Key;
    return false;
}

} // namespace cli
