// ProfileFile.h over Env: portable, every call through Env::Default().
#include "platform/ProfileFile.h"

#include <cerrno>
#include <cstdint>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
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
    Env* env = Env::Default();
    FileHandle fd = kNoFile;
    try {
        fd = OpenRegularFile(path, kOpenRead, LinkPolicy::Follow);
    } catch (const EInOutError& e) {
        if (e.ErrorCode() == kFileNotFound)
            return false;
        throw NamingFile(e, path);
    }
    const ScopedFd f(fd);
    FileInfo st;
    if (env->Info(f.Get(), &st) == 0 && st.size > kMaxProfileFileBytes)
        RefuseTooLong(path);
    bytes.clear();
    char buf[1 << 14];
    for (;;) {
        const int64_t n = env->Read(f.Get(), buf, sizeof buf);
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
    if (KindOfName(path) != NameKind::Link)
        return path;
    const std::string resolved = Env::Default()->ResolveLinks(path);
    return resolved.empty() ? path : resolved;
}

// Removes what writes of `target` that ended part way left beside it: the files
// UniqueTemporaryPattern(target) that ReplaceProfileFile writes into, when no writer holds one (a
// live write keeps a read lock on its file until the rename).
void RemoveStaleTemporaries(const std::string& target) {
    Env* env = Env::Default();
    const std::string folder = ExtractFilePath(target);
    std::vector<std::string> names;
    if (env->ListFolder(folder.empty() ? "." : folder, &names) != 0)
        return;
    for (const std::string& name : names) {
        if (!IsUniqueTemporaryOf(name, target, false))
            continue;
        const std::string path = folder + name;
        const ScopedFd fd(env->Open(path, kOpenReadWrite | kOpenNoFollow | kOpenNonBlocking));
        FileInfo st;
        if (fd.Get() >= 0 && env->Info(fd.Get(), &st) == 0 && st.kind == NameKind::Regular &&
            env->LockRange(fd.Get(), LockKind::Write, 0, 0) == 0)
            env->Remove(path);
    }
}

}  // namespace

// The range the writer holds on its temporary file. Windows locks are mandatory: a lock over the
// bytes would refuse the writer's own writes through its other handle, so there the lock lies
// beyond any byte the file will hold; the clean-up's lock over the whole file meets it either
// way.
#ifdef _WIN32
constexpr uint64_t kHeldStart = 0x7FFFFFFF00000000ull, kHeldLength = 1;
#else
constexpr uint64_t kHeldStart = 0, kHeldLength = 0;
#endif

void ReplaceProfileFile(const std::string& path, const std::string& bytes) {
    Env* env = Env::Default();
    const std::string target = ResolveTarget(path);
    RemoveStaleTemporaries(target);
    AtomicFile file(target, UniqueTemporaryPattern(target), AtomicFile::Naming::Unique);
    // Held until the rename: another writer's clean-up leaves this file alone.
    const ScopedFd held(env->Open(file.TemporaryPath(), kOpenRead | kOpenNoFollow));
    if (held.Get() < 0 || env->LockRange(held.Get(), LockKind::Read, kHeldStart, kHeldLength) != 0)
        ThrowLastInOutError();
    // A new file is readable by all; a replacement carries what the old file carried.
    if (env->SetPermissions(file.Fd(), 0644) != 0)
        ThrowLastInOutError();
    file.CarryAttributes();
    file.Write(bytes.data(), bytes.size());
    file.Commit();
}

}  // namespace ari
