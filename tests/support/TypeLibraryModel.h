// The platform's type-library registration, modelled over the in-memory
// registry for a caller of one bitness: what RegisterTypeLib(ForUser) writes
// and UnRegisterTypeLib(ForUser) removes, and where: the per-machine calls
// through HKEY_CLASSES_ROOT, merged or mapped as the registry shows it.
#pragma once

#include "registrar/ServerRegistration.h"
#include "tests/support/MemoryRegistry.h"

namespace stavora {

class TypeLibraryModel final : public ITypeLibraryCalls {
 public:
  // `path` is the file the library is registered from (the caller's DLL).
  TypeLibraryModel(MemoryRegistry& registry, MemoryRegistry::Caller caller, TypeLibraryFacts facts, WString path);

  std::int32_t Register(bool perUser) override;
  std::int32_t Unregister(bool perUser) override;
  std::int32_t ReadFacts(TypeLibraryFacts* facts) override;

  // TYPE_E_REGISTRYACCESS: what the unregistration of a library that is not
  // registered gives.
  static constexpr std::int32_t kNotRegistered = static_cast<std::int32_t>(0x8002801Cu);

 private:
  MemoryRegistry& m_registry;
  MemoryRegistry::Caller m_caller;
  TypeLibraryFacts m_facts;
  std::int32_t OpenClasses(IRegistry& registry, bool perUser, bool create, RegKey* classes);

  WString m_path;
};

// The facts of Stavora's type library as its description states them.
TypeLibraryFacts StavoraTypeLibraryFacts();

}  // namespace stavora
