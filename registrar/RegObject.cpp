// The variable table of a registration run.
#include "registrar/RegObject.h"

#include <new>
#include <stdexcept>

#include "registrar/RegistrarResults.h"

namespace stavora {

CRegObject::CRegObject(const ITextServices& text) : m_text(text) {}

CRegObject::~CRegObject() = default;

std::int32_t CRegObject::QueryInterface(const void*, void**) { return regresult::kNotImpl; }

std::uint32_t CRegObject::AddRef() { return 1; }

std::uint32_t CRegObject::Release() { return 0; }

std::int32_t CRegObject::DefineVariable(const char16_t* name, const char16_t* value) {
  if (name == nullptr || value == nullptr) return regresult::kInvalidArg;
  try {
    WString nameCopy(name);
    WString valueCopy(value);
    m_variables.m_names.reserve(m_variables.m_names.size() + 1);
    m_variables.m_values.reserve(m_variables.m_values.size() + 1);
    // Both arrays have room now: neither push can throw, so the pair is added
    // whole or not at all.
    m_variables.m_names.push_back(std::move(nameCopy));
    m_variables.m_values.push_back(std::move(valueCopy));
  } catch (const std::bad_alloc&) {
    return regresult::kOutOfMemory;
  } catch (const std::length_error&) {
    return regresult::kOutOfMemory;
  }
  ++m_variables.m_count;
  return regresult::kOk;
}

std::int32_t CRegObject::ClearVariables() {
  std::vector<WString>().swap(m_variables.m_names);
  std::vector<WString>().swap(m_variables.m_values);
  m_variables.m_count = 0;
  return regresult::kOk;
}

const char16_t* CRegObject::LookupVariable(const char16_t* name) const {
  if (name == nullptr) return nullptr;
  for (std::int32_t i = 0; i < m_variables.m_count; ++i) {
    if (m_text.CompareNoCase(m_variables.m_names[i].c_str(), name) == 0) {
      return m_variables.m_values[i].c_str();
    }
  }
  return nullptr;
}

}  // namespace stavora
