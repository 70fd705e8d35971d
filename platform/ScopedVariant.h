// ScopedVariant: the one owner of a VARIANT and of what it holds (a BSTR, an
// array, an interface reference). It clears it with VariantClear; ownership
// leaves only by Release, which hands the whole VARIANT over.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cassert>

namespace stavora {

class ScopedVariant {
 public:
  ScopedVariant() noexcept { VariantInit(&m_variant); }
  // Takes ownership of `owned` and of everything it holds.
  explicit ScopedVariant(const VARIANT& owned) noexcept : m_variant(owned) {}
  ~ScopedVariant() { Reset(); }

  ScopedVariant(ScopedVariant&& other) noexcept : m_variant(other.Release()) {}
  ScopedVariant& operator=(ScopedVariant&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  ScopedVariant(const ScopedVariant&) = delete;
  ScopedVariant& operator=(const ScopedVariant&) = delete;

  // Borrowed: still owned here.
  const VARIANT& Get() const noexcept { return m_variant; }
  // For calls that only read the VARIANT but take a non-const pointer
  // (SafeArrayPutElement copies it); ownership stays here.
  VARIANT* Ptr() noexcept { return &m_variant; }
  VARTYPE Type() const noexcept { return m_variant.vt; }

  // Clears what is held (VT_EMPTY afterwards).
  void Reset() noexcept;
  // Clears what is held and takes ownership of `owned`.
  void Reset(const VARIANT& owned) noexcept {
    Reset();
    m_variant = owned;
  }

  // Clears what is held, then holds `owned` as VT_BSTR.
  void SetBstr(BSTR owned) noexcept;

  // Hands the VARIANT with everything it holds to the caller; VT_EMPTY here.
  VARIANT Release() noexcept {
    VARIANT out = m_variant;
    VariantInit(&m_variant);
    return out;
  }

  // For an out parameter, as ScopedResource::Receive: only for an empty
  // (VT_EMPTY) owner; a release build still clears what is held first.
  VARIANT* Receive() noexcept {
    assert(m_variant.vt == VT_EMPTY && "Receive() on a VARIANT that holds a value");
    Reset();
    return &m_variant;
  }

 private:
  VARIANT m_variant;
};

}  // namespace stavora
