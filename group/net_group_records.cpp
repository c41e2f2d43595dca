#include "group/net_group_records.h"

namespace rv {

void T_NetGroupCfg::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddRecord(sT);
    AddLongString(GroupId);
    AddLongString(HostName);
    AddLongString(ClassId);
    AddLongString(UnitId);
}

void T_NetGroupCfg::SetDefaultValues() {
    TRV_SmartStream::SetDefaultValues();
    sT.UdpPort = C_NetGroupDefaultUdpPort;
    sT.InfoReplyPort = C_NetGroupDefaultInfoReplyPort;
    sT.MsgTimeOut = C_NetGroupDefaultMsgTimeOut;
}

void T_NetGroupMember::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddRecord(sT);
    AddLongString(ClassId);
    AddLongString(UnitId);
}

int T_NetGroupMemberList::IndexOfIp(T_NumericIpAddress Ip) const {
    for (int i = Count() - 1; i >= 0; --i) {
        const T_NetGroupMember* m = Item(i);
        if (m && MemberIpIs(m->sT.MemberIpAddress, Ip)) return i;
    }
    return -1;
}

void T_NetGroupInfoR::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddRecord(sT);
    AddSmartStream(LocalMember);
    AddSmartStreamList(Members);
}

std::string ServicePortsText(uint32_t TcpIpServices, uint32_t OtherServices) {
    std::string s;
    auto pair = [&s](uint32_t Ports) {
        if (LoWord(Ports)) s += std::to_string(LoWord(Ports));
        if (HiWord(Ports)) {
            s += ',';
            s += std::to_string(HiWord(Ports));
        }
    };
    pair(TcpIpServices);
    if (OtherServices) {
        s += " : ";
        pair(OtherServices);
    }
    const size_t first = s.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return s.substr(first, s.find_last_not_of(' ') - first + 1);
}

} // namespace rv
