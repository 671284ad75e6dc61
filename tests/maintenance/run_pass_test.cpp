// The maintenance run without any window: whole passes over real folders through the real
// engine, followed by an observer that records every event, and the operation log beside it.
#include <sys/wait.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableLock.h"
#include "log/OperationLog.h"
#include "maintenance/MaintenanceRun.h"
#include "maintenance/RunSummary.h"
#include "platform/Files.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/TestFolders.h"

// Log lines as text in failure messages.
void PrintTo(const std::string& text, std::ostream* os) {
    *os << '"' << text << '"';
}

namespace {

using ari::RunPass;
using ari::test::Bytes;
using ari::test::RecordedLog;
using ari::test::Surviving;
using ari::test::TempFolder;

namespace fs = std::filesystem;

using Tags = std::vector<std::pair<std::string, std::string>>;

// Adds tags to a closed table through the engine, as the template tables carry them.
void AddTags(const std::string& folder, const std::string& table, const Tags& tags) {
    TTable t("Fixture");
    t.SetDatabaseName(folder);
    t.SetTableName(table);
    for (const auto& [name, key] : tags)
        t.AddIndex(name, key, ixExpression);
}

Tags ReadTags(const std::string& folder, const std::string& table) {
    TTable t("Reader");
    t.SetDatabaseName(folder);
    t.SetTableName(table);
    t.IndexDefs().Update();
    Tags out;
    for (const auto& d : t.IndexDefs().Items())
        out.emplace_back(d.Name, d.FieldExpression);
    return out;
}

using ari::test::FileNamesIn;

using ari::test::DbtoolCheck;

std::string PassName(RunPass pass) {
    return pass == RunPass::Index ? "index" : "pack";
}

std::string Joined(const std::vector<std::string>& names) {
    std::string out;
    for (const std::string& n : names)
        out += (out.empty() ? "" : ",") + n;
    return out;
}

// Every event as one text, in the order the run reports them.
class Recorder : public ari::RunObserver {
  public:
    std::vector<std::string> events;
    std::vector<std::string> lines;            // the LogLine events
    std::function<void(RunPass)> onPassStart;  // runs at each PassStarted
    std::function<void(ari::RunOperations&)> onPump;

    void PassStarted(RunPass pass, const std::vector<std::string>& tables) override {
        events.push_back("pass-started " + PassName(pass) + " " + Joined(tables));
        if (onPassStart)
            onPassStart(pass);
    }
    void TableStarted(RunPass pass, const std::string& table) override {
        events.push_back("table-started " + PassName(pass) + " " + table);
    }
    void IndexDefinitionsRead(const std::string& table,
                              const std::vector<ari::IndexDefinition>& definitions) override {
        std::vector<std::string> names;
        for (const auto& d : definitions)
            names.push_back(d.name + "=" + d.key);
        events.push_back("definitions " + table + " " + Joined(names));
    }
    void IndexAdded(const std::string& table, const ari::IndexDefinition& d) override {
        events.push_back("index-added " + table + " " + d.name);
    }
    void TablePacked(const std::string& table) override { events.push_back("packed " + table); }
    void TransferSkippedInUse(const std::string& table) override {
        events.push_back("transfer-skipped-in-use " + table);
    }
    void TableFinished(RunPass pass, const std::string& table) override {
        events.push_back("table-finished " + PassName(pass) + " " + table);
    }
    void Progress(int position, int count) override {
        events.push_back("progress " + std::to_string(position) + "/" + std::to_string(count));
    }
    void LogLine(const std::string& line) override {
        events.push_back("log " + line);
        lines.push_back(line);
    }
    void Error(const std::string& message) override { events.push_back("error " + message); }
    void Pump(ari::RunOperations& operations) override {
        events.push_back("pump");
        if (onPump)
            onPump(operations);
    }
    void PassFinished(RunPass pass) override {
        events.push_back("pass-finished " + PassName(pass));
    }
    void RunFinished(bool result) override {
        events.push_back(std::string("finished ") + (result ? "true" : "false"));
    }
};

class Pass : public ::testing::Test {
  protected:
    void SetUp() override {
        fs::create_directory(tmpl);
        fs::create_directory(live);
    }

    // A run over the fixture folders with the clock at `clock`.
    bool Run(bool transfer, bool rebuild, bool pack) {
        ari::RunChoices choices;
        choices.templateFolderText = tmpl;
        choices.liveFolderText = live;
        choices.operations.transfer = transfer;
        choices.operations.rebuild = rebuild;
        choices.operations.pack = pack;
        choices.markerPath = marker;
        choices.now = [this] { return clock; };
        ari::MaintenanceRun run(std::move(choices), templateTable, liveTable);
        run.AddObserver(&recorder);
        return run.Run();
    }

    // The events from the first one that starts with `first` on.
    std::vector<std::string> EventsFrom(const std::string& first) const {
        auto it = recorder.events.begin();
        while (it != recorder.events.end() && it->rfind(first, 0) != 0)
            ++it;
        return std::vector<std::string>(it, recorder.events.end());
    }

    TempFolder dir;
    std::string tmpl = dir / "mdx/";
    std::string live = dir / "live/";
    std::string marker = dir / "reindexing";
    ari::TDateTime clock = ari::EncodeTime(10, 0, 0);
    TTable templateTable{"Table1"};
    TTable liveTable{"Table2"};
    RecordedLog log;
    Recorder recorder;
};

TEST_F(Pass, AWholeRunReportsEveryStepInOrder) {
    const Tags aTags = {{"ID", "ID"}, {"BYNAME", "UPPER(NAME)"}};
    const Tags bTags = {{"NAME", "NAME"}};
    ari::test::MakeTable(tmpl + "a.dbf", {});
    AddTags(tmpl, "a.dbf", aTags);
    ari::test::MakeTable(tmpl + "B.DBF", {});
    AddTags(tmpl, "B.DBF", bTags);
    for (const char* t : {"a.dbf", "B.DBF"}) {
        ari::test::MakeTable(live + t, ari::test::StandardRows(), 1, 0x57);
        AddTags(live, t, {{"STALE", "NAME"}});
    }
    // The marker is there, empty, while the tables are worked on; the index pass's closing
    // line carries the time that pass ended, not the time it is written.
    std::vector<std::pair<bool, uintmax_t>> markerDuring;
    recorder.onPump = [&](ari::RunOperations&) {
        markerDuring.emplace_back(ari::FileExists(marker), fs::file_size(marker));
    };
    recorder.onPassStart = [&](RunPass pass) {
        if (pass == RunPass::Pack)
            clock = ari::EncodeTime(10, 5, 9);
    };

    EXPECT_TRUE(Run(true, true, true));

    const std::vector<std::string> expected = {
        "pass-started index a.dbf,B.DBF",
        "progress 0/2",
        "table-started index a.dbf",
        "log ---Copy Index a.dbf",
        "definitions a.dbf ID=ID,BYNAME=UPPER(NAME)",
        "log ------Add Index a.dbf ID",
        "log ------Add Index a.dbf BYNAME",
        "index-added a.dbf ID",
        "index-added a.dbf BYNAME",
        "table-finished index a.dbf",
        "progress 1/2",
        "pump",
        "table-started index B.DBF",
        "log ---Copy Index B.DBF",
        "definitions B.DBF NAME=NAME",
        "log ------Add Index B.DBF NAME",
        "index-added B.DBF NAME",
        "table-finished index B.DBF",
        "progress 2/2",
        "pump",
        "pass-finished index",
        "pass-started pack a.dbf,B.DBF",
        "progress 0/2",
        "table-started pack a.dbf",
        "log ---Packing a.dbf ... ",
        "packed a.dbf",
        "table-finished pack a.dbf",
        "progress 1/2",
        "table-started pack B.DBF",
        "log ---Packing B.DBF ... ",
        "packed B.DBF",
        "table-finished pack B.DBF",
        "progress 2/2",
        "pass-finished pack",
        "log ---ReIndex has successfully Time: \"10:00:00\"",
        "log ---Pack has successfully Time: \"10:05:09\"",
        "finished true",
    };
    EXPECT_EQ(recorder.events, expected);
    // The operation log holds the same lines, in the same order.
    EXPECT_EQ(log.Lines(), recorder.lines);

    EXPECT_EQ(markerDuring, (std::vector<std::pair<bool, uintmax_t>>{{true, 0}, {true, 0}}));
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(templateTable.Active());
    EXPECT_FALSE(liveTable.Active());
    for (const auto& [t, tags] : {std::pair{"a.dbf", aTags}, std::pair{"B.DBF", bTags}}) {
        SCOPED_TRACE(t);
        EXPECT_EQ(ReadTags(live, t), tags);
        EXPECT_EQ(ari::test::ReadRows(live + t), Surviving(ari::test::StandardRows()));
        EXPECT_EQ(ari::test::RecordCount(live + t), 3u);
        EXPECT_EQ(DbtoolCheck(live + t), 0);
    }
}

TEST_F(Pass, ATableMissingFromTheLiveFolderEndsTheRunWithOneError) {
    for (const char* t : {"a.dbf", "b.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        AddTags(tmpl, t, {{"NAME", "NAME"}});
    }
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    ari::test::WriteFileBytes(marker, "left behind by an interrupted run");

    EXPECT_FALSE(Run(false, true, true));

    const std::vector<std::string> expected = {
        "table-started index b.dbf",
        "definitions b.dbf NAME=NAME",
        // The platform's message names no file: the line names the live table after it.
        "log \\\\\\Error \"The specified file was not found: " + live +
            "b.dbf\" Time: \"10:00:00\"",
        "error The specified file was not found",
        "finished false",
    };
    EXPECT_EQ(EventsFrom("table-started index b.dbf"), expected);
    EXPECT_EQ(std::count_if(recorder.events.begin(), recorder.events.end(),
                            [](const std::string& e) { return e.rfind("error ", 0) == 0; }),
              1);
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"------Add Index a.dbf NAME",
                                        "\\\\\\Error \"The specified file was not found: " + live +
                                            "b.dbf\" Time: \"10:00:00\""}));
    EXPECT_FALSE(fs::exists(marker));
    EXPECT_FALSE(templateTable.Active());
    EXPECT_FALSE(liveTable.Active());
    // The first table was finished and stays so; the pack pass never came.
    EXPECT_EQ(ReadTags(live, "a.dbf"), (Tags{{"NAME", "NAME"}}));
    EXPECT_EQ(ari::test::RecordCount(live + "a.dbf"), 5u);
    EXPECT_EQ(FileNamesIn(live), (std::vector<std::string>{"a.dbf", "a.dbt", "a.mdx"}));
}

TEST_F(Pass, TheCallersTurnMayChangeTheOperationsAndItsLinesAreNotTheRuns) {
    for (const char* t : {"a.dbf", "b.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        ari::test::MakeTable(live + t, ari::test::StandardRows());
    }
    // The operator unticks the pack box while the first table's messages are pumped.
    recorder.onPump = [&](ari::RunOperations& operations) {
        AddLog(std::string("written by the caller"));
        operations.pack = false;
    };
    EXPECT_TRUE(Run(true, false, true));
    EXPECT_EQ(recorder.lines,
              (std::vector<std::string>{"---Copy Index a.dbf", "---Copy Index b.dbf",
                                        "---ReIndex has successfully Time: \"10:00:00\""}));
    EXPECT_EQ(log.Lines(),
              (std::vector<std::string>{"---Copy Index a.dbf", "written by the caller",
                                        "---Copy Index b.dbf", "written by the caller",
                                        "---ReIndex has successfully Time: \"10:00:00\""}));
    EXPECT_TRUE(EventsFrom("pass-started pack").empty());
    for (const char* t : {"a.dbf", "b.dbf"})
        EXPECT_EQ(ari::test::RecordCount(live + t), 5u) << t;  // not packed
}

// Follows the engine's progress within each table, with the table's start and end around it.
class ProgressRecorder : public ari::RunObserver {
  public:
    struct Event {
        std::string what;  // "started", "progress" or "finished"
        RunPass pass;
        std::string table;
        uint64_t done = 0, total = 0;
    };
    std::vector<Event> events;

    void TableStarted(RunPass pass, const std::string& table) override {
        events.push_back({"started", pass, table});
    }
    void TableProgress(RunPass pass, const std::string& table, uint64_t done,
                       uint64_t total) override {
        events.push_back({"progress", pass, table, done, total});
    }
    void TableFinished(RunPass pass, const std::string& table) override {
        events.push_back({"finished", pass, table});
    }
};

TEST_F(Pass, EachTablesRecordsDoneRiseToItsTotalInEveryBuildAndPack) {
    // Large enough for reports between the first record and the last of every loop.
    constexpr uint32_t kRecords = 40000;
    std::vector<ari::test::FixtureRow> big;
    for (uint32_t i = 0; i < kRecords; ++i)
        big.push_back(
            {std::to_string(i % 99999), "N" + std::to_string(kRecords - i), "", i % 10 == 0});
    const uint64_t kept = Surviving(big).size();
    const Tags tags = {{"ID", "ID"}, {"BYNAME", "UPPER(NAME)"}};
    for (const char* t : {"BIG.DBF", "small.dbf"}) {
        ari::test::MakeTable(tmpl + t, {});
        AddTags(tmpl, t, tags);
    }
    ari::test::MakeTable(live + "BIG.DBF", big, 1);
    ari::test::MakeTable(live + "small.dbf", ari::test::StandardRows(), 1);
    for (const char* t : {"BIG.DBF", "small.dbf"})
        AddTags(live, t, {{"STALE", "NAME"}});
    ProgressRecorder progress;

    ari::RunChoices choices;
    choices.templateFolderText = tmpl;
    choices.liveFolderText = live;
    choices.operations = {false, true, true};
    choices.markerPath = marker;
    ari::MaintenanceRun run(std::move(choices), templateTable, liveTable);
    run.AddObserver(&progress);
    run.AddObserver(&recorder);
    ASSERT_TRUE(run.Run());

    // Each loop: from 0, never falling, up to its total, all within the table's start and end.
    // The rebuild builds each tag over every record; the pack goes over every record and then
    // builds each tag over the ones it kept.
    struct Loops {
        std::vector<uint64_t> totals;
        size_t reports = 0;
    };
    std::map<std::pair<RunPass, std::string>, Loops> seen;
    const ProgressRecorder::Event* current = nullptr;  // the table's start
    uint64_t last = 0;
    for (const auto& e : progress.events) {
        SCOPED_TRACE(PassName(e.pass) + " " + e.table + " " + e.what + " " +
                     std::to_string(e.done) + "/" + std::to_string(e.total));
        if (e.what == "started") {
            EXPECT_EQ(current, nullptr);
            current = &e;
            last = 0;
            continue;
        }
        ASSERT_NE(current, nullptr) << "outside a table";
        EXPECT_EQ(e.pass, current->pass);
        EXPECT_EQ(e.table, current->table);
        Loops& loops = seen[{e.pass, e.table}];
        if (e.what == "finished") {
            EXPECT_EQ(last, loops.totals.empty() ? 0 : loops.totals.back()) << "a loop ended early";
            current = nullptr;
            continue;
        }
        ++loops.reports;
        if (e.done == 0) {
            if (!loops.totals.empty()) {
                EXPECT_EQ(last, loops.totals.back()) << "a loop ended early";
            }
            loops.totals.push_back(e.total);
        } else {
            ASSERT_FALSE(loops.totals.empty()) << "a loop that did not start at 0";
            EXPECT_EQ(e.total, loops.totals.back());
            EXPECT_GE(e.done, last);
            EXPECT_LE(e.done, e.total);
        }
        last = e.done;
    }
    EXPECT_EQ(current, nullptr);

    const auto totals = [&](RunPass pass, const std::string& table) {
        return seen[{pass, table}].totals;
    };
    // The rebuild may build the copied index's tags too before it adds the template's: its
    // last two loops are the template's two tags.
    for (const auto& [table, records] :
         {std::pair<std::string, uint64_t>{"BIG.DBF", kRecords}, {"small.dbf", 5}}) {
        SCOPED_TRACE(table);
        const std::vector<uint64_t> index = totals(RunPass::Index, table);
        ASSERT_GE(index.size(), 2u);
        EXPECT_EQ(std::vector<uint64_t>(index.end() - 2, index.end()),
                  (std::vector<uint64_t>{records, records}));
    }
    EXPECT_EQ(totals(RunPass::Pack, "BIG.DBF"), (std::vector<uint64_t>{kRecords, kept, kept}));
    EXPECT_EQ(totals(RunPass::Pack, "small.dbf"), (std::vector<uint64_t>{5, 3, 3}));
    // A loop over the large table reports on its way, not only at its ends.
    const size_t packReports = seen[{RunPass::Pack, "BIG.DBF"}].reports;
    const size_t indexReports = seen[{RunPass::Index, "BIG.DBF"}].reports;
    EXPECT_GT(packReports, 3 * 3u);
    EXPECT_GT(indexReports, 2 * 3u);

    EXPECT_EQ(ari::test::ReadRows(live + "BIG.DBF"), Surviving(big));
    EXPECT_EQ(ReadTags(live, "BIG.DBF"), tags);
    EXPECT_EQ(DbtoolCheck(live + "BIG.DBF"), 0);
}

// Every report of the engine with its phase: between a tag's pass over the records and the
// next, the sort of its keys and the writing of its keys, each a loop of its own.
class PhaseRecorder : public ari::RunObserver {
  public:
    struct Loop {
        RunPass pass;
        std::string table;
        ari::engine::ProgressPhase phase;
        uint64_t total = 0;
        std::vector<uint64_t> done;  // every report's figure, in order
    };
    std::vector<Loop> loops;
    std::vector<std::string> faults;

    void TablePhase(RunPass pass, const std::string& table, ari::engine::ProgressPhase phase,
                    uint64_t done, uint64_t total) override {
        if (done == 0 || loops.empty()) {
            if (!loops.empty() && loops.back().done.back() != loops.back().total)
                faults.push_back("a loop ended early in " + table);
            loops.push_back({pass, table, phase, total, {}});
        }
        Loop& loop = loops.back();
        if (loop.pass != pass || loop.table != table || loop.phase != phase ||
            loop.total != total || (!loop.done.empty() && done < loop.done.back()) || done > total)
            faults.push_back("a report out of its loop in " + table);
        loop.done.push_back(done);
    }
};

TEST_F(Pass, EachTagsSortAndIndexWriteAreReportedAfterItsPassOverTheRecords) {
    constexpr uint32_t kRecords = 60000;
    std::vector<ari::test::FixtureRow> big;
    for (uint32_t i = 0; i < kRecords; ++i)
        big.push_back({std::to_string((i * 7919) % 99999), "N" + std::to_string(kRecords - i), "",
                       i % 10 == 0});
    const uint64_t kept = Surviving(big).size();
    const Tags tags = {{"ID", "ID"}, {"BYNAME", "UPPER(NAME)"}};
    ari::test::MakeTable(tmpl + "BIG.DBF", {});
    AddTags(tmpl, "BIG.DBF", tags);
    ari::test::MakeTable(live + "BIG.DBF", big, 1);
    PhaseRecorder phases;
    ari::RunChoices choices;
    choices.templateFolderText = tmpl;
    choices.liveFolderText = live;
    choices.operations = {false, true, true};
    choices.markerPath = marker;
    ari::MaintenanceRun run(std::move(choices), templateTable, liveTable);
    run.AddObserver(&phases);
    ASSERT_TRUE(run.Run());
    EXPECT_TRUE(phases.faults.empty()) << phases.faults.front();
    ASSERT_FALSE(phases.loops.empty());
    EXPECT_EQ(phases.loops.back().done.back(), phases.loops.back().total);

    using Phase = ari::engine::ProgressPhase;
    const auto sequence = [&](RunPass pass) {
        std::vector<std::pair<Phase, uint64_t>> out;
        for (const auto& loop : phases.loops)
            if (loop.pass == pass)
                out.push_back({loop.phase, loop.total});
        return out;
    };
    // The rebuild: each tag read over every record, its keys sorted, then written.
    const std::vector<std::pair<Phase, uint64_t>> tag = {
        {Phase::Reading, kRecords}, {Phase::Sorting, kRecords}, {Phase::Writing, kRecords}};
    std::vector<std::pair<Phase, uint64_t>> rebuild = tag;
    rebuild.insert(rebuild.end(), tag.begin(), tag.end());
    EXPECT_EQ(sequence(RunPass::Index), rebuild);
    // The pack: its pass over the records, then each tag, from the rebuild's keys or built anew.
    const std::vector<std::pair<Phase, uint64_t>> pack = sequence(RunPass::Pack);
    ASSERT_FALSE(pack.empty());
    EXPECT_EQ(pack.front(), std::make_pair(Phase::Packing, uint64_t{kRecords}));
    const std::vector<std::pair<Phase, uint64_t>> fromKeys = {
        {Phase::Packing, kRecords}, {Phase::Renumbering, kept}, {Phase::Renumbering, kept}};
    std::vector<std::pair<Phase, uint64_t>> rebuilt = {{Phase::Packing, kRecords}};
    for (int i = 0; i < 2; ++i)
        for (const Phase p : {Phase::Reading, Phase::Sorting, Phase::Writing})
            rebuilt.push_back({p, kept});
    EXPECT_TRUE(pack == fromKeys || pack == rebuilt);
    // The long loops report on their way: the write every 16384 keys, the sort as the buckets
    // of the first byte that tells keys apart are done (the names' second letter: the ID keys'
    // first bytes put nine in ten of them into one bucket).
    size_t sortsReportedOnTheirWay = 0;
    for (const auto& loop : phases.loops) {
        if (loop.pass == RunPass::Index && loop.phase == Phase::Writing) {
            EXPECT_GT(loop.done.size(), 3u);
        }
        if (loop.phase == Phase::Sorting && loop.done.size() > 2)
            ++sortsReportedOnTheirWay;
    }
    EXPECT_GE(sortsReportedOnTheirWay, 1u);
    EXPECT_EQ(ari::test::ReadRows(live + "BIG.DBF"), Surviving(big));
    EXPECT_EQ(DbtoolCheck(live + "BIG.DBF"), 0);
}

// The summary counts the records the pack read, not the header's claim: a header that says 1
// over a file of 300 records (75 deleted) is a table of 300 records, of which the pack removed 75.
TEST_F(Pass, TheSummaryCountsTheRecordsReadNotTheHeadersClaim) {
    std::vector<ari::test::FixtureRow> rows;
    for (int i = 0; i < 300; ++i)
        rows.push_back({std::to_string(i), "name" + std::to_string(i), "", i % 4 == 0});
    ari::test::MakeTable(live + "stale.dbf", rows);
    std::string bytes = ari::test::Bytes(live + "stale.dbf");
    bytes[4] = 1, bytes[5] = bytes[6] = bytes[7] = 0;  // the header's record count: 1
    ari::test::WriteFileBytes(live + "stale.dbf", bytes);

    ari::RunChoices choices;
    choices.templateFolderText = tmpl;
    choices.liveFolderText = live;
    choices.operations = {false, false, true};
    choices.markerPath = marker;
    ari::RunSummary summary(live, choices.operations);
    ari::MaintenanceRun run(std::move(choices), templateTable, liveTable);
    run.AddObserver(&summary);
    ASSERT_TRUE(run.Run());
    ASSERT_EQ(summary.Tables().size(), 1u);
    EXPECT_EQ(summary.Tables()[0].recordsBefore, 300);
    EXPECT_EQ(summary.Tables()[0].recordsAfter, 225);
    const std::string block = ari::JoinedLines(summary.Lines("stamp"));
    EXPECT_NE(block.find("records 300 -> 225; deleted records removed 75;"), std::string::npos)
        << block;
}

// The summary keeps each file's bytes apart: a table the pack shrank beside the index the rebuild
// made or grew, and its memo; a file that never existed is not named, one that did not yet
// exist is "none" before.
TEST_F(Pass, TheSummaryKeepsTheBytesOfTableIndexAndMemoApart) {
    // c.dbf has no memo field: a table of names alone, one record in three deleted.
    const auto namesOnly = [](const std::string& path, int records) {
        ari::engine::DbfWriter w(path, {{"NAME", 'C', 10, 0, 0}});
        std::string record(w.RecordLength(), ' ');
        for (int i = 0; i < records; ++i) {
            record[0] = i % 3 == 0 ? '*' : ' ';
            record.replace(1, 10, "name" + std::to_string(100000 + i));
            w.AppendRaw(reinterpret_cast<const uint8_t*>(record.data()));
        }
        w.Finish();
    };
    for (const char* t : {"a.dbf", "b.dbf"})
        ari::test::MakeTable(tmpl + t, {});
    namesOnly(tmpl + "c.dbf", 0);
    for (const char* t : {"a.dbf", "b.dbf", "c.dbf"})
        AddTags(tmpl, t, {{"NAME", "NAME"}});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());  // memos, no index
    std::vector<ari::test::FixtureRow> plain;
    for (int i = 0; i < 60; ++i)
        plain.push_back({std::to_string(i), "name" + std::to_string(i), "", i % 3 == 0});
    ari::test::MakeTable(live + "b.dbf", plain);
    AddTags(live, "b.dbf", {{"STALE", "NAME"}, {"ID", "ID"}});  // an index of its own
    namesOnly(live + "c.dbf", 60);                              // no memo, no index
    ASSERT_TRUE(fs::exists(live + "a.dbt"));
    ASSERT_FALSE(fs::exists(live + "a.mdx"));
    ASSERT_FALSE(fs::exists(live + "c.dbt"));
    const auto size = [this](const char* name) {
        return std::to_string(fs::file_size(live + name));
    };
    const std::string aTable = size("a.dbf"), aMemo = size("a.dbt");
    const std::string bTable = size("b.dbf"), bIndex = size("b.mdx"), bMemo = size("b.dbt");
    const std::string cTable = size("c.dbf");

    ari::RunChoices choices;
    choices.templateFolderText = tmpl;
    choices.liveFolderText = live;
    choices.operations = {false, true, true};
    choices.markerPath = marker;
    ari::RunSummary summary(live, choices.operations);
    ari::MaintenanceRun run(std::move(choices), templateTable, liveTable);
    run.AddObserver(&summary);
    ASSERT_TRUE(run.Run());
    ASSERT_NE(bTable, size("b.dbf"));  // the pack did shrink them
    ASSERT_NE(cTable, size("c.dbf"));
    const std::vector<std::string> lines = summary.Lines(clock);
    const auto lineOf = [&lines](const std::string& table) {
        for (const std::string& l : lines)
            if (l.rfind("table " + table + ": ", 0) == 0)
                return l;
        return std::string();
    };
    const std::string a = lineOf("a.dbf"), b = lineOf("b.dbf"), c = lineOf("c.dbf");
    EXPECT_NE(a.find("; table bytes " + aTable + " -> " + size("a.dbf") + "; index bytes none -> " +
                     size("a.mdx") + "; memo bytes " + aMemo + " -> " + size("a.dbt") + "; time "),
              std::string::npos)
        << a;
    EXPECT_NE(b.find("; table bytes " + bTable + " -> " + size("b.dbf") + "; index bytes " +
                     bIndex + " -> " + size("b.mdx") + "; memo bytes " + bMemo + " -> " +
                     size("b.dbt") + "; time "),
              std::string::npos)
        << b;
    EXPECT_NE(c.find("; table bytes " + cTable + " -> " + size("c.dbf") + "; index bytes none -> " +
                     size("c.mdx") + "; time "),
              std::string::npos)
        << c;
    EXPECT_EQ(c.find("memo"), std::string::npos) << c;
    for (const std::string& l : lines)
        EXPECT_EQ(l.find("; bytes "), std::string::npos) << l;
}

// A live table in another user's hands keeps its index through the transfer: the run decides so
// in one place and says it to its observers, the log holding only the copy line; a rebuild in
// the same run needs the same sole use and stops the run with its error.
TEST_F(Pass, ATableInUseKeepsItsIndexThroughTheTransferAndStopsTheRebuild) {
    ari::test::MakeTable(tmpl + "a.dbf", {});
    AddTags(tmpl, "a.dbf", {{"ID", "ID"}});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows(), 1);
    AddTags(live, "a.dbf", {{"NAME", "NAME"}});
    const std::string indexBefore = ari::test::Bytes(live + "a.mdx");
    ari::test::HeldByChild held(live, "a.dbf");
    ASSERT_TRUE(held.Holding());

    EXPECT_TRUE(Run(true, false, false));
    EXPECT_EQ(
        EventsFrom("table-started index a.dbf"),
        (std::vector<std::string>{
            "table-started index a.dbf", "log ---Copy Index a.dbf", "transfer-skipped-in-use a.dbf",
            "table-finished index a.dbf", "progress 1/1", "pump", "pass-finished index",
            "log ---ReIndex has successfully Time: \"10:00:00\"", "finished true"}));
    EXPECT_EQ(ari::test::Bytes(live + "a.mdx"), indexBefore);

    recorder.events.clear();
    EXPECT_FALSE(Run(true, true, false));
    const std::vector<std::string> events = EventsFrom("transfer-skipped-in-use a.dbf");
    ASSERT_FALSE(events.empty());
    const auto error = std::find_if(events.begin(), events.end(), [](const std::string& e) {
        return e.rfind("log \\\\\\Error ", 0) == 0;
    });
    ASSERT_NE(error, events.end()) << Joined(events);
    EXPECT_EQ(std::count_if(events.begin(), error,
                            [](const std::string& e) { return e.rfind("index-added", 0) == 0; }),
              0);
    EXPECT_EQ(ari::test::Bytes(live + "a.mdx"), indexBefore);
}

// An error line names the file the error is about: the error's own file when its message does
// not name it ("I/O error 32" is no path), else the table the run was at when the error carries
// none and names no path.
TEST_F(Pass, AnErrorLineNamesTheFileItIsAbout) {
    ari::test::MakeTable(tmpl + "a.dbf", {});
    AddTags(tmpl, "a.dbf", {{"NAME", "NAME"}});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    const std::string index = live + "a.mdx", table = live + "a.dbf";
    struct Case {
        const char* what;
        std::function<void()> raise;
        std::string line;
    } cases[] = {
        {"an error in use about the index", [&] { throw EInOutError(32, "I/O error 32", index); },
         "I/O error 32: " + index},
        {"a full disk about a temporary file",
         [&] { throw EInOutError(101, "Disk full", live + ".a.dbf.pack.tmp"); },
         "Disk full: " + live + ".a.dbf.pack.tmp"},
        {"a message that names its file",
         [&] { throw EInOutError(32, "I/O error 32 - " + index, index); },
         "I/O error 32 - " + index},
        {"no file, a message without a path",
         [] { throw EDatabaseError("Table  must be opened to pack"); },
         "Table  must be opened to pack: " + table},
        {"no file, an I/O error without a path", [] { throw EInOutError(1005, "I/O error 1005"); },
         "I/O error 1005: " + table},
        {"no file, a message that names a path",
         [&] { throw EInOutError(5, index + " is a symbolic link"); },
         index + " is a symbolic link"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log.clear();
        recorder.onPump = [&](ari::RunOperations&) { c.raise(); };
        EXPECT_FALSE(Run(false, true, false));
        EXPECT_EQ(log.Lines().back(), "\\\\\\Error \"" + c.line + "\" Time: \"10:00:00\"");
    }
}

// A damaged live table is refused by the index steps as the pack refuses it: the run ends with
// an error line that names the damage, and the live table and its index stay byte for byte.
TEST_F(Pass, TheIndexStepsRefuseADamagedTableAndLeaveItsIndex) {
    ari::test::MakeTable(tmpl + "a.dbf", {});
    AddTags(tmpl, "a.dbf", {{"ID", "ID"}, {"NAME", "NAME"}});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows(), 0, 0x57);
    AddTags(live, "a.dbf", {{"STALE", "NAME"}});
    std::map<std::string, std::string> sound;
    for (const auto& n : FileNamesIn(live))
        sound[n] = Bytes(live + n);
    const std::string& bytes = sound.at("a.dbf");
    const auto at16 = [&](size_t at) {
        return static_cast<unsigned>(static_cast<uint8_t>(bytes[at])) |
               static_cast<unsigned>(static_cast<uint8_t>(bytes[at + 1])) << 8;
    };
    const unsigned headerLength = at16(8), recordLength = at16(10);
    struct Case {
        const char* what;
        std::function<void(std::string&)> damage;
        std::string fragment;
    } cases[] = {
        {"header length one record too long",
         [&](std::string& b) {
             b[8] = static_cast<char>((headerLength + recordLength) & 0xFF);
             b[9] = static_cast<char>((headerLength + recordLength) >> 8);
         },
         "Header length " + std::to_string(headerLength + recordLength) +
             " disagrees with the field descriptors"},
        {"file ends inside a record",
         [](std::string& b) {
             b.pop_back();  // the end byte
             b += " 77";
         },
         "The file ends inside record 6: 3 of its " + std::to_string(recordLength) +
             " bytes are there."},
    };
    struct Steps {
        const char* what;
        bool transfer, rebuild;
    } steps[] = {{"rebuild", false, true}, {"transfer", true, false}, {"both", true, true}};
    for (const auto& c : cases) {
        for (const auto& step : steps) {
            SCOPED_TRACE(std::string(c.what) + ", " + step.what);
            for (const auto& [n, b] : sound)
                ari::test::WriteFileBytes(live + n, b);
            std::string table = bytes;
            c.damage(table);
            ari::test::WriteFileBytes(live + "a.dbf", table);
            std::map<std::string, std::string> before;
            for (const auto& n : FileNamesIn(live))
                before[n] = Bytes(live + n);
            log.clear();
            EXPECT_FALSE(Run(step.transfer, step.rebuild, false));
            ASSERT_FALSE(log.Lines().empty());
            EXPECT_NE(log.Lines().back().find(c.fragment), std::string::npos) << log.Lines().back();
            std::vector<std::string> changed;
            for (const auto& n : FileNamesIn(live))
                if (!before.count(n) || Bytes(live + n) != before.at(n))
                    changed.push_back(n);
            EXPECT_EQ(changed, std::vector<std::string>{});
            EXPECT_EQ(FileNamesIn(live).size(), before.size());
        }
    }
}

}  // namespace

// A table refused because another program holds it: the log's error line keeps its fixed text
// ("I/O error 32 - <table>"), and the journal's result says why, in the words of the dry run.
TEST_F(Pass, ARefusedTableSaysWhyInTheJournal) {
    struct Case {
        const char* what;
        char type;
        uint64_t start;
        const char* why;
    } cases[] = {
        {"a record lock", 'w', ari::engine::kDbaseLockBase - 1,
         "Another program has locked record 1."},
        {"the table locked for update", 'w', ari::engine::kDbaseLockBase,
         "Another program has locked the table for update."},
    };
    ari::test::MakeTable(tmpl + "a.dbf", {});
    AddTags(tmpl, "a.dbf", {{"ID", "ID"}});
    ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const ari::test::ForeignLock holder(live + "a.dbf", c.type, c.start, 1);
        ari::RunChoices choices;
        choices.templateFolderText = tmpl;
        choices.liveFolderText = live;
        choices.operations = {false, true, false};
        choices.markerPath = marker;
        ari::RunSummary summary(live, choices.operations);
        ari::MaintenanceRun run(std::move(choices), templateTable, liveTable);
        run.AddObserver(&summary);
        log.clear();
        EXPECT_FALSE(run.Run());
        const std::string fixed = "I/O error 32 - " + live + "a.dbf";
        ASSERT_EQ(summary.Tables().size(), 1u);
        EXPECT_EQ(summary.Tables()[0].result, "failed: " + fixed + " (" + c.why + ")");
        const std::string text = log.toPlainText();
        EXPECT_NE(text.find("Error \"" + fixed + "\""), std::string::npos) << text;
        EXPECT_EQ(text.find(c.why), std::string::npos) << "the log's line stays as it was";
    }
}

// A live table, memo or index file marked read-only (no write permission for anyone, as the
// read-only attribute on Windows) stays as it is, bytes and mark, whoever runs the pass (root
// too, as an administrator on Windows): the pack and the rebuild refuse before they write
// anything, naming the file.
TEST_F(Pass, AReadOnlyTableMemoOrIndexIsRefusedAndKept) {
    ari::test::MakeTable(tmpl + "a.dbf", {});
    AddTags(tmpl, "a.dbf", {{"ID", "ID"}});
    for (const bool pack : {true, false}) {
        for (const char* name : {"a.dbf", "a.dbt", "a.mdx"}) {
            SCOPED_TRACE(std::string(pack ? "pack " : "rebuild ") + name);
            ari::test::MakeTable(live + "a.dbf", ari::test::StandardRows());
            AddTags(live, "a.dbf", {{"ID", "ID"}});
            fs::permissions(live + name,
                            fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
            std::map<std::string, std::string> before;
            for (const char* f : {"a.dbf", "a.dbt", "a.mdx"})
                before[f] = ari::test::Bytes(live + f);
            log.clear();
            EXPECT_FALSE(Run(false, !pack, pack));
            for (const char* f : {"a.dbf", "a.dbt", "a.mdx"})
                EXPECT_EQ(ari::test::Bytes(live + f), before[f]) << f;
            EXPECT_EQ(fs::status(live + name).permissions() & fs::perms::all,
                      fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
            const std::string text = log.toPlainText();
            EXPECT_NE(text.find(live + name), std::string::npos) << text;
            EXPECT_NE(text.find("read-only"), std::string::npos) << text;
            EXPECT_EQ(ari::test::FileNamesIn(live),
                      (std::vector<std::string>{"a.dbf", "a.dbt", "a.mdx"}));
            fs::permissions(live + name, fs::perms::owner_write, fs::perm_options::add);
            for (const char* f : {"a.dbf", "a.dbt", "a.mdx"})
                fs::remove(live + f);
        }
    }
}
