// What a folder user plants under one of the engine's own temporary or backup names beside a
// table (a symbolic link, a pipe, a folder) is never written through: a link or a pipe is only a
// name, which goes, and the pack or index build goes ahead; a folder is left where it is, and
// the step is refused with a message that names it.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <functional>
#include <map>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/table/DbfFile.h"
#include "engine/table/TableFiles.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using ari::test::TempFolder;

namespace {

// T.DBF (ID C(8), VAL C(12)) with 20 records, every fourth deleted, and its production index
// T.mdx on ID, in `folder`.
void MakeFixture(const std::string& folder) {
    {
        DbfWriter w(folder + "T.DBF", {{"ID", 'C', 8, 0, 0}, {"VAL", 'C', 12, 0, 0}});
        for (int i = 0; i < 20; ++i)
            w.Append({"R" + std::to_string(i), "v" + std::to_string(i)}, i % 4 == 1);
        w.Finish();
    }
    TTable t("Table2");
    t.SetDatabaseName(folder);
    t.SetTableName("T.DBF");
    t.AddIndex("ID", "ID", ixExpression);
}

std::map<std::string, std::string> Files(const std::string& folder) {
    std::map<std::string, std::string> out;
    for (const auto& n : ari::test::FileNamesIn(folder)) {
        struct stat st;
        if (::lstat((folder + n).c_str(), &st) == 0 && S_ISREG(st.st_mode))
            out[n] = ari::test::ReadFileBytes(folder + n);
        else
            out[n] = "(not a regular file)";
    }
    return out;
}

bool NameExists(const std::string& path) {
    struct stat st;
    return ::lstat(path.c_str(), &st) == 0;
}

TTable& Opened(TTable& t, const std::string& folder) {
    t.SetDatabaseName(folder);
    t.SetTableName("T.DBF");
    t.SetExclusive(true);
    t.Open();
    return t;
}

}  // namespace

TEST(TemporaryNames, APlantedNameIsNeverWrittenThroughAndAFolderThereIsNamed) {
    TempFolder templates;
    MakeFixture(templates.Path());
    {
        TTable t("Table1");
        t.SetDatabaseName(templates.Path());
        t.SetTableName("T.DBF");
        t.AddIndex("VAL", "VAL", ixExpression);
    }
    struct Step {
        const char* what;
        std::vector<const char*> names;  // the temporary and backup names it takes
        std::function<void(const std::string& folder)> run;
    } steps[] = {
        {"pack",
         {".T.DBF.pack.tmp", ".T.mdx.pack.tmp", ".T.DBF.keep.tmp", ".T.mdx.keep.tmp"},
         [](const std::string& folder) {
             TTable t("Table2");
             Opened(t, folder);
             Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
         }},
        {"add index",
         {".T.mdx.index.tmp", ".T.mdx.keep.tmp"},
         [](const std::string& folder) {
             TTable t("Table2");
             t.SetDatabaseName(folder);
             t.SetTableName("T.DBF");
             t.AddIndex("VAL", "VAL", ixExpression);
         }},
        {"template index built over the table",
         {".T.mdx.index.tmp", ".T.mdx.keep.tmp"},
         [&](const std::string& folder) {
             TTable t("Table2");
             Opened(t, folder).RebuildIndexFrom(templates / "T.mdx", folder + "T.mdx");
         }},
    };
    struct Plant {
        const char* what;
        std::function<void(const std::string& at, const std::string& outside)> make;
        bool cleared;  // the name goes and the step goes ahead
    } plants[] = {
        {"link to a file outside",
         [](const std::string& at, const std::string& outside) {
             ASSERT_EQ(::symlink(outside.c_str(), at.c_str()), 0);
         },
         true},
        {"dangling link",
         [](const std::string& at, const std::string& outside) {
             ASSERT_EQ(::symlink((outside + ".none").c_str(), at.c_str()), 0);
         },
         true},
        {"pipe",
         [](const std::string& at, const std::string&) {
             ASSERT_EQ(::mkfifo(at.c_str(), 0644), 0);
         },
         true},
        {"folder",
         [](const std::string& at, const std::string&) {
             ASSERT_TRUE(std::filesystem::create_directory(at));
         },
         false},
    };
    for (const auto& step : steps) {
        for (const char* name : step.names) {
            for (const auto& plant : plants) {
                SCOPED_TRACE(std::string(step.what) + ", " + name + ", " + plant.what);
                TempFolder dir, elsewhere;
                const std::string folder = dir.Path(), planted = folder + name;
                const std::string outside = elsewhere / "precious";
                ari::test::WriteFileBytes(outside, "not the engine's");
                MakeFixture(folder);
                plant.make(planted, outside);
                const auto before = Files(folder);
                try {
                    step.run(folder);
                    EXPECT_TRUE(plant.cleared) << "went ahead past a folder";
                } catch (const EDBEngineError& e) {
                    EXPECT_FALSE(plant.cleared) << e.Message();
                    EXPECT_NE(e.Message().find(planted + " is a folder"), std::string::npos)
                        << e.Message();
                }
                EXPECT_EQ(ari::test::ReadFileBytes(outside), "not the engine's");
                EXPECT_FALSE(NameExists(outside + ".none"));
                if (plant.cleared) {
                    EXPECT_FALSE(NameExists(planted));
                    EXPECT_EQ(ari::test::DbtoolCheck(folder + "T.DBF"), 0);
                } else {
                    EXPECT_EQ(Files(folder), before);
                    EXPECT_TRUE(std::filesystem::is_directory(planted));
                }
            }
        }
    }
}

// What an interrupted run left beside the tables, settled before a pass holds any table: a
// file a replace had renamed aside while its name was missing goes back under that name; an
// aside name beside its file again, a removed file's aside name and an engine temporary nobody
// holds go; a backup of an interrupted replace stays for its table's next sole use, which
// settles it; names of other shapes and a folder under an engine name are left alone. Each
// settled name is said once.
TEST(TemporaryNames, LeftoversOfAnInterruptedRunAreSettledAndSaid) {
    const TempFolder dir;
    const std::string folder = dir.Path();
    MakeFixture(folder);
    const std::string table = ari::test::ReadFileBytes(folder + "T.DBF");
    const std::string index = ari::test::ReadFileBytes(folder + "T.mdx");
    // The index, which a replace had renamed aside when the run ended.
    ASSERT_EQ(::rename((folder + "T.mdx").c_str(), (folder + "T.mdx.rpl-Ab12Cd").c_str()), 0);
    const std::map<std::string, std::string> planted = {
        {"T.DBF.rpl-Zx9Yw8", "old table, replaced"},
        {"T.DBF.del-Qq1Ww2", "removed file"},
        {".T.DBF.pack.tmp", "unfinished new table"},
        {".T.DBF.keep.tmp", "backup of an interrupted replace"},
        {"T.DBF.rpl-short", "not ours: five characters"},
        {"NOTES.TXT", "somebody's notes"},
    };
    for (const auto& [name, bytes] : planted)
        ari::test::WriteFileBytes(folder + name, bytes);
    ASSERT_EQ(::mkdir((folder + ".U.DBF.pack.tmp").c_str(), 0755), 0);

    const std::vector<std::string> said = SettleLeftovers(folder);

    const auto after = Files(folder);
    EXPECT_EQ(after.count("T.mdx.rpl-Ab12Cd"), 0u);
    EXPECT_TRUE(after.count("T.mdx"));
    for (const char* gone : {"T.DBF.rpl-Zx9Yw8", "T.DBF.del-Qq1Ww2", ".T.DBF.pack.tmp"})
        EXPECT_EQ(after.count(gone), 0u) << gone;
    for (const char* kept : {".T.DBF.keep.tmp", "T.DBF.rpl-short", "NOTES.TXT"})
        EXPECT_EQ(after.count(kept), 1u) << kept;
    EXPECT_TRUE(std::filesystem::is_directory(folder + ".U.DBF.pack.tmp"));
    EXPECT_EQ(after.at("T.DBF"), table);
    const std::vector<std::string> expected = {
        folder + ".T.DBF.pack.tmp removed, left by an interrupted pass",
        folder + "T.DBF.del-Qq1Ww2 removed, left by an interrupted pass",
        folder + "T.DBF.rpl-Zx9Yw8 removed, left by an interrupted pass",
        folder + "T.mdx put back from T.mdx.rpl-Ab12Cd, where an interrupted pass had left it",
    };
    EXPECT_EQ(said, expected);
    // The table and its index are whole again; a second look finds nothing more to settle.
    EXPECT_EQ(after.at("T.mdx"), index);
    EXPECT_TRUE(SettleLeftovers(folder).empty());
}
