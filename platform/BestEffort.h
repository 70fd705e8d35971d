// The one barrier for best-effort work, such as writing the log: an
// exception from it ends that work and reaches no caller. Calls into COM
// callers go through CallAtBoundary instead, which turns exceptions into
// results. Portable.
#pragma once

#include <utility>

namespace stavora {

// Runs `body`. Whatever it throws (memory running out while a line is formed,
// no logger to be had) ends the work there: what was not done is lost, and the
// caller carries on.
template <class Body>
void DoBestEffort(Body&& body) noexcept {
  try {
    std::forward<Body>(body)();
  } catch (...) {
    // Best effort: the rest of the work is lost, by design.
  }
}

}  // namespace stavora
