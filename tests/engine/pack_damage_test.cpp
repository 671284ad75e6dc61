// Damaged tables are refused by the pack, never rewritten: each kind of damage makes the engine's
// pack and `dbtool pack` fail with an error that names it, leaves every file byte-identical, and
// is reported in the same words by `dbtool check`.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/format/DbfFormat.h"
#include "engine/format/MdxFormat.h"
#include "engine/index/MdxFile.h"
#include "tests/engine/EngineTestSupport.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using namespace ari::test;

namespace {

// T.DBF: 8 records of 16 bytes (2 and 5 deleted) after a 97-byte header, and its production
// index T.mdx with the tags NAME and QTY.
struct Fixture {
    TempFolder dir;
    std::string table = dir / "T.DBF", mdx = dir / "T.mdx";
    std::string goodTable, goodIndex;
    uint32_t nameTagHeader = 0;

    Fixture() {
        std::vector<Row> rows;
        for (int i = 1; i <= 8; ++i)
            rows.push_back(
                Row{{"name" + std::to_string(i), std::to_string(i * 11)}, i == 2 || i == 5});
        MakeTable(table, {{"NAME", 'C', 10, 0, 0}, {"QTY", 'N', 5, 0, 0}}, rows);
        TTable t("Table2");
        t.SetDatabaseName(dir.Path());
        t.SetTableName("T.DBF");
        t.AddIndex("NAME", "NAME", ixExpression);
        t.AddIndex("QTY", "QTY", ixExpression);
        goodTable = ReadFileBytes(table);
        goodIndex = ReadFileBytes(mdx);
        nameTagHeader = MdxFile(mdx).Tags().at(0).headerPage;
    }

    std::map<std::string, std::string> Files() const {
        std::map<std::string, std::string> out;
        for (const auto& n : FileNamesIn(dir.Path()))
            out[n] = ReadFileBytes(dir / n);
        return out;
    }
};

// Every file of the folder byte-identical to `before`, and no file more or less.
void ExpectUnchanged(const Fixture& f, const std::map<std::string, std::string>& before,
                     const char* after) {
    const auto now = f.Files();
    std::vector<std::string> names, namesBefore;
    for (const auto& [n, bytes] : now)
        names.push_back(n);
    for (const auto& [n, bytes] : before)
        namesBefore.push_back(n);
    EXPECT_EQ(names, namesBefore) << "after " << after;
    for (const auto& [n, bytes] : before)
        EXPECT_TRUE(now.count(n) && now.at(n) == bytes) << n << " changed by " << after;
}

void PutHeader16(std::string& b, size_t at, uint16_t v) {
    PutLE16(reinterpret_cast<uint8_t*>(&b[at]), v);
}

void PutHeader32(std::string& b, size_t at, uint32_t v) {
    PutLE32(reinterpret_cast<uint8_t*>(&b[at]), v);
}

constexpr uint16_t kHeaderLength = 97, kRecordLength = 16;

}  // namespace

TEST(PackDamage, EachKindOfDamageIsRefusedNamedAndLeavesEveryFileAsItWas) {
    const std::string dbtool = std::string(ARI_BIN_DIR) + "/dbtool";
    const bool haveDbtool = std::filesystem::exists(dbtool);
    Fixture f;
    {
        // The undamaged fixture is sound and packs.
        TempFolder copy;
        WriteFileBytes(copy / "T.DBF", f.goodTable);
        WriteFileBytes(copy / "T.mdx", f.goodIndex);
        if (haveDbtool) {
            const auto r = RunCommand(ShellQuote(dbtool) + " check " + ShellQuote(copy / "T.DBF"));
            ASSERT_EQ(r.exitCode, 0) << r.output;
        }
        TTable t("Table2");
        t.SetDatabaseName(copy.Path());
        t.SetTableName("T.DBF");
        t.SetExclusive(true);
        t.Open();
        Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
    }

    struct Case {
        const char* what;
        std::function<void(std::string& table, std::string& index)> damage;
        const char* fragment;
    } cases[] = {
        // The first record hides in a header that claims it; the pack dropped it.
        {"header length one record too long",
         [](std::string& b, std::string&) {
             PutHeader16(b, dbf::kHeaderLength, kHeaderLength + kRecordLength);
         },
         "Header length 113 disagrees with the field descriptors, which end at byte 97"},
        // Records read out of line; the pack kept them as garbage rows.
        {"header length far too long",
         [](std::string& b, std::string&) {
             PutHeader16(b, dbf::kHeaderLength, kHeaderLength + 3 * kRecordLength + 5);
         },
         "Header length 150 disagrees with the field descriptors"},
        // A record cut short: the pack dropped it and wrote a count that hid the loss.
        {"file ends inside a record",
         [](std::string& b, std::string&) {
             b.pop_back();  // the 0x1A
             b += std::string(" name9");
         },
         "The file ends inside record 9: 6 of its 16 bytes are there."},
        {"a stale high count and a record cut short",
         [](std::string& b, std::string&) {
             b.pop_back();
             b += std::string(" nam");
             PutHeader32(b, dbf::kRecordCount, 12);
         },
         "The file ends inside record 9: 4 of its 16 bytes are there."},
        {"index header damaged", [](std::string&, std::string& x) { x[0] = 9; },
         "unknown version byte 9"},
        // The pack wrote an index without tags for a table whose header still names it.
        {"index claims no tags",
         [](std::string&, std::string& x) { x[mdx::kTagsInUse] = x[mdx::kTagsInUse + 1] = 0; },
         "claims no tags, but the table header names it as its production index"},
        {"tag header that fails a check",
         [&](std::string&, std::string& x) {
             x[size_t{f.nameTagHeader} * mdx::kPageSize + mdx::kTagKeyType] = 'X';
         },
         "tag 1 (NAME): key type byte 88"},
        {"tag expression that cannot be parsed",
         [&](std::string&, std::string& x) {
             const std::string bad = "NOSUCH";
             x.replace(size_t{f.nameTagHeader} * mdx::kPageSize + mdx::kTagExpression, bad.size(),
                       bad);
         },
         ", tag NAME: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string table = f.goodTable, index = f.goodIndex;
        c.damage(table, index);
        WriteFileBytes(f.table, table);
        WriteFileBytes(f.mdx, index);
        const auto before = f.Files();

        // The engine's pack, as the maintenance run calls it.
        try {
            TTable t("Table2");
            t.SetDatabaseName(f.dir.Path());
            t.SetTableName("T.DBF");
            t.SetExclusive(true);
            t.Open();
            Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
            ADD_FAILURE() << "packed";
        } catch (const EDBEngineError& e) {
            EXPECT_NE(e.Message().find(c.fragment), std::string::npos) << e.Message();
            EXPECT_NE(e.Message().find(f.table), std::string::npos) << e.Message();
            EXPECT_EQ(e.Kind(), ari::ErrorKind::Damaged);
            EXPECT_EQ(e.File(), f.table);
        }
        ExpectUnchanged(f, before, "the engine's pack");

        if (!haveDbtool)
            continue;
        auto r = RunCommand(ShellQuote(dbtool) + " pack " + ShellQuote(f.table) + " 2>&1");
        EXPECT_NE(r.exitCode, 0) << r.output;
        EXPECT_NE(r.output.find(c.fragment), std::string::npos) << r.output;
        ExpectUnchanged(f, before, "dbtool pack");

        r = RunCommand(ShellQuote(dbtool) + " check " + ShellQuote(f.table));
        EXPECT_EQ(r.exitCode, 1) << r.output;
        EXPECT_NE(r.output.find("FAULT (damage)"), std::string::npos) << r.output;
        EXPECT_NE(r.output.find(c.fragment), std::string::npos) << r.output;
        ExpectUnchanged(f, before, "dbtool check");
    }
    if (!haveDbtool)
        GTEST_SKIP() << "dbtool is not built: only the engine's pack was tried";
}

// What the count rule settles without losing a record is not damage: a stale count, the end
// byte missing, garbage past a low count, header padding. Such tables pack, and check does not
// call them damaged.
TEST(PackDamage, WhatTheCountRuleSettlesIsNotDamage) {
    struct Case {
        const char* what;
        std::function<void(std::string&)> change;
        uint32_t kept;  // live records after the pack
    } cases[] = {
        {"stale high count", [](std::string& b) { PutHeader32(b, dbf::kRecordCount, 40); }, 6},
        {"stale low count, whole records beyond it",
         [](std::string& b) { PutHeader32(b, dbf::kRecordCount, 5); }, 6},
        {"no end byte", [](std::string& b) { b.pop_back(); }, 6},
        {"bytes after the end byte", [](std::string& b) { b += std::string(3, '\0'); }, 6},
        {"a NUL after the field list",
         [](std::string& b) {
             b.insert(kHeaderLength, 1, '\0');
             PutHeader16(b, dbf::kHeaderLength, kHeaderLength + 1);
         },
         6},
    };
    const std::string dbtool = std::string(ARI_BIN_DIR) + "/dbtool";
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fixture f;
        std::string table = f.goodTable;
        c.change(table);
        WriteFileBytes(f.table, table);
        if (std::filesystem::exists(dbtool)) {
            const auto r = RunCommand(ShellQuote(dbtool) + " check " + ShellQuote(f.table));
            EXPECT_EQ(r.output.find("FAULT (damage)"), std::string::npos) << r.output;
        }
        TTable t("Table2");
        t.SetDatabaseName(f.dir.Path());
        t.SetTableName("T.DBF");
        t.SetExclusive(true);
        t.Open();
        Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
        t.Close();
        EXPECT_EQ(WalkTag(f.table, "NAME").size(), c.kept);
        EXPECT_EQ(IndexFaults(f.table), "");
    }
}
