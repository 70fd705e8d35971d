// ScopedBstr: the one owner of a BSTR. Whatever it holds it frees with
// SysFreeString; ownership enters by the constructor, Reset or Receive and
// leaves only by Release.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>

#include "store/NameRule.h"

namespace stavora {

class ScopedBstr {
 public:
  ScopedBstr() noexcept = default;
  // Takes ownership of `owned` (null allowed).
  explicit ScopedBstr(BSTR owned) noexcept : m_bstr(owned) {}
  ~ScopedBstr() { Reset(); }

  ScopedBstr(ScopedBstr&& other) noexcept : m_bstr(other.Release()) {}
  ScopedBstr& operator=(ScopedBstr&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedBstr(const ScopedBstr&) = delete;
  ScopedBstr& operator=(const ScopedBstr&) = delete;

  // A new BSTR holding exactly `text` (zeros included); the owner is empty
  // (null) when memory runs out.
  static ScopedBstr FromText(WStringView text);

  // Borrowed: still owned here.
  BSTR Get() const noexcept { return m_bstr; }
  explicit operator bool() const noexcept { return m_bstr != nullptr; }

  // Frees what is held and takes ownership of `owned`.
  void Reset(BSTR owned = nullptr) noexcept;

  // Hands the string to the caller, who must free it; the owner is empty.
  BSTR Release() noexcept {
    BSTR out = m_bstr;
    m_bstr = nullptr;
    return out;
  }

  // For an out parameter: frees what is held and returns the slot, which
  // the callee fills with a string this owner then frees.
  BSTR* Receive() noexcept {
    Reset();
    return &m_bstr;
  }

  // Length in code units (SysStringLen; 0 for null).
  std::size_t Length() const noexcept;

  // The text as UTF-16, all SysStringLen units (empty for null).
  WString Text() const;

 private:
  BSTR m_bstr = nullptr;
};

}  // namespace stavora
