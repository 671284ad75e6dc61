#include "log/RunJournal.h"

#include <cerrno>
#include <cstdio>

#include "platform/Env.h"
#include "platform/FileNames.h"

namespace ari {

namespace {

// True when `path` names the file open on `fd`: after a rotation by another program, the
// descriptor opened before it may hold the renamed file.
bool NamesOpenFile(const std::string& path, FileHandle fd, FileInfo* byFd) {
    Env* env = Env::Default();
    FileInfo byPath;
    return env->PathInfo(path, false, &byPath) == 0 && env->Info(fd, byFd) == 0 &&
           byPath.id == byFd->id;
}

bool WriteAll(FileHandle fd, const char* p, size_t left) {
    while (left > 0) {
        const int64_t n = Env::Default()->Write(fd, p, left);
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
    Env* env = Env::Default();
    env->Remove(old(keep_));
    for (int n = keep_ - 1; n >= 1; --n)
        env->Rename(old(n), old(n + 1));
    env->Rename(path_, old(1));
}

bool RunJournal::Append(const std::string& text) const {
    std::string bytes = text;
    if (bytes.empty() || bytes.back() != '\n')
        bytes += '\n';
    Env* env = Env::Default();
    for (int attempt = 0; attempt < 8; ++attempt) {
        const FileHandle fd =
            env->Open(path_, kOpenWrite | kOpenAppend | kOpenCreate | kOpenNoFollow, 0644);
        if (fd < 0)
            return false;
        if (env->LockWholeFileWaiting(fd) != 0) {
            env->Close(fd);
            return false;
        }
        FileInfo st;
        if (!NamesOpenFile(path_, fd, &st) || st.kind != NameKind::Regular) {
            // Rotated away meanwhile: the name holds a new file now.
            env->Close(fd);
            continue;
        }
        if (st.size > 0 && st.size + static_cast<std::uint64_t>(bytes.size()) > limit_) {
            Rotate();  // under the lock of the file being renamed
            env->Close(fd);
            continue;
        }
        const bool written = WriteAll(fd, bytes.data(), bytes.size());
        env->Close(fd);
        return written;
    }
    return false;
}

}  // namespace ari
