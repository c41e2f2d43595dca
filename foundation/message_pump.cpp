#include "foundation/message_pump.h"

#include "foundation/main_loop.h"
#include "foundation/main_loop_internal.h"
#include "foundation/stop_watch.h"

#include <algorithm>

namespace rv {

bool ProcessingApplicationMessages = false;

bool T_ApplicationMsgObject::Discards(uint32_t Msg) const {
    if ((FpmoMsgFilter & pmoDisableKeys) && Msg >= 256 && Msg <= 264) return true;
    if ((FpmoMsgFilter & pmoDisableMouse) && Msg >= 512 && Msg <= 522)
        return Msg != 514 && Msg != 517 && Msg != 520;
    return false;
}

bool ProcessApplicationMessages(int MaxMessages, T_pmoMsgFilter Filter) {
    const T_ApplicationMsgObject hook(Filter);
    const auto discards = [&hook](uint32_t Msg) { return hook.Discards(Msg); };
    bool wasProcessing = ProcessingApplicationMessages;
    ProcessingApplicationMessages = true;
    int left = MaxMessages;
    if (!ApplicationTerminated() && left > 0) left -= detail::PumpWaitingMessages(left, discards, 0);
    uintptr_t appWnd = detail::ApplicationWindow();
    if (appWnd != 0 && !ApplicationTerminated() && left > 0) detail::PumpWaitingMessages(left, discards, appWnd);
    ProcessingApplicationMessages = wasProcessing;
    return !ApplicationTerminated();
}

bool ProcessApplicationMessagesMs(uint32_t Ms, T_pmoMsgFilter Filter) {
    TRV_StopWatch sw(true);
    for (;;) {
        if (!ProcessApplicationMessages(1000, Filter)) return false;
        uint32_t elapsed = sw.ElapsedTimeMS();
        if (elapsed >= Ms) return true;
        // The pause between passes ends early when a message arrives, so short waits stay responsive without
        // spinning.
        WaitForMessages(std::min<uint32_t>(Ms - elapsed, 5));
    }
}

} // namespace rv
