#include <gtest/gtest.h>
#include <sys/stat.h>

#include "platform/Exception.h"
#include "platform/Files.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::TempFolder;
using ari::test::WriteFileBytes;

TEST(ListFiles, MatchesFilesOnlyWithoutRegardToCaseAndSortsThem) {
    TempFolder dir;
    for (const char* name : {"c.dbf", "B.DBF", "a.dbf", "notes.txt", ".hidden.dbf", "x.dbf.bak",
                             "Z.Dbf"})
        WriteFileBytes(dir / name, "x");
    mkdir((dir / "folder.dbf").c_str(), 0755);
    const auto names = ari::ListFiles(dir.Path(), "*.dbf");
    EXPECT_EQ(names, (std::vector<std::string>{"a.dbf", "B.DBF", "c.dbf", "Z.Dbf"}));
}

TEST(ListFiles, MissingFolderIsAnInOutError) {
    TempFolder dir;
    try {
        ari::ListFiles(dir / "missing/", "*.dbf");
        FAIL() << "no error";
    } catch (const EInOutError& e) {
        EXPECT_EQ(e.ErrorCode(), 2);
        EXPECT_STREQ(e.what(), "The specified file was not found");
    }
}

TEST(Files, CompanionFoundWhateverItsCase) {
    TempFolder dir;
    WriteFileBytes(dir / "ORDERS.MDX", "x");
    EXPECT_EQ(ari::FindFileNoCase(dir.Path(), "orders.mdx"), "ORDERS.MDX");
    EXPECT_EQ(ari::FindFileNoCase(dir.Path(), "ORDERS.MDX"), "ORDERS.MDX");
    EXPECT_EQ(ari::FindFileNoCase(dir.Path(), "orders.dbt"), "");
}

TEST(Files, CopyNeverOverwrites) {
    TempFolder dir;
    WriteFileBytes(dir / "a", "new");
    WriteFileBytes(dir / "b", "old");
    EXPECT_FALSE(ari::CopyFileNoOverwrite(dir / "a", dir / "b"));
    EXPECT_EQ(ari::test::ReadFileBytes(dir / "b"), "old");
    EXPECT_TRUE(ari::CopyFileNoOverwrite(dir / "a", dir / "c"));
    EXPECT_EQ(ari::test::ReadFileBytes(dir / "c"), "new");
    EXPECT_FALSE(ari::CopyFileNoOverwrite(dir / "missing", dir / "d"));
    EXPECT_FALSE(ari::FileExists(dir / "d"));
}

TEST(Files, PathPieces) {
    EXPECT_EQ(ari::WithTrailingSeparator("/data"), "/data/");
    EXPECT_EQ(ari::WithTrailingSeparator("/data/"), "/data/");
    EXPECT_EQ(ari::ExtractFilePath("/opt/app/autoreindex"), "/opt/app/");
    EXPECT_EQ(ari::ExtractFileName("/opt/app/autoreindex"), "autoreindex");
    EXPECT_TRUE(ari::MatchesMask("ORDERS.DBF", "*.dbf"));
    EXPECT_FALSE(ari::MatchesMask("orders.dbf.old", "*.dbf"));
}

}  // namespace
