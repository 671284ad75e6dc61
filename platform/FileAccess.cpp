// FileAccess.h over Env: portable, every call through Env::Default().
#include "platform/FileAccess.h"

#include <cerrno>

#include "platform/FileErrors.h"
#include "platform/ScopedFd.h"

namespace ari {

namespace {

// A write lock conflicts with any read or write lock on the range; FindLock reports those of
// every other open file, this process's other handles included, which is what "in use by
// someone else" means for a handle we hold.
bool RangeLocked(FileHandle fd, uint64_t offset, uint64_t length) {
    return Env::Default()->FindLock(fd, LockKind::Write, offset, length, nullptr);
}

[[noreturn]] void RefuseLink(const std::string& path) {
    throw EInOutError(kAccessDenied,
                      path +
                          " is a symbolic link; a file the program changes is never reached "
                          "through a link (name the file itself)",
                      path);
}

[[noreturn]] void RefuseNotRegular(const std::string& path) {
    throw EInOutError(kAccessDenied, path + " is not a regular file", path);
}

}  // namespace

FileHandle OpenRegularFile(const std::string& path, unsigned flags, LinkPolicy links) {
    Env* env = Env::Default();
    // Devices, sockets and pipes are not even opened (opening some devices acts on them).
    FileInfo pre;
    if (env->PathInfo(path, links == LinkPolicy::Follow, &pre) == 0) {
        if (pre.kind == NameKind::Link)
            RefuseLink(path);
        if (pre.kind == NameKind::Other)
            RefuseNotRegular(path);
    }
    // Non-blocking: a pipe put under the name meanwhile is opened without waiting for a writer,
    // and then refused below.
    const unsigned extra = kOpenNonBlocking | (links == LinkPolicy::Refuse ? kOpenNoFollow : 0u);
    const FileHandle fd = env->Open(path, flags | extra);
    if (fd < 0) {
        const int err = errno;
        if (err == ELOOP && links == LinkPolicy::Refuse && KindOfName(path) == NameKind::Link)
            RefuseLink(path);
        if (err == ENXIO)  // a pipe without a reader, a device without its driver
            RefuseNotRegular(path);
        throw InOutErrorFromErrno(err, path);
    }
    FileInfo st;
    if (env->Info(fd, &st) != 0 || st.kind != NameKind::Regular) {
        env->Close(fd);
        RefuseNotRegular(path);
    }
    if (env->EndNonBlocking(fd) != 0) {
        const int err = errno;
        env->Close(fd);
        throw InOutErrorFromErrno(err, path);
    }
    return fd;
}

void RequireRegularFile(const std::string& path, LinkPolicy links) {
    Env::Default()->Close(OpenRegularFile(path, kOpenRead, links));
}

void CarryFileAttributes(const std::string& oldPath, FileHandle fd) {
    Env::Default()->CarryAttributes(oldPath, fd);
}

void IgnoreFileSizeSignal() {
    Env::Default()->IgnoreFileSizeSignal();
}

ByteFile::ByteFile(const std::string& path) : path_(path) {
    fd_ = OpenRegularFile(path, kOpenReadWrite, LinkPolicy::Refuse);
}

ByteFile::~ByteFile() {
    if (fd_ >= 0)
        Env::Default()->Close(fd_);
}

uint64_t ByteFile::Size() const {
    FileInfo st;
    if (fd_ < 0 || Env::Default()->Info(fd_, &st) != 0)
        return 0;
    return st.size;
}

bool ByteFile::LockedByOthers(uint64_t offset, uint64_t length) const {
    return fd_ >= 0 && RangeLocked(fd_, offset, length);
}

std::string ByteFile::Read(uint64_t offset, size_t size) const {
    std::string out(size, '\0');
    size_t done = 0;
    while (fd_ >= 0 && done < size) {
        const int64_t n =
            Env::Default()->ReadAt(fd_, offset + done, out.data() + done, size - done);
        if (n == 0)
            break;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastInOutError();
        }
        done += static_cast<size_t>(n);
    }
    out.resize(done);
    return out;
}

void ByteFile::WriteByte(uint64_t offset, uint8_t value) {
    if (fd_ < 0)
        throw EInOutError(kAccessDenied, FileErrorMessage(kAccessDenied));
    if (RangeLocked(fd_, offset, 1))
        throw EInOutError(kSharingViolation, FileErrorMessage(kSharingViolation));
    for (;;) {
        const int64_t n = Env::Default()->WriteAt(fd_, offset, &value, 1);
        if (n == 1)
            return;
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            ThrowLastInOutError();
        throw EInOutError(kDiskFull, FileErrorMessage(kDiskFull));
    }
}

void ByteFile::Close() {
    if (fd_ < 0)
        return;
    Env* env = Env::Default();
    const FileHandle fd = fd_;
    fd_ = kNoFile;
    const bool synced = env->Sync(fd) == 0 || errno == EINVAL;
    const int syncErr = errno;
    if (env->Close(fd) != 0)
        ThrowLastInOutError();
    if (!synced)
        throw InOutErrorFromErrno(syncErr);
}

bool FileLockedByOthers(const std::string& path) {
    Env* env = Env::Default();
    const ScopedFd fd(env->Open(path, kOpenRead | kOpenNonBlocking));
    return fd.Get() >= 0 && RangeLocked(fd.Get(), 0, 0);
}

bool FileReadable(const std::string& path) {
    try {
        Env::Default()->Close(OpenRegularFile(path, kOpenRead, LinkPolicy::Follow));
        return true;
    } catch (const EInOutError&) {
        return false;
    }
}

}  // namespace ari
