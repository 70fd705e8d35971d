// Making and freeing BSTRs lives here, out of line, so that every answer a
// client receives is allocated by one path that checks its length.
#include "platform/ScopedBstr.h"

#include <limits>

namespace stavora {

ScopedBstr ScopedBstr::FromText(WStringView text) {
  if (text.size() > std::numeric_limits<UINT>::max() / sizeof(OLECHAR)) return ScopedBstr();
  return ScopedBstr(SysAllocStringLen(reinterpret_cast<const OLECHAR*>(text.data()),
                                      static_cast<UINT>(text.size())));
}

void ScopedBstr::Reset(BSTR owned) noexcept {
  if (m_bstr != nullptr && m_bstr != owned) SysFreeString(m_bstr);
  m_bstr = owned;
}

std::size_t ScopedBstr::Length() const noexcept { return SysStringLen(m_bstr); }

WString ScopedBstr::Text() const {
  if (m_bstr == nullptr) return WString();
  return WString(reinterpret_cast<const char16_t*>(m_bstr), SysStringLen(m_bstr));
}

}  // namespace stavora
