#pragma once
// Private to the foundation library: the main loop's backend hooks, used by the backends and by
// StartFoundation / FinishFoundation. Nothing outside foundation/ includes this.

#include <cstdint>
#include <functional>

namespace rv::detail {
// Backend start and stop, called by StartFoundation / FinishFoundation on the main thread.
void InitMainLoopBackend();
void FinishMainLoopBackend();
// Any thread: makes a waiting main loop look at its state again.
void WakeMainLoop();
// Records that the application terminates (a quit message was seen, or ApplicationTerminate).
void MarkTerminated(int ExitCode);
int ExitCode();
// The message pump's backend, main thread: handles at most MaxMessages waiting messages, dropping those that
// Discards names; returns how many it took. Window 0 means every window of the thread, otherwise only that one's.
int PumpWaitingMessages(int MaxMessages, const std::function<bool(uint32_t Msg)>& Discards, uintptr_t Window);
// The application's own window, when the program has one (0 otherwise).
uintptr_t ApplicationWindow();
} // namespace rv::detail
