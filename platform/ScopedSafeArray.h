// ScopedSafeArray: the one owner of a SAFEARRAY, destroyed with its elements
// by SafeArrayDestroy; a ScopedResource.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "platform/ScopedResource.h"

namespace stavora {

struct SafeArrayTraits : NullEmptyTraits<SAFEARRAY*> {
  // SafeArrayDestroy fails only for a locked array, which nothing here locks
  // beyond a scope; there is nothing better to do with its result.
  static void Free(SAFEARRAY* array) noexcept { SafeArrayDestroy(array); }
};
using ScopedSafeArray = ScopedResource<SafeArrayTraits>;

}  // namespace stavora
