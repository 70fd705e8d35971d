// The store's lock as the portable loader sees it. On Windows it is a
// critical section (store/CriticalSection.h); tests supply their own.
#pragma once

namespace stavora {

class IStoreLock {
 public:
  virtual void Enter() = 0;
  virtual void Leave() = 0;

 protected:
  ~IStoreLock() = default;
};

// Holds a IStoreLock for one scope, whichever way the scope is left.
class StoreLockGuard {
 public:
  explicit StoreLockGuard(IStoreLock& lock) : m_lock(lock) { m_lock.Enter(); }
  ~StoreLockGuard() { m_lock.Leave(); }
  StoreLockGuard(const StoreLockGuard&) = delete;
  StoreLockGuard& operator=(const StoreLockGuard&) = delete;

 private:
  IStoreLock& m_lock;
};

}  // namespace stavora
