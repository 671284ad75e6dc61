// The file steps of the maintenance run: the run marker, the header byte patch and the hold the
// index steps take of a live table, index file names found whatever their case, and the index
// transfer's copy.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>

#include "engine/TTable.h"
#include "maintenance/IndexFiles.h"
#include "maintenance/IndexRebuild.h"
#include "maintenance/IndexTransfer.h"
#include "platform/FileAccess.h"
#include "platform/Files.h"
#include "platform/RunMarker.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/FileAttributes.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::ForeignLock;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

using ari::test::FileNamesIn;

// ---- run marker

TEST(RunMarker, EmptyWhileOpenLineWrittenOnClose) {
    TempFolder dir;
    const std::string path = dir / "reindexing";
    WriteFileBytes(path, "stale content from an interrupted run");
    ari::RunMarker marker;
    marker.Create(path);
    ASSERT_TRUE(marker.IsOpen());
    EXPECT_TRUE(ari::FileExists(path));
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    // Other programs that honour the lock see it held.
    EXPECT_TRUE(ari::FileLockedByOthers(path));
    marker.Close();
    EXPECT_EQ(ReadFileBytes(path), std::string("please wait..\r\n"));
    EXPECT_FALSE(ari::FileLockedByOthers(path));
    marker.Close();  // closing twice does nothing
    EXPECT_EQ(ReadFileBytes(path).size(), 15u);
}

TEST(RunMarker, CreationFailuresAreFileErrors) {
    struct Case {
        const char* what;
        int code;
        const char* message;
    };
    const Case cases[] = {
        {"folder of that name", 5, "File access denied"},
        {"held by another program", 32, "I/O error 32"},
        {"folder missing", 2, "The specified file was not found"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder dir;
        std::string path = dir / "reindexing";
        std::unique_ptr<ForeignLock> holder;
        if (c.code == 5)
            std::filesystem::create_directory(path);
        if (c.code == 32) {
            WriteFileBytes(path, "kept");
            holder = std::make_unique<ForeignLock>(path, 'w');
        }
        if (c.code == 2)
            path = dir / "no-such-folder/reindexing";
        ari::RunMarker marker;
        try {
            marker.Create(path);
            FAIL() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(e.Message(), c.message);
        }
        EXPECT_FALSE(marker.IsOpen());
        if (c.code == 32) {
            EXPECT_EQ(ReadFileBytes(path), "kept");  // not emptied under its holder
        }
    }
}

// ---- header bytes 28 and 29, and the hold of the live table

// A dBASE IV table of one C(10) field and 12 records whose header names a production index
// (byte 28) and a language driver (byte 29).
std::string SampleHeader() {
    std::string bytes(65, '\0');
    bytes[0] = 0x03;
    bytes[1] = 125;
    bytes[2] = 12;
    bytes[3] = 8;
    bytes[4] = 12;   // records
    bytes[8] = 65;   // header length
    bytes[10] = 11;  // record length
    bytes[28] = 1;
    bytes[29] = 0x57;
    bytes.replace(32, 4, "NAME");
    bytes[32 + 11] = 'C';
    bytes[32 + 16] = 10;
    bytes[64] = 0x0D;
    for (int r = 0; r < 12; ++r)
        bytes += " NAME" + std::to_string(10 + r) + "    ";
    bytes += '\x1A';
    return bytes;
}

TEST(HeaderPatch, ClearsOnlyBytes28And29) {
    TempFolder dir;
    const std::string path = dir / "t.dbf";
    ari::test::MakeTable(path, ari::test::StandardRows(), 1, 0x57);
    const std::string before = ReadFileBytes(path);
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("t.dbf");
    {
        const ari::LiveTableHold hold(t);
        ari::ClearIndexHeaderBytes(t);
    }
    EXPECT_FALSE(t.Active());
    EXPECT_FALSE(t.Exclusive());
    const std::string after = ReadFileBytes(path);
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < before.size(); ++i) {
        if (i == 28 || i == 29)
            EXPECT_EQ(after[i], 0) << i;
        else
            EXPECT_EQ(after[i], before[i]) << i;
    }
}

// The rebuild takes its hold before it changes anything: every refusal leaves the table and its
// index file as they were.
TEST(HeaderPatch, RefusedHoldChangesNothing) {
    struct Case {
        const char* what;
        bool fileError;       // EInOutError, else the engine's EDBEngineError
        const char* message;  // the whole message of a file error, else a part of it
    };
    const Case cases[] = {
        {"missing", true, "The specified file was not found"},
        {"read-only", false, "File access denied"},
        {"a folder", false, "It is a folder."},
        {"short", false, "The file is shorter than a table header"},
        {"held for sole use", true, "I/O error 32 - <dir>t.dbf"},
        {"a dBASE client locks a record", true, "I/O error 32 - <dir>t.dbf"},
        {"index held by another user", true, "I/O error 32 - <dir>t.mdx"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string w = c.what;
        TempFolder dir;
        const std::string path = dir / "t.dbf";
        ari::test::RecordedLog log;
        if (w == "a folder") {
            std::filesystem::create_directory(path);
        } else if (w != "missing") {
            ari::test::MakeTable(path, ari::test::StandardRows(), 1, 0x57);
            if (w == "short")
                WriteFileBytes(path, ReadFileBytes(path).substr(0, 20));
        }
        WriteFileBytes(dir / "t.mdx", "the live index");
        const std::string before = w == "a folder" ? "" : ReadFileBytes(path);
        if (w == "read-only")
            chmod(path.c_str(), 0444);
        if (geteuid() == 0 && w == "read-only")
            continue;  // root writes read-only files; the permission case cannot show here
        std::unique_ptr<ForeignLock> holder;
        if (w == "held for sole use")
            holder = std::make_unique<ForeignLock>(path, 'w');
        if (w == "a dBASE client locks a record")
            holder = std::make_unique<ForeignLock>(path, 'w', 0xEFFFFFFEull - 3, 1);
        if (w == "index held by another user")
            holder = std::make_unique<ForeignLock>(dir / "t.mdx", 'r');

        TTable live("Table2");
        live.SetDatabaseName(dir.Path());
        live.SetTableName("t.dbf");
        std::string message = c.message;
        if (message.find("<dir>") != std::string::npos)
            message.replace(message.find("<dir>"), 5, dir.Path());
        try {
            ari::RebuildIndexes("t.dbf", dir.Path(), live, {{"ID", "ID", 0, ""}});
            FAIL() << "no error";
        } catch (const EInOutError& e) {
            EXPECT_TRUE(c.fileError) << e.Message();
            EXPECT_EQ(e.Message(), message);
            // The refusal's kind and file, as fields.
            EXPECT_EQ(e.Kind(), w == "missing" ? ari::ErrorKind::Missing : ari::ErrorKind::InUse);
            EXPECT_EQ(e.File(), w == "index held by another user" ? dir / "t.mdx" : path);
        } catch (const EDBEngineError& e) {
            EXPECT_FALSE(c.fileError) << e.Message();
            EXPECT_NE(e.Message().find(message), std::string::npos) << e.Message();
        }
        EXPECT_FALSE(live.Active());
        EXPECT_FALSE(live.Exclusive());
        EXPECT_TRUE(log.toPlainText().empty());
        EXPECT_EQ(ReadFileBytes(dir / "t.mdx"), "the live index");
        if (w != "a folder" && w != "missing") {
            EXPECT_EQ(ReadFileBytes(path), before);
        }
    }
}

TEST(HeaderPatch, WritesOnlyIntoARegularTableFileReachedByItsOwnName) {
    // What an ordinary user who can write the live folder may put under the table's name; the
    // two bytes must land nowhere, whatever the name leads to.
    const char* const cases[] = {"a link to another file", "a link to a table elsewhere", "a pipe",
                                 "a link to /dev/zero", "no table header"};
    for (const std::string what : cases) {
        SCOPED_TRACE(what);
        TempFolder dir;
        const std::string path = dir / "t.dbf";
        const std::string elsewhere = dir / "root-only.dat";
        const std::string before = SampleHeader();
        WriteFileBytes(elsewhere,
                       what == "a link to another file" ? std::string(200, 'x') : before);
        if (what.rfind("a link to /dev", 0) == 0)
            std::filesystem::create_symlink("/dev/zero", path);
        else if (what.rfind("a link", 0) == 0)
            std::filesystem::create_symlink(elsewhere, path);
        else if (what == "a pipe")
            ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
        else
            WriteFileBytes(path, std::string(200, '\x80'));
        const std::string target = std::filesystem::is_symlink(path) ? elsewhere : path;
        const std::string targetBefore =
            std::filesystem::is_regular_file(target) ? ReadFileBytes(target) : "";
        // A pipe must be refused at once: the patch runs in a child that a hang would keep.
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            alarm(10);
            try {
                TTable live("Table2");
                live.SetDatabaseName(dir.Path());
                live.SetTableName("t.dbf");
                ari::RebuildIndexes("t.dbf", dir.Path(), live, {{"NAME", "NAME", 0, ""}});
            } catch (const Exception& e) {
                const std::string m = e.Message();
                const bool named = m.find(path) != std::string::npos;
                _exit(named ? 0 : 3);
            }
            _exit(1);  // written
        }
        int status = -1;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), 0);
        if (std::filesystem::is_regular_file(target)) {
            EXPECT_EQ(ReadFileBytes(target), targetBefore);
        }
    }
}

TEST(HeaderPatch, TheRebuildRefusesALinkedIndexBeforeChangingAnything) {
    // Deleting the link and writing a new index would leave the file it names as a second,
    // stale index; the header would no longer name the one the link keeps.
    TempFolder dir;
    std::filesystem::create_directory(dir / "live");
    const std::string live = dir / "live/";
    WriteFileBytes(live + "T.DBF", SampleHeader());
    WriteFileBytes(dir / "elsewhere.mdx", "the index the link names");
    std::filesystem::create_symlink(dir / "elsewhere.mdx", live + "T.mdx");
    TTable table("Table2");
    table.SetDatabaseName(live);
    table.SetTableName("T.DBF");
    try {
        ari::RebuildIndexes("T.DBF", live, table, {{"NAME", "NAME", 0, ""}});
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find(live + "T.mdx is a symbolic link"), std::string::npos)
            << e.Message();
    }
    EXPECT_TRUE(std::filesystem::is_symlink(live + "T.mdx"));
    EXPECT_EQ(ReadFileBytes(dir / "elsewhere.mdx"), "the index the link names");
    EXPECT_EQ(ReadFileBytes(live + "T.DBF"), SampleHeader());
}

// ---- index file names

TEST(IndexFiles, NameKeepsBaseCaseWithLowerExtension) {
    EXPECT_EQ(ari::IndexFileName("ORDERS.DBF"), "ORDERS.mdx");
    EXPECT_EQ(ari::IndexFileName("Orders.dbf"), "Orders.mdx");
    EXPECT_EQ(ari::IndexFileName("a.b.DBF"), "a.b.mdx");
}

TEST(IndexFiles, FindsEverySpellingExactFirst) {
    TempFolder dir;
    WriteFileBytes(dir / "ORDERS.MDX", "1");
    WriteFileBytes(dir / "orders.mdx", "2");
    WriteFileBytes(dir / ".ORDERS.mdx", "hidden");
    std::filesystem::create_directory(dir / "Orders.mdx");  // a folder is no index file
    const auto names = ari::FilesNamedNoCase(dir.Path(), "orders.mdx");
    ASSERT_EQ(names.size(), 2u);
    EXPECT_EQ(names[0], "orders.mdx");
    EXPECT_EQ(names[1], "ORDERS.MDX");
}

// ---- index transfer

class Transfer : public ::testing::Test {
  protected:
    void SetUp() override {
        std::filesystem::create_directory(tmpl);
        std::filesystem::create_directory(live);
        table.SetDatabaseName(live);
    }
    // The copy as the transfer puts it in place when the rebuild of the same step follows
    // (the tags built over the live records: tests/maintenance/index_steps_test.cpp).
    void Run(const std::string& entry) {
        table.SetTableName(entry);
        ari::TransferIndex(entry, tmpl, live, table, ari::TransferredTags::BuiltByTheRebuild);
    }
    // A live table the engine opens.
    void MakeLive(const std::string& name) { ari::test::MakeTable(live + name, {}); }

    TempFolder dir;
    std::string tmpl = dir / "mdx/";
    std::string live = dir / "live/";
    ari::test::RecordedLog log;
    TTable table{"Table2"};
};

TEST_F(Transfer, ReplacesLiveIndexByteForByteAndLogsOneLine) {
    WriteFileBytes(tmpl + "Orders.DBF", "template table");
    WriteFileBytes(tmpl + "Orders.mdx", std::string("template index\0\x01\x02", 17));
    MakeLive("Orders.DBF");
    WriteFileBytes(live + "Orders.mdx", "stale live index, longer than the template's");
    const std::string table = ReadFileBytes(live + "Orders.DBF");
    Run("Orders.DBF");
    EXPECT_EQ(ReadFileBytes(live + "Orders.mdx"), ReadFileBytes(tmpl + "Orders.mdx"));
    EXPECT_EQ(ReadFileBytes(live + "Orders.DBF"), table);
    EXPECT_EQ(log.toPlainText(), "---Copy Index Orders.DBF");
}

TEST_F(Transfer, MatchesLiveFilesWhateverTheirCase) {
    WriteFileBytes(tmpl + "ORDERS.DBF", "t");
    WriteFileBytes(tmpl + "orders.MDX", "template index");
    MakeLive("orders.dbf");
    WriteFileBytes(live + "ORDERS.MDX", "stale");
    WriteFileBytes(live + "Orders.Mdx", "stale too");
    Run("ORDERS.DBF");
    // One index file is left, under a spelling the live folder already used.
    EXPECT_EQ(FileNamesIn(live),
              (std::vector<std::string>{"ORDERS.MDX", "orders.dbf", "orders.dbt"}));
    EXPECT_EQ(ReadFileBytes(live + "ORDERS.MDX"), "template index");
}

TEST_F(Transfer, NewIndexTakesEntryBaseNameAndLowerExtension) {
    WriteFileBytes(tmpl + "ORDERS.DBF", "t");
    WriteFileBytes(tmpl + "ORDERS.mdx", "template index");
    Run("ORDERS.DBF");  // no live table: the index is still copied
    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"ORDERS.mdx"}));
}

TEST_F(Transfer, LeavesLiveIndexAloneWhenTheCopyCannotBeMade) {
    for (const auto tags :
         {ari::TransferredTags::BuiltHere, ari::TransferredTags::BuiltByTheRebuild})
        for (const char* what :
             {"no template index", "template index is a folder", "live table in use",
              "live index in use", "a dBASE client locks a record", "same folder",
              "disk full during the copy"}) {
            SCOPED_TRACE(what);
            SCOPED_TRACE(tags == ari::TransferredTags::BuiltHere ? "built here"
                                                                 : "built by the rebuild");
            const std::string w = what;
            std::filesystem::remove_all(tmpl);
            std::filesystem::remove_all(live);
            std::filesystem::create_directory(tmpl);
            std::filesystem::create_directory(live);
            log.clear();
            MakeLive("a.dbf");
            WriteFileBytes(live + "a.mdx", "live index");
            std::string templateFolder = tmpl;
            if (w != "no template index")
                WriteFileBytes(tmpl + "a.mdx", "template index");
            if (w == "template index is a folder") {
                std::filesystem::remove(tmpl + "a.mdx");
                std::filesystem::create_directory(tmpl + "a.mdx");  // a name, but no index file
            }
            std::unique_ptr<ForeignLock> holder;
            if (w == "live table in use")  // a shared user's marker byte
                holder = std::make_unique<ForeignLock>(live + "a.dbf", 'r', 0xF0000000, 1);
            if (w == "live index in use")
                holder = std::make_unique<ForeignLock>(live + "a.mdx", 'r');
            if (w == "a dBASE client locks a record")
                holder = std::make_unique<ForeignLock>(live + "a.dbf", 'w', 0xEFFFFFFEull - 3, 1);
            if (w == "same folder")
                templateFolder = live;
            table.SetTableName("a.dbf");
            if (w == "disk full during the copy") {
                // A child whose files may not grow past 4 bytes: the copy's writes fail part way.
                const pid_t child = fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    signal(SIGXFSZ, SIG_IGN);
                    const rlimit limit{4, 4};
                    setrlimit(RLIMIT_FSIZE, &limit);
                    ari::TransferIndex("a.dbf", templateFolder, live, table, tags);
                    _exit(0);
                }
                int status = -1;
                waitpid(child, &status, 0);
                ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
                EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"a.dbf", "a.dbt", "a.mdx"}));
            } else {
                ari::TransferIndex("a.dbf", templateFolder, live, table, tags);
                EXPECT_EQ(log.toPlainText(), "---Copy Index a.dbf");
            }
            EXPECT_EQ(ReadFileBytes(live + "a.mdx"), "live index");
            EXPECT_FALSE(table.Active());  // the hold is let go of
            EXPECT_FALSE(table.Exclusive());
        }
}

// The copy that takes the live index's place is written, flushed and renamed through the file
// seam: each of those failed in turn leaves the live index as it was and nothing beside it.
TEST_F(Transfer, AnyFailedWriteFlushOrRenameOfTheCopyLeavesTheLiveIndex) {
    using ari::test::FailingEnv;
    WriteFileBytes(tmpl + "a.mdx", "template index");
    for (const bool withLiveTable : {true, false})
        for (const auto kind : {FailingEnv::kWrite, FailingEnv::kFsync, FailingEnv::kRename})
            for (int n = 1;; ++n) {
                SCOPED_TRACE(testing::Message() << (withLiveTable ? "live table" : "no live table")
                                                << " kind " << kind << " call " << n);
                std::filesystem::remove_all(live);
                std::filesystem::create_directory(live);
                if (withLiveTable)
                    MakeLive("a.dbf");
                WriteFileBytes(live + "a.mdx", "live index");
                const std::vector<std::string> before = FileNamesIn(live);
                FailingEnv ops(kind, n);
                {
                    const ari::test::InstalledEnv installed(&ops);
                    Run("a.dbf");
                }
                // Every kind of call reaches the seam at least once.
                EXPECT_TRUE(n > 1 || ops.Failed());
                if (!ops.Failed()) {
                    EXPECT_EQ(ReadFileBytes(live + "a.mdx"), "template index");
                    break;
                }
                EXPECT_EQ(ReadFileBytes(live + "a.mdx"), "live index");
                EXPECT_EQ(FileNamesIn(live), before);  // hidden names included
            }
}

TEST_F(Transfer, ReplacedIndexKeepsItsPermissions) {
    WriteFileBytes(tmpl + "a.mdx", "template index");
    MakeLive("a.dbf");
    WriteFileBytes(live + "a.mdx", "live index");
    std::filesystem::permissions(live + "a.mdx", std::filesystem::perms(0666));
    Run("a.dbf");
    EXPECT_EQ(ReadFileBytes(live + "a.mdx"), "template index");
    EXPECT_EQ(std::filesystem::status(live + "a.mdx").permissions(), std::filesystem::perms(0666));
    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"a.dbf", "a.dbt", "a.mdx"}));
}

TEST_F(Transfer, ReplacedIndexCarriesItsAccessListAndAttributes) {
    WriteFileBytes(tmpl + "a.mdx", "template index");
    MakeLive("a.dbf");
    WriteFileBytes(live + "a.mdx", "live index");
    const auto attributes = ari::test::PlantServerAttributes(live + "a.mdx");
    Run("a.dbf");
    EXPECT_EQ(ReadFileBytes(live + "a.mdx"), "template index");
    EXPECT_EQ(ari::test::ReadAttributes(live + "a.mdx"), attributes);
    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"a.dbf", "a.dbt", "a.mdx"}));
}

TEST_F(Transfer, ALinkedLiveIndexIsRefusedNamingTheLink) {
    // Replaced, the link would become a second index beside the file it names.
    WriteFileBytes(tmpl + "a.mdx", "template index");
    MakeLive("a.dbf");
    WriteFileBytes(dir / "elsewhere.mdx", "the index the link names");
    std::filesystem::create_symlink(dir / "elsewhere.mdx", live + "a.mdx");
    try {
        Run("a.dbf");
        ADD_FAILURE() << "no error";
    } catch (const Exception& e) {
        EXPECT_NE(e.Message().find(live + "a.mdx is a symbolic link"), std::string::npos)
            << e.Message();
    }
    EXPECT_TRUE(std::filesystem::is_symlink(live + "a.mdx"));
    EXPECT_EQ(ReadFileBytes(dir / "elsewhere.mdx"), "the index the link names");
    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"a.dbf", "a.dbt", "a.mdx"}));
}

}  // namespace
