// The Windows implementation of Env.h: the wide-character calls of the system (names are UTF-8
// text converted to UTF-16), the system's errors mapped onto <cerrno> values.
//
// A FileHandle is a number in a table of this process; it names one shared "open file" (the
// HANDLE, the access it was opened with, the byte ranges locked through it). Duplicate gives a
// second number on the same open file (one position, one set of locks), as a POSIX dup does.
//
// Sharing: every open allows others to read, write and delete (rename) beside it, as a dBASE
// client expects, except the sole-use open (kOpenSoleUse), which allows others nothing but a
// rename or delete of the name: the system refuses it while anybody else has the file open
// (ERROR_SHARING_VIOLATION) and, once granted, refuses every later open by anybody until it is
// closed: the replacement of a lease, held from the first open of a table's maintenance step
// to its end, never closed and opened again in between. A file this process holds that way is
// replaced without closing it: it is renamed aside through its own handle and goes when the
// handle closes (doc/platform-seam.md, "Windows").
#include "platform/win32/Win32.h"

#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <vector>

#include "platform/Env.h"
#include "platform/FileErrors.h"
#include "platform/Text.h"

namespace ari {

namespace win32 {

namespace {

bool IsSlash(wchar_t c) {
    return c == L'\\' || c == L'/';
}

// "C:\..." or "\\server\share\...": a name that means the same whatever the current folder.
bool FullyQualified(const std::wstring& name) {
    if (name.size() >= 2 && IsSlash(name[0]) && IsSlash(name[1]))
        return true;
    return name.size() >= 3 && name[1] == L':' && IsSlash(name[2]) &&
           ((name[0] >= L'A' && name[0] <= L'Z') || (name[0] >= L'a' && name[0] <= L'z'));
}

}  // namespace

std::wstring FullName(const std::wstring& name) {
    if (name.empty())
        return name;
    std::wstring full(MAX_PATH, L'\0');
    for (int attempt = 0; attempt < 4; ++attempt) {
        const DWORD n =
            ::GetFullPathNameW(name.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0)
            return name;  // the call that uses it tells what is wrong
        if (n < full.size()) {
            full.resize(n);
            return full;
        }
        full.resize(n + 1);  // n counts the terminating zero when the buffer was too small
    }
    return name;
}

std::wstring WideText(const std::string& utf8) {
    const std::u16string units = Utf16FromUtf8(utf8);
    return std::wstring(units.begin(), units.end());
}

std::wstring WideName(const std::string& utf8) {
    std::wstring wide = WideText(utf8);
    // "\\?\..." is taken as it is by the system; "\\.\..." names a device.
    if (wide.rfind(L"\\\\?\\", 0) == 0 || wide.rfind(L"\\\\.\\", 0) == 0)
        return wide;
    // A drive-relative name ("Y:T.DBF", the file in drive Y's current folder), a name from the
    // root of the current drive ("\T.DBF") or from the current folder becomes the full name the
    // system would use, so that its length is known; so does a long name ("..", "/" resolved),
    // because the prefix below turns all resolving off.
    if (!FullyQualified(wide) || wide.size() >= MAX_PATH - 12)
        wide = FullName(wide);
    if (wide.size() < MAX_PATH - 12 || !FullyQualified(wide))
        return wide;
    // Longer than a folder's name may be without it (MAX_PATH less room for an 8.3 name): the
    // prefix lifts the limit to 32,767 characters.
    if (IsSlash(wide[0]) && IsSlash(wide[1]))
        return L"\\\\?\\UNC\\" + wide.substr(2);
    return L"\\\\?\\" + wide;
}

std::string Utf8(const std::wstring& wide) {
    return Utf8FromUtf16(std::u16string(wide.begin(), wide.end()));
}

std::string Utf8FromSystemName(const std::wstring& wide) {
    if (wide.rfind(L"\\\\?\\UNC\\", 0) == 0)
        return Utf8(L"\\\\" + wide.substr(8));
    if (wide.rfind(L"\\\\?\\", 0) == 0)
        return Utf8(wide.substr(4));
    return Utf8(wide);
}

int ErrnoFromSystemError(DWORD code) {
    switch (code) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_DIRECTORY:  // a step of the name is no folder
            return ENOENT;
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
        case ERROR_FILENAME_EXCED_RANGE:
            return ENAMETOOLONG;
        case ERROR_TOO_MANY_OPEN_FILES:
            return EMFILE;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
        case ERROR_CANNOT_MAKE:
        case ERROR_PRIVILEGE_NOT_HELD:
        case ERROR_INVALID_OWNER:
            return EACCES;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
        case ERROR_LOCK_FAILED:
        case ERROR_IO_PENDING:
            return EAGAIN;
        case ERROR_BUSY:
        case ERROR_DELETE_PENDING:
        case ERROR_USER_MAPPED_FILE:
            return EBUSY;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            return EEXIST;
        case ERROR_DIR_NOT_EMPTY:
            return ENOTEMPTY;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
        case 1295:  // ERROR_DISK_QUOTA_EXCEEDED
            return ENOSPC;
        case ERROR_FILE_TOO_LARGE:
            return EFBIG;
        case ERROR_NOT_SAME_DEVICE:
            return EXDEV;
        case ERROR_INVALID_HANDLE:
            return EBADF;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            return ENOMEM;
        case ERROR_CALL_NOT_IMPLEMENTED:
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            return ENOSYS;
        case ERROR_BROKEN_PIPE:
        case ERROR_NO_DATA:
            return EPIPE;
        case ERROR_CANT_RESOLVE_FILENAME:
            return ELOOP;
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK:
            return EINVAL;
        default:
            // Kept as it is (the network's failures among them: a server gone, a share no
            // longer there), so that the message shows the code and what it means.
            return ErrnoForSystemCode(code);
    }
}

int SetErrnoFromLastError() {
    errno = ErrnoFromSystemError(::GetLastError());
    return -1;
}

}  // namespace win32

std::string SystemErrorText(unsigned long code) {
    wchar_t* buffer = nullptr;
    const DWORD n = ::FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(code), 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
    if (n == 0 || buffer == nullptr)
        return {};
    std::wstring text(buffer, n);
    ::LocalFree(buffer);
    // "The specified network name is no longer available.\r\n": our texts end in neither.
    while (!text.empty() && (text.back() == L'\r' || text.back() == L'\n' || text.back() == L' ' ||
                             text.back() == L'.'))
        text.pop_back();
    return win32::Utf8(text);
}

namespace {

using win32::ErrnoFromSystemError;
using win32::SetErrnoFromLastError;
using win32::WideName;

// The information classes of Windows 10 1709 and later (the headers give them only for later
// targets than the one this build names).
constexpr auto kFileDispositionInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(21);
constexpr auto kFileRenameInfoEx = static_cast<FILE_INFO_BY_HANDLE_CLASS>(22);

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// The longest name the system takes ("\\?\" and all), in UTF-16 units.
constexpr size_t kLongestName = 32767;
constexpr uint64_t kToTheEnd = ~0ull;

struct HeldRange {
    uint64_t start = 0;
    uint64_t length = 0;  // never 0: "to the end" is kToTheEnd - start
    LockKind kind = LockKind::Read;
};

// One open file: what every FileHandle number that names it (the first and its duplicates)
// shares.
struct OpenFile {
    std::mutex mutex;  // guards everything below and orders the calls that move the position
    HANDLE handle = INVALID_HANDLE_VALUE;
    DWORD access = 0;
    bool append = false;
    bool soleUse = false;  // opened allowing others nothing but delete (kOpenSoleUse, TakeLease)
    std::vector<HeldRange> ranges;
    // Set when the file's name was taken from it while this process had it open (Remove, or a
    // rename over it): the name it was given aside, removed when this open file closes.
    std::wstring aside;

    ~OpenFile() {
        if (handle != INVALID_HANDLE_VALUE)
            ::CloseHandle(handle);
    }
};

std::mutex tableMutex;
std::map<FileHandle, std::shared_ptr<OpenFile>>& Table() {
    static std::map<FileHandle, std::shared_ptr<OpenFile>> table;
    return table;
}
FileHandle nextHandle = 3;

FileHandle Register(std::shared_ptr<OpenFile> file) {
    std::lock_guard<std::mutex> guard(tableMutex);
    while (Table().count(nextHandle) || nextHandle < 3)
        nextHandle = nextHandle == INT32_MAX ? 3 : nextHandle + 1;
    const FileHandle fd = nextHandle++;
    Table()[fd] = std::move(file);
    return fd;
}

std::shared_ptr<OpenFile> Find(FileHandle fd) {
    std::lock_guard<std::mutex> guard(tableMutex);
    const auto it = Table().find(fd);
    if (it == Table().end()) {
        errno = EBADF;
        return nullptr;
    }
    return it->second;
}

int64_t NsSince1970(const FILETIME& ft) {
    const uint64_t ticks = (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
    constexpr uint64_t k1601To1970 = 116444736000000000ull;  // 100 ns ticks
    return (static_cast<int64_t>(ticks) - static_cast<int64_t>(k1601To1970)) * 100;
}

FILETIME FileTimeOf(int64_t secondsSince1970) {
    const uint64_t ticks =
        static_cast<uint64_t>(secondsSince1970) * 10000000ull + 116444736000000000ull;
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(ticks);
    ft.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    return ft;
}

// What the open handle reaches; false with errno set on failure.
bool FillInfo(HANDLE h, FileInfo* info) {
    const DWORD type = ::GetFileType(h);
    if (type != FILE_TYPE_DISK) {
        if (type == FILE_TYPE_UNKNOWN && ::GetLastError() != NO_ERROR)
            return SetErrnoFromLastError(), false;
        *info = FileInfo{};
        info->kind = NameKind::Other;
        info->permissions = 0666;
        return true;
    }
    BY_HANDLE_FILE_INFORMATION bh;
    if (!::GetFileInformationByHandle(h, &bh))
        return SetErrnoFromLastError(), false;
    const bool folder = (bh.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    info->kind = folder ? NameKind::Folder : NameKind::Regular;
    info->size = folder ? 0 : (static_cast<uint64_t>(bh.nFileSizeHigh) << 32) | bh.nFileSizeLow;
    info->id = {bh.dwVolumeSerialNumber,
                (static_cast<uint64_t>(bh.nFileIndexHigh) << 32) | bh.nFileIndexLow};
    // The read-only attribute is what Windows has of the permission bits.
    const bool readOnly = (bh.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
    info->permissions = (folder ? 0555u : 0444u) | (readOnly ? 0u : 0222u) | (folder ? 0111u : 0u);
    info->modified = NsSince1970(bh.ftLastWriteTime);
    return true;
}

// Opens `path` for no access (which no sharing mode refuses) to look at what it is.
HANDLE OpenForLooking(const std::string& path, bool followLink) {
    return ::CreateFileW(
        WideName(path).c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
        FILE_FLAG_BACKUP_SEMANTICS | (followLink ? 0 : FILE_FLAG_OPEN_REPARSE_POINT), nullptr);
}

// True when `name` reaches the file open as `h` (its file index; the volume serial too, unless
// Wine tells `h` the serial 0, as it does once another handle renamed the file).
bool NameReaches(const std::wstring& name, HANDLE h) {
    BY_HANDLE_FILE_INFORMATION mine, theirs;
    if (!::GetFileInformationByHandle(h, &mine))
        return false;
    const HANDLE other =
        ::CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (other == INVALID_HANDLE_VALUE)
        return false;
    const bool same = ::GetFileInformationByHandle(other, &theirs) &&
                      (theirs.dwVolumeSerialNumber == mine.dwVolumeSerialNumber ||
                       mine.dwVolumeSerialNumber == 0) &&
                      theirs.nFileIndexHigh == mine.nFileIndexHigh &&
                      theirs.nFileIndexLow == mine.nFileIndexLow;
    ::CloseHandle(other);
    return same;
}

// The object's name of the open file (NtQueryObject: "\\??\\C:\\..." under Wine, made
// "\\\\?\\C:\\..."), for CurrentName under Wine, whose GetFinalPathNameByHandleW gives no
// name longer than MAX_PATH (error 234 at any size of buffer). "" when there is none such.
std::wstring ObjectName(HANDLE h) {
    using QueryObject = LONG(WINAPI*)(HANDLE, int, void*, ULONG, ULONG*);
    static const auto query = reinterpret_cast<QueryObject>(reinterpret_cast<void*>(
        ::GetProcAddress(::GetModuleHandleW(L"ntdll.dll"), "NtQueryObject")));
    struct NameInformation {
        USHORT length;
        USHORT maximumLength;
        wchar_t* buffer;
    };
    constexpr int kObjectNameInformation = 1;
    std::vector<unsigned char> buf(sizeof(NameInformation) + (kLongestName + 8) * sizeof(wchar_t));
    ULONG got = 0;
    if (!query ||
        query(h, kObjectNameInformation, buf.data(), static_cast<ULONG>(buf.size()), &got) != 0) {
        ::SetLastError(ERROR_MORE_DATA);
        return {};
    }
    const auto* info = reinterpret_cast<const NameInformation*>(buf.data());
    const std::wstring nt(info->buffer, info->length / sizeof(wchar_t));
    if (nt.rfind(L"\\??\\", 0) != 0) {
        ::SetLastError(ERROR_MORE_DATA);
        return {};
    }
    return L"\\\\?\\" + nt.substr(4);
}

// The name the system gives for the open file.
std::wstring SystemName(HANDLE h) {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = ::GetFinalPathNameByHandleW(h, name.data(), static_cast<DWORD>(name.size()),
                                                    FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
        if (n == 0)
            return ::GetLastError() == ERROR_MORE_DATA ? ObjectName(h) : std::wstring();
        if (n < name.size()) {
            name.resize(n);
            return name;
        }
        name.resize(n + 1);
    }
}

// The name the open file has now (it follows the file through renames). Wine keeps telling a
// handle the name its file had when another handle renamed it (our renames of a temporary over
// a table): a name that no longer reaches the file is looked for in its folder, by the file's
// index, where each of our renames keeps it; the system's name stays when nothing there does.
std::wstring CurrentName(HANDLE h) {
    const std::wstring name = SystemName(h);
    if (name.empty() || NameReaches(name, h))
        return name;
    const std::wstring folder = name.substr(0, name.find_last_of(L'\\') + 1);
    WIN32_FIND_DATAW found;
    const HANDLE listing = ::FindFirstFileExW((folder + L"*").c_str(), FindExInfoBasic, &found,
                                              FindExSearchNameMatch, nullptr, 0);
    if (listing == INVALID_HANDLE_VALUE)
        return name;
    std::wstring reached;
    do {
        const std::wstring entry = folder + found.cFileName;
        if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && NameReaches(entry, h))
            reached = entry;
    } while (reached.empty() && ::FindNextFileW(listing, &found));
    ::FindClose(listing);
    return reached.empty() ? name : reached;
}

bool LockHandle(HANDLE h, LockKind kind, uint64_t start, uint64_t length, bool wait) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(start);
    ov.OffsetHigh = static_cast<DWORD>(start >> 32);
    const DWORD flags = (kind == LockKind::Write ? LOCKFILE_EXCLUSIVE_LOCK : 0) |
                        (wait ? 0 : LOCKFILE_FAIL_IMMEDIATELY);
    return ::LockFileEx(h, flags, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                        &ov) != 0;
}

bool UnlockHandle(HANDLE h, uint64_t start, uint64_t length) {
    OVERLAPPED ov{};
    ov.Offset = static_cast<DWORD>(start);
    ov.OffsetHigh = static_cast<DWORD>(start >> 32);
    return ::UnlockFileEx(h, 0, static_cast<DWORD>(length), static_cast<DWORD>(length >> 32),
                          &ov) != 0;
}

uint64_t LengthOf(uint64_t start, uint64_t length) {
    return length == 0 ? kToTheEnd - start : length;
}

// Closes the handle of `file`, keeping its position in `position`. REQUIRES: file->mutex held.
void Park(OpenFile* file, LARGE_INTEGER* position) {
    LARGE_INTEGER zero{};
    position->QuadPart = 0;
    ::SetFilePointerEx(file->handle, zero, position, FILE_CURRENT);
    ::CloseHandle(file->handle);
    file->handle = INVALID_HANDLE_VALUE;
}

// Opens `name` for `file` again, allowing others `share` (nothing but delete for sole use), or,
// when that is refused, sharing everything (the engine gives the file up on that refusal, but
// until then its handle must go on working); puts the position back and takes the held ranges
// again. `extraAccess` is added to the file's access. REQUIRES: file->mutex held, the file
// parked. False with errno set when the wanted open was refused.
bool Unpark(OpenFile* file, const std::wstring& name, bool soleUse, LARGE_INTEGER position,
            DWORD extraAccess = 0) {
    const DWORD share = soleUse ? FILE_SHARE_DELETE : kShareAll;
    if (soleUse)
        extraAccess |= DELETE;  // renamed aside through this handle when it is replaced
    HANDLE h = ::CreateFileW(name.c_str(), file->access | extraAccess, share, nullptr,
                             OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    const bool ok = h != INVALID_HANDLE_VALUE;
    const int err = ok ? 0 : ErrnoFromSystemError(::GetLastError());
    if (!ok)
        h = ::CreateFileW(name.c_str(), file->access, kShareAll, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr);
    file->handle = h;
    file->soleUse = soleUse && ok;
    if (file->soleUse)
        file->access |= extraAccess;
    if (h != INVALID_HANDLE_VALUE) {
        ::SetFilePointerEx(h, position, nullptr, FILE_BEGIN);
        std::vector<HeldRange> kept;
        for (const HeldRange& r : file->ranges)
            if (LockHandle(h, r.kind, r.start, r.length, false))
                kept.push_back(r);
        file->ranges = std::move(kept);
    } else {
        file->ranges.clear();
    }
    if (!ok)
        errno = err;
    return ok;
}

// Opens the file of `file` anew allowing others nothing but delete (TakeLease of a file opened
// without kOpenSoleUse: the engine's own new files, whose names nobody else knows). REQUIRES:
// file->mutex held. False with errno set when the open is refused.
bool Reopen(OpenFile* file, bool soleUse) {
    const std::wstring current = CurrentName(file->handle);
    if (current.empty())
        return SetErrnoFromLastError(), false;
    // Opened by the name every other open uses (the system's answer carries \\?\\ even for a
    // short name, and Wine then reports no volume for the handle: its identity would differ).
    const std::wstring name = WideName(win32::Utf8FromSystemName(current));
    LARGE_INTEGER position;
    Park(file, &position);
    return Unpark(file, name, soleUse, position);
}

std::string RandomSuffix() {
    static std::mutex m;
    static std::mt19937_64 random(
        static_cast<uint64_t>(std::chrono::high_resolution_clock::now().time_since_epoch().count() ^
                              ::GetCurrentProcessId()));
    static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::lock_guard<std::mutex> guard(m);
    std::string out;
    for (int i = 0; i < 6; ++i)
        out += kChars[random() % (sizeof kChars - 1)];
    return out;
}

// The name the native rename call takes: a full name under \\??\\ (\\??\\UNC\\ for a share).
std::wstring NtName(const std::string& utf8) {
    std::wstring wide = WideName(utf8);
    if (wide.rfind(L"\\\\?\\", 0) == 0)
        return L"\\??\\" + wide.substr(4);
    std::wstring full(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n =
            ::GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
        if (n == 0)
            return L"\\??\\" + wide;
        if (n < full.size()) {
            full.resize(n);
            break;
        }
        full.resize(n + 1);
    }
    if (full.rfind(L"\\\\", 0) == 0)
        return L"\\??\\UNC\\" + full.substr(2);
    return L"\\??\\" + full;
}

// Renames the file open as `h` (opened with DELETE access) to the NT name `to`, never replacing
// a file there. Other handles on the file stay open and working. False with the system error
// left for GetLastError.
bool RenameHandle(HANDLE h, const std::wstring& to) {
    std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->ReplaceIfExists = FALSE;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, to.c_str(), to.size() * sizeof(wchar_t));
    return ::SetFileInformationByHandle(h, FileRenameInfo, info, static_cast<DWORD>(buf.size())) !=
           0;
}

// Rename with POSIX semantics: the target's name is replaced even while somebody has the target
// open (allowing delete), and the old file lives on, nameless, until its last handle closes.
// False with the system error left for GetLastError (ERROR_INVALID_PARAMETER or
// ERROR_NOT_SUPPORTED where the system or its file system does not have it).
bool RenamePosix(const std::wstring& from, const std::wstring& ntTo) {
    const std::wstring& to = ntTo;
    HANDLE h = ::CreateFileW(from.c_str(), DELETE | SYNCHRONIZE, kShareAll, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;
    std::vector<unsigned char> buf(sizeof(FILE_RENAME_INFO) + to.size() * sizeof(wchar_t));
    auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buf.data());
    info->Flags = FILE_RENAME_FLAG_REPLACE_IF_EXISTS | FILE_RENAME_FLAG_POSIX_SEMANTICS |
                  0x4 /* FILE_RENAME_FLAG_IGNORE_READONLY_ATTRIBUTE */;
    info->RootDirectory = nullptr;
    info->FileNameLength = static_cast<DWORD>(to.size() * sizeof(wchar_t));
    std::memcpy(info->FileName, to.c_str(), to.size() * sizeof(wchar_t));
    const BOOL ok =
        ::SetFileInformationByHandle(h, kFileRenameInfoEx, info, static_cast<DWORD>(buf.size()));
    const DWORD err = ::GetLastError();
    ::CloseHandle(h);
    ::SetLastError(err);
    return ok != 0;
}

bool NotAvailableHere(DWORD err) {
    return err == ERROR_INVALID_PARAMETER || err == ERROR_NOT_SUPPORTED ||
           err == ERROR_INVALID_FUNCTION || err == ERROR_CALL_NOT_IMPLEMENTED;
}

// The security descriptor parts that carry over to a replacement: the access list always, the
// owner and group as far as the process may set them.
constexpr SECURITY_INFORMATION kOwnerAndGroup =
    OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION;

[[noreturn]] void ThrowCarryError(const std::string& what, const std::string& oldPath, DWORD err) {
    const int e = ErrnoFromSystemError(err);
    // A code kept as it is names itself in the text.
    const std::string code =
        SystemCodeOf(e) != 0 ? std::string() : " (Windows error " + std::to_string(err) + ")";
    throw EInOutError(FileErrorFromErrno(e), "Cannot carry the " + what + " of " + oldPath +
                                                 " to its replacement: " + FileErrorText(e) + code);
}

// Gives the file at `newName` the access list (and, where the process may, the owner and group)
// of the file at `oldPath`. Throws when the access list cannot be carried.
void CarrySecurity(const std::string& oldPath, const std::wstring& newName, bool accessList) {
    PSID owner = nullptr, group = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR sd = nullptr;
    const SECURITY_INFORMATION wanted =
        kOwnerAndGroup | (accessList ? DACL_SECURITY_INFORMATION : 0);
    DWORD err = ::GetNamedSecurityInfoW(WideName(oldPath).c_str(), SE_FILE_OBJECT, wanted, &owner,
                                        &group, &dacl, nullptr, &sd);
    if (err != ERROR_SUCCESS) {
        if (err == ERROR_FILE_NOT_FOUND || NotAvailableHere(err))
            return;  // nothing replaced, or a file system without security: nothing to carry
        ThrowCarryError("security descriptor", oldPath, err);
    }
    struct Free {
        PSECURITY_DESCRIPTOR p;
        ~Free() { ::LocalFree(p); }
    } freeSd{sd};
    // Owner and group: only a process with the restore privilege gives a file away; a refusal
    // leaves the new file this process's, as on other systems.
    err = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(newName.c_str()), SE_FILE_OBJECT,
                                  kOwnerAndGroup, owner, group, nullptr, nullptr);
    if (err != ERROR_SUCCESS && err != ERROR_INVALID_OWNER && err != ERROR_ACCESS_DENIED &&
        err != ERROR_PRIVILEGE_NOT_HELD && err != ERROR_INVALID_PRIMARY_GROUP &&
        !NotAvailableHere(err))
        ThrowCarryError("owner", oldPath, err);
    if (!accessList)
        return;
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ::GetSecurityDescriptorControl(sd, &control, &revision);
    const SECURITY_INFORMATION inherit = (control & SE_DACL_PROTECTED)
                                             ? PROTECTED_DACL_SECURITY_INFORMATION
                                             : UNPROTECTED_DACL_SECURITY_INFORMATION;
    err = ::SetNamedSecurityInfoW(const_cast<wchar_t*>(newName.c_str()), SE_FILE_OBJECT,
                                  DACL_SECURITY_INFORMATION | inherit, nullptr, nullptr, dacl,
                                  nullptr);
    if (err != ERROR_SUCCESS && !NotAvailableHere(err))
        ThrowCarryError("access list", oldPath, err);
}

constexpr DWORD kCarriedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                     FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                     FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

bool SetAttributes(HANDLE h, DWORD attributes) {
    FILE_BASIC_INFO basic{};
    if (!::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic))
        return false;
    basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
    basic.CreationTime.QuadPart = 0;  // 0: left as they are
    basic.LastAccessTime.QuadPart = 0;
    basic.LastWriteTime.QuadPart = 0;
    basic.ChangeTime.QuadPart = 0;
    return ::SetFileInformationByHandle(h, FileBasicInfo, &basic, sizeof basic) != 0;
}

std::atomic<bool> stopRequested{false};
HANDLE StopEvent() {
    static HANDLE event = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

BOOL WINAPI OnConsoleControl(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT:
            stopRequested = true;
            ::SetEvent(StopEvent());
            if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) {
                // The system ends the process when this returns: give the pass the few seconds
                // it is allowed to stop between two tables (a replace is never cut short by the
                // flag; only the end of the process could, and the replace is crash safe).
                ::Sleep(4000);
            }
            return TRUE;
        default:
            return FALSE;
    }
}

class WindowsEnv final : public Env {
  public:
    FileHandle Open(const std::string& path, unsigned flags, unsigned createPermissions) override {
        DWORD access = 0;
        switch (flags & 3u) {
            case kOpenWrite:
                access = GENERIC_WRITE;
                break;
            case kOpenReadWrite:
                access = GENERIC_READ | GENERIC_WRITE;
                break;
            default:
                access = GENERIC_READ;
                break;
        }
        DWORD disposition = OPEN_EXISTING;
        if (flags & kOpenCreate) {
            if (flags & kOpenExclusive)
                disposition = CREATE_NEW;
            else if (flags & kOpenTruncate)
                disposition = OPEN_ALWAYS;  // emptied below, keeping its attributes
            else
                disposition = OPEN_ALWAYS;
        }
        DWORD attributes = FILE_ATTRIBUTE_NORMAL;
        if ((flags & kOpenCreate) && (createPermissions & 0222u) == 0)
            attributes = FILE_ATTRIBUTE_READONLY;
        DWORD extra = 0;
        if (flags & (kOpenNoFollow | kOpenExclusive))
            extra |= FILE_FLAG_OPEN_REPARSE_POINT;
        const std::wstring name = WideName(path);
        if (name.size() > kLongestName) {
            errno = ENAMETOOLONG;  // a clear "bad name", whatever the file system would say
            return kNoFile;
        }
        // Sole use: others may do nothing but rename or delete the name (which is how this
        // process replaces the file it holds), and the open is refused while anybody has it.
        const bool soleUse = (flags & kOpenSoleUse) != 0;
        if (soleUse)
            access |= DELETE;
        HANDLE h = ::CreateFileW(name.c_str(), access, soleUse ? FILE_SHARE_DELETE : kShareAll,
                                 nullptr, disposition, attributes | extra, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD err = ::GetLastError();
            errno = ErrnoFromSystemError(err);
            if (soleUse && err == ERROR_SHARING_VIOLATION)
                errno = EBUSY;  // another open exists
            // A folder opened as a file.
            if (err == ERROR_ACCESS_DENIED && KindOfName(path) == NameKind::Folder)
                errno = EISDIR;
            return kNoFile;
        }
        if (extra & FILE_FLAG_OPEN_REPARSE_POINT) {
            FILE_ATTRIBUTE_TAG_INFO tag{};
            if (::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
                (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
                ::CloseHandle(h);
                errno = (flags & kOpenExclusive) ? EEXIST : ELOOP;
                return kNoFile;
            }
        }
        if ((flags & kOpenTruncate) && (access & GENERIC_WRITE)) {
            FILE_END_OF_FILE_INFO eof{};
            if (!::SetFileInformationByHandle(h, FileEndOfFileInfo, &eof, sizeof eof)) {
                SetErrnoFromLastError();
                const int err = errno;
                ::CloseHandle(h);
                errno = err;
                return kNoFile;
            }
        }
        auto file = std::make_shared<OpenFile>();
        file->handle = h;
        file->access = access;
        file->append = (flags & kOpenAppend) != 0;
        file->soleUse = soleUse;
        return Register(std::move(file));
    }
    int Close(FileHandle fd) override {
        std::shared_ptr<OpenFile> file;
        {
            std::lock_guard<std::mutex> guard(tableMutex);
            const auto it = Table().find(fd);
            if (it == Table().end()) {
                errno = EBADF;
                return -1;
            }
            file = std::move(it->second);
            Table().erase(it);
        }
        if (file.use_count() == 1) {
            std::lock_guard<std::mutex> guard(file->mutex);
            const HANDLE h = file->handle;
            file->handle = INVALID_HANDLE_VALUE;
            // A file whose name was taken from it goes with its aside name (another open of
            // it, by this process or another, keeps it until that closes too).
            const std::wstring aside = std::move(file->aside);
            if (h != INVALID_HANDLE_VALUE && !::CloseHandle(h)) {
                const int err = SetErrnoFromLastError();
                if (!aside.empty())
                    ::DeleteFileW(aside.c_str());
                return err;
            }
            if (!aside.empty())
                ::DeleteFileW(aside.c_str());
        }
        return 0;
    }
    int64_t Read(FileHandle fd, void* data, size_t size) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        return ReadHandle(file->handle, nullptr, data, size);
    }
    int64_t ReadAt(FileHandle fd, uint64_t offset, void* data, size_t size) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        return KeepingPosition(file->handle,
                               [&] { return ReadHandle(file->handle, &offset, data, size); });
    }
    int64_t Write(FileHandle fd, const void* data, size_t size) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        if (file->append) {
            uint64_t end = ~0ull;  // 0xFFFFFFFF:0xFFFFFFFF writes at the end of the file
            return WriteHandle(file->handle, &end, data, size);
        }
        return WriteHandle(file->handle, nullptr, data, size);
    }
    int64_t WriteAt(FileHandle fd, uint64_t offset, const void* data, size_t size) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        return KeepingPosition(file->handle,
                               [&] { return WriteHandle(file->handle, &offset, data, size); });
    }
    int Seek(FileHandle fd, uint64_t offset) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        LARGE_INTEGER to;
        to.QuadPart = static_cast<LONGLONG>(offset);
        return ::SetFilePointerEx(file->handle, to, nullptr, FILE_BEGIN) ? 0
                                                                         : SetErrnoFromLastError();
    }
    int Sync(FileHandle fd) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        if (::GetFileType(file->handle) != FILE_TYPE_DISK) {
            errno = EINVAL;
            return -1;
        }
        if (!(file->access & GENERIC_WRITE))
            return 0;  // nothing of ours to put on disk (the system refuses a read handle)
        return ::FlushFileBuffers(file->handle) ? 0 : SetErrnoFromLastError();
    }
    int Truncate(FileHandle fd, uint64_t size) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        FILE_END_OF_FILE_INFO eof;
        eof.EndOfFile.QuadPart = static_cast<LONGLONG>(size);
        return ::SetFileInformationByHandle(file->handle, FileEndOfFileInfo, &eof, sizeof eof)
                   ? 0
                   : SetErrnoFromLastError();
    }
    int Info(FileHandle fd, FileInfo* info) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        return FillInfo(file->handle, info) ? 0 : -1;
    }
    FileHandle Duplicate(FileHandle fd) override {
        auto file = Find(fd);
        return file ? Register(std::move(file)) : kNoFile;
    }
    int64_t CopyRange(FileHandle, uint64_t, FileHandle, uint64_t, size_t) override {
        errno = ENOSYS;  // the caller copies
        return -1;
    }
    void AdviseSequential(FileHandle) override {}
    int EndNonBlocking(FileHandle) override { return 0; }  // no open waits here

    int PathInfo(const std::string& path, bool followLink, FileInfo* info) override {
        HANDLE h = OpenForLooking(path, followLink);
        if (h == INVALID_HANDLE_VALUE)
            return SetErrnoFromLastError();
        bool ok = FillInfo(h, info);
        if (ok && !followLink) {
            FILE_ATTRIBUTE_TAG_INFO tag{};
            if (::GetFileInformationByHandleEx(h, FileAttributeTagInfo, &tag, sizeof tag) &&
                (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) &&
                (tag.ReparseTag == IO_REPARSE_TAG_SYMLINK ||
                 tag.ReparseTag == IO_REPARSE_TAG_MOUNT_POINT))
                info->kind = NameKind::Link;
        }
        const int err = errno;
        ::CloseHandle(h);
        errno = err;
        return ok ? 0 : -1;
    }
    int Rename(const std::string& from, const std::string& to) override {
        const std::wstring f = WideName(from), t = WideName(to);
        if (const int done = TryRenamePosix(from, to); done != 1)
            return done;
        // A system (before Windows 10 1709) or file system without the POSIX rename: the
        // classic one, refused while anybody has the target open, this process included.
        if (::MoveFileExW(f.c_str(), t.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
            return 0;
        const DWORD moveErr = ::GetLastError();
        if (moveErr != ERROR_ACCESS_DENIED && moveErr != ERROR_SHARING_VIOLATION) {
            errno = ErrnoFromSystemError(moveErr);
            return -1;
        }
        const std::vector<std::shared_ptr<OpenFile>> own = OwnOpenFiles(to);
        if (own.empty()) {
            errno = EBUSY;  // another program has the target open
            return -1;
        }
        // Through the sole-use open where there is one: it has the access a rename needs.
        const auto held = std::find_if(own.begin(), own.end(), [](const auto& o) {
            std::lock_guard<std::mutex> guard(o->mutex);
            return o->soleUse;
        });
        return ReplaceAroundOwnHandle(held != own.end() ? **held : *own.front(), from, to);
    }
    int RenameOverHeld(const std::string& from, const std::string& to, FileHandle held) override {
        const auto file = Find(held);
        if (!file)
            return -1;
        FileInfo ours;
        {
            std::lock_guard<std::mutex> guard(file->mutex);
            if (!FillInfo(file->handle, &ours))
                return -1;
        }
        FileInfo there;
        if (PathInfo(to, false, &there) != 0 || there.kind != NameKind::Regular ||
            there.id != ours.id) {
            errno = kNameChanged;  // another file under the name, or none
            return -1;
        }
        if (const int done = TryRenamePosix(from, to); done != 1)
            return done;
        return ReplaceAroundOwnHandle(*file, from, to);
    }
    int Link(const std::string& from, const std::string& to) override {
        return ::CreateHardLinkW(WideName(to).c_str(), WideName(from).c_str(), nullptr)
                   ? 0
                   : SetErrnoFromLastError();
    }
    int Remove(const std::string& path) override {
        const std::wstring name = WideName(path);
        const bool ownOpen = !OwnOpenFiles(path).empty();
        // POSIX semantics: the name goes at once even while somebody has the file open
        // (allowing delete), so that it can be taken again at once.
        HANDLE h = ::CreateFileW(name.c_str(), DELETE, kShareAll, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE)
            return SetErrnoFromLastError();
        FILE_BASIC_INFO basic{};
        const bool folder =
            ::GetFileInformationByHandleEx(h, FileBasicInfo, &basic, sizeof basic) &&
            (basic.FileAttributes & FILE_ATTRIBUTE_DIRECTORY);
        if (folder) {
            ::CloseHandle(h);
            errno = EISDIR;
            return -1;
        }
        FILE_DISPOSITION_INFO_EX disposition{};
        disposition.Flags = FILE_DISPOSITION_FLAG_DELETE | FILE_DISPOSITION_FLAG_POSIX_SEMANTICS |
                            FILE_DISPOSITION_FLAG_IGNORE_READONLY_ATTRIBUTE;
        if (::SetFileInformationByHandle(h, kFileDispositionInfoEx, &disposition,
                                         sizeof disposition)) {
            ::CloseHandle(h);
            return 0;
        }
        DWORD err = ::GetLastError();
        if (NotAvailableHere(err) || err == NO_ERROR) {  // Wine fails it without a reason
            // The classic delete keeps the name until the last handle closes. A file this
            // process holds (sole use stays until the step ends) would keep it taken, so it is
            // first renamed aside through the handle opened here: the name is free at once,
            // and the aside name goes with the file.
            if (ownOpen) {
                if (!RenameHandle(h, NtName(path + ".del-" + RandomSuffix()))) {
                    err = ::GetLastError();
                    ::CloseHandle(h);
                    errno = ErrnoFromSystemError(err);
                    return -1;
                }
            }
            FILE_DISPOSITION_INFO classic{};
            classic.DeleteFile = TRUE;
            if (::SetFileInformationByHandle(h, FileDispositionInfo, &classic, sizeof classic)) {
                ::CloseHandle(h);
                return 0;
            }
            err = ::GetLastError();
        }
        ::CloseHandle(h);
        errno = ErrnoFromSystemError(err);
        return -1;
    }
    FileHandle CreateUniqueFile(const std::string& prefix, std::string* name) override {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string made = prefix + RandomSuffix();
            const FileHandle fd = Open(made, kOpenReadWrite | kOpenCreate | kOpenExclusive, 0600);
            if (fd >= 0) {
                *name = made;
                return fd;
            }
            if (errno != EEXIST)
                return kNoFile;
        }
        errno = EEXIST;
        return kNoFile;
    }
    int MakeFolder(const std::string& path, unsigned) override {
        return ::CreateDirectoryW(WideName(path).c_str(), nullptr) ? 0 : SetErrnoFromLastError();
    }
    std::string MakeUniqueFolder(const std::string& prefix) override {
        for (int attempt = 0; attempt < 100; ++attempt) {
            const std::string made = prefix + RandomSuffix();
            if (MakeFolder(made, 0700) == 0)
                return made;
            if (errno != EEXIST)
                return {};
        }
        errno = EEXIST;
        return {};
    }
    std::string ResolveLinks(const std::string& path) override {
        HANDLE h = OpenForLooking(path, true);
        if (h == INVALID_HANDLE_VALUE)
            return SetErrnoFromLastError(), std::string();
        const std::wstring name = CurrentName(h);
        const int err = name.empty() ? SetErrnoFromLastError() : 0;
        ::CloseHandle(h);
        if (name.empty()) {
            errno = err == -1 ? errno : EIO;
            return {};
        }
        return win32::Utf8FromSystemName(name);
    }
    int ListFolder(const std::string& path, std::vector<std::string>* names) override {
        std::string pattern = path.empty() ? "." : path;
        // "Y:" is drive Y's current folder: "Y:*" lists it, "Y:\*" the drive's root.
        const bool drive = pattern.size() == 2 && pattern[1] == ':';
        if (!drive && pattern.back() != '\\' && pattern.back() != '/')
            pattern += '\\';
        pattern += '*';
        WIN32_FIND_DATAW found;
        HANDLE h = ::FindFirstFileExW(WideName(pattern).c_str(), FindExInfoBasic, &found,
                                      FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
        if (h == INVALID_HANDLE_VALUE) {
            const DWORD err = ::GetLastError();
            if (err == ERROR_FILE_NOT_FOUND) {  // an empty folder (not even "." listed)
                names->clear();
                return 0;
            }
            errno = ErrnoFromSystemError(err);
            return -1;
        }
        names->clear();
        do {
            const std::wstring n = found.cFileName;
            if (n != L"." && n != L"..")
                names->push_back(win32::Utf8(n));
        } while (::FindNextFileW(h, &found));
        const DWORD err = ::GetLastError();
        ::FindClose(h);
        if (err != ERROR_NO_MORE_FILES) {
            errno = ErrnoFromSystemError(err);
            return -1;
        }
        return 0;
    }
    // A rename is on disk with the file system's own journal (NTFS logs every change of a
    // folder); the files themselves are flushed by Sync.
    void SyncFolder(const std::string&) override {}

    void CarryAttributes(const std::string& oldPath, FileHandle fd) override {
        const auto file = Find(fd);
        if (!file)
            ThrowLastInOutError();
        WIN32_FILE_ATTRIBUTE_DATA old;
        if (!::GetFileAttributesExW(WideName(oldPath).c_str(), GetFileExInfoStandard, &old)) {
            const DWORD err = ::GetLastError();
            if (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND)
                return;  // nothing replaced: the defaults stay
            errno = ErrnoFromSystemError(err);
            ThrowLastInOutError(oldPath);
        }
        std::lock_guard<std::mutex> guard(file->mutex);
        const std::wstring newName = CurrentName(file->handle);
        if (newName.empty())
            ThrowCarryError("security descriptor", oldPath, ::GetLastError());
        CarrySecurity(oldPath, newName, true);
        if (!SetAttributes(file->handle, old.dwFileAttributes & kCarriedAttributes))
            ThrowCarryError("attributes (read-only, hidden, system, archive)", oldPath,
                            ::GetLastError());
    }
    int CarryOwner(const std::string& fromPath, FileHandle fd) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        if (::GetFileAttributesW(WideName(fromPath).c_str()) == INVALID_FILE_ATTRIBUTES)
            return SetErrnoFromLastError();
        std::wstring newName;
        {
            std::lock_guard<std::mutex> guard(file->mutex);
            newName = CurrentName(file->handle);
        }
        if (newName.empty())
            return SetErrnoFromLastError();
        try {
            CarrySecurity(fromPath, newName, false);
        } catch (const EInOutError&) {
            errno = EIO;
            return -1;
        }
        return 0;
    }
    int SetPermissions(FileHandle fd, unsigned permissions) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        FILE_BASIC_INFO basic{};
        if (!::GetFileInformationByHandleEx(file->handle, FileBasicInfo, &basic, sizeof basic))
            return SetErrnoFromLastError();
        DWORD attributes = basic.FileAttributes & ~FILE_ATTRIBUTE_NORMAL;
        if (permissions & 0222u)
            attributes &= ~static_cast<DWORD>(FILE_ATTRIBUTE_READONLY);
        else
            attributes |= FILE_ATTRIBUTE_READONLY;
        return SetAttributes(file->handle, attributes) ? 0 : SetErrnoFromLastError();
    }
    int SetTimes(FileHandle fd, int64_t seconds) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        const FILETIME ft = FileTimeOf(seconds);
        return ::SetFileTime(file->handle, nullptr, &ft, &ft) ? 0 : SetErrnoFromLastError();
    }

    // Byte-range locks (LockFileEx) belong to the handle, as Env.h asks. Unlike POSIX locks they
    // do not merge: the ranges taken through an open file are kept, a range taken again of the
    // same kind is no new lock, and an unlock lets go of every kept range it touches.
    int LockRange(FileHandle fd, LockKind kind, uint64_t start, uint64_t length) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        const uint64_t len = LengthOf(start, length);
        for (auto it = file->ranges.begin(); it != file->ranges.end(); ++it) {
            if (it->start != start || it->length != len)
                continue;
            if (it->kind == kind)
                return 0;
            // Another kind over the same bytes: the old one goes (POSIX converts in place).
            UnlockHandle(file->handle, it->start, it->length);
            file->ranges.erase(it);
            break;
        }
        if (!LockHandle(file->handle, kind, start, len, false))
            return SetErrnoFromLastError();
        file->ranges.push_back({start, len, kind});
        return 0;
    }
    int UnlockRange(FileHandle fd, uint64_t start, uint64_t length) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        const uint64_t len = LengthOf(start, length);
        std::vector<HeldRange> kept;
        for (const HeldRange& r : file->ranges) {
            const bool overlaps = r.start < start + len && start < r.start + r.length;
            if (overlaps)
                UnlockHandle(file->handle, r.start, r.length);
            else
                kept.push_back(r);
        }
        file->ranges = std::move(kept);
        return 0;
    }
    // No call tells who holds a range: it is probed with a lock of the wanted kind, let go at
    // once, on the bytes this open file does not hold itself; the first byte in the way is
    // found by halving.
    bool FindLock(FileHandle fd, LockKind kind, uint64_t start, uint64_t length,
                  LockHolder* holder) override {
        const auto file = Find(fd);
        if (!file)
            return false;
        std::lock_guard<std::mutex> guard(file->mutex);
        const uint64_t end = start + LengthOf(start, length);
        // The pieces of [start, end) outside this open file's own ranges.
        std::vector<std::pair<uint64_t, uint64_t>> pieces{{start, end}};
        for (const HeldRange& r : file->ranges) {
            std::vector<std::pair<uint64_t, uint64_t>> next;
            for (const auto& [a, b] : pieces) {
                const uint64_t rs = r.start, re = r.start + r.length;
                if (re <= a || rs >= b) {
                    next.push_back({a, b});
                    continue;
                }
                if (a < rs)
                    next.push_back({a, rs});
                if (re < b)
                    next.push_back({re, b});
            }
            pieces = std::move(next);
        }
        for (const auto& [a, b] : pieces) {
            if (!Conflicts(file->handle, kind, a, b))
                continue;
            uint64_t lo = a, hi = b;  // the first conflicting byte lies in [lo, hi)
            while (hi - lo > 1) {
                const uint64_t mid = lo + (hi - lo) / 2;
                if (Conflicts(file->handle, kind, lo, mid))
                    hi = mid;
                else
                    lo = mid;
            }
            if (holder) {
                holder->start = lo;
                holder->pid = 0;
                // A read lock lets another read lock in beside it.
                holder->kind = Conflicts(file->handle, LockKind::Read, lo, lo + 1) ? LockKind::Write
                                                                                   : LockKind::Read;
            }
            return true;
        }
        return false;
    }
    int LockWholeFileWaiting(FileHandle fd) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        HANDLE h;
        {
            std::lock_guard<std::mutex> guard(file->mutex);
            h = file->handle;
        }
        // Beyond any byte a file of ours holds: the lock keeps no reader of it out.
        if (!LockHandle(h, LockKind::Write, kWaitingLockStart, 1, true))
            return SetErrnoFromLastError();
        std::lock_guard<std::mutex> guard(file->mutex);
        file->ranges.push_back({kWaitingLockStart, 1, LockKind::Write});
        return 0;
    }

    // The lease's counterpart: the sole-use open (kOpenSoleUse), which is its own proof; any
    // other handle (the engine's new files) is opened anew that way.
    int TakeLease(FileHandle fd) override {
        const auto file = Find(fd);
        if (!file)
            return -1;
        std::lock_guard<std::mutex> guard(file->mutex);
        if (file->soleUse)
            return 0;
        if (Reopen(file.get(), true))
            return 0;
        if (errno == EAGAIN)
            errno = EBUSY;  // another open exists
        return -1;
    }
    // Nobody can open a file held that way: the proof stands until it is dropped.
    bool LeaseIntact(FileHandle fd) override {
        const auto file = Find(fd);
        if (!file)
            return false;
        std::lock_guard<std::mutex> guard(file->mutex);
        return file->soleUse;
    }
    // Nothing: the sole-use open stays until the handle closes. A program that tries to open
    // the file meanwhile is refused at once (it does not wait, as for a lease), so there is
    // nothing to give back early, and opening the file again later would leave a moment in
    // which another program could open it, write and close unseen.
    void DropLease(FileHandle) override {}
    // Which process has a file open is the Restart Manager's to tell, and it names processes,
    // not handles (our own duplicates included); the proof here is the open that allows no
    // sharing (TakeLease). A file held that way has no other opener. Of any other nothing can
    // be proven: it counts as opened by another program (its process unknown, pid 0), so that
    // nothing is ever cleared by a look that cannot see.
    std::vector<OtherOpener> FindOtherOpeners(const std::vector<OpenFileTarget>& targets) override {
        std::vector<OtherOpener> out;
        for (const auto& t : targets) {
            const auto file = Find(t.held);
            bool sole = false;
            if (file) {
                std::lock_guard<std::mutex> guard(file->mutex);
                sole = file->soleUse;
            }
            if (!sole)
                out.push_back({t.id, OtherOpener::Kind::OtherProcess, 0, {}});
        }
        return out;
    }

    bool IsTerminal(StandardStream stream) override {
        const DWORD which = stream == StandardStream::Input    ? STD_INPUT_HANDLE
                            : stream == StandardStream::Output ? STD_OUTPUT_HANDLE
                                                               : STD_ERROR_HANDLE;
        DWORD mode = 0;
        const HANDLE h = ::GetStdHandle(which);
        return h != nullptr && h != INVALID_HANDLE_VALUE && ::GetFileType(h) == FILE_TYPE_CHAR &&
               ::GetConsoleMode(h, &mode);
    }

    uint64_t MonotonicMicros() override {
        return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::steady_clock::now().time_since_epoch())
                                         .count());
    }
    // Ends at once when a stop is requested (RequestStopOnTerminate).
    void SleepMilliseconds(unsigned ms) override {
        if (stopRequested) {
            ::Sleep(ms);
            return;
        }
        ::WaitForSingleObject(StopEvent(), ms);
    }
    bool LocalTime(int64_t seconds, std::tm* local) override {
        const FILETIME ft = FileTimeOf(seconds);
        SYSTEMTIME utc, st;
        // The rules of the time zone for that date (daylight saving of the year, not today's).
        if (!::FileTimeToSystemTime(&ft, &utc) ||
            !::SystemTimeToTzSpecificLocalTime(nullptr, &utc, &st))
            return false;
        *local = std::tm{};
        local->tm_year = st.wYear - 1900;
        local->tm_mon = st.wMonth - 1;
        local->tm_mday = st.wDay;
        local->tm_hour = st.wHour;
        local->tm_min = st.wMinute;
        local->tm_sec = st.wSecond;
        local->tm_wday = st.wDayOfWeek;
        static const int kDaysBefore[] = {0, 31, 59, 90, 120, 151, 181, 212, 243, 273, 304, 334};
        const int y = st.wYear;
        const bool leap = (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
        local->tm_yday = kDaysBefore[st.wMonth - 1] + st.wDay - 1 + (leap && st.wMonth > 2);
        local->tm_isdst = -1;
        return true;
    }

    // The Windows heap gives large freed blocks back by itself.
    void ReuseFreedMemoryAcrossThreads() override {}
    // No such signal: a write past a limit fails with an error.
    void IgnoreFileSizeSignal() override {}
    void RequestStopOnTerminate() override {
        StopEvent();
        ::SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    }
    bool StopRequested() override { return stopRequested; }

  private:
    // This process's open files on the regular file at `path` (none when the name is missing).
    std::vector<std::shared_ptr<OpenFile>> OwnOpenFiles(const std::string& path) {
        std::vector<std::shared_ptr<OpenFile>> own;
        FileInfo target;
        if (PathInfo(path, false, &target) != 0 || target.kind != NameKind::Regular)
            return own;
        std::lock_guard<std::mutex> guard(tableMutex);
        for (const auto& [fd, file] : Table()) {
            if (std::find(own.begin(), own.end(), file) != own.end())
                continue;
            std::lock_guard<std::mutex> fileGuard(file->mutex);
            FileInfo info;
            if (file->handle != INVALID_HANDLE_VALUE && FillInfo(file->handle, &info) &&
                info.id == target.id)
                own.push_back(file);
        }
        return own;
    }

    // Replaces the file this process holds as `held` (a sole-use open, which has DELETE access)
    // by the file `from`, where the system has no rename over an open file: the held file is
    // renamed aside through its own handle, which stays open and working (no moment in which
    // another program could open it), the new file takes the name, never replacing one, and the
    // aside name goes when the held file closes. Between the two renames the name is missing
    // for a moment: a program that opens the table then is told it is not there, and one that
    // puts a file there then keeps it (kNameChanged; the held file keeps its aside name until it
    // closes). When the new file cannot take the name, the held one gets it back.
    // The rename with POSIX semantics: 0 when made, -1 (errno set) when refused, 1 when this
    // system or file system does not have it (the caller falls back).
    static int TryRenamePosix(const std::string& from, const std::string& to) {
        if (RenamePosix(WideName(from), NtName(to)))
            return 0;
        const DWORD err = ::GetLastError();
        if (NotAvailableHere(err))
            return 1;
        errno = ErrnoFromSystemError(err);
        return -1;
    }

    int ReplaceAroundOwnHandle(OpenFile& held, const std::string& from, const std::string& to) {
        // The new file moves through a sole-use handle of ours when it has one (the engine's new
        // files are held so), by its name otherwise. (Wine goes on telling a handle the name its
        // file had before another handle renamed it, and the file's volume with it.)
        std::shared_ptr<OpenFile> mover;
        for (const auto& o : OwnOpenFiles(from)) {
            std::lock_guard<std::mutex> guard(o->mutex);
            if (o->soleUse && (o->access & DELETE) && o.get() != &held)
                mover = o;
        }
        std::lock_guard<std::mutex> guard(held.mutex);
        const std::string aside = to + ".rpl-" + RandomSuffix();
        if (!RenameHandle(held.handle, NtName(aside))) {
            const DWORD err = ::GetLastError();
            errno = err == ERROR_ACCESS_DENIED || err == ERROR_SHARING_VIOLATION
                        ? EBUSY
                        : ErrnoFromSystemError(err);
            return -1;
        }
        bool moved = false;
        if (mover) {
            std::lock_guard<std::mutex> moverGuard(mover->mutex);
            moved = RenameHandle(mover->handle, NtName(to));
        } else {
            moved = ::MoveFileExW(WideName(from).c_str(), WideName(to).c_str(),
                                  MOVEFILE_WRITE_THROUGH) != 0;
        }
        if (moved) {
            held.aside = WideName(aside);
            return 0;
        }
        const DWORD moveErr = ::GetLastError();
        if (!RenameHandle(held.handle, NtName(to))) {
            held.aside = WideName(aside);
            errno = kNameChanged;  // another program put a file under the name meanwhile
            return -1;
        }
        errno = moveErr == ERROR_ALREADY_EXISTS || moveErr == ERROR_FILE_EXISTS
                    ? kNameChanged
                    : ErrnoFromSystemError(moveErr);
        return -1;
    }

    // Far above the dBASE lock region and our shared-use byte.
    static constexpr uint64_t kWaitingLockStart = 0x7FFFFFFF00000000ull;

    static bool Conflicts(HANDLE h, LockKind kind, uint64_t a, uint64_t b) {
        if (LockHandle(h, kind, a, b - a, false)) {
            UnlockHandle(h, a, b - a);
            return false;
        }
        return true;
    }

    // Runs a read or write at an offset, which moves a synchronous handle's position, and puts
    // the position back (errno as the call left it).
    template <typename Call>
    static int64_t KeepingPosition(HANDLE h, Call call) {
        LARGE_INTEGER zero{}, position{};
        if (!::SetFilePointerEx(h, zero, &position, FILE_CURRENT))
            return SetErrnoFromLastError();
        const int64_t n = call();
        const int err = errno;
        ::SetFilePointerEx(h, position, nullptr, FILE_BEGIN);
        errno = err;
        return n;
    }
    static int64_t ReadHandle(HANDLE h, const uint64_t* offset, void* data, size_t size) {
        const DWORD ask = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
        DWORD got = 0;
        OVERLAPPED ov{};
        if (offset) {
            ov.Offset = static_cast<DWORD>(*offset);
            ov.OffsetHigh = static_cast<DWORD>(*offset >> 32);
        }
        if (::ReadFile(h, data, ask, &got, offset ? &ov : nullptr))
            return got;
        const DWORD err = ::GetLastError();
        if (err == ERROR_HANDLE_EOF || err == ERROR_BROKEN_PIPE)
            return 0;
        errno = ErrnoFromSystemError(err);
        return -1;
    }
    static int64_t WriteHandle(HANDLE h, const uint64_t* offset, const void* data, size_t size) {
        const DWORD ask = static_cast<DWORD>(size > (1u << 30) ? (1u << 30) : size);
        DWORD done = 0;
        OVERLAPPED ov{};
        if (offset) {
            ov.Offset = static_cast<DWORD>(*offset);
            ov.OffsetHigh = static_cast<DWORD>(*offset >> 32);
        }
        if (::WriteFile(h, data, ask, &done, offset ? &ov : nullptr))
            return done;
        return SetErrnoFromLastError();
    }
};

}  // namespace

namespace win32 {

FileHandle AdoptHandle(HANDLE handle) {
    auto file = std::make_shared<OpenFile>();
    file->handle = handle;
    file->access = GENERIC_READ;
    return Register(std::move(file));
}

HANDLE SystemHandle(FileHandle fd) {
    const auto file = Find(fd);
    if (!file)
        return INVALID_HANDLE_VALUE;
    std::lock_guard<std::mutex> guard(file->mutex);
    return file->handle;
}

}  // namespace win32

Env* Env::Platform() {
    static WindowsEnv env;
    return &env;
}

}  // namespace ari
