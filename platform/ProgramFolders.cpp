#include "platform/ProgramFolders.h"

#include "platform/FileNames.h"
#include "platform/Files.h"

namespace ari {

ProgramFolders ProgramFoldersFor(const std::string& programFolder) {
    ProgramFolders f;
    const std::string folder = WithTrailingSeparator(programFolder);
    f.installed = folder == kInstalledProgramFolder || folder == kInstalledToolFolder;
    if (f.installed) {
        f.settingsFile = std::string(kInstalledSettingsFolder) + kSettingsFileName;
        f.templateFolder = std::string(kInstalledDataFolder) + kTemplateFolderName + kPathSeparator;
        f.stateFolder = kInstalledStateFolder;
        f.journalFolder = kInstalledJournalFolder;
        f.toolFolder = kInstalledToolFolder;
    } else {
        f.settingsFile = programFolder + kSettingsFileName;
        f.templateFolder = programFolder + kTemplateFolderName + kPathSeparator;
        f.stateFolder = programFolder;
        f.journalFolder = programFolder;
        f.toolFolder = programFolder;
    }
    return f;
}

ProgramFolders ThisProgramFolders() {
    return ProgramFoldersFor(ExtractFilePath(ExecutablePath()));
}

}  // namespace ari
