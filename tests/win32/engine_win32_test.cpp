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
