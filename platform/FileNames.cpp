#include "platform/FileNames.h"

#include "platform/Files.h"

namespace ari {

namespace {
constexpr const char* kTempSuffix = ".tmp";
constexpr const char* kUniqueSuffix = "XXXXXX";
constexpr size_t kUniqueLength = 6;
}  // namespace

std::string SortRunPurpose(size_t run) {
    return "sort" + std::to_string(run);
}

std::string StemOf(const std::string& path) {
    const std::string name = ExtractFileName(path);
    const auto dot = name.rfind('.');
    return ExtractFilePath(path) + (dot == std::string::npos ? name : name.substr(0, dot));
}

std::string CompanionPathFor(const std::string& tablePath, const std::string& ext) {
    return StemOf(tablePath) + ext;
}

bool HasExtension(const std::string& path, const std::string& ext) {
    const std::string name = ExtractFileName(path);
    return name.size() > ext.size() && EqualsNoCase(name.substr(name.size() - ext.size()), ext);
}

std::string TemporaryPathFor(const std::string& path, const std::string& purpose) {
    return ExtractFilePath(path) + "." + ExtractFileName(path) + "." + purpose + kTempSuffix;
}

std::string BackupPathFor(const std::string& path) {
    return TemporaryPathFor(path, kBackupPurpose);
}

bool IsEngineTemporaryName(const std::string& name) {
    return name.size() > 5 && name[0] == '.' && name.compare(name.size() - 4, 4, kTempSuffix) == 0;
}

std::string UniqueTemporaryPattern(const std::string& path) {
    return path + "." + kUniqueSuffix;
}

std::string HiddenUniqueTemporaryPattern(const std::string& path) {
    return ExtractFilePath(path) + "." + ExtractFileName(path) + "." + kUniqueSuffix;
}

bool IsUniqueTemporaryOf(const std::string& fileName, const std::string& target, bool hidden) {
    const std::string prefix = (hidden ? "." : "") + ExtractFileName(target) + ".";
    return fileName.size() == prefix.size() + kUniqueLength &&
           fileName.compare(0, prefix.size(), prefix) == 0;
}

std::string PartialPathFor(const std::string& path) {
    return path + ".part";
}

std::string UnpackingPathFor(const std::string& folderPath) {
    return ExtractFilePath(folderPath) + "." + ExtractFileName(folderPath) + ".unpacking";
}

std::string GenerationPathFor(const std::string& path, int generation) {
    return path + "." + std::to_string(generation);
}

}  // namespace ari
