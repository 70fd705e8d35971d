// Writing the entries of a registered type library through any registry.
#include "registrar/TypeLibraryEntries.h"

#include "platform/NumberText.h"
#include "registrar/HeldKey.h"

namespace stavora {
namespace {

std::int32_t SetString(IRegistry& registry, RegKey key, const char16_t* name, const WString& text) {
  return registry.SetValue(key, name, regtype::kString, text.c_str(),
                           static_cast<std::uint32_t>((text.size() + 1) * sizeof(char16_t)));
}

// Creates `path` under `parent` and sets its default value to `text`.
std::int32_t CreateWithDefault(IRegistry& registry, RegKey parent, const WString& path, const WString& text) {
  HeldKey key(registry);
  if (std::int32_t error = registry.CreateKey(parent, path.c_str(), regaccess::kRead | regaccess::kWrite,
                                              key.Receive())) {
    return error;
  }
  return SetString(registry, key.Get(), nullptr, text);
}

}  // namespace

WString TypeLibraryVersionKey(const TypeLibraryFacts& facts) {
  return u"TypeLib\\" + facts.libId + u"\\" + TypeLibraryVersionText(facts);
}

WString TypeLibraryFileKey(const TypeLibraryFacts& facts, const char16_t* platform) {
  return TypeLibraryVersionKey(facts) + u"\\" + HexText(facts.lcid) + u"\\" + WString(platform);
}

WString TypeLibraryVersionText(const TypeLibraryFacts& facts) {
  return HexText(facts.majorVersion) + u"." + HexText(facts.minorVersion);
}

WString HelpDirectoryOfPath(const WString& path) {
  const std::size_t cut = path.find_last_of(u'\\');
  return cut == WString::npos ? path : path.substr(0, cut);
}

std::int32_t WriteTypeLibraryEntries(IRegistry& registry, RegKey classesRoot, const TypeLibraryFacts& facts,
                                     const char16_t* platform, const WString& path,
                                     const WString& helpDirectory) {
  HeldKey version(registry);
  if (std::int32_t error = registry.CreateKey(classesRoot, TypeLibraryVersionKey(facts).c_str(),
                                              regaccess::kRead | regaccess::kWrite, version.Receive())) {
    return error;
  }
  if (std::int32_t error = SetString(registry, version.Get(), nullptr, facts.name)) return error;
  if (std::int32_t error =
          CreateWithDefault(registry, version.Get(), HexText(facts.lcid) + u"\\" + WString(platform), path)) {
    return error;
  }
  if (std::int32_t error = CreateWithDefault(registry, version.Get(), u"FLAGS", DecimalText(facts.flags))) {
    return error;
  }
  // A help folder recorded by an earlier registration stays as it is.
  HeldKey existing(registry);
  if (registry.OpenKey(version.Get(), u"HELPDIR", regaccess::kRead, existing.Receive()) == regerror::kSuccess) {
    return regerror::kSuccess;
  }
  return CreateWithDefault(registry, version.Get(), u"HELPDIR", helpDirectory);
}

std::int32_t WriteInterfaceEntries(IRegistry& registry, RegKey classesRoot, const TypeLibraryFacts& facts) {
  for (const TypeLibraryInterface& entry : facts.interfaces) {
    HeldKey key(registry);
    if (std::int32_t error = registry.CreateKey(classesRoot, (u"Interface\\" + entry.iid).c_str(),
                                                regaccess::kRead | regaccess::kWrite, key.Receive())) {
      return error;
    }
    if (std::int32_t error = SetString(registry, key.Get(), nullptr, entry.name)) return error;
    if (std::int32_t error = CreateWithDefault(registry, key.Get(), u"ProxyStubClsid", entry.proxyStub)) {
      return error;
    }
    if (std::int32_t error = CreateWithDefault(registry, key.Get(), u"ProxyStubClsid32", entry.proxyStub)) {
      return error;
    }
    HeldKey typeLib(registry);
    if (std::int32_t error = registry.CreateKey(key.Get(), u"TypeLib", regaccess::kRead | regaccess::kWrite,
                                                typeLib.Receive())) {
      return error;
    }
    if (std::int32_t error = SetString(registry, typeLib.Get(), nullptr, facts.libId)) return error;
    if (std::int32_t error = SetString(registry, typeLib.Get(), u"Version", TypeLibraryVersionText(facts))) {
      return error;
    }
  }
  return regerror::kSuccess;
}

}  // namespace stavora
