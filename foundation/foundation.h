#pragma once
// Start and end of the foundation: the main thread, its loop backend, the synchroniser and the deferred-call
// window. Call StartFoundation first thing in main (it makes the calling thread the main thread) and
// FinishFoundation last, both on the main thread.

namespace rv {

void StartFoundation();
void FinishFoundation();

// Both in one scope.
class TFoundationScope {
public:
    TFoundationScope() { StartFoundation(); }
    ~TFoundationScope() { FinishFoundation(); }
    TFoundationScope(const TFoundationScope&) = delete;
    TFoundationScope& operator=(const TFoundationScope&) = delete;
};

} // namespace rv
