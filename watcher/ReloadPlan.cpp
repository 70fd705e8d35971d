// ReloadPlan: reloads on change records, settle reads of empty finds, the
// back-off of unreadable files and the pace of overflow reloads.
#include "watcher/ReloadPlan.h"

namespace stavora {

void ReloadPlan::ChangeRecorded() {
  m_changed = true;
  // Whatever was waiting is overtaken by the read the change brings.
  m_confirmDue = false;
  m_backOff = kFirstBackOffMs;
}

void ReloadPlan::OverflowRecorded(std::uint64_t now) {
  if (!m_reloaded || now - m_lastReload >= kOverflowIntervalMs) {
    ChangeRecorded();
    return;
  }
  const std::uint64_t next = m_lastReload + kOverflowIntervalMs;
  if (!m_overflowDue || next < m_overflowAt) m_overflowAt = next;
  m_overflowDue = true;
  m_backOff = kFirstBackOffMs;
}

bool ReloadPlan::Due(std::uint64_t now) const {
  return m_changed || (m_overflowDue && now >= m_overflowAt) ||
         (m_confirmDue && now >= m_confirmAt);
}

EmptyFile ReloadPlan::EmptyFileAt(std::uint64_t now) const {
  // A change, seen or overflowed, may have been a save half done.
  if (m_changed || (m_overflowDue && now >= m_overflowAt)) return EmptyFile::kHold;
  return EmptyFile::kServe;
}

void ReloadPlan::Reloaded(std::uint64_t now, LoadResult result) {
  m_reloaded = true;
  m_lastReload = now;
  // Whatever was due is done by this reload.
  m_changed = false;
  m_overflowDue = false;
  m_confirmDue = false;
  Follow(now, result);
}

void ReloadPlan::LoadEndedElsewhere(std::uint64_t now, LoadResult result) {
  if (m_changed) return;  // the read the change brings comes first
  Follow(now, result);
}

void ReloadPlan::Follow(std::uint64_t now, LoadResult result) {
  switch (result) {
    case LoadResult::kHeldEmpty:
      m_confirmDue = true;
      m_confirmAt = now + kSettleMs;
      break;
    case LoadResult::kUnreadable:
      m_confirmDue = true;
      m_confirmAt = now + m_backOff;
      m_backOff = m_backOff * 2 > kLongestBackOffMs ? kLongestBackOffMs : m_backOff * 2;
      break;
    case LoadResult::kUnsettled:
      // The file kept changing under every read: read it again.
      m_changed = true;
      break;
    case LoadResult::kServed:
    case LoadResult::kSuperseded:
    case LoadResult::kAbandoned:
      m_backOff = kFirstBackOffMs;
      break;
  }
}

std::uint64_t ReloadPlan::SleepFrom(std::uint64_t now, std::uint64_t longest) const {
  if (Due(now)) return 0;
  std::uint64_t at = now + longest;
  if (m_overflowDue && m_overflowAt < at) at = m_overflowAt;
  if (m_confirmDue && m_confirmAt < at) at = m_confirmAt;
  return at - now;
}

}  // namespace stavora
