#include "schedule/ScheduleSettings.h"

#include "platform/Files.h"
#include "settings/Formats.h"
#include "settings/IniValue.h"

namespace ari {

namespace {

template <typename Convert>
auto ConvertSetting(const std::string& settingsFile, const std::string& key, Convert convert) {
    try {
        return convert();
    } catch (const EConvertError& e) {
        throw EConvertError(e.Message() + " (key " + key + " in " + settingsFile + ")");
    }
}

}  // namespace

std::string ReadSetting(const std::string& settingsFile, const std::string& key) {
    std::string value;
    IniValue(settingsFile, kSettingsSection, key, std::string(), false, false, value);
    return value;
}

void WriteSetting(const std::string& settingsFile, const std::string& key,
                  const std::string& value) {
    std::string readBack;
    IniValue(settingsFile, kSettingsSection, key, value, true, false, readBack);
}

TDateTime SettingTime(const std::string& settingsFile, const std::string& key,
                      const std::string& text) {
    return ConvertSetting(settingsFile, key, [&] { return StrToTime(text); });
}

bool SettingFlag(const std::string& settingsFile, const std::string& key, const std::string& text) {
    return ConvertSetting(settingsFile, key, [&] { return StrToBool(text); });
}

ScheduleSettings ReadScheduleSettings(const std::string& settingsFile) {
    const auto read = [&](const char* key) { return ReadSetting(settingsFile, key); };
    const auto flag = [&](const char* key) {
        const std::string text = read(key);
        return !text.empty() && SettingFlag(settingsFile, key, text);
    };
    ScheduleSettings s;
    s.templateFolder = read(kSourceKey);
    s.liveFolder = read(kDestKey);
    s.operations.transfer = flag(kTransferKey);
    s.operations.rebuild = flag(kReindexKey);
    s.operations.pack = flag(kPackKey);
    const std::string begin = read(kBeginKey);
    const std::string end = read(kEndKey);
    if (!begin.empty())
        s.begin = LongTimeText(SettingTime(settingsFile, kBeginKey, begin));
    if (!end.empty())
        s.end = LongTimeText(SettingTime(settingsFile, kEndKey, end));
    return s;
}

std::string UnusableSettings(const std::string& settingsFile, const ScheduleSettings& settings) {
    if (!FileExists(settingsFile))
        return "The settings file " + settingsFile + " does not exist or is not a file";
    if (settings.liveFolder.empty())
        return std::string("No live folder is set (key ") + kDestKey + " in " + settingsFile +
               " is empty)";
    if (!settings.operations.IndexPass() && !settings.operations.pack)
        return std::string("No operation is chosen (keys ") + kTransferKey + ", " + kReindexKey +
               " and " + kPackKey + " in " + settingsFile + ")";
    return {};
}

}  // namespace ari
