// POSIX implementation of the parts of Files.h that Env does not cover: the executable's path,
// the current folder, the copy without overwrite and the rename unless taken. The rest of
// Files.h is portable (Files.cpp).
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"

namespace ari {

std::string ExecutablePath() {
    char buf[PATH_MAX];
    const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0)
        return {};
    return std::string(buf, static_cast<size_t>(n));
}

std::string AbsolutePath(const std::string& path) {
    if (IsAbsolutePath(path))
        return path;
    return WithTrailingSeparator(CurrentFolder()) + path;
}

std::string CurrentFolder() {
    char buf[PATH_MAX];
    if (!getcwd(buf, sizeof buf))
        return {};
    return buf;
}

void SetCurrentFolder(const std::string& folder) {
    if (chdir(folder.c_str()) != 0)
        ThrowLastInOutError();
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

}  // namespace ari
