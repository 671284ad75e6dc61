#include "sessions/SessionSource.h"

#include <chrono>
#include <cstdlib>
#include <thread>
#include <utility>
#include <vector>

#include "platform/Files.h"

namespace ari {

namespace {

// ---- the session tools

constexpr std::chrono::milliseconds kEndGrace{250};

class ToolListing final : public PendingListing {
  public:
    ToolListing(std::unique_ptr<ProgramOutput> output, std::optional<unsigned> ownSession)
        : output_(std::move(output)), ownSession_(ownSession) {}

    bool Ended() override { return !output_ || output_->Ended(); }

    SessionListing Finish() override {
        SessionListing failed;
        if (!output_) {
            failed.failure = "the session tool quser could not be started";
            return failed;
        }
        // A tool that has printed as the wait ends may not have closed its output yet: it gets
        // a moment more before it counts as one that never answered.
        const auto grace = std::chrono::steady_clock::now() + kEndGrace;
        while (!output_->Ended() && std::chrono::steady_clock::now() < grace)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        if (!output_->Ended()) {
            failed.failure = "quser did not answer in time";
            return failed;
        }
        const std::optional<std::string> printed = output_->Take();
        if (!printed) {
            failed.failure = "quser's listing could not be read";
            return failed;
        }
        SessionListing listing = ReadToolListing(*printed);
        if (ownSession_) {
            // Our own session stays, whatever the listing's mark says.
            std::vector<int> kept;
            for (int row : listing.logoffRows) {
                const std::string id = TrimBlanks(listing.rows[static_cast<size_t>(row)].id);
                if (id != std::to_string(*ownSession_))
                    kept.push_back(row);
            }
            listing.logoffRows = std::move(kept);
        }
        return listing;
    }

  private:
    std::unique_ptr<ProgramOutput> output_;
    std::optional<unsigned> ownSession_;
};

class Tools final : public SessionSource {
  public:
    Tools(ProcessStarter& starter, std::string quser, std::string logoff,
          std::optional<unsigned> ownSession)
        : starter_(starter),
          quser_(std::move(quser)),
          logoff_(std::move(logoff)),
          ownSession_(ownSession) {}

    std::unique_ptr<PendingListing> Start() override {
        return std::make_unique<ToolListing>(
            starter_.StartReadingOutputAndErrors(quser_, std::string("/server:") + kSessionServer),
            ownSession_);
    }

    std::string LogOff(const SessionListing& listing, int row) override {
        if (starter_.Start(logoff_, LogoffParameters(listing.rows[static_cast<size_t>(row)])))
            return {};
        return "the session tool logoff could not be started";
    }

  private:
    ProcessStarter& starter_;
    std::string quser_, logoff_;
    std::optional<unsigned> ownSession_;
};

// ---- the system's sessions

class Done final : public PendingListing {
  public:
    explicit Done(SessionListing listing) : listing_(std::move(listing)) {}
    bool Ended() override { return true; }
    SessionListing Finish() override { return std::move(listing_); }

  private:
    SessionListing listing_;
};

// The word a listing tool shows for a state (the English tool's abbreviations).
const char* StateWord(TerminalState state) {
    switch (state) {
        case TerminalState::Active:
            return "Active";
        case TerminalState::Connected:
            return "Conn";
        case TerminalState::ConnectQuery:
            return "ConnQ";
        case TerminalState::Shadow:
            return "Shadow";
        case TerminalState::Disconnected:
            return "Disc";
        case TerminalState::Idle:
            return "Idle";
        case TerminalState::Listen:
            return "Listen";
        case TerminalState::Reset:
            return "Reset";
        case TerminalState::Down:
            return "Down";
        case TerminalState::Init:
            return "Init";
    }
    return "Unknown";
}

class System final : public SessionSource {
  public:
    explicit System(TerminalSessions& sessions) : sessions_(sessions) {}

    std::unique_ptr<PendingListing> Start() override {
        SessionListing listing;
        std::vector<TerminalSession> all;
        std::string error;
        if (!sessions_.Enumerate(&all, &error)) {
            listing.failure = "the system's sessions could not be listed: " + error;
            return std::make_unique<Done>(std::move(listing));
        }
        const unsigned own = sessions_.OwnSession();
        ids_.clear();
        for (const TerminalSession& s : all) {
            // Sessions nobody is logged on to (the services' session, listeners, a logon
            // screen) are no one's: neither counted nor ever logged off.
            if (TrimBlanks(s.user).empty())
                continue;
            const bool ours = s.id == own;
            const int row = static_cast<int>(listing.rows.size());
            listing.rows.push_back(SessionRow{(ours ? ">" : " ") + s.user, s.station,
                                              std::to_string(s.id), StateWord(s.state)});
            ids_.push_back(s.id);
            const bool active = s.state == TerminalState::Active;
            const bool disconnected = s.state == TerminalState::Disconnected;
            if (!active && !disconnected)
                continue;
            const bool console = LowerAsciiLetters(TrimBlanks(s.station)) == "console";
            listing.counted.push_back(CountedSession{TrimBlanks(listing.rows.back().userName) +
                                                         (console ? "(directly);" : ";") +
                                                         (active ? "active" : "disc"),
                                                     row});
            if (disconnected && !ours)
                listing.logoffRows.push_back(row);
        }
        return std::make_unique<Done>(std::move(listing));
    }

    std::string LogOff(const SessionListing& listing, int row) override {
        // The number the system gave, not one read back from a text.
        if (row < 0 || static_cast<size_t>(row) >= ids_.size() ||
            listing.rows.size() != ids_.size())
            return "the session is not in the last listing";
        std::string error;
        if (sessions_.LogOff(ids_[static_cast<size_t>(row)], &error))
            return {};
        return error;
    }

  private:
    TerminalSessions& sessions_;
    std::vector<unsigned> ids_;  // the session number of each row of the last listing
};

}  // namespace

std::unique_ptr<SessionSource> ToolSessionSource(ProcessStarter& starter, std::string quser,
                                                 std::string logoff,
                                                 std::optional<unsigned> ownSession) {
    return std::make_unique<Tools>(starter, std::move(quser), std::move(logoff), ownSession);
}

std::unique_ptr<SessionSource> SystemSessionSource(TerminalSessions& sessions) {
    return std::make_unique<System>(sessions);
}

std::unique_ptr<SessionSource> DefaultSessionSource(ProcessStarter& starter) {
    TerminalSessions* system = PlatformTerminalSessions();
    const char* tools = std::getenv(kSessionToolsVariable);
    if (tools && *tools) {
        const std::string folder = WithTrailingSeparator(tools);
        std::optional<unsigned> own;
        if (system)
            own = system->OwnSession();
        return ToolSessionSource(starter, folder + "quser", folder + "logoff", own);
    }
    if (system)
        return SystemSessionSource(*system);
    return ToolSessionSource(starter, "quser", "logoff");
}

}  // namespace ari
