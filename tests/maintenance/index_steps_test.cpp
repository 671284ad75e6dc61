// The index rebuild and the index transfer over real tables: the live index they leave must be
// the template's (every tag unique, descending and filtered as the template's is) and must list
// the live table's own records, as readers no one here wrote walk it and as `dbtool check` sees
// it; a build that fails leaves the live index as it was.
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <map>

#include "engine/EngineErrors.h"
#include "engine/EngineStatus.h"
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

// ---- the rebuild never leaves a table without a good index

// Where a rebuild starts from: the live T.DBF with the header a table has at that point.
struct Start {
    const char* what;
    uint8_t flag, language;  // header bytes 28 and 29
    bool indexed;            // T.mdx there (one tag, NAME, built under that language driver)
};
const Start kStarts[] = {
    {"as the template tables come (flag set, language driver 0x57)", 1, 0x57, true},
    {"rebuilt on an earlier night (flag set, no language driver)", 1, 0, true},
    {"without an index", 0, 0, false},
};

const std::vector<ari::IndexDefinition> kRebuilt = {
    {"ID", "ID", 0, ""}, {"UNAME", "UPPER(NAME)", kUnique, ""}, {"FCITY", "CITY", 0, "ID > 20"}};

// Every file of a folder (hidden ones included) with its bytes.
using Files = std::map<std::string, std::string>;
Files Snapshot(const std::string& folder) {
    Files out;
    for (const auto& name : FileNamesIn(folder))
        out[name] = ReadFileBytes(folder + name);
    return out;
}

// Header bytes 28 and 29 of a table's bytes.
std::pair<int, int> IndexHeaderBytes(const std::string& table) {
    return {static_cast<uint8_t>(table.at(28)), static_cast<uint8_t>(table.at(29))};
}

class RebuildSafety : public ::testing::Test {
  protected:
    void SetUp() override { fs::create_directory(live); }

    // A fresh live folder holding the table as `start` has it.
    void MakeLive(const Start& start) {
        fs::remove_all(live);
        fs::create_directory(live);
        ari::test::MakeTable(live + "T.DBF", kFields, LiveRows(), start.language);
        if (start.indexed) {
            TTable t("Fixture");
            t.SetDatabaseName(live);
            t.SetTableName("T.DBF");
            t.AddIndex("NAME", "NAME", ixExpression);
        }
        std::string bytes = ReadFileBytes(live + "T.DBF");
        bytes[28] = static_cast<char>(start.flag);
        ari::test::WriteFileBytes(live + "T.DBF", bytes);
    }
    void Rebuild() {
        TTable t("Table2");
        t.SetDatabaseName(live);
        t.SetTableName("T.DBF");
        ari::RebuildIndexes("T.DBF", live, t, kRebuilt);
    }
    // What a rebuild that nothing disturbs leaves, from `start`.
    Files Rebuilt(const Start& start) {
        MakeLive(start);
        Rebuild();
        return Snapshot(live);
    }

    TempFolder dir;
    std::string live = dir / "live/";
    ari::test::RecordedLog log;
};

// Another process's plain open of a file (no lock: a dBASE client between two edits), made at a
// chosen moment. Under a lease the open waits while the lease is broken; `Made` returns once the
// open returned or is seen waiting on the break.
class PlainOpen {
  public:
    explicit PlainOpen(const std::string& path) : path_(path) {
        if (::pipe(opened_) != 0)
            throw std::runtime_error("pipe");
        pid_ = ::fork();
        if (pid_ == 0) {
            const int fd = ::open(path.c_str(), O_RDWR);
            (void)!::write(opened_[1], "o", 1);
            ::pause();
            ::_exit(fd >= 0 ? 0 : 1);
        }
    }
    ~PlainOpen() {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        ::close(opened_[0]);
        ::close(opened_[1]);
    }
    bool Made() const {
        return ari::test::WaitUntil([&] {
            pollfd p{opened_[0], POLLIN, 0};
            return ::poll(&p, 1, 0) == 1 || LeaseBreaking();
        });
    }

  private:
    // A lease on the file is being broken (/proc/locks: "LEASE  BREAKING ... dev:inode ...").
    bool LeaseBreaking() const {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0)
            return false;
        const std::string inode = ":" + std::to_string(st.st_ino) + " ";
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("BREAK") != std::string::npos && line.find(inode) != std::string::npos)
                return true;
        return false;
    }
    std::string path_;
    int opened_[2] = {-1, -1};
    pid_t pid_ = -1;
};

// Runs `hook` once, before the first rename of a file.
class RenameHook : public ari::EnvWrapper {
  public:
    explicit RenameHook(std::function<void()> hook)
        : EnvWrapper(ari::Env::Default()), hook_(std::move(hook)) {}
    int Rename(const std::string& from, const std::string& to) override {
        if (hook_) {
            const auto hook = std::move(hook_);
            hook_ = nullptr;
            hook();
        }
        return EnvWrapper::Rename(from, to);
    }
    int RenameOverHeld(const std::string& from, const std::string& to,
                       ari::FileHandle held) override {
        if (hook_) {
            const auto hook = std::move(hook_);
            hook_ = nullptr;
            hook();
        }
        return EnvWrapper::RenameOverHeld(from, to, held);
    }

  private:
    std::function<void()> hook_;
};

// A client that opens the table or its index while the rebuild builds the new index makes the
// rebuild refuse, and the table keeps its old index and header byte for byte. One that opens it
// between the last check and the rename is seen after the rename, which is undone: the old
// index stays, its flag cleared only where the language driver was to change (the header was
// already written, and the client has read it); a new index that took a free name stays there,
// the flag not set under the client.
TEST_F(RebuildSafety, AClientOpeningTheTableDuringTheRebuildKeepsItsOldIndexAndHeader) {
    for (const Start& start : kStarts) {
        for (const std::string file : {"T.DBF", "T.mdx"}) {
            if (file == "T.mdx" && !start.indexed)
                continue;
            for (const bool atRename : {false, true}) {
                SCOPED_TRACE(std::string(start.what) + ", " + file +
                             (atRename ? ", at the rename" : ", during the build"));
                MakeLive(start);
                const Files before = Snapshot(live);
                std::unique_ptr<PlainOpen> client;
                const auto open = [&] {
                    client = std::make_unique<PlainOpen>(live + file);
                    ASSERT_TRUE(client->Made());
                };
                // The last "------Add Index" line comes before the build begins.
                int lines = 0;
                const ari::LogSubscription watch([&](const std::string&, bool) {
                    if (!atRename && ++lines == static_cast<int>(kRebuilt.size()))
                        open();
                });
                RenameHook hook(atRename ? std::function<void()>(open) : nullptr);
                try {
                    const ari::test::InstalledEnv installed(&hook);
                    Rebuild();
                    ADD_FAILURE() << "the rebuild went ahead";
                } catch (const EDBEngineError& e) {
                    EXPECT_EQ(e.ErrorCode(), ari::engine::kStatusTableInUse) << e.Message();
                }
                ASSERT_TRUE(client);
                client.reset();
                const Files after = Snapshot(live);
                if (atRename && !start.indexed) {
                    // A new name is seen taken only after its rename: the new index stays,
                    // unnamed.
                    EXPECT_EQ(after.at("T.DBF"), before.at("T.DBF"));
                    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"T.DBF", "T.mdx"}));
                } else if (atRename && start.language != 0) {
                    // The old index, unnamed; nothing else changed or left behind.
                    EXPECT_EQ(after.at("T.mdx"), before.at("T.mdx"));
                    EXPECT_EQ(IndexHeaderBytes(after.at("T.DBF")), std::make_pair(0, 0));
                    std::string table = after.at("T.DBF");
                    table[28] = static_cast<char>(start.flag);
                    table[29] = static_cast<char>(start.language);
                    EXPECT_EQ(table, before.at("T.DBF"));
                    EXPECT_EQ(after.size(), before.size());
                } else {
                    EXPECT_TRUE(after == before);
                }
                EXPECT_EQ(DbtoolCheck(live + "T.DBF"), 0);
            }
        }
    }
}

// The state a rebuild ended part way leaves: the old index with its header, either index with
// the flag clear, or the new index with the flag set and no language driver; never a flag
// without its file, nor an index under another language driver than the header names.
void ExpectOldOrNewIndex(const Files& before, const Files& rebuilt, const Files& now) {
    const auto header = IndexHeaderBytes(now.at("T.DBF"));
    const std::string index = now.count("T.mdx") ? now.at("T.mdx") : "<none>";
    const std::string oldIndex = before.count("T.mdx") ? before.at("T.mdx") : "<none>";
    const bool oldState = index == oldIndex && header == IndexHeaderBytes(before.at("T.DBF"));
    const bool unnamed = header.first == 0 && (index == oldIndex || index == rebuilt.at("T.mdx"));
    const bool newState = index == rebuilt.at("T.mdx") && header == std::make_pair(1, 0);
    EXPECT_TRUE(oldState || unnamed || newState)
        << "flag " << header.first << ", language " << header.second << ", index "
        << (index == oldIndex              ? "old"
            : index == rebuilt.at("T.mdx") ? "new"
                                           : "other");
}

// A process ended before or after any write, flush or rename of the rebuild leaves the old or
// the new index with its header, which dbtool finds sound; the next rebuild clears what it left
// and ends as an undisturbed one does.
TEST_F(RebuildSafety, AProcessEndedAtAnyCallLeavesTheOldOrTheNewIndex) {
    using ari::test::FailingEnv;
    for (const Start& start : kStarts) {
        SCOPED_TRACE(start.what);
        const Files rebuilt = Rebuilt(start);
        int calls = 0;
        {
            MakeLive(start);
            FailingEnv counting(FailingEnv::kAny, 0);
            const ari::test::InstalledEnv installed(&counting);
            Rebuild();
            calls = counting.Count();
        }
        ASSERT_GT(calls, 3);
        for (const auto action : {FailingEnv::kDieBefore, FailingEnv::kDieAfter}) {
            for (int n = 1; n <= calls; ++n) {
                SCOPED_TRACE(testing::Message()
                             << (action == FailingEnv::kDieBefore ? "ended before" : "ended after")
                             << " call " << n << " of " << calls);
                MakeLive(start);
                const Files before = Snapshot(live);
                const pid_t child = fork();
                ASSERT_GE(child, 0);
                if (child == 0) {
                    FailingEnv die(FailingEnv::kAny, n, 0, action);
                    const ari::test::InstalledEnv installed(&die);
                    try {
                        Rebuild();
                    } catch (...) {
                    }
                    _exit(0);
                }
                int status = -1;
                waitpid(child, &status, 0);
                ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 9) << status;
                Files now = Snapshot(live);
                ExpectOldOrNewIndex(before, rebuilt, now);
                EXPECT_EQ(DbtoolCheck(live + "T.DBF"), 0);

                log.clear();
                Rebuild();
                EXPECT_TRUE(Snapshot(live) == rebuilt);  // nothing left over, the same bytes
            }
        }
    }
}

// Any write, flush or rename of the rebuild that fails, once or from then on, leaves the old
// index and header as they were and nothing beside them; only a failure after the new index took
// the old one's place (the header's flag, set last) leaves the new index, its flag clear or set.
TEST_F(RebuildSafety, AFailedWriteFlushOrRenameKeepsTheOldIndexAndHeader) {
    using ari::test::FailingEnv;
    const struct {
        FailingEnv::Kind kind;
        int err;
        FailingEnv::Action action;
    } failures[] = {
        {FailingEnv::kAny, ENOSPC, FailingEnv::kFailOnce},
        {FailingEnv::kWrite, ENOSPC, FailingEnv::kFailFromNth},
        {FailingEnv::kFsync, EIO, FailingEnv::kFailFromNth},
        {FailingEnv::kRename, EACCES, FailingEnv::kFailFromNth},
    };
    for (const Start& start : kStarts) {
        const Files rebuilt = Rebuilt(start);
        for (const auto& f : failures) {
            for (int n = 1;; ++n) {
                SCOPED_TRACE(testing::Message() << start.what << ", kind " << f.kind << ", action "
                                                << f.action << ", call " << n);
                MakeLive(start);
                const Files before = Snapshot(live);
                FailingEnv failure(f.kind, n, f.err, f.action);
                failure.ShortWrites();
                bool raised = false;
                try {
                    const ari::test::InstalledEnv installed(&failure);
                    Rebuild();
                } catch (const EDBEngineError&) {
                    raised = true;
                }
                const Files after = Snapshot(live);
                if (!failure.Failed()) {
                    EXPECT_FALSE(raised);
                    EXPECT_TRUE(after == rebuilt);
                    break;
                }
                EXPECT_TRUE(raised);
                if (after.count("T.mdx") && after.at("T.mdx") == rebuilt.at("T.mdx") &&
                    !(before.count("T.mdx") && before.at("T.mdx") == rebuilt.at("T.mdx"))) {
                    // Failed at the header's flag, after the rename.
                    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"T.DBF", "T.mdx"}));
                    EXPECT_EQ(IndexHeaderBytes(after.at("T.DBF")).second, 0);
                } else {
                    EXPECT_TRUE(after == before);
                }
                EXPECT_EQ(DbtoolCheck(live + "T.DBF"), 0);
            }
        }
    }
}

// A definition the engine refuses ends the rebuild with its error: the first one leaves the old
// index and header as they were; a later one leaves the new index with the tags before it.
TEST_F(RebuildSafety, ARefusedDefinitionKeepsTheOldIndexOrLeavesTheOnesBeforeIt) {
    const Start& start = kStarts[0];
    for (const size_t refused : {size_t{0}, size_t{2}}) {
        SCOPED_TRACE(refused);
        MakeLive(start);
        const Files before = Snapshot(live);
        std::vector<ari::IndexDefinition> definitions = kRebuilt;
        definitions[refused].key = "NOSUCHFIELD";
        TTable t("Table2");
        t.SetDatabaseName(live);
        t.SetTableName("T.DBF");
        EXPECT_THROW(ari::RebuildIndexes("T.DBF", live, t, definitions), EDBEngineError);
        EXPECT_FALSE(t.Active());
        const Files after = Snapshot(live);
        if (refused == 0) {
            EXPECT_TRUE(after == before);
        } else {
            EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"T.DBF", "T.mdx"}));
            EXPECT_EQ(IndexHeaderBytes(after.at("T.DBF")), std::make_pair(1, 0));
            t.IndexDefs().Update();
            ASSERT_EQ(t.IndexDefs().Count(), 2);
            EXPECT_EQ(t.IndexDefs()[0].Name, "ID");
            EXPECT_EQ(t.IndexDefs()[1].Name, "UNAME");
            EXPECT_EQ(DbtoolCheck(live + "T.DBF"), 0);
        }
        log.clear();
    }
}

}  // namespace
