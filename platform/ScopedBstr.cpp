// Making BSTRs lives here, out of line, so that every answer a client
// receives is allocated by one path that checks its length.
#include "platform/ScopedBstr.h"

#include <limits>

#include "platform/WideText.h"

namespace stavora {

std::size_t ScopedBstr::Length() const noexcept { return SysStringLen(Get()); }

WString ScopedBstr::Text() const {
  if (!IsValid()) return WString();
  return AsText(Get(), SysStringLen(Get()));
}

}  // namespace stavora
