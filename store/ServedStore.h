// The version of the store that lookups are answered from, and the order in
// which loads replace it: each load takes a number as it starts, builds its
// store aside, and replaces the served one, by a swap under the lock, only
// when no load that started later has been served already.
#pragma once

#include <atomic>
#include <cstdint>

#include "store/ProfileSource.h"
#include "store/Store.h"
#include "store/StoreLock.h"

namespace stavora {

// What loads carry from one to the next, under the store's lock.
struct LoadHistory {
  // Loads in a row that read nothing from a file with bytes in it.
  unsigned unreadableLoads = 0;
  // The state of the file, and the count of changes reported, when an empty
  // or missing file was last held; a read that confirms it serves it only
  // when the file still has this state and no change was reported since.
  bool holdingEmpty = false;
  FileState heldEmpty;
  std::uint64_t heldChanges = 0;
};

class ServedStore {
 public:
  // `sections` is the store the lookups read under `lock`; both outlive this.
  ServedStore(SectionMap& sections, IStoreLock& lock) : m_sections(sections), m_lock(lock) {}
  ServedStore(const ServedStore&) = delete;
  ServedStore& operator=(const ServedStore&) = delete;

  // The number of a load that starts now: larger than any taken before.
  std::uint64_t BeginLoad() { return m_nextLoad.fetch_add(1, std::memory_order_relaxed) + 1; }

  // Under the lock, and only when load `load` started after the load served
  // now: swaps `fresh` in (it comes back holding the version it replaced, to
  // be freed by the caller after the lock is left), runs `update` on the
  // history, and returns true. Otherwise changes nothing and returns false.
  template <class Update>
  bool Publish(std::uint64_t load, SectionMap& fresh, Update&& update) {
    StoreLockGuard guard(m_lock);
    if (load <= m_servedLoad) return false;
    m_sections.swap(fresh);
    m_servedLoad = load;
    update(m_history);
    return true;
  }

  // Runs `visit` on the history, and the store served now, under the lock.
  template <class Visit>
  void WithHistory(Visit&& visit) {
    StoreLockGuard guard(m_lock);
    visit(m_history, static_cast<const SectionMap&>(m_sections));
  }

 private:
  SectionMap& m_sections;
  IStoreLock& m_lock;
  std::atomic<std::uint64_t> m_nextLoad{0};
  std::uint64_t m_servedLoad = 0;  // under m_lock
  LoadHistory m_history;           // under m_lock
};

}  // namespace stavora
