#pragma once
// The player packets: one multiplexed record whose 16-bit type word says what the packet carries and whose single
// item is the record of that type. Sent over the players' TCP sessions, one packet per record.
//
// Encoding (default options): CRC-32, header 02 02, the type word, then the item as a sized element holding
// nothing but the item's own elements.
//
// Threads: as every record, one object is used by one thread at a time.

#include "foundation/streams.h"
#include "stream/multiplex_smart_stream.h"
#include "stream/smart_stream.h"
#include "stream/string_io.h"

#include <cstdint>
#include <memory>
#include <string>

namespace rv {

// The packet type: the item type of a T_LgCommStream.
enum T_LgCommPacketType : uint8_t {
    ccCmd = 0,          // T_LgCommCmdOnly: a bare command; passed on, never sent
    ccCmdWithParam = 1, // T_LgCommCmdWithParam; passed on, never sent
    ccMessage = 2,      // T_LgCommMessage: a chat message
    ccSelectMap = 3,    // T_CommFileUpdateCmd: the chosen map (name, date, size; no image)
    ccSendMap = 4,      // T_CommFileUpdateCmd: asks for a map file (only MapName matters)
    cc1 = 5,            // cc1 .. cc20 (5 to 24) and am1 .. am15 (25 to 39): reserved, T_LgCommCmdOnly
    cc20 = 24,
    am1 = 25,
    am15 = 39,
    crSendMap = 40, // T_CommFileUpdateCmd: the map file itself, image compressed
};
// Types above this one are ignored on receipt.
inline constexpr uint16_t C_LgCommLastPacketType = crSendMap;

// No elements.
class T_LgCommCmdOnly : public TRV_SmartStream {};

class T_LgCommCmdWithParam : public TRV_SmartStream {
public:
    int32_t Param = 0;

protected:
    void AssignElements() override;
};

// A chat message; sent with exactly one line.
class T_LgCommMessage : public TRV_SmartStream {
public:
    TStrings MsgText;

protected:
    void AssignElements() override;
};

// 16 bytes: the map file's last-write time and its size; both 0 when they could not be read.
struct T_CommFileUpdateSimpleTypes {
    double MapDateTime = 0; // days since 30 December 1899, local time, to 2 seconds
    int64_t MapFileSize = 0; // bytes
    static constexpr uint32_t RecordSize = 16;
    template <class F>
    void Fields(F& f) {
        f(MapDateTime);
        f(MapFileSize);
    }
};

class T_CommFileUpdateCmd : public TRV_SmartStream {
public:
    T_CommFileUpdateSimpleTypes sT;
    std::string MapName;      // the map's file name without folder
    TMemoryStream MapFileImage; // the whole map file (crSendMap only); compressed in the packet

protected:
    void AssignElements() override;
};

class T_LgCommStream : public TRV_MultiplexSmartStream {
public:
    // The item when it is of class T, else nullptr.
    template <class T>
    T* ItemAs() const {
        return dynamic_cast<T*>(si());
    }

protected:
    // 1: T_LgCommCmdWithParam; 2: T_LgCommMessage; 3, 4 and 40: T_CommFileUpdateCmd; any other: T_LgCommCmdOnly.
    std::unique_ptr<TRV_SmartStream> CreateMultiStreamItem(uint16_t V) override;
};

} // namespace rv
