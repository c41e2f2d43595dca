#pragma once
// TRV_SmartStream: the base of every record kept on disk or sent over the network.
//
// A record class declares, in AssignElements, which of its own variables make up the record and of which kind
// each is; that order is the byte order. WriteToStream and ReadFromStream walk the same declaration list, so a
// record class writes no serialisation code. Layout of one record in a stream, each part only when its option
// is on:
//   size field (WriteStreamSize / ReadStreamSize; 32 bits, or 16 with ShortStreamLengthCRC)
//   check value (StreamCRC; CRC-32, or CRC-16/USB with ShortStreamLengthCRC) over everything after it
//   header (StreamHeader): HeaderSize = 2, Version = CompatibilityVersion * 8 + format generation 2
//   the elements, little-endian, without tags.
// Short, long and damaged data are read by fixed rules: data that is missing gives an element its null value.
//
// Construction has two phases, because a base constructor cannot reach the derived declarations:
//   1. the C++ constructors (a derived constructor may change the stream options, and creates the objects it
//      binds: make them plain members);
//   2. AfterConstruction(): AssignElements, then SetDefaultValues. It runs once.
// Create records with MakeSmartStream<T>() or as TRV_Constructed<T> (members, locals); a record declared as a
// nested element of another (AddSmartStream) is completed by that declaration. Every operation on a record whose
// second phase has not run raises std::logic_error, so a forgotten AfterConstruction fails loudly.
//
// Threads: no locking. One record object is used by one thread at a time; distinct objects are independent.

#include "foundation/streams.h"
#include "stream/progress.h"
#include "stream/record_struct.h"
#include "stream/string_io.h"
#include "stream/zlib_framing.h"

#include <array>
#include <concepts>
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace rv {

class TRV_SmartStream;
class TRV_SmartStreamList;
class TRV_MultiplexSmartStream;

// Element kinds; the code is the ordinal. Codes never appear in the byte stream. Fixed kinds (1 to 26) write a
// fixed number of bytes; sized kinds (27 and above) write a 32-bit byte count, then the payload.
// Kinds marked "reserved" have no declaring operation in this program (controls, files, images).
enum T_SmartStreamItemType : uint8_t {
    ssInsertedItemMarker = 0,
    ssBoolean = 1,
    ssByte = 2,
    ssChar = 3,
    ssComp = 4,
    ssCurrency = 5,
    ssDateTime = 6,
    ssSingle = 7,
    ssDouble = 8,
    ssReal = 9,
    ssExtended = 10,
    ssInt64 = 11,
    ssInteger = 12,
    ssLongInt = 13,
    ssLongWord = 14,
    ssDWORD = 15,
    ssSmallInt = 16,
    ssWord = 17,
    ssBinDateTime = 18,
    ssDigest160 = 19,
    ssStreamType = 20,
    ssTabControl = 21,         // reserved
    ssPageControl = 22,        // reserved
    ssCheckBoxState = 23,      // reserved
    ssRadioButtonChecked = 24, // reserved
    ssRadioGroupIndex = 25,    // reserved
    ssDataOfFixedSize = 26,
    ssStream = 27,
    ssCompressedStream = 28,
    ssSmartStream = 29,
    ssSmartStreamPtr = 30,
    ssSmartStreamList = 31,
    ssPrivateSubStream = 32,
    ssFile = 33,           // reserved
    ssCompressedFile = 34, // reserved
    ssShortString = 35,
    ssLongString = 36,
    ssTStrings = 37,
    ssCompressedTStrings = 38,
    ssBoolArray = 39,
    ssDataBlock = 40,
    ssRecord = 41,
    ssVsArray = 42, // reserved
    ssComboBoxItems = 43,     // reserved
    ssEditBoxText = 44,       // reserved
    ssListBoxItems = 45,      // reserved
    ssMemoText = 46,          // reserved
    ssRichEditText = 47,      // reserved
    ssStringGridText = 48,    // reserved
    ssFont = 49,              // reserved
    ssBitMap = 50,            // reserved
    ssBitMapAsJPeg = 51,      // reserved
    ssIcon = 52,              // reserved
    ssMetaFile = 53,          // reserved
    ssDIB = 54,               // reserved
    ssBitmapList = 55,        // reserved
    ssBitmapAsJPegList = 56,  // reserved
    ssIconList = 57,          // reserved
    ssMetaFileList = 58,      // reserved
    ssDIBList = 59,           // reserved
};

inline constexpr uint8_t C_SmartStreamCompatibilityVersion = 2; // format generation written in every header
inline constexpr uint32_t C_InsertedItemMarkerIdValue = 0xFF05A05Au;
inline constexpr int C_ProgressiveTaskAllocation = 2000;

// A record's own version number, 0 to 31, kept in bits 3 to 7 of the header's Version byte.
using T_CompatibilityVersion = uint8_t;

// Values of the fixed kinds that have no C++ scalar: stored as their bytes.
using TExtended80 = std::array<uint8_t, 10>;
using TBinDateTime = std::array<uint8_t, 7>;
using TDigest160 = std::array<uint8_t, 20>;

// Options of LoadFromFile: TExpandFFOption flags (stream/record_files.h).
using TExpandFFOptions = unsigned;

// An object bound with AddPrivateSubStream: it writes and reads its own payload inside a sized element.
class TRV_PrivateSubStream {
public:
    virtual ~TRV_PrivateSubStream() = default;
    // Called before every write, and to give the element its null value.
    virtual void Reset() = 0;
    // False fails the record's write (WriteToStream returns false).
    virtual bool WriteTo(TStream& Dest) = 0;
    // Source is exactly the element's payload. False fails the record's read.
    virtual bool ReadFrom(TStream& Source) = 0;
};

// One declared element (T_ssItem). The record owns its descriptors, never the variables they point to.
struct T_ssItem {
    T_SmartStreamItemType ItemType = ssInsertedItemMarker;
    void* ItemAddress = nullptr; // the bound variable or object
    // ssRecord, ssDataOfFixedSize: size of the bound variable in bytes; ssShortString: maximum length + 1;
    // ssInsertedItemMarker: the marker's identifying value; otherwise 0.
    uint32_t MaxItemSize = 0;
    uint32_t MarkerCount = 0; // ssInsertedItemMarker: how many descriptors follow it behind the marker
    // ssRecord bound to a struct with Fields: its encoder and decoder; null for a plain byte block.
    void (*SaveRecord)(void* Var, uint8_t* Out) = nullptr;
    void (*LoadRecord)(void* Var, const uint8_t* In) = nullptr;
    // ssSmartStreamPtr: reads the record the bound variable holds (null when it holds none).
    TRV_SmartStream* (*GetSmartStream)(void* Var) = nullptr;
};

class TRV_SmartStream {
public:
    TRV_SmartStream();
    TRV_SmartStream(const TRV_SmartStream&) = delete;
    TRV_SmartStream& operator=(const TRV_SmartStream&) = delete;
    virtual ~TRV_SmartStream();

    // Second phase of construction: AssignElements, then SetDefaultValues. Runs once; later calls do nothing.
    void AfterConstruction();
    bool IsConstructed() const { return FConstructed; }

    // Writes the record at Dest's position (Dest must be seekable). False when the write was cancelled through
    // the progress counter or a private sub-stream failed. Stream errors propagate.
    virtual bool WriteToStream(TStream& Dest);
    // Reads the record from Source's position to its end (or to the end its size field gives). False when the
    // size field, check value or header could not be read, the check value did not match, or an element's length
    // or count (also inside a nested record or list) runs past the bytes that hold it; every element is filled
    // either way (with data or its null value).
    virtual bool ReadFromStream(TStream& Source);
    // WriteToStream, raising EStreamError "TRV_SmartStream write to stream error" on false.
    virtual void SaveToStream(TStream& Stream);
    // ReadFromStream, raising EStreamError "TRV_SmartStream read from stream error" on false.
    virtual void LoadFromStream(TStream& Stream);
    // Copies a record of the same layout through memory; nullptr gives every element its null value.
    virtual void Assign(TRV_SmartStream* V);
    // Assign(nullptr), then SetDefaultValues.
    void Clear();
    // True when both records write the same bytes.
    bool Compare(TRV_SmartStream& ss);
    // Fires OnRead when Success. The reader does not call it; a caller may.
    virtual void ReadFromStreamComplete(bool Success);

    // Files (record files and the per-user data file): defined in record_files.cpp; the options and the backup
    // name are in stream/record_files.h.
    // Writes the record to FileName, replacing the file atomically. WithBackUp first renames the existing file to
    // its backup name (see CreateBackupFileName). Returns WriteToStream's result (false leaves the file as it
    // was); a file that cannot be created raises EFOpenError.
    bool SaveToFile(const std::string& FileName, bool WithBackUp);
    // Reads FileName; an error opening or reading it is caught (then effInitialize clears the record) and gives
    // false. On false with effWithBackup, the backup file is tried once.
    bool LoadFromFile(const std::string& FileName, TExpandFFOptions Options);
    // The per-user data file "<program name>.dat": candidates, fall-backs and AppUserPath as the program uses them.
    bool LoadApplicationData(bool WithBackUp);
    bool SaveAsApplicationData(bool WithBackUp);

    // Options. Change them in the derived constructor (or between operations).
    bool StreamCRC() const { return FStreamCRC; }
    void SetStreamCRC(bool V) { FStreamCRC = V; }
    bool StreamHeader() const { return FStreamHeader; }
    void SetStreamHeader(bool V) { FStreamHeader = V; }
    bool WriteStreamSize() const { return FWriteStreamSize; }
    void SetWriteStreamSize(bool V) { FWriteStreamSize = V; }
    bool ReadStreamSize() const { return FReadStreamSize; }
    void SetReadStreamSize(bool V) { FReadStreamSize = V; }
    bool ShortStreamLengthCRC() const { return FShortStreamLengthCRC; }
    void SetShortStreamLengthCRC(bool V) { FShortStreamLengthCRC = V; }
    // Set from the header on every read that has one; kept to 0..31.
    T_CompatibilityVersion CompatibilityVersion() const { return FCompatibilityVersion; }
    void SetCompatibilityVersion(T_CompatibilityVersion V) { FCompatibilityVersion = V & 31; }
    // Bound on the bytes that all compressed elements of one read (nested records included) may inflate to.
    int64_t MaxDecompressedSize() const { return FMaxDecompressedSize; }
    void SetMaxDecompressedSize(int64_t V) { FMaxDecompressedSize = V; }

    // The type code of a multiplexed record (the variable behind AddStreamType).
    uint16_t MultiStreamType() const { return FMultiStreamType; }
    uint32_t NumItems() const { return static_cast<uint32_t>(FItems.size()); }
    const std::vector<T_ssItem>& Items() const { return FItems; }
    TRV_Progress& Progress() { return FProgress; }

    // Whether this record, when nested in another, writes and expects its own check value and header. The
    // outer record replaces it for the duration of a nested read or write.
    bool SubStreamingWriteCrcAndHeaderEnabled = true;
    // The record's per-user data file once chosen.
    std::string AppUserPath;

    std::function<void(TRV_SmartStream& Sender)> OnRead;  // by ReadFromStreamComplete(true)
    std::function<void(TRV_SmartStream& Sender)> OnWrite; // at the start of every write

protected:
    // Declares the elements: call the inherited one first, then the Add operations in record order.
    virtual void AssignElements() {}
    // Gives the bound variables their defaults: after AssignElements, and in Clear. Empty in the base.
    virtual void SetDefaultValues() {}
    // Called when an ssStreamType element has been read; setting UnsupportedType stops reading the rest.
    virtual void OnReadStreamType(uint16_t V, bool& UnsupportedType);
    // Work units of one read or write: one per element.
    virtual int64_t ComputeProgressItems();
    // Fires OnWrite.
    virtual void AboutToWriteToStream();

    // ---- declaring operations: only inside AssignElements --------------------------------------------------
    void AddBoolean(bool& V) { NewItem(&V, ssBoolean); }
    void AddByte(uint8_t& V) { NewItem(&V, ssByte); }
    void AddChar(char& V) { NewItem(&V, ssChar); }
    void AddComp(int64_t& V) { NewItem(&V, ssComp); }
    void AddCurrency(int64_t& V) { NewItem(&V, ssCurrency); } // the value scaled by 10,000
    void AddDateTime(double& V) { NewItem(&V, ssDateTime); }   // days since 30 December 1899
    void AddSingle(float& V) { NewItem(&V, ssSingle); }
    void AddDouble(double& V) { NewItem(&V, ssDouble); }
    void AddReal(double& V) { NewItem(&V, ssReal); }
    void AddExtended(TExtended80& V) { NewItem(&V, ssExtended); }
    void AddInt64(int64_t& V) { NewItem(&V, ssInt64); }
    void AddInteger(int32_t& V) { NewItem(&V, ssInteger); }
    void AddLongInt(int32_t& V) { NewItem(&V, ssLongInt); }
    void AddLongWord(uint32_t& V) { NewItem(&V, ssLongWord); }
    void AddDWORD(uint32_t& V) { NewItem(&V, ssDWORD); }
    void AddSmallInt(int16_t& V) { NewItem(&V, ssSmallInt); }
    void AddWord(uint16_t& V) { NewItem(&V, ssWord); }
    void AddBinDateTime(TBinDateTime& V) { NewItem(&V, ssBinDateTime); }
    void AddDigest160(TDigest160& V) { NewItem(&V, ssDigest160); }
    // Binds the record's own type code (16 bits).
    void AddStreamType() { NewItem(&FMultiStreamType, ssStreamType); }
    // Elements inserted in the middle of a declaration go behind a marker: MarkerId tells markers apart and
    // Count is the number of elements declared right after it. A stream without the marker gives those
    // elements their null values and reading goes on with the next ones.
    void AddInsertedItemsMarker(uint32_t MarkerId, uint32_t Count);
    // A memory block of Size bytes, written as is.
    void AddDataOfFixedSize(void* V, uint32_t Size);

    // Sized kinds.
    void AddStream(TStream& V) { NewObject(&V, ssStream); }
    void AddCompressedStream(TStream& V) { NewObject(&V, ssCompressedStream); }
    void AddSmartStream(TRV_SmartStream& V);
    // A variable holding a record object; it must hold one whenever the record is written or read.
    template <class T>
        requires std::derived_from<T, TRV_SmartStream>
    void AddSmartStreamPtr(std::unique_ptr<T>& V) {
        T_ssItem& it = CreateItem(&V, ssSmartStreamPtr);
        it.GetSmartStream = [](void* p) -> TRV_SmartStream* { return static_cast<std::unique_ptr<T>*>(p)->get(); };
    }
    void AddSmartStreamList(TRV_SmartStreamList& V);
    void AddPrivateSubStream(TRV_PrivateSubStream& V) { NewObject(&V, ssPrivateSubStream); }
    // A string of at most MaxLength (1 to 255) characters, stored as a length byte and the characters.
    void AddShortString(std::string& V, uint8_t MaxLength = 255);
    void AddLongString(std::string& V) { NewItem(&V, ssLongString); }
    void AddTStrings(TStrings& V) { NewObject(&V, ssTStrings); }
    void AddCompressedTStrings(TStrings& V) { NewObject(&V, ssCompressedTStrings); }
    // Stored as the 32-bit bit count, then the bits, least significant first in each byte.
    void AddBoolArray(std::vector<bool>& V) { NewObject(&V, ssBoolArray); }
    void AddDataBlock(std::vector<uint8_t>& V) { NewObject(&V, ssDataBlock); }
    // A plain byte block of RecordSize bytes.
    void AddRecord(void* RecordStruc, uint32_t RecordSize);
    // A struct that lists its layout (see stream/record_struct.h).
    template <SmartStreamRecordStruct T>
    void AddRecord(T& V) {
        detail::TRecordSizer sizer;
        V.Fields(sizer);
        if (sizer.Size != static_cast<uint32_t>(T::RecordSize))
            throw std::logic_error("AddRecord: the fields do not add up to RecordSize");
        T_ssItem& it = CreateItem(&V, ssRecord);
        it.MaxItemSize = static_cast<uint32_t>(T::RecordSize);
        it.SaveRecord = [](void* p, uint8_t* out) {
            detail::TRecordEncoder e{out};
            static_cast<T*>(p)->Fields(e);
        };
        it.LoadRecord = [](void* p, const uint8_t* in) {
            detail::TRecordDecoder d{in};
            static_cast<T*>(p)->Fields(d);
        };
    }

    // The internal helpers behind the declaring operations.
    T_ssItem& CreateItem(void* Address, T_SmartStreamItemType Type);
    void NewItem(void* ItPtr, T_SmartStreamItemType ItType) { CreateItem(ItPtr, ItType); }
    void NewObject(void* ObjPtr, T_SmartStreamItemType ObjType) { CreateItem(ObjPtr, ObjType); }

    uint16_t FMultiStreamType = 0;

private:
    friend class TRV_SmartStreamList;
    friend class TRV_MultiplexSmartStream;
    struct TReadState;
    struct TWriteState;
    struct TInflateBudget {
        int64_t Left = 0;
    };

    void RequireConstructed() const;
    bool ReadElement(const T_ssItem& It, TReadState& St);
    void ReadSizedPayload(const T_ssItem& It, TReadState& St, int64_t Count);
    bool WriteElement(const T_ssItem& It, TWriteState& St);
    void AssignNullValue(const T_ssItem& It);
    // The list element's reader and writer live with the list (smart_stream_list.cpp).
    void ReadListElement(TRV_SmartStreamList& List, TStream& Payload, TReadState& St);
    void WriteListElement(TRV_SmartStreamList& List, TWriteState& St);
    static void NullListElement(TRV_SmartStreamList& List);
    // Nested records and list items: the record's sub-stream flag (and, for reads, the decompression budget)
    // are lent for the call and restored afterwards, also on error.
    bool ReadNested(TRV_SmartStream& Rec, TStream& Payload, bool SubFlag);
    static void WriteNested(TRV_SmartStream& Rec, TStream& Dest, bool SubFlag);
    bool DecompressInto(TStream& Payload, TStream& Dest);

    std::vector<T_ssItem> FItems;
    bool FConstructed = false;
    bool FDeclaring = false;

    bool FStreamCRC = true;
    bool FStreamHeader = true;
    bool FWriteStreamSize = false;
    bool FReadStreamSize = false;
    bool FShortStreamLengthCRC = false;
    T_CompatibilityVersion FCompatibilityVersion = 0;
    int64_t FMaxDecompressedSize = C_MaxDecompressedSize;
    TInflateBudget* FBudget = nullptr; // during a read: the budget shared with nested reads
    TRV_Progress FProgress;
};

// A record of class T, fully constructed (both phases).
template <class T, class... Args>
    requires std::derived_from<T, TRV_SmartStream>
std::unique_ptr<T> MakeSmartStream(Args&&... args) {
    auto p = std::make_unique<T>(std::forward<Args>(args)...);
    p->AfterConstruction();
    return p;
}

// A T that runs the second phase of construction in its constructor: for records held as members or locals.
template <class T>
    requires std::derived_from<T, TRV_SmartStream>
class TRV_Constructed final : public T {
public:
    template <class... Args>
    explicit TRV_Constructed(Args&&... args) : T(std::forward<Args>(args)...) {
        this->AfterConstruction();
    }
};

} // namespace rv
