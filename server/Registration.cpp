// Self-registration: the order of the scripts and of the type library, the
// thread locale around them, and loading and (un)registering the type library.
#include "server/Registration.h"

#include "logging/Logger.h"
#include "platform/ModuleFile.h"
#include "platform/ScopedHandles.h"
#include "platform/WideText.h"
#include "registrar/PerUserSwitch.h"
#include "registrar/RegistrationModule.h"
#include "registrar/ResourceScript.h"
#include "resources/Stavora.h"
#include "server/StavoraIdentity.h"
#include "server/TypeAttributes.h"

namespace stavora {

namespace {

using RegisterTypeLibFunction = HRESULT(WINAPI*)(ITypeLib* library, OLECHAR* path, OLECHAR* helpDirectory);
using UnregisterTypeLibFunction = HRESULT(WINAPI*)(REFGUID libId, WORD major, WORD minor, LCID locale,
                                                    SYSKIND kind);

// A function of the already loaded OLEAUT32.DLL, looked up by name; null when
// the registration is not per user or the module or the function is missing.
template <typename Function>
Function PerUserTypeLibFunction(bool perUser, const char* name) {
  if (!perUser) return nullptr;
  HMODULE oleaut = GetModuleHandleW(L"OLEAUT32.DLL");
  if (oleaut == nullptr) return nullptr;
  // Through void*: the platform declares the entry point's real type above.
  return reinterpret_cast<Function>(reinterpret_cast<void*>(GetProcAddress(oleaut, name)));
}

}  // namespace

ThreadLocaleScope::ThreadLocaleScope() : m_saved(GetThreadLocale()) {
  // A locale the system refuses leaves the thread's own in place; the scripts
  // then convert with that locale's code page.
  SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
}

ThreadLocaleScope::~ThreadLocaleScope() { SetThreadLocale(m_saved); }

HRESULT ReplaceExtensionWithTlb(ModulePath& path) {
  std::size_t length = 0;
  while (length < kModulePathCapacity && path[length] != 0) ++length;
  if (length == kModulePathCapacity) return E_FAIL;  // not terminated in its buffer

  std::size_t nameStart = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (path[i] == L'\\') nameStart = i + 1;
  }
  std::size_t extension = length;
  for (std::size_t i = nameStart; i < length; ++i) {
    if (path[i] == L'.') extension = i;
  }
  static const wchar_t kTlb[] = L".tlb";  // five units with its terminator
  if (extension + 5 > kModulePathCapacity) return E_FAIL;
  for (std::size_t i = 0; i < 5; ++i) path[extension + i] = kTlb[i];
  return S_OK;
}

std::wstring HelpDirectoryOf(const wchar_t* helpFile) {
  if (helpFile == nullptr) return std::wstring();
  std::size_t cut = 0;
  for (std::size_t i = 0; helpFile[i] != 0; ++i) {
    if (helpFile[i] == L'\\' || helpFile[i] == L'/' || helpFile[i] == L':') cut = i + 1;
  }
  if (cut > kModulePathCapacity - 1) cut = kModulePathCapacity - 1;
  return std::wstring(helpFile, cut);
}

HRESULT LoadOwnTypeLibrary(HINSTANCE typeLibModule, OwnTypeLibrary* loaded) {
  if (loaded == nullptr) return E_POINTER;
  ModulePath path;
  HRESULT hr = GetModulePath(typeLibModule, path);
  if (FAILED(hr)) return hr;

  hr = LoadTypeLib(path, loaded->library.Receive());
  if (FAILED(hr)) {
    // No type library in the module itself: try the ".tlb" file beside it.
    const HRESULT renamed = ReplaceExtensionWithTlb(path);
    if (FAILED(renamed)) return renamed;
    hr = LoadTypeLib(path, loaded->library.Receive());
    if (FAILED(hr)) return hr;
  }

  loaded->path.Reset(SysAllocString(path));
  if (!loaded->path) {
    loaded->library.Reset();
    return E_OUTOFMEMORY;
  }
  return S_OK;
}

HRESULT RegisterOwnTypeLibrary(HINSTANCE typeLibModule, bool perUser) {
  OwnTypeLibrary loaded;
  HRESULT hr = LoadOwnTypeLibrary(typeLibModule, &loaded);
  if (FAILED(hr)) return hr;

  // A library that names a help file is registered with that file's folder.
  ScopedBstr helpFile;
  std::wstring helpDirectory;
  bool hasHelpDirectory = false;
  if (SUCCEEDED(loaded.library->GetDocumentation(-1, nullptr, nullptr, nullptr, helpFile.Receive())) &&
      helpFile && helpFile.Length() > 0) {
    helpDirectory = HelpDirectoryOf(helpFile.Get());
    hasHelpDirectory = true;
  }

  RegisterTypeLibFunction registerFunction =
      PerUserTypeLibFunction<RegisterTypeLibFunction>(perUser, "RegisterTypeLibForUser");
  if (registerFunction == nullptr) registerFunction = &RegisterTypeLib;
  return registerFunction(loaded.library.Get(), loaded.path.Get(),
                          hasHelpDirectory ? &helpDirectory[0] : nullptr);
}

HRESULT UnregisterOwnTypeLibrary(HINSTANCE typeLibModule, bool perUser) {
  OwnTypeLibrary loaded;
  HRESULT hr = LoadOwnTypeLibrary(typeLibModule, &loaded);
  if (FAILED(hr)) return hr;

  ScopedLibAttr attributes(loaded.library.Get());
  hr = attributes.Load();
  if (FAILED(hr)) return hr;
  const TLIBATTR& attr = *attributes.Get();

  UnregisterTypeLibFunction unregisterFunction =
      PerUserTypeLibFunction<UnregisterTypeLibFunction>(perUser, "UnRegisterTypeLibForUser");
  if (unregisterFunction == nullptr) unregisterFunction = &UnRegisterTypeLib;
  return unregisterFunction(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid, attr.syskind);
}

HRESULT UpdateClassRegistry(CStavoraModule& module, std::uint16_t scriptId, bool registering,
                            const ScriptTarget& target) {
  RegistrationModuleAdapter<CStavoraModule> adapter(module);
  return RunRegistrationResourceAt(adapter, scriptId, registering, nullptr, target);
}

namespace {

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  if (StringFromGUID2(guid, text, 40) == 0) return std::wstring();
  return text;
}

WString Portable(const std::wstring& text) { return WString(text.begin(), text.end()); }

}  // namespace

Wow64Queries SystemWow64Queries() {
  Wow64Queries queries{nullptr, &IsWow64Process};
  // IsWow64Process2 came with Windows 10, version 1511: looked up by name.
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  if (kernel32 == nullptr) return queries;
  // Through void*: the entry point's real type is that of the member.
  queries.isWow64Process2 = reinterpret_cast<decltype(queries.isWow64Process2)>(
      reinterpret_cast<void*>(GetProcAddress(kernel32, "IsWow64Process2")));
  return queries;
}

bool RunsUnderWow64(const Wow64Queries& queries) {
  if (queries.isWow64Process2 != nullptr) {
    USHORT processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    USHORT nativeMachine = IMAGE_FILE_MACHINE_UNKNOWN;
    if (queries.isWow64Process2(GetCurrentProcess(), &processMachine, &nativeMachine) != FALSE) {
      return processMachine != IMAGE_FILE_MACHINE_UNKNOWN;
    }
  }
  BOOL wow64 = FALSE;
  return queries.isWow64Process != nullptr && queries.isWow64Process(GetCurrentProcess(), &wow64) != FALSE &&
         wow64 != FALSE;
}

bool HasTwoRegistryViews() {
  if (sizeof(void*) == 8) return true;
  // A 32-bit process has a second view only under WOW64.
  return RunsUnderWow64(SystemWow64Queries());
}

ModuleRegistrationHost::ModuleRegistrationHost(ClassTable& table, CStavoraModule& module)
    : m_table(table), m_module(module), m_typeLibrary(table.TypeLibModule()) {}

IRegistry& ModuleRegistrationHost::Registry(RegistryView view) {
  // The own view is the process's plain registry, which every Windows has.
  return view == ModuleRegistrationHost::OwnView() ? SystemRegistry() : SystemRegistryView(view);
}

RegistryView ModuleRegistrationHost::OwnView() const {
  return sizeof(void*) == 8 ? RegistryView::k64 : RegistryView::k32;
}

bool ModuleRegistrationHost::HasOtherView() const { return HasTwoRegistryViews(); }

std::int32_t ModuleRegistrationHost::RunAppIdScript(bool registering, const ScriptTarget& target) {
  RegistrationModuleAdapter<CStavoraModule> adapter(m_module);
  return RunRegistrationResourceAt(adapter, kAppIdScriptId, registering, kModuleVariables, target);
}

std::int32_t ModuleRegistrationHost::UpdateClassRows(bool registering, const ScriptTarget& target) {
  // The rows carry no component categories, so there are none to add or
  // remove. Registration stops at the first failure; unregistration goes
  // through every row and reports the first.
  HRESULT first = S_OK;
  for (ClassEntry& row : m_table) {
    if (row.updateRegistry == nullptr) continue;
    const HRESULT hr = row.updateRegistry(m_module, registering, target);
    if (FAILED(hr)) {
      if (registering) return hr;
      if (SUCCEEDED(first)) first = hr;
    }
  }
  return first;
}

namespace {

// Turns WOW64's file-system redirection off for the calling thread while it
// lives; in a process that is not under WOW64 there is nothing to turn off,
// and the call fails.
class RedirectionOff {
 public:
  RedirectionOff() : m_off(Wow64DisableWow64FsRedirection(&m_old) != FALSE) {}
  ~RedirectionOff() {
    // Must be undone on this thread before it touches another file; a revert
    // that fails leaves nothing else to try.
    if (m_off) (void)Wow64RevertWow64FsRedirection(m_old);
  }
  RedirectionOff(const RedirectionOff&) = delete;
  RedirectionOff& operator=(const RedirectionOff&) = delete;

 private:
  PVOID m_old = nullptr;
  bool m_off;
};

}  // namespace

bool ModuleRegistrationHost::FileExists(const WString& path, bool withoutRedirection) {
  const std::wstring name(path.begin(), path.end());
  if (!withoutRedirection || sizeof(void*) == 8) return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
  // Nothing but this one query runs while redirection is off.
  RedirectionOff off;
  return GetFileAttributesW(name.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool ModuleRegistrationHost::EnvironmentVariable(const WString& name, WString* value) {
  const std::wstring wideName(name.begin(), name.end());
  std::wstring text(32768, L'\0');
  const DWORD length = GetEnvironmentVariableW(wideName.c_str(), &text[0], 32768);
  if (length == 0 || length >= 32768) return false;
  text.resize(length);
  *value = Portable(text);
  return true;
}

void ModuleRegistrationHost::Log(const WString& message) { WriteLogLine(message); }

HRESULT ReadTypeLibraryFacts(ITypeLib* library, TypeLibraryFacts* facts) {
  if (library == nullptr || facts == nullptr) return E_POINTER;
  *facts = TypeLibraryFacts();
  ScopedLibAttr attributes(library);
  HRESULT hr = attributes.Load();
  if (FAILED(hr)) return hr;
  const TLIBATTR& attr = *attributes.Get();
  facts->libId = Portable(GuidText(attr.guid));
  facts->majorVersion = attr.wMajorVerNum;
  facts->minorVersion = attr.wMinorVerNum;
  facts->lcid = attr.lcid;
  facts->flags = attr.wLibFlags;
  ScopedBstr name;
  hr = library->GetDocumentation(-1, nullptr, name.Receive(), nullptr, nullptr);
  if (FAILED(hr)) return hr;
  if (name) facts->name = Portable(std::wstring(name.Get(), name.Length()));

  const UINT count = library->GetTypeInfoCount();
  for (UINT index = 0; index < count; ++index) {
    ScopedInterface<ITypeInfo> info;
    hr = library->GetTypeInfo(index, info.Receive());
    if (FAILED(hr)) return hr;
    ScopedTypeAttr type(info.Get());
    hr = type.Load();
    if (FAILED(hr)) return hr;
    const TYPEATTR& typeAttr = *type.Get();
    const bool marshalled = typeAttr.typekind == TKIND_DISPATCH ||
                            (typeAttr.typekind == TKIND_INTERFACE &&
                             (typeAttr.wTypeFlags & TYPEFLAG_FOLEAUTOMATION) != 0);
    if (!marshalled) continue;
    ScopedBstr typeName;
    hr = library->GetDocumentation(static_cast<INT>(index), typeName.Receive(), nullptr, nullptr, nullptr);
    if (FAILED(hr)) return hr;
    // A dual interface goes through the automation marshaler, a pure
    // dispatch interface through the dispatch one.
    const bool dispatchOnly =
        typeAttr.typekind == TKIND_DISPATCH && (typeAttr.wTypeFlags & TYPEFLAG_FDUAL) == 0;
    facts->interfaces.push_back(TypeLibraryInterface{
        Portable(GuidText(typeAttr.guid)),
        typeName ? Portable(std::wstring(typeName.Get(), typeName.Length())) : WString(),
        dispatchOnly ? kDispatchProxyStub : kAutomationProxyStub});
  }
  return S_OK;
}

HRESULT RegisterServer(ClassTable& table, CStavoraModule& module) {
  ThreadLocaleScope locale;
  ModuleRegistrationHost host(table, module);
  return RegisterModule(host, PerUserRegistration());
}

HRESULT UnregisterServer(ClassTable& table, CStavoraModule& module) {
  ThreadLocaleScope locale;
  ModuleRegistrationHost host(table, module);
  return UnregisterModule(host, PerUserRegistration(), kLookupSharedRegistration);
}

bool IsPerUserCommandLine(const wchar_t* commandLine) {
  if (commandLine == nullptr) return false;
  static const wchar_t kUser[] = L"user";
  // Five units, the terminator included: only the whole word matches.
  for (std::size_t i = 0; i < 5; ++i) {
    wchar_t unit = commandLine[i];
    if (unit >= L'A' && unit <= L'Z') unit = static_cast<wchar_t>(unit - L'A' + L'a');
    if (unit != kUser[i]) return false;
    if (unit == 0) break;
  }
  return true;
}

HRESULT InstallServer(ClassTable& table, CStavoraModule& module, BOOL install, const wchar_t* commandLine) {
  if (IsPerUserCommandLine(commandLine)) SetPerUserRegistration();
  if (install == FALSE) return UnregisterServer(table, module);

  ThreadLocaleScope locale;
  ModuleRegistrationHost host(table, module);
  return InstallModule(host, PerUserRegistration(), kLookupSharedRegistration);
}

}  // namespace stavora
