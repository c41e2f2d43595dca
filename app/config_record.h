#pragma once
// T_ConfigRec: everything the launcher remembers between runs, stored as the per-user data file "Tolvane.dat"
// in the element format (CRC-32, header 02 02, then the elements in the order of AssignElements).
//
// CfgR is the one live record. It is created and loaded at start-up (InitCfgR) and saved whenever something
// that must survive changes (WriteCfgR). A data file that fails its check is kept aside under a new name and the
// launcher starts from its defaults, so that a damaged file never leaves the player without ports or group.
//
// Threads: CfgR, InitCfgR, FreeCfgR and WriteCfgR on the main thread only. The other functions on any thread, for a
// record that no other thread uses at the time.

#include "group/net_group_records.h"
#include "stream/smart_stream.h"
#include "stream/string_io.h"

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace rv {

// The launcher's program name: its data file is "<name>.dat" (also when another program of the kit reads it).
inline constexpr const char* C_LauncherExeName = "Tolvane";
inline constexpr const char* C_Duke3dExeName = "duke3d_w32.exe";
inline constexpr const char* C_MpNetCfgFileName = "mpNetCfg.txt";

// Launcher defaults of the net group configuration.
inline constexpr uint16_t C_LauncherUdpPort = 53795;
inline constexpr uint16_t C_LauncherInfoReplyPort = 53796;
inline constexpr uint16_t C_LauncherServicePort = 53797;

struct T_ltwhRect {
    int32_t Left = 0, Top = 0, Width = 0, Height = 0;
    static constexpr uint32_t RecordSize = 16;
    template <class F>
    void Fields(F& f) {
        f(Left);
        f(Top);
        f(Width);
        f(Height);
    }
};

// 196 bytes, stored as one block.
struct T_CfgSimpleRec {
    T_ltwhRect Mainltwh;      // main window placement saved at shut-down
    T_ltwhRect Spare1, Spare2, Spare3;
    bool RestoreSizePos = false;
    bool MinToSystemTray = false;
    bool FullScreen = false;
    bool ShowFirstTimeHelp = false;
    std::array<uint8_t, 124> Hc_Cols{}; // reserved: kept as read, never interpreted
    int32_t LaunchCount = 0;
    static constexpr uint32_t RecordSize = 196;
    template <class F>
    void Fields(F& f) {
        f(Mainltwh);
        f(Spare1);
        f(Spare2);
        f(Spare3);
        f(RestoreSizePos);
        f(MinToSystemTray);
        f(FullScreen);
        f(ShowFirstTimeHelp);
        f(Hc_Cols);
        f(LaunchCount);
    }
};

class T_ConfigRec : public TRV_SmartStream {
public:
    T_CfgSimpleRec sT;
    std::string Duke3dInstallFolder;
    std::string Duke3dMapFolder;     // root of map searches
    std::string Duke3dMultiPlayMaps; // sub-folder of Duke3dMapFolder for received maps
    std::string CurrentMapFileName;  // full path of the current multiplayer map
    std::string CurrentMpMapPath;    // folder of the last multiplayer map picked
    std::string CurrentSpMapPath;    // folder of the last single-player map picked
    std::string OurIpStr;            // this player's address as the others must use it, dotted
    std::string GamePortStr;         // the game's network port, as text
    T_NetGroupCfg NetGroupCfgR;      // includes the player's name (UnitId)
    TStrings MsgTextList;            // chat history
    TStrings MpMapReOpenList;        // recent multiplayer maps and folders
    TStrings SpMapReOpenList;        // recent single-player maps and folders

    // The install folder as a folder path, then "duke3d_w32.exe" (the bare name when the folder is empty).
    std::string Duke3dExeFileName() const;
    // The map folder as a folder path, then the multiplayer sub-folder (no trailing separator).
    std::string MpSharedMapFolder() const;

protected:
    void AssignElements() override;
    void SetDefaultValues() override;
};

enum class TCfgLoadStatus {
    Loaded,     // the file's values are in the record
    Missing,    // no file: the record holds its defaults
    Unreadable, // the file exists but could not be read (or is a folder): the record holds its defaults
    Damaged,    // the file failed its check, holds an element running past its end, or is empty: the record
                // holds the null values of a failed read
};

// Reads FileName into R. Missing and unreadable files leave R at its defaults; a damaged one leaves the null
// values that a failed read gives (the caller decides what to do with the file). Never raises for file content.
// For an unreadable file, *Reason (when given) says why: "it is a folder" or the system's text.
TCfgLoadStatus LoadConfigFile(T_ConfigRec& R, const std::string& FileName, std::string* Reason = nullptr);

// Renames a damaged file to "<FileName>.damaged" (or ".damaged.1", ".damaged.2" ... when taken), never replacing
// an earlier copy. Returns the new name, or "" when the file could not be kept aside.
std::string KeepDamagedFileAside(const std::string& FileName);

struct TCfgLoadResult {
    TCfgLoadStatus Status = TCfgLoadStatus::Missing;
    std::string FileName;  // the data file that was read (or looked for)
    std::string KeptAside; // Damaged: where the damaged file now is ("" when it could not be moved)
};

// Loads R from the per-user data file as the launcher does at start-up: the candidates and AppUserPath of
// LoadApplicationData. A damaged file is kept aside and R restarts from its defaults; without KeepDamagedAside
// (tools that only look) the file stays where it is and R holds the null values of the failed read.
TCfgLoadResult LoadConfigRecord(T_ConfigRec& R, bool KeepDamagedAside = true);

// Saves R as the per-user data file (SaveAsApplicationData, without backup). The file is replaced in one step, so
// a failed save leaves the previous file whole. False on failure, with a description in *ErrorText when given.
bool SaveConfigRecord(T_ConfigRec& R, std::string* ErrorText = nullptr);

// The launcher's live configuration record; null before InitCfgR and after FreeCfgR.
extern std::unique_ptr<T_ConfigRec> CfgR;
// The external address in dotted form once known, else empty.
extern std::string ExternalIp;

// Start-up: creates CfgR with its defaults and loads the stored record over them.
TCfgLoadResult InitCfgR();
// Shut-down: releases CfgR and clears ExternalIp.
void FreeCfgR();
// Saves CfgR (see SaveConfigRecord).
bool WriteCfgR(std::string* ErrorText = nullptr);

} // namespace rv
