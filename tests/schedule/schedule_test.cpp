// The shared schedule: the tick's decision, the record of the day's pass that every front end
// reads, and the runner's tick driven through the table of cases that the window's tick also
// runs (tests/app/schedule_test.cpp).
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "platform/DateTime.h"
#include "platform/FileNames.h"
#include "runner/Runner.h"
#include "runner/ScheduleTick.h"
#include "schedule/Schedule.h"
#include "settings/Formats.h"
#include "tests/schedule/TickCases.h"
#include "tests/support/TestFolders.h"

namespace {

using ari::TickAction;
using ari::test::ReadFileBytes;
using ari::test::TempFolder;
using ari::test::WriteFileBytes;

TEST(ScheduleTick, DecidesAsTheWindowsTick) {
    using ari::TickAction;
    const ari::TDateTime day = ari::EncodeDateTime(2026, 12, 10);
    const auto at = [&](int h, int m, int s, int dayOffset = 0) {
        return day + dayOffset + ari::EncodeTime(h, m, s);
    };
    struct Case {
        const char* what;
        bool processed;
        const char* stamp;
        ari::TDateTime now;
        int sessions;
        TickAction action;
        bool processedAfter;
    };
    const Case cases[] = {
        {"before the window", false, "10/12/2026", at(1, 59, 59), 0, TickAction::Nothing, false},
        {"at its begin", false, "10/12/2026", at(2, 0, 0), 1, TickAction::Start, false},
        {"inside, two sessions", false, "10/12/2026", at(3, 0, 0), 2, TickAction::UsersConnected,
         false},
        {"at its end", false, "10/12/2026", at(4, 0, 0), 0, TickAction::Nothing, false},
        {"done today", true, "10/12/2026", at(2, 30, 0), 0, TickAction::Nothing, true},
        {"done yesterday: cleared, no pass on this tick", true, "09/12/2026", at(2, 30, 0), 0,
         TickAction::Nothing, false},
    };
    for (const Case& c : cases) {
        ari::ScheduleState state{std::string(c.stamp), c.processed};
        EXPECT_EQ(ari::DecideTick(state, c.now, std::string("02:00:00"), std::string("04:00:00"),
                                  c.sessions),
                  c.action)
            << c.what;
        EXPECT_EQ(state.processedToday, c.processedAfter) << c.what;
    }
    // A success belongs to the day its tick started on, also when the pass ends after midnight.
    ari::ScheduleState state{std::string("09/12/2026"), false};
    ari::PassEnded(state, at(23, 59, 30, -1), true);
    EXPECT_EQ(state.todayStamp, std::string("09/12/2026"));
    EXPECT_EQ(
        ari::DecideTick(state, at(0, 0, 30), std::string("00:00:00"), std::string("23:59:59"), 0),
        TickAction::Nothing);
    EXPECT_FALSE(state.processedToday);  // the next tick may start today's pass
    // No end set: no time is inside the window.
    ari::ScheduleState unset;
    EXPECT_EQ(ari::DecideTick(unset, at(3, 0, 0), std::string(), std::string(), 0),
              TickAction::Nothing);
}

TEST(PassRecord, ASuccessIsTheDaysPassForWhoeverReadsTheRecord) {
    TempFolder dir;
    const std::string record = ari::PassRecordPathFor(dir / ari::kRunMarkerName);
    EXPECT_EQ(record, dir / ari::kPassRecordName);
    const ari::TDateTime tick = ari::EncodeDateTime(2026, 12, 10, 23, 59, 30);
    ASSERT_TRUE(ari::WritePassRecord(record, tick));
    EXPECT_EQ(ReadFileBytes(record), "10/12/2026\n");

    ari::ScheduleState state{"10/12/2026", false};
    ari::TakePassRecord(state, record, ari::EncodeDateTime(2026, 12, 10, 23, 59, 59));
    EXPECT_TRUE(state.processedToday);
    // On the next date the record is yesterday's: it changes nothing.
    ari::ScheduleState next{"10/12/2026", false};
    ari::TakePassRecord(next, record, ari::EncodeDateTime(2026, 12, 11, 0, 0, 30));
    EXPECT_FALSE(next.processedToday);
}

TEST(PassRecord, WhatIsNoRecordOfOursChangesNothing) {
    TempFolder dir;
    const std::string record = dir / ari::kPassRecordName;
    const ari::TDateTime now = ari::EncodeDateTime(2026, 12, 10, 2, 0, 0);
    struct Case {
        const char* what;
        std::function<bool()> make;  // false: this system cannot make it (no links under Wine)
    };
    const Case cases[] = {
        {"missing", [] { return true; }},
        {"a folder", [&] { return std::filesystem::create_directory(record); }},
        {"a link to a file that holds today's date",
         [&] {
             WriteFileBytes(dir / "elsewhere", "10/12/2026\n");
             std::error_code failed;
             std::filesystem::create_symlink(dir / "elsewhere", record, failed);
             return !failed;
         }},
        {"too long to be a date",
         [&] {
             WriteFileBytes(record, "10/12/2026" + std::string(100, ' '));
             return true;
         }},
    };
    for (const Case& c : cases) {
        std::filesystem::remove_all(record);
        if (!c.make())
            continue;
        ari::ScheduleState state{"10/12/2026", false};
        ari::TakePassRecord(state, record, now);
        EXPECT_FALSE(state.processedToday) << c.what;
    }
    // A record that cannot be written is said, never thrown.
    std::filesystem::remove_all(record);
    std::filesystem::create_directory(record);
    EXPECT_FALSE(ari::WritePassRecord(record, now));
}

// The runner's tick over the table of cases: the settings file holds the time window, the
// record lies beside the marker, a pass that succeeds stands in for the maintenance run.
TEST(RunnerTick, DecidesEveryCaseAsTheWindowDoes) {
    for (const ari::test::TickCase& c : ari::test::TickCases()) {
        SCOPED_TRACE(c.what);
        TempFolder dir;
        const std::string settings = dir / "Setting_VorelIndex.ini";
        WriteFileBytes(settings, std::string("[Setting]\nDest=/x\nPack=-1\nBegin=") + c.begin +
                                     "\nEnd=" + c.end + "\n");
        const std::string record = dir / ari::kPassRecordName;
        if (*c.record)
            WriteFileBytes(record, c.record);
        std::vector<std::string> lines;
        const ari::LogSubscription log([&](const std::string& line, bool clear) {
            if (clear)
                lines.clear();
            lines.push_back(line);
        });
        const ari::TDateTime now = ari::EncodeDateTime(2026, 12, c.day, c.h, c.m, c.s);
        ari::ScheduleState state{c.stamp, c.processed};
        int passes = 0;
        const int code = ari::runner::ScheduleTick(
            state, settings, record, c.sessions, [&] { return now; },
            [&](const ari::ScheduleSettings&) {
                EXPECT_EQ(state.processedToday, c.processedAfter);
                ++passes;
                return static_cast<int>(ari::runner::kSuccess);
            });
        EXPECT_EQ(passes, c.starts ? 1 : 0);
        EXPECT_EQ(code, c.starts ? 0 : -1);
        if (!c.starts) {
            EXPECT_EQ(state.processedToday, c.processedAfter);
        }
        ASSERT_FALSE(lines.empty());
        EXPECT_EQ(lines.front(), ari::CheckingLine(ari::LongTimeText(now)));
        const bool usersLine =
            std::find(lines.begin(), lines.end(),
                      ari::UsersConnectedLine(c.sessions, ari::LongTimeText(now))) != lines.end();
        EXPECT_EQ(usersLine, c.usersConnected);
        if (c.starts) {
            EXPECT_EQ(lines.back(), ari::StartLine(ari::LongTimeText(now)));
            EXPECT_TRUE(state.processedToday);  // the day is done after a success
        }
    }
}

// A pass held off by another one is no failure: the day stays open, and the other pass's record
// closes it at the next tick.
TEST(RunnerTick, APassHeldOffByAnotherLeavesTheDayToTheOthersRecord) {
    TempFolder dir;
    const std::string settings = dir / "Setting_VorelIndex.ini";
    WriteFileBytes(settings, "[Setting]\nDest=/x\nPack=-1\nBegin=02:00:00\nEnd=04:00:00\n");
    const std::string record = dir / ari::kPassRecordName;
    ari::TDateTime now = ari::EncodeDateTime(2026, 12, 10, 2, 0, 0);
    ari::ScheduleState state{"10/12/2026", false};
    int passes = 0;
    const auto heldOff = [&](const ari::ScheduleSettings&) {
        ++passes;
        return static_cast<int>(ari::runner::kAnotherPass);
    };
    EXPECT_EQ(ari::runner::ScheduleTick(
                  state, settings, record, 0, [&] { return now; }, heldOff),
              ari::runner::kAnotherPass);
    EXPECT_FALSE(state.processedToday);
    ASSERT_TRUE(ari::WritePassRecord(record, now));  // the other pass succeeded
    now += ari::EncodeTime(0, 1, 0);
    EXPECT_EQ(ari::runner::ScheduleTick(
                  state, settings, record, 0, [&] { return now; }, heldOff),
              -1);
    EXPECT_EQ(passes, 1);
    EXPECT_TRUE(state.processedToday);
}

}  // namespace
