// The second process of the Windows two-process tests, in the part it plays:
//   table_helper lock TABLE OFFSET READY RELEASE  a dBASE client: the table open for reading and
//                                                 writing (shared as such a client shares it) and
//                                                 one byte locked at OFFSET
//   table_helper open TABLE READY RELEASE         the same client holding the table open only
//   table_helper pack FOLDER TABLE KIND N         packs TABLE with the Nth write, flush or
//                                                 rename (KIND any/write/fsync/rename) ending the
//                                                 process (exit code 9), as a crash would
//   table_helper replace FOLDER TABLE LANGUAGE N  gives TABLE a new index of two tags under the
//                                                 language driver LANGUAGE (TTable::ReplaceIndexes)
//                                                 with the Nth write, flush or rename ending the
//                                                 process (exit code 9)
//   table_helper echo TEXT                        prints TEXT (a program whose output is read)
//   table_helper edit TABLE FIELD WIDTH MS ACKS STOP
//                                                 a person at a terminal: every MS milliseconds
//                                                 opens the table as a dBASE client shares it,
//                                                 writes the number k into FIELD (its offset in
//                                                 the record, WIDTH digits) of record k without a
//                                                 lock, closes it, and only then appends k to
//                                                 the file ACKS (the writes it was told landed);
//                                                 an open that is refused is tried again at the
//                                                 next turn; ends when STOP appears
// READY is a file made once the table is held; the helper lets go when RELEASE appears (or after
// a minute). Exit code 0 when done, 2 when the table could not be opened or locked.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "engine/TTable.h"
#include "platform/Text.h"
#include "tests/support/FailingEnv.h"

namespace {

std::wstring Wide(const std::string& utf8) {
    const std::u16string u = ari::Utf16FromUtf8(utf8);
    return std::wstring(u.begin(), u.end());
}

bool Exists(const std::string& path) {
    return ::GetFileAttributesW(Wide(path).c_str()) != INVALID_FILE_ATTRIBUTES;
}

void Touch(const std::string& path) {
    const HANDLE h = ::CreateFileW(Wide(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h != INVALID_HANDLE_VALUE)
        ::CloseHandle(h);
}

int Hold(const std::string& table, const std::string* offset, const std::string& ready,
         const std::string& release) {
    const HANDLE h = ::CreateFileW(Wide(table).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "open failed: %lu\n", ::GetLastError());
        return 2;
    }
    if (offset) {
        const unsigned long long at = std::strtoull(offset->c_str(), nullptr, 0);
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(at);
        ov.OffsetHigh = static_cast<DWORD>(at >> 32);
        if (!::LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &ov)) {
            std::fprintf(stderr, "lock failed: %lu\n", ::GetLastError());
            return 2;
        }
    }
    Touch(ready);
    for (int i = 0; i < 6000 && !Exists(release); ++i)
        ::Sleep(10);
    ::CloseHandle(h);
    return 0;
}

int Pack(const std::string& folder, const std::string& table, const std::string& kind, int n) {
    using ari::test::FailingEnv;
    const FailingEnv::Kind k = kind == "write"    ? FailingEnv::kWrite
                               : kind == "fsync"  ? FailingEnv::kFsync
                               : kind == "rename" ? FailingEnv::kRename
                                                  : FailingEnv::kAny;
    FailingEnv env(k, n, EIO, FailingEnv::kDieBefore);
    const ari::test::InstalledEnv installed(&env);
    try {
        TTable t("Table2");
        t.SetDatabaseName(folder);
        t.SetTableName(table);
        t.SetExclusive(true);
        t.Open();
        Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
        t.Close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
    std::printf("%d\n", env.Count());
    return 0;
}

// One acknowledged edit: the table opened as a client shares it, the number written into the
// record in place, the table closed, each step told to have succeeded.
bool EditOnce(const std::string& table, unsigned field, unsigned width, unsigned k) {
    const HANDLE h = ::CreateFileW(Wide(table).c_str(), GENERIC_READ | GENERIC_WRITE,
                                   FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return false;  // in use (or missing for a moment): not acknowledged
    unsigned char header[12] = {};
    DWORD got = 0;
    bool ok = ::ReadFile(h, header, sizeof header, &got, nullptr) && got == sizeof header;
    const uint32_t count =
        header[4] | header[5] << 8 | header[6] << 16 | static_cast<uint32_t>(header[7]) << 24;
    const unsigned headerLength = header[8] | header[9] << 8;
    const unsigned recordLength = header[10] | header[11] << 8;
    ok = ok && k <= count;
    if (ok) {
        std::string digits = std::to_string(k);
        digits.insert(0, width - digits.size(), ' ');
        const uint64_t at = headerLength + static_cast<uint64_t>(k - 1) * recordLength + field;
        OVERLAPPED ov{};
        ov.Offset = static_cast<DWORD>(at);
        ov.OffsetHigh = static_cast<DWORD>(at >> 32);
        DWORD put = 0;
        ok = ::WriteFile(h, digits.data(), width, &put, &ov) && put == width;
    }
    return ::CloseHandle(h) && ok;
}

int Edit(const std::string& table, unsigned field, unsigned width, unsigned ms,
         const std::string& acks, const std::string& stop) {
    const HANDLE log = ::CreateFileW(Wide(acks).c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                     CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (log == INVALID_HANDLE_VALUE)
        return 2;
    unsigned k = 1;
    while (!Exists(stop)) {
        ::Sleep(ms);
        if (!EditOnce(table, field, width, k))
            continue;
        const std::string line = std::to_string(k) + "\n";
        DWORD put = 0;
        ::WriteFile(log, line.data(), static_cast<DWORD>(line.size()), &put, nullptr);
        ::FlushFileBuffers(log);
        ++k;
    }
    ::CloseHandle(log);
    return 0;
}

int Replace(const std::string& folder, const std::string& table, int language, int n) {
    using ari::test::FailingEnv;
    FailingEnv env(FailingEnv::kAny, n, EIO, FailingEnv::kDieBefore);
    const ari::test::InstalledEnv installed(&env);
    try {
        TTable t("Table2");
        t.SetDatabaseName(folder);
        t.SetTableName(table);
        t.SetExclusive(true);
        t.Open();
        t.ReplaceIndexes(
            {{"QTY", "QTY", ixExpression, ""}, {"UNAME", "UPPER(NAME)", ixExpression, ""}},
            static_cast<uint8_t>(language));
        t.Close();
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 3;
    }
    std::printf("%d\n", env.Count());
    return 0;
}

}  // namespace

int main() {
    // The arguments as UTF-8 (the narrow ones would be the ANSI code page's).
    int argc = 0;
    wchar_t** wargv = ::CommandLineToArgvW(::GetCommandLineW(), &argc);
    std::vector<std::string> a;
    for (int i = 0; i < argc; ++i) {
        const std::wstring w = wargv[i];
        a.push_back(ari::Utf8FromUtf16(std::u16string(w.begin(), w.end())));
    }
    if (a.size() == 6 && a[1] == "lock")
        return Hold(a[2], &a[3], a[4], a[5]);
    if (a.size() == 5 && a[1] == "open")
        return Hold(a[2], nullptr, a[3], a[4]);
    if (a.size() == 6 && a[1] == "pack")
        return Pack(a[2], a[3], a[4], std::atoi(a[5].c_str()));
    if (a.size() == 8 && a[1] == "edit")
        return Edit(a[2], static_cast<unsigned>(std::atoi(a[3].c_str())),
                    static_cast<unsigned>(std::atoi(a[4].c_str())),
                    static_cast<unsigned>(std::atoi(a[5].c_str())), a[6], a[7]);
    if (a.size() == 6 && a[1] == "replace")
        return Replace(a[2], a[3], std::atoi(a[4].c_str()), std::atoi(a[5].c_str()));
    if (a.size() == 3 && a[1] == "echo") {
        std::printf("%s\n", a[2].c_str());
        return 0;
    }
    std::fprintf(stderr, "usage: table_helper lock|open|pack|echo|edit|replace ...\n");
    return 1;
}
