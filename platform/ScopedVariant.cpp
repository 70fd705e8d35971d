// ScopedVariant's clearing and setting members.
#include "platform/ScopedVariant.h"

namespace stavora {

void ScopedVariant::Reset() noexcept {
  // VariantClear fails only for a VARIANT of an invalid type or one whose
  // array is locked; in both cases nothing more can be freed. Either way the
  // slot is made VT_EMPTY so that it is never cleared twice.
  VariantClear(&m_variant);
  VariantInit(&m_variant);
}

void ScopedVariant::SetBstr(BSTR owned) noexcept {
  Reset();
  m_variant.vt = VT_BSTR;
  m_variant.bstrVal = owned;
}

}  // namespace stavora
