// A Win32 critical section that owns itself: the store's lock on Windows.
#pragma once

#include <windows.h>

#include "store/StoreLock.h"

namespace stavora {

class CriticalSection final : public IStoreLock {
 public:
  CriticalSection() { InitializeCriticalSection(&m_section); }
  ~CriticalSection() { DeleteCriticalSection(&m_section); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() override { EnterCriticalSection(&m_section); }
  void Leave() override { LeaveCriticalSection(&m_section); }

 private:
  CRITICAL_SECTION m_section;
};

}  // namespace stavora
