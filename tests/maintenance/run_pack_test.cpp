// PackTable over the real engine: what a pack keeps and drops, how it leaves the table, and
// the state each failure leaves the table in.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>

#include "engine/TTable.h"
#include "maintenance/PackTable.h"
#include "tests/maintenance/run_fixtures.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::Bytes;
using ari::test::ForeignLock;
using ari::test::Surviving;
using ari::test::TempFolder;

class Pack : public ::testing::Test {
  protected:
    void SetUp() override {
        ari::test::MakeTable(dir / "orders.dbf", ari::test::StandardRows());
        table.SetDatabaseName(dir.Path());
        table.SetTableName("orders.dbf");
    }
    TempFolder dir;
    TTable table{"Table2"};
};

TEST_F(Pack, DropsDeletedRecordsKeepsTheOthersWithTheirMemos) {
    for (bool openOnEntry : {false, true}) {
        SCOPED_TRACE(openOnEntry ? "open and shared on entry" : "closed on entry");
        table.Close();
        ari::test::MakeTable(dir / "t2.dbf", ari::test::StandardRows());
        table.SetTableName("t2.dbf");
        if (openOnEntry)
            table.Open();
        EXPECT_TRUE(PackTable(table, true));
        EXPECT_TRUE(table.Active());
        EXPECT_FALSE(table.Exclusive());
        EXPECT_EQ(ari::test::RecordCount(dir / "t2.dbf"), 3u);
        EXPECT_EQ(ari::test::ReadRows(dir / "t2.dbf"), Surviving(ari::test::StandardRows()));
        table.Close();
        std::filesystem::remove(dir / "t2.dbf");
        std::filesystem::remove(dir / "t2.dbt");
    }
}

TEST_F(Pack, BracketsEachReopenForControlsOnlyWhenAsked) {
    EXPECT_TRUE(PackTable(table, true));
    EXPECT_EQ(table.DisableControlsCalls(), 2);
    EXPECT_EQ(table.EnableControlsCalls(), 2);
    EXPECT_FALSE(table.ControlsDisabled());

    TTable other("Table1");
    other.SetDatabaseName(dir.Path());
    other.SetTableName("orders.dbf");
    table.Close();
    EXPECT_TRUE(PackTable(other, false));
    EXPECT_EQ(other.DisableControlsCalls(), 0);
    EXPECT_EQ(other.EnableControlsCalls(), 0);
}

// Every write fails as on a full disk, while installed.
ari::test::FailingEnv diskFull(ari::test::FailingEnv::kWrite, 1, ENOSPC,
                               ari::test::FailingEnv::kFailFromNth);
std::optional<ari::test::InstalledEnv> installed;

// An empty, unkeyed Paradox 4 table with one field: a 2048-byte header and no data block.
std::string MinimalParadoxTable() {
    std::string h(2048, '\0');
    h[0x00] = 4;     // record size
    h[0x03] = 0x08;  // header size 0x0800
    h[0x04] = 2;     // unkeyed table
    h[0x05] = 1;     // 1024-byte blocks
    h[0x21] = 1;     // one field
    h[0x39] = 4;     // version
    h[0x78] = 4;     // its type and size: a long integer of 4 bytes
    h[0x79] = 4;
    return h;
}

enum class Kind { EngineError, DatabaseError };

struct FailureRow {
    const char* where;
    std::function<void(TempFolder&, TTable&, std::unique_ptr<ForeignLock>&)> arrange;
    Kind kind;
    const char* message;  // exact message, or nullptr for an engine text
    bool activeAfter;
    bool exclusiveAfter;
    bool controlsLeftDisabled;
};

// Copies a sample's files into `dir` under the same names (they are read, never changed, in
// the samples folder).
bool CopySample(const std::string& sub, const std::vector<std::string>& names, TempFolder& dir) {
    const std::string samples = ari::test::SamplesDir();
    if (samples.empty())
        return false;
    for (const auto& n : names)
        ari::test::WriteFileBytes(dir / n, Bytes(samples + sub + "/" + n));
    return true;
}

TEST(PackFailures, EachFailureLeavesTheTableWhereItFailed) {
    const FailureRow rows[] = {
        {"exclusive open: another user holds the table",
         [](TempFolder& d, TTable&, std::unique_ptr<ForeignLock>& lock) {
             lock = std::make_unique<ForeignLock>(d / "orders.dbf", 'r', 0xF0000000ull, 1);
         },
         Kind::EngineError, nullptr, false, true, true},
        {"exclusive open: a dBASE client holds a record lock",
         [](TempFolder& d, TTable&, std::unique_ptr<ForeignLock>& lock) {
             lock = std::make_unique<ForeignLock>(d / "orders.dbf", 'w', 0xEFFFFFFEull - 2, 1);
         },
         Kind::EngineError, nullptr, false, true, true},
        {"engine pack: the disk is full",
         [](TempFolder&, TTable&, std::unique_ptr<ForeignLock>&) { installed.emplace(&diskFull); },
         Kind::EngineError, nullptr, true, true, false},
        {"type: a FoxPro table",
         [](TempFolder& d, TTable& t, std::unique_ptr<ForeignLock>&) {
             if (!CopySample("foxpro", {"calls.dbf", "calls.CDX", "calls.FPT"}, d))
                 return;
             t.SetTableName("calls.dbf");
         },
         Kind::DatabaseError, "Table must be  either of Paradox or dBASE type to pack", true, true,
         false},
    };
    for (const FailureRow& row : rows) {
        SCOPED_TRACE(row.where);
        TempFolder dir;
        ari::test::MakeTable(dir / "orders.dbf", ari::test::StandardRows());
        TTable table("Table2");
        table.SetDatabaseName(dir.Path());
        table.SetTableName("orders.dbf");
        std::unique_ptr<ForeignLock> lock;
        row.arrange(dir, table, lock);
        if (std::string(row.where).find("FoxPro") != std::string::npos &&
            table.TableName() == "orders.dbf") {
            GTEST_LOG_(INFO) << "samples folder missing: FoxPro row not run";
            continue;
        }
        const std::string before = Bytes(table.TablePath());
        try {
            PackTable(table, true);
            ADD_FAILURE() << "no exception";
        } catch (const EDBEngineError& e) {
            EXPECT_EQ(row.kind, Kind::EngineError) << e.Message();
            EXPECT_FALSE(e.Message().empty());
        } catch (const EDatabaseError& e) {
            EXPECT_EQ(row.kind, Kind::DatabaseError) << e.Message();
            if (row.message) {
                EXPECT_EQ(e.Message(), row.message);
            }
        }
        installed.reset();
        EXPECT_EQ(table.Active(), row.activeAfter);
        EXPECT_EQ(table.Exclusive(), row.exclusiveAfter);
        EXPECT_EQ(table.ControlsDisabled(), row.controlsLeftDisabled);
        table.Close();
        EXPECT_EQ(Bytes(table.TablePath()), before) << "the table file changed";
    }
}

// The Paradox branch: the descriptor goes to the rewrite after the table is closed (the engine
// refuses to rewrite an open table), and a failed rewrite leaves the table closed with
// Exclusive set.
TEST(PackFailures, ParadoxRewriteFailureLeavesTheTableClosedAndExclusive) {
    TempFolder dir;
    ari::test::WriteFileBytes(dir / "CUSTOMER.DB", MinimalParadoxTable());
    const std::string before = Bytes(dir / "CUSTOMER.DB");
    TTable table("Table2");
    table.SetDatabaseName(dir.Path());
    table.SetTableName("CUSTOMER.DB");
    {
        const ari::test::InstalledEnv full(&diskFull);  // whether or not the rewrite gets to write
        EXPECT_THROW(PackTable(table, true), EDBEngineError);
    }
    EXPECT_FALSE(table.Active());
    EXPECT_TRUE(table.Exclusive());
    EXPECT_FALSE(table.ControlsDisabled());
    EXPECT_EQ(Bytes(dir / "CUSTOMER.DB"), before);
}

TEST(PackParadox, TableIsRewrittenAndReopenedShared) {
    TempFolder dir;
    ari::test::WriteFileBytes(dir / "CUSTOMER.DB", MinimalParadoxTable());
    TTable table("Table2");
    table.SetDatabaseName(dir.Path());
    table.SetTableName("CUSTOMER.DB");
    EXPECT_TRUE(PackTable(table, false));
    EXPECT_TRUE(table.Active());
    EXPECT_FALSE(table.Exclusive());
}

TEST(PackDescriptor, NameTypeAndPackFlagInTheirFieldsAndNothingElse) {
    const std::string longest(ari::kDescriptorNameMax, 'n');
    for (const std::string& name : {std::string("CUSTOMER.DB"), longest}) {
        const auto d = ari::MakePackDescriptor(name, "PARADOX");
        ASSERT_EQ(d.size(), 682u);
        EXPECT_EQ(std::memcmp(d.data(), name.data(), name.size()), 0);
        EXPECT_EQ(d[name.size()], 0);
        EXPECT_EQ(std::memcmp(d.data() + 261, "PARADOX", 8), 0);  // with its NUL
        EXPECT_EQ(d[620], 0xFF);
        EXPECT_EQ(d[621], 0xFF);
        for (size_t i = 0; i < d.size(); ++i) {
            const bool inName = i < name.size();
            const bool inType = i >= 261 && i < 261 + 7;
            if (!inName && !inType && i != 620 && i != 621) {
                ASSERT_EQ(d[i], 0) << "byte " << i;
            }
        }
    }
    // A longer name does not fit: refused rather than cut (a cut name may name another table).
    EXPECT_THROW(ari::MakePackDescriptor(longest + "x", "PARADOX"), EDatabaseError);
}

TEST(PackDescriptor, TypeTextEndsAtNulOrAtTheEndOfItsField) {
    std::vector<uint8_t> info(kCursorInfoSize, 0);
    std::memcpy(info.data() + 263, "DBASE", 5);
    EXPECT_EQ(ari::CursorInfoTypeText(info.data()), "DBASE");
    std::memset(info.data() + 263, 'X', 32);
    info[263 + 32] = 'Y';  // the byte after the field is not part of the text
    EXPECT_EQ(ari::CursorInfoTypeText(info.data()), std::string(32, 'X'));
}

}  // namespace
