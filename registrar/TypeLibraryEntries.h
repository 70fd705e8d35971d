// The registry entries that type-library registration writes for one
// library: its version key, one platform's file, FLAGS and HELPDIR, and an
// Interface key for each interface whose calls the automation marshaler carries.
#pragma once

#include <cstdint>
#include <vector>

#include "registrar/RegistryAccess.h"
#include "store/NameRule.h"

namespace stavora {

// The marshalers named by the Interface keys: the one of dual and
// automation interfaces, and the one of pure dispatch interfaces.
constexpr char16_t kAutomationProxyStub[] = u"{00020424-0000-0000-C000-000000000046}";
constexpr char16_t kDispatchProxyStub[] = u"{00020420-0000-0000-C000-000000000046}";

struct TypeLibraryInterface {
  WString iid;   // "{...}"
  WString name;  // as the type library names it
  WString proxyStub = kAutomationProxyStub;
};

// What the entries are made of; read from a loaded type library on Windows,
// from the library's description elsewhere.
struct TypeLibraryFacts {
  WString libId;  // "{...}"
  std::uint16_t majorVersion = 1;
  std::uint16_t minorVersion = 0;
  std::uint32_t lcid = 0;
  WString name;  // the library's documentation string
  std::uint16_t flags = 0;
  std::vector<TypeLibraryInterface> interfaces;
};

// "TypeLib\{LIBID}\<major>.<minor>", versions in hexadecimal.
WString TypeLibraryVersionKey(const TypeLibraryFacts& facts);
// "TypeLib\{LIBID}\<major>.<minor>\<lcid>\<platform>": the key whose
// default value is the registered file (`platform` "win32" or "win64").
WString TypeLibraryFileKey(const TypeLibraryFacts& facts, const char16_t* platform);
// "1.0": the version as the Interface keys record it.
WString TypeLibraryVersionText(const TypeLibraryFacts& facts);
// The folder of `path`, cut at its last backslash (without it): what the
// platform records as HELPDIR when a library without a help file is
// registered for the first time.
WString HelpDirectoryOfPath(const WString& path);

// Under `classesRoot`: the version key with the library's name, the
// subkey "<lcid>\<platform>" holding `path`, FLAGS, and HELPDIR set to
// `helpDirectory` unless HELPDIR already has a value. `platform` is "win32"
// or "win64". A system error code.
std::int32_t WriteTypeLibraryEntries(IRegistry& registry, RegKey classesRoot, const TypeLibraryFacts& facts,
                                     const char16_t* platform, const WString& path,
                                     const WString& helpDirectory);

// Under `classesRoot`: "Interface\{IID}" with the interface's name,
// ProxyStubClsid and ProxyStubClsid32 naming the automation marshaler, and
// TypeLib naming the library with its version. A system error code.
std::int32_t WriteInterfaceEntries(IRegistry& registry, RegKey classesRoot, const TypeLibraryFacts& facts);

}  // namespace stavora
