// AtomicFile.h over Env: portable, every call through Env::Default().
#include "platform/AtomicFile.h"

#include <cerrno>
#include <cstdint>

#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"
#include "platform/ScopedFd.h"

namespace ari {

AtomicFile::AtomicFile(std::string target, std::string temporaryName, Naming naming,
                       const StaleRemover& removeStale)
    : target_(std::move(target)), temporary_(std::move(temporaryName)) {
    Env* env = Env::Default();
    if (naming == Naming::Unique) {
        constexpr size_t kUniqueMarks = 6;  // the pattern's closing "XXXXXX"
        const size_t keep =
            temporary_.size() >= kUniqueMarks ? temporary_.size() - kUniqueMarks : 0;
        std::string made;
        fd_ = env->CreateUniqueFile(temporary_.substr(0, keep), &made);
        if (fd_ < 0)
            ThrowLastInOutError(temporary_);
        temporary_ = made;
        return;
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        fd_ = env->Open(temporary_, kOpenReadWrite | kOpenCreate | kOpenExclusive, 0644);
        if (fd_ >= 0)
            return;
        const int err = errno;
        if (err != EEXIST || !removeStale)
            throw InOutErrorFromErrno(err, temporary_);
        // A name that a live writer holds, or that is taken again at once, is busy.
        if (attempt > 0 || !removeStale(temporary_))
            throw InOutErrorFromErrno(EBUSY, temporary_);
    }
}

AtomicFile::~AtomicFile() {
    Discard();
}

void AtomicFile::Write(const void* data, size_t size) {
    Env* env = Env::Default();
    const auto* p = static_cast<const uint8_t*>(data);
    while (size > 0) {
        const int64_t n = env->Write(fd_, p, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastInOutError(temporary_);
        }
        if (n == 0)
            throw InOutErrorFromErrno(EIO, temporary_);
        p += n;
        size -= static_cast<size_t>(n);
    }
}

void AtomicFile::CopyFrom(const std::string& sourcePath) {
    const ScopedFd in(OpenRegularFile(sourcePath, kOpenRead, LinkPolicy::Follow));
    char buf[1 << 16];
    for (;;) {
        const int64_t n = Env::Default()->Read(in.Get(), buf, sizeof buf);
        if (n == 0)
            return;
        if (n < 0) {
            if (errno == EINTR)
                continue;
            ThrowLastInOutError(sourcePath);
        }
        Write(buf, static_cast<size_t>(n));
    }
}

void AtomicFile::Flush() {
    if (Env::Default()->Sync(fd_) != 0)
        ThrowLastInOutError(temporary_);
}

void AtomicFile::CarryAttributes() {
    Env::Default()->CarryAttributes(target_, fd_);
}

void AtomicFile::Commit() {
    Env* env = Env::Default();
    try {
        Flush();
        const FileHandle fd = fd_;
        fd_ = kNoFile;
        if (env->Close(fd) != 0) {
            const int err = errno;
            env->Remove(temporary_);
            throw InOutErrorFromErrno(err, temporary_);
        }
        if (env->Rename(temporary_, target_) != 0) {
            const int err = errno;
            env->Remove(temporary_);
            throw InOutErrorFromErrno(err, target_);
        }
    } catch (...) {
        Discard();
        throw;
    }
    // The rename itself is on disk once the folder is flushed.
    env->SyncFolder(ExtractFilePath(target_));
}

FileHandle AtomicFile::Release() {
    const FileHandle fd = fd_;
    fd_ = kNoFile;
    return fd;
}

void AtomicFile::Discard() {
    if (fd_ >= 0) {
        Env* env = Env::Default();
        env->Remove(temporary_);
        env->Close(fd_);
        fd_ = kNoFile;
    }
}

}  // namespace ari
