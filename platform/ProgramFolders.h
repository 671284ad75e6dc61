// Where the programs keep their settings file, template tables, run marker, journal and session
// tools. Two layouts, chosen by the folder the program runs from (pure text rules, nothing here
// touches the disk):
//
// - beside the program (a build's bin folder, an unpacked copy anywhere): every file in the
//   program's own folder, the templates unpacked there on the first start;
// - installed (the program runs from /usr/bin or /usr/libexec/autoreindex, where the Debian
//   package puts it): the settings in /etc/autoreindex, the templates shipped in
//   /usr/share/autoreindex/mdx, the run marker and the day of the last pass in
//   /var/lib/autoreindex, the journal in /var/log/autoreindex and the session tools in
//   /usr/libexec/autoreindex.
#pragma once

#include <string>

namespace ari {

// The installed layout's folders, each with its trailing separator.
inline constexpr const char* kInstalledProgramFolder = "/usr/bin/";
inline constexpr const char* kInstalledToolFolder = "/usr/libexec/autoreindex/";
inline constexpr const char* kInstalledSettingsFolder = "/etc/autoreindex/";
inline constexpr const char* kInstalledDataFolder = "/usr/share/autoreindex/";
inline constexpr const char* kInstalledStateFolder = "/var/lib/autoreindex/";
inline constexpr const char* kInstalledJournalFolder = "/var/log/autoreindex/";

struct ProgramFolders {
    bool installed = false;      // the installed layout (the templates are the package's)
    std::string settingsFile;    // Setting_VorelIndex.ini
    std::string templateFolder;  // the template tables ("mdx/")
    std::string stateFolder;     // the run marker and the record of the day's pass
    std::string journalFolder;   // autoreindex.log and its older files
    std::string toolFolder;      // quser and logoff
};

// The folders of a program that runs from `programFolder` (with its trailing separator, as
// ExtractFilePath gives it). Folder texts end in the separator.
ProgramFolders ProgramFoldersFor(const std::string& programFolder);

// The folders of the running program.
ProgramFolders ThisProgramFolders();

}  // namespace ari
