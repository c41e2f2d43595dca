#pragma once
// Expectations of the timer and guarded-call tests that differ between the platform backends.

#include <string>

// The end of a line in the text files the timer service writes.
extern const std::string kEndOfLine;

// True where a call-back can fault with a real access violation that the guard contains (Windows).
extern const bool kRaisesAccessViolations;
// A real access violation; only where kRaisesAccessViolations holds.
void RaiseAccessViolation();
