// ScopedResource: the one owner template behind every handle owner of the
// library, in the manner of std::unique_ptr; a traits class says how one kind
// is freed and which values hold nothing. Portable, so it is tested natively.
#pragma once

#include <cassert>

namespace stavora {

// Traits of a kind whose empty value is null; a kind adds only its Free.
template <class Pointer>
struct NullEmptyTraits {
  using Value = Pointer;
  static constexpr Value Empty() noexcept { return nullptr; }
  static bool Holds(Value value) noexcept { return value != nullptr; }
};

// Holds at most one `Traits::Value` and frees it with `Traits::Free` on every
// way out. Move-only; ownership enters by the constructor, Reset or Receive
// and leaves only by Release.
template <class Traits>
class ScopedResource {
 public:
  using Value = typename Traits::Value;

  ScopedResource() noexcept = default;
  explicit ScopedResource(Value owned) noexcept : m_value(owned) {}
  ~ScopedResource() { Reset(); }

  ScopedResource(ScopedResource&& other) noexcept : m_value(other.Release()) {}
  // A self-move keeps the value: Release empties, Reset takes it back.
  ScopedResource& operator=(ScopedResource&& other) noexcept {
    Reset(other.Release());
    return *this;
  }
  ScopedResource(const ScopedResource&) = delete;
  ScopedResource& operator=(const ScopedResource&) = delete;

  // Borrowed: still owned here.
  Value Get() const noexcept { return m_value; }
  bool IsValid() const noexcept { return Traits::Holds(m_value); }
  explicit operator bool() const noexcept { return IsValid(); }

  // Hands the value to the caller, who must free it; the owner is empty.
  Value Release() noexcept {
    const Value out = m_value;
    m_value = Traits::Empty();
    return out;
  }

  // Frees what is held, unless it is `owned` itself, and takes `owned`.
  void Reset(Value owned = Traits::Empty()) noexcept {
    const Value old = m_value;
    m_value = owned;
    if (Traits::Holds(old) && old != owned) Traits::Free(old);
  }

  // For an out parameter: the slot that the callee fills with a value this
  // owner then frees. Only for an empty owner, since a callee may overwrite
  // the slot without looking at it; a release build still frees what is held
  // first, so a slip costs nothing but the debug build's stop.
  Value* Receive() noexcept {
    assert(!IsValid() && "Receive() on an owner that holds a value");
    Reset();
    return &m_value;
  }

 private:
  Value m_value = Traits::Empty();
};

}  // namespace stavora
