// The platform's type-library calls for the module's own library, behind the
// port that the registration sequence uses.
#include "server/Registration.h"

namespace stavora {

std::int32_t OwnTypeLibraryCalls::Register(bool perUser) { return RegisterOwnTypeLibrary(m_typeLibModule, perUser); }

std::int32_t OwnTypeLibraryCalls::Unregister(bool perUser) {
  return UnregisterOwnTypeLibrary(m_typeLibModule, perUser);
}

std::int32_t OwnTypeLibraryCalls::ReadFacts(TypeLibraryFacts* facts) {
  OwnTypeLibrary loaded;
  const HRESULT hr = LoadOwnTypeLibrary(m_typeLibModule, &loaded);
  if (FAILED(hr)) return hr;
  return ReadTypeLibraryFacts(loaded.library.Get(), facts);
}

}  // namespace stavora
