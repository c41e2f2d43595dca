// Writes the seed corpus of the fuzz targets: a few well-formed inputs under several option sets.
//   build/fuzz/fuzz/fuzz_make_seeds fuzz/corpus
#include "fuzz/fuzz_records.h"

#include "app/config_record.h"
#include "group/info_stream.h"
#include "group/net_group_records.h"
#include "group/player_messages.h"
#include "stream/zlib_framing.h"
#include "tests/group/synthetic_map.h"

#include <cstdio>
#include <filesystem>
#include <string>

namespace {

void Save(const std::string& Path, uint8_t First, rv::TMemoryStream& Body) {
    std::filesystem::create_directories(std::filesystem::path(Path).parent_path());
    std::FILE* f = std::fopen(Path.c_str(), "wb");
    if (!f) return;
    std::fputc(First, f);
    std::fwrite(Body.Memory(), 1, static_cast<size_t>(Body.Size()), f);
    std::fclose(f);
}

// A record as a seed of Target: as it is (control byte 0).
void SaveRecord(const std::string& Dir, const std::string& Target, const std::string& Name, rv::TRV_SmartStream& R) {
    rv::TMemoryStream body;
    R.SaveToStream(body);
    Save(Dir + "/" + Target + "/" + Name, 0, body);
}

void FillMember(rv::T_NetGroupMember& M, uint8_t Last, const std::string& UnitId) {
    M.sT.MemberIpAddress = rv::MemberIpOf(0x0001A8C0u | (static_cast<uint32_t>(Last) << 24));
    M.sT.isR.SessionId = 0x01020304u * Last;
    M.sT.isR.InfoReplyPort = 53796;
    M.sT.isR.TcpIpServices = 53797;
    M.ClassId = "Launcher";
    M.UnitId = UnitId;
}

void RecordSeeds(const std::string& Dir) {
    auto cfg = rv::MakeSmartStream<rv::T_ConfigRec>();
    SaveRecord(Dir, "config_record", "defaults", *cfg);
    cfg->sT.Mainltwh = {10, 20, 640, 480};
    cfg->sT.LaunchCount = 9;
    cfg->Duke3dInstallFolder = "C:\\Games\\Duke3d";
    cfg->CurrentMapFileName = "C:\\Maps\\caf\xe9.map";
    cfg->OurIpStr = "192.168.1.5";
    cfg->NetGroupCfgR.UnitId = "Alice";
    cfg->NetGroupCfgR.sT.NetGroupSearchMethod = rv::ngsMemberIp;
    cfg->MsgTextList = {"gg", "", "ready?"};
    cfg->MpMapReOpenList = {"C:\\Maps\\a.map"};
    cfg->SpMapReOpenList = {"x"};
    SaveRecord(Dir, "config_record", "filled", *cfg);

    auto group = rv::MakeSmartStream<rv::T_NetGroupInfoR>();
    FillMember(group->LocalMember, 5, "Bob");
    SaveRecord(Dir, "net_group_info", "no_members", *group);
    for (uint8_t i = 6; i < 8; ++i) {
        auto m = rv::MakeSmartStream<rv::T_NetGroupMember>();
        FillMember(*m, i, "member" + std::to_string(i));
        group->Members.Add(std::move(m));
    }
    SaveRecord(Dir, "net_group_info", "members", *group);

    auto info = rv::MakeSmartStream<rv::T_UpdInfoStream>();
    SaveRecord(Dir, "info_stream", "empty", *info);
    info->SetUniqueIdStr("GameDuke3d~Launcher~Bob");
    info->sT.isR.InfoReplyPort = 53796;
    SaveRecord(Dir, "info_stream", "search", *info);
    info->sT.TransmissionType = rv::ttInfoReply;
    group->SaveToStream(info->AppDataStream);
    SaveRecord(Dir, "info_stream", "reply", *info);

    auto packet = rv::MakeSmartStream<rv::T_LgCommStream>();
    for (uint16_t type : {0, 7}) {
        packet->SetStreamItemType(type);
        SaveRecord(Dir, "lg_comm", "type_" + std::to_string(type), *packet);
    }
    packet->SetStreamItemType(rv::ccCmdWithParam);
    packet->ItemAs<rv::T_LgCommCmdWithParam>()->Param = 42;
    SaveRecord(Dir, "lg_comm", "param", *packet);
    packet->SetStreamItemType(rv::ccMessage);
    packet->ItemAs<rv::T_LgCommMessage>()->MsgText = {"gg ready?"};
    SaveRecord(Dir, "lg_comm", "message", *packet);
    for (uint16_t type : {rv::ccSelectMap, rv::ccSendMap, rv::crSendMap}) {
        packet->SetStreamItemType(type);
        auto* cmd = packet->ItemAs<rv::T_CommFileUpdateCmd>();
        cmd->MapName = "E1L1.MAP";
        cmd->sT.MapDateTime = 39435.98;
        cmd->sT.MapFileSize = 4096;
        if (type == rv::crSendMap) {
            const std::vector<uint8_t> map = synthetic_map::MapImage(4096);
            cmd->MapFileImage.WriteBuffer(map.data(), static_cast<int64_t>(map.size()));
        }
        SaveRecord(Dir, "lg_comm", "file_" + std::to_string(type), *packet);
    }
}

} // namespace

int main(int argc, char** argv) {
    const std::string dir = argc > 1 ? argv[1] : "fuzz/corpus";
    auto rec = rv::MakeSmartStream<fuzz_records::TEverything>();
    rec->Bool = true;
    rec->LongInt = 123456;
    rec->Long = "long string";
    rec->Short = "short";
    rec->Strings = {"a", "", "ccc"};
    rec->CompressedStrings = {"compressed", "lines"};
    rec->Bits = {true, false, true};
    rec->Block = {1, 2, 3, 4};
    rec->Nested.S = "nested";
    rec->Private.Text = "private";
    rec->Stream.WriteBuffer("stream bytes", 12);
    rec->CompressedStream.WriteBuffer("zzzzzzzzzzzzzzzzzzzzzzzzzzzzzzzz", 32);
    for (int i = 0; i < 2; ++i) {
        auto leaf = rv::MakeSmartStream<fuzz_records::TLeaf>();
        leaf->V = i;
        leaf->S = "leaf";
        rec->List.Add(std::move(leaf));
    }
    rec->Mux->SetStreamItemType(1);
    // Default options, no framing at all, the info-stream framing, and size fields with everything.
    for (uint8_t options : {0x03, 0x00, 0x05, 0x0F}) {
        fuzz_records::ApplyOptions(*rec, options);
        rv::TMemoryStream body;
        rec->SaveToStream(body);
        Save(dir + "/smart_stream_load/seed_" + std::to_string(options), options, body);
    }

    for (int tagged = 0; tagged < 2; ++tagged) {
        rv::TMemoryStream src, body;
        src.WriteBuffer("hello hello hello hello", 23);
        rv::CompressStreamToStream(src, body, tagged ? 7 : 0);
        Save(dir + "/decompress/seed_" + std::to_string(tagged), static_cast<uint8_t>(tagged), body);
    }
    RecordSeeds(dir);
    return 0;
}
