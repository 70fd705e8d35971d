// A BSTR holding exactly a test's text, zeros included: the form in which a
// client hands names to the lookup methods.
#pragma once

#include <windows.h>

#include <limits>

#include "platform/ScopedBstr.h"
#include "platform/WideText.h"

namespace stavora {

// Empty (null) when memory runs out.
inline ScopedBstr BstrOf(WStringView text) {
  if (text.size() > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) return ScopedBstr();
  return ScopedBstr(SysAllocStringLen(AsWide(text.data()), static_cast<UINT>(text.size())));
}

}  // namespace stavora
