// UnzipAll over crafted archives: what it writes, the stored dates and attributes, and that
// nothing ever lands outside the target folder.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <zip.h>
#include <zlib.h>

#include <ctime>
#include <filesystem>
#include <ostream>
#include <string>
#include <vector>

#include "templates/TemplateArchive.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

struct ZipItem {
    std::string name;
    std::string data;
    unsigned host = 0;  // 0 MS-DOS, 3 Unix
    unsigned long attributes = 0x20;
    bool stored = false;                 // method 0 instead of deflate
    tm_zip date{0, 30, 9, 15, 5, 2021};  // 15 June 2021 09:30:00
};

void MakeZip(const std::string& path, const std::vector<ZipItem>& items) {
    zipFile zf = zipOpen64(path.c_str(), APPEND_STATUS_CREATE);
    ASSERT_NE(zf, nullptr);
    for (const ZipItem& it : items) {
        zip_fileinfo info{};
        info.tmz_date = it.date;
        info.external_fa = it.attributes;
        ASSERT_EQ(zipOpenNewFileInZip4_64(zf, it.name.c_str(), &info, nullptr, 0, nullptr, 0,
                                          nullptr, it.stored ? 0 : Z_DEFLATED,
                                          it.stored ? 0 : Z_DEFAULT_COMPRESSION, 0, -MAX_WBITS,
                                          DEF_MEM_LEVEL, Z_DEFAULT_STRATEGY, nullptr, 0,
                                          (it.host << 8) | 20, 0, 0),
                  ZIP_OK);
        ASSERT_EQ(zipWriteInFileInZip(zf, it.data.data(), static_cast<unsigned>(it.data.size())),
                  ZIP_OK);
        ASSERT_EQ(zipCloseFileInZip(zf), ZIP_OK);
    }
    ASSERT_EQ(zipClose(zf, nullptr), ZIP_OK);
}

// Every path below `root`, relative, sorted.
std::vector<std::string> Tree(const std::string& root) {
    std::vector<std::string> out;
    for (auto it = fs::recursive_directory_iterator(root); it != fs::recursive_directory_iterator();
         ++it)
        out.push_back(fs::relative(it->path(), root).string());
    std::sort(out.begin(), out.end());
    return out;
}

bool Unzip(const std::string& zip, const std::string& folder) {
    return UnzipAll(zip, folder);
}

time_t LocalTime(int y, int mo, int d, int h, int mi, int s) {
    struct tm t = {};
    t.tm_year = y - 1900;
    t.tm_mon = mo - 1;
    t.tm_mday = d;
    t.tm_hour = h;
    t.tm_min = mi;
    t.tm_sec = s;
    t.tm_isdst = -1;
    return mktime(&t);
}

TEST(UnzipAll, ExtractsFilesFoldersDatesAndAttributes) {
    TempFolder dir;
    fs::create_directory(dir / "target");
    WriteFileBytes(dir / "target/KEEP.TXT", "not named by the archive");
    WriteFileBytes(dir / "target/A.DBF", "old content that is longer than the new one");
    ZipItem readOnly{"RO.DBF", "locked", 0, 0x21};
    ZipItem unixFile{"tools/run.sh", "#!/bin/sh\n", 3, (S_IFREG | 0750u) << 16};
    MakeZip(dir / "t.zip", {{"A.DBF", "new"},
                            {"sub/deeper/B.MDX", std::string(70000, 'x')},
                            {"win\\style\\C.DBT", "backslashes"},
                            {"empty/", ""},
                            readOnly,
                            unixFile});
    ASSERT_TRUE(Unzip(dir / "t.zip", dir / "target"));

    EXPECT_EQ(Tree(dir / "target"),
              (std::vector<std::string>{"A.DBF", "KEEP.TXT", "RO.DBF", "empty", "sub", "sub/deeper",
                                        "sub/deeper/B.MDX", "tools", "tools/run.sh", "win",
                                        "win/style", "win/style/C.DBT"}));
    EXPECT_EQ(ReadFileBytes(dir / "target/A.DBF"), "new");
    EXPECT_EQ(ReadFileBytes(dir / "target/sub/deeper/B.MDX"), std::string(70000, 'x'));
    EXPECT_EQ(ReadFileBytes(dir / "target/KEEP.TXT"), "not named by the archive");

    struct stat st;
    ASSERT_EQ(stat((dir / "target/A.DBF").c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime, LocalTime(2021, 6, 15, 9, 30, 0));
    EXPECT_EQ(st.st_mode & 0777, 0644u);
    ASSERT_EQ(stat((dir / "target/RO.DBF").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0222, 0u) << "the read-only attribute takes the write permission away";
    ASSERT_EQ(stat((dir / "target/tools/run.sh").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0750u);
}

struct UnsafeCase {
    const char* label;
    ZipItem item;
};

// Test names and failure reports show the case label rather than its bytes.
void PrintTo(const UnsafeCase& c, std::ostream* os) {
    *os << c.label;
}

class UnzipRefuses : public ::testing::TestWithParam<UnsafeCase> {};

TEST_P(UnzipRefuses, AnEntryThatWouldLeaveTheFolder) {
    TempFolder dir;
    fs::create_directories(dir / "base/target");
    // A harmless entry first: the whole archive is refused before anything is written.
    MakeZip(dir / "evil.zip", {{"FIRST.DBF", "first"}, GetParam().item});
    EXPECT_FALSE(Unzip(dir / "evil.zip", dir / "base/target"));
    EXPECT_EQ(Tree(dir / "base"), std::vector<std::string>{"target"});
    EXPECT_FALSE(fs::exists("/abs-ari-unzip-test"));
    EXPECT_FALSE(fs::exists(dir / "x"));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UnzipRefuses,
    ::testing::Values(UnsafeCase{"parent", {"../x", "escaped"}},
                      UnsafeCase{"parent_twice", {"../../x", "escaped"}},
                      UnsafeCase{"parent_inside", {"sub/../../x", "escaped"}},
                      UnsafeCase{"parent_backslash", {"sub\\..\\..\\x", "escaped"}},
                      UnsafeCase{"absolute", {"/abs-ari-unzip-test/x", "escaped"}},
                      UnsafeCase{"absolute_backslash", {"\\abs-ari-unzip-test\\x", "escaped"}},
                      UnsafeCase{"drive_letter", {"C:/x", "escaped"}},
                      UnsafeCase{"symlink", {"link", "../..", 3, (S_IFLNK | 0777u) << 16}},
                      UnsafeCase{"symlink_absolute", {"link", "/etc", 3, (S_IFLNK | 0777u) << 16}}),
    [](const auto& p) { return std::string(p.param.label); });

TEST(UnzipAll, DoesNotFollowALinkAlreadyInTheFolder) {
    TempFolder dir;
    fs::create_directories(dir / "target");
    fs::create_directories(dir / "outside");
    fs::create_directory_symlink(dir / "outside", dir / "target/link");
    MakeZip(dir / "t.zip", {{"link/x", "escaped"}});
    EXPECT_FALSE(Unzip(dir / "t.zip", dir / "target"));
    EXPECT_TRUE(fs::is_empty(dir / "outside"));
}

TEST(UnzipAll, ADamagedEntryLeavesNoFileUnderItsName) {
    TempFolder dir;
    fs::create_directory(dir / "target");
    WriteFileBytes(dir / "target/B.DBF", "the old B");
    const std::string marker = "PAYLOAD-PAYLOAD-PAYLOAD";
    MakeZip(dir / "t.zip", {{"A.DBF", "fine"}, {"B.DBF", marker, 0, 0x20, true}});
    // Damage the stored data of B: its CRC-32 no longer matches.
    std::string bytes = ReadFileBytes(dir / "t.zip");
    const size_t at = bytes.find(marker);
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'X';
    WriteFileBytes(dir / "t.zip", bytes);

    EXPECT_FALSE(Unzip(dir / "t.zip", dir / "target"));
    EXPECT_EQ(ReadFileBytes(dir / "target/A.DBF"), "fine");
    EXPECT_EQ(ReadFileBytes(dir / "target/B.DBF"), "the old B");
    EXPECT_EQ(Tree(dir / "target"), (std::vector<std::string>{"A.DBF", "B.DBF"}))
        << "no temporary file is left behind";
}

// Unpacking fails at every write, flush and rename in turn (a full disk): each entry is either
// whole under its name or absent, never cut short, and the completion of the next start brings
// the folder to what an undisturbed unpack gives.
TEST(UnzipAll, EveryFailedWriteFlushOrRenameIsCompletedByTheNextStart) {
    using ari::test::FailingEnv;
    TempFolder dir;
    const std::vector<ZipItem> items{{"A.DBF", "first table"},
                                     {"A.MDX", std::string(70000, 'a')},
                                     {"B.DBF", "second table"},
                                     {"sub/C.DBF", std::string(3000, 'c')}};
    MakeZip(dir / "t.zip", items);
    fs::create_directory(dir / "clean");
    ASSERT_TRUE(Unzip(dir / "t.zip", dir / "clean"));
    const auto cleanTree = Tree(dir / "clean");
    for (const auto kind : {FailingEnv::kWrite, FailingEnv::kFsync, FailingEnv::kRename}) {
        for (int n = 1;; ++n) {
            SCOPED_TRACE(std::to_string(kind) + " #" + std::to_string(n));
            const std::string target = dir / ("t" + std::to_string(kind) + "-" + std::to_string(n));
            fs::create_directory(target);
            FailingEnv ops(kind, n);
            bool unpacked = false;
            {
                const ari::test::InstalledEnv installed(&ops);
                unpacked = Unzip(dir / "t.zip", target);
            }
            EXPECT_EQ(unpacked, !ops.Failed());
            for (const ZipItem& it : items) {
                const std::string file = target + "/" + it.name;
                if (fs::exists(file)) {
                    EXPECT_EQ(ReadFileBytes(file), it.data) << it.name;
                }
            }
            ASSERT_TRUE(UnzipMissing(dir / "t.zip", target));
            EXPECT_EQ(Tree(target), cleanTree);
            for (const ZipItem& it : items)
                EXPECT_EQ(ReadFileBytes(target + "/" + it.name), it.data) << it.name;
            if (!ops.Failed()) {
                EXPECT_GT(n, 1) << "the unpacking never reached this kind of call";
                break;
            }
        }
    }
}

TEST(UnzipAll, FailsOnAMissingOrDamagedArchive) {
    TempFolder dir;
    fs::create_directory(dir / "target");
    EXPECT_FALSE(Unzip(dir / "none.zip", dir / "target"));
    WriteFileBytes(dir / "junk.zip", "PK\x03\x04 this is no archive");
    EXPECT_FALSE(Unzip(dir / "junk.zip", dir / "target"));
    EXPECT_TRUE(fs::is_empty(dir / "target"));
}

}  // namespace
