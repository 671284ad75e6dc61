// How far the engine's long work on a table has got: the index builds (each tag's pass over the
// table's records, the sort of its keys, the writing of its keys) and the pack (its pass over the
// records, then each tag of the rebuilt production index) tell a progress sink set on their
// thread, so that a caller several layers up can show it without every function in between
// passing it on.
//
// Contract: each report names its phase. A loop over `total` items reports (phase, 0, total)
// before its first item, then (phase, done, total) every kProgressEveryRecords items, then
// (phase, total, total) when it has gone through; `done` never falls within one loop. A sort
// reports (Sorting, 0, keys) when it starts and (Sorting, done, keys) as its first-level buckets
// are sorted, up to (Sorting, keys, keys). An index build over several tags, and a pack
// followed by its index rebuild, report one such loop after another (each starting again at 0).
// The loops over the table's records (Reading, Packing, Renumbering: OverRecords) come in the
// order they always came; the Sorting and Writing loops of a tag come between its Reading loop
// and the next tag's.
// Reports go to the sink of the calling thread only; a thread without a sink costs one branch
// per record. The sink is called on the engine's thread in the middle of its work, with the
// table held: it must return quickly, must not call the engine and must not throw. Nothing the
// engine writes depends on whether a sink is set.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

namespace ari::engine {

enum class ProgressPhase {
    Reading,      // an index build's pass over the records, taking a tag's keys (records)
    Packing,      // the pack's pass over the records, copying those it keeps (records)
    Renumbering,  // a tag's keys taken over from the index built before the pack (records)
    Sorting,      // a tag's keys sorted (keys)
    Writing,      // a tag's sorted keys written into the new index (keys)
};

// True for the phases whose loops go over the table's records.
constexpr bool OverRecords(ProgressPhase phase) {
    return phase == ProgressPhase::Reading || phase == ProgressPhase::Packing ||
           phase == ProgressPhase::Renumbering;
}

using ProgressSink = std::function<void(ProgressPhase phase, uint64_t done, uint64_t total)>;

// Records between two reports of one loop.
constexpr uint32_t kProgressEveryRecords = 16384;

// Sets `sink` as the calling thread's progress sink for the scope's length; the sink set before
// (if any) is restored when the scope ends. REQUIRES: scopes on one thread end in reverse order.
class ProgressScope {
  public:
    explicit ProgressScope(ProgressSink sink);
    ~ProgressScope();
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

  private:
    ProgressSink sink_;
    const ProgressSink* previous_;
};

// The calling thread's sink, or nullptr when none is set.
const ProgressSink* CurrentProgressSink();

// Tells `sink` (CurrentProgressSink(), taken once before the loop), when there is one, that
// `done` of `total` items of `phase` are through.
inline void ReportProgress(const ProgressSink* sink, ProgressPhase phase, uint64_t done,
                           uint64_t total) {
    if (sink)
        (*sink)(phase, done, total);
}

// A line for the operator about something the engine did on its own and got through (a retry),
// for the caller's log.
using NoticeSink = std::function<void(const std::string& line)>;

// Sets `sink` as the calling thread's notice sink for the scope's length, as ProgressScope does.
class NoticeScope {
  public:
    explicit NoticeScope(NoticeSink sink);
    ~NoticeScope();
    NoticeScope(const NoticeScope&) = delete;
    NoticeScope& operator=(const NoticeScope&) = delete;

  private:
    NoticeSink sink_;
    const NoticeSink* previous_;
};

// Gives `line` to the calling thread's notice sink; nothing when none is set.
void ReportNotice(const std::string& line);

}  // namespace ari::engine
