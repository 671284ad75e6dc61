// POSIX implementation of Files.h.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <filesystem>

#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

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
}  // namespace

std::string WithTrailingSeparator(const std::string& folder) {
    if (!folder.empty() && folder.back() == kPathSeparator)
        return folder;
    return folder + kPathSeparator;
}

std::string ExecutablePath() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string ExtractFilePath(const std::string& path) {
    const auto pos = path.rfind(kPathSeparator);
    return pos == std::string::npos ? std::string() : path.substr(0, pos + 1);
}

std::string ExtractFileName(const std::string& path) {
    const auto pos = path.rfind(kPathSeparator);
    return pos == std::string::npos ? path : path.substr(pos + 1);
}

std::string CurrentFolder() {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf))
        return {};
    return buf;
}

std::string AbsolutePath(const std::string& path) {
    if (!path.empty() && path.front() == kPathSeparator)
        return path;
    return WithTrailingSeparator(CurrentFolder()) + path;
}

void SetCurrentFolder(const std::string& folder) {
    if (chdir(folder.c_str()) != 0)
        ThrowLastInOutError();
}

bool FileExists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool FolderExists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsSymbolicLink(const std::string& path) {
    struct stat st;
    return !path.empty() && lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool RemoveFile(const std::string& path) {
    return unlink(path.c_str()) == 0;
}

bool CopyFileNoOverwrite(const std::string& from, const std::string& to) {
    int in = -1;
    try {
        in = OpenRegularFile(from, kOpenRead, LinkPolicy::Follow);
    } catch (const EInOutError&) {
        return false;
    }
    const int out = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out < 0) {
        close(in);
        return false;
    }
    bool ok = true;
    char buf[1 << 16];
    for (;;) {
        const ssize_t n = read(in, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ok = false;
            break;
        }
        for (ssize_t done = 0; done < n;) {
            const ssize_t w = write(out, buf + done, static_cast<size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR)
                    continue;
                ok = false;
                break;
            }
            done += w;
        }
        if (!ok)
            break;
    }
    if (ok && fsync(out) != 0)
        ok = false;
    close(in);
    if (close(out) != 0)
        ok = false;
    if (!ok)
        unlink(to.c_str());
    return ok;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) != 0)
        return false;
    const std::string folder = ExtractFilePath(to);
    const int fd = open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        fsync(fd);
        close(fd);
    }
    return true;
}

bool RemoveFolder(const std::string& path) {
    return rmdir(path.c_str()) == 0;
}

bool MakeFolder(const std::string& path) {
    return mkdir(path.c_str(), 0755) == 0;
}

bool MakeFolderPath(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return !ec && FolderExists(path);
}

std::vector<std::string> ListFiles(const std::string& folder, const std::string& mask) {
    DIR* dir = opendir(folder.c_str());
    if (!dir)
        ThrowLastInOutError();
    std::vector<std::string> names;
    while (const dirent* e = readdir(dir)) {
        if (e->d_name[0] == '.')
            continue;  // hidden files, "." and ".."
        if (!GlobNoCase(e->d_name, mask.c_str()))
            continue;
        struct stat st;
        if (fstatat(dirfd(dir), e->d_name, &st, 0) != 0 || !S_ISREG(st.st_mode))
            continue;
        names.emplace_back(e->d_name);
    }
    closedir(dir);
    std::stable_sort(names.begin(), names.end(), LessNoCase);
    return names;
}

std::vector<std::string> FilesNamedNoCase(const std::string& folder, const std::string& name) {
    const std::string dir = WithTrailingSeparator(folder);
    std::vector<std::string> found;
    if (FileExists(dir + name))
        found.push_back(name);
    DIR* d = opendir(dir.c_str());
    if (!d)
        return found;  // an unreadable folder: only what the direct test saw
    std::vector<std::string> others;
    while (const dirent* e = readdir(d)) {
        if (e->d_name != name && EqualsNoCase(e->d_name, name) && FileExists(dir + e->d_name))
            others.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(others.begin(), others.end());
    found.insert(found.end(), others.begin(), others.end());
    return found;
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
