// A Win32 critical section that owns itself: the store's lock on Windows.
#pragma once

#include <windows.h>

#include "store/StoreLock.h"

namespace stavora {

class CriticalSection final : public StoreLock {
 public:
  CriticalSection() { InitializeCriticalSection(&m_section); }
  ~CriticalSection() { DeleteCriticalSection(&m_section); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() override { EnterCriticalSection(&m_section); }
  void Leave() override { LeaveCriticalSection(&m_section); }

  // Whether the calling thread holds the section now.
  bool IsHeldByCurrentThread() const {
    return m_section.OwningThread ==
           reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(GetCurrentThreadId()));
  }

 private:
  CRITICAL_SECTION m_section;
};

}  // namespace stavora
