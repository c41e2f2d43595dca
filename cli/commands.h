#pragma once
// The sub-commands of tolvane-cli. Each command file adds its sub-command to the application and returns the
// function that runs it once the command line has been parsed (the foundation is started by then).

#include <CLI/CLI.hpp>
#include <functional>

namespace cli {

// Runs a parsed sub-command; returns the process exit status (0 success, 1 failure, 2 bad input or damaged data).
using TCommandRun = std::function<int()>;

struct TCommand {
    CLI::App* Sub;
    TCommandRun Run;
};

// tolvane-cli config show | set (config_command.cpp).
TCommand AddConfigCommand(CLI::App& App);
// tolvane-cli peer: a headless copy in the net group, JSON lines out, commands in (peer_command.cpp).
TCommand AddPeerCommand(CLI::App& App);
// tolvane-cli external-ip [--url URL ...]: the address other players can reach (external_ip_command.cpp).
TCommand AddExternalIpCommand(CLI::App& App);

} // namespace cli
