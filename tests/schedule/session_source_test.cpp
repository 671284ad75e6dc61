// The session sources behind the session monitor: the system's own sessions through a fake of
// the terminal-session service (the Windows adapter's logic, whatever the display language),
// the session tools through a fake process starter (missing, silent, failing or never ending),
// the failed listing said once, and every logoff written to the run journal.
#include <gtest/gtest.h>
#include <unistd.h>

#include <map>
#include <memory>
#include <string>
#include <vector>

#include "log/OperationLog.h"
#include "maintenance/RunSummary.h"
#include "schedule/SessionTick.h"
#include "sessions/SessionSource.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::TerminalSession;
using ari::TerminalState;

class FakeTerminalSessions final : public ari::TerminalSessions {
  public:
    bool Enumerate(std::vector<TerminalSession>* out, std::string* error) override {
        if (!error_.empty()) {
            *error = error_;
            return false;
        }
        *out = sessions;
        return true;
    }
    unsigned OwnSession() override { return own; }
    bool LogOff(unsigned id, std::string* error) override {
        loggedOff.push_back(id);
        if (refuse) {
            *error = "WTSLogoffSession failed (system error 5)";
            return false;
        }
        return true;
    }

    std::vector<TerminalSession> sessions;
    unsigned own = 0;
    bool refuse = false;
    std::string error_;
    std::vector<unsigned> loggedOff;
};

// What the system of a terminal server reports: the services' session, a listener, an idle
// session, the console, remote users active and gone, and the one this program runs in.
std::vector<TerminalSession> ServerSessions() {
    return {
        {0, "", "Services", TerminalState::Disconnected},
        {65536, "", "RDP-Tcp", TerminalState::Listen},
        {7, "", "", TerminalState::Idle},
        {1, "operator", "Console", TerminalState::Active},
        {2, "clerk1", "RDP-Tcp#2", TerminalState::Active},
        {3, "clerk2", "", TerminalState::Disconnected},
        {4, "clerk3", "", TerminalState::Down},
        {5, "\xDA\xA9\xD8\xA7\xD8\xB1\xD8\xA8\xD8\xB1", "", TerminalState::Disconnected},
        {6, "svc", "RDP-Tcp#9", TerminalState::Connected},
        {9, "admin", "", TerminalState::Disconnected},
    };
}

std::vector<std::string> CountedTexts(const ari::SessionListing& listing) {
    std::vector<std::string> out;
    for (const auto& c : listing.counted)
        out.push_back(c.text);
    return out;
}

// Collects the operation log's lines.
struct LogLines {
    std::vector<std::string> lines;
    ari::LogSubscription subscription{
        [this](const std::string& line, bool) { lines.push_back(line); }};
};

TEST(SystemSessionSource, CountsAndLogsOffByTheSystemsStates) {
    struct Case {
        const char* name;
        unsigned own;
        std::vector<std::string> counted;
        std::vector<unsigned> loggedOff;
    };
    const std::string persian = "\xDA\xA9\xD8\xA7\xD8\xB1\xD8\xA8\xD8\xB1";
    const Case cases[] = {
        // The program on the console: the gone sessions 3, 5 and 9 are logged off; nobody's
        // sessions (services, listener, idle) are neither counted nor touched.
        {"on the console",
         1,
         {">operator(directly);active", "clerk1;active", "clerk2;disc", persian + ";disc",
          "admin;disc"},
         {3, 5, 9}},
        // The program runs in session 9, which the system reports disconnected (an
        // administrator's session left open): it is counted and never logged off.
        {"in a disconnected session",
         9,
         {"operator(directly);active", "clerk1;active", "clerk2;disc", persian + ";disc",
          ">admin;disc"},
         {3, 5}},
        // A service (session 0) lists the same sessions; session 0 is no user's.
        {"as a service",
         0,
         {"operator(directly);active", "clerk1;active", "clerk2;disc", persian + ";disc",
          "admin;disc"},
         {3, 5, 9}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeTerminalSessions system;
        system.sessions = ServerSessions();
        system.own = c.own;
        const auto source = ari::SystemSessionSource(system);
        const ari::SessionListing listing = ari::ListSessions(*source);
        EXPECT_EQ(listing.failure, "");
        EXPECT_EQ(CountedTexts(listing), c.counted);
        // Every session with a user is shown, with the state's word, in the system's order.
        ASSERT_EQ(listing.rows.size(), 7u);
        EXPECT_EQ(listing.rows[0].sessionName, "Console");
        EXPECT_EQ(listing.rows[0].id, "1");
        EXPECT_EQ(listing.rows[3].state, "Down");
        EXPECT_EQ(listing.rows[5].state, "Conn");
        LogLines log;
        ari::LogOffDisconnected(listing, *source, "03:00:00");
        EXPECT_EQ(system.loggedOff, c.loggedOff);
        EXPECT_EQ(log.lines.size(), c.loggedOff.size());
    }
}

TEST(SystemSessionSource, AListingTheSystemRefusesHoldsThePass) {
    FakeTerminalSessions system;
    system.sessions = ServerSessions();
    system.error_ = "WTSEnumerateSessions failed (system error 1726)";
    const auto source = ari::SystemSessionSource(system);
    const ari::SessionListing listing = ari::ListSessions(*source);
    EXPECT_EQ(listing.failure,
              "the system's sessions could not be listed: WTSEnumerateSessions failed (system "
              "error 1726)");
    EXPECT_TRUE(listing.rows.empty());
    EXPECT_TRUE(listing.logoffRows.empty());
}

// ---- the session tools through a fake starter

// Hands out outputs over pipes this test writes: `printed` as the tool's whole output, or a
// pipe left open (a tool that never answers), or no program at all.
class PipeStarter final : public ari::ProcessStarter {
  public:
    enum class Tool { Missing, Prints, NeverEnds };
    bool Start(const std::string& file, const std::string& parameters) override {
        started.push_back(file + "|" + parameters);
        return startsLogoff;
    }
    std::unique_ptr<ari::ProgramOutput> StartReadingOutput(const std::string& file,
                                                           const std::string& parameters) override {
        started.push_back(file + "|" + parameters);
        if (tool == Tool::Missing)
            return nullptr;
        int fds[2];
        if (pipe(fds) != 0)
            return nullptr;
        if (tool == Tool::Prints) {
            EXPECT_EQ(write(fds[1], printed.data(), printed.size()),
                      static_cast<ssize_t>(printed.size()));
            close(fds[1]);
        } else {
            held_.push_back(fds[1]);
        }
        return std::make_unique<ari::ProgramOutput>(fds[0]);
    }
    ~PipeStarter() override {
        for (int fd : held_)
            close(fd);
    }

    Tool tool = Tool::Prints;
    std::string printed;
    bool startsLogoff = true;
    std::vector<std::string> started;

  private:
    std::vector<int> held_;
};

const char kHeader[] =
    " USERNAME              SESSIONNAME        ID  STATE   IDLE TIME  LOGON TIME\r\n";

TEST(ToolSessionSource, AListingThatFailedIsNeverNobody) {
    struct Case {
        const char* name;
        PipeStarter::Tool tool;
        std::string printed;
        std::string failure;
    };
    const Case cases[] = {
        {"quser missing", PipeStarter::Tool::Missing, "",
         "the session tool quser could not be started"},
        {"quser never answers", PipeStarter::Tool::NeverEnds, "", "quser did not answer in time"},
        {"error exit, nothing printed", PipeStarter::Tool::Prints, "", "quser printed nothing"},
        {"error exit with a message", PipeStarter::Tool::Prints,
         "Error 0x000006BA enumerating sessionnames\r\n",
         "quser printed no session listing: \"Error 0x000006BA enumerating sessionnames\""},
        {"garbage", PipeStarter::Tool::Prints, "\x01\x02garbage\xFF\n",
         // Control characters at the ends are trimmed; the invalid byte reads as Latin-1.
         "quser printed no session listing: \"garbage\xC3\xBF\""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        PipeStarter starter;
        starter.tool = c.tool;
        starter.printed = c.printed;
        const auto source = ari::ToolSessionSource(starter, "quser", "logoff");
        ari::ListingFailureNote note;
        LogLines log;
        const ari::SessionListing listing = ari::MonitorSessions(*source, note, 50);
        EXPECT_EQ(listing.failure, c.failure);
        EXPECT_TRUE(listing.counted.empty());
        EXPECT_EQ(starter.started, std::vector<std::string>{"quser|/server:127.0.0.1"});
        ASSERT_EQ(log.lines.size(), 1u);
        EXPECT_EQ(log.lines[0].rfind("\\\\\\The sessions cannot be listed (" + c.failure +
                                         "): no pass until they can. Time: \"",
                                     0),
                  0u)
            << log.lines[0];
    }
}

TEST(ToolSessionSource, OwnSessionIsNeverLoggedOffWhateverTheMarkSays) {
    PipeStarter starter;
    // Session 3 is ours, but the listing marks none (a tool run elsewhere, or a lying one).
    starter.printed = std::string(kHeader) +
                      " clerk2                                    3  Disc     1:02\r\n"
                      " clerk4                                    5  Getrennt    7\r\n";
    const auto source = ari::ToolSessionSource(starter, "/opt/t/quser", "/opt/t/logoff", 3u);
    const ari::SessionListing listing = ari::ListSessions(*source, 1000);
    ASSERT_EQ(listing.counted.size(), 2u);
    EXPECT_EQ(listing.logoffRows, std::vector<int>{1});
    LogLines log;
    ari::LogOffDisconnected(listing, *source, "03:00:00");
    EXPECT_EQ(starter.started, (std::vector<std::string>{"/opt/t/quser|/server:127.0.0.1",
                                                         "/opt/t/logoff| 5   /server:127.0.0.1"}));
    EXPECT_EQ(log.lines, std::vector<std::string>{
                             "---Log off clerk4, session 5, Getrennt Time: \"03:00:00\""});

    // A logoff that cannot be started is said as a problem.
    starter.startsLogoff = false;
    LogLines failed;
    ari::LogOffDisconnected(listing, *source, "03:00:30");
    EXPECT_EQ(failed.lines, std::vector<std::string>{
                                "\\\\\\Log off clerk4, session 5 failed: the session tool logoff "
                                "could not be started Time: \"03:00:30\""});
}

TEST(ListingFailureNote, SaysAFailureOnceUntilItChangesOrPasses) {
    FakeTerminalSessions system;  // no sessions: nothing is logged off
    const auto source = ari::SystemSessionSource(system);
    ari::ListingFailureNote note;
    LogLines log;
    // The system's error at each listing ("" for none) and the lines said so far: failing three
    // times says it once; a new reason says it again; a listing that works says nothing, and
    // the next failure is said again.
    const std::pair<std::string, size_t> steps[] = {
        {"e1", 1}, {"e1", 1}, {"e1", 1}, {"e2", 2}, {"", 2}, {"", 2}, {"e2", 3},
    };
    for (const auto& [error, said] : steps) {
        system.error_ = error;
        ari::MonitorSessions(*source, note);
        EXPECT_EQ(log.lines.size(), said) << error;
    }
    EXPECT_NE(log.lines[1].find("(the system's sessions could not be listed: e2)"),
              std::string::npos)
        << log.lines[1];
}

TEST(LogOffDisconnected, EachLogoffIsWrittenToTheRunJournal) {
    ari::test::TempFolder folder;
    FakeTerminalSessions system;
    system.sessions = ServerSessions();
    system.own = 1;
    const auto source = ari::SystemSessionSource(system);
    {
        const ari::JournalLog journal(folder.Path(),
                                      [] { return ari::EncodeDateTime(2026, 12, 10, 3, 0, 30); });
        ari::ListingFailureNote note;
        ari::MonitorSessions(*source, note);
        // A logoff the system refuses is journaled as a problem, with the system's error.
        system.refuse = true;
        system.sessions = {{9, "admin", "", TerminalState::Disconnected}};
        ari::MonitorSessions(*source, note);
    }
    const std::string text = ari::test::ReadFileBytes(folder / "autoreindex.log");
    std::vector<std::string> lines;
    for (size_t start = 0, end; start < text.size(); start = end + 1) {
        end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
    }
    ASSERT_EQ(lines.size(), 4u) << text;
    const char* const expected[] = {
        "10/12/2026 03:00:30 ---Log off clerk2, session 3, Disc Time: \"",
        "10/12/2026 03:00:30 ---Log off \xDA\xA9\xD8\xA7\xD8\xB1\xD8\xA8\xD8\xB1, session 5, "
        "Disc Time: \"",
        "10/12/2026 03:00:30 ---Log off admin, session 9, Disc Time: \"",
        "10/12/2026 03:00:30 \\\\\\Log off admin, session 9 failed: WTSLogoffSession failed "
        "(system error 5) Time: \"",
    };
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(lines[i].rfind(expected[i], 0), 0u) << lines[i];
}

}  // namespace
