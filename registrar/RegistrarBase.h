// IRegistrarBase: the view through which a registration script's variables are
// defined. The module object adds its common variables through it.
#pragma once

#include <cstdint>

namespace stavora {

// Slot order is fixed: the three IUnknown operations, then DefineVariable and
// ClearVariables. Results are HRESULT values (see registrar/RegistrarResults.h).
// Strings are terminated UTF-16 (on Windows, a wchar_t* can be passed with a
// reinterpret_cast).
class IRegistrarBase {
 public:
  virtual std::int32_t QueryInterface(const void* iid, void** out) = 0;
  virtual std::uint32_t AddRef() = 0;
  virtual std::uint32_t Release() = 0;
  // Appends the pair (name, value); a null name or value gives E_INVALIDARG.
  virtual std::int32_t DefineVariable(const char16_t* name, const char16_t* value) = 0;
  // Forgets every variable.
  virtual std::int32_t ClearVariables() = 0;

 protected:
  // Objects behind this view are owned by whoever created them, never deleted
  // through it.
  ~IRegistrarBase() = default;
};

}  // namespace stavora
