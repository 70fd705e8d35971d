// Self-registration of Stavora.dll: the sequences behind DllRegisterServer,
// DllUnregisterServer and DllInstall, and the registration of the type
// library the DLL carries.
#pragma once

#include <windows.h>

#include <oaidl.h>

#include <cstdint>
#include <string>

#include "platform/ModuleFile.h"
#include "platform/ScopedBstr.h"
#include "platform/ScopedInterface.h"
#include "registrar/ResourceScript.h"
#include "registrar/TypeLibraryEntries.h"
#include "server/ClassTable.h"
#include "server/StavoraModule.h"

namespace stavora {

// The REGISTRY resources: the application-ID script and the lookup class's.
constexpr std::uint16_t kAppIdScriptId = 101;
constexpr std::uint16_t kLookupClassScriptId = 102;

// Saves the thread's locale and sets LOCALE_SYSTEM_DEFAULT, so that the
// scripts are converted with the system's ANSI code page; puts the saved
// locale back when it goes out of scope.
class ThreadLocaleScope {
 public:
  ThreadLocaleScope();
  ~ThreadLocaleScope();
  ThreadLocaleScope(const ThreadLocaleScope&) = delete;
  ThreadLocaleScope& operator=(const ThreadLocaleScope&) = delete;

 private:
  LCID m_saved;
};

// A type library loaded from the module's own file (or the ".tlb" beside it)
// together with the path it was loaded from.
struct OwnTypeLibrary {
  ScopedInterface<ITypeLib> library;
  ScopedBstr path;
};

// Replaces the extension of the file named by `path` (terminated) with
// ".tlb", or appends ".tlb" when the file name has no extension. E_FAIL when
// the result would not fit the buffer; `path` is then unchanged.
HRESULT ReplaceExtensionWithTlb(ModulePath& path);

// The directory part of a help file path: everything up to and including its
// last backslash, slash or colon, at most 259 units; empty when it has none.
std::wstring HelpDirectoryOf(const wchar_t* helpFile);

// Loads the type library from the module's file (resource TYPELIB 1), or,
// failing that, from the file of the same path with the extension ".tlb".
HRESULT LoadOwnTypeLibrary(HINSTANCE typeLibModule, OwnTypeLibrary* loaded);

// Registers / unregisters the module's type library, for the current user
// when `perUser` and OLEAUT32.DLL offers the per-user forms.
HRESULT RegisterOwnTypeLibrary(HINSTANCE typeLibModule, bool perUser);
HRESULT UnregisterOwnTypeLibrary(HINSTANCE typeLibModule, bool perUser);

// Runs the class script `scriptId` of `module` at `target`, with no extra
// variables.
HRESULT UpdateClassRegistry(CStavoraModule& module, std::uint16_t scriptId, bool registering,
                            const ScriptTarget& target);

// A class table row's registration function for the class whose entries
// script `ScriptId` holds.
template <std::uint16_t ScriptId>
HRESULT UpdateClassRegistryFrom(CStavoraModule& module, bool registering, const ScriptTarget& target) {
  return UpdateClassRegistry(module, ScriptId, registering, target);
}

// The type-library calls of the platform for the module's own library: the
// adapter behind ITypeLibraryCalls (TypeLibraryCallsWin32.cpp).
class OwnTypeLibraryCalls final : public ITypeLibraryCalls {
 public:
  explicit OwnTypeLibraryCalls(HINSTANCE typeLibModule) : m_typeLibModule(typeLibModule) {}
  std::int32_t Register(bool perUser) override;
  std::int32_t Unregister(bool perUser) override;
  std::int32_t ReadFacts(TypeLibraryFacts* facts) override;

 private:
  HINSTANCE m_typeLibModule;
};

// The two calls that tell whether a process runs under WOW64; a system may
// lack either (IsWow64Process2 came with Windows 10, version 1511). Null
// where missing.
struct Wow64Queries {
  BOOL(WINAPI* isWow64Process2)(HANDLE process, USHORT* processMachine, USHORT* nativeMachine);
  BOOL(WINAPI* isWow64Process)(HANDLE process, PBOOL wow64);
};

// This system's: IsWow64Process directly, IsWow64Process2 where kernel32 has it.
Wow64Queries SystemWow64Queries();

// Whether this 32-bit process runs under WOW64, so that a 64-bit registry
// view stands beside its own. IsWow64Process2 decides where it answers (a
// process machine other than IMAGE_FILE_MACHINE_UNKNOWN): IsWow64Process
// may answer FALSE for a 32-bit program on Windows on ARM. IsWow64Process
// where the newer call is missing or fails; false when neither answers.
bool RunsUnderWow64(const Wow64Queries& queries);

// Whether this process sees two registry views: a 64-bit process, or a
// 32-bit one on 64-bit Windows.
bool HasTwoRegistryViews();

// A registration's surroundings in this process: the system registry, the
// class table's rows, the module's application-ID script and type library,
// the file system and the log.
class ModuleRegistrationHost : public IRegistrationHost {
 public:
  ModuleRegistrationHost(ClassTable& table, CStavoraModule& module);
  IRegistry& Registry(RegistryView view) override;
  RegistryView OwnView() const override;
  bool HasOtherView() const override;
  std::int32_t RunAppIdScript(bool registering, const ScriptTarget& target) override;
  std::int32_t UpdateClassRows(bool registering, const ScriptTarget& target) override;
  ITypeLibraryCalls& TypeLibrary() override { return m_typeLibrary; }
  bool FileExists(const WString& path, bool withoutRedirection) override;
  bool EnvironmentVariable(const WString& name, WString* value) override;
  void Log(const WString& message) override;

 private:
  ClassTable& m_table;
  CStavoraModule& m_module;
  OwnTypeLibraryCalls m_typeLibrary;
};

// DllRegisterServer: the application-ID script, each class's script, then
// the type library. Steps before a failure stay applied.
HRESULT RegisterServer(ClassTable& table, CStavoraModule& module);

// Reads what the type library's registry entries are made of: its LIBID,
// version, locale, name and flags, and the interfaces whose calls the
// automation marshaler carries (dispatch interfaces, and interfaces marked
// oleautomation).
HRESULT ReadTypeLibraryFacts(ITypeLib* library, TypeLibraryFacts* facts);

// DllUnregisterServer: each class's script, the type library, then the
// application-ID script, every step whatever the others gave, the first
// failure the result; then what the other bitness's registration shares
// with this one is written back (UnregisterModule).
HRESULT UnregisterServer(ClassTable& table, CStavoraModule& module);

// Whether a DllInstall command line asks for per-user registration: exactly
// the word "user", in any case.
bool IsPerUserCommandLine(const wchar_t* commandLine);

// DllInstall: "user" turns per-user registration on for the rest of the
// process; a nonzero flag registers (and undoes a failed registration), a
// zero flag unregisters.
HRESULT InstallServer(ClassTable& table, CStavoraModule& module, BOOL install, const wchar_t* commandLine);

}  // namespace stavora
