// tolvane-cli: the headless front end of Tolvane.
#include "cli/commands.h"
#include "cli/utf8_args.h"
#include "foundation/foundation.h"

#include <cstdio>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    CLI::App app{"tolvane-cli: the headless front end of the Tolvane launcher"};
    app.set_version_flag("--version", std::string("tolvane-cli ") + TOLVANE_VERSION);
    app.require_subcommand(0, 1);
    std::vector<cli::TCommand> commands;
    // Each command file adds itself here: commands.push_back(cli::AddXxxCommand(app));
    commands.push_back(cli::AddConfigCommand(app));
    commands.push_back(cli::AddPeerCommand(app));
    commands.push_back(cli::AddExternalIpCommand(app));

    const std::vector<std::string> args = cli::Utf8Arguments(argc, argv);
    std::vector<const char*> argp;
    for (const std::string& a : args) argp.push_back(a.c_str());
    try {
        app.parse(static_cast<int>(argp.size()), argp.data());
    } catch (const CLI::ParseError& e) {
        // Help and version exit 0; every mistake on the command line exits 2.
        return app.exit(e) == 0 ? 0 : 2;
    }
    for (const cli::TCommand& c : commands) {
        if (c.Sub->parsed()) {
            rv::TFoundationScope foundation;
            return c.Run();
        }
    }
    std::fputs(app.help().c_str(), stdout);
    return 0;
}
