// When a watcher reloads its object, and how: at once after a change record
// that names the file; again after a short settle when a load found the file
// empty or gone right after one; with a growing back-off while the file
// cannot be read; at most once a second while overflows go on. Portable:
// times are milliseconds of any steady clock, handed in by the caller, and
// the Win32 loop only carries out what this decides.
#pragma once

#include <cstdint>

#include "store/LoadResult.h"

namespace stavora {

class ReloadPlan {
 public:
  // How long a file found empty or gone right after a change must stay so
  // before it is served as such.
  static constexpr std::uint64_t kSettleMs = 100;
  // The first wait before a file that could not be read is read again; it
  // doubles at each failure up to kLongestBackOffMs, and is back to the
  // first at any change record.
  static constexpr std::uint64_t kFirstBackOffMs = 1000;
  static constexpr std::uint64_t kLongestBackOffMs = 64000;
  // Overflow reloads are at least this far apart.
  static constexpr std::uint64_t kOverflowIntervalMs = 1000;

  // A change record that names the file (or any event after which changes may
  // have gone unreported: a failed read, a directory watched again): reload
  // as soon as possible, holding an empty find; the back-off starts over.
  void ChangeRecorded();

  // An overflow at `now`: changes were made, which ones is not known. A
  // reload is due at once unless one ran less than a second ago; it then
  // falls due a second after that one.
  void OverflowRecorded(std::uint64_t now);

  // Whether a reload is due at `now`, and what it is to do with a file found
  // empty or gone (hold it right after a change, serve it when confirming).
  bool Due(std::uint64_t now) const;
  EmptyFile EmptyFileAt(std::uint64_t now) const;

  // A reload that Due asked for ran at `now` and ended with `result`.
  void Reloaded(std::uint64_t now, LoadResult result);

  // A load that did not run here (the object's first) ended at `now` with
  // `result`: a file that could not be read is read again after the
  // back-off. Nothing that is due is taken as done.
  void LoadEndedElsewhere(std::uint64_t now, LoadResult result);

  // How long to sleep from `now`: `longest`, or less when a reload falls due
  // sooner.
  std::uint64_t SleepFrom(std::uint64_t now, std::uint64_t longest) const;

  // The wait before the next read of a file that could not be read.
  std::uint64_t BackOffMs() const { return m_backOff; }

 private:
  // What comes after a load that ended at `now` with `result`.
  void Follow(std::uint64_t now, LoadResult result);

  bool m_changed = false;          // a change waits for its reload
  bool m_confirmDue = false;       // a held or failed find is to be read again
  std::uint64_t m_confirmAt = 0;   // ... at this time
  bool m_overflowDue = false;      // an overflow held back
  std::uint64_t m_overflowAt = 0;
  bool m_reloaded = false;
  std::uint64_t m_lastReload = 0;
  std::uint64_t m_backOff = kFirstBackOffMs;
};

}  // namespace stavora
