// CRegObject: the variable table of one registration script run. Pairs keep
// their insertion order and a lookup finds the earliest definition of a name.
#pragma once

#include <cstdint>
#include <vector>

#include "registrar/RegistrarBase.h"
#include "registrar/TextServices.h"
#include "store/NameRule.h"

namespace stavora {

class CRegObject : public IRegistrarBase {
 public:
  // Names are compared with `text`'s case-insensitive comparison.
  explicit CRegObject(const ITextServices& text = PlatformTextServices());
  CRegObject(const CRegObject&) = delete;
  CRegObject& operator=(const CRegObject&) = delete;

  // Not reference counted and never handed to COM: QueryInterface answers
  // E_NOTIMPL without touching `out`, AddRef 1, Release 0.
  std::int32_t QueryInterface(const void* iid, void** out) override;
  std::uint32_t AddRef() override;
  std::uint32_t Release() override;
  std::int32_t DefineVariable(const char16_t* name, const char16_t* value) override;
  std::int32_t ClearVariables() override;
  virtual ~CRegObject();

  // The value of the first pair whose name matches, or null.
  const char16_t* LookupVariable(const char16_t* name) const;
  std::int32_t VariableCount() const { return m_variables.m_count; }
  const ITextServices& Text() const { return m_text; }

 private:
  struct VariableTable {
    std::vector<WString> m_names;
    std::vector<WString> m_values;  // parallel to m_names
    std::int32_t m_count = 0;
  };

  VariableTable m_variables;
  const ITextServices& m_text;
};

}  // namespace stavora
