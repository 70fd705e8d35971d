// ScopedSafeArray: the one owner of a SAFEARRAY. Whatever it holds it frees
// with SafeArrayDestroy (elements included); ownership leaves only by Release.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace stavora {

class ScopedSafeArray {
 public:
  ScopedSafeArray() noexcept = default;
  // Takes ownership of `owned` (null allowed).
  explicit ScopedSafeArray(SAFEARRAY* owned) noexcept : m_array(owned) {}
  ~ScopedSafeArray() { Reset(); }

  ScopedSafeArray(ScopedSafeArray&& other) noexcept : m_array(other.Release()) {}
  ScopedSafeArray& operator=(ScopedSafeArray&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedSafeArray(const ScopedSafeArray&) = delete;
  ScopedSafeArray& operator=(const ScopedSafeArray&) = delete;

  // Borrowed: still owned here.
  SAFEARRAY* Get() const noexcept { return m_array; }
  explicit operator bool() const noexcept { return m_array != nullptr; }

  // Destroys what is held and takes ownership of `owned`.
  void Reset(SAFEARRAY* owned = nullptr) noexcept {
    // SafeArrayDestroy fails only for a locked array, which nothing here
    // locks beyond a scope; there is nothing better to do with its result.
    if (m_array != nullptr && m_array != owned) SafeArrayDestroy(m_array);
    m_array = owned;
  }

  // Hands the array to the caller, who must destroy it; the owner is empty.
  SAFEARRAY* Release() noexcept {
    SAFEARRAY* out = m_array;
    m_array = nullptr;
    return out;
  }

  // For an out parameter: destroys what is held and returns the slot.
  SAFEARRAY** Receive() noexcept {
    Reset();
    return &m_array;
  }

 private:
  SAFEARRAY* m_array = nullptr;
};

}  // namespace stavora
