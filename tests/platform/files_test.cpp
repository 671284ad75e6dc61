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
    for (const char* name :
         {"c.dbf", "B.DBF", "a.dbf", "notes.txt", ".hidden.dbf", "x.dbf.bak", "Z.Dbf"})
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
}

TEST(Files, MatchesMask) {
    const std::string longName(120, 'a');
    const struct {
        std::string name, mask;
        bool matches;
    } cases[] = {
        {"ORDERS.DBF", "*.dbf", true},
        {"orders.dbf.old", "*.dbf", false},
        {"orders.dbf", "orders.dbf", true},
        {"orders.dbf", "ORD?RS.*", true},
        {"orders", "orders?", false},
        {"", "*", true},
        {"", "", true},
        {"a", "", false},
        {"abc", "a*b*c", true},
        {"abcbc", "a*bc", true},
        {"abcb", "a*bc", false},
        {"x.mdx", "**x.*", true},
        // Many stars over a long name: each one retries only from where it last stopped.
        {longName + ".mdx", "*a*a*a*a*a*a*a*a*a*a*a*b.mdx", false},
        {longName + "b.mdx", "*a*a*a*a*a*a*a*a*a*a*a*b.mdx", true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ari::MatchesMask(c.name, c.mask), c.matches) << c.name << " ~ " << c.mask;
}

}  // namespace
