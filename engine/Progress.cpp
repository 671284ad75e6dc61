#include "engine/Progress.h"

#include <utility>

namespace ari::engine {

namespace {
thread_local const ProgressSink* tSink = nullptr;
}  // namespace

ProgressScope::ProgressScope(ProgressSink sink) : sink_(std::move(sink)), previous_(tSink) {
    tSink = sink_ ? &sink_ : nullptr;
}

ProgressScope::~ProgressScope() {
    tSink = previous_;
}

const ProgressSink* CurrentProgressSink() {
    return tSink;
}

namespace {
thread_local const NoticeSink* tNotice = nullptr;
}  // namespace

NoticeScope::NoticeScope(NoticeSink sink) : sink_(std::move(sink)), previous_(tNotice) {
    tNotice = sink_ ? &sink_ : nullptr;
}

NoticeScope::~NoticeScope() {
    tNotice = previous_;
}

void ReportNotice(const std::string& line) {
    if (tNotice)
        (*tNotice)(line);
}

}  // namespace ari::engine
