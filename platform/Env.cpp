// The portable part of Env.h: which Env is in force.
#include "platform/Env.h"

#include <atomic>

namespace ari {

namespace {
std::atomic<Env*> installed{nullptr};
}  // namespace

Env* Env::Default() {
    Env* env = installed.load(std::memory_order_acquire);
    return env ? env : Platform();
}

ScopedEnvForTesting::ScopedEnvForTesting(Env* env)
    : previous_(installed.load(std::memory_order_acquire)) {
    installed.store(env, std::memory_order_release);
}

ScopedEnvForTesting::~ScopedEnvForTesting() {
    installed.store(previous_, std::memory_order_release);
}

NameKind KindOfName(const std::string& path) {
    FileInfo info;
    return Env::Default()->PathInfo(path, false, &info) == 0 ? info.kind : NameKind::Missing;
}

}  // namespace ari
