// The settings of the schedule in the settings file: its section and keys, the text forms of
// their values, and the reading of them that the window and the runner share, with errors that
// name the key and the file.
#pragma once

#include <string>

#include "maintenance/MaintenanceRun.h"
#include "platform/DateTime.h"

namespace ari {

inline constexpr const char* kSettingsSection = "Setting";
// The keys, in the order the window saves them.
inline constexpr const char* kBeginKey = "Begin";        // a long time text: the window's start
inline constexpr const char* kEndKey = "End";            // a long time text: the window's end
inline constexpr const char* kSourceKey = "Source";      // the template folder
inline constexpr const char* kDestKey = "Dest";          // the live folder
inline constexpr const char* kTransferKey = "Transfer";  // flags: "-1" ticked, "0" clear
inline constexpr const char* kReindexKey = "Reindex";
inline constexpr const char* kPackKey = "Pack";
inline constexpr const char* kAutomatKey = "Automat";
inline constexpr const char* kTrueText = "-1";
inline constexpr const char* kFalseText = "0";

// The value of `key` in `settingsFile` ("" when the file, section or key is missing). Throws as
// IniValue does.
std::string ReadSetting(const std::string& settingsFile, const std::string& key);
// Writes one key; throws Exception "Unable to write to <file>" on failure.
void WriteSetting(const std::string& settingsFile, const std::string& key,
                  const std::string& value);

// The time of `text` (StrToTime) and the flag of `text` (StrToBool). A text that is none raises
// EConvertError naming the key and the settings file after the conversion's own text:
// "'25:00' is not a valid time (key End in <file>)".
TDateTime SettingTime(const std::string& settingsFile, const std::string& key,
                      const std::string& text);
bool SettingFlag(const std::string& settingsFile, const std::string& key, const std::string& text);

// The whole schedule as the runner reads it at each tick.
struct ScheduleSettings {
    std::string templateFolder;  // "" : the template folder beside the program
    std::string liveFolder;
    RunOperations operations;
    std::string begin, end;  // the time window as long time texts; "" when not set
};
// Throws Exception (EConvertError naming the key and the file for a value that is not a flag or
// a time, EInOutError for a file that cannot be read).
ScheduleSettings ReadScheduleSettings(const std::string& settingsFile);

// Why the settings cannot drive an unattended pass ("" when they can): the file is missing or
// no regular file, no live folder is set, or no operation is ticked. The message names the file
// and, where one is at fault, the key.
std::string UnusableSettings(const std::string& settingsFile, const ScheduleSettings& settings);

}  // namespace ari
