// The real process starter: the shell form of "cmd", the search beside the executable and then
// on PATH, parameters passed as words and never through a shell, and a clean, detached start;
// and a started program's output read through a pipe.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WaitForFile;
using ari::test::WriteFileBytes;

void WriteScript(const std::string& path, const std::string& body) {
    WriteFileBytes(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0755);
}

// A probe program: writes its name tag, its arguments one a line, and its open descriptors
// into "probe.out" in the current folder.
std::string ProbeBody(const std::string& tag) {
    return "{ echo '" + tag +
           "'; for a in \"$@\"; do echo \"[$a]\"; done; "
           "ls /proc/$$/fd | sort -n | tr '\\n' ' '; echo; "
           "read -r line && echo stdin-had-data || echo stdin-empty; } > probe.tmp\n"
           "mv probe.tmp probe.out\n";
}

// Runs each test in its own temp folder as the current folder, with PATH extended.
class StarterTest : public ::testing::Test {
  protected:
    void SetUp() override {
        saved_ = ari::CurrentFolder();
        ari::SetCurrentFolder(work_.Path());
        const char* path = std::getenv("PATH");
        savedPath_ = path ? path : "";
        setenv("PATH", (pathDir_.Path() + ":" + savedPath_).c_str(), 1);
        starter_ = ari::DefaultEnvironment().starter;
    }
    void TearDown() override {
        for (const auto& f : besideFiles_)
            ari::RemoveFile(f);
        setenv("PATH", savedPath_.c_str(), 1);
        ari::SetCurrentFolder(saved_);
    }
    // A unique program name, so that programs placed beside the test executable never clash.
    std::string UniqueName(const std::string& stem) {
        return "ari-" + stem + "-" + std::to_string(getpid());
    }
    void PlaceBesideExecutable(const std::string& name, const std::string& body) {
        const std::string path = ari::ExtractFilePath(ari::ExecutablePath()) + name;
        WriteScript(path, body);
        besideFiles_.push_back(path);
    }

    TempFolder work_, pathDir_;
    std::string saved_, savedPath_;
    std::vector<std::string> besideFiles_;
    ari::ProcessStarter* starter_ = nullptr;
};

// An open descriptor that a started program would inherit unless the starter closes it:
// deliberately without O_CLOEXEC, at a number (57 or above) that the probe's shell does not use;
// -1 when it cannot be made.
int LeakableDescriptor() {
    const int opened = open("/dev/null", O_RDONLY);
    if (opened < 0)
        return -1;
    const int leaked = fcntl(opened, F_DUPFD, 57);
    close(opened);
    return leaked;
}

TEST_F(StarterTest, CmdRunsTheLineThroughTheShellInTheCurrentFolder) {
    ASSERT_TRUE(starter_->Start("cmd", " /c printf 'a b' >out.tmp && mv out.tmp out.txt"));
    ASSERT_TRUE(WaitForFile(work_ / "out.txt"));
    EXPECT_EQ(ReadFileBytes(work_ / "out.txt"), "a b");
}

TEST_F(StarterTest, CmdFindsToolsBesideTheExecutableBeforePath) {
    const std::string name = UniqueName("tool");
    PlaceBesideExecutable(name, ProbeBody("beside"));
    WriteScript(pathDir_ / name, ProbeBody("path"));
    ASSERT_TRUE(starter_->Start("cmd", " /c " + name + " /server:127.0.0.1 >login.txt"));
    ASSERT_TRUE(WaitForFile(work_ / "probe.out"));
    EXPECT_EQ(ReadFileBytes(work_ / "probe.out").substr(0, 7), "beside\n");
}

TEST_F(StarterTest, CmdRejectsATextWithoutTheRunSwitch) {
    EXPECT_FALSE(starter_->Start("cmd", "printf x >out.txt"));
    EXPECT_FALSE(starter_->Start("cmd", "   "));
}

TEST_F(StarterTest, ProgramBesideTheExecutableWinsOverPath) {
    const std::string name = UniqueName("logoff");
    PlaceBesideExecutable(name, ProbeBody("beside"));
    WriteScript(pathDir_ / name, ProbeBody("path"));
    ASSERT_TRUE(starter_->Start(name, " 3  /server:127.0.0.1"));
    ASSERT_TRUE(WaitForFile(work_ / "probe.out"));
    EXPECT_EQ(ReadFileBytes(work_ / "probe.out").substr(0, 7), "beside\n");
}

TEST_F(StarterTest, ProgramOnPathGetsItsParametersAsWordsNeverThroughAShell) {
    const std::string name = UniqueName("args");
    WriteScript(pathDir_ / name, ProbeBody("path"));
    ASSERT_TRUE(starter_->Start(name, " 3  /server:127.0.0.1 ;touch${IFS}pwned $(touch pwned2)"));
    ASSERT_TRUE(WaitForFile(work_ / "probe.out"));
    const std::string out = ReadFileBytes(work_ / "probe.out");
    EXPECT_EQ(out.substr(0, out.find("\n0")),
              "path\n[3]\n[/server:127.0.0.1]\n[;touch${IFS}pwned]\n[$(touch]\n[pwned2)]");
    EXPECT_FALSE(ari::FileExists(work_ / "pwned"));
    EXPECT_FALSE(ari::FileExists(work_ / "pwned2"));
}

TEST_F(StarterTest, ProgramStartsWithoutInheritedDescriptorsAndWithEmptyInput) {
    const std::string name = UniqueName("fds");
    WriteScript(pathDir_ / name, ProbeBody("path"));
    const int leaked = LeakableDescriptor();
    ASSERT_GE(leaked, 57);
    const bool started = starter_->Start(name, "");
    close(leaked);
    ASSERT_TRUE(started);
    ASSERT_TRUE(WaitForFile(work_ / "probe.out"));
    const std::string out = ReadFileBytes(work_ / "probe.out");
    // The probe's shell itself holds 0, 1, 2 and the redirection's descriptor.
    EXPECT_EQ(out.find(" " + std::to_string(leaked) + " "), std::string::npos) << out;
    EXPECT_NE(out.find("stdin-empty"), std::string::npos) << out;
}

TEST_F(StarterTest, StartIsDetachedAndLeavesNoChildToReap) {
    const std::string name = UniqueName("detached");
    WriteScript(pathDir_ / name, ProbeBody("path"));
    ASSERT_TRUE(starter_->Start(name, ""));
    ASSERT_TRUE(WaitForFile(work_ / "probe.out"));
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(StarterTest, MissingOrUnrunnableProgramIsReportedAsNotStarted) {
    EXPECT_FALSE(starter_->Start(UniqueName("nowhere"), "1"));
    const std::string name = UniqueName("noexec");
    WriteFileBytes(pathDir_ / name, "#!/bin/sh\ntouch ran\n");  // not executable
    EXPECT_FALSE(starter_->Start(name, ""));
    EXPECT_FALSE(starter_->Start("", ""));
}

TEST_F(StarterTest, EmptyPathEntriesNeverMeanTheCurrentFolder) {
    const std::string name = UniqueName("planted");
    WriteScript(work_ / name, "touch planted-ran\n");
    setenv("PATH", (":" + savedPath_ + ":").c_str(), 1);
    EXPECT_FALSE(starter_->Start(name, ""));
    // The shell's lookup skips the current folder likewise.
    ASSERT_TRUE(starter_->Start("cmd", "/c " + name + "; touch shell-done"));
    ASSERT_TRUE(WaitForFile(work_ / "shell-done"));
    EXPECT_FALSE(ari::FileExists(work_ / "planted-ran"));
}

TEST_F(StarterTest, ReadingOutputTakesEveryByteThroughAPipe) {
    // Every byte value, and more than a pipe holds at once: the program must never wait on a
    // full pipe, however long the caller waits before taking the text.
    std::string payload;
    for (int i = 0; i < 300000; ++i)
        payload += static_cast<char>(i % 256);
    WriteFileBytes(pathDir_ / "payload.bin", payload);
    const std::string name = UniqueName("printer");
    WriteScript(pathDir_ / name,
                "for a in \"$@\"; do echo \"[$a]\"; done\ncat '" + (pathDir_ / "payload.bin") +
                    "'\nout=$(readlink /proc/$$/fd/1)\necho \"$out\" > stdout.txt\n"
                    "touch done\n");
    const auto output = starter_->StartReadingOutput(name, " /server:127.0.0.1  x");
    ASSERT_TRUE(output);
    ASSERT_TRUE(WaitForFile(work_ / "done"));  // run in the current folder
    const std::optional<std::string> text = output->Take();
    ASSERT_TRUE(text);
    EXPECT_EQ(text->size(), payload.size() + 24);
    EXPECT_TRUE(*text == "[/server:127.0.0.1]\n[x]\n" + payload);
    EXPECT_EQ(ReadFileBytes(work_ / "stdout.txt").substr(0, 6), "pipe:[");
    // The start was detached: nothing is left to reap.
    errno = 0;
    EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);
}

TEST_F(StarterTest, ReadingOutputStartsCleanlyAndFindsProgramsAsStartDoes) {
    const std::string name = UniqueName("probe");
    PlaceBesideExecutable(name, ProbeBody("beside"));
    WriteScript(pathDir_ / name, ProbeBody("path"));
    const int leaked = LeakableDescriptor();
    ASSERT_GE(leaked, 57);
    const auto output = starter_->StartReadingOutput(name, "");
    close(leaked);
    ASSERT_TRUE(output);
    ASSERT_TRUE(WaitForFile(work_ / "probe.out"));
    const std::string out = ReadFileBytes(work_ / "probe.out");
    EXPECT_EQ(out.substr(0, 7), "beside\n");
    EXPECT_EQ(out.find(" " + std::to_string(leaked) + " "), std::string::npos) << out;
    EXPECT_NE(out.find("stdin-empty"), std::string::npos) << out;

    EXPECT_FALSE(starter_->StartReadingOutput(UniqueName("nowhere"), "1"));
    EXPECT_FALSE(starter_->StartReadingOutput("", ""));
    // No shell form here: "cmd" is a program name like any other.
    EXPECT_FALSE(starter_->StartReadingOutput("cmd", " /c touch ran"));
    // The current folder is never searched.
    const std::string planted = UniqueName("planted");
    WriteScript(work_ / planted, "touch planted-ran\n");
    setenv("PATH", (":" + savedPath_ + ":").c_str(), 1);
    EXPECT_FALSE(starter_->StartReadingOutput(planted, ""));
    EXPECT_FALSE(ari::FileExists(work_ / "planted-ran"));
}

TEST_F(StarterTest, ReadingOutputTakesWhatWasPrintedWithoutWaitingForTheEnd) {
    const std::string name = UniqueName("slow");
    WriteScript(pathDir_ / name,
                "printf first\necho $$ > pid.tmp\nmv pid.tmp pid.txt\n"
                "exec sleep 30\n");
    auto output = starter_->StartReadingOutput(name, "");
    ASSERT_TRUE(output);
    ASSERT_TRUE(WaitForFile(work_ / "pid.txt"));
    const pid_t pid = std::stoi(ReadFileBytes(work_ / "pid.txt"));
    EXPECT_EQ(output->Take(), std::optional<std::string>("first"));
    output.reset();
    kill(pid, SIGKILL);
}

TEST(ProgramOutput, TextOverTheLimitIsDroppedWhole) {
    struct Case {
        std::string written;
        bool closed;  // the writer closed its end before the text is taken
        std::optional<std::string> taken;
    };
    const Case cases[] = {
        {"0123456789", true, "0123456789"},
        {"0123456789A", true, std::nullopt},
        {"0123", false, "0123"},  // taken without waiting for the end
        {"", true, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        int fds[2];
        ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
        ari::ProgramOutput output(fds[0], 10);
        ASSERT_EQ(write(fds[1], c.written.data(), c.written.size()),
                  static_cast<ssize_t>(c.written.size()));
        if (c.closed)
            close(fds[1]);
        EXPECT_EQ(output.Take(), c.taken);
        if (!c.closed)
            close(fds[1]);
    }
}

TEST(SplitParameters, SplitsAtRunsOfBlanksAndTabs) {
    struct Case {
        std::string text;
        std::vector<std::string> words;
    };
    const Case cases[] = {
        {"", {}},
        {"   ", {}},
        {" 3  /server:127.0.0.1", {"3", "/server:127.0.0.1"}},
        {"a\tb  c ", {"a", "b", "c"}},
        {"\"a b\"", {"\"a", "b\""}},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ari::SplitParameters(c.text), c.words) << c.text;
}

}  // namespace
