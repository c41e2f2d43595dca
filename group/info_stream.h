#pragma once
// The info stream: the record of the discovery exchange. A search request is broadcast as one; every copy of the
// same group answers with one of its own, carrying an application payload (the group message). The same bytes
// travel as a UDP datagram or as the payload of one TCP packet.
//
// Byte layout (no header, CRC-16/USB check value, little-endian):
//   2  check value over everything after it
//   4  17, then the 17 bytes of sT (see T_InfoStreamSimpleTypes)
//   4  length + 1 of the identifier, its characters, 0
//   4  length + 1 of the parameter text, its characters, 0
//   4  size of the payload, then the payload
// With both texts and the payload empty the record is 37 bytes.
//
// Threads: as every record, one object is used by one thread at a time.

#include "foundation/streams.h"
#include "stream/smart_stream.h"

#include <cstdint>
#include <string>

namespace rv {

// The two 16-bit words of a 32-bit service field: ports are stored low word first.
inline uint16_t LoWord(uint32_t V) { return static_cast<uint16_t>(V & 0xFFFF); }
inline uint16_t HiWord(uint32_t V) { return static_cast<uint16_t>(V >> 16); }
inline uint32_t MakeServices(uint16_t Low, uint16_t High) { return static_cast<uint32_t>(Low) | (static_cast<uint32_t>(High) << 16); }

enum T_InfoTransmissionType : uint8_t {
    ttBroadcast = 0, // a search request
    ttInfoReply = 1, // an answer
};

// What a copy offers, 16 bytes; member records keep the same bytes.
struct T_InfoServicesRec {
    uint32_t SessionId = 0;     // random per start of broadcasting; requests and answers of one copy share it
    uint16_t SpareW = 0;        // not used; 0
    uint16_t InfoReplyPort = 0; // TCP port (host order) on which the sender takes answers; 0 = answer by datagram
    uint32_t TcpIpServices = 0; // two TCP service ports, low word first (0 = none)
    uint32_t OtherServices = 0; // two other service ports, low word first (0 = none)
    static constexpr uint32_t RecordSize = 16;
    template <class F>
    void Fields(F& f) {
        f(SessionId);
        f(SpareW);
        f(InfoReplyPort);
        f(TcpIpServices);
        f(OtherServices);
    }
    bool operator==(const T_InfoServicesRec&) const = default;
};

// 17 bytes: the transmission type at offset 0, the services at offsets 1 to 16.
struct T_InfoStreamSimpleTypes {
    T_InfoTransmissionType TransmissionType = ttBroadcast;
    T_InfoServicesRec isR;
    static constexpr uint32_t RecordSize = 17;
    template <class F>
    void Fields(F& f) {
        f(TransmissionType);
        f(isR);
    }
};

// Whether two identifiers name the same group member or search: a "*" in Id (else in Own) at 1-based position P
// makes only the first P - 1 characters count; without any "*" the whole texts must be equal. Letters compare
// without regard to ASCII case (only a to z are folded).
bool UniqueIdMatches(const std::string& Own, const std::string& Id);

class T_InfoStream : public TRV_SmartStream {
public:
    // The info stream has no header and a 16-bit check value.
    T_InfoStream();

    T_InfoStreamSimpleTypes sT;
    // The payload for the user of the record (a serialised group message). Owned.
    TMemoryStream AppDataStream;

    const std::string& UniqueIdStr() const { return FUniqueIdStr; }
    // Stores Value with every "*" removed: an identifier set here never acts as a wildcard.
    void SetUniqueIdStr(const std::string& Value);
    const std::string& ParameterStr() const { return FParameterStr; }
    void SetParameterStr(const std::string& Value) { FParameterStr = Value; }

    // Whether Id matches this record's identifier (see the free UniqueIdMatches).
    bool UniqueIdMatches(const std::string& Id) const { return rv::UniqueIdMatches(FUniqueIdStr, Id); }

protected:
    void AssignElements() override;

    // The broadcaster stores its search identifier unchanged: there a "*" is the wildcard of the search.
    friend class T_UpdReqInfoBroadcaster;
    std::string FUniqueIdStr;
    std::string FParameterStr;
};

// Every info stream of the program is created as this class.
class T_UpdInfoStream : public T_InfoStream {};

} // namespace rv
