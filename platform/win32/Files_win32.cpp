// Windows implementation of the parts of Files.h that Env does not cover: the executable's
// path, the current folder, the copy without overwrite and the rename unless taken.
#include "platform/win32/Win32.h"

#include <cerrno>

#include "platform/FileAccess.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"
#include "platform/ScopedFd.h"
#include "platform/Text.h"

namespace ari {

std::string ExecutablePath() {
    std::wstring buf(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
        if (n == 0)
            return {};
        if (n < buf.size())
            return win32::Utf8FromSystemName(buf.substr(0, n));
        buf.resize(buf.size() * 2);
    }
}

std::string CurrentFolder() {
    const DWORD need = ::GetCurrentDirectoryW(0, nullptr);
    if (need == 0)
        return {};
    std::wstring buf(need, L'\0');
    const DWORD n = ::GetCurrentDirectoryW(need, buf.data());
    if (n == 0 || n >= need)
        return {};
    return win32::Utf8FromSystemName(buf.substr(0, n));
}

// Resolved as the system resolves a name it is given: "Y:T.DBF" in drive Y's current folder,
// "\\T.DBF" from the root of the current drive.
std::string AbsolutePath(const std::string& path) {
    if (IsAbsolutePath(path))
        return path;
    if (path.empty())
        return WithTrailingSeparator(CurrentFolder());
    const std::u16string units = Utf16FromUtf8(path);
    return win32::Utf8(win32::FullName(std::wstring(units.begin(), units.end())));
}

void SetCurrentFolder(const std::string& folder) {
    if (!::SetCurrentDirectoryW(win32::WideName(folder).c_str())) {
        win32::SetErrnoFromLastError();
        ThrowLastInOutError();
    }
}

bool CopyFileNoOverwrite(const std::string& from, const std::string& to) {
    Env* env = Env::Default();
    FileHandle in = kNoFile;
    try {
        in = OpenRegularFile(from, kOpenRead, LinkPolicy::Follow);
    } catch (const EInOutError&) {
        return false;
    }
    const ScopedFd source(in);
    const FileHandle out = env->Open(to, kOpenWrite | kOpenCreate | kOpenExclusive, 0644);
    if (out < 0)
        return false;
    bool ok = true;
    char buf[1 << 16];
    for (;;) {
        const int64_t n = env->Read(in, buf, sizeof buf);
        if (n == 0)
            break;
        if (n < 0) {
            ok = false;
            break;
        }
        for (int64_t done = 0; ok && done < n;) {
            const int64_t w = env->Write(out, buf + done, static_cast<size_t>(n - done));
            if (w <= 0)
                ok = false;
            else
                done += w;
        }
        if (!ok)
            break;
    }
    if (ok && env->Sync(out) != 0)
        ok = false;
    if (env->Close(out) != 0)
        ok = false;
    if (!ok)
        env->Remove(to);
    return ok;
}

bool RenameNoReplace(const std::string& from, const std::string& to) {
    return ::MoveFileExW(win32::WideName(from).c_str(), win32::WideName(to).c_str(),
                         MOVEFILE_WRITE_THROUGH) != 0;
}

bool RemoveFolder(const std::string& path) {
    return ::RemoveDirectoryW(win32::WideName(path).c_str()) != 0;
}

}  // namespace ari
