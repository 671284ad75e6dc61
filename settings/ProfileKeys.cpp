#include "settings/ProfileKeys.h"

#include "platform/FileErrors.h"

namespace ari {

std::string ReadProfileString(const std::string& path, const std::string& section,
                              const std::string& key) {
    std::string bytes;
    try {
        if (!ReadProfileFile(path, bytes))
            return {};
    } catch (const EInOutError&) {
        return {};  // read as a missing file; only a write must not go past it
    }
    return ProfileText(bytes).Read(section, key);
}

std::string ReadProfileValue(const std::string& path, const std::string& section,
                             const std::string& key) {
    std::string bytes;
    if (!ReadProfileFile(path, bytes))
        return {};
    return ProfileText(bytes).Read(section, key);
}

void WriteProfileString(const std::string& path, const std::string& section, const std::string& key,
                        const std::string& value) {
    if (!IsWritableProfileEntry(section, key, value))
        throw EInOutError(kInvalidFileName, FileErrorMessage(kInvalidFileName));
    std::string bytes;
    ReadProfileFile(path, bytes);
    ProfileText text(bytes);
    text.Write(section, key, value);
    ReplaceProfileFile(path, text.Bytes());
}

void DeleteProfileKey(const std::string& path, const std::string& section, const std::string& key) {
    std::string bytes;
    if (!ReadProfileFile(path, bytes))
        return;
    ProfileText text(bytes);
    if (text.Delete(section, key))
        ReplaceProfileFile(path, text.Bytes());
}

}  // namespace ari
