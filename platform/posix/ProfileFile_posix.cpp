// POSIX implementation of ProfileFile.h.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "platform/AtomicFile.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "platform/ProfileFile.h"
#include "platform/ScopedFd.h"

namespace ari {

namespace {

[[noreturn]] void RefuseTooLong(const std::string& path) {
    throw EInOutError(kAccessDenied, path + " is larger than " +
                                         std::to_string(kMaxProfileFileBytes >> 20) +
                                         " MiB; that is no settings file");
}

// The error `e` of reading the file at `path`, with the file named first (as the refusals of
// what is no regular file already name it).
EInOutError NamingFile(const EInOutError& e, const std::string& path) {
    if (e.Message().compare(0, path.size(), path) == 0)
        return e;
    return EInOutError(e.ErrorCode(), path + ": " + e.Message());
}

}  // namespace

bool ReadProfileFile(const std::string& path, std::string& bytes) {
    int fd = -1;
    try {
        fd = OpenRegularFile(path, kOpenRead, LinkPolicy::Follow);
    } catch (const EInOutError& e) {
        if (e.ErrorCode() == kFileNotFound)
            return false;
        throw NamingFile(e, path);
    }
    const ScopedFd f(fd);
    struct stat st;
    if (fstat(f.Get(), &st) == 0 && static_cast<uint64_t>(st.st_size) > kMaxProfileFileBytes)
        RefuseTooLong(path);
    bytes.clear();
    char buf[1 << 14];
    for (;;) {
        const ssize_t n = read(f.Get(), buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throw NamingFile(InOutErrorFromErrno(errno), path);
        }
        bytes.append(buf, static_cast<size_t>(n));
        if (bytes.size() > kMaxProfileFileBytes)  // it grew while read
            RefuseTooLong(path);
    }
    return true;
}

namespace {

// The file a write replaces: symbolic links are followed so that the link itself stays.
std::string ResolveTarget(const std::string& path) {
    char buf[PATH_MAX];
    struct stat st;
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) && realpath(path.c_str(), buf))
        return buf;
    return path;
}

// Takes (without waiting) an open-file-description lock over the whole of `fd`.
bool LockWhole(int fd, short type) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

// Removes what writes of `target` that ended part way left beside it: the files
// UniqueTemporaryPattern(target) that ReplaceProfileFile writes into, when no writer holds one (a
// live write keeps a read lock on its file until the rename).
void RemoveStaleTemporaries(const std::string& target) {
    std::string folder = ExtractFilePath(target);
    DIR* d = opendir(folder.empty() ? "." : folder.c_str());
    if (!d)
        return;
    while (const dirent* e = readdir(d)) {
        if (!IsUniqueTemporaryOf(e->d_name, target, false))
            continue;
        const ScopedFd fd(
            openat(dirfd(d), e->d_name, O_RDWR | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
        struct stat st;
        if (fd.Get() >= 0 && fstat(fd.Get(), &st) == 0 && S_ISREG(st.st_mode) &&
            LockWhole(fd.Get(), F_WRLCK))
            unlinkat(dirfd(d), e->d_name, 0);
    }
    closedir(d);
}

}  // namespace

void ReplaceProfileFile(const std::string& path, const std::string& bytes) {
    const std::string target = ResolveTarget(path);
    RemoveStaleTemporaries(target);
    AtomicFile file(target, UniqueTemporaryPattern(target), AtomicFile::Naming::Unique);
    // Held until the rename: another writer's clean-up leaves this file alone.
    const ScopedFd held(open(file.TemporaryPath().c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    if (held.Get() < 0 || !LockWhole(held.Get(), F_RDLCK))
        ThrowLastInOutError();
    // A new file is readable by all; a replacement carries what the old file carried.
    if (fchmod(file.Fd(), 0644) != 0)
        ThrowLastInOutError();
    file.CarryAttributes();
    file.Write(bytes.data(), bytes.size());
    file.Commit();
}

}  // namespace ari
