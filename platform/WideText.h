// The one place where UTF-16 text changes type between the core (char16_t,
// WString) and the platform's wide strings (wchar_t, OLECHAR, BSTR). Win32
// adapters only: the core never sees wchar_t.
#pragma once

#include <cstddef>

#include "platform/WString.h"

namespace stavora {

// On Windows both are the same UTF-16 code units, so only the type changes.
template <class To, class From>
To* SameUnits(From* text) noexcept {
  static_assert(sizeof(To) == sizeof(From) && sizeof(From) == 2, "UTF-16 units on both sides");
  return reinterpret_cast<To*>(text);
}

inline const wchar_t* AsWide(const char16_t* text) noexcept { return SameUnits<const wchar_t>(text); }
inline wchar_t* AsWide(char16_t* text) noexcept { return SameUnits<wchar_t>(text); }
inline const wchar_t* AsWide(const WString& text) noexcept { return AsWide(text.c_str()); }

inline const char16_t* AsText(const wchar_t* text) noexcept { return SameUnits<const char16_t>(text); }
inline char16_t* AsText(wchar_t* text) noexcept { return SameUnits<char16_t>(text); }
inline WString AsText(const wchar_t* text, std::size_t length) { return WString(AsText(text), length); }

}  // namespace stavora
