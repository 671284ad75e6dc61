#include "engine/table/FileOps.h"

#include <cerrno>

#include "platform/FileErrors.h"

namespace ari::engine {

namespace {
[[noreturn]] void Fail(int err, const std::string& path) {
    const EInOutError e = InOutErrorFromErrno(err);
    throw EInOutError(e.ErrorCode(), e.Message() + ": " + path, path);
}
}  // namespace

void WriteAll(FileHandle fd, const void* data, size_t size, const std::string& path) {
    Env* env = Env::Default();
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const int64_t n = env->Write(fd, p, size);
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

void WriteAllAt(FileHandle fd, uint64_t offset, const void* data, size_t size,
                const std::string& path) {
    if (Env::Default()->Seek(fd, offset) != 0)
        Fail(errno, path);
    WriteAll(fd, data, size, path);
}

void SyncFile(FileHandle fd, const std::string& path) {
    if (Env::Default()->Sync(fd) != 0)
        Fail(errno, path);
}

void RenameFile(const std::string& from, const std::string& to) {
    if (Env::Default()->Rename(from, to) != 0)
        Fail(errno, to);
}

void SyncFolder(const std::string& folder) {
    Env::Default()->SyncFolder(folder);
}

size_t ReadAt(FileHandle fd, uint64_t offset, void* data, size_t size, const std::string& path) {
    Env* env = Env::Default();
    auto* p = static_cast<uint8_t*>(data);
    size_t done = 0;
    while (done < size) {
        const int64_t n = env->ReadAt(fd, offset + done, p + done, size - done);
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
