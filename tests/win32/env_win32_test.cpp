// The Windows implementation of the seam (platform/win32/): wide names (Persian, mixed case,
// backslashes and forward slashes), the sole-use open that lets nobody else in (the system's
// error 32 to any other opener), byte-range locks at the dBASE offsets as another handle sees
// them, the rename over a file another handle has open, the attributes a replacement carries,
// and a started program's output through a pipe.
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <cerrno>

#include "platform/Env.h"
#include "platform/Environment.h"
#include "platform/FileErrors.h"
#include "platform/Files.h"
#include "platform/ScopedFd.h"
#include "platform/Text.h"
#include "platform/win32/Win32.h"
#include "tests/support/TestFolders.h"

using ari::Env;
using ari::FileHandle;
using ari::ScopedFd;
using ari::test::TempFolder;

namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string u = ari::Utf16FromUtf8(utf8);
    return std::wstring(u.begin(), u.end());
}

FileHandle Create(const std::string& path, const std::string& bytes) {
    Env* env = Env::Default();
    const FileHandle fd = env->Open(path, ari::kOpenReadWrite | ari::kOpenCreate, 0644);
    EXPECT_GE(fd, 0) << path;
    EXPECT_EQ(env->Write(fd, bytes.data(), bytes.size()), static_cast<int64_t>(bytes.size()));
    return fd;
}

// What another program's plain open of `path` for reading and writing, sharing everything, gets:
// ERROR_SUCCESS or the system's error.
DWORD OtherProgramOpens(const std::string& path) {
    const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                   OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return ::GetLastError();
    ::CloseHandle(h);
    return ERROR_SUCCESS;
}

constexpr uint64_t kRecordLock = 0xEFFFFFFEull - 7;  // record 7 of a dBASE client

}  // namespace

TEST(WindowsNames, PersianMixedCaseAndBothSeparatorsReachOneFile) {
    const TempFolder dir;
    Env* env = Env::Default();
    const std::string folder = dir / "\xd9\xbe\xd9\x88\xd8\xb4\xd9\x87";  // "پوشه"
    ASSERT_EQ(env->MakeFolder(folder, 0755), 0);
    const std::string name = "\xd8\xac\xd8\xaf\xd9\x88\xd9\x84.DBF";  // "جدول.DBF"
    { const ScopedFd fd(Create(folder + "\\" + name, "abc")); }

    std::vector<std::string> names;
    ASSERT_EQ(env->ListFolder(folder, &names), 0);
    EXPECT_EQ(names, std::vector<std::string>{name});
    // Forward slashes and another letter case name the same file; the listing keeps the
    // stored spelling.
    std::string slashed = folder + "/" + name;
    slashed.replace(slashed.size() - 3, 3, "dbf");
    ari::FileInfo a, b;
    ASSERT_EQ(env->PathInfo(folder + "\\" + name, true, &a), 0);
    ASSERT_EQ(env->PathInfo(slashed, true, &b), 0);
    EXPECT_EQ(a.id, b.id);
    EXPECT_EQ(a.size, 3u);
    EXPECT_EQ(ari::FindFileNoCase(folder, "\xd8\xac\xd8\xaf\xd9\x88\xd9\x84.dbf"), name);
    EXPECT_EQ(ari::ListFiles(folder + "\\", "*.dbf"), std::vector<std::string>{name});

    struct Case {
        std::string path, folder, file;
    } cases[] = {
        {"Z:\\data\\T.DBF", "Z:\\data\\", "T.DBF"},
        {"Z:/data/T.DBF", "Z:/data/", "T.DBF"},
        {"Z:\\data/sub\\T.DBF", "Z:\\data/sub\\", "T.DBF"},
        {"C:T.DBF", "C:", "T.DBF"},
        {"T.DBF", "", "T.DBF"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ari::ExtractFilePath(c.path), c.folder) << c.path;
        EXPECT_EQ(ari::ExtractFileName(c.path), c.file) << c.path;
    }
    EXPECT_TRUE(ari::IsAbsolutePath("Z:\\data"));
    EXPECT_TRUE(ari::IsAbsolutePath("\\\\server\\share\\t.dbf"));
    EXPECT_FALSE(ari::IsAbsolutePath("data\\t.dbf"));
}

TEST(WindowsSoleUse, TheSoleUseOpenIsRefusedWhileAnotherIsOpenAndThenKeepsEveryoneOut) {
    const TempFolder dir;
    Env* env = Env::Default();
    const std::string path = dir / "T.DBF";
    const ScopedFd held(Create(path, "0123456789"));
    ASSERT_EQ(env->LockRange(held.Get(), ari::LockKind::Write, 0, 0), 0);
    {
        // Another open of the file: no sole use.
        const ScopedFd other(env->Open(path, ari::kOpenRead));
        ASSERT_GE(other.Get(), 0);
        EXPECT_EQ(env->TakeLease(held.Get()), -1);
        EXPECT_TRUE(errno == EBUSY || errno == EAGAIN) << errno;
        EXPECT_FALSE(env->LeaseIntact(held.Get()));
    }
    const FileHandle dup = env->Duplicate(held.Get());
    ASSERT_EQ(env->TakeLease(held.Get()), 0);
    EXPECT_TRUE(env->LeaseIntact(held.Get()));
    // Nobody gets in now, not even this process by another open: error 32.
    EXPECT_EQ(OtherProgramOpens(path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(env->Open(path, ari::kOpenRead), ari::kNoFile);
    EXPECT_EQ(errno, EAGAIN);
    // The held handle and its duplicate go on working, the position and the lock kept; the
    // name can still be looked at.
    char buf[4] = {};
    ASSERT_EQ(env->Seek(dup, 2), 0);
    EXPECT_EQ(env->Read(held.Get(), buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "234");
    ari::FileInfo info;
    EXPECT_EQ(env->PathInfo(path, true, &info), 0);
    // Giving the proof back keeps the open as it is: nobody gets in until it is closed (a
    // moment between closing and opening again would let a client in unseen).
    env->DropLease(held.Get());
    EXPECT_TRUE(env->LeaseIntact(held.Get()));
    EXPECT_EQ(OtherProgramOpens(path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(env->Close(dup), 0);
}

// The open of a table's maintenance step is sole use from the start: refused while anybody
// else has the file open (EBUSY), and then nobody gets in until it is closed.
TEST(WindowsSoleUse, ASoleUseOpenIsRefusedWhileAnotherIsOpenAndKeepsEveryoneOutUntilClosed) {
    const TempFolder dir;
    Env* env = Env::Default();
    const std::string path = dir / "T.DBF";
    { const ScopedFd made(Create(path, "0123456789")); }
    {
        const ScopedFd other(env->Open(path, ari::kOpenRead));
        ASSERT_GE(other.Get(), 0);
        EXPECT_EQ(env->Open(path, ari::kOpenReadWrite | ari::kOpenSoleUse), ari::kNoFile);
        EXPECT_EQ(errno, EBUSY);
    }
    {
        const ScopedFd held(env->Open(path, ari::kOpenReadWrite | ari::kOpenSoleUse));
        ASSERT_GE(held.Get(), 0);
        EXPECT_EQ(env->TakeLease(held.Get()), 0);
        EXPECT_TRUE(env->LeaseIntact(held.Get()));
        EXPECT_EQ(OtherProgramOpens(path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        env->DropLease(held.Get());
        EXPECT_EQ(OtherProgramOpens(path), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        char buf[4] = {};
        EXPECT_EQ(env->ReadAt(held.Get(), 6, buf, 4), 4);
        EXPECT_EQ(std::string(buf, 4), "6789");
    }
    EXPECT_EQ(OtherProgramOpens(path), static_cast<DWORD>(ERROR_SUCCESS));
}

// A file held for sole use whose name is removed: the name is free at once, as on Linux, while
// the held handles go on working and keep everyone else out; the file goes, with the name it
// was given aside, at the last close.
TEST(WindowsSoleUse, AFileRemovedWhileHeldStaysOursAndGoesAtItsLastClose) {
    const TempFolder dir;
    Env* env = Env::Default();
    const std::string path = dir / "T.MDX";
    { const ScopedFd made(Create(path, "0123456789")); }
    const FileHandle held = env->Open(path, ari::kOpenReadWrite | ari::kOpenSoleUse);
    ASSERT_GE(held, 0);
    ASSERT_EQ(env->LockRange(held, ari::LockKind::Write, 0, 0), 0);
    ASSERT_EQ(env->Seek(held, 4), 0);
    const FileHandle dup = env->Duplicate(held);
    ASSERT_EQ(env->Remove(path), 0);
    EXPECT_EQ(ari::KindOfName(path), ari::NameKind::Missing);
    const ScopedFd again(Create(path, "new"));
    ASSERT_GE(again.Get(), 0);
    ASSERT_EQ(env->TakeLease(held), 0);
    EXPECT_TRUE(env->LeaseIntact(dup));
    ari::FileInfo info;
    ASSERT_EQ(env->Info(held, &info), 0);
    EXPECT_EQ(info.size, 10u);
    EXPECT_TRUE(env->FindOtherOpeners({{info.id, held}}).empty());
    char buf[3] = {};
    EXPECT_EQ(env->Read(dup, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "456");
    // The new file under the name is another file: nothing of the held one's lock is there.
    const ScopedFd probe(env->Open(path, ari::kOpenRead));
    ari::LockHolder holder;
    EXPECT_FALSE(env->FindLock(probe.Get(), ari::LockKind::Write, 0, 0, &holder));
    // Only the new file keeps a name once the last handle on the old one is closed.
    std::vector<std::string> names;
    EXPECT_EQ(env->Close(held), 0);
    ASSERT_EQ(env->ListFolder(dir.Path(), &names), 0);
    EXPECT_EQ(names.size(), 2u);  // the new file and the old one's name aside until then
    EXPECT_EQ(env->Close(dup), 0);
    ASSERT_EQ(env->ListFolder(dir.Path(), &names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"T.MDX"});
}

TEST(WindowsLocks, AnotherHandleSeesTheKindAndFirstByteOfALockButNotItsOwn) {
    const TempFolder dir;
    Env* env = Env::Default();
    const std::string path = dir / "T.DBF";
    const ScopedFd client(Create(path, "x"));
    const ScopedFd us(env->Open(path, ari::kOpenReadWrite));
    struct Case {
        ari::LockKind kind;
        uint64_t start, length;
    } cases[] = {
        {ari::LockKind::Write, kRecordLock, 1},
        {ari::LockKind::Read, 0xF0000000ull, 1},
        {ari::LockKind::Write, 0xEFFFFFFEull, 2},
    };
    for (const auto& c : cases) {
        ASSERT_EQ(env->LockRange(client.Get(), c.kind, c.start, c.length), 0);
        ari::LockHolder holder;
        ASSERT_TRUE(env->FindLock(us.Get(), ari::LockKind::Write, 0, 0, &holder));
        EXPECT_EQ(holder.start, c.start);
        EXPECT_EQ(holder.kind, c.kind);
        // The holder itself sees nothing in its own way; a read lock lets readers in.
        EXPECT_FALSE(env->FindLock(client.Get(), ari::LockKind::Write, 0, 0, nullptr));
        EXPECT_EQ(env->FindLock(us.Get(), ari::LockKind::Read, c.start, 1, nullptr),
                  c.kind == ari::LockKind::Write);
        EXPECT_EQ(env->LockRange(us.Get(), ari::LockKind::Write, c.start, 1), -1);
        EXPECT_EQ(errno, EAGAIN);
        ASSERT_EQ(env->UnlockRange(client.Get(), c.start, c.length), 0);
        EXPECT_FALSE(env->FindLock(us.Get(), ari::LockKind::Write, 0, 0, nullptr));
    }
}

TEST(WindowsReplace, ARenameReplacesAFileAnotherHandleHasOpenAndCarriesItsAttributes) {
    const TempFolder dir;
    Env* env = Env::Default();
    const std::string path = dir / "T.DBF";
    const ScopedFd old(Create(path, "old"));
    ASSERT_TRUE(
        ::SetFileAttributesW(Wide(path).c_str(), FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_ARCHIVE));
    std::string made;
    const ScopedFd fresh(env->CreateUniqueFile(dir / "T.DBF.new-", &made));
    ASSERT_GE(fresh.Get(), 0);
    ASSERT_EQ(env->Write(fresh.Get(), "new!", 4), 4);
    env->CarryAttributes(path, fresh.Get());
    ASSERT_EQ(env->Sync(fresh.Get()), 0);
    ASSERT_EQ(env->Rename(made, path), 0) << errno;
    EXPECT_EQ(ari::test::ReadFileBytes(path), "new!");
    const DWORD attributes = ::GetFileAttributesW(Wide(path).c_str());
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_HIDDEN);
    EXPECT_TRUE(attributes & FILE_ATTRIBUTE_ARCHIVE);
    // The old file lives on for its handle.
    char buf[3];
    EXPECT_EQ(env->ReadAt(old.Get(), 0, buf, 3), 3);
    EXPECT_EQ(std::string(buf, 3), "old");
    EXPECT_FALSE(ari::FileExists(made));
}

TEST(WindowsPrograms, AStartedProgramsOutputComesThroughThePipe) {
    const std::string helper = ari::test::WindowsName(ARI_TESTS_DIR) + "\\table_helper.exe";
    auto output = ari::DefaultEnvironment().starter->StartReadingOutput(
        helper, "echo \xd8\xb3\xd9\x84\xd8\xa7\xd9\x85");
    ASSERT_TRUE(output);
    ASSERT_TRUE(ari::test::WaitUntil([&] { return output->Ended(); }));
    const auto text = output->Take();
    ASSERT_TRUE(text.has_value());
    std::string lines = *text;  // the C runtime's text mode writes CR LF
    std::erase(lines, '\r');
    EXPECT_EQ(lines, "\xd8\xb3\xd9\x84\xd8\xa7\xd9\x85\n");
    EXPECT_FALSE(ari::DefaultEnvironment().starter->StartReadingOutput("no-such-program", ""));
}

// Every name that enters the program becomes the one the system would use: a drive-relative
// name is the file in that drive's current folder, a name longer than a folder's limit gets the
// "\\?\" prefix (the UNC form for a server's share; no server answers here, the names are only
// made), and a prefixed name is taken as it is.
TEST(WindowsNames, EveryFormOfANameBecomesTheSystemsFullName) {
    const TempFolder dir;
    const std::string before = ari::CurrentFolder();
    ari::SetCurrentFolder(dir.Path());
    const std::string here = dir.Path().substr(0, dir.Path().size() - 1);  // no trailing '\'
    const std::string drive = here.substr(0, 2);
    const std::string deep = std::string(300, 'd');
    const std::string unc = "\\\\server\\share\\" + deep + "\\T.DBF";
    struct Case {
        std::string given;
        std::string wanted;
    } cases[] = {
        {drive + "T.DBF", here + "\\T.DBF"},
        {"T.DBF", here + "\\T.DBF"},
        {"sub/../T.DBF", here + "\\T.DBF"},
        {here + "\\T.DBF", here + "\\T.DBF"},  // short and full: as it is
        {"\\\\server\\share\\T.DBF", "\\\\server\\share\\T.DBF"},
        {unc, "\\\\?\\UNC\\server\\share\\" + deep + "\\T.DBF"},
        {"//server/share/" + deep + "/T.DBF", "\\\\?\\UNC\\server\\share\\" + deep + "\\T.DBF"},
        {here + "\\" + deep + "\\T.DBF", "\\\\?\\" + here + "\\" + deep + "\\T.DBF"},
        {here + "/x/../" + deep + "/T.DBF", "\\\\?\\" + here + "\\" + deep + "\\T.DBF"},
        {deep + "\\T.DBF", "\\\\?\\" + here + "\\" + deep + "\\T.DBF"},
        {drive + deep + "\\T.DBF", "\\\\?\\" + here + "\\" + deep + "\\T.DBF"},
        {"\\\\?\\" + here + "\\T.DBF", "\\\\?\\" + here + "\\T.DBF"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ari::win32::WideName(c.given), Wide(c.wanted)) << c.given;
    // The folder helpers read a drive-relative name as the system does.
    EXPECT_EQ(ari::AbsolutePath(drive + "T.DBF"), here + "\\T.DBF");
    EXPECT_EQ(ari::WithTrailingSeparator(drive), drive);
    EXPECT_FALSE(ari::IsAbsolutePath(drive + "T.DBF"));
    EXPECT_TRUE(ari::IsAbsolutePath("\\\\server\\share\\T.DBF"));
    // A file made through the drive-relative name is in the current folder, and the listing of
    // "Y:" is that folder's.
    { const ScopedFd fd(Create(drive + "T.DBF", "abc")); }
    EXPECT_TRUE(ari::FileExists(dir / "T.DBF"));
    std::vector<std::string> names;
    ASSERT_EQ(Env::Default()->ListFolder(drive, &names), 0);
    EXPECT_EQ(names, std::vector<std::string>{"T.DBF"});
    ari::SetCurrentFolder(before);
}

// A name of up to the system's 32,767 characters works through every call of the seam; one
// longer still is refused as a name, never as a file in use.
TEST(WindowsNames, NamesFarBeyondMaxPathWorkAndTooLongIsABadName) {
    const TempFolder dir;
    Env* env = Env::Default();
    std::string folder = dir.Path();
    while (folder.size() < 1000) {
        folder += std::string(200, 'f') + "\\";
        ASSERT_EQ(env->MakeFolder(folder, 0755), 0) << folder.size();
    }
    const std::string file = folder + "T.DBF";
    { const ScopedFd fd(Create(file, "abc")); }
    ari::FileInfo info;
    EXPECT_EQ(env->PathInfo(file, true, &info), 0);
    EXPECT_EQ(info.size, 3u);
    EXPECT_EQ(env->Rename(file, folder + "U.DBF"), 0);
    // The system's own name for it, as long as it is (its buffer grows to fit).
    const std::string resolved = env->ResolveLinks(folder + "U.DBF");
    EXPECT_GT(resolved.size(), 1000u) << "errno " << errno;
    EXPECT_TRUE(ari::EqualsNoCase(ari::ExtractFileName(resolved), "U.DBF")) << resolved;
    EXPECT_EQ(env->Remove(folder + "U.DBF"), 0);

    const std::string tooLong = folder + std::string(33000, 'x');
    errno = 0;
    EXPECT_LT(env->Open(tooLong, ari::kOpenReadWrite | ari::kOpenCreate, 0644), 0);
    const EInOutError e = ari::InOutErrorFromErrno(errno);
    EXPECT_NE(e.Kind(), ari::ErrorKind::InUse) << e.Message();
    EXPECT_EQ(e.ErrorCode(), ari::kInvalidFileName) << e.Message();
    while (folder.size() > dir.Path().size()) {
        ari::RemoveFolder(folder);
        folder = ari::ExtractFilePath(folder.substr(0, folder.size() - 1));
    }
}

// The system's own codes: the network's failures say what happened, an unmapped code keeps
// "I/O error 1005" and adds the code with the system's text, trimmed of its line end and full
// stop.
TEST(WindowsErrors, SystemCodesBecomeTheOperatorsWords) {
    struct Case {
        DWORD code;
        const char* message;
    } cases[] = {
        {ERROR_NETNAME_DELETED, "The connection to the file server was lost (Windows error 64)"},
        {ERROR_SEM_TIMEOUT, "The file server did not answer in time (Windows error 121)"},
        {ERROR_UNEXP_NET_ERR, "An unexpected network error occurred (Windows error 59)"},
        {ERROR_BAD_NETPATH,
         "The network path was not found (the file server is not reachable) (Windows error 53)"},
        {ERROR_BAD_NET_NAME, "The network share was not found (Windows error 67)"},
        {ERROR_DEV_NOT_EXIST, "The network share is no longer available (Windows error 55)"},
        {ERROR_NETWORK_UNREACHABLE,
         "The network of the file server cannot be reached (Windows error 1231)"},
        // The messages that were there before stay as they were.
        {ERROR_SHARING_VIOLATION, "I/O error 32"},
        {ERROR_FILE_NOT_FOUND, "The specified file was not found"},
        {ERROR_ACCESS_DENIED, "File access denied"},
        {ERROR_DISK_FULL, "Disk full"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ari::InOutErrorFromErrno(ari::win32::ErrnoFromSystemError(c.code)).Message(),
                  c.message)
            << c.code;

    const std::string text = ari::SystemErrorText(ERROR_CRC);
    ASSERT_FALSE(text.empty()) << "the system has no text for its error 23";
    EXPECT_NE(text.back(), '.');
    EXPECT_EQ(text.find_first_of("\r\n"), std::string::npos) << text;
    const EInOutError e = ari::InOutErrorFromErrno(ari::win32::ErrnoFromSystemError(ERROR_CRC));
    EXPECT_EQ(e.ErrorCode(), 1005);
    EXPECT_EQ(e.Message(), "I/O error 1005 (Windows error 23: " + text + ")");
}

// A new file held for sole use, renamed over the held table through another handle (the
// replace), goes on working through its own handle when its lease is dropped and taken again:
// the handle is opened anew through the name the file has now (Wine keeps telling it the old
// one), never left closed to fail every later call with "I/O error 1009" (EBADF).
TEST(WindowsSoleUse, AFileRenamedOverAHeldOneKeepsWorkingThroughItsLeaseChanges) {
    for (const size_t length : {60u, 300u}) {
        SCOPED_TRACE(length);
        const TempFolder dir;
        Env* env = Env::Default();
        // Steps of at most 150 characters (a step of a name has at most 255).
        std::string folder = dir.Path();
        for (size_t made = 0; made < length; made += 150) {
            folder += std::string(std::min<size_t>(150, length - made), 'f') + "\\";
            ASSERT_EQ(env->MakeFolder(folder, 0755), 0);
        }
        const std::string table = folder + "T.DBF", fresh = folder + ".T.DBF.pack.tmp";
        const FileHandle old = Create(table, "old");
        const FileHandle made = Create(fresh, "new");
        ASSERT_EQ(env->TakeLease(old), 0);
        ASSERT_EQ(env->TakeLease(made), 0);
        ASSERT_EQ(env->Rename(fresh, table), 0);
        env->DropLease(made);
        ari::FileInfo info;
        ASSERT_EQ(env->Info(made, &info), 0) << "errno " << errno;
        EXPECT_EQ(info.size, 3u);
        ari::FileInfo named;
        ASSERT_EQ(env->PathInfo(table, true, &named), 0);
        EXPECT_EQ(named.id.node, info.id.node);
        EXPECT_EQ(env->TakeLease(made), 0) << "errno " << errno;
        EXPECT_TRUE(env->LeaseIntact(made));
        char bytes[3] = {};
        EXPECT_EQ(env->ReadAt(made, 0, bytes, 3), 3);
        EXPECT_EQ(std::string(bytes, 3), "new");
        EXPECT_EQ(OtherProgramOpens(table), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        env->Close(made);
        env->Close(old);
        EXPECT_EQ(OtherProgramOpens(table), static_cast<DWORD>(ERROR_SUCCESS));
        std::vector<std::string> names;
        ASSERT_EQ(env->ListFolder(folder, &names), 0);
        EXPECT_EQ(names, std::vector<std::string>{"T.DBF"});
        env->Remove(table);
        while (folder.size() > dir.Path().size()) {
            ari::RemoveFolder(folder);
            folder = ari::ExtractFilePath(folder.substr(0, folder.size() - 1));
        }
    }
}
