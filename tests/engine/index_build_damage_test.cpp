// The index builds over a live table's records refuse what the pack refuses: a table whose header
// length disagrees with its field descriptors, or whose file ends inside a record, is named as
// damaged by adding a tag, by adding tags to a table open for sole use and by building a
// template's index over it, and every file stays byte-identical. What the count rule settles (a
// stale high count) is built from the records the file holds, never from rows past its end.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <map>

#include "engine/EngineErrors.h"
#include "engine/TTable.h"
#include "engine/format/DbfFormat.h"
#include "engine/format/Endian.h"
#include "tests/engine/IndexTestSupport.h"
#include "tests/support/TestFolders.h"

using namespace ari::engine;
using namespace ari::test;

namespace {

// Six fields (a header of 32 + 6 * 32 + 1 = 225 bytes), records of 120 bytes, 300 of them: the
// file is longer than a header length of 32767, so that such a header still parses.
constexpr uint16_t kHeaderLength = 225, kRecordLength = 120;
constexpr uint32_t kRecords = 300;

const std::vector<FieldDef>& Fields() {
    static const std::vector<FieldDef> fields = {
        {"ID", 'N', 6, 0, 0},  {"NAME", 'C', 40, 0, 0},  {"CITY", 'C', 40, 0, 0},
        {"QTY", 'N', 8, 0, 0}, {"PRICE", 'N', 10, 2, 0}, {"CODE", 'C', 15, 0, 0},
    };
    return fields;
}

// live/T.DBF with its production index T.mdx (tag NAME), and tmpl/T.mdx, a template index with
// the tags NAME and CITY.
struct Fixture {
    TempFolder dir;
    std::string live = dir / "live/", tmpl = dir / "tmpl/";
    std::string table = live + "T.DBF", mdx = live + "T.mdx";
    std::string goodTable, goodIndex;

    Fixture() {
        std::filesystem::create_directory(live);
        std::filesystem::create_directory(tmpl);
        std::vector<Row> rows;
        for (uint32_t i = 1; i <= kRecords; ++i)
            rows.push_back(Row{{std::to_string(i), "name" + std::to_string((i * 7) % kRecords),
                                "city" + std::to_string(i % 13), std::to_string(i * 3), "1.50",
                                "c" + std::to_string(i)},
                               i % 9 == 0});
        MakeTable(table, Fields(), rows);
        Tag(live, "NAME", "NAME");
        MakeTable(tmpl + "T.DBF", Fields(), {});
        Tag(tmpl, "NAME", "NAME");
        Tag(tmpl, "CITY", "CITY");
        goodTable = ReadFileBytes(table);
        goodIndex = ReadFileBytes(mdx);
    }

    static void Tag(const std::string& folder, const std::string& name, const std::string& key) {
        TTable t("Table2");
        t.SetDatabaseName(folder);
        t.SetTableName("T.DBF");
        t.AddIndex(name, key, ixExpression);
    }

    std::map<std::string, std::string> Files() const {
        std::map<std::string, std::string> out;
        for (const auto& n : FileNamesIn(live))
            out[n] = ReadFileBytes(live + n);
        return out;
    }
};

// The names whose bytes differ, that appeared, or that went ("" when none).
std::string Changes(const std::map<std::string, std::string>& before,
                    const std::map<std::string, std::string>& after) {
    std::string out;
    for (const auto& [name, bytes] : before) {
        const auto it = after.find(name);
        out += it == after.end()     ? name + " gone; "
               : it->second != bytes ? name + " changed; "
                                     : "";
    }
    for (const auto& [name, bytes] : after)
        if (!before.count(name))
            out += name + " appeared; ";
    return out;
}

void PutHeader16(std::string& b, size_t at, uint16_t v) {
    PutLE16(reinterpret_cast<uint8_t*>(&b[at]), v);
}

void PutHeader32(std::string& b, size_t at, uint32_t v) {
    PutLE32(reinterpret_cast<uint8_t*>(&b[at]), v);
}

// The ways the engine builds an index over the live table's records.
struct Build {
    const char* what;
    std::function<void(const Fixture&)> run;
};

const std::vector<Build>& Builds() {
    static const std::vector<Build> builds = {
        {"a tag added to the closed table",
         [](const Fixture& f) { Fixture::Tag(f.live, "CITY", "CITY"); }},
        {"tags added to the table open for sole use",
         [](const Fixture& f) {
             TTable t("Table2");
             t.SetDatabaseName(f.live);
             t.SetTableName("T.DBF");
             t.SetExclusive(true);
             t.Open();
             t.AddIndexes({{"CITY", "CITY", ixExpression, ""}, {"QTY", "QTY", ixExpression, ""}});
         }},
        {"the template's index built over the table",
         [](const Fixture& f) {
             TTable t("Table2");
             t.SetDatabaseName(f.live);
             t.SetTableName("T.DBF");
             t.SetExclusive(true);
             t.Open();
             t.RebuildIndexFrom(f.tmpl + "T.mdx", f.mdx);
         }},
        {"the pack",
         [](const Fixture& f) {
             TTable t("Table2");
             t.SetDatabaseName(f.live);
             t.SetTableName("T.DBF");
             t.SetExclusive(true);
             t.Open();
             Check(EnginePack(t.DBHandle(), t.Handle(), nullptr, "DBASE", -1));
         }},
    };
    return builds;
}

}  // namespace

TEST(IndexBuildDamage, ADamagedTableIsRefusedByEveryBuildAndLeftAsItWas) {
    Fixture f;
    const uint64_t lastRecord = kHeaderLength + uint64_t{kRecords - 1} * kRecordLength;
    struct Case {
        const char* what;
        std::function<void(std::string& table)> damage;
        const char* fragment;
    } cases[] = {
        // Records read out of line: every key built from the wrong bytes.
        {"header length 336 instead of 225",
         [](std::string& b) { PutHeader16(b, dbf::kHeaderLength, 336); },
         "Header length 336 disagrees with the field descriptors, which end at byte 225"},
        {"header length 32767", [](std::string& b) { PutHeader16(b, dbf::kHeaderLength, 32767); },
         "Header length 32767 disagrees with the field descriptors"},
        // The last record cut short: the build kept the records before it without a word.
        {"file cut inside record 300", [&](std::string& b) { b.resize(lastRecord + 50); },
         "The file ends inside record 300: 50 of its 120 bytes are there."},
    };
    for (const auto& c : cases) {
        for (const Build& build : Builds()) {
            SCOPED_TRACE(std::string(c.what) + ", " + build.what);
            std::string table = f.goodTable;
            c.damage(table);
            WriteFileBytes(f.table, table);
            WriteFileBytes(f.mdx, f.goodIndex);
            const auto before = f.Files();
            try {
                build.run(f);
                ADD_FAILURE() << "built over a damaged table";
            } catch (const EDBEngineError& e) {
                EXPECT_NE(e.Message().find(c.fragment), std::string::npos) << e.Message();
                EXPECT_NE(e.Message().find(f.table), std::string::npos) << e.Message();
                EXPECT_EQ(e.Kind(), ari::ErrorKind::Damaged) << e.Message();
                EXPECT_EQ(e.File(), f.table);
            }
            EXPECT_EQ(Changes(before, f.Files()), "");
        }
    }
}

// A header count of 400 where the file holds 300 records is settled by the count rule (the
// records the file holds): each build goes ahead, and its tags list those 300 records only.
TEST(IndexBuildDamage, AStaleHighCountBuildsFromTheRecordsTheFileHolds) {
    for (const Build& build : Builds()) {
        SCOPED_TRACE(build.what);
        Fixture f;
        std::string table = f.goodTable;
        PutHeader32(table, dbf::kRecordCount, 400);
        WriteFileBytes(f.table, table);
        build.run(f);
        const auto entries = WalkTag(f.table, "NAME");
        EXPECT_EQ(entries, ModelOrder(f.table, "NAME"));
        const bool packed = std::string(build.what) == "the pack";
        EXPECT_EQ(entries.size(), packed ? kRecords - kRecords / 9 : kRecords);
        EXPECT_EQ(IndexFaults(f.table), "");
    }
}
