// RunMarker.h over Env: portable, every call through Env::Default().
#include "platform/RunMarker.h"

#include <cerrno>

#include "platform/Env.h"
#include "platform/FileErrors.h"

namespace ari {

RunMarker::~RunMarker() {
    Close();
}

namespace {

// True when `path` names the file open on `fd` (the same identity).
bool NamesOpenFile(const std::string& path, FileHandle fd) {
    Env* env = Env::Default();
    FileInfo byPath, byFd;
    return env->PathInfo(path, false, &byPath) == 0 && env->Info(fd, &byFd) == 0 &&
           byPath.id == byFd.id;
}

}  // namespace

bool RunMarker::HeldByAPass(const std::string& path) {
    Env* env = Env::Default();
    const FileHandle fd = env->Open(path, kOpenRead | kOpenNoFollow | kOpenNonBlocking);
    if (fd < 0)
        return false;
    const bool held = env->FindLock(fd, LockKind::Write, 0, 0, nullptr);
    env->Close(fd);
    return held;
}

void RunMarker::Create(const std::string& path) {
    Env* env = Env::Default();
    for (;;) {
        // No truncation here: the file may only be emptied once the lock shows nobody else
        // holds it.
        const FileHandle fd = env->Open(path, kOpenWrite | kOpenCreate | kOpenNoFollow, 0644);
        if (fd < 0) {
            // A folder of that name: the open says EISDIR, which maps onto "File access denied".
            ThrowLastInOutError();
        }
        // The whole file, however long it grows.
        if (env->LockRange(fd, LockKind::Write, 0, 0) != 0) {
            const int err = errno;
            env->Close(fd);
            throw InOutErrorFromErrno(err == EACCES ? EAGAIN : err);  // held elsewhere: error 32
        }
        // The holder before us removes the marker under its lock: a lock won on a file that no
        // longer has the name is a lock on nothing, and the path is opened again.
        if (!NamesOpenFile(path, fd)) {
            env->Close(fd);
            continue;
        }
        if (env->Truncate(fd, 0) != 0) {
            const int err = errno;
            env->Close(fd);
            throw InOutErrorFromErrno(err);
        }
        fd_ = fd;
        path_ = path;
        return;
    }
}

void RunMarker::WriteLine() noexcept {
    // An Env that throws (an installed one may, though Env.h promises no throw) only ends the
    // line: the marker is closed and removed all the same, while an error of the pass goes on
    // to the caller.
    try {
        Env* env = Env::Default();
        const char* p = kLine;
        size_t left = sizeof kLine - 1;
        while (left > 0) {
            const int64_t n = env->Write(fd_, p, left);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                break;
            p += n;
            left -= static_cast<size_t>(n);
        }
    } catch (...) {
    }
}

void RunMarker::Finish(bool remove) noexcept {
    if (fd_ < 0)
        return;
    WriteLine();
    const FileHandle fd = fd_;
    fd_ = kNoFile;
    try {
        Env* env = Env::Default();
        if (remove && NamesOpenFile(path_, fd))
            env->Remove(path_);
        env->Close(fd);
    } catch (...) {
    }
}

void RunMarker::CloseAndRemove() noexcept {
    Finish(true);
}

void RunMarker::Close() noexcept {
    Finish(false);
}

}  // namespace ari
