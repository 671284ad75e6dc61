// The engine through the Windows seam: a table with memos and a production index packed in a
// folder with a Persian name given with backslashes (the table's name in mixed case), every
// write, flush and rename of the pack failed in turn and the process ended before each of them
// (in a second process, table_helper.exe), and another program holding a record lock or the
// table open: the pack refuses and changes nothing. The index rebuild's replace of a production
// index likewise, failed and ended at each of its calls.
#include <gtest/gtest.h>
#include <windows.h>

#include <cerrno>
#include <map>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "engine/table/TableLock.h"
#include "platform/Env.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using ari::test::TempFolder;

namespace {

constexpr int kRecords = 40;

std::wstring Wide(const std::string& utf8) {
    const std::u16string u = ari::Utf16FromUtf8(utf8);
    return std::wstring(u.begin(), u.end());
}

std::string Name(int i) {
    return "name" + std::to_string((i * 7) % kRecords);
}
std::string MemoText(int i) {
    return "memo of record " + std::to_string(i) + std::string(static_cast<size_t>(i * 13), 'x');
}

void PutLE32(std::string& s, size_t at, uint32_t v) {
    for (int b = 0; b < 4; ++b)
        s[at + static_cast<size_t>(b)] = static_cast<char>((v >> (8 * b)) & 0xFF);
}

// MIXED.Dbf (dBASE III with memos, every third record deleted) with its memo file and a
// production index of two tags, in `folder`.
void MakeFixture(const std::string& folder) {
    std::string dbt(512, '\0');
    std::vector<ari::test::Row> rows;
    for (int i = 0; i < kRecords; ++i) {
        const uint32_t block = static_cast<uint32_t>(dbt.size() / 512);
        std::string memo = MemoText(i) + "\x1A\x1A";
        memo.resize((memo.size() + 511) / 512 * 512, '\0');
        dbt += memo;
        std::string pointer = std::to_string(block);
        pointer.insert(0, 10 - pointer.size(), ' ');
        rows.push_back({{Name(i), std::to_string(i), pointer}, i % 3 == 0});
    }
    PutLE32(dbt, 0, static_cast<uint32_t>(dbt.size() / 512));
    ari::test::WriteFileBytes(folder + "Mixed.Dbt", dbt);
    {
        DbfWriter w(folder + "MIXED.Dbf",
                    {{"NAME", 'C', 12, 0, 0}, {"QTY", 'N', 5, 0, 0}, {"NOTES", 'M', 10, 0, 0}},
                    0x83);
        for (const auto& r : rows)
            w.Append(r.values, r.deleted);
        w.Finish();
    }
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName("mixed.dbf");
    t.AddIndex("NAME", "NAME", ixExpression);
    t.AddIndex("QTY", "QTY", ixExpression);
}

void Pack(const std::string& folder) {
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName("mixed.DBF");
    t.SetExclusive(true);
    t.Open();
    Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
    t.Close();
}

// Every file of the folder and its bytes (through the seam: names are UTF-8).
std::map<std::string, std::string> Snapshot(const std::string& folder) {
    std::vector<std::string> names;
    EXPECT_EQ(ari::Env::Default()->ListFolder(folder, &names), 0);
    std::map<std::string, std::string> out;
    for (const auto& n : names)
        out[n] = ari::test::ReadFileBytes(folder + n);
    return out;
}

// The live records' names and memos, in table order.
std::vector<std::string> NamesAndMemos(const std::string& table) {
    const auto f = DbfFile::Open(table, ShareMode::Shared);
    std::vector<std::string> out;
    for (uint32_t r = 1; r <= f->RecordCount(); ++r) {
        const std::string rec = f->ReadRecord(r);
        if (rec[0] == '*')
            continue;
        const auto* bytes = reinterpret_cast<const uint8_t*>(rec.data());
        out.push_back(rec.substr(1, 12) + "|" + f->ReadMemoField(bytes, f->Fields()[2]));
    }
    return out;
}

std::vector<std::string> ExpectedAfterPack() {
    std::vector<std::string> out;
    for (int i = 0; i < kRecords; ++i) {
        if (i % 3 == 0)
            continue;
        std::string name = Name(i);
        name.resize(12, ' ');
        out.push_back(name + "|" + MemoText(i));
    }
    return out;
}

std::vector<std::string> AllRecords() {
    std::vector<std::string> out;
    for (int i = 0; i < kRecords; ++i) {
        if (i % 3 == 0)
            continue;  // deleted: left out by NamesAndMemos
        std::string name = Name(i);
        name.resize(12, ' ');
        out.push_back(name + "|" + MemoText(i));
    }
    return out;
}

// A second process: table_helper.exe with `args`. Returns its process handle.
HANDLE StartHelper(const std::string& args) {
    const std::string exe = ari::test::WindowsName(ARI_TESTS_DIR) + "\\table_helper.exe";
    std::wstring line = L"\"" + Wide(exe) + L"\" " + Wide(args);
    STARTUPINFOW si{};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi{};
    if (!::CreateProcessW(Wide(exe).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                          nullptr, &si, &pi))
        return nullptr;
    ::CloseHandle(pi.hThread);
    return pi.hProcess;
}

DWORD WaitForExit(HANDLE process) {
    DWORD code = 999;
    if (::WaitForSingleObject(process, 120000) == WAIT_OBJECT_0)
        ::GetExitCodeProcess(process, &code);
    ::CloseHandle(process);
    return code;
}

// One argument of a command line: backslashes before the closing quote doubled, as the C
// runtime reads them back.
std::string Quoted(const std::string& s) {
    size_t trailing = 0;
    while (trailing < s.size() && s[s.size() - 1 - trailing] == '\\')
        ++trailing;
    return "\"" + s + std::string(trailing, '\\') + "\"";
}

}  // namespace

TEST(WindowsPack, KeepsRecordsMemosAndIndexInAPersianFolderGivenWithBackslashes) {
    const TempFolder dir;
    const std::string folder = dir / "\xd8\xaf\xd8\xa7\xd8\xaf\xd9\x87\\";  // "داده\"
    ASSERT_TRUE(ari::MakeFolder(folder));
    MakeFixture(folder);
    ASSERT_EQ(NamesAndMemos(folder + "MIXED.Dbf"), AllRecords());
    Pack(folder);
    const std::string table = folder + "MIXED.Dbf";
    EXPECT_EQ(NamesAndMemos(table), ExpectedAfterPack());
    const auto f = DbfFile::Open(table, ShareMode::Shared);
    EXPECT_EQ(f->RecordCount(), static_cast<uint32_t>(kRecords - (kRecords + 2) / 3));
    EXPECT_EQ(ari::test::IndexFaults(table), "");
    for (const char* tag : {"NAME", "QTY"})
        EXPECT_EQ(ari::test::WalkTag(table, tag), ari::test::ModelOrder(table, tag)) << tag;
    // The pair keeps its names; nothing else is left behind.
    std::vector<std::string> names;
    ASSERT_EQ(ari::Env::Default()->ListFolder(folder, &names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"MIXED.Dbf", "MIXED.mdx", "Mixed.Dbt"}));
}

// The nightly rebuild of a table's production index: the table open for sole use, its index
// file removed while held, the tags added to a new one under the held table.
TEST(WindowsIndexRebuild, TheHeldTablesIndexIsRemovedAndBuiltAgain) {
    const TempFolder dir;
    const std::string folder = dir.Path();
    MakeFixture(folder);
    TTable t("Table1");
    t.SetDatabaseName(folder);
    t.SetTableName("MIXED.Dbf");
    t.SetExclusive(true);
    t.Open();
    ASSERT_TRUE(ari::RemoveFile(folder + "MIXED.mdx"));
    t.SetIndexHeaderBytes(0, 0);
    t.AddIndexes({{"QTY", "QTY", ixExpression, ""}, {"NAME", "NAME", ixExpression, ""}});
    t.Close();
    const std::string table = folder + "MIXED.Dbf";
    EXPECT_EQ(ari::test::IndexFaults(table), "");
    for (const char* tag : {"NAME", "QTY"})
        EXPECT_EQ(ari::test::WalkTag(table, tag), ari::test::ModelOrder(table, tag)) << tag;
    std::vector<std::string> names;
    ASSERT_EQ(ari::Env::Default()->ListFolder(folder, &names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"MIXED.Dbf", "MIXED.mdx", "Mixed.Dbt"}));
}

TEST(WindowsPack, EveryFailedWriteFlushOrRenameLeavesTheTableAsItWas) {
    const TempFolder dir;
    MakeFixture(dir.Path());
    int calls = 0;
    {
        ari::test::FailingEnv counting(ari::test::FailingEnv::kAny, 0);
        const ari::test::InstalledEnv installed(&counting);
        const TempFolder copy;
        MakeFixture(copy.Path());
        Pack(copy.Path());
        calls = counting.Count();
    }
    ASSERT_GT(calls, 3);
    for (int n = 1; n <= calls; ++n) {
        const TempFolder copy;
        MakeFixture(copy.Path());
        const auto before = Snapshot(copy.Path());
        ari::test::FailingEnv failing(ari::test::FailingEnv::kAny, n, ENOSPC);
        failing.ShortWrites();
        {
            const ari::test::InstalledEnv installed(&failing);
            EXPECT_THROW(Pack(copy.Path()), EDBEngineError) << "call " << n;
        }
        EXPECT_TRUE(failing.Failed());
        EXPECT_EQ(Snapshot(copy.Path()), before) << "call " << n << " of " << calls;
    }
}

TEST(WindowsPack, AProcessEndedBeforeAnyCallLeavesTheOldOrTheNewPairWhole) {
    int calls = 0;
    {
        const TempFolder copy;
        MakeFixture(copy.Path());
        ari::test::FailingEnv counting(ari::test::FailingEnv::kAny, 0);
        const ari::test::InstalledEnv installed(&counting);
        Pack(copy.Path());
        calls = counting.Count();
    }
    ASSERT_GT(calls, 3);
    int sawOld = 0, sawNew = 0;
    for (int n = 1; n <= calls; ++n) {
        const TempFolder copy;
        MakeFixture(copy.Path());
        const HANDLE helper =
            StartHelper("pack " + Quoted(copy.Path()) + " MIXED.DBF any " + std::to_string(n));
        ASSERT_TRUE(helper);
        ASSERT_EQ(WaitForExit(helper), 9u) << "call " << n;
        // The next sole use settles what the dead process left.
        { const auto held = DbfFile::Open(copy / "MIXED.Dbf", ShareMode::Exclusive); }
        const auto records = NamesAndMemos(copy / "MIXED.Dbf");
        EXPECT_EQ(records, ExpectedAfterPack()) << "call " << n;
        const auto f = DbfFile::Open(copy / "MIXED.Dbf", ShareMode::Shared);
        (f->RecordCount() == static_cast<uint32_t>(kRecords) ? sawOld : sawNew)++;
        EXPECT_EQ(ari::test::IndexFaults(copy / "MIXED.Dbf"), "") << "call " << n;
    }
    EXPECT_GT(sawOld, 0);
    EXPECT_GT(sawNew, 0);
}

TEST(WindowsPack, AnotherProgramsRecordLockOrOpenTableMakesThePackRefuseAndChangeNothing) {
    struct Case {
        const char* what;
        std::string args;  // after the table
        uint16_t status;
    } cases[] = {
        {"record 7 locked", std::to_string(0xEFFFFFFEull - 7), kStatusRecordsLocked},
        {"table open", "", kStatusTableInUse},
    };
    for (const auto& c : cases) {
        const TempFolder dir;
        MakeFixture(dir.Path());
        const auto before = Snapshot(dir.Path());
        const std::string ready = dir / "ready.flag", release = dir / "release.flag";
        const HANDLE helper = StartHelper(
            std::string(c.args.empty() ? "open " : "lock ") + Quoted(dir / "MIXED.Dbf") + " " +
            (c.args.empty() ? "" : c.args + " ") + Quoted(ready) + " " + Quoted(release));
        ASSERT_TRUE(helper);
        ASSERT_TRUE(ari::test::WaitUntil([&] { return ari::FileExists(ready); })) << c.what;
        ari::RemoveFile(ready);
        auto mid = Snapshot(dir.Path());
        try {
            Pack(dir.Path());
            ADD_FAILURE() << c.what << ": the pack went ahead";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(e.ErrorCode(), c.status) << c.what << ": " << e.what();
        }
        EXPECT_EQ(Snapshot(dir.Path()), before) << c.what;
        ari::test::WriteFileBytes(release, "");
        EXPECT_EQ(WaitForExit(helper), 0u) << c.what;
    }
}

// A person editing at a terminal while the table is packed again and again (in this process and
// by dbtool.exe): a client that opens the table sharing reading and writing, writes a record in
// place without a lock and closes it, every 200 ms. Every edit the client was told had landed
// is in the table afterwards, and the folder holds only the table's own files. The pack holds
// the table from its first open to the end of its replace, so an edit either lands before the
// pack reads the table or is refused its open; none can land in a file about to be replaced.
TEST(WindowsPack, AClientEditingAtAPersonsPaceLosesNoAcknowledgedWrite) {
    constexpr int kRows = 500;
    const TempFolder dir, side;
    const std::string folder = dir.Path();
    {
        DbfWriter w(folder + "EDITS.DBF", {{"ID", 'N', 6, 0, 0}, {"VAL", 'N', 6, 0, 0}}, 0x03);
        for (int i = 1; i <= kRows; ++i)
            w.Append({std::to_string(i), "0"}, false);
        w.Finish();
    }
    {
        TTable t("Table1");
        t.SetDatabaseName(folder);
        t.SetTableName("EDITS.DBF");
        t.AddIndex("ID", "ID", ixExpression);
    }
    int seconds = 60;
    if (const char* v = std::getenv("ARI_EDIT_SOAK_SECONDS"))
        seconds = std::max(5, std::atoi(v));
    const std::string acks = side / "acks.txt", stop = side / "stop.flag";
    const HANDLE client = StartHelper("edit " + Quoted(folder + "EDITS.DBF") + " 7 6 200 " +
                                      Quoted(acks) + " " + Quoted(stop));
    ASSERT_TRUE(client);
    // The client stops however this test ends (a client left running would hold the test's
    // output open).
    struct StopClient {
        std::string flag;
        ~StopClient() { ari::test::WriteFileBytes(flag, ""); }
    } stopClient{stop};
    const std::string dbtool = ari::test::WindowsName(ARI_BIN_DIR) + "\\dbtool.exe";
    // The runner's settings: a pack of the folder, nothing else.
    const std::string runner = ari::test::WindowsName(ARI_BIN_DIR) + "\\autoreindex-run.exe";
    const std::string settings = side / "settings.ini";
    ari::test::WriteFileBytes(settings,
                              "[Setting]\r\nBegin=00:00:00\r\nEnd=23:59:59\r\nDest=" + folder +
                                  "\r\nTransfer=0\r\nReindex=0\r\nPack=-1\r\n"
                                  "Automat=0\r\n");
    int packs = 0, refused = 0, toolPacks = 0, passes = 0;
    const DWORD until = ::GetTickCount() + static_cast<DWORD>(seconds) * 1000;
    for (int turn = 0; static_cast<LONG>(until - ::GetTickCount()) > 0; ++turn) {
        if (turn % 4 == 1 || turn % 4 == 3) {
            // A pass of autoreindex-run.exe (pack only) or dbtool.exe pack: 0 when packed; else
            // refused with its reason (the runner's 1, dbtool's 2), which must be the table in use.
            const bool pass = turn % 4 == 1;
            // A file of its own each turn: a program that has ended may hold its output a
            // moment longer under Wine.
            const std::string said = side / ("said" + std::to_string(turn) + ".txt");
            SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
            const HANDLE out =
                ::CreateFileW(Wide(said).c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
            ASSERT_NE(out, INVALID_HANDLE_VALUE) << ::GetLastError();
            const std::string exe = pass ? runner : dbtool;
            std::wstring line =
                L"\"" + Wide(exe) + L"\" " +
                Wide(pass ? "--now --ignore-sessions --settings " + Quoted(settings) +
                                " --journal " + Quoted(side.Path())
                          : "pack " + Quoted(folder + "EDITS.DBF"));
            STARTUPINFOW si{};
            si.cb = sizeof si;
            si.dwFlags = STARTF_USESTDHANDLES;
            si.hStdOutput = si.hStdError = out;
            PROCESS_INFORMATION pi{};
            const BOOL started =
                ::CreateProcessW(Wide(exe).c_str(), line.data(), nullptr, nullptr, TRUE,
                                 CREATE_NO_WINDOW, nullptr, nullptr, &si, &pi);
            ::CloseHandle(out);
            ASSERT_TRUE(started);
            ::CloseHandle(pi.hThread);
            const DWORD code = WaitForExit(pi.hProcess);
            const std::string text = ari::test::ReadFileBytes(said);
            const bool inUse = text.find("in use") != std::string::npos ||
                               text.find("locked") != std::string::npos ||
                               text.find("has the file open") != std::string::npos;
            ASSERT_TRUE(code == 0 || (code == (pass ? 1u : 2u) && inUse))
                << exe << " exit code " << code << ": " << text;
            (code == 0 ? (pass ? passes : toolPacks) : refused)++;
            continue;
        }
        try {
            TTable t("Table2");
            t.SetDatabaseName(folder);
            t.SetTableName("EDITS.DBF");
            t.SetExclusive(true);
            t.Open();
            Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
            t.Close();
            ++packs;
        } catch (const EDBEngineError& e) {
            ASSERT_TRUE(e.ErrorCode() == kStatusTableInUse || e.ErrorCode() == kStatusRecordsLocked)
                << e.what();
            ++refused;
        }
    }
    ari::test::WriteFileBytes(stop, "");
    ASSERT_EQ(WaitForExit(client), 0u);

    std::vector<int> acknowledged;
    {
        const std::string text = ari::test::ReadFileBytes(acks);
        size_t at = 0;
        for (size_t nl; (nl = text.find('\n', at)) != std::string::npos; at = nl + 1)
            acknowledged.push_back(std::atoi(text.substr(at, nl - at).c_str()));
    }
    const auto f = DbfFile::Open(folder + "EDITS.DBF", ShareMode::Shared);
    ASSERT_EQ(f->RecordCount(), static_cast<uint32_t>(kRows));
    int lost = 0;
    for (const int k : acknowledged) {
        const std::string rec = f->ReadRecord(static_cast<uint32_t>(k));
        if (std::atoi(rec.substr(7, 6).c_str()) != k)
            ++lost;
    }
    EXPECT_EQ(lost, 0) << "of " << acknowledged.size() << " acknowledged edits";
    EXPECT_GT(acknowledged.size(), static_cast<size_t>(seconds * 2)) << "the client got nowhere";
    EXPECT_GT(packs, seconds / 4);
    EXPECT_GT(toolPacks, 0);
    EXPECT_GT(passes, 0);
    std::printf(
        "%zu acknowledged edits, %d packs here, %d by dbtool.exe, %d passes of "
        "autoreindex-run.exe, %d refused\n",
        acknowledged.size(), packs, toolPacks, passes, refused);
    EXPECT_EQ(ari::test::IndexFaults(folder + "EDITS.DBF"), "");
    std::vector<std::string> names;
    ASSERT_EQ(ari::Env::Default()->ListFolder(folder, &names), 0);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"EDITS.DBF", "EDITS.mdx"}));
}

// A dBASE or Clipper program in exclusive mode opens the table letting others read it but not
// write it. The pack's open for writing is refused by the system (error 32); the refusal says
// so in the words the dry run uses for it, and nothing changes.
TEST(WindowsPack, AnOpenThatLetsNobodyWriteIsRefusedInWords) {
    const TempFolder dir;
    MakeFixture(dir.Path());
    const auto before = Snapshot(dir.Path());
    const std::string table = dir / "MIXED.Dbf";
    const HANDLE client = ::CreateFileW(Wide(table).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                        OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(client, INVALID_HANDLE_VALUE);
    const std::string words =
        "Another program has the file open and lets no other program write to it.";
    try {
        Pack(dir.Path());
        ADD_FAILURE() << "the pack went ahead";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kStatusTableInUse) << e.what();
        EXPECT_EQ(e.Kind(), ari::ErrorKind::InUse);
        EXPECT_NE(e.Message().find(words), std::string::npos) << e.Message();
        EXPECT_EQ(e.Message().find("could not be read"), std::string::npos) << e.Message();
    }
    const SoleUseProbe probe = ProbeSoleUse(table, {dir / "Mixed.Dbt", dir / "MIXED.mdx"});
    EXPECT_TRUE(probe.inUse);
    EXPECT_EQ(probe.who, words);
    ::CloseHandle(client);
    EXPECT_EQ(Snapshot(dir.Path()), before);
}

// A table, memo or index file with the read-only attribute is left as it is, attribute and
// bytes: the pack refuses before it writes anything, naming the file and the attribute.
TEST(WindowsPack, AReadOnlyTableMemoOrIndexIsRefusedAndKept) {
    for (const char* name : {"MIXED.Dbf", "Mixed.Dbt", "MIXED.mdx"}) {
        SCOPED_TRACE(name);
        const TempFolder dir;
        MakeFixture(dir.Path());
        const std::string file = dir / name;
        ASSERT_TRUE(::SetFileAttributesW(Wide(file).c_str(), FILE_ATTRIBUTE_READONLY));
        const auto before = Snapshot(dir.Path());
        try {
            Pack(dir.Path());
            ADD_FAILURE() << "the pack went ahead";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(e.Kind(), ari::ErrorKind::AccessDenied) << e.what();
            EXPECT_EQ(e.File(), file);
            EXPECT_NE(e.Message().find(file), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find("read-only"), std::string::npos) << e.Message();
        }
        EXPECT_EQ(Snapshot(dir.Path()), before);
        EXPECT_TRUE(::GetFileAttributesW(Wide(file).c_str()) & FILE_ATTRIBUTE_READONLY);
        ::SetFileAttributesW(Wide(file).c_str(), FILE_ATTRIBUTE_NORMAL);  // for the clean-up
    }
}

// Folders deeper than MAX_PATH: the table's own name from 240 to 300 characters, the temporary
// files and the names derived from them longer still, given with and without the "\\?\" prefix.
TEST(WindowsPack, ATableInAFolderLongerThanMaxPathIsPacked) {
    for (const size_t length : {240u, 259u, 283u, 300u}) {
        for (const bool prefixed : {false, true}) {
            SCOPED_TRACE(std::to_string(length) + (prefixed ? " with \\\\?\\" : ""));
            const TempFolder dir;
            // Made short, then moved into the deep folder through the seam.
            const TempFolder made;
            MakeFixture(made.Path());
            std::string folder = dir.Path();
            while (folder.size() + std::string("MIXED.Dbf").size() < length) {
                const size_t step =
                    std::min<size_t>(60, length - folder.size() - std::string("MIXED.Dbf").size());
                folder += std::string(step > 1 ? step - 1 : 1, 'd') + "\\";
                ASSERT_TRUE(ari::MakeFolder(folder)) << folder.size();
            }
            for (const char* name : {"MIXED.Dbf", "Mixed.Dbt", "MIXED.mdx"})
                ASSERT_EQ(ari::Env::Default()->Rename(made / name, folder + name), 0) << name;
            const std::string given = prefixed ? "\\\\?\\" + folder : folder;
            Pack(given);
            const std::string table = given + "MIXED.Dbf";
            EXPECT_EQ(NamesAndMemos(table), ExpectedAfterPack());
            EXPECT_EQ(ari::test::IndexFaults(table), "");
            std::vector<std::string> names;
            ASSERT_EQ(ari::Env::Default()->ListFolder(folder, &names), 0);
            std::sort(names.begin(), names.end());
            EXPECT_EQ(names, (std::vector<std::string>{"MIXED.Dbf", "MIXED.mdx", "Mixed.Dbt"}));
            for (const char* name : {"MIXED.Dbf", "Mixed.Dbt", "MIXED.mdx"})
                ari::RemoveFile(folder + name);
            // The folders go with the TempFolder only when they are short enough for it.
            while (folder.size() > dir.Path().size()) {
                ari::RemoveFolder(folder);
                folder = ari::ExtractFilePath(folder.substr(0, folder.size() - 1));
            }
        }
    }
}

// "Y:T.DBF" is the table in drive Y's current folder, as the system reads it, never "Y:\T.DBF".
TEST(WindowsPack, ADriveRelativeTableNameIsTheTableInThatDrivesCurrentFolder) {
    const TempFolder dir;
    MakeFixture(dir.Path());
    const std::string before = ari::CurrentFolder();
    ari::SetCurrentFolder(dir.Path());
    const std::string drive = dir.Path().substr(0, 2);  // "C:"
    TTable t("Table2");
    t.SetDatabaseName(drive);
    t.SetTableName("MIXED.DBF");
    t.SetExclusive(true);
    try {
        t.Open();
        Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
        t.Close();
    } catch (...) {
        ari::SetCurrentFolder(before);
        throw;
    }
    ari::SetCurrentFolder(before);
    EXPECT_EQ(NamesAndMemos(dir / "MIXED.Dbf"), ExpectedAfterPack());
    EXPECT_EQ(ari::test::IndexFaults(dir / "MIXED.Dbf"), "");
    EXPECT_FALSE(ari::FileExists(drive + "\\MIXED.DBF"));
}
namespace {

const std::vector<TTable::NewIndex> kReplacingTags = {{"QTY", "QTY", ixExpression, ""},
                                                      {"UNAME", "UPPER(NAME)", ixExpression, ""}};

// A new index of kReplacingTags in place of the fixture's, under `language`.
void ReplaceIndexes(const std::string& folder, uint8_t language) {
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName("MIXED.Dbf");
    t.SetExclusive(true);
    t.Open();
    t.ReplaceIndexes(kReplacingTags, language);
    t.Close();
}

std::pair<int, int> IndexHeaderBytes(const std::map<std::string, std::string>& files) {
    const std::string& table = files.at("MIXED.Dbf");
    return {static_cast<uint8_t>(table.at(28)), static_cast<uint8_t>(table.at(29))};
}

// The language drivers a replace is asked for: the fixture's own (0), and another one, which
// clears the flag before the rename and sets it after.
constexpr uint8_t kLanguages[] = {0, 0x57};

}  // namespace

TEST(WindowsIndexRebuild, EveryFailedCallKeepsTheOldIndexOrLeavesTheNewOneWhole) {
    for (const uint8_t language : kLanguages) {
        std::map<std::string, std::string> rebuilt;
        int calls = 0;
        {
            const TempFolder copy;
            MakeFixture(copy.Path());
            ari::test::FailingEnv counting(ari::test::FailingEnv::kAny, 0);
            const ari::test::InstalledEnv installed(&counting);
            ReplaceIndexes(copy.Path(), language);
            calls = counting.Count();
            rebuilt = Snapshot(copy.Path());
        }
        ASSERT_GT(calls, 3);
        for (int n = 1; n <= calls; ++n) {
            SCOPED_TRACE(testing::Message() << "language " << int{language} << ", call " << n);
            const TempFolder copy;
            MakeFixture(copy.Path());
            const auto before = Snapshot(copy.Path());
            ari::test::FailingEnv failing(ari::test::FailingEnv::kAny, n, ENOSPC);
            failing.ShortWrites();
            {
                const ari::test::InstalledEnv installed(&failing);
                EXPECT_THROW(ReplaceIndexes(copy.Path(), language), EDBEngineError);
            }
            EXPECT_TRUE(failing.Failed());
            const auto after = Snapshot(copy.Path());
            if (after.at("MIXED.mdx") == rebuilt.at("MIXED.mdx")) {
                // Failed at the header's flag, set last: the new index, nothing left beside it.
                EXPECT_EQ(after.size(), rebuilt.size());
                EXPECT_EQ(IndexHeaderBytes(after).second, language);
            } else {
                EXPECT_EQ(after, before);
            }
        }
    }
}

TEST(WindowsIndexRebuild, AProcessEndedAtAnyCallLeavesTheOldOrTheNewIndexWithItsHeader) {
    for (const uint8_t language : kLanguages) {
        std::map<std::string, std::string> rebuilt;
        int calls = 0;
        {
            const TempFolder copy;
            MakeFixture(copy.Path());
            ari::test::FailingEnv counting(ari::test::FailingEnv::kAny, 0);
            const ari::test::InstalledEnv installed(&counting);
            ReplaceIndexes(copy.Path(), language);
            calls = counting.Count();
            rebuilt = Snapshot(copy.Path());
        }
        ASSERT_GT(calls, 3);
        for (int n = 1; n <= calls; ++n) {
            SCOPED_TRACE(testing::Message() << "language " << int{language} << ", call " << n);
            const TempFolder copy;
            MakeFixture(copy.Path());
            const auto before = Snapshot(copy.Path());
            const HANDLE helper = StartHelper("replace " + Quoted(copy.Path()) + " MIXED.Dbf " +
                                              std::to_string(language) + " " + std::to_string(n));
            ASSERT_TRUE(helper);
            ASSERT_EQ(WaitForExit(helper), 9u);
            // The next sole use settles what the dead process left.
            { const auto held = DbfFile::Open(copy / "MIXED.Dbf", ShareMode::Exclusive); }
            const auto now = Snapshot(copy.Path());
            const auto header = IndexHeaderBytes(now);
            const std::string index = now.count("MIXED.mdx") ? now.at("MIXED.mdx") : "";
            const bool oldIndex = index == before.at("MIXED.mdx");
            const bool newIndex = index == rebuilt.at("MIXED.mdx");
            EXPECT_TRUE((oldIndex && header == IndexHeaderBytes(before)) ||
                        (header.first == 0 && (oldIndex || newIndex)) ||
                        (newIndex && header == std::make_pair(1, int{language})))
                << "flag " << header.first << ", language " << header.second;
            if (header.first != 0) {
                EXPECT_EQ(ari::test::IndexFaults(copy / "MIXED.Dbf"), "");
            }
            // The next replace ends as an undisturbed one does, with nothing left beside it.
            ReplaceIndexes(copy.Path(), language);
            EXPECT_EQ(Snapshot(copy.Path()), rebuilt);
        }
    }
}
