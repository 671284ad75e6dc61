#include "schedule/SessionTick.h"

#include <chrono>
#include <optional>
#include <thread>

namespace ari {

std::unique_ptr<ProgramOutput> StartSessionListing(ProcessStarter& starter) {
    return starter.StartReadingOutput("quser", std::string("/server:") + kSessionServer);
}

SessionListing ReadSessionListing(const std::string& printed) {
    return ParseSessionListing(SplitListingLines(DecodeListingText(printed)));
}

void LogOffDisconnected(const SessionListing& listing, ProcessStarter& starter) {
    for (int row : listing.logoffRows)
        starter.Start("logoff", LogoffParameters(listing.rows[static_cast<size_t>(row)]));
}

SessionListing ListSessions(ProcessStarter& starter, unsigned waitMs) {
    const std::unique_ptr<ProgramOutput> output = StartSessionListing(starter);
    if (!output)
        return {};
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!output->Ended() && std::chrono::steady_clock::now() < until)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    const std::optional<std::string> printed = output->Take();
    if (!printed)
        return {};
    return ReadSessionListing(*printed);
}

SessionListing MonitorSessions(ProcessStarter& starter, unsigned waitMs) {
    SessionListing listing = ListSessions(starter, waitMs);
    LogOffDisconnected(listing, starter);
    return listing;
}

}  // namespace ari
