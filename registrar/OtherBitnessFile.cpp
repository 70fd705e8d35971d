// The other bitness's view of a registered file's path.
#include "registrar/OtherBitnessFile.h"

namespace stavora {
namespace {

// Paths and variable names compared folding a to z only, as the name rule
// does; the registrar is built without the store (the fuzz target).
char16_t Fold(char16_t unit) { return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - 32) : unit; }

bool SameText(WStringView a, WStringView b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (Fold(a[i]) != Fold(b[i])) return false;
  }
  return true;
}

bool StartsWith(const WString& text, WStringView prefix) {
  return text.size() >= prefix.size() && SameText(WStringView(text).substr(0, prefix.size()), prefix);
}

// The variables whose value differs between the bitnesses, and the variable
// that holds each bitness's value in every process ("WOW64 Implementation
// Details": ProgramW6432 and CommonProgramW6432 name the 64-bit folders).
struct FolderVariable {
  const char16_t* name;
  const char16_t* for64;
  const char16_t* for32;
};
const FolderVariable kFolderVariables[] = {
    {u"ProgramFiles", u"ProgramW6432", u"ProgramFiles(x86)"},
    {u"CommonProgramFiles", u"CommonProgramW6432", u"CommonProgramFiles(x86)"},
};

// Subfolders of System32 that a 32-bit process reaches as they are.
const char16_t* const kNotRedirected[] = {u"catroot", u"catroot2", u"driverstore", u"drivers\\etc", u"logfiles",
                                          u"spool"};

// %NAME% replaced by the variable's value as the other bitness has it, as
// ExpandEnvironmentStrings does; a name that is not set stays as written.
WString Expand(const WString& text, bool other64, const EnvironmentLookup& environment) {
  WString out;
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t open = text.find(u'%', at);
    if (open == WString::npos) break;
    const std::size_t close = text.find(u'%', open + 1);
    if (close == WString::npos) break;
    out.append(text, at, open - at);
    WString name = text.substr(open + 1, close - open - 1);
    for (const FolderVariable& variable : kFolderVariables) {
      if (SameText(name, variable.name)) name = other64 ? variable.for64 : variable.for32;
    }
    WString value;
    if (!name.empty() && environment(name, &value)) {
      out += value;
      at = close + 1;
    } else {
      out.append(text, open, close - open);
      at = close;
    }
  }
  out.append(text, at, WString::npos);
  return out;
}

}  // namespace

OtherBitnessFile LocateOtherBitnessFile(const WString& named, bool expand, RegistryView ownView,
                                        const EnvironmentLookup& environment) {
  const bool other64 = OtherView(ownView) == RegistryView::k64;
  OtherBitnessFile file;
  file.path = expand ? Expand(named, other64, environment) : named;
  if (other64) {
    // Only a 32-bit process is redirected; looking for a 64-bit file it must
    // see the folders as they are.
    file.withoutRedirection = ownView == RegistryView::k32;
    return file;
  }
  WString root;
  if (!environment(u"SystemRoot", &root) || root.empty()) return file;
  if (root.back() == u'\\') root.pop_back();
  const WString system32 = root + u"\\System32\\";
  if (!StartsWith(file.path, system32)) return file;
  const WString below = file.path.substr(system32.size());
  for (const char16_t* exempt : kNotRedirected) {
    const WString folder = WString(exempt) + u"\\";
    if (StartsWith(below, folder)) return file;
  }
  file.path = root + u"\\SysWOW64\\" + below;
  return file;
}

}  // namespace stavora
