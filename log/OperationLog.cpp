#include "log/OperationLog.h"

#include <map>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace {

struct Subscribers {
    std::mutex mutex;
    unsigned nextId = 1;
    std::map<unsigned, std::shared_ptr<const ari::LogSink>> sinks;  // in order of subscription
};

Subscribers& All() {
    static Subscribers subscribers;
    return subscribers;
}

}  // namespace

namespace ari {

LogSubscription::LogSubscription(LogSink sink) {
    Subscribers& all = All();
    const std::lock_guard<std::mutex> lock(all.mutex);
    id_ = all.nextId++;
    all.sinks.emplace(id_, std::make_shared<const LogSink>(std::move(sink)));
}

LogSubscription::~LogSubscription() {
    if (id_ == 0)
        return;
    Subscribers& all = All();
    const std::lock_guard<std::mutex> lock(all.mutex);
    all.sinks.erase(id_);
}

}  // namespace ari

void AddLog(const std::string& text, bool clearFirst) {
    // The sinks are called outside the lock, so that one may write a line or subscribe itself.
    std::vector<std::shared_ptr<const ari::LogSink>> sinks;
    {
        Subscribers& all = All();
        const std::lock_guard<std::mutex> lock(all.mutex);
        for (const auto& entry : all.sinks)
            sinks.push_back(entry.second);
    }
    for (const auto& sink : sinks)
        (*sink)(text, clearFirst);
}
