#pragma once
// Small text helpers over byte strings.

#include <string>

namespace rv {

// Whether A and B are equal when ASCII letters are compared without case; other bytes (system code page
// letters included) must match exactly. Any thread.
bool SameTextAscii(const std::string& A, const std::string& B);

} // namespace rv
