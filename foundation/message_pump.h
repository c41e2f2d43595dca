#pragma once
// The message pump that the main thread runs while it waits for something (a worker, a launched game).
// Main thread only. It may re-enter event handlers; callers guard against that themselves.

#include <cstdint>

namespace rv {

enum T_pmoMsgFilter : uint8_t {
    pmoNone = 0,
    pmoDisableKeys = 1,
    pmoDisableMouse = 2,
    pmoDisableKeysAndMouse = 3,
};

// The hook installed while the pump runs: it discards keyboard messages (256..264) and/or mouse messages
// (512..522, except the button-up messages 514, 517 and 520, so no button stays pressed).
class T_ApplicationMsgObject {
public:
    explicit T_ApplicationMsgObject(T_pmoMsgFilter Filter) : FpmoMsgFilter(Filter) {}
    bool Discards(uint32_t Msg) const;
    T_pmoMsgFilter FpmoMsgFilter;
    bool FTerminated = false;
};

// True while ProcessApplicationMessages runs. Main thread only.
extern bool ProcessingApplicationMessages;

// Handles the waiting messages of the main thread, at most MaxMessages of them, through the filter.
// Returns true when the application is not terminating.
bool ProcessApplicationMessages(int MaxMessages, T_pmoMsgFilter Filter);
// Repeats ProcessApplicationMessages(1000, Filter) until Ms milliseconds have passed, pausing 5 ms between calls
// when Ms > 100; false as soon as the application terminates.
bool ProcessApplicationMessagesMs(uint32_t Ms, T_pmoMsgFilter Filter);



} // namespace rv
