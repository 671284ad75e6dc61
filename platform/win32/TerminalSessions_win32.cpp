// Windows implementation of the terminal sessions: the Remote Desktop Services API
// (WTSEnumerateSessionsW, WTSQuerySessionInformationW, WTSLogoffSession) on the local server.
// The state comes as a number, so a German, Spanish or French Windows reads the same as an
// English one. Under Wine these functions are stubs that report nothing useful; the adapter is
// compiled there and its logic is tested through a fake (tests/sessions).
#include "platform/win32/Win32.h"
// windows.h first: the Remote Desktop Services header needs its types.
#include <wtsapi32.h>

#include <string>
#include <vector>

#include "platform/TerminalSessions.h"

namespace ari {

namespace {

std::string SystemErrorText(const char* call, DWORD code) {
    return std::string(call) + " failed (system error " + std::to_string(code) + ")";
}

// One text of a session, UTF-8; "" when the system has none for it.
std::string SessionText(DWORD id, WTS_INFO_CLASS what) {
    LPWSTR buffer = nullptr;
    DWORD bytes = 0;
    if (!::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, id, what, &buffer, &bytes) ||
        !buffer)
        return {};
    const std::string text = win32::Utf8(buffer);
    ::WTSFreeMemory(buffer);
    return text;
}

class SystemSessions final : public TerminalSessions {
  public:
    bool Enumerate(std::vector<TerminalSession>* sessions, std::string* error) override {
        sessions->clear();
        PWTS_SESSION_INFOW list = nullptr;
        DWORD count = 0;
        if (!::WTSEnumerateSessionsW(WTS_CURRENT_SERVER_HANDLE, 0, 1, &list, &count)) {
            *error = SystemErrorText("WTSEnumerateSessions", ::GetLastError());
            return false;
        }
        for (DWORD i = 0; i < count; ++i) {
            TerminalSession s;
            s.id = list[i].SessionId;
            s.station = list[i].pWinStationName ? win32::Utf8(list[i].pWinStationName) : "";
            s.state = static_cast<TerminalState>(list[i].State);
            s.user = SessionText(list[i].SessionId, WTSUserName);
            sessions->push_back(std::move(s));
        }
        ::WTSFreeMemory(list);
        return true;
    }

    unsigned OwnSession() override {
        DWORD id = 0;
        if (::ProcessIdToSessionId(::GetCurrentProcessId(), &id))
            return id;
        // The session of the calling process as the API itself names it.
        LPWSTR buffer = nullptr;
        DWORD bytes = 0;
        if (::WTSQuerySessionInformationW(WTS_CURRENT_SERVER_HANDLE, WTS_CURRENT_SESSION,
                                          WTSSessionId, &buffer, &bytes) &&
            buffer && bytes >= sizeof(ULONG)) {
            id = *reinterpret_cast<ULONG*>(buffer);
            ::WTSFreeMemory(buffer);
            return id;
        }
        if (buffer)
            ::WTSFreeMemory(buffer);
        // Not known: no real session has this number, so none is mistaken for ours, and the
        // caller's rule (never log off a session it cannot tell from its own) holds through
        // the listing's own mark.
        return 0xFFFFFFFFu;
    }

    bool LogOff(unsigned id, std::string* error) override {
        if (::WTSLogoffSession(WTS_CURRENT_SERVER_HANDLE, id, FALSE))
            return true;
        *error = SystemErrorText("WTSLogoffSession", ::GetLastError());
        return false;
    }
};

}  // namespace

TerminalSessions* PlatformTerminalSessions() {
    static SystemSessions sessions;
    return &sessions;
}

}  // namespace ari
