#pragma once
// Private to the foundation library: the main loop's backend hooks, used by the backends and by
// StartFoundation / FinishFoundation. Nothing outside foundation/ includes this.

namespace rv::detail {
// Backend start and stop, called by StartFoundation / FinishFoundation on the main thread.
void InitMainLoopBackend();
void FinishMainLoopBackend();
// Any thread: makes a waiting main loop look at its state again.
void WakeMainLoop();
// Records that the application terminates (a quit message was seen, or ApplicationTerminate).
void MarkTerminated(int ExitCode);
int ExitCode();
} // namespace rv::detail
