// ReloadSchedule: retries of unreadable files and the pace of overflow
// reloads.
#include "watcher/ReloadSchedule.h"

namespace stavora {

void ReloadSchedule::Reloaded(std::uint64_t now, bool settled) {
  m_reloaded = true;
  m_lastReload = now;
  // Whatever was due is done by this reload; only a failed one is repeated.
  m_due = !settled;
  m_dueAt = now + kIntervalMs;
}

bool ReloadSchedule::OverflowReloadsNow(std::uint64_t now) {
  if (!m_reloaded || now - m_lastReload >= kIntervalMs) return true;
  const std::uint64_t next = m_lastReload + kIntervalMs;
  if (!m_due || next < m_dueAt) m_dueAt = next;
  m_due = true;
  return false;
}

std::uint64_t ReloadSchedule::SleepFrom(std::uint64_t now, std::uint64_t longest) const {
  if (!m_due) return longest;
  if (now >= m_dueAt) return 0;
  const std::uint64_t left = m_dueAt - now;
  return left < longest ? left : longest;
}

}  // namespace stavora
