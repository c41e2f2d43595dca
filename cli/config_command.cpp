// tolvane-cli config: shows and sets the launcher's configuration record.
//   config show [--file PATH]               the record as one JSON object
//   config set [--file PATH] KEY=VALUE ...  sets fields by dotted key and saves
// Without --file the launcher's per-user data file is used, found and saved as the launcher does.
#include "cli/commands.h"

#include "app/config_record.h"
#include "cli/config_json.h"
#include "foundation/message_box.h"
#include "stream/app_files.h"
#include "stream/record_files.h"

#include <cstdio>
#include <exception>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

namespace cli {

namespace {

struct TConfigOptions {
    std::string File;
    std::vector<std::string> Assignments;
};

// The launcher's data file is "Tolvane.dat" whatever this program is called: the program name is the launcher's,
// everything else (folders, privileges) is what the platform says.
void UseLauncherDataFile() {
    static rv::TAppFilesEnvironment env;
    env.ExeName = rv::C_LauncherExeName;
    env.ExeFolderPath = rv::ExeFolderPath();
    env.CurrentDirectoryPath.clear(); // the current directory as it is at each use
    env.ApplicationUserDataPath = rv::ApplicationUserDataPath();
    env.Administrator = rv::HasAdministratorPrivilege();
    env.NtPlatform = rv::IsNtPlatform();
    rv::SetAppFilesEnvironment(&env);
    // A headless program has no boxes: their texts go to stderr.
    rv::SetMessageBoxHook([](const std::string& Title, const std::string& Text, uint32_t) {
        std::cerr << "tolvane-cli: " << Title << ": " << Text << "\n";
        return rv::idOK;
    });
}

// Loads the record from Options.File, or from the per-user data file. Returns the load status; the file name
// read is in FileName, and why an unreadable file could not be read in Reason.
rv::TCfgLoadStatus Load(rv::T_ConfigRec& R, const TConfigOptions& Options, std::string& FileName,
                        std::string& Reason) {
    if (!Options.File.empty()) {
        FileName = Options.File;
        return rv::LoadConfigFile(R, FileName, &Reason);
    }
    UseLauncherDataFile();
    rv::TCfgLoadResult res = rv::LoadConfigRecord(R, false); // looking never moves a damaged file
    FileName = res.FileName;
    return res.Status;
}

int Show(const TConfigOptions& Options) {
    rv::TRV_Constructed<rv::T_ConfigRec> rec;
    std::string file, reason;
    const rv::TCfgLoadStatus st = Load(rec, Options, file, reason);
    if (st == rv::TCfgLoadStatus::Unreadable) {
        std::cerr << "tolvane-cli: cannot read " << file << (reason.empty() ? "" : ": " + reason) << "\n";
        return 1;
    }
    std::cout << ConfigRecordToJson(rec).dump(2) << "\n";
    if (st == rv::TCfgLoadStatus::Damaged) {
        std::cerr << "tolvane-cli: damaged configuration file " << file
                  << " (it fails its check or an element runs past its end); shown are the values a failed read "
                  << "leaves\n";
        return 2;
    }
    return 0;
}

int Set(const TConfigOptions& Options) {
    rv::TRV_Constructed<rv::T_ConfigRec> rec;
    std::string file, reason;
    const rv::TCfgLoadStatus st = Load(rec, Options, file, reason);
    if (st == rv::TCfgLoadStatus::Unreadable) {
        std::cerr << "tolvane-cli: cannot read " << file << (reason.empty() ? "" : ": " + reason) << "\n";
        return 1;
    }
    if (st == rv::TCfgLoadStatus::Damaged) {
        std::cerr << "tolvane-cli: damaged configuration file " << file
                  << " (it fails its check or an element runs past its end); nothing changed\n";
        return 2;
    }
    // Every assignment is checked before anything is saved: one bad key or value changes nothing.
    for (const std::string& a : Options.Assignments) {
        const size_t eq = a.find('=');
        if (eq == std::string::npos || eq == 0) {
            std::cerr << "tolvane-cli: expected KEY=VALUE: " << a << "\n";
            return 2;
        }
        std::string error;
        if (!SetConfigField(rec, a.substr(0, eq), a.substr(eq + 1), error)) {
            std::cerr << "tolvane-cli: " << error << "; nothing changed\n";
            return 2;
        }
    }
    std::string error;
    bool saved = false;
    if (!Options.File.empty()) {
        try {
            saved = rec.SaveToFile(file, false);
            if (!saved) error = "the record could not be written";
        } catch (const std::exception& e) {
            error = e.what();
        }
    } else {
        saved = rv::SaveConfigRecord(rec, &error);
        file = rec.AppUserPath;
    }
    if (!saved) {
        std::cerr << "tolvane-cli: cannot save " << file << ": " << error << "\n";
        return 1;
    }
    return 0;
}

} // namespace

TCommand AddConfigCommand(CLI::App& App) {
    auto options = std::make_shared<TConfigOptions>();
    CLI::App* config = App.add_subcommand("config", "Show or set the launcher's configuration record");
    config->require_subcommand(1);
    CLI::App* show = config->add_subcommand("show", "Print the configuration record as one JSON object");
    show->add_option("--file", options->File, "A configuration file instead of the per-user data file");
    CLI::App* set = config->add_subcommand("set", "Set fields by dotted key (sT.LaunchCount=7) and save");
    set->add_option("--file", options->File, "A configuration file instead of the per-user data file");
    set->add_option("assignments", options->Assignments, "KEY=VALUE ...")->required();
    return {config, [options, show, set]() {
                if (show->parsed()) return Show(*options);
                if (set->parsed()) return Set(*options);
                return 2;
            }};
}

} // namespace cli
