// The reloads a watcher makes on its own clock rather than on a change
// record: again a second after a load that could not read the file, and, while
// buffer overflows go on, at most one a second. Portable: times are
// milliseconds of any steady clock, handed in by the caller.
#pragma once

#include <cstdint>

namespace stavora {

class ReloadSchedule {
 public:
  static constexpr std::uint64_t kIntervalMs = 1000;

  // A reload ran at `now`; `settled` is what the load returned (false: the
  // file has bytes but nothing could be read, so it is read again a second
  // later, and again, until a load settles).
  void Reloaded(std::uint64_t now, bool settled);

  // An overflow at `now`: true when it is to reload at once, which it is
  // unless a reload ran less than a second ago; a reload then falls due a
  // second after that one.
  bool OverflowReloadsNow(std::uint64_t now);

  // Whether a reload is due at `now`.
  bool Due(std::uint64_t now) const { return m_due && now >= m_dueAt; }

  // How long to sleep from `now`: `longest`, or less when a reload falls due
  // sooner.
  std::uint64_t SleepFrom(std::uint64_t now, std::uint64_t longest) const;

 private:
  bool m_reloaded = false;
  std::uint64_t m_lastReload = 0;
  bool m_due = false;
  std::uint64_t m_dueAt = 0;
};

}  // namespace stavora
