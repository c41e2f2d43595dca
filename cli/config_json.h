#pragma once
// The configuration record as JSON, for tolvane-cli: one object whose keys are the record's field names, and the
// dotted keys that `config set` accepts ("sT.LaunchCount", "NetGroupCfgR.sT.HostIP", "MsgTextList").
//
// The record's strings are bytes of the system code page; in JSON each byte above 127 is the character U+0080 to
// U+00FF of the same value (Latin-1), and input characters U+0001 to U+00FF map back to single bytes.
// Any thread; the record is used by one thread at a time.

#include "app/config_record.h"

#include <nlohmann/json.hpp>
#include <string>

namespace cli {

// Bytes as UTF-8, each byte one character of the same value.
std::string Latin1ToUtf8(const std::string& Bytes);
// The reverse: false for text that is not UTF-8, or holds U+0000 (a string element ends at a 0 byte) or a
// character above U+00FF.
bool Utf8ToLatin1(const std::string& Text, std::string& Bytes);

nlohmann::ordered_json ConfigRecordToJson(const rv::T_ConfigRec& R);

// Sets the field named by the dotted Key from its text form: integers in range for the field's width, true or
// false, addresses as dotted text, port pairs and string lists as JSON arrays, other strings as given. On a
// wrong key or value R is unchanged and Error names the key.
bool SetConfigField(rv::T_ConfigRec& R, const std::string& Key, const std::string& Value, std::string& Error);

} // namespace cli
