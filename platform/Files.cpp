// The portable part of Files.h: names and paths taken apart and compared, and the file and
// folder tests and listings, every call through Env::Default(). Files_posix.cpp holds the rest.
#include "platform/Files.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "platform/Env.h"
#include "platform/FileErrors.h"

namespace ari {

namespace {
char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// '*' matches any run of characters, '?' any one character. On a mismatch only the latest '*'
// takes one more character, so the time stays linear in the name for each character of the
// mask, whatever the number of stars.
bool GlobNoCase(const char* n, const char* m) {
    const char* star = nullptr;  // the mask just after the latest '*'
    const char* resume = n;      // where that '*' stopped matching
    while (*n) {
        if (*m == '*') {
            star = ++m;
            resume = n;
        } else if (*m && (*m == '?' || LowerAscii(*m) == LowerAscii(*n))) {
            ++m;
            ++n;
        } else if (star) {
            m = star;
            n = ++resume;
        } else {
            return false;
        }
    }
    while (*m == '*')
        ++m;
    return *m == 0;
}

// What `path` names, a link at the last step followed; Missing when nothing (or it cannot be
// told).
NameKind KindFollowingLink(const std::string& path) {
    FileInfo info;
    return !path.empty() && Env::Default()->PathInfo(path, true, &info) == 0 ? info.kind
                                                                             : NameKind::Missing;
}
}  // namespace

namespace {
// The position of the last separator of `path` (on Windows also the colon of a drive, "C:x"),
// npos when there is none.
size_t LastSeparator(const std::string& path) {
#ifdef _WIN32
    return path.find_last_of(":\\/");
#else
    return path.rfind(kPathSeparator);
#endif
}
}  // namespace

std::string WithTrailingSeparator(const std::string& folder) {
    if (!folder.empty() && IsPathSeparator(folder.back()))
        return folder;
#ifdef _WIN32
    // "Y:" is drive Y's current folder: "Y:T.DBF" is a table there, "Y:\T.DBF" another one.
    if (folder.size() == 2 && folder[1] == ':')
        return folder;
#endif
    return folder + kPathSeparator;
}

std::string ExtractFilePath(const std::string& path) {
    const auto pos = LastSeparator(path);
    return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string ExtractFileName(const std::string& path) {
    const auto pos = LastSeparator(path);
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

bool IsAbsolutePath(const std::string& path) {
#ifdef _WIN32
    if (path.size() >= 2 && IsPathSeparator(path[0]) && IsPathSeparator(path[1]))
        return true;  // \\server\share, \\?\C:\...
    return path.size() >= 3 &&
           ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z')) &&
           path[1] == ':' && IsPathSeparator(path[2]);
#else
    return !path.empty() && path.front() == kPathSeparator;
#endif
}

bool FileExists(const std::string& path) {
    return KindFollowingLink(path) == NameKind::Regular;
}

bool FolderExists(const std::string& path) {
    return KindFollowingLink(path) == NameKind::Folder;
}

bool IsSymbolicLink(const std::string& path) {
    return !path.empty() && KindOfName(path) == NameKind::Link;
}

bool RemoveFile(const std::string& path) {
    return Env::Default()->Remove(path) == 0;
}

bool MakeFolder(const std::string& path) {
    return Env::Default()->MakeFolder(path, 0755) == 0;
}

bool MakeFolderPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec && FolderExists(path);
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask) {
    std::vector<std::string> all;
    if (Env::Default()->ListFolder(folder, &all) != 0)
        ThrowLastInOutError();
    const std::string dir = WithTrailingSeparator(folder);
    std::vector<std::string> names;
    for (const std::string& name : all) {
        if (name.front() == '.')
            continue;  // hidden files
        if (!GlobNoCase(name.c_str(), mask.c_str()))
            continue;
        if (KindFollowingLink(dir + name) != NameKind::Regular)
            continue;
        names.push_back(name);
    }
    std::stable_sort(names.begin(), names.end(), LessNoCase);
    return names;
}

std::vector<std::string> FilesNamedNoCase(const std::string& folder, const std::string& name) {
    const std::string dir = WithTrailingSeparator(folder);
#ifdef _WIN32
    // The system finds a name without regard to case itself: the listing tells the stored
    // spelling (two spellings exist only in a folder made case-sensitive).
    std::vector<std::string> all;
    std::vector<std::string> spelled;
    if (Env::Default()->ListFolder(dir, &all) == 0) {
        for (const std::string& entry : all)
            if (EqualsNoCase(entry, name) && FileExists(dir + entry))
                spelled.push_back(entry);
    }
    std::sort(spelled.begin(), spelled.end());
    const auto exact = std::find(spelled.begin(), spelled.end(), name);
    if (exact != spelled.end())
        std::rotate(spelled.begin(), exact, exact + 1);
    if (spelled.empty() && FileExists(dir + name))
        spelled.push_back(name);
    return spelled;
#else
    std::vector<std::string> found;
    if (FileExists(dir + name))
        found.push_back(name);
    std::vector<std::string> all;
    if (Env::Default()->ListFolder(dir, &all) != 0)
        return found;  // an unreadable folder: only what the direct test saw
    std::vector<std::string> others;
    for (const std::string& entry : all) {
        if (entry != name && EqualsNoCase(entry, name) && FileExists(dir + entry))
            others.push_back(entry);
    }
    std::sort(others.begin(), others.end());
    found.insert(found.end(), others.begin(), others.end());
    return found;
#endif
}

std::string FindFileNoCase(const std::string& folder, const std::string& name) {
    const std::vector<std::string> found = FilesNamedNoCase(folder, name);
    return found.empty() ? std::string() : found.front();
}

bool EqualsNoCase(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

bool LessNoCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
        return static_cast<unsigned char>(LowerAscii(x)) <
               static_cast<unsigned char>(LowerAscii(y));
    });
}

bool MatchesMask(const std::string& name, const std::string& mask) {
    return GlobNoCase(name.c_str(), mask.c_str());
}

void SleepMilliseconds(unsigned ms) {
    Env::Default()->SleepMilliseconds(ms);
}

}  // namespace ari
