#pragma once
// The lines of the standard input, delivered on the main thread without ever blocking it.
//
// A thread of its own reads the input (a pipe, a file or a console) and hands complete lines to the main thread
// through a hidden window; the main loop keeps running meanwhile. The reading thread is never joined: at exit it
// may still wait in its read, and it ends with the process.

#include "foundation/main_loop.h"

#include <functional>
#include <memory>
#include <string>

namespace cli {

class TStdinLines {
public:
    // Main thread. Starts reading at once. OnLine gets every line without its end of line (a carriage return
    // before it is dropped too); OnEnd runs once when the input ends (a last line without an end of line is
    // delivered first).
    TStdinLines(std::function<void(const std::string& Line)> OnLine, std::function<void()> OnEnd);
    // Main thread. Nothing is delivered any more.
    ~TStdinLines();
    TStdinLines(const TStdinLines&) = delete;
    TStdinLines& operator=(const TStdinLines&) = delete;

private:
    struct TShared;
    class TWindow;
    std::shared_ptr<TShared> FShared;
    std::unique_ptr<TWindow> FWindow;
};

namespace detail {
// Backend: reads up to Size bytes of the standard input, waiting for them; the count, 0 at the end of the input,
// -1 on an error. The reading thread only.
long ReadStdin(char* Buffer, unsigned long Size);
} // namespace detail

} // namespace cli
