// Small pieces shared by the main window's handler files.
#pragma once

#include <utility>

namespace ari {

// Runs its action when the scope is left, also by an exception.
template <typename F>
class ScopeExit {
  public:
    explicit ScopeExit(F action) : action_(std::move(action)) {}
    ~ScopeExit() { action_(); }
    ScopeExit(const ScopeExit&) = delete;
    ScopeExit& operator=(const ScopeExit&) = delete;

  private:
    F action_;
};

}  // namespace ari
