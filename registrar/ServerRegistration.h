// The order of a server's self-registration and unregistration, and what an
// unregistration keeps of the other bitness's registration. Portable: the
// registry, the scripts' runs and the type-library calls come through the
// ports below, which the DLL fills with the system's and the native tests
// with a model of Windows' registry.
#pragma once

#include <cstdint>

#include "registrar/RegObject.h"
#include "registrar/RegistrationModule.h"
#include "registrar/RegistryAccess.h"
#include "registrar/TypeLibraryEntries.h"
#include "store/NameRule.h"

namespace stavora {

// The 32-bit or the 64-bit registry view.
enum class RegistryView { k32, k64 };

constexpr RegistryView OtherView(RegistryView view) {
  return view == RegistryView::k32 ? RegistryView::k64 : RegistryView::k32;
}

// The type library's platform key name for the programs of `view`.
constexpr const char16_t* PlatformOfView(RegistryView view) {
  return view == RegistryView::k32 ? u"win32" : u"win64";
}

// One caller variable; a list of them ends with a pair whose name is null.
struct RegistrationVariable {
  const char16_t* name;
  const char16_t* value;
};

// Where one run of a script applies its entries. A machine registration
// applies the scripts' HKCR blocks to HKLM\Software\Classes itself, never
// through the merged classes root; a per-user one rewrites them to
// HKCU\Software\Classes.
struct ScriptTarget {
  IRegistry& registry;
  RegKey classesRoot;  // what HKCR stands for: HKLM\Software\Classes, opened
  bool perUser;
};

// Defines the variables of one run of a module's script: `extraVariables`
// (may be null; one that cannot be defined is left out, and the expansion
// reports any use of it), the module's common variables, then "Module" and
// "Module_Raw" naming `modulePath` with every apostrophe doubled, "Module"
// also in double quotes when `quoteModule`. E_FAIL when the quoted path does
// not fit 523 units.
std::int32_t DefineModuleVariables(CRegObject& registrar, IRegistrationModule& module,
                                   const RegistrationVariable* extraVariables, const char16_t* modulePath,
                                   bool quoteModule);

// Runs the script `text` (with `registrar`'s variables) at `target`.
std::int32_t RunScriptAt(CRegObject& registrar, const char16_t* text, bool doRegister, const ScriptTarget& target);

// The platform's type-library registration of the module's own library.
class ITypeLibraryCalls {
 public:
  // Registers it; per user through the platform's per-user form where the
  // platform has one.
  virtual std::int32_t Register(bool perUser) = 0;
  // Unregisters this process's platform's entry of it.
  virtual std::int32_t Unregister(bool perUser) = 0;
  // What its registry entries are made of.
  virtual std::int32_t ReadFacts(TypeLibraryFacts* facts) = 0;

 protected:
  ~ITypeLibraryCalls() = default;
};

// What a registration run needs of its surroundings.
class IRegistrationHost {
 public:
  // The registry with every key opened in `view`.
  virtual IRegistry& Registry(RegistryView view) = 0;
  // The view of this process's own bitness.
  virtual RegistryView OwnView() const = 0;
  // False where the platform keeps one registry view (32-bit Windows).
  virtual bool HasOtherView() const = 0;
  // The application-ID script, and each class's script, run at `target`.
  virtual std::int32_t RunAppIdScript(bool registering, const ScriptTarget& target) = 0;
  virtual std::int32_t UpdateClassRows(bool registering, const ScriptTarget& target) = 0;
  virtual ITypeLibraryCalls& TypeLibrary() = 0;
  // Whether `path` names an existing file; `withoutRedirection`: looked for
  // with WOW64's file-system redirection off (a 32-bit process looking for a
  // 64-bit file).
  virtual bool FileExists(const WString& path, bool withoutRedirection) = 0;
  // A variable of this process's environment; false when it is not set.
  virtual bool EnvironmentVariable(const WString& name, WString* value) = 0;
  // One line in the log.
  virtual void Log(const WString& message) = 0;

 protected:
  ~IRegistrationHost() = default;
};

// The class whose registration in the other view decides whether anything is
// kept, and the entries of a registration that the two views share (below a
// classes root, ended by a null). The type library's and the interfaces'
// entries come from the library's facts.
struct SharedRegistration {
  const char16_t* clsid;
  const char16_t* const* sharedTrees;
};

// DllRegisterServer's steps: the application-ID script, the class rows, the
// type library; the first failure ends them and earlier steps stay applied.
std::int32_t RegisterModule(IRegistrationHost& host, bool perUser);

// DllUnregisterServer's steps, in the reverse order. Every step runs; what is
// not registered counts as removed; the first real failure is the result.
// Then the entries this unregistration removed that the other view's
// registration (when one is there and its file exists, as that bitness sees
// it: LocateOtherBitnessFile) shares with it are written back; a failure
// there is logged and does not change the result.
std::int32_t UnregisterModule(IRegistrationHost& host, bool perUser, const SharedRegistration& shared);

// DllInstall's registration: a registration that fails is taken back by an
// unregistration, whose own result is not reported: the caller needs to know
// why registration failed.
std::int32_t InstallModule(IRegistrationHost& host, bool perUser, const SharedRegistration& shared);

}  // namespace stavora
