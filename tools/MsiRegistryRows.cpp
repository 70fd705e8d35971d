// msi_registry_rows: the registry rows of the Windows Installer package,
// made from the registration scripts themselves. The scripts run through the
// registrar over an in-memory registry with "Module" naming the installed
// file (an installer formatted string such as
// "[ProgramFiles64Folder]Kestrane\Stavora\Stavora.dll"), then the entries
// that type-library registration writes are added from the interface
// description. Prints one WiX RegistryValue element per value.
//
//   msi_registry_rows --idl Stavora.idl --module PATH --platform win32|win64
//                     [--variable NAME=VALUE]... [--part own|shared]
//                     [--help-directory FOLDER] SCRIPT.rgs...
//
// Windows keeps one copy of some of these keys for both bitnesses (ProgIDs,
// AppID, the type library's version key) and one per registry view of the
// others (CLSID, Interface, the type library's win32 or win64 key). Windows
// Installer wants each resource in one component, so --part own prints the
// entries of this bitness alone and --part shared the common ones; without
// --part, all of them. --help-directory gives the HELPDIR value (the folder
// type-library registration records); without it the row is left out.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/MemoryRegistry.h"
#include "registrar/RegObject.h"
#include "registrar/RegScriptParser.h"
#include "registrar/RegistrarResults.h"
#include "registrar/TypeLibraryEntries.h"

namespace stavora {
namespace {

WString Widen(const std::string& text) { return WString(text.begin(), text.end()); }

std::string Narrow(const WString& text, bool* lossy = nullptr) {
  std::string out;
  for (char16_t unit : text) {
    if (unit >= 0x80 && lossy != nullptr) *lossy = true;
    out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  }
  return out;
}

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

bool NeverPerUser() { return false; }

// ---- The interface description: attribute blocks and what follows them ----

struct Declaration {
  std::string kind;  // "library", "interface", "dispinterface", ...
  std::string name;
  std::vector<std::pair<std::string, std::string>> attributes;  // name, argument text
};

std::string Trim(const std::string& text) {
  const std::size_t first = text.find_first_not_of(" \t\r\n");
  if (first == std::string::npos) return std::string();
  const std::size_t last = text.find_last_not_of(" \t\r\n");
  return text.substr(first, last - first + 1);
}

// Removes comments, keeping string literals intact.
std::string WithoutComments(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '"') {
      const std::size_t end = text.find('"', i + 1);
      const std::size_t stop = end == std::string::npos ? text.size() : end + 1;
      out += text.substr(i, stop - i);
      i = stop - 1;
    } else if (text.compare(i, 2, "//") == 0) {
      i = text.find('\n', i);
      if (i == std::string::npos) break;
      out.push_back('\n');
    } else if (text.compare(i, 2, "/*") == 0) {
      i = text.find("*/", i + 2);
      if (i == std::string::npos) break;
      ++i;
    } else {
      out.push_back(text[i]);
    }
  }
  return out;
}

std::vector<std::pair<std::string, std::string>> SplitAttributes(const std::string& block) {
  std::vector<std::pair<std::string, std::string>> attributes;
  int depth = 0;
  bool quoted = false;
  std::string current;
  auto finish = [&]() {
    const std::string item = Trim(current);
    current.clear();
    if (item.empty()) return;
    const std::size_t open = item.find('(');
    if (open == std::string::npos) {
      attributes.emplace_back(item, std::string());
    } else {
      const std::size_t close = item.rfind(')');
      attributes.emplace_back(Trim(item.substr(0, open)), Trim(item.substr(open + 1, close - open - 1)));
    }
  };
  for (char c : block) {
    if (c == '"') quoted = !quoted;
    if (!quoted && c == '(') ++depth;
    if (!quoted && c == ')') --depth;
    if (!quoted && depth == 0 && c == ',') {
      finish();
    } else {
      current.push_back(c);
    }
  }
  finish();
  return attributes;
}

bool IsNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
}

std::vector<Declaration> ReadDeclarations(const std::string& source) {
  const std::string text = WithoutComments(source);
  std::vector<Declaration> declarations;
  std::size_t i = 0;
  while ((i = text.find('[', i)) != std::string::npos) {
    std::size_t j = i + 1;
    int depth = 1;
    bool quoted = false;
    for (; j < text.size() && depth > 0; ++j) {
      if (text[j] == '"') quoted = !quoted;
      if (quoted) continue;
      if (text[j] == '[') ++depth;
      if (text[j] == ']') --depth;
    }
    Declaration declaration;
    declaration.attributes = SplitAttributes(text.substr(i + 1, j - i - 2));
    std::vector<std::string> words;
    std::size_t k = j;
    while (words.size() < 2 && k < text.size()) {
      while (k < text.size() && !IsNameChar(text[k]) && text[k] != '[' && text[k] != '(' && text[k] != ';') ++k;
      if (k >= text.size() || !IsNameChar(text[k])) break;
      const std::size_t start = k;
      while (k < text.size() && IsNameChar(text[k])) ++k;
      words.push_back(text.substr(start, k - start));
    }
    if (words.size() == 2) {
      declaration.kind = words[0];
      declaration.name = words[1];
      declarations.push_back(declaration);
    }
    i = j;
  }
  return declarations;
}

const std::string* Attribute(const Declaration& declaration, const std::string& name) {
  for (const auto& attribute : declaration.attributes) {
    if (attribute.first == name) return &attribute.second;
  }
  return nullptr;
}

std::string GuidText(const std::string& uuid) {
  std::string out = "{";
  for (char c : Trim(uuid)) out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 32) : c);
  return out + "}";
}

std::string Unquoted(const std::string& text) {
  const std::string trimmed = Trim(text);
  if (trimmed.size() >= 2 && trimmed.front() == '"' && trimmed.back() == '"') {
    return trimmed.substr(1, trimmed.size() - 2);
  }
  return trimmed;
}

// The facts of the type library the description declares; false with a
// message when it declares none or leaves out what registration needs.
bool ReadTypeLibraryFacts(const std::string& source, TypeLibraryFacts* facts, std::string* error) {
  bool haveLibrary = false;
  for (const Declaration& declaration : ReadDeclarations(source)) {
    if (declaration.kind == "library") {
      const std::string* uuid = Attribute(declaration, "uuid");
      if (uuid == nullptr) {
        *error = "the library " + declaration.name + " has no uuid";
        return false;
      }
      haveLibrary = true;
      facts->libId = Widen(GuidText(*uuid));
      if (const std::string* version = Attribute(declaration, "version")) {
        unsigned major = 0, minor = 0;
        if (std::sscanf(version->c_str(), "%u.%u", &major, &minor) < 1) {
          *error = "the library's version is not a number: " + *version;
          return false;
        }
        facts->majorVersion = static_cast<std::uint16_t>(major);
        facts->minorVersion = static_cast<std::uint16_t>(minor);
      }
      if (const std::string* lcid = Attribute(declaration, "lcid")) {
        facts->lcid = static_cast<std::uint32_t>(std::stoul(*lcid, nullptr, 0));
      }
      if (const std::string* help = Attribute(declaration, "helpstring")) facts->name = Widen(Unquoted(*help));
      // FLAGS as Windows' RegisterTypeLib writes it: the library flags the
      // description declares (LIBFLAG_FRESTRICTED, FCONTROL, FHIDDEN), the
      // ones ICreateTypeLib::SetLibFlags takes ("Registering a Type
      // Library"). LIBFLAG_FHASDISKIMAGE is the loader's note that the
      // library came from a file, not a declared flag, and is left out;
      // Wine's RegisterTypeLib writes it ("8" for this library).
      facts->flags = 0;
      if (Attribute(declaration, "restricted")) facts->flags |= 1;
      if (Attribute(declaration, "control")) facts->flags |= 2;
      if (Attribute(declaration, "hidden")) facts->flags |= 4;
    } else if (declaration.kind == "interface" || declaration.kind == "dispinterface") {
      const std::string* uuid = Attribute(declaration, "uuid");
      const bool dispatchOnly = declaration.kind == "dispinterface";
      const bool automation = Attribute(declaration, "dual") || Attribute(declaration, "oleautomation");
      if (uuid == nullptr || !(dispatchOnly || automation)) continue;
      facts->interfaces.push_back(TypeLibraryInterface{Widen(GuidText(*uuid)), Widen(declaration.name),
                                                       dispatchOnly ? kDispatchProxyStub : kAutomationProxyStub});
    }
  }
  if (!haveLibrary) *error = "no library is declared";
  return haveLibrary;
}

// ---- Output ----------------------------------------------------------------

std::string XmlAttribute(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out.push_back(c);
    }
  }
  return out;
}

bool EndsWith(const WString& text, const WString& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

bool StartsWith(const WString& text, const WString& head) { return text.compare(0, head.size(), head) == 0; }

// Whether a key below the classes root exists once per registry view: the
// class and interface trees, and a type library's file key for one platform.
bool IsPerView(const WString& key) {
  if (StartsWith(key, u"CLSID\\") || StartsWith(key, u"Interface\\")) return true;
  if (!StartsWith(key, u"TypeLib\\")) return false;
  return key.find(u"\\win32") != WString::npos || key.find(u"\\win64") != WString::npos;
}

int Usage() {
  std::cerr << "usage: msi_registry_rows --idl FILE --module PATH --platform win32|win64 "
               "[--variable NAME=VALUE]... [--part own|shared] [--help-directory FOLDER] SCRIPT...\n";
  return 2;
}

int Run(int argc, char** argv) {
  std::string idl, module, platform, part, helpDirectory;
  std::vector<std::pair<std::string, std::string>> variables;
  std::vector<std::string> scripts;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "--idl" && hasValue) {
      idl = argv[++i];
    } else if (arg == "--module" && hasValue) {
      module = argv[++i];
    } else if (arg == "--platform" && hasValue) {
      platform = argv[++i];
    } else if (arg == "--help-directory" && hasValue) {
      helpDirectory = argv[++i];
    } else if (arg == "--part" && hasValue) {
      part = argv[++i];
    } else if (arg == "--variable" && hasValue) {
      const std::string pair = argv[++i];
      const std::size_t equals = pair.find('=');
      if (equals == std::string::npos || equals == 0) return Usage();
      variables.emplace_back(pair.substr(0, equals), pair.substr(equals + 1));
    } else if (!arg.empty() && arg[0] != '-') {
      scripts.push_back(arg);
    } else {
      return Usage();
    }
  }
  if (idl.empty() || module.empty() || scripts.empty() || (platform != "win32" && platform != "win64") ||
      (!part.empty() && part != "own" && part != "shared")) {
    return Usage();
  }

  MemoryRegistry registry;
  // The scripts as the DLL runs them: its variables, then "Module" and
  // "Module_Raw" with every apostrophe doubled (a DLL's path is never quoted).
  std::string escaped;
  for (char c : module) {
    escaped.push_back(c);
    if (c == '\'') escaped.push_back('\'');
  }
  for (const std::string& script : scripts) {
    std::string text;
    if (!ReadFile(script, &text)) {
      std::cerr << "msi_registry_rows: cannot read " << script << "\n";
      return 1;
    }
    CRegObject registrar;
    for (const auto& variable : variables) {
      registrar.DefineVariable(Widen(variable.first).c_str(), Widen(variable.second).c_str());
    }
    registrar.DefineVariable(u"Module", Widen(escaped).c_str());
    registrar.DefineVariable(u"Module_Raw", Widen(escaped).c_str());
    CRegScriptParser parser(registrar, registry, &NeverPerUser);
    const std::int32_t hr = parser.RunScript(Widen(text).c_str(), true);
    if (regresult::Failed(hr)) {
      std::fprintf(stderr, "msi_registry_rows: %s failed with 0x%08X\n", script.c_str(),
                   static_cast<unsigned>(hr));
      return 1;
    }
  }

  std::string source, error;
  TypeLibraryFacts facts;
  if (!ReadFile(idl, &source)) {
    std::cerr << "msi_registry_rows: cannot read " << idl << "\n";
    return 1;
  }
  if (!ReadTypeLibraryFacts(source, &facts, &error)) {
    std::cerr << "msi_registry_rows: " << idl << ": " << error << "\n";
    return 1;
  }
  const WString path = Widen(module);
  std::int32_t status = WriteTypeLibraryEntries(registry, regkey::kClassesRoot, facts, Widen(platform).c_str(), path,
                                                Widen(helpDirectory));
  if (status == 0) status = WriteInterfaceEntries(registry, regkey::kClassesRoot, facts);
  if (status != 0) {
    std::cerr << "msi_registry_rows: writing the type library's entries failed with error " << status << "\n";
    return 1;
  }

  for (const MemoryRegistry::KeyRecord& key : registry.Keys()) {
    if (key.path.compare(0, 5, u"HKCR\\") != 0) {
      std::cerr << "msi_registry_rows: an entry outside the classes root: " << Narrow(key.path) << "\n";
      return 1;
    }
    if (helpDirectory.empty() && EndsWith(key.path, u"\\HELPDIR")) continue;
    const bool perView = IsPerView(key.path.substr(5));
    if ((part == "own" && !perView) || (part == "shared" && perView)) continue;
    bool lossy = false;
    const std::string keyName = XmlAttribute(Narrow(key.path.substr(5), &lossy));
    if (key.values.empty() && key.subkeyCount == 0) {
      // A key with nothing in it: created at installation, removed at removal.
      std::cout << "<RegistryValue Root=\"HKCR\" Key=\"" << keyName << "\" Name=\"*\" Type=\"string\" Value=\"\"/>\n";
    }
    for (const auto& value : key.values) {
      if (value.second.type != regtype::kString || value.second.data.size() % 2 != 0) {
        std::cerr << "msi_registry_rows: " << Narrow(key.path) << ": only string values are supported\n";
        return 1;
      }
      WString text;
      for (std::size_t i = 0; i + 1 < value.second.data.size(); i += 2) {
        text.push_back(static_cast<char16_t>(value.second.data[i] | (value.second.data[i + 1] << 8)));
      }
      while (!text.empty() && text.back() == 0) text.pop_back();
      std::cout << "<RegistryValue Root=\"HKCR\" Key=\"" << keyName << "\"";
      if (!value.first.empty()) std::cout << " Name=\"" << XmlAttribute(Narrow(value.first, &lossy)) << "\"";
      std::cout << " Type=\"string\" Value=\"" << XmlAttribute(Narrow(text, &lossy)) << "\"/>\n";
    }
    if (lossy) {
      std::cerr << "msi_registry_rows: " << Narrow(key.path) << ": text outside ASCII is not supported\n";
      return 1;
    }
  }
  return 0;
}

}  // namespace
}  // namespace stavora

int main(int argc, char** argv) { return stavora::Run(argc, argv); }
