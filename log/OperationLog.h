// The operation log: the one function that writes a line (AddLog) and the sinks that receive
// the lines (UTF-8 text): the main window's panel is one subscriber, a headless caller or a
// test can be another. The texts of the lines are made in log/LogTexts.h.
#pragma once

#include <functional>
#include <string>

// Hands `text`, one whole line, to every subscriber, telling them to empty what they show
// first when `clearFirst` is set. Does nothing while there is no subscriber.
void AddLog(const std::string& text, bool clearFirst = false);

namespace ari {

// What a subscriber receives for each AddLog call, on the thread that called AddLog: a
// subscriber that lives on another thread passes the line on to it itself.
using LogSink = std::function<void(const std::string& line, bool clearFirst)>;

// A subscription to the operation log; the sink receives lines for as long as the object
// lives. Thread-safe: lines may be written and sinks added or removed from any thread; a sink
// removed while a line is being handed out may still receive that line.
class LogSubscription {
  public:
    LogSubscription() = default;
    explicit LogSubscription(LogSink sink);
    ~LogSubscription();
    LogSubscription(const LogSubscription&) = delete;
    LogSubscription& operator=(const LogSubscription&) = delete;

  private:
    unsigned id_ = 0;  // 0: not subscribed
};

}  // namespace ari
