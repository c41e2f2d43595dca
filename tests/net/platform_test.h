#pragma once
// Expectations of the socket tests that differ between the platform backends.

#include <string>

// Checks WS_LocalIP against the platform: POSIX resolves Host as its own resolver does (possibly to nothing);
// Windows always resolves its own name, to an interface's address.
void ExpectTheLocalIpOfTheHostName(const std::string& Host);
