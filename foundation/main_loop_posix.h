#pragma once
// POSIX only: descriptors watched by the main loop. The socket layer uses these to turn readiness into the
// socket event messages that Winsock would post.

#include <cstdint>
#include <functional>

namespace rv::posix {

// Called on the main thread with the ready events for the descriptor (poll() bits: POLLIN, POLLOUT, POLLRDHUP,
// POLLERR, POLLHUP).
using TFdCallback = std::function<void(short Revents)>;

// Any thread. Watches Fd for Events (poll() bits; 0 pauses the watch) and returns the watch's id. A descriptor
// has one watch at a time, and its watch ends before the descriptor is closed.
uint64_t WatchFd(int Fd, short Events, TFdCallback Callback);
// Any thread. Changes the events of a watch; an unknown id is ignored.
void SetWatchEvents(uint64_t Id, short Events);
// Any thread. Ends a watch. Called on the main thread, the callback is never called again once this returns;
// called on another thread, a callback that the main thread is running at that moment still finishes.
void UnwatchFd(uint64_t Id);

} // namespace rv::posix
