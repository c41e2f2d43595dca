#include "group/player_messages.h"

namespace rv {

void T_LgCommCmdWithParam::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddLongInt(Param);
}

void T_LgCommMessage::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddTStrings(MsgText);
}

void T_CommFileUpdateCmd::AssignElements() {
    TRV_SmartStream::AssignElements();
    AddRecord(sT);
    AddLongString(MapName);
    AddCompressedStream(MapFileImage);
}

std::unique_ptr<TRV_SmartStream> T_LgCommStream::CreateMultiStreamItem(uint16_t V) {
    switch (V) {
    case ccCmdWithParam:
        return std::make_unique<T_LgCommCmdWithParam>();
    case ccMessage:
        return std::make_unique<T_LgCommMessage>();
    case ccSelectMap:
    case ccSendMap:
    case crSendMap:
        return std::make_unique<T_CommFileUpdateCmd>();
    default:
        return std::make_unique<T_LgCommCmdOnly>();
    }
}

} // namespace rv
