// What a registration run needs of the module whose scripts it runs: its
// common variables and its instance handle.
#pragma once

#include <cstdint>

#include "registrar/RegistrarBase.h"

namespace stavora {

class IRegistrationModule {
 public:
  // Defines the module's own variables; a failure ends the run with it.
  virtual std::int32_t AddCommonVariables(IRegistrarBase* registrar) = 0;
  // The module's instance handle (an HINSTANCE); null for the main program.
  virtual void* ModuleInstance() const = 0;

 protected:
  ~IRegistrationModule() = default;
};

// Adapts any module object with AddCommonVariables(IRegistrarBase*) and
// ModuleHandle() to the interface above, without the module deriving from it.
template <typename Module>
class RegistrationModuleAdapter final : public IRegistrationModule {
 public:
  explicit RegistrationModuleAdapter(Module& module) : m_module(module) {}
  std::int32_t AddCommonVariables(IRegistrarBase* registrar) override {
    return static_cast<std::int32_t>(m_module.AddCommonVariables(registrar));
  }
  void* ModuleInstance() const override { return static_cast<void*>(m_module.ModuleHandle()); }

 private:
  Module& m_module;
};

}  // namespace stavora
