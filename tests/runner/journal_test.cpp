// The run journal's appends and rotation, with two real processes writing at once, a reader
// locking it, and pipes, folders and links in the place of its files; the run marker's
// exclusion between two real processes; the schedule tick's decision; the passes read back from
// the journal's summary blocks.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <functional>
#include <future>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <thread>

#include "log/RunJournal.h"
#include "maintenance/PassHistory.h"
#include "maintenance/RunSummary.h"
#include "platform/DateTime.h"
#include "platform/Exception.h"
#include "platform/RunMarker.h"
#include "runner/Runner.h"
#include "tests/support/TestFolders.h"

namespace {

namespace fs = std::filesystem;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            out.push_back(text.substr(start) + "<no line break>");
            break;
        }
        out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return out;
}

// The journal's lines, oldest file first.
std::vector<std::string> JournalLines(const std::string& path, int keep) {
    std::vector<std::string> out;
    for (int n = keep; n >= 0; --n) {
        const std::string file = n == 0 ? path : path + "." + std::to_string(n);
        if (!fs::exists(file))
            continue;
        for (auto& l : Lines(ReadFileBytes(file)))
            out.push_back(l);
    }
    return out;
}

// `n` with leading zeros to four digits.
std::string FourDigits(int n) {
    std::string text = std::to_string(n);
    return std::string(text.size() < 4 ? 4 - text.size() : 0, '0') + text;
}

TEST(RunJournal, RotatesAtTheLimitKeepingTheNewestFilesEachWithWholeLines) {
    TempFolder dir;
    const ari::RunJournal journal(dir.Path(), 1000, 3);
    for (int i = 0; i < 200; ++i)
        ASSERT_TRUE(journal.Append("line " + FourDigits(i) + " " + std::string(30, 'x')));
    EXPECT_TRUE(fs::exists(journal.Path() + ".3"));
    EXPECT_FALSE(fs::exists(journal.Path() + ".4"));
    for (const std::string& f :
         {journal.Path(), journal.Path() + ".1", journal.Path() + ".2", journal.Path() + ".3"})
        EXPECT_LE(fs::file_size(f), 1000u) << f;
    // What is kept runs without a gap up to the last line written.
    const std::vector<std::string> lines = JournalLines(journal.Path(), 3);
    ASSERT_GT(lines.size(), 50u);
    const int first = std::stoi(lines.front().substr(5, 4));
    for (size_t i = 0; i < lines.size(); ++i)
        EXPECT_EQ(lines[i],
                  "line " + FourDigits(first + static_cast<int>(i)) + " " + std::string(30, 'x'));
    EXPECT_EQ(first + static_cast<int>(lines.size()) - 1, 199);
}

// Read back, the journal is its rotated files from the oldest to the journal itself: the same
// lines in the same order as the files hold them, whatever the number of rotations.
TEST(RunJournal, ReadsItsFilesOldestFirst) {
    for (int entries : {0, 1, 5, 40}) {
        SCOPED_TRACE(entries);
        TempFolder dir;
        const ari::RunJournal journal(dir.Path(), 200, 3);
        for (int i = 0; i < entries; ++i)
            ASSERT_TRUE(journal.Append("entry " + FourDigits(i) + " " + std::string(40, 'x')));
        std::string read;
        for (const std::string& file : journal.ReadOldestFirst())
            read += file;
        std::string model;
        for (const std::string& l : JournalLines(journal.Path(), 3))
            model += l + "\n";
        EXPECT_EQ(read, model);
        if (entries == 40) {
            EXPECT_EQ(journal.ReadOldestFirst().size(), 4u);
            EXPECT_EQ(Lines(read).back(), "entry 0039 " + std::string(40, 'x'));
        }
    }
}

// The summary blocks of the journal, new and older headings, read back as passes; lines
// around them and blocks cut short do not shift the figures of the next pass.
TEST(PassHistory, ReadsEachSummaryBlockOfTheJournal) {
    const std::string stamped = "11/12/2026 01:00:00 ---Start reindex Time: \"01:00:00\"\n";
    const std::string tableA =
        "table a.dbf: operations rebuild, pack; records 10 -> 8; deleted records removed 2; tags "
        "rebuilt ID; table bytes 900 -> 700; index bytes 4096 -> 4608; time 0.10 s; result ok\n";
    const std::string tableB =
        "table b.dbf: operations pack; records 5 -> 2; deleted records removed 3; tags rebuilt "
        "none; table bytes 300 -> 120; memo bytes 1024 -> 512; time 0.02 s; result ok\n";
    const std::string unpacked =
        "table c.dbf: operations rebuild; records 4 -> 4; tags rebuilt "
        "ID; table bytes 300 -> 300; time 0.02 s; result ok\n";
    struct Case {
        const char* what;
        std::string text;
        std::vector<ari::PassRecord> passes;
    };
    const Case cases[] = {
        {"nothing", "", {}},
        {"log lines only", stamped + stamped, {}},
        {"one pass, ISO heading",
         stamped + "=== Pass summary 2026-12-11 01:22:07 (/srv/live/)\n" + tableA + tableB +
             "total time 1.25 s; result ok\n" + stamped,
         {{"2026-12-11 01:22:07", "/srv/live/", 1.25, 2, 5, "ok"}}},
        {"the older heading and its summed bytes",
         "=== Pass summary 10/12/2026 23:05:00 (/srv/my live (old)/)\n"
         "table a.dbf: operations pack; records 10 -> 8; deleted records removed 2; tags rebuilt "
         "none; bytes 5000 -> 5300; time 0.10 s; result ok\n"
         "total time 0.50 s; result ok\n",
         {{"2026-12-10 23:05:00", "/srv/my live (old)/", 0.5, 1, 2, "ok"}}},
        {"no pack, a failure",
         "=== Pass summary 2026-12-11 02:00:00 (/l/)\n" + unpacked +
             "total time 0.05 s; result failed: Table is busy\n",
         {{"2026-12-11 02:00:00", "/l/", 0.05, 1, -1, "failed: Table is busy"}}},
        {"a block cut short, then a whole one",
         "=== Pass summary 2026-12-11 03:00:00 (/l/)\n" + tableA + stamped +
             "=== Pass summary 2026-12-11 04:00:00 (/l/)\n" + tableB +
             "total time 2.00 s; result stopped on request\n",
         {{"2026-12-11 03:00:00", "/l/", -1, 1, 2, "not finished"},
          {"2026-12-11 04:00:00", "/l/", 2, 1, 3, "stopped on request"}}},
        {"a table line outside any block", tableA + stamped, {}},
        {"lines ended by CR LF",
         "=== Pass summary 2026-12-11 05:00:00 (/l/)\r\ntotal time 0.01 s; result ok\r\n",
         {{"2026-12-11 05:00:00", "/l/", 0.01, 0, -1, "ok"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::vector<ari::PassRecord> read = ari::ReadPasses(c.text);
        ASSERT_EQ(read.size(), c.passes.size());
        for (size_t i = 0; i < read.size(); ++i) {
            SCOPED_TRACE(i);
            EXPECT_EQ(read[i].date, c.passes[i].date);
            EXPECT_EQ(read[i].liveFolder, c.passes[i].liveFolder);
            EXPECT_DOUBLE_EQ(read[i].seconds, c.passes[i].seconds);
            EXPECT_EQ(read[i].tables, c.passes[i].tables);
            EXPECT_EQ(read[i].recordsRemoved, c.passes[i].recordsRemoved);
            EXPECT_EQ(read[i].result, c.passes[i].result);
        }
    }
}

// The table shows the last passes asked for, oldest first, a column each.
TEST(PassHistory, TheTableShowsTheLastPassesOldestFirst) {
    const std::vector<ari::PassRecord> passes = {
        {"2026-12-09 01:00:00", "/l/", 3.5, 2, 7, "ok"},
        {"2026-12-10 01:00:00", "/l/", -1, 1, -1, "not finished"},
        {"2026-12-11 01:00:00", "/l/", 12.346, 64, 4211, "ok, verify failed"},
    };
    const std::string header = "date                   duration  tables  records removed  result\n";
    const std::string first = "2026-12-09 01:00:00      3.50 s       2                7  ok\n";
    const std::string second =
        "2026-12-10 01:00:00           ?       1                -  not finished\n";
    const std::string third =
        "2026-12-11 01:00:00     12.35 s      64             4211  ok, verify failed\n";
    EXPECT_EQ(ari::HistoryTable(passes, 10), header + first + second + third);
    EXPECT_EQ(ari::HistoryTable(passes, 2), header + second + third);
    EXPECT_EQ(ari::HistoryTable(passes, 1), header + third);
    EXPECT_EQ(ari::HistoryTable({}, 10), header);
}

// A summary's block read back gives the pass it summed up; its heading's date is ISO 8601
// whatever the format settings, and its bytes keep the files apart.
TEST(PassHistory, ASummaryReadsBackAsItsPass) {
    struct Case {
        int year, month, day, hour, minute, second;
        const char* iso;
    } cases[] = {
        {2026, 12, 11, 1, 22, 7, "2026-12-11 01:22:07"},
        {2027, 1, 2, 23, 59, 59, "2027-01-02 23:59:59"},
        {1999, 10, 31, 0, 0, 0, "1999-10-31 00:00:00"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.iso);
        const ari::TDateTime when =
            ari::EncodeDateTime(c.year, c.month, c.day, c.hour, c.minute, c.second);
        EXPECT_EQ(ari::IsoStampText(when), c.iso);
        ari::RunSummary summary("", {false, false, true});
        summary.TableStarted(ari::RunPass::Pack, "a.dbf");
        summary.TableFinished(ari::RunPass::Pack, "a.dbf");
        summary.TableStarted(ari::RunPass::Pack, "b.dbf");
        summary.Stopped("stopped on request");
        const std::vector<std::string> lines = summary.Lines(when);
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), std::string("=== Pass summary ") + c.iso + " ()");
        const std::vector<ari::PassRecord> read = ari::ReadPasses(ari::JoinedLines(lines));
        ASSERT_EQ(read.size(), 1u);
        EXPECT_EQ(read[0].date, c.iso);
        EXPECT_EQ(read[0].tables, 2);
        EXPECT_GE(read[0].seconds, 0);
        EXPECT_EQ(read[0].result, "stopped on request");
    }
}

TEST(RunJournal, TwoProcessesWritingAtOnceLoseAndSplitNoLine) {
    TempFolder dir;
    constexpr int kLines = 400;
    constexpr int kKeep = 60;  // enough that rotation drops nothing here
    std::vector<pid_t> children;
    for (int writer = 0; writer < 2; ++writer) {
        const pid_t pid = fork();
        if (pid == 0) {
            const ari::RunJournal journal(dir.Path(), 2000, kKeep);
            for (int i = 0; i < kLines; ++i)
                if (!journal.Append("writer " + std::to_string(writer) + " line " +
                                    std::to_string(i) + " " +
                                    std::string(40, static_cast<char>('a' + writer))))
                    _exit(1);
            _exit(0);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    const std::regex whole("writer ([01]) line ([0-9]+) (a{40}|b{40})");
    std::map<int, std::vector<int>> seen;
    for (const std::string& l : JournalLines(dir / ari::RunJournal::kFileName, kKeep)) {
        std::smatch m;
        ASSERT_TRUE(std::regex_match(l, m, whole)) << l;
        seen[std::stoi(m[1])].push_back(std::stoi(m[2]));
    }
    for (int writer = 0; writer < 2; ++writer) {
        ASSERT_EQ(seen[writer].size(), static_cast<size_t>(kLines)) << writer;
        for (int i = 0; i < kLines; ++i)
            EXPECT_EQ(seen[writer][i], i);
    }
}

TEST(RunJournal, AnUnwritableJournalIsReportedNotThrown) {
    TempFolder dir;
    fs::create_directory(dir / ari::RunJournal::kFileName);  // a folder in the file's place
    const ari::RunJournal journal(dir.Path());
    EXPECT_FALSE(journal.Append(std::string("---a line")));
    fs::create_directory(dir / "linked");
    fs::create_symlink(dir / "elsewhere.txt", dir / "linked/autoreindex.log");
    EXPECT_FALSE(ari::RunJournal(dir / "linked").Append(std::string("---a line")));
    EXPECT_FALSE(fs::exists(dir / "elsewhere.txt"));  // never written through a link
}

// Runs `append` on a thread of its own and waits for it to return: an append takes
// milliseconds, so the bound only keeps a blocked append from hanging the test. When it has not
// returned by then, `release` frees whatever holds it, so that the thread ends and the test goes
// on; the result is then empty.
std::optional<bool> ReturnsInTime(const std::function<bool()>& append,
                                  const std::function<void()>& release) {
    std::promise<bool> done;
    std::future<bool> result = done.get_future();
    std::thread thread([&] { done.set_value(append()); });
    const bool inTime = result.wait_for(std::chrono::seconds(10)) == std::future_status::ready;
    if (!inTime)
        release();
    thread.join();
    if (!inTime)
        return std::nullopt;
    return result.get();
}

// The type bits of the name itself (a link is a link); 0 when nothing is there.
unsigned TypeOfName(const std::string& path) {
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? (st.st_mode & S_IFMT) : 0u;
}

unsigned PermissionsOf(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0u;
}

// The writers' lock beside the journal, by the name an administrator sees.
std::string LockBeside(const TempFolder& dir) {
    return dir / ".autoreindex.log.lock";
}

// Whoever can read the journal may lock it (flock wants no more than a descriptor): no such
// lock keeps an entry from being written, also when the entry rotates the journal.
TEST(RunJournal, AReadersLockOnTheJournalHoldsNoWriter) {
    struct Case {
        const char* what;
        int lock;
        std::uint64_t limit;
    };
    const Case cases[] = {
        {"a shared flock", LOCK_SH, ari::RunJournal::kDefaultLimit},
        {"an exclusive flock taken through a descriptor open for reading", LOCK_EX,
         ari::RunJournal::kDefaultLimit},
        {"a shared flock while the entry rotates the journal", LOCK_SH, 15},
    };
    for (const Case& c : cases) {
        TempFolder dir;
        const ari::RunJournal journal(dir.Path(), c.limit, 3);
        ASSERT_TRUE(journal.Append(std::string("first line"))) << c.what;
        int reader = open(journal.Path().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_GE(reader, 0) << c.what;
        ASSERT_EQ(flock(reader, c.lock), 0) << c.what;
        const std::optional<bool> appended =
            ReturnsInTime([&] { return journal.Append(std::string("second line")); },
                          [&] {
                              close(reader);
                              reader = -1;
                          });
        ASSERT_TRUE(appended.has_value()) << c.what << ": the entry waited for the reader";
        EXPECT_TRUE(*appended) << c.what;
        EXPECT_EQ(JournalLines(journal.Path(), 3),
                  (std::vector<std::string>{"first line", "second line"}))
            << c.what;
        if (reader >= 0)
            close(reader);
    }
}

// Something else than a regular file at the journal's name (or at its writers' lock's) is
// refused at once: nothing waits on a pipe, nothing is written through a link.
TEST(RunJournal, ANameThatHoldsNoRegularFileIsRefusedWithoutWaiting) {
    struct Case {
        const char* what;
        std::function<void(const TempFolder&)> make;
        const char* name;  // what holds the odd thing: the journal or the lock
        bool pipeIsRead;   // the test keeps the pipe open for reading throughout
    };
    const auto pipeAt = [](const std::string& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); };
    const auto linkAt = [](const std::string& target, const std::string& path) {
        ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    };
    const std::string journal = ari::RunJournal::kFileName;
    const Case cases[] = {
        {"a pipe nobody reads", [&](const TempFolder& d) { pipeAt(d / journal); }, "journal",
         false},
        {"a pipe being read", [&](const TempFolder& d) { pipeAt(d / journal); }, "journal", true},
        {"a folder", [&](const TempFolder& d) { fs::create_directory(d / journal); }, "journal",
         false},
        {"a link to a file", [&](const TempFolder& d) { linkAt(d / "elsewhere.txt", d / journal); },
         "journal", false},
        {"a link to nothing", [&](const TempFolder& d) { linkAt(d / "missing.txt", d / journal); },
         "journal", false},
        {"a link to a pipe nobody reads",
         [&](const TempFolder& d) {
             pipeAt(d / "pipe");
             linkAt(d / "pipe", d / journal);
         },
         "journal", false},
        {"a pipe nobody reads at the writers' lock",
         [&](const TempFolder& d) { pipeAt(LockBeside(d)); }, "lock", false},
        {"a folder at the writers' lock",
         [&](const TempFolder& d) { fs::create_directory(LockBeside(d)); }, "lock", false},
        {"a link to a file at the writers' lock",
         [&](const TempFolder& d) { linkAt(d / "elsewhere.txt", LockBeside(d)); }, "lock", false},
    };
    for (const Case& c : cases) {
        TempFolder dir;
        ari::test::WriteFileBytes(dir / "elsewhere.txt", "kept\n");
        c.make(dir);
        const std::string odd = std::string(c.name) == "lock" ? LockBeside(dir) : dir / journal;
        const unsigned type = TypeOfName(odd);
        struct stat followed;
        const bool isPipe = stat(odd.c_str(), &followed) == 0 && S_ISFIFO(followed.st_mode);
        int reader = c.pipeIsRead ? open(odd.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC) : -1;
        const std::optional<bool> appended =
            ReturnsInTime([&] { return ari::RunJournal(dir.Path()).Append(std::string("a line")); },
                          [&] {
                              // A reader lets a blocked open of the pipe go on.
                              if (isPipe && reader < 0)
                                  reader = open(odd.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                          });
        EXPECT_TRUE(appended.has_value()) << c.what << ": the entry waited";
        EXPECT_FALSE(appended.value_or(false)) << c.what;
        EXPECT_EQ(TypeOfName(odd), type) << c.what;
        EXPECT_EQ(ReadFileBytes(dir / "elsewhere.txt"), "kept\n") << c.what;
        EXPECT_FALSE(fs::exists(dir / "missing.txt")) << c.what;
        if (reader >= 0) {
            char byte;
            EXPECT_LE(read(reader, &byte, 1), 0) << c.what << ": written into the pipe";
            close(reader);
        }
    }
}

// Rotation moves regular files only: a generation's name that holds anything else stops it
// before anything moves, and the entry is reported as not written (the journal stays within
// its limit).
TEST(RunJournal, RotationMovesNothingWhenAGenerationIsNoRegularFile) {
    struct Case {
        const char* what;
        int generation;
        std::function<void(const std::string&, const TempFolder&)> make;
    };
    const Case cases[] = {
        {"a pipe at .1", 1,
         [](const std::string& p, const TempFolder&) { ASSERT_EQ(mkfifo(p.c_str(), 0644), 0); }},
        {"a folder at .2", 2,
         [](const std::string& p, const TempFolder&) { fs::create_directory(p); }},
        {"a link to a file at .1", 1,
         [](const std::string& p, const TempFolder& d) {
             fs::create_symlink(d / "elsewhere.txt", p);
         }},
        {"a link to a file at .3, the oldest kept", 3,
         [](const std::string& p, const TempFolder& d) {
             fs::create_symlink(d / "elsewhere.txt", p);
         }},
    };
    for (const Case& c : cases) {
        TempFolder dir;
        ari::test::WriteFileBytes(dir / "elsewhere.txt", "kept\n");
        const ari::RunJournal journal(dir.Path(), 30, 3);
        ASSERT_TRUE(journal.Append(std::string("first line"))) << c.what;
        const std::string odd = journal.Path() + "." + std::to_string(c.generation);
        c.make(odd, dir);
        const unsigned type = TypeOfName(odd);
        const std::optional<bool> appended = ReturnsInTime(
            [&] { return journal.Append(std::string("a second line, past the limit")); },
            [&] {
                const int reader = open(odd.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
                if (reader >= 0)
                    close(reader);
            });
        ASSERT_TRUE(appended.has_value()) << c.what << ": the rotation waited";
        EXPECT_FALSE(*appended) << c.what;
        EXPECT_EQ(TypeOfName(odd), type) << c.what;
        EXPECT_EQ(ReadFileBytes(journal.Path()), "first line\n") << c.what;
        EXPECT_EQ(ReadFileBytes(dir / "elsewhere.txt"), "kept\n") << c.what;
        for (int n = 1; n <= 4; ++n) {
            if (n != c.generation) {
                EXPECT_EQ(TypeOfName(journal.Path() + "." + std::to_string(n)), 0u)
                    << c.what << ": moved to ." << n;
            }
        }
    }
}

// A journal this program creates cannot be read by every account; one the administrator made
// keeps the permissions given it. The writers' lock is open to exactly those who may write the
// journal (its owner, and its group when the group may write it), never to a mere reader.
TEST(RunJournal, NeitherTheJournalNorItsLockIsOpenToEveryAccount) {
    struct Case {
        const char* what;
        unsigned made;  // the journal the administrator made; 0: none, the program creates it
        bool groupMayLock;
    };
    const Case cases[] = {
        {"a journal the program creates", 0, false},
        {"a journal the administrator made 0644", 0644, false},
        {"a journal its group writes too (0660)", 0660, true},
    };
    for (const Case& c : cases) {
        TempFolder dir;
        const ari::RunJournal journal(dir.Path());
        if (c.made) {
            ari::test::WriteFileBytes(journal.Path(), "");
            ASSERT_EQ(chmod(journal.Path().c_str(), c.made), 0);
        }
        ASSERT_TRUE(journal.Append(std::string("a line"))) << c.what;
        const unsigned mode = PermissionsOf(journal.Path());
        if (c.made)
            EXPECT_EQ(mode, c.made) << c.what;
        else
            EXPECT_EQ(mode & 0007, 0u) << c.what << ": " << std::oct << mode;
        ASSERT_EQ(TypeOfName(LockBeside(dir)), static_cast<unsigned>(S_IFREG)) << c.what;
        const unsigned lockMode = PermissionsOf(LockBeside(dir));
        EXPECT_EQ(lockMode & 0007, 0u) << c.what << ": " << std::oct << lockMode;
        EXPECT_EQ((lockMode & 0060) == 0060, c.groupMayLock)
            << c.what << ": " << std::oct << lockMode;
    }
}

// The file that takes the journal's name at a rotation is given what the administrator gave
// the old one: its permissions, and (when this test may give files away) its owner and group;
// so is a writers' lock made beside a journal someone else owns.
TEST(RunJournal, WhatTheAdministratorGaveTheJournalOutlivesARotation) {
    TempFolder dir;
    const ari::RunJournal journal(dir.Path(), 30, 3);
    ari::test::WriteFileBytes(journal.Path(), "");
    ASSERT_EQ(chmod(journal.Path().c_str(), 0600), 0);
    const bool givesAway = chown(journal.Path().c_str(), 65534, 65534) == 0;
    ASSERT_TRUE(journal.Append(std::string("first line")));
    ASSERT_TRUE(journal.Append(std::string("a second line, past the limit")));
    ASSERT_EQ(ReadFileBytes(journal.Path() + ".1"), "first line\n");
    EXPECT_EQ(PermissionsOf(journal.Path()), 0600u);
    EXPECT_EQ(PermissionsOf(journal.Path() + ".1"), 0600u);
    if (!givesAway)
        GTEST_SKIP() << "files cannot be given away here; the owner was not checked";
    for (const std::string& f : {journal.Path(), LockBeside(dir)}) {
        struct stat st;
        ASSERT_EQ(stat(f.c_str(), &st), 0) << f;
        EXPECT_EQ(st.st_uid, 65534u) << f;
        EXPECT_EQ(st.st_gid, 65534u) << f;
    }
}

// Two processes take the marker in turn, each as fast as it can, a few hundred times: never
// are both inside at once. Each removes the marker as a pass does at its end.
TEST(RunMarker, TwoProcessesNeverHoldTheMarkerAtOnce) {
    TempFolder dir;
    const std::string marker = dir / "reindexing";
    const std::string inside = dir / "inside";
    std::vector<pid_t> children;
    for (int p = 0; p < 2; ++p) {
        const pid_t pid = fork();
        if (pid == 0) {
            int held = 0;
            for (int attempt = 0; attempt < 200000 && held < 300; ++attempt) {
                ari::RunMarker m;
                try {
                    m.Create(marker);
                } catch (const EInOutError&) {
                    continue;  // the other one holds it
                }
                const int fd = open(inside.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0644);
                if (fd < 0)
                    _exit(1);  // both inside
                close(fd);
                usleep(20);
                unlink(inside.c_str());
                m.CloseAndRemove();
                ++held;
            }
            _exit(held == 300 ? 0 : 2);
        }
        children.push_back(pid);
    }
    for (pid_t pid : children) {
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status));
        EXPECT_EQ(WEXITSTATUS(status), 0) << "1: both held the marker at once";
    }
    EXPECT_FALSE(fs::exists(marker));
}

}  // namespace

// A pass that an engine message of several lines ended reads back whole, its tables and its
// total with it: the summary keeps each of its lines on one.
TEST(PassHistory, AFailedPassReadsBackWithItsTablesAndItsMessage) {
    ari::RunSummary summary("", {false, true, true});
    summary.TableStarted(ari::RunPass::Index, "a.dbf");
    for (const char* tag : {"ID", "BYNAME"}) {
        ari::IndexDefinition definition;
        definition.name = tag;
        summary.IndexAdded("a.dbf", definition);
    }
    summary.TableFinished(ari::RunPass::Index, "a.dbf");
    summary.TableStarted(ari::RunPass::Pack, "b\nc.dbf");
    summary.Error("Table is in use.\nFile: /srv/live/b.dbf");
    summary.RunFinished(false);
    const std::string text = ari::JoinedLines(summary.Lines("2026-12-11 01:22:07")) + "\n" +
                             "11/12/2026 01:22:08 ---Checking... Time: \"01:22:08\"\n";
    const std::vector<ari::JournalPass> read = ari::ReadJournalPasses(text);
    ASSERT_EQ(read.size(), 1u);
    EXPECT_EQ(read[0].record.result, "failed: Table is in use. File: /srv/live/b.dbf");
    EXPECT_GE(read[0].pass.seconds, 0);
    ASSERT_EQ(read[0].pass.tables.size(), 2u);
    const ari::TableSummary& a = read[0].pass.tables[0];
    EXPECT_EQ(a.table, "a.dbf");
    EXPECT_EQ(a.operations, (std::vector<std::string>{"rebuild"}));
    EXPECT_EQ(a.tagsRebuilt, (std::vector<std::string>{"ID", "BYNAME"}));
    EXPECT_EQ(a.result, "ok");
    const ari::TableSummary& b = read[0].pass.tables[1];
    EXPECT_EQ(b.table, "b c.dbf");
    EXPECT_EQ(b.operations, (std::vector<std::string>{"pack"}));
    EXPECT_EQ(b.result, "failed: Table is in use. File: /srv/live/b.dbf");
}

// Each figure of a table line comes back as written; a line that cannot be read keeps its name.
TEST(PassHistory, TableLinesReadBackFigureByFigure) {
    const std::string text =
        "=== Pass summary 2026-12-11 01:22:07 (/l/)\n"
        "table a.dbf: operations transfer, rebuild, pack; records 10 -> 8; deleted records "
        "removed 2; tags rebuilt ID, NAME; table bytes 900 -> 700; index bytes none -> 4608; "
        "memo bytes 512 -> 512; time 0.10 s; result ok; verify ok\n"
        "table b.dbf: operations pack; records ? -> 5; tags rebuilt none; bytes 300 -> 200; time "
        "1.50 s; result failed: a; b; verify x\n"
        "table c.dbf without its figures\n"
        "total time 2.00 s; result failed\n";
    const std::vector<ari::JournalPass> read = ari::ReadJournalPasses(text);
    ASSERT_EQ(read.size(), 1u);
    ASSERT_EQ(read[0].pass.tables.size(), 3u);
    const ari::TableSummary& a = read[0].pass.tables[0];
    EXPECT_EQ(a.operations, (std::vector<std::string>{"transfer", "rebuild", "pack"}));
    EXPECT_EQ(a.recordsBefore, 10);
    EXPECT_EQ(a.recordsAfter, 8);
    EXPECT_TRUE(a.packed);
    EXPECT_EQ(a.tagsRebuilt, (std::vector<std::string>{"ID", "NAME"}));
    EXPECT_EQ(a.bytesBefore.table, 900);
    EXPECT_EQ(a.bytesAfter.table, 700);
    EXPECT_EQ(a.bytesBefore.index, -1);
    EXPECT_EQ(a.bytesAfter.index, 4608);
    EXPECT_EQ(a.bytesAfter.memo, 512);
    EXPECT_DOUBLE_EQ(a.seconds, 0.10);
    EXPECT_EQ(a.result, "ok");
    EXPECT_EQ(a.verify, "ok");
    const ari::TableSummary& b = read[0].pass.tables[1];
    EXPECT_EQ(b.recordsBefore, -1);
    EXPECT_EQ(b.recordsAfter, 5);
    EXPECT_FALSE(b.packed);
    EXPECT_TRUE(b.tagsRebuilt.empty());
    EXPECT_EQ(b.bytesBefore.table, 300);  // the older summed bytes
    EXPECT_DOUBLE_EQ(b.seconds, 1.5);
    EXPECT_EQ(b.result, "failed: a; b");
    EXPECT_EQ(b.verify, "x");
    EXPECT_EQ(read[0].pass.tables[2].table, "c.dbf without its figures");
    EXPECT_EQ(read[0].pass.tables[2].result, "?");
    EXPECT_EQ(read[0].pass.result, "failed");
}
