#include "schedule/Schedule.h"

#include <cstddef>

#include "platform/AtomicFile.h"
#include "platform/Env.h"
#include "platform/Exception.h"
#include "platform/FileAccess.h"
#include "platform/FileNames.h"
#include "platform/Files.h"
#include "settings/Formats.h"

namespace ari {

namespace {

// A short date text with its line break; anything longer is not ours.
constexpr std::size_t kMaxRecordBytes = 64;

}  // namespace

TickAction DecideTick(ScheduleState& state, TDateTime now, const std::string& begin,
                      const std::string& end, int countedSessions, bool sessionsUnknown) {
    const std::string timeText = LongTimeText(now);
    const std::string dateText = ShortDateText(now);
    if (state.processedToday) {
        if (dateText != state.todayStamp) {
            state.todayStamp = dateText;
            state.processedToday = false;
        }
        return TickAction::Nothing;
    }
    // "HH:MM:SS" texts order times of day exactly; the window holds begin <= t < end.
    if (timeText < begin)
        return TickAction::Nothing;
    if (!(timeText < end))
        return TickAction::Nothing;
    if (sessionsUnknown)
        return TickAction::SessionsUnknown;
    if (countedSessions > 1)
        return TickAction::UsersConnected;
    return TickAction::Start;
}

void PassEnded(ScheduleState& state, TDateTime tickTime, bool succeeded) {
    state.processedToday = succeeded;
    if (succeeded)
        state.todayStamp = ShortDateText(tickTime);
}

std::string PassRecordPathFor(const std::string& markerPath) {
    return ExtractFilePath(markerPath) + kPassRecordName;
}

void TakePassRecord(ScheduleState& state, const std::string& recordPath, TDateTime now) {
    if (state.processedToday || recordPath.empty())
        return;
    std::string text(kMaxRecordBytes, '\0');
    try {
        Env* env = Env::Default();
        const FileHandle fd = OpenRegularFile(recordPath, kOpenRead, LinkPolicy::Refuse);
        const int64_t n = env->ReadAt(fd, 0, text.data(), text.size());
        env->Close(fd);
        if (n < 0 || static_cast<std::size_t>(n) >= kMaxRecordBytes)
            return;
        text.resize(static_cast<std::size_t>(n));
    } catch (const Exception&) {
        return;
    }
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    const std::string today = ShortDateText(now);
    if (text != today)
        return;
    state.todayStamp = today;
    state.processedToday = true;
}

bool WritePassRecord(const std::string& recordPath, TDateTime tickTime) {
    try {
        AtomicFile record(recordPath, TemporaryPathFor(recordPath, kRecordPurpose));
        const std::string text = ShortDateText(tickTime) + "\n";
        record.Write(text.data(), text.size());
        record.Commit();
        return true;
    } catch (const Exception&) {
        return false;
    }
}

}  // namespace ari
