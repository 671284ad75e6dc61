// The session tools' pure parts: the listing rows (read back through the session monitor's own
// column cutter), loginctl's output, and utmp records.
#include <gtest/gtest.h>
#include <utmp.h>

#include <cstring>

#include "sessions/SessionListing.h"
#include "sessions/standins/LoginSessions.h"
#include "tests/support/SessionFixtures.h"

namespace {

using ari::test::UtmpRecord;

using ari::LoginSession;

LoginSession Session(std::string id, std::string user, std::string name, bool disc) {
    LoginSession s;
    s.id = std::move(id);
    s.user = std::move(user);
    s.sessionName = std::move(name);
    s.disconnected = disc;
    return s;
}

TEST(FormatListingRow, FixedColumns) {
    struct Case {
        LoginSession session;
        std::string row;
    };
    LoginSession current = Session("1", "operator", "console", false);
    current.current = true;
    current.idleMinutes = 0;
    current.logonTime = "10/12/2025 07:00";
    LoginSession idle = Session("12", "clerk1", "pts/3", false);
    idle.idleMinutes = 62;
    idle.logonTime = "10/12/2025 08:00";
    const Case cases[] = {
        {current,
         ">operator              console             1  Active          .  10/12/2025 07:00"},
        {idle, " clerk1                pts/3              12  Active       1:02  10/12/2025 08:00"},
        {Session("123", "clerk2", "", true),
         " clerk2                                   123 Disc            ."},
        {Session("1234", "clerk3", "", true),
         " clerk3                                   1234Disc            ."},
        // An id too long for the id columns is shown after the row.
        {Session("12345", "clerk4", "", true),
         " clerk4                                    *  Disc            .  (id 12345)"},
        // Names are cut so that a blank always ends their field.
        {Session("7", "a-user-name-longer-than-its-column", "a-session-name-longer-than-19", false),
         " a-user-name-longer-th a-session-name-lon  7  Active          ."},
        {Session("8", "bad\nname\t", "", false),
         " bad?name?                                 8  Active          ."},
        {Session("9", "کاربر", "console", false),
         " کاربر                 console             9  Active          ."},
    };
    for (const Case& c : cases)
        EXPECT_EQ(ari::FormatListingRow(c.session), c.row);
}

// What the session monitor makes of our rows: the user and state it counts, and the session
// number it would give logoff. A session whose id does not fit the four id columns is still
// counted, and its id is never cut into another session's number.
TEST(FormatListingRow, SessionMonitorReadsWhatWasListed) {
    struct Case {
        std::string id;
        bool disc;
        std::string entry;   // "" when the row is not counted
        std::string logoff;  // the id logoff would get, trimmed; "" when none
    };
    const Case cases[] = {
        {"1", false, "u;active", ""},       {"7", true, "u;disc", "7"},
        {"42", true, "u;disc", "42"},       {"123", true, "u;disc", "123"},
        {"9999", true, "u;disc", "9999"},   {"12345", true, "u;disc", ""},
        {"1234567", false, "u;active", ""}, {"c1", true, "u;disc", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        const std::string row = ari::FormatListingRow(Session(c.id, "u", "", c.disc));
        const auto listing = ari::ParseSessionListing({std::string(ari::kListingHeader), row});
        ASSERT_EQ(listing.rows.size(), 1u);
        EXPECT_EQ(listing.counted.empty() ? std::string() : listing.counted[0].text, c.entry);
        EXPECT_EQ(listing.logoffRows.empty() ? std::string() : ari::TrimBlanks(listing.rows[0].id),
                  c.logoff);
    }
}

TEST(IdleText, MinutesHoursDays) {
    const std::pair<long, const char*> cases[] = {
        {-1, "."},    {0, "."},        {1, "1"},         {59, "59"},       {60, "1:00"},
        {61, "1:01"}, {1439, "23:59"}, {1440, "1+0:00"}, {1501, "1+1:01"}, {14400, "10+0:00"}};
    for (const auto& [minutes, text] : cases)
        EXPECT_EQ(ari::IdleText(minutes), text) << minutes;
}

TEST(Loginctl, SessionIdsAndProperties) {
    EXPECT_EQ(ari::ParseSessionIds("      3 1000 clerk2 seat0 tty2\n     c1    0 root\n\n"),
              (std::vector<std::string>{"3", "c1"}));
    EXPECT_TRUE(ari::ParseSessionIds("").empty());
    const auto props = ari::ParseProperties("Id=3\r\nName=a=b\nTTY=\nbroken\n=x\n");
    EXPECT_EQ(props.at("Id"), "3");
    EXPECT_EQ(props.at("Name"), "a=b");
    EXPECT_EQ(props.at("TTY"), "");
    EXPECT_EQ(props.size(), 3u);
}

TEST(Loginctl, TimestampToLogonTime) {
    EXPECT_EQ(ari::LogonTimeFromTimestamp("Wed 2025-12-10 07:05:09 UTC"), "10/12/2025 07:05");
    EXPECT_EQ(ari::LogonTimeFromTimestamp("2026-01-02 23:59:00"), "02/01/2026 23:59");
    EXPECT_EQ(ari::LogonTimeFromTimestamp(""), "");
    EXPECT_EQ(ari::LogonTimeFromTimestamp("n/a"), "");
}

TEST(Loginctl, SessionFromProperties) {
    const unsigned long long now = 1765360000ull * 1000000ull;
    struct Case {
        const char* name;
        std::string props;
        bool listed;
        bool disc;
        std::string sessionName;
        long idle;
        bool current;
    };
    const Case cases[] = {
        {"local seat", "Id=3\nName=a\nTTY=tty2\nSeat=seat0\nRemote=no\nState=active\nClass=user",
         true, false, "console", -1, true},
        {"remote on a terminal", "Id=4\nName=b\nTTY=pts/1\nRemote=yes\nState=online\nClass=user",
         true, false, "pts/1", -1, false},
        {"remote without a terminal", "Id=5\nName=b\nService=sshd\nRemote=yes\nState=active", true,
         false, "sshd", -1, false},
        {"closing is disconnected", "Id=6\nName=c\nTTY=pts/2\nState=closing\nClass=user", true,
         true, "", -1, false},
        {"idle for ten minutes",
         "Id=7\nName=d\nState=active\nIdleHint=yes\nIdleSinceHint=" +
             std::to_string(now - 600ull * 1000000ull),
         true, false, "", 10, false},
        {"idle hint in the future",
         "Id=8\nName=d\nState=active\nIdleHint=yes\nIdleSinceHint=" + std::to_string(now + 1), true,
         false, "", -1, false},
        {"greeter", "Id=9\nName=gdm\nState=active\nClass=greeter", false, false, "", -1, false},
        {"background", "Id=10\nName=e\nState=active\nClass=background", false, false, "", -1,
         false},
        {"unknown state", "Id=11\nName=e\nState=opening", false, false, "", -1, false},
        {"no id", "Name=e\nState=active", false, false, "", -1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto s = ari::SessionFromProperties(ari::ParseProperties(c.props), now, "3");
        ASSERT_EQ(s.has_value(), c.listed);
        if (!s)
            continue;
        EXPECT_EQ(s->disconnected, c.disc);
        EXPECT_EQ(s->sessionName, c.sessionName);
        EXPECT_EQ(s->idleMinutes, c.idle);
        EXPECT_EQ(s->current, c.current);
    }
}

TEST(ParseUtmp, UserProcessRecordsOnly) {
    const std::string full32(32, 'x');  // fills the field: no terminating zero
    const std::string bytes = UtmpRecord(BOOT_TIME, 0, 0, "~", "reboot", 1) +
                              UtmpRecord(USER_PROCESS, 100, 99, "pts/3", "clerk", 1765350000) +
                              UtmpRecord(LOGIN_PROCESS, 101, 0, "tty1", "LOGIN", 2) +
                              UtmpRecord(DEAD_PROCESS, 102, 0, "pts/4", "", 3) +
                              UtmpRecord(USER_PROCESS, 103, 0, full32, full32, 4) +
                              UtmpRecord(USER_PROCESS, 104, 0, "tty2", "cut", 5).substr(0, 200);
    const auto logins = ari::ParseUtmp(bytes);
    ASSERT_EQ(logins.size(), 2u);
    EXPECT_EQ(logins[0].slot, 2);
    EXPECT_EQ(logins[1].slot, 5);
    EXPECT_EQ(logins[0].pid, 100);
    EXPECT_EQ(logins[0].session, 99);
    EXPECT_EQ(logins[0].line, "pts/3");
    EXPECT_EQ(logins[0].user, "clerk");
    EXPECT_EQ(logins[0].loginTime, 1765350000);
    EXPECT_EQ(logins[1].line, full32);
    EXPECT_EQ(logins[1].user, full32);
    EXPECT_TRUE(ari::ParseUtmp("").empty());
}

TEST(ClassifyUtmpLogin, LeaderAndSessionProcesses) {
    EXPECT_EQ(ari::ClassifyUtmpLogin(true, false), ari::UtmpState::Active);
    EXPECT_EQ(ari::ClassifyUtmpLogin(true, true), ari::UtmpState::Active);
    EXPECT_EQ(ari::ClassifyUtmpLogin(false, true), ari::UtmpState::Disconnected);
    EXPECT_EQ(ari::ClassifyUtmpLogin(false, false), ari::UtmpState::Stale);
}

TEST(IsLocalServerArgument, LocalNamesOnly) {
    const std::pair<const char*, bool> cases[] = {
        {"/server:127.0.0.1", true},  {"/SERVER:127.0.0.1", true}, {"/server:localhost", true},
        {"/server:10.0.0.9", false},  {"/server:", false},         {"127.0.0.1", false},
        {"/server:127.0.0.1x", false}};
    for (const auto& [arg, local] : cases)
        EXPECT_EQ(ari::IsLocalServerArgument(arg), local) << arg;
}

}  // namespace
