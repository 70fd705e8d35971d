// The steps of self-registration and unregistration, and the write-back of
// what the other bitness's registration shares with this one.
#include "registrar/ServerRegistration.h"

#include <cstring>
#include <vector>

#include "platform/NumberText.h"
#include "registrar/HeldKey.h"
#include "registrar/OtherBitnessFile.h"
#include "registrar/RegScriptParser.h"
#include "registrar/RegistrarResults.h"

namespace stavora {

namespace {

constexpr std::size_t kEscapedPathCapacity = 520;
constexpr std::size_t kQuotedPathCapacity = 523;
// Room for a value this code reads back: a module path or an entry of ours.
constexpr std::uint32_t kValueCapacity = 4096;

bool PerUserOn() { return true; }
bool PerUserOff() { return false; }

struct StoredValue {
  WString name;
  std::uint32_t type = 0;
  std::vector<std::uint8_t> data;
};

// A value of `key` (null: the default one); false when it is absent or does
// not fit.
bool ReadValue(IRegistry& registry, RegKey key, const char16_t* name, StoredValue* value) {
  std::vector<std::uint8_t> data(kValueCapacity);
  std::uint32_t bytes = kValueCapacity;
  std::uint32_t type = 0;
  if (registry.QueryValue(key, name, &type, data.data(), &bytes) != regerror::kSuccess) return false;
  data.resize(bytes);
  value->name = name != nullptr ? WString(name) : WString();
  value->type = type;
  value->data = std::move(data);
  return true;
}

// A string value's text (REG_SZ or REG_EXPAND_SZ), without its terminator.
bool StringOf(const StoredValue& value, WString* text) {
  if (value.type != regtype::kString && value.type != regtype::kExpandString) return false;
  text->clear();
  for (std::size_t i = 0; i + 1 < value.data.size(); i += 2) {
    const char16_t unit = static_cast<char16_t>(value.data[i] | (value.data[i + 1] << 8));
    if (unit == 0) break;
    text->push_back(unit);
  }
  return true;
}

// The default value of `path` below `parent`, as text; false when absent.
bool ReadDefaultText(IRegistry& registry, RegKey parent, const WString& path, StoredValue* value, WString* text) {
  HeldKey key(registry);
  if (registry.OpenKey(parent, path.c_str(), regaccess::kRead, key.Receive()) != regerror::kSuccess) return false;
  return ReadValue(registry, key.Get(), nullptr, value) && StringOf(*value, text);
}

bool KeyExists(IRegistry& registry, RegKey parent, const WString& path) {
  HeldKey key(registry);
  return registry.OpenKey(parent, path.c_str(), regaccess::kRead, key.Receive()) == regerror::kSuccess;
}

// One key of a registration as it stood, with its values.
struct StoredKey {
  WString path;  // below the classes key
  bool perView = false;  // a key of the other view's own, not a shared one
  std::vector<StoredValue> values;
};

// Reads `path` and every key below it, parents first.
void ReadTree(IRegistry& registry, RegKey classes, const WString& path, bool perView, std::vector<StoredKey>* keys) {
  HeldKey key(registry);
  if (registry.OpenKey(classes, path.c_str(), regaccess::kRead, key.Receive()) != regerror::kSuccess) return;
  StoredKey stored{path, perView, {}};
  char16_t name[kValueCapacity / 2];
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t length = kValueCapacity / 2;
    if (registry.EnumValue(key.Get(), index, name, &length) != regerror::kSuccess) break;
    StoredValue value;
    if (ReadValue(registry, key.Get(), name, &value)) stored.values.push_back(std::move(value));
  }
  keys->push_back(std::move(stored));
  std::vector<WString> subkeys;
  for (std::uint32_t index = 0;; ++index) {
    std::uint32_t length = kValueCapacity / 2;
    if (registry.EnumKey(key.Get(), index, name, &length) != regerror::kSuccess) break;
    subkeys.emplace_back(name, length);
  }
  for (const WString& subkey : subkeys) ReadTree(registry, classes, path + u"\\" + subkey, perView, keys);
}

// What the other view's registration shares with this one, read before this
// unregistration runs.
struct KeptRegistration {
  bool present = false;
  WString serverFile;  // as the other view's InprocServer32 names it
  std::vector<StoredKey> keys;
  bool typeLibrary = false;
  TypeLibraryFacts facts;
  WString typeLibraryFile;
};

RegKey ScopeRoot(bool perUser) { return perUser ? regkey::kCurrentUser : regkey::kLocalMachine; }

WString ServerKey(const SharedRegistration& shared) {
  return WString(u"CLSID\\") + shared.clsid + u"\\InprocServer32";
}

// The classes keys of the scope in both views. The shared entries are read and
// written through this process's own view: on Windows that is the very key the
// other view shows, and Wine, whose 32-bit programs register them there too,
// gives the other view's name for them (Software\Wow6432Node\Classes) a copy
// of its own that those programs do not use.
struct ScopeKeys {
  ScopeKeys(IRegistrationHost& host)
      : own(host.Registry(host.OwnView())), other(host.Registry(OtherView(host.OwnView()))), ownKey(own), otherKey(other) {}
  std::int32_t Open(bool perUser, std::uint32_t access) {
    std::int32_t error = own.OpenKey(ScopeRoot(perUser), u"Software\\Classes", access, ownKey.Receive());
    if (error == regerror::kSuccess) {
      error = other.OpenKey(ScopeRoot(perUser), u"Software\\Classes", access, otherKey.Receive());
    }
    return error;
  }
  IRegistry& own;
  IRegistry& other;
  HeldKey ownKey;
  HeldKey otherKey;
};

KeptRegistration ReadKeptRegistration(IRegistrationHost& host, bool perUser, const SharedRegistration& shared) {
  KeptRegistration kept;
  // On 32-bit Windows there is no other bitness to keep.
  if (!host.HasOtherView()) return kept;
  ScopeKeys scope(host);
  if (scope.Open(perUser, regaccess::kRead) != regerror::kSuccess) return kept;
  StoredValue server;
  if (!ReadDefaultText(scope.other, scope.otherKey.Get(), ServerKey(shared), &server, &kept.serverFile)) return kept;
  // A registration whose file is gone is not kept alive. The file is looked
  // for as the other bitness would find it.
  if (kept.serverFile.empty()) return kept;
  const auto environment = [&host](const WString& name, WString* value) {
    return host.EnvironmentVariable(name, value);
  };
  const OtherBitnessFile file = LocateOtherBitnessFile(
      kept.serverFile, server.type == regtype::kExpandString, host.OwnView(), environment);
  if (!host.FileExists(file.path, file.withoutRedirection)) return kept;
  kept.present = true;
  for (const char16_t* const* tree = shared.sharedTrees; *tree != nullptr; ++tree) {
    ReadTree(scope.own, scope.ownKey.Get(), *tree, false, &kept.keys);
  }
  if (!regresult::Failed(host.TypeLibrary().ReadFacts(&kept.facts))) {
    StoredValue file;
    kept.typeLibrary =
        ReadDefaultText(scope.own, scope.ownKey.Get(),
                        TypeLibraryFileKey(kept.facts, PlatformOfView(OtherView(host.OwnView()))), &file,
                        &kept.typeLibraryFile) &&
        !kept.typeLibraryFile.empty();
    // The interfaces' keys are per view on Windows; where the platform's
    // type-library unregistration removes them from both views, they come back.
    for (const TypeLibraryInterface& entry : kept.facts.interfaces) {
      ReadTree(scope.other, scope.otherKey.Get(), u"Interface\\" + entry.iid, true, &kept.keys);
    }
  }
  return kept;
}

// Writes back the values of `stored` that are missing under `classes`,
// creating its key when it is gone; a value still there is left as it is.
std::int32_t RestoreKey(IRegistry& registry, RegKey classes, const StoredKey& stored) {
  HeldKey key(registry);
  bool created = false;
  std::int32_t error =
      registry.OpenKey(classes, stored.path.c_str(), regaccess::kRead | regaccess::kWrite, key.Receive());
  if (error == regerror::kFileNotFound) {
    error = registry.CreateKey(classes, stored.path.c_str(), regaccess::kRead | regaccess::kWrite, key.Receive());
    created = true;
  }
  if (error != regerror::kSuccess) return error;
  for (const StoredValue& value : stored.values) {
    StoredValue present;
    const char16_t* name = value.name.empty() ? nullptr : value.name.c_str();
    if (!created && ReadValue(registry, key.Get(), name, &present)) continue;
    error = registry.SetValue(key.Get(), name, value.type, value.data.empty() ? nullptr : value.data.data(),
                              static_cast<std::uint32_t>(value.data.size()));
    if (error != regerror::kSuccess) return error;
  }
  return regerror::kSuccess;
}

// Writes back what the unregistration removed of `kept`, and nothing else.
std::int32_t RestoreKeptRegistration(IRegistrationHost& host, bool perUser, const SharedRegistration& shared,
                                     const KeptRegistration& kept) {
  if (!kept.present) return regresult::kOk;
  ScopeKeys scope(host);
  std::int32_t error = scope.Open(perUser, regaccess::kRead | regaccess::kWrite);
  if (error != regerror::kSuccess) return regresult::FromSystemError(error);

  // Where both bitnesses' classes are one tree (Wine's per-user classes),
  // the other registration was this one and is gone with it.
  StoredValue server;
  WString serverFile;
  if (!ReadDefaultText(scope.other, scope.otherKey.Get(), ServerKey(shared), &server, &serverFile) ||
      serverFile != kept.serverFile) {
    return regresult::kOk;
  }

  for (const StoredKey& stored : kept.keys) {
    IRegistry& registry = stored.perView ? scope.other : scope.own;
    error = RestoreKey(registry, stored.perView ? scope.otherKey.Get() : scope.ownKey.Get(), stored);
    if (error != regerror::kSuccess) return regresult::FromSystemError(error);
  }

  const char16_t* platform = PlatformOfView(OtherView(host.OwnView()));
  if (kept.typeLibrary && !KeyExists(scope.own, scope.ownKey.Get(), TypeLibraryFileKey(kept.facts, platform))) {
    error = WriteTypeLibraryEntries(scope.own, scope.ownKey.Get(), kept.facts, platform, kept.typeLibraryFile,
                                    HelpDirectoryOfPath(kept.typeLibraryFile));
    if (error != regerror::kSuccess) return regresult::FromSystemError(error);
  }
  return regresult::kOk;
}

// The scripts' target: the machine's classes key, or per user the rewrite of
// the scripts' HKCR blocks.
std::int32_t OpenTarget(IRegistry& registry, bool perUser, RegKey* classes) {
  *classes = kNoKey;
  if (perUser) return regerror::kSuccess;
  std::int32_t error =
      registry.OpenKey(regkey::kLocalMachine, u"Software\\Classes", regaccess::kRead | regaccess::kWrite, classes);
  // Without the right to write there, what needs no writing still works and
  // the rest fails with the registry's own error.
  if (error != regerror::kSuccess) {
    error = registry.OpenKey(regkey::kLocalMachine, u"Software\\Classes", regaccess::kRead, classes);
  }
  return error;
}

// The platform's type-library calls write and delete through
// HKEY_CLASSES_ROOT, which on Windows is the merged view: a key that exists
// under HKCU\Software\Classes is written and deleted there. A machine
// registration after a per-user one would put the library's TypeLib and
// Interface keys in the administrator's profile, and a machine
// unregistration would remove the user's. So for the length of each call the
// classes root of the process stands for the classes key of the
// registration's scope (the machine's `machineClasses`, or the user's), and
// gets its own meaning back afterwards, whatever the call gave. The user's
// classes key is made when registering; unregistering, a user without one
// has nothing to remove.
template <class Call>
std::int32_t WithClassesRootMapped(IRegistry& registry, bool perUser, bool registering, RegKey machineClasses,
                                   Call call) {
  HeldKey userClasses(registry);
  RegKey classes = machineClasses;
  if (perUser) {
    constexpr std::uint32_t kAccess = regaccess::kRead | regaccess::kWrite;
    const std::int32_t error =
        registering ? registry.CreateKey(regkey::kCurrentUser, u"Software\\Classes", kAccess, userClasses.Receive())
                    : registry.OpenKey(regkey::kCurrentUser, u"Software\\Classes", kAccess, userClasses.Receive());
    if (error != regerror::kSuccess) return regresult::FromSystemError(error);
    classes = userClasses.Get();
  }
  const std::int32_t error = registry.OverrideClassesRoot(classes);
  if (error != regerror::kSuccess) return regresult::FromSystemError(error);
  // The mapping is undone on every way out, an exception's included.
  struct Unmap {
    IRegistry& registry;
    ~Unmap() {
      // Undoing a mapping of the classes root fails only for a key that is
      // not a predefined one; there is nothing else to do about it.
      (void)registry.OverrideClassesRoot(kNoKey);
    }
  } unmap{registry};
  return call();
}

// Whether the type library is registered for this process's platform where
// this registration keeps it; false when that cannot be told.
bool TypeLibraryRegistered(IRegistrationHost& host, IRegistry& registry, bool perUser) {
  TypeLibraryFacts facts;
  if (regresult::Failed(host.TypeLibrary().ReadFacts(&facts))) return true;
  HeldKey classes(registry);
  if (registry.OpenKey(ScopeRoot(perUser), u"Software\\Classes", regaccess::kRead, classes.Receive()) !=
      regerror::kSuccess) {
    return false;
  }
  return KeyExists(registry, classes.Get(), TypeLibraryFileKey(facts, PlatformOfView(host.OwnView())));
}

// The type library's unregistration. It runs even when the library seems not
// to be registered (a platform may keep a per-user registration elsewhere),
// but then its failure counts as done.
std::int32_t UnregisterTypeLibrary(IRegistrationHost& host, IRegistry& registry, bool perUser, RegKey machineClasses) {
  const bool registered = TypeLibraryRegistered(host, registry, perUser);
  const std::int32_t hr = WithClassesRootMapped(registry, perUser, false, machineClasses,
                                                [&host, perUser] { return host.TypeLibrary().Unregister(perUser); });
  if (regresult::Failed(hr) && !registered) return regresult::kOk;
  return hr;
}

}  // namespace

std::int32_t DefineModuleVariables(CRegObject& registrar, IRegistrationModule& module,
                                   const RegistrationVariable* extraVariables, const char16_t* modulePath,
                                   bool quoteModule) {
  if (modulePath == nullptr) return regresult::kPointer;
  if (extraVariables != nullptr) {
    for (const RegistrationVariable* pair = extraVariables; pair->name != nullptr; ++pair) {
      registrar.DefineVariable(pair->name, pair->value);
    }
  }
  std::int32_t hr = module.AddCommonVariables(&registrar);
  if (regresult::Failed(hr)) return hr;

  // Apostrophes doubled, so that the path can stand inside a quoted token.
  char16_t escaped[kEscapedPathCapacity];
  std::size_t used = 0;
  for (const char16_t* unit = modulePath; *unit != 0 && used < kEscapedPathCapacity - 1; ++unit) {
    escaped[used++] = *unit;
    if (*unit == u'\'' && used < kEscapedPathCapacity - 1) escaped[used++] = u'\'';
  }
  escaped[used] = 0;

  const char16_t* moduleValue = escaped;
  char16_t quoted[kQuotedPathCapacity];
  if (quoteModule) {
    if (used + 3 > kQuotedPathCapacity) return regresult::kFail;
    quoted[0] = u'"';
    std::memcpy(quoted + 1, escaped, used * sizeof(char16_t));
    quoted[used + 1] = u'"';
    quoted[used + 2] = 0;
    moduleValue = quoted;
  }
  hr = registrar.DefineVariable(u"Module", moduleValue);
  if (regresult::Failed(hr)) return hr;
  return registrar.DefineVariable(u"Module_Raw", escaped);
}

std::int32_t RunScriptAt(CRegObject& registrar, const char16_t* text, bool doRegister, const ScriptTarget& target) {
  const RegKey classesRoot = target.classesRoot != kNoKey ? target.classesRoot : regkey::kClassesRoot;
  CRegScriptParser parser(registrar, target.registry, target.perUser ? &PerUserOn : &PerUserOff, classesRoot);
  return parser.RunScript(text, doRegister);
}

std::int32_t RegisterModule(IRegistrationHost& host, bool perUser) {
  IRegistry& registry = host.Registry(host.OwnView());
  HeldKey classes(registry);
  const std::int32_t error = OpenTarget(registry, perUser, classes.Receive());
  if (error != regerror::kSuccess) return regresult::FromSystemError(error);
  const ScriptTarget target{registry, classes.Get(), perUser};

  std::int32_t hr = host.RunAppIdScript(true, target);
  if (regresult::Failed(hr)) return hr;
  hr = host.UpdateClassRows(true, target);
  if (regresult::Failed(hr)) return hr;
  return WithClassesRootMapped(registry, perUser, true, classes.Get(),
                               [&host, perUser] { return host.TypeLibrary().Register(perUser); });
}

std::int32_t UnregisterModule(IRegistrationHost& host, bool perUser, const SharedRegistration& shared) {
  IRegistry& registry = host.Registry(host.OwnView());
  HeldKey classes(registry);
  const std::int32_t error = OpenTarget(registry, perUser, classes.Receive());
  if (error != regerror::kSuccess) return regresult::FromSystemError(error);
  const ScriptTarget target{registry, classes.Get(), perUser};

  const KeptRegistration kept = ReadKeptRegistration(host, perUser, shared);

  std::int32_t first = regresult::kOk;
  auto note = [&first](std::int32_t hr) {
    if (regresult::Failed(hr) && !regresult::Failed(first)) first = hr;
  };
  note(host.UpdateClassRows(false, target));
  note(UnregisterTypeLibrary(host, registry, perUser, classes.Get()));
  note(host.RunAppIdScript(false, target));

  const std::int32_t keptResult = RestoreKeptRegistration(host, perUser, shared, kept);
  if (regresult::Failed(keptResult)) {
    host.Log(u"UnregisterServer(): The other registry view's registration could not get back its shared entries (" +
             ResultCodeText(static_cast<std::uint32_t>(keptResult)) + u").");
  }
  return first;
}

std::int32_t InstallModule(IRegistrationHost& host, bool perUser, const SharedRegistration& shared) {
  const std::int32_t hr = RegisterModule(host, perUser);
  if (regresult::Failed(hr)) (void)UnregisterModule(host, perUser, shared);
  return hr;
}

}  // namespace stavora
