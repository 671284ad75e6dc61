// The run journal's appends and rotation, with two real processes writing at once; the run
// marker's exclusion between two real processes; the schedule tick's decision.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <regex>
#include <set>

#include "log/RunJournal.h"
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
