// ScopedBstr: the one owner of a BSTR, freed with SysFreeString; on top of
// the ScopedResource members it makes a BSTR from text and reads one back.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstddef>

#include "platform/ScopedResource.h"
#include "platform/WString.h"

namespace stavora {

struct BstrTraits : NullEmptyTraits<BSTR> {
  static void Free(BSTR text) noexcept { SysFreeString(text); }
};

class ScopedBstr : public ScopedResource<BstrTraits> {
 public:
  using ScopedResource::ScopedResource;

  // Length in code units (SysStringLen; 0 for null).
  std::size_t Length() const noexcept;

  // The text as UTF-16, all SysStringLen units (empty for null).
  WString Text() const;
};

}  // namespace stavora
