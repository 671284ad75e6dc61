#include "engine/table/FileOps.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "platform/FileErrors.h"

namespace ari::engine {

namespace {
[[noreturn]] void Fail(int err, const std::string& path) {
    const EInOutError e = InOutErrorFromErrno(err);
    throw EInOutError(e.ErrorCode(), e.Message() + ": " + path);
}
}  // namespace

void WriteAll(int fd, const void* data, size_t size, const std::string& path) {
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const ssize_t n = CurrentFileOps().Write(fd, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail(errno, path);
        }
        if (n == 0)
            Fail(EIO, path);
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void WriteAllAt(int fd, uint64_t offset, const void* data, size_t size, const std::string& path) {
    if (::lseek(fd, static_cast<off_t>(offset), SEEK_SET) < 0)
        Fail(errno, path);
    WriteAll(fd, data, size, path);
}

void SyncFile(int fd, const std::string& path) {
    if (CurrentFileOps().Fsync(fd) != 0)
        Fail(errno, path);
}

void RenameFile(const std::string& from, const std::string& to) {
    if (CurrentFileOps().Rename(from.c_str(), to.c_str()) != 0)
        Fail(errno, to);
}

void SyncFolder(const std::string& folder) {
    const int fd =
        ::open(folder.empty() ? "." : folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    ::fsync(fd);  // best effort: some file systems refuse fsync on folders
    ::close(fd);
}

size_t ReadAt(int fd, uint64_t offset, void* data, size_t size, const std::string& path) {
    auto* p = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = ::pread(fd, p + done, size - done, static_cast<off_t>(offset + done));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            Fail(errno, path);
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

}  // namespace ari::engine
