// dbtool against an independent reader (python3-dbfread) on the sample tables, its check
// verdicts on damaged tables, and its pack.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::test;
using ari::engine::DbfWriter;

namespace {

CommandResult Dbtool(const std::string& args) {
    return RunCommand(std::string(ARI_BIN_DIR) + "/dbtool " + args + " 2>&1");
}

struct Record {
    char tag = '?';
    std::vector<std::pair<std::string, std::string>> fields;  // name, value text after '='
};

// "[recno] T NAME=hex ..." lines into records.
std::vector<Record> ParseRecords(const std::vector<std::string>& lines, bool withRecno) {
    std::vector<Record> out;
    for (const auto& line : lines) {
        std::istringstream in(line);
        std::string word;
        if (withRecno)
            in >> word;
        Record r;
        in >> word;
        r.tag = word.empty() ? '?' : word[0];
        while (in >> word) {
            const auto eq = word.find('=');
            r.fields.emplace_back(word.substr(0, eq), word.substr(eq + 1));
        }
        out.push_back(std::move(r));
    }
    return out;
}

std::string Unhex(const std::string& hex) {
    std::string s;
    for (size_t i = 0; i + 1 < hex.size(); i += 2)
        s += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    return s;
}

// How dbfread returns a memo, from the memo our reader returns: dBASE III text up to the first
// 0x1A; dBASE IV the stored length read after the 8-byte block header (so up to 8 bytes of what
// follows) cut at the first 0x1F.
bool DbfreadMemoAgrees(bool dbase3, const std::string& ours, const std::string& theirs) {
    if (dbase3)
        return theirs == ours.substr(0, ours.find('\x1a'));
    const auto unit = ours.find('\x1f');
    if (unit != std::string::npos)
        return theirs == ours.substr(0, unit);
    return theirs.compare(0, ours.size(), ours) == 0 && theirs.size() <= ours.size() + 8;
}

std::map<std::string, std::string> InfoFields(const std::string& output) {
    std::map<std::string, std::string> m;
    for (const auto& line : SplitLines(output)) {
        const auto colon = line.find(": ");
        if (colon != std::string::npos && line[0] != ' ')
            m[line.substr(0, colon)] = line.substr(colon + 2);
    }
    return m;
}

}  // namespace

TEST(DbtoolSamples, InfoAndDumpAgreeWithDbfreadFieldByField) {
    const std::string samples = SamplesDir();
    if (samples.empty())
        GTEST_SKIP() << "the samples folder beside the project is absent";
    if (!PythonModuleAvailable("dbfread"))
        GTEST_SKIP() << "python3-dbfread is not installed";
    const char* tables[] = {"dbase3/dbase_03.dbf", "dbase3/dbase_83.dbf", "dbase3/test.dbf",
                            "dbase4/DBASE4.dbf",   "dbase4/dbase_8b.dbf", "foxpro/calls.dbf",
                            "foxpro/dbase_30.dbf", "mdx/disco.DBF",       "mdx/TDBF_DEMO.DBF"};
    for (const char* table : tables) {
        SCOPED_TRACE(table);
        const std::string path = samples + table;
        const auto info = Dbtool("info " + ShellQuote(path));
        ASSERT_EQ(info.exitCode, 0) << info.output;
        const auto ours = InfoFields(info.output);
        // Header facts and the field list, as both read them.
        std::vector<std::string> ourFacts{"version " + ours.at("Version"),
                                          "records " + ours.at("Records in header")};
        for (const auto& line : SplitLines(info.output))
            if (line.rfind("  ", 0) == 0) {
                std::istringstream in(line);
                std::string name, type, len, dec;
                in >> name >> type >> len >> dec;
                ourFacts.push_back("field " + name + " " + type + " " + len + " " + dec);
            }
        EXPECT_EQ(ourFacts, DbfreadInfo(path));

        const auto dump = Dbtool("dump " + ShellQuote(path));
        ASSERT_EQ(dump.exitCode, 0) << dump.output;
        auto mine = ParseRecords(SplitLines(dump.output), true);
        // dbfread lists live records first, then deleted ones: order ours the same way.
        std::stable_partition(mine.begin(), mine.end(),
                              [](const Record& r) { return r.tag == 'L'; });
        const auto theirs = ParseRecords(DbfreadRecords(path), false);
        ASSERT_EQ(mine.size(), theirs.size());
        EXPECT_EQ(std::to_string(std::count_if(mine.begin(), mine.end(),
                                               [](const Record& r) { return r.tag == 'D'; })),
                  ours.at("Deleted records"));

        const std::string memoPath = ari::engine::FindCompanion(path, ".dbt");
        const std::string memoHead =
            memoPath.empty() ? std::string() : ReadFileBytes(memoPath).substr(0, 22);
        const bool dbase3 = ours.at("Version") == "0x83";
        // dbfread reads dBASE IV memos in 512-byte blocks whatever the file says.
        const bool memosComparable =
            dbase3 || (memoHead.size() == 22 && memoHead[20] == 0 && memoHead[21] == 2);
        size_t memosCompared = 0;
        for (size_t i = 0; i < mine.size(); ++i) {
            ASSERT_EQ(mine[i].tag, theirs[i].tag) << i;
            ASSERT_EQ(mine[i].fields.size(), theirs[i].fields.size());
            for (size_t k = 0; k < mine[i].fields.size(); ++k) {
                const auto& [name, value] = mine[i].fields[k];
                EXPECT_EQ(name, theirs[i].fields[k].first);
                const std::string& other = theirs[i].fields[k].second;
                if (value.rfind("memo:", 0) == 0) {
                    if (!memosComparable)
                        continue;
                    ++memosCompared;
                    EXPECT_TRUE(
                        DbfreadMemoAgrees(dbase3, Unhex(value.substr(5)), Unhex(other.substr(5))))
                        << "record " << i << " field " << name;
                } else {
                    EXPECT_EQ(value, other) << "record " << i << " field " << name;
                }
            }
        }
        if (memosComparable && !memoPath.empty()) {
            EXPECT_GT(memosCompared, 0u);
        }
    }
    const auto refused = Dbtool("info " + ShellQuote(samples + "dbase4/dbase_8c.dbf"));
    EXPECT_EQ(refused.exitCode, 2);
    EXPECT_NE(refused.output.find("level 7"), std::string::npos) << refused.output;
}

TEST(DbtoolCheck, SoundOnlyWhenNothingIsWrongAndNamesTheFirstFault) {
    struct Case {
        const char* name;
        std::function<void(const std::string& folder)> damage;
        int exitCode;
        const char* mentions;
    } cases[] = {
        {"sound", [](const std::string&) {}, 0, "OK"},
        {"bad deletion flag",
         [](const std::string& d) {
             auto b = ReadFileBytes(d + "T.DBF");
             b[b.size() - 1 - 2 * 25] = 'X';  // flag of record 2 (records of 25 bytes)
             WriteFileBytes(d + "T.DBF", b);
         },
         1, "Record 2 has the invalid deletion flag"},
        {"count too high",
         [](const std::string& d) {
             auto b = ReadFileBytes(d + "T.DBF");
             b[4] = 9;
             WriteFileBytes(d + "T.DBF", b);
         },
         1, "counts 9 records but the file holds 3"},
        {"memo pointer past the end",
         [](const std::string& d) {
             auto b = ReadFileBytes(d + "T.DBF");
             b.replace(b.size() - 1 - 10, 10, "      4000");  // record 3's memo pointer
             WriteFileBytes(d + "T.DBF", b);
         },
         1, "Record 3, field NOTES"},
        {"memo file missing", [](const std::string& d) { ari::RemoveFile(d + "T.DBT"); }, 1,
         "T.dbt is missing"},
        {"empty file", [](const std::string& d) { WriteFileBytes(d + "T.DBF", ""); }, 1, "empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempFolder dir;
        {
            DbfWriter w(dir / "T.DBF", {{"NAME", 'C', 14, 0, 0}, {"NOTES", 'M', 10, 0, 0}}, 0x83);
            w.Append({"one", "1"});
            w.Append({"two", ""}, true);
            w.Append({"three", "2"});
            w.Finish();
        }
        std::string dbt(512, '\0');
        dbt[0] = 3;
        WriteFileBytes(dir / "T.DBT",
                       dbt + "first\x1a\x1a" + std::string(505, ' ') + "second\x1a\x1a");
        c.damage(dir.Path());
        const auto r = Dbtool("check " + ShellQuote(dir / "T.DBF"));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_NE(r.output.find(c.mentions), std::string::npos) << r.output;
    }
}

TEST(DbtoolPack, PacksDbaseTablesAndRefusesOthers) {
    TempFolder dir;
    {
        DbfWriter w(dir / "T.DBF", {{"NAME", 'C', 10, 0, 0}});
        for (int i = 0; i < 10; ++i)
            w.Append({"n" + std::to_string(i)}, i < 4);
        w.Finish();
    }
    const auto r = Dbtool("pack " + ShellQuote(dir / "T.DBF"));
    EXPECT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("6 records kept, 4 deleted records dropped"), std::string::npos)
        << r.output;
    EXPECT_EQ(Dbtool("check " + ShellQuote(dir / "T.DBF")).exitCode, 0);

    WriteFileBytes(dir / "T.FPT", std::string(512, '\0'));
    const auto fox = Dbtool("pack " + ShellQuote(dir / "T.DBF"));
    EXPECT_EQ(fox.exitCode, 2);
    EXPECT_NE(fox.output.find("FOXPRO"), std::string::npos) << fox.output;
}

TEST(DbtoolPack, ATableWithAProductionIndexIsPackedWithASoundIndex) {
    const std::string samples = SamplesDir();
    if (samples.empty())
        GTEST_SKIP() << "the samples folder beside the project is absent";
    TempFolder dir;
    WriteFileBytes(dir / "disco.DBF", ReadFileBytes(samples + "mdx/disco.DBF"));
    WriteFileBytes(dir / "disco.mdx", ReadFileBytes(samples + "mdx/disco.mdx"));
    // Mark every fifth record deleted.
    auto bytes = ReadFileBytes(dir / "disco.DBF");
    size_t hl, rl, n;
    {
        const auto f =
            ari::engine::DbfFile::Open(dir / "disco.DBF", ari::engine::ShareMode::Shared);
        hl = f->HeaderLength(), rl = f->RecordLength(), n = f->RecordCount();
    }
    size_t live = 0;
    for (size_t i = 0; i < n; ++i) {
        if (i % 5 == 0)
            bytes[hl + i * rl] = '*';
        live += bytes[hl + i * rl] == ' ';
    }
    WriteFileBytes(dir / "disco.DBF", bytes);
    const auto r = Dbtool("pack " + ShellQuote(dir / "disco.DBF"));
    ASSERT_EQ(r.exitCode, 0) << r.output;
    const auto check = Dbtool("check " + ShellQuote(dir / "disco.DBF"));
    EXPECT_EQ(check.exitCode, 0) << check.output;
    EXPECT_NE(Dbtool("info " + ShellQuote(dir / "disco.DBF"))
                  .output.find("Records: " + std::to_string(live)),
              std::string::npos);
    EXPECT_EQ(FileNamesIn(dir.Path()), (std::vector<std::string>{"disco.DBF", "disco.mdx"}));
}

// ---- command lines

namespace {

// A table with repeated names for the index commands: ID N(3), NAME C(8).
std::string MakeNamesTable(const TempFolder& dir) {
    DbfWriter w(dir / "T.DBF", {{"ID", 'N', 3, 0, 0}, {"NAME", 'C', 8, 0, 0}});
    const char* names[] = {"mina", "ali", "sara", "ali", "reza", "mina", "ali"};
    for (int i = 0; i < 7; ++i)
        w.Append({std::to_string(10 - i), names[i]});
    w.Finish();
    return dir / "T.DBF";
}

// Every file of a folder with its bytes.
std::map<std::string, std::string> FolderBytes(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& n : FileNamesIn(folder))
        out[n] = ReadFileBytes(folder + n);
    return out;
}

}  // namespace

// A command line that does not fit its command is refused with the command's usage line, and
// touches no file; help is printed on standard output with exit code 0.
TEST(DbtoolCommandLine, RefusesWhatDoesNotFitAndPrintsHelp) {
    struct Case {
        const char* args;  // shell words; the word T stands for the table
        int exitCode;
        const char* mentions;  // in standard output and error together
    } cases[] = {
        {"help", 0, "dbtool index TABLE NAME EXPR [--for COND] [--unique] [--descending]"},
        {"--help", 0, "dbtool keys TABLE TAG"},
        {"help check", 0, "usage: dbtool check TABLE\n"},
        {"index --help", 0, "usage: dbtool index TABLE NAME EXPR [--for COND] [--unique]"},
        {"check T --help", 0, "usage: dbtool check TABLE\n"},
        {"", 2, "usage: dbtool COMMAND"},
        {"frob T", 2, "dbtool: unknown command frob"},
        {"check T --for 'ID>1'", 2,
         "dbtool check: unknown option --for\nusage: dbtool check TABLE"},
        {"pack T --force", 2, "dbtool pack: unknown option --force\nusage: dbtool pack TABLE"},
        {"info T T", 2, "dbtool info: unexpected argument"},
        {"tags", 2, "dbtool tags: missing TABLE\nusage: dbtool tags TABLE"},
        {"keys T", 2, "dbtool keys: missing TAG\nusage: dbtool keys TABLE TAG"},
        {"index T BYNAME", 2, "dbtool index: missing EXPR\nusage: dbtool index TABLE NAME EXPR"},
        {"index T BYNAME NAME ID", 2, "dbtool index: unexpected argument ID"},
        {"index T BYNAME NAME --filter 'ID>1'", 2, "dbtool index: unknown option --filter"},
        {"index T BYNAME NAME --for", 2, "dbtool index: option --for needs COND"},
        {"index T BYNAME NAME --unique=yes", 2, "dbtool index: option --unique takes no value"},
        {"index T BYNAME NAME --unique --unique", 2, "option --unique given twice"},
        {"index T BYNAME NAME --for ''", 2, "dbtool index: the FOR condition is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        TempFolder dir;
        const std::string table = MakeNamesTable(dir);
        const auto before = FolderBytes(dir.Path());
        std::string args;
        std::istringstream words(c.args);
        for (std::string w; words >> w;)
            args += (args.empty() ? "" : " ") + (w == "T" ? ShellQuote(table) : w);
        const auto r = Dbtool(args);
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_NE(r.output.find(c.mentions), std::string::npos) << r.output;
        EXPECT_EQ(FolderBytes(dir.Path()), before);
        if (c.exitCode == 0) {
            // Help goes to standard output.
            const auto out =
                RunCommand(std::string(ARI_BIN_DIR) + "/dbtool " + args + " 2>/dev/null");
            EXPECT_NE(out.output.find("usage: dbtool"), std::string::npos) << out.output;
        }
    }
}

// Any tag the format allows: FOR condition, unique and descending, alone and together, the
// options before, between or after the arguments; each tag walks as the model says, checked by
// the Perl reader, and the table passes the check.
TEST(DbtoolCommandLine, IndexMakesUniqueDescendingAndFilteredTags) {
    struct Case {
        const char* options;  // around NAME EXPR
        const char* expression;
        const char* condition;
        bool unique, descending;
        const char* tagsLine;  // as `dbtool tags` prints the tag
    } cases[] = {
        {"", "NAME", "", false, false, "BYNAME\tC\t8\tNAME\n"},
        {"--unique", "NAME", "", true, false, "BYNAME\tC\t8\tNAME\tUNIQUE\n"},
        {"--descending", "ID", "", false, true, "BYNAME\tN\t12\tID\tDESCENDING\n"},
        {"--for 'ID > 6'", "NAME", "ID > 6", false, false, "BYNAME\tC\t8\tNAME\tFOR ID > 6\n"},
        {"--for='ID < 9' --descending --unique", "NAME", "ID < 9", true, true,
         "BYNAME\tC\t8\tNAME\tUNIQUE\tDESCENDING\tFOR ID < 9\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.options);
        for (int place = 0; place < 3; ++place) {
            TempFolder dir;
            const std::string table = MakeNamesTable(dir);
            const std::string tail = std::string("BYNAME ") + c.expression;
            const std::string args =
                place == 0   ? std::string(c.options) + " " + ShellQuote(table) + " " + tail
                : place == 1 ? ShellQuote(table) + " BYNAME " + c.options + " " + c.expression
                             : ShellQuote(table) + " " + tail + " " + c.options;
            const auto r = Dbtool("index " + args);
            ASSERT_EQ(r.exitCode, 0) << args << "\n" << r.output;
            EXPECT_EQ(Dbtool("tags " + ShellQuote(table)).output, c.tagsLine);
            EXPECT_EQ(Dbtool("check " + ShellQuote(table)).exitCode, 0);
            const auto model =
                RecordOrder(ModelOrder(table, c.expression, c.condition, c.unique, c.descending));
            EXPECT_EQ(RecordOrder(WalkTag(table, "BYNAME")), model);
            if (PerlIndexReaderAvailable()) {
                EXPECT_EQ(PerlOrder(dir / "T.mdx", "BYNAME"), model);
            }
        }
    }
}

// The benchmarks print their usage for --help instead of taking it for a folder or a count.
TEST(BenchCommandLine, HelpPrintsUsageAndNothingElseHappens) {
    struct Case {
        const char* program;
        const char* args;
        int exitCode;
    } cases[] = {
        {"pack_bench", "--help", 0},          {"pack_bench", "-h", 0},
        {"pack_bench", "--fast", 2},          {"pack_bench", "folder 10x", 2},
        {"pack_bench", "a 100 c", 2},         {"index_bench", "--help", 0},
        {"index_bench", "--records many", 2}, {"index_bench", "--bogus", 2},
        {"run_bench", "--help", 0},           {"run_bench", "-h", 0},
        {"run_bench", "--bogus", 2},          {"window_latency_bench", "--help", 0},
        {"window_latency_bench", "-h", 0},    {"window_latency_bench", "--bogus", 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.program) + " " + c.args);
        TempFolder dir;
        const auto r = RunCommand("cd " + ShellQuote(dir.Path()) + " && timeout 20 " +
                                  std::string(ARI_BIN_DIR) + "/" + c.program + " " + c.args +
                                  (c.exitCode == 0 ? " 2>/dev/null" : " 2>&1"));
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_NE(r.output.find(std::string("usage: ") + c.program), std::string::npos) << r.output;
        EXPECT_TRUE(FileNamesIn(dir.Path()).empty());  // no folder or table made
    }
}

// The help of the benches that time whole programs says what they measure, each option and
// what each figure means, beyond the usage line.
TEST(BenchCommandLine, HelpExplainsEveryOptionAndFigure) {
    struct Case {
        const char* program;
        std::vector<std::string> mentions;
    } cases[] = {
        {"run_bench",
         {"autoreindex-run --now", "--records N", "--tables N", "--folder DIR", "--keep", "floor",
          "ratio pass / floor", "peak memory", "Exit code"}},
        {"window_latency_bench",
         {"20 ms", "--records N", "--folder DIR", "--keep", "session tick", "pass",
          "longest wait during CASE"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.program);
        const auto r = RunCommand(std::string(ARI_BIN_DIR) + "/" + c.program + " --help 2>&1");
        EXPECT_EQ(r.exitCode, 0) << r.output;
        for (const std::string& m : c.mentions)
            EXPECT_NE(r.output.find(m), std::string::npos) << m << "\n" << r.output;
    }
}

// Every program says its name and the project's version for --version, on standard output,
// with exit code 0 and nothing else done: the window without any display.
TEST(ProgramCommandLine, VersionNamesTheProgramAndTheProjectVersion) {
    const std::string version = ARI_PROJECT_VERSION;
    ASSERT_TRUE(std::regex_match(version, std::regex(R"(\d+\.\d+(\.\d+)*)"))) << version;
    for (const char* program : {"autoreindex-run", "dbtool", "autoreindex"}) {
        SCOPED_TRACE(program);
        TempFolder dir;
        const std::string run = "cd " + ShellQuote(dir.Path()) +
                                " && env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                                std::string(ARI_BIN_DIR) + "/" + program + " --version";
        const auto out = RunCommand(run + " 2>/dev/null");
        EXPECT_EQ(out.exitCode, 0) << out.output;
        EXPECT_EQ(out.output, std::string(program) + " " + version + "\n");
        EXPECT_EQ(RunCommand(run + " 2>&1 >/dev/null").output, "");  // nothing on standard error
        EXPECT_TRUE(FileNamesIn(dir.Path()).empty());
    }
}
