// TTable's property rules, drivers and type texts, engine operation statuses, and clear
// errors for bad input (folders, empty and damaged files, memo pointers past the end).
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <functional>

#include "engine/EngineStatus.h"
#include "engine/TTable.h"
#include "engine/table/Cursor.h"
#include "engine/table/DbfFile.h"
#include "platform/Files.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using ari::test::TempFolder;

namespace {

// NAME C10, QTY N5 with the given records (texts of NAME).
void MakeSmallTable(const std::string& path, const std::vector<std::string>& names,
                    uint8_t version = 0x03) {
    DbfWriter w(path, {{"NAME", 'C', 10, 0, 0}, {"QTY", 'N', 5, 0, 0}}, version, 0x57);
    int i = 0;
    for (const auto& n : names)
        w.Append({n, std::to_string(++i)});
    w.Finish();
}

std::string TypeTextOf(TTable& t) {
    uint8_t info[kCursorInfoSize];
    Check(EngineCursorInfo(t.Handle(), info));
    const char* type = reinterpret_cast<const char*>(info + kCursorInfoTypeOffset);
    return std::string(type, strnlen(type, kCursorInfoTypeLength));
}

uint16_t StatusOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const EDBEngineError& e) {
        return e.ErrorCode();
    }
    return 0;
}

}  // namespace

TEST(TTableProperties, ClosedOnlyPropertiesRaiseOnAnOpenTableButSameValueDoesNothing) {
    TempFolder dir;
    MakeSmallTable(dir / "A.DBF", {"x"});
    TTable t("Table2");
    t.SetDatabaseName(dir.Path());
    t.SetTableName("A.DBF");
    t.Close();  // closing a closed table does nothing
    EXPECT_FALSE(t.Active());
    t.Open();
    ASSERT_TRUE(t.Active());
    t.Open();  // opening an open table keeps it as it is
    EXPECT_TRUE(t.Active());

    struct Setter {
        const char* name;
        std::function<void()> same, other;
    } setters[] = {
        {"DatabaseName", [&] { t.SetDatabaseName(dir.Path()); },
         [&] { t.SetDatabaseName("/tmp/"); }},
        {"TableName", [&] { t.SetTableName("A.DBF"); }, [&] { t.SetTableName("B.DBF"); }},
        {"Exclusive", [&] { t.SetExclusive(false); }, [&] { t.SetExclusive(true); }},
    };
    for (const auto& s : setters) {
        SCOPED_TRACE(s.name);
        EXPECT_NO_THROW(s.same());
        try {
            s.other();
            ADD_FAILURE() << "no error";
        } catch (const EDBEngineError&) {
            ADD_FAILURE() << "an engine error instead of EDatabaseError";
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(e.Message(), "Table2: Cannot perform this operation on an open dataset");
        }
        EXPECT_TRUE(t.Active());
    }
    EXPECT_EQ(t.DatabaseName(), dir.Path());
    EXPECT_EQ(t.TableName(), "A.DBF");
    EXPECT_FALSE(t.Exclusive());
    t.Close();
    t.SetExclusive(true);
    EXPECT_TRUE(t.Exclusive());
    t.Close();
}

TEST(TTableProperties, HandlesAndDatabaseOfAnOpenTable) {
    TempFolder dir;
    MakeSmallTable(dir / "a.dbf", {"x"});
    TTable t("T");
    EXPECT_EQ(t.Handle(), nullptr);
    EXPECT_EQ(t.DBHandle(), nullptr);
    t.SetDatabaseName(dir.Path());
    t.SetTableName("A.DBF");  // found whatever the case of the name on disk
    t.Open();
    EXPECT_EQ(t.TablePath(), dir / "a.dbf");
    DatabaseHandle db = nullptr;
    Check(EngineDatabaseOf(t.Handle(), kObjectKindDatabase, &db));
    EXPECT_EQ(db, t.DBHandle());
    EXPECT_NE(EngineDatabaseOf(t.Handle(), 3, &db), 0);
    EXPECT_EQ(TypeTextOf(t), "DBASE");
}

TEST(TTableDrivers, FoxProWhenItsCompanionFilesLieBeside) {
    for (const char* companion : {"T.FPT", "t.cdx", "T.Cdx"}) {
        SCOPED_TRACE(companion);
        TempFolder dir;
        MakeSmallTable(dir / "T.DBF", {"a"});
        ari::test::WriteFileBytes(dir / companion, std::string(512, '\0'));
        TTable t("T");
        t.SetDatabaseName(dir.Path());
        t.SetTableName("T.DBF");
        t.Open();
        EXPECT_EQ(TypeTextOf(t), "FOXPRO");
        // A FoxPro table is not packed as a dBASE table.
        t.Close();
        t.SetExclusive(true);
        t.Open();
        EXPECT_EQ(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1),
                  kStatusUnsupportedFormat);
    }
}

TEST(TTableDrivers, EverySampleOpensWithItsTypeText) {
    const std::string samples = ari::test::SamplesDir();
    if (samples.empty())
        GTEST_SKIP() << "the samples folder beside the project is absent";
    struct {
        const char* folder;
        const char* table;
        const char* type;
    } cases[] = {
        {"dbase3", "dbase_03.dbf", "DBASE"},  {"dbase3", "DBASE_83.DBF", "DBASE"},
        {"dbase3", "test.dbf", "DBASE"},      {"dbase4", "DBASE4.dbf", "DBASE"},
        {"dbase4", "dbase_8b.dbf", "DBASE"},  {"foxpro", "calls.dbf", "FOXPRO"},
        {"foxpro", "dbase_30.dbf", "FOXPRO"}, {"mdx", "disco.dbf", "DBASE"},
        {"mdx", "TDBF_DEMO.DBF", "DBASE"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        TTable t("T");
        t.SetDatabaseName(samples + c.folder + "/");
        t.SetTableName(c.table);
        t.Open();
        EXPECT_EQ(TypeTextOf(t), c.type);
    }
    TTable t("T");
    t.SetDatabaseName(samples + "dbase4/");
    t.SetTableName("dbase_8c.dbf");
    try {
        t.Open();
        ADD_FAILURE() << "a level 7 table opened";
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kStatusUnsupportedFormat);
        EXPECT_NE(e.Message().find("dbase_8c.dbf"), std::string::npos);
        EXPECT_NE(e.Message().find("level 7"), std::string::npos);
    }
    EXPECT_FALSE(t.Active());
}

TEST(TTableDrivers, SampleMemosReadByBothLayouts) {
    const std::string samples = ari::test::SamplesDir();
    if (samples.empty())
        GTEST_SKIP() << "the samples folder beside the project is absent";
    // DBASE4.dbt holds only its header block: its table's memo fields are all empty.
    struct {
        const char* table;
        bool hasMemos;
    } cases[] = {{"dbase3/dbase_83.dbf", true},
                 {"dbase3/test.dbf", true},
                 {"dbase4/dbase_8b.dbf", true},
                 {"dbase4/DBASE4.dbf", false},
                 {"mdx/TDBF_DEMO.DBF", true}};
    for (const auto& [table, hasMemos] : cases) {
        SCOPED_TRACE(table);
        const auto f = DbfFile::Open(samples + table, ShareMode::Shared);
        ASSERT_NE(f->Memo(), nullptr);
        size_t memos = 0, bytes = 0;
        DbfFile::Scanner scan(*f);
        while (const uint8_t* r = scan.Next())
            for (const auto& fd : f->Fields())
                if (fd.type == 'M') {
                    const std::string m = f->ReadMemoField(r, fd);
                    memos += !m.empty();
                    bytes += m.size();
                    EXPECT_EQ(m.find("\x1a\x1a"), std::string::npos);
                }
        EXPECT_EQ(memos > 0, hasMemos);
        EXPECT_LT(bytes, f->Memo()->FileSize());
    }
}

TEST(TTableDrivers, WithoutTheSamplesACiRunFailsWhereOtherRunsSkip) {
    // This program run again on one sample test, its samples folder pointed at a missing one: a
    // green CI run (CI=true) must mean that the files of other programs were read.
    const std::string self = std::filesystem::read_symlink("/proc/self/exe").string();
    TempFolder dir;
    const std::string missing = dir / "no-samples";
    struct {
        const char* ci;  // how the environment variable CI is set
        int exitCode;
        const char* says;
    } cases[] = {
        {"CI=true", 1, "does not skip the tests that read it"},
        {"CI=false", 0, "[  SKIPPED ]"},
        {"-u CI", 0, "[  SKIPPED ]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ci);
        const auto r = ari::test::RunCommand(
            "env " + std::string(c.ci) + " ARI_SAMPLES_DIR=" + ari::test::ShellQuote(missing) +
            " " + ari::test::ShellQuote(self) +
            " --gtest_filter=TTableDrivers.EverySampleOpensWithItsTypeText 2>&1");
        EXPECT_EQ(r.exitCode, c.exitCode) << r.output;
        EXPECT_NE(r.output.find(c.says), std::string::npos) << r.output;
        EXPECT_NE(r.output.find("1 test from"), std::string::npos) << r.output;
    }
}

TEST(TTableBadInput, ClearEngineErrorsNamingTheFile) {
    TempFolder dir;
    ari::MakeFolder(dir / "FOLDER.DBF");
    ari::test::WriteFileBytes(dir / "EMPTY.DBF", "");
    ari::test::WriteFileBytes(dir / "SHORT.DBF", std::string("\x03\x7c\x01\x01", 4));
    ari::test::WriteFileBytes(dir / "HUGE.DBF", [] {
        std::string s(32, '\0');
        s[0] = 0x03;
        s[4] = s[5] = s[6] = s[7] = '\xff';  // 4 billion records claimed
        s[8] = '\xff';
        s[9] = '\xff';  // header length 65535
        s[10] = 2;
        return s;
    }());
    ari::test::WriteFileBytes(dir / "NOTES.TXT", "text");
    struct {
        const char* table;
        uint16_t status;
        const char* mentions;
    } cases[] = {
        {"FOLDER.DBF", kStatusNotATableFile, "folder"},
        {"EMPTY.DBF", kStatusCorruptHeader, "empty"},
        {"SHORT.DBF", kStatusCorruptHeader, "shorter than a table header"},
        {"HUGE.DBF", kStatusCorruptHeader, "larger than the file"},
        {"MISSING.DBF", kStatusTableNotFound, "MISSING.DBF"},
        {"NOTES.TXT", kStatusUnsupportedFormat, "extension"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.table);
        for (bool exclusive : {false, true}) {
            TTable t("T");
            t.SetDatabaseName(dir.Path());
            t.SetTableName(c.table);
            t.SetExclusive(exclusive);
            try {
                t.Open();
                ADD_FAILURE() << "opened";
            } catch (const EDBEngineError& e) {
                EXPECT_EQ(e.ErrorCode(), c.status) << e.Message();
                EXPECT_NE(e.Message().find(c.table), std::string::npos) << e.Message();
                EXPECT_NE(e.Message().find(c.mentions), std::string::npos) << e.Message();
            }
            EXPECT_FALSE(t.Active());
        }
    }
}

TEST(TTableBadInput, MemoPointerPastTheEndOrDamagedIsAMemoError) {
    TempFolder dir;
    {
        DbfWriter w(dir / "M.DBF", {{"NAME", 'C', 4, 0, 0}, {"NOTES", 'M', 10, 0, 0}}, 0x83);
        w.Append({"ok", ""});
        w.Append({"far", "999"});
        w.Append({"bad", "1x"});
        w.Finish();
    }
    std::string dbt(512, '\0');
    dbt[0] = 2;
    ari::test::WriteFileBytes(dir / "M.DBT", dbt + "text\x1a\x1a");
    const auto f = DbfFile::Open(dir / "M.DBF", ShareMode::Shared);
    ASSERT_EQ(f->RecordCount(), 3u);
    const FieldDef& notes = f->Fields()[1];
    EXPECT_EQ(f->ReadMemoField(reinterpret_cast<const uint8_t*>(f->ReadRecord(1).data()), notes),
              "");
    for (uint32_t recno : {2u, 3u}) {
        const std::string rec = f->ReadRecord(recno);
        EXPECT_EQ(StatusOf([&] {
                      f->ReadMemoField(reinterpret_cast<const uint8_t*>(rec.data()), notes);
                  }),
                  kStatusMemoError)
            << recno;
    }
    // A dBASE IV memo whose stored length runs past the end of the file.
    std::string dbt4(512, '\0');
    dbt4[20] = 0;
    dbt4[21] = 2;  // block size 512
    dbt4 += std::string("\xff\xff\x08\x00\xff\xff\xff\x7f", 8) + "abc";
    ari::test::WriteFileBytes(dir / "M4.DBT", dbt4);
    const auto m4 = MemoFile::Open(dir / "M4.DBT", MemoLayout::DBase4);
    EXPECT_EQ(StatusOf([&] { m4->Read(1); }), kStatusMemoError);
    EXPECT_EQ(StatusOf([&] { m4->Read(0); }), kStatusMemoError);
    EXPECT_EQ(StatusOf([&] { m4->Read(0xFFFFFFFFu); }), kStatusMemoError);
}

TEST(EngineStatusCheck, MessagesFollowTheLineRule) {
    // A failed operation's report comes with its status.
    uint8_t info[kCursorInfoSize];
    try {
        Check(EngineCursorInfo(nullptr, info));
        ADD_FAILURE();
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.ErrorCode(), kStatusInvalidHandle);
        EXPECT_EQ(e.Message(), StatusText(kStatusInvalidHandle));
    }
    // A status without text.
    try {
        Check(0x1234);
        ADD_FAILURE();
    } catch (const EDBEngineError& e) {
        EXPECT_EQ(e.Message(), "BDE error $1234");
    }
    EXPECT_NO_THROW(Check(0));
}

TEST(TableWriter, TablesWeCreateAreReadByAnIndependentReader) {
    if (!ari::test::PythonModuleAvailable("dbfread"))
        GTEST_SKIP() << "python3-dbfread is not installed";
    TempFolder dir;
    {
        DbfWriter w(dir / "NEW.DBF",
                    {{"ID", 'N', 10, 0, 0},
                     {"name", 'C', 40, 0, 0},
                     {"AMOUNT", 'N', 12, 2, 0},
                     {"DT", 'D', 8, 0, 0},
                     {"FLAG", 'L', 1, 0, 0}},
                    0x03, 0x57);
        w.SetHeaderByte(28, 0);
        w.Append({"1", "first", "12.50", "20240131", "T"});
        w.Append({"2", "second", "-3.00", "        ", "F"}, true);
        w.Append({"3", "third", "0.01", "19991231", "?"});
        w.Finish();
    }
    const std::string bytes = ari::test::ReadFileBytes(dir / "NEW.DBF");
    EXPECT_EQ(bytes.back(), '\x1a');
    EXPECT_EQ(static_cast<uint8_t>(bytes[29]), 0x57);
    const auto f = DbfFile::Open(dir / "NEW.DBF", ShareMode::Shared);
    EXPECT_EQ(f->RecordCount(), 3u);
    EXPECT_EQ(f->Fields()[1].name, "NAME");
    EXPECT_EQ(f->Fields()[2].offset, 51u);

    const auto info = ari::test::DbfreadInfo(dir / "NEW.DBF");
    EXPECT_EQ(info, (std::vector<std::string>{"version 0x03", "records 3", "field ID N 10 0",
                                              "field NAME C 40 0", "field AMOUNT N 12 2",
                                              "field DT D 8 0", "field FLAG L 1 0"}));
    const auto recs = ari::test::DbfreadRecords(dir / "NEW.DBF");
    ASSERT_EQ(recs.size(), 3u);
    EXPECT_EQ(recs[0].substr(0, 2), "L ");
    EXPECT_NE(recs[0].find("AMOUNT=" + std::string("2020202020202031322e3530")), std::string::npos)
        << recs[0];
    EXPECT_EQ(recs[2].substr(0, 2), "D ");
    // Creating over an existing file is refused and leaves it alone.
    EXPECT_EQ(StatusOf([&] {
                  DbfWriter w(dir / "NEW.DBF", {{"A", 'C', 1, 0, 0}});
              }),
              kStatusInvalidParameter);
    EXPECT_EQ(ari::test::ReadFileBytes(dir / "NEW.DBF"), bytes);
}
