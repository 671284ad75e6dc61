#include "log/RunJournal.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/FileNames.h"

namespace ari {

namespace {

// True when `path` names the file open on `fd`: after a rotation by another program, the
// descriptor opened before it may hold the renamed file.
bool NamesOpenFile(const std::string& path, int fd, struct stat* byFd) {
    struct stat byPath;
    return lstat(path.c_str(), &byPath) == 0 && fstat(fd, byFd) == 0 &&
           byPath.st_dev == byFd->st_dev && byPath.st_ino == byFd->st_ino;
}

bool WriteAll(int fd, const char* p, size_t left) {
    while (left > 0) {
        const ssize_t n = write(fd, p, left);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        p += n;
        left -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

RunJournal::RunJournal(const std::string& folder, std::uint64_t limit, int keep)
    : limit_(limit), keep_(keep < 1 ? 1 : keep) {
    path_ = folder;
    if (!path_.empty() && path_.back() != '/')
        path_ += '/';
    path_ += kFileName;
}

void RunJournal::Rotate() const {
    const auto old = [this](int n) { return GenerationPathFor(path_, n); };
    unlink(old(keep_).c_str());
    for (int n = keep_ - 1; n >= 1; --n)
        rename(old(n).c_str(), old(n + 1).c_str());
    rename(path_.c_str(), old(1).c_str());
}

bool RunJournal::Append(const QString& text) const {
    QByteArray bytes = text.toUtf8();
    if (!bytes.endsWith('\n'))
        bytes.append('\n');
    for (int attempt = 0; attempt < 8; ++attempt) {
        const int fd = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW,
                            0644);
        if (fd < 0)
            return false;
        if (flock(fd, LOCK_EX) != 0) {
            close(fd);
            return false;
        }
        struct stat st;
        if (!NamesOpenFile(path_, fd, &st) || !S_ISREG(st.st_mode)) {
            // Rotated away meanwhile: the name holds a new file now.
            close(fd);
            continue;
        }
        if (st.st_size > 0 &&
            static_cast<std::uint64_t>(st.st_size) + static_cast<std::uint64_t>(bytes.size()) >
                limit_) {
            Rotate();  // under the lock of the file being renamed
            close(fd);
            continue;
        }
        const bool written = WriteAll(fd, bytes.constData(), static_cast<size_t>(bytes.size()));
        close(fd);
        return written;
    }
    return false;
}

}  // namespace ari
