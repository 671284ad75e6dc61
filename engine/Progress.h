// How far a long record loop of the engine has got: the index builds (each tag's pass over the
// table's records) and the pack (its pass over the records, then each tag of the rebuilt
// production index) tell a progress sink set on their thread, so that a caller several layers
// up can show it without every function in between passing it on.
//
// Contract: a loop over `total` records reports (0, total) before its first record, then
// (done, total) every kProgressEveryRecords records, then (total, total) when it has gone
// through; `done` never falls within one loop. An index build over several tags, and a pack
// followed by its index rebuild, report one such loop after another (each starting again at 0).
// Reports go to the sink of the calling thread only; a thread without a sink costs one branch
// per record. The sink is called on the engine's thread in the middle of its work, with the
// table held: it must return quickly, must not call the engine and must not throw. Nothing the
// engine writes depends on whether a sink is set.
#pragma once

#include <cstdint>
#include <functional>

namespace ari::engine {

using ProgressSink = std::function<void(uint64_t done, uint64_t total)>;

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
// `done` of `total` records are through.
inline void ReportProgress(const ProgressSink* sink, uint64_t done, uint64_t total) {
    if (sink)
        (*sink)(done, total);
}

}  // namespace ari::engine
