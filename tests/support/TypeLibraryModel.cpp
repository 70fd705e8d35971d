// The type-library calls over the registry model.
#include "tests/support/TypeLibraryModel.h"

#include <utility>

#include "registrar/RegistrarResults.h"

namespace stavora {
namespace {

const char16_t* PlatformOf(MemoryRegistry::Caller caller) {
  return caller == MemoryRegistry::Caller::k64On64 ? u"win64" : u"win32";
}

// Deletes `path` below `parent` with everything under it; absent is fine.
std::int32_t DeleteTree(IRegistry& registry, RegKey parent, const WString& path) {
  RegKey key = kNoKey;
  std::int32_t error = registry.OpenKey(parent, path.c_str(), regaccess::kRead | regaccess::kWrite, &key);
  if (error == regerror::kFileNotFound) return regerror::kSuccess;
  if (error != regerror::kSuccess) return error;
  for (;;) {
    char16_t name[256];
    std::uint32_t length = 256;
    if (registry.EnumKey(key, 0, name, &length) != regerror::kSuccess) break;
    error = DeleteTree(registry, key, name);
    if (error != regerror::kSuccess) break;
  }
  registry.CloseKey(key);
  if (error != regerror::kSuccess) return error;
  return registry.DeleteKey(parent, path.c_str());
}

}  // namespace

TypeLibraryModel::TypeLibraryModel(MemoryRegistry& registry, MemoryRegistry::Caller caller, TypeLibraryFacts facts,
                                   WString path)
    : m_registry(registry), m_caller(caller), m_facts(std::move(facts)), m_path(std::move(path)) {}

// The classes key the calls write to and delete from: RegisterTypeLib and
// UnRegisterTypeLib work through HKEY_CLASSES_ROOT ("RegisterTypeLib":
// "adds information about a type library to the system registry"; the
// entries are documented as HKEY_CLASSES_ROOT\TypeLib and
// HKEY_CLASSES_ROOT\Interface keys), so they land where a write through the
// merged root lands, or where the process mapped that root. The ForUser
// forms write the user's classes ("for use by the calling user"). All of it
// through the caller's registry: TypeLib is shared, the Interface keys land
// in the caller's view.
std::int32_t TypeLibraryModel::OpenClasses(IRegistry& registry, bool perUser, bool create, RegKey* classes) {
  if (!perUser) {
    *classes = regkey::kClassesRoot;
    return regerror::kSuccess;
  }
  const std::uint32_t access = regaccess::kRead | regaccess::kWrite;
  return create ? registry.CreateKey(regkey::kCurrentUser, u"Software\\Classes", access, classes)
                : registry.OpenKey(regkey::kCurrentUser, u"Software\\Classes", access, classes);
}

std::int32_t TypeLibraryModel::Register(bool perUser) {
  IRegistry& registry = m_registry.As(m_caller);
  RegKey classes = kNoKey;
  std::int32_t error = OpenClasses(registry, perUser, true, &classes);
  if (error == regerror::kSuccess) {
    error = WriteTypeLibraryEntries(registry, classes, m_facts, PlatformOf(m_caller), m_path,
                                    HelpDirectoryOfPath(m_path));
    if (error == regerror::kSuccess) error = WriteInterfaceEntries(registry, classes, m_facts);
    if (perUser) registry.CloseKey(classes);
  }
  return regresult::FromSystemError(error);
}

// The unregistration removes the library's entry for the caller's platform;
// not registered, it fails. How much of the version key goes with it the
// documentation leaves open, so the model takes it at its harshest: the
// version key goes whole, whichever platforms' files it held, with the
// interfaces' keys in the caller's view.
std::int32_t TypeLibraryModel::Unregister(bool perUser) {
  IRegistry& registry = m_registry.As(m_caller);
  RegKey classes = kNoKey;
  std::int32_t error = OpenClasses(registry, perUser, false, &classes);
  if (error != regerror::kSuccess) return kNotRegistered;
  RegKey file = kNoKey;
  if (registry.OpenKey(classes, TypeLibraryFileKey(m_facts, PlatformOf(m_caller)).c_str(), regaccess::kRead, &file) !=
      regerror::kSuccess) {
    if (perUser) registry.CloseKey(classes);
    return kNotRegistered;
  }
  registry.CloseKey(file);
  error = DeleteTree(registry, classes, TypeLibraryVersionKey(m_facts));
  if (error == regerror::kSuccess) {
    // The library's own key goes when no version is left in it.
    RegKey library = kNoKey;
    const WString libraryKey = u"TypeLib\\" + m_facts.libId;
    if (registry.OpenKey(classes, libraryKey.c_str(), regaccess::kRead, &library) == regerror::kSuccess) {
      std::uint32_t count = 1;
      registry.QuerySubkeyCount(library, &count);
      registry.CloseKey(library);
      if (count == 0) error = registry.DeleteKey(classes, libraryKey.c_str());
    }
  }
  for (const TypeLibraryInterface& entry : m_facts.interfaces) {
    if (error == regerror::kSuccess) error = DeleteTree(registry, classes, u"Interface\\" + entry.iid);
  }
  if (perUser) registry.CloseKey(classes);
  return regresult::FromSystemError(error);
}

std::int32_t TypeLibraryModel::ReadFacts(TypeLibraryFacts* facts) {
  *facts = m_facts;
  return regresult::kOk;
}

TypeLibraryFacts StavoraTypeLibraryFacts() {
  TypeLibraryFacts facts;
  facts.libId = u"{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}";
  facts.name = u"Stavora 1.0 Type Library";
  facts.flags = 8;  // FLAGS as the platform records it for this library
  facts.interfaces.push_back(
      TypeLibraryInterface{u"{6F2A9D14-C83B-4E57-A1D6-93E0B74C25F8}", u"IStavoraLookup", kAutomationProxyStub});
  return facts;
}

}  // namespace stavora
