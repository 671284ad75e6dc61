// The index rebuild and the index transfer over real tables: the live index they leave must be
// the template's (every tag unique, descending and filtered as the template's is) and must list
// the live table's own records, as readers no one here wrote walk it and as `dbtool check` sees
// it; a build that fails leaves the live index as it was.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/index/MdxFile.h"
#include "engine/index/MdxTable.h"
#include "engine/table/DbfFile.h"
#include "log/OperationLog.h"
#include "maintenance/IndexRebuild.h"
#include "maintenance/IndexTransfer.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::engine::FieldDef;
using ari::test::ReadFileBytes;
using ari::test::Row;
using ari::test::TempFolder;

namespace fs = std::filesystem;

constexpr TIndexOptions kUnique = static_cast<TIndexOptions>(TIndexOption::ixUnique);
constexpr TIndexOptions kDescending = static_cast<TIndexOptions>(TIndexOption::ixDescending);

const std::vector<FieldDef> kFields = {
    {"ID", 'N', 5, 0, 0},
    {"NAME", 'C', 10, 0, 0},
    {"CITY", 'C', 8, 0, 0},
};

// A tag as the template defines it.
struct TagDef {
    std::string name, key, condition;
    TIndexOptions options;
};

// Each property that makes a tag the template's tag, alone and together.
const std::vector<TagDef> kTemplateTags = {
    {"ID", "ID", "", 0},
    {"UNAME", "NAME", "", kUnique},
    {"DID", "ID", "", kDescending},
    {"FCITY", "CITY", "ID > 20", 0},
    {"ALL3", "UPPER(CITY)+NAME", "ID < 30", kUnique | kDescending},
};

// Live records: repeated names and cities, ids out of order, deleted records among them.
std::vector<Row> LiveRows() {
    const char* names[] = {"sara", "ali", "reza", "mina", "ali", "sara"};
    const char* cities[] = {"TABRIZ", "SHIRAZ", "tabriz", "YAZD"};
    std::vector<Row> rows;
    for (int i = 0; i < 40; ++i) {
        const int id = (i * 17) % 41 + 1;
        rows.push_back({{std::to_string(id), names[i % 6], cities[(i / 2) % 4]}, i % 7 == 3});
    }
    return rows;
}

std::vector<Row> TemplateRows() {
    return {{{"7", "only", "ROW"}}, {{"3", "two", "ROWS"}}};
}

void AddTemplateTags(const std::string& folder, const std::string& table) {
    TTable t("Fixture");
    t.SetDatabaseName(folder);
    t.SetTableName(table);
    for (const TagDef& d : kTemplateTags)
        t.AddIndex(d.name, d.key, static_cast<TIndexOptions>(ixExpression | d.options),
                   std::string(), d.condition);
}

using ari::test::FileNamesIn;

using ari::test::DbtoolCheck;

// The live index holds exactly the template's tags, and each lists the live table's records as
// a model of the tag (keys from the records, sorted with std::sort) says, walked by the Perl
// reader and the Free Pascal one where they are installed.
void ExpectTemplateTagsOverLiveRecords(const std::string& liveTable, const std::string& mdx) {
    TTable t("Reader");
    t.SetDatabaseName(ari::ExtractFilePath(liveTable));
    t.SetTableName(ari::ExtractFileName(liveTable));
    t.IndexDefs().Update();
    ASSERT_EQ(t.IndexDefs().Count(), static_cast<int>(kTemplateTags.size()));
    for (size_t i = 0; i < kTemplateTags.size(); ++i) {
        const TagDef& want = kTemplateTags[i];
        const TIndexDef& got = t.IndexDefs()[static_cast<int>(i)];
        SCOPED_TRACE(want.name);
        EXPECT_EQ(got.Name, want.name);
        EXPECT_EQ(got.FieldExpression, want.key);
        EXPECT_EQ(got.FilterExpression, want.condition);
        EXPECT_EQ(got.Options & (kUnique | kDescending), want.options);

        const auto model =
            ari::test::ModelOrder(liveTable, want.key, want.condition,
                                  (want.options & kUnique) != 0, (want.options & kDescending) != 0);
        EXPECT_EQ(ari::test::RecordOrder(ari::test::WalkTag(liveTable, want.name)),
                  ari::test::RecordOrder(model));
        if (ari::test::PerlIndexReaderAvailable()) {
            EXPECT_EQ(ari::test::PerlOrder(mdx, want.name), ari::test::RecordOrder(model));
        }
    }
    if (!ari::test::TdbfProgram().empty()) {
        // TDbf reads the flags from the tag headers: "TAG name|expression|unique|descending".
        const auto lines = ari::test::TdbfRun(liveTable);
        for (const TagDef& want : kTemplateTags) {
            const std::string line = "TAG " + want.name + "|" + want.key + "|" +
                                     ((want.options & kUnique) ? "1" : "0") + "|" +
                                     ((want.options & kDescending) ? "1" : "0");
            EXPECT_NE(std::find(lines.begin(), lines.end(), line), lines.end()) << line;
        }
    }
    EXPECT_EQ(DbtoolCheck(liveTable), 0);
}

class IndexSteps : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(tmpl);
        fs::create_directory(live);
        templateTable.SetDatabaseName(tmpl);
        liveTable.SetDatabaseName(live);
    }

    // The live T.DBF with an index of its own (one tag, NAME); returns the index's bytes.
    std::string LiveTableWithItsOwnIndex() {
        ari::test::MakeTable(live + "T.DBF", kFields, LiveRows());
        liveTable.SetTableName("T.DBF");
        liveTable.AddIndex("NAME", "NAME", ixExpression);
        return ReadFileBytes(live + "T.mdx");
    }
    // The live index holds `before`, alone beside its table (no copy or temporary left over), the
    // table is closed and passes dbtool's check.
    void ExpectLiveIndexAsItWas(const std::string& before) {
        EXPECT_EQ(ReadFileBytes(live + "T.mdx"), before);
        EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"T.DBF", "T.mdx"}));
        EXPECT_FALSE(liveTable.Active());
        EXPECT_EQ(DbtoolCheck(live + "T.DBF"), 0);
    }

    TempFolder dir;
    std::string tmpl = dir / "mdx/";
    std::string live = dir / "live/";
    ari::test::RecordedLog log;
    TTable templateTable{"Table1"};
    TTable liveTable{"Table2"};
};

TEST_F(IndexSteps, RebuildKeepsEachTemplateTagsUniqueDescendingAndFor) {
    ari::test::MakeTable(tmpl + "T.DBF", kFields, TemplateRows());
    AddTemplateTags(tmpl, "T.DBF");
    ari::test::MakeTable(live + "T.DBF", kFields, LiveRows());
    liveTable.SetTableName("T.DBF");
    liveTable.AddIndex("STALE", "NAME", ixExpression);
    templateTable.SetTableName("T.DBF");

    const auto definitions = ari::ReadIndexDefinitions(templateTable);
    ari::RebuildIndexes("T.DBF", live, liveTable, definitions);

    EXPECT_EQ(log.toPlainText(),
              "------Add Index T.DBF ID\n------Add Index T.DBF UNAME\n"
              "------Add Index T.DBF DID\n------Add Index T.DBF FCITY\n"
              "------Add Index T.DBF ALL3");
    EXPECT_FALSE(liveTable.Active());
    EXPECT_FALSE(liveTable.Exclusive());
    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"T.DBF", "T.mdx"}));
    ExpectTemplateTagsOverLiveRecords(live + "T.DBF", live + "T.mdx");
}

TEST_F(IndexSteps, TransferBuildsTheCopiedTagsOverTheLiveRecords) {
    ari::test::MakeTable(tmpl + "T.DBF", kFields, TemplateRows());
    AddTemplateTags(tmpl, "T.DBF");
    ari::test::MakeTable(live + "T.DBF", kFields, LiveRows());
    liveTable.SetTableName("T.DBF");
    liveTable.AddIndex("STALE", "NAME", ixExpression);  // the header names an index
    const std::string tableBefore = ReadFileBytes(live + "T.DBF");

    ari::TransferIndex("T.DBF", tmpl, live, liveTable, ari::TransferredTags::BuiltHere);

    EXPECT_EQ(log.toPlainText(), "---Copy Index T.DBF");
    EXPECT_FALSE(liveTable.Active());
    EXPECT_FALSE(liveTable.Exclusive());
    EXPECT_EQ(ReadFileBytes(live + "T.DBF"), tableBefore);  // the table file is not touched
    EXPECT_EQ(FileNamesIn(live),
              (std::vector<std::string>{"T.DBF", "T.mdx"}));  // nothing left over
    ExpectTemplateTagsOverLiveRecords(live + "T.DBF", live + "T.mdx");
}

// A process that merely has the live table or its index open, with no lock at all (a dBASE
// client between two edits), keeps the rebuild and the transfer away: replacing the index or
// patching the header under it would leave it working with files nobody opens again.
TEST_F(IndexSteps, APlainOpenOfTheLiveFilesKeepsTheRebuildAndTheTransferAway) {
    ari::test::MakeTable(tmpl + "T.DBF", kFields, TemplateRows());
    AddTemplateTags(tmpl, "T.DBF");
    ari::test::MakeTable(live + "T.DBF", kFields, LiveRows());
    liveTable.SetTableName("T.DBF");
    liveTable.AddIndex("STALE", "NAME", ixExpression);
    templateTable.SetTableName("T.DBF");
    const auto definitions = ari::ReadIndexDefinitions(templateTable);
    for (const std::string held : {"T.DBF", "T.mdx"}) {
        SCOPED_TRACE(held);
        const std::string tableBefore = ReadFileBytes(live + "T.DBF");
        const std::string indexBefore = ReadFileBytes(live + "T.mdx");
        int ready[2];
        ASSERT_EQ(pipe(ready), 0);
        const pid_t child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            const int fd = ::open((live + held).c_str(), O_RDWR);
            (void)!write(ready[1], "x", 1);
            pause();
            _exit(fd >= 0 ? 0 : 1);
        }
        char c = 0;
        ASSERT_EQ(read(ready[0], &c, 1), 1);
        try {
            ari::RebuildIndexes("T.DBF", live, liveTable, definitions);
            ADD_FAILURE() << "the rebuild went ahead";
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.Message(), "I/O error 32 - " + live + held);
        }
        log.clear();
        ari::TransferIndex("T.DBF", tmpl, live, liveTable, ari::TransferredTags::BuiltHere);
        EXPECT_EQ(log.toPlainText(), "---Copy Index T.DBF");  // skipped
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
        close(ready[0]);
        close(ready[1]);
        EXPECT_EQ(ReadFileBytes(live + "T.DBF"), tableBefore);
        EXPECT_EQ(ReadFileBytes(live + "T.mdx"), indexBefore);
        EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"T.DBF", "T.mdx"}));
        EXPECT_FALSE(liveTable.Active());
        log.clear();
    }
}

TEST_F(IndexSteps, TransferKeepsTheCopiedFilesBlockSize) {
    ari::test::MakeTable(tmpl + "T.DBF", kFields, TemplateRows());
    AddTemplateTags(tmpl, "T.DBF");
    ari::test::MakeTable(live + "T.DBF", kFields, LiveRows());
    liveTable.SetTableName("T.DBF");
    liveTable.AddIndex("STALE", "NAME", ixExpression);
    // A template index of 4-page blocks, as other writers make them: the template file
    // rewritten with its own tags by the engine's writer.
    {
        const ari::engine::MdxFile old(tmpl + "T.mdx");
        ASSERT_NE(old.Header().blockPages, 4);
        const auto table = ari::engine::DbfFile::OpenHeld(tmpl + "T.DBF");
        const std::string path = tmpl + "wide.mdx";
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC, 0644);
        ASSERT_GE(fd, 0);
        ari::engine::WriteIndexFile(fd, path, *table, "T", 4, table->LanguageDriver(),
                                    ari::engine::TagDefinitions(old));
        ::close(fd);
        fs::rename(path, tmpl + "T.mdx");
    }
    ari::TransferIndex("T.DBF", tmpl, live, liveTable, ari::TransferredTags::BuiltHere);
    EXPECT_EQ(ari::engine::MdxFile(live + "T.mdx").Header().blockPages, 4);
    ExpectTemplateTagsOverLiveRecords(live + "T.DBF", live + "T.mdx");
}

TEST_F(IndexSteps, TransferThatCannotBuildLeavesTheLiveIndexAsItWas) {
    // The template's key names a field the live table lacks.
    std::vector<FieldDef> fields = kFields;
    fields.push_back({"EXTRA", 'C', 4, 0, 0});
    ari::test::MakeTable(tmpl + "T.DBF", fields, {{{"1", "a", "b", "x"}}});
    {
        TTable t("Fixture");
        t.SetDatabaseName(tmpl);
        t.SetTableName("T.DBF");
        t.AddIndex("EXTRA", "EXTRA", ixExpression);
    }
    const std::string indexBefore = LiveTableWithItsOwnIndex();

    EXPECT_THROW(
        ari::TransferIndex("T.DBF", tmpl, live, liveTable, ari::TransferredTags::BuiltHere),
        EDBEngineError);
    ExpectLiveIndexAsItWas(indexBefore);
}

// A build over the live records that fails at any of its writes leaves the live index as it was
// and no file of its own behind.
TEST_F(IndexSteps, TransferWhoseBuildFailsLeavesTheLiveIndexAsItWas) {
    ari::test::MakeTable(tmpl + "T.DBF", kFields, TemplateRows());
    AddTemplateTags(tmpl, "T.DBF");
    const std::string indexBefore = LiveTableWithItsOwnIndex();
    using ari::test::FailingEnv;
    // Every write, flush or rename of the engine's files fails, from the first on.
    const struct {
        FailingEnv::Kind kind;
        int err;
    } failures[] = {
        {FailingEnv::kWrite, ENOSPC}, {FailingEnv::kFsync, EIO}, {FailingEnv::kRename, EACCES}};
    for (const auto& f : failures) {
        SCOPED_TRACE(f.kind);
        FailingEnv failure(f.kind, 1, f.err, FailingEnv::kFailFromNth);
        {
            const ari::test::InstalledEnv installed(&failure);
            EXPECT_THROW(
                ari::TransferIndex("T.DBF", tmpl, live, liveTable, ari::TransferredTags::BuiltHere),
                EDBEngineError);
        }
        ExpectLiveIndexAsItWas(indexBefore);
    }
}

// A process killed inside the transfer's build leaves the live index as it was; the next
// transfer clears what it left and puts the built index in place.
TEST_F(IndexSteps, TransferKilledBeforeItsRenameLeavesTheLiveIndexForTheNextRun) {
    ari::test::MakeTable(tmpl + "T.DBF", kFields, TemplateRows());
    AddTemplateTags(tmpl, "T.DBF");
    const std::string indexBefore = LiveTableWithItsOwnIndex();

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // Ends at the first rename of the engine's files: the moment before the built index
        // would take the live index's place.
        ari::test::FailingEnv die(ari::test::FailingEnv::kRename, 1, 0,
                                  ari::test::FailingEnv::kDieBefore);
        const ari::test::InstalledEnv installed(&die);
        try {
            ari::TransferIndex("T.DBF", tmpl, live, liveTable, ari::TransferredTags::BuiltHere);
        } catch (...) {
        }
        _exit(0);
    }
    int status = -1;
    waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9);  // killed at the rename
    EXPECT_EQ(ReadFileBytes(live + "T.mdx"), indexBefore);
    EXPECT_EQ(DbtoolCheck(live + "T.DBF"), 0);

    log.clear();
    ari::TransferIndex("T.DBF", tmpl, live, liveTable, ari::TransferredTags::BuiltHere);
    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"T.DBF", "T.mdx"}));
    ExpectTemplateTagsOverLiveRecords(live + "T.DBF", live + "T.mdx");
}

// Another process's attempt to open `table` for shared use: true when it got the table.
bool OpenedByAnotherProcess(const std::string& folder, const std::string& table) {
    const pid_t child = fork();
    if (child == 0) {
        try {
            TTable t("Other");
            t.SetDatabaseName(folder);
            t.SetTableName(table);
            t.Open();
            _exit(0);
        } catch (...) {
            _exit(1);
        }
    }
    int status = -1;
    waitpid(child, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// Between its tags the rebuild keeps the live table to itself: another user who opened the table
// there would work with an index that is still being built.
TEST_F(IndexSteps, RebuildHoldsTheLiveTableFromFirstToLastTag) {
    ari::test::MakeTable(tmpl + "T.DBF", kFields, TemplateRows());
    AddTemplateTags(tmpl, "T.DBF");
    ari::test::MakeTable(live + "T.DBF", kFields, LiveRows());
    liveTable.SetTableName("T.DBF");
    templateTable.SetTableName("T.DBF");
    ASSERT_TRUE(OpenedByAnotherProcess(live, "T.DBF"));

    // Each "------Add Index" line is written while the rebuild is under way.
    std::vector<bool> openedDuring;
    {
        const ari::LogSubscription watch([&](const std::string&, bool) {
            openedDuring.push_back(OpenedByAnotherProcess(live, "T.DBF"));
        });
        ari::RebuildIndexes("T.DBF", live, liveTable, ari::ReadIndexDefinitions(templateTable));
    }

    EXPECT_EQ(openedDuring, std::vector<bool>(kTemplateTags.size(), false));
    EXPECT_TRUE(OpenedByAnotherProcess(live, "T.DBF"));  // let go of at the end
}

}  // namespace
