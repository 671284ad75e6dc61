#include "schedule/SessionTick.h"

#include <chrono>
#include <thread>

#include "log/LogTexts.h"
#include "log/OperationLog.h"
#include "platform/DateTime.h"
#include "settings/Formats.h"

namespace ari {

void LogOffDisconnected(const SessionListing& listing, SessionSource& source,
                        const std::string& time) {
    for (int row : listing.logoffRows) {
        const SessionRow& r = listing.rows[static_cast<size_t>(row)];
        const std::string user = TrimBlanks(r.userName);
        const std::string id = TrimBlanks(r.id);
        const std::string why = source.LogOff(listing, row);
        AddLog(why.empty() ? LogoffLine(user, id, TrimBlanks(r.state), time)
                           : LogoffFailedLine(user, id, why, time));
    }
}

SessionListing ListSessions(SessionSource& source, unsigned waitMs) {
    const std::unique_ptr<PendingListing> pending = source.Start();
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!pending->Ended() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    return pending->Finish();
}

void ListingFailureNote::Take(const SessionListing& listing, const std::string& time) {
    if (listing.failure.empty()) {
        said_.clear();
        return;
    }
    if (listing.failure == said_)
        return;
    said_ = listing.failure;
    AddLog(SessionsNotListedLine(listing.failure, time));
}

SessionListing MonitorSessions(SessionSource& source, ListingFailureNote& note, unsigned waitMs) {
    SessionListing listing = ListSessions(source, waitMs);
    const std::string time = LongTimeText(LocalNow());
    note.Take(listing, time);
    LogOffDisconnected(listing, source, time);
    return listing;
}

}  // namespace ari
