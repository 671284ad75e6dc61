#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/AtomicFile.h"
#include "platform/FileErrors.h"
#include "platform/FileNames.h"
#include "tests/support/FailingEnv.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::AtomicFile;
using ari::test::FileNamesIn;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

// Writes "new " and "contents" in two writes and commits over `target`.
void ReplaceInTwoWrites(const std::string& target, AtomicFile::Naming naming) {
    const std::string temporary = naming == AtomicFile::Naming::Exact
                                      ? ari::TemporaryPathFor(target, "test")
                                      : ari::HiddenUniqueTemporaryPattern(target);
    AtomicFile file(target, temporary, naming);
    file.CarryAttributes();
    file.Write("new ", 4);
    file.Write("contents", 8);
    file.Commit();
}

TEST(AtomicFile, CommitPutsTheWholeNewFileInPlaceWithTheOldFilesPermissions) {
    for (const auto naming : {AtomicFile::Naming::Exact, AtomicFile::Naming::Unique}) {
        SCOPED_TRACE(naming == AtomicFile::Naming::Exact ? "exact name" : "unique name");
        TempFolder dir;
        WriteFileBytes(dir / "T.DBF", "old contents, longer than the new");
        chmod((dir / "T.DBF").c_str(), 0640);
        ReplaceInTwoWrites(dir / "T.DBF", naming);
        EXPECT_EQ(ReadFileBytes(dir / "T.DBF"), "new contents");
        struct stat st;
        ASSERT_EQ(stat((dir / "T.DBF").c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0640u);
        EXPECT_EQ(FileNamesIn(dir.Path()), std::vector<std::string>{"T.DBF"});
    }
}

// Each write, flush and rename failed in turn: the target keeps its old bytes and no temporary
// is left, whichever way the temporary was named.
TEST(AtomicFile, AnyFailedWriteFlushOrRenameLeavesTheTargetWhole) {
    using ari::test::FailingEnv;
    for (const auto naming : {AtomicFile::Naming::Exact, AtomicFile::Naming::Unique})
        for (const auto kind : {FailingEnv::kWrite, FailingEnv::kFsync, FailingEnv::kRename})
            for (int n = 1;; ++n) {
                SCOPED_TRACE(testing::Message() << "naming " << static_cast<int>(naming) << " kind "
                                                << kind << " call " << n);
                TempFolder dir;
                WriteFileBytes(dir / "T.mdx", "old index");
                FailingEnv ops(kind, n);
                bool threw = false;
                {
                    const ari::test::InstalledEnv installed(&ops);
                    try {
                        ReplaceInTwoWrites(dir / "T.mdx", naming);
                    } catch (const EInOutError& e) {
                        threw = true;
                        EXPECT_EQ(e.ErrorCode(), ari::kDiskFull);
                    }
                }
                EXPECT_EQ(FileNamesIn(dir.Path()), std::vector<std::string>{"T.mdx"});
                // Every kind of call reaches the seam at least once.
                EXPECT_TRUE(n > 1 || ops.Failed());
                if (!ops.Failed()) {
                    EXPECT_FALSE(threw);
                    EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), "new contents");
                    break;
                }
                EXPECT_TRUE(threw);
                EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), "old index");
            }
}

// A name that is taken, by a symbolic link above all, is never opened: nothing is written
// through the link. A leftover that the remover frees is replaced; one it cannot free is busy.
TEST(AtomicFile, ATakenTemporaryNameIsNeverOpened) {
    struct Case {
        const char* what;
        bool haveRemover;
        bool removerFrees;
        int code;  // the error, 0 for none
    };
    const Case cases[] = {
        {"no remover", false, false, ari::kAccessDenied},
        {"a remover that cannot free it", true, false, ari::kSharingViolation},
        {"a remover that frees it", true, true, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempFolder dir;
        WriteFileBytes(dir / "victim", "someone else's file");
        WriteFileBytes(dir / "T.mdx", "old index");
        const std::string temporary = ari::TemporaryPathFor(dir / "T.mdx", "test");
        std::filesystem::create_symlink(dir / "victim", temporary);
        AtomicFile::StaleRemover remover;
        if (c.haveRemover)
            remover = [&](const std::string& path) {
                EXPECT_EQ(path, temporary);
                return c.removerFrees && std::filesystem::remove(path);
            };
        try {
            AtomicFile file(dir / "T.mdx", temporary, AtomicFile::Naming::Exact, remover);
            EXPECT_EQ(c.code, 0);
            file.Write("new", 3);
            file.Commit();
            EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), "new");
        } catch (const EInOutError& e) {
            EXPECT_EQ(e.ErrorCode(), c.code);
            EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), "old index");
        }
        EXPECT_EQ(ReadFileBytes(dir / "victim"), "someone else's file");
    }
}

TEST(AtomicFile, AFileNotCommittedIsRemovedAndAReleasedOneIsKept) {
    TempFolder dir;
    WriteFileBytes(dir / "T.DBF", "old");
    const std::string temporary = ari::TemporaryPathFor(dir / "T.DBF", "test");
    {
        AtomicFile file(dir / "T.DBF", temporary);
        file.Write("half", 4);
    }
    EXPECT_EQ(FileNamesIn(dir.Path()), std::vector<std::string>{"T.DBF"});
    int fd = -1;
    {
        AtomicFile file(dir / "T.DBF", temporary);
        file.Write("kept", 4);
        fd = file.Release();
    }
    EXPECT_EQ(ReadFileBytes(temporary), "kept");
    EXPECT_EQ(close(fd), 0);
    EXPECT_EQ(ReadFileBytes(dir / "T.DBF"), "old");
}

TEST(AtomicFile, CopyFromTakesTheWholeSourceAndRefusesWhatIsNoFile) {
    TempFolder dir;
    std::string big(300000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>(i * 7 + i / 256);
    WriteFileBytes(dir / "source", big);
    WriteFileBytes(dir / "T.mdx", "old");
    {
        AtomicFile file(dir / "T.mdx", ari::TemporaryPathFor(dir / "T.mdx", "copy"));
        file.CopyFrom(dir / "source");
        file.Commit();
    }
    EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), big);
    // A pipe under the source's name is refused, not waited on.
    ASSERT_EQ(mkfifo((dir / "pipe").c_str(), 0600), 0);
    {
        AtomicFile file(dir / "T.mdx", ari::TemporaryPathFor(dir / "T.mdx", "copy"));
        EXPECT_THROW(file.CopyFrom(dir / "pipe"), EInOutError);
    }
    EXPECT_EQ(ReadFileBytes(dir / "T.mdx"), big);
}

}  // namespace
