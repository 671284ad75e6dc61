// The platform's Env against real files, links, pipes, locks and processes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <vector>

#include "platform/Env.h"
#include "tests/support/ChildHolder.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::Env;
using ari::FileHandle;
using ari::NameKind;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

std::string ReadAll(const std::string& path) {
    Env* env = Env::Default();
    const FileHandle fd = env->Open(path, ari::kOpenRead);
    if (fd < 0)
        return "<cannot open>";
    std::string out(4096, '\0');
    const int64_t n = env->ReadAt(fd, 0, out.data(), out.size());
    env->Close(fd);
    out.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return out;
}

TEST(Env, TellsWhatANameIsWithAndWithoutFollowingALink) {
    TempFolder dir;
    WriteFileBytes(dir / "file", "abc");
    ASSERT_EQ(::mkdir((dir / "folder").c_str(), 0755), 0);
    ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
    ASSERT_EQ(::symlink("gone", (dir / "dangling").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    const struct {
        const char* name;
        NameKind itself;    // the link itself
        NameKind followed;  // what it names; Missing: the call fails with ENOENT
    } rows[] = {
        {"missing", NameKind::Missing, NameKind::Missing},
        {"file", NameKind::Regular, NameKind::Regular},
        {"folder", NameKind::Folder, NameKind::Folder},
        {"link", NameKind::Link, NameKind::Regular},
        {"dangling", NameKind::Link, NameKind::Missing},
        {"pipe", NameKind::Other, NameKind::Other},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(ari::KindOfName(dir / row.name), row.itself);
        ari::FileInfo info;
        const int rc = Env::Default()->PathInfo(dir / row.name, true, &info);
        if (row.followed == NameKind::Missing) {
            EXPECT_EQ(rc, -1);
            EXPECT_EQ(errno, ENOENT);
        } else {
            ASSERT_EQ(rc, 0);
            EXPECT_EQ(info.kind, row.followed);
        }
    }
    ari::FileInfo byLink, byName;
    ASSERT_EQ(Env::Default()->PathInfo(dir / "link", true, &byLink), 0);
    ASSERT_EQ(Env::Default()->PathInfo(dir / "file", false, &byName), 0);
    EXPECT_EQ(byLink.id, byName.id);
    EXPECT_EQ(byName.size, 3u);
}

TEST(Env, OpenFlagsDoWhatTheySay) {
    TempFolder dir;
    WriteFileBytes(dir / "file", "abc");
    ASSERT_EQ(::symlink("file", (dir / "link").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "pipe").c_str(), 0644), 0);
    Env* env = Env::Default();
    const struct {
        const char* what;
        const char* name;
        unsigned flags;
        int err;              // 0: opens
        const char* written;  // written through the handle when it opens
        const char* after;    // the file "file" afterwards
    } rows[] = {
        {"missing, read", "missing", ari::kOpenRead, ENOENT, nullptr, "abc"},
        {"exclusive create over a file", "file",
         ari::kOpenReadWrite | ari::kOpenCreate | ari::kOpenExclusive, EEXIST, nullptr, "abc"},
        {"no follow through a link", "link", ari::kOpenReadWrite | ari::kOpenNoFollow, ELOOP,
         nullptr, "abc"},
        {"follow through a link", "link", ari::kOpenReadWrite, 0, "X", "Xbc"},
        {"append", "file", ari::kOpenWrite | ari::kOpenAppend, 0, "de", "abcde"},
        {"truncate", "file", ari::kOpenWrite | ari::kOpenTruncate, 0, "z", "z"},
        {"a pipe without a writer, non-blocking", "pipe", ari::kOpenRead | ari::kOpenNonBlocking, 0,
         nullptr, "abc"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        WriteFileBytes(dir / "file", "abc");
        errno = 0;
        const FileHandle fd = env->Open(dir / row.name, row.flags);
        if (row.err != 0) {
            EXPECT_EQ(fd, ari::kNoFile);
            EXPECT_EQ(errno, row.err);
        } else {
            ASSERT_GE(fd, 0) << errno;
            if (row.written) {
                const std::string w = row.written;
                EXPECT_EQ(env->Write(fd, w.data(), w.size()), static_cast<int64_t>(w.size()));
            }
            EXPECT_EQ(env->Close(fd), 0);
        }
        EXPECT_EQ(ReadAll(dir / "file"), row.after);
    }
    // A new file gets the permissions asked for (less the umask, which clears no owner bit).
    const FileHandle fd =
        env->Open(dir / "new", ari::kOpenWrite | ari::kOpenCreate | ari::kOpenExclusive, 0600);
    ASSERT_GE(fd, 0);
    ari::FileInfo info;
    ASSERT_EQ(env->Info(fd, &info), 0);
    EXPECT_EQ(info.kind, NameKind::Regular);
    EXPECT_EQ(info.permissions, 0600u);
    env->Close(fd);
    // Handles are not inherited by programs this process starts.
    const FileHandle held = env->Open(dir / "file", ari::kOpenRead);
    EXPECT_NE(::fcntl(held, F_GETFD) & FD_CLOEXEC, 0);
    env->Close(held);
}

// A child process that holds a write lock on bytes [start, start + length) of `path` until it
// is told to end.
class LockingChild : public ari::test::ChildHolder {
  public:
    LockingChild(const std::string& path, uint64_t start, uint64_t length)
        : ChildHolder(
              [&] {
                  Env* env = Env::Default();
                  const FileHandle fd = env->Open(path, ari::kOpenReadWrite);
                  return fd >= 0 && env->LockRange(fd, ari::LockKind::Write, start, length) == 0;
              },
              false) {}
    bool Locked() const { return Holds(); }
    void End() { Release(); }
};

TEST(Env, RecordLocksOfAnotherProcessAreSeenAndRefusedUntilItEnds) {
    TempFolder dir;
    WriteFileBytes(dir / "t.dbf", std::string(100, 'x'));
    Env* env = Env::Default();
    const FileHandle fd = env->Open(dir / "t.dbf", ari::kOpenReadWrite);
    ASSERT_GE(fd, 0);
    {
        LockingChild child(dir / "t.dbf", 10, 5);
        ASSERT_TRUE(child.Locked());
        ari::LockHolder holder;
        ASSERT_TRUE(env->FindLock(fd, ari::LockKind::Read, 0, 0, &holder));
        EXPECT_EQ(holder.kind, ari::LockKind::Write);
        EXPECT_EQ(holder.start, 10u);
        EXPECT_FALSE(env->FindLock(fd, ari::LockKind::Write, 15, 10, nullptr));  // past it
        EXPECT_EQ(env->LockRange(fd, ari::LockKind::Read, 12, 1), -1);
        EXPECT_TRUE(errno == EAGAIN || errno == EACCES) << errno;
        EXPECT_EQ(env->LockRange(fd, ari::LockKind::Write, 0, 10), 0);  // beside it
    }
    EXPECT_EQ(env->LockRange(fd, ari::LockKind::Write, 0, 0), 0);
    // Locks belong to the open file: a second handle of this process is refused too, and
    // closing it drops none of the first handle's locks.
    const FileHandle second = env->Open(dir / "t.dbf", ari::kOpenReadWrite);
    ASSERT_GE(second, 0);
    EXPECT_EQ(env->LockRange(second, ari::LockKind::Read, 50, 1), -1);
    env->Close(second);
    LockingChild late(dir / "t.dbf", 50, 1);
    EXPECT_FALSE(late.Locked());
    late.End();
    EXPECT_EQ(env->UnlockRange(fd, 0, 0), 0);
    LockingChild after(dir / "t.dbf", 50, 1);
    EXPECT_TRUE(after.Locked());
    after.End();
    env->Close(fd);
}

TEST(Env, OtherOpenersAreFoundButNotTheHeldHandleOrItsDuplicates) {
    TempFolder dir;
    WriteFileBytes(dir / "a.dbf", "a");
    WriteFileBytes(dir / "b.dbf", "b");
    WriteFileBytes(dir / "c.dbf", "c");
    Env* env = Env::Default();
    // c: another process (started first, so that it inherits none of the handles below).
    LockingChild child(dir / "c.dbf", 0, 1);
    ASSERT_TRUE(child.Locked());
    std::vector<ari::OpenFileTarget> targets;
    std::vector<FileHandle> handles;
    for (const char* name : {"a.dbf", "b.dbf", "c.dbf"}) {
        const FileHandle fd = env->Open(dir / name, ari::kOpenReadWrite);
        ASSERT_GE(fd, 0);
        ari::FileInfo info;
        ASSERT_EQ(env->Info(fd, &info), 0);
        targets.push_back({info.id, fd});
        handles.push_back(fd);
    }
    const FileHandle duplicate = env->Duplicate(handles[0]);            // a: ours only
    const FileHandle again = env->Open(dir / "b.dbf", ari::kOpenRead);  // b: a second open
    const auto found = env->FindOtherOpeners(targets);
    ASSERT_EQ(found.size(), 2u);
    for (const auto& o : found) {
        if (o.id == targets[1].id) {
            EXPECT_EQ(o.kind, ari::OtherOpener::Kind::ThisProcessAgain);
        } else {
            EXPECT_EQ(o.id, targets[2].id);
            EXPECT_EQ(o.kind, ari::OtherOpener::Kind::OtherProcess);
            EXPECT_EQ(o.pid, child.Pid());
        }
    }
    child.End();
    env->Close(again);
    EXPECT_TRUE(env->FindOtherOpeners(targets).empty());
    env->Close(duplicate);
    for (const FileHandle fd : handles)
        env->Close(fd);
}

TEST(Env, AnInstalledEnvIsInForceForItsScopeAndTheOneBeforeComesBack) {
    Env* platform = Env::Platform();
    ASSERT_EQ(Env::Default(), platform);
    ari::EnvWrapper outer(Env::Default());
    {
        const ari::ScopedEnvForTesting installOuter(&outer);
        EXPECT_EQ(Env::Default(), &outer);
        ari::EnvWrapper inner(Env::Default());
        {
            const ari::ScopedEnvForTesting installInner(&inner);
            EXPECT_EQ(Env::Default(), &inner);
            EXPECT_EQ(inner.Target(), &outer);
        }
        EXPECT_EQ(Env::Default(), &outer);
    }
    EXPECT_EQ(Env::Default(), platform);
}

}  // namespace
