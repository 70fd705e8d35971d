// Self-registration: the order of the scripts and of the type library, the
// thread locale around them, and loading and (un)registering the type library.
#include "server/Registration.h"

#include "registrar/PerUserSwitch.h"
#include "registrar/RegistrationModule.h"
#include "registrar/ResourceScript.h"

namespace stavora {

namespace {

using RegisterTypeLibFunction = HRESULT(WINAPI*)(ITypeLib* library, OLECHAR* path, OLECHAR* helpDirectory);
using UnregisterTypeLibFunction = HRESULT(WINAPI*)(REFGUID libId, WORD major, WORD minor, LCID locale,
                                                    SYSKIND kind);

// The last error as a result. A failing call that left no error code still
// fails: passing 0 through would report the failure as success.
HRESULT LastErrorResult() {
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return E_FAIL;
  return HRESULT_FROM_WIN32(error);
}

// A function of the already loaded OLEAUT32.DLL, looked up by name; null when
// the per-user switch is clear or the module or the function is missing.
template <typename Function>
Function PerUserTypeLibFunction(const char* name) {
  if (!PerUserRegistration()) return nullptr;
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

HRESULT GetRegistrationModulePath(HINSTANCE typeLibModule, wchar_t (&path)[kRegistrationPathCapacity]) {
  path[0] = 0;
  const DWORD length = GetModuleFileNameW(typeLibModule, path, kRegistrationPathCapacity);
  if (length == 0) return LastErrorResult();
  if (length >= kRegistrationPathCapacity) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  path[length] = 0;
  return S_OK;
}

HRESULT ReplaceExtensionWithTlb(wchar_t (&path)[kRegistrationPathCapacity]) {
  std::size_t length = 0;
  while (length < kRegistrationPathCapacity && path[length] != 0) ++length;
  if (length == kRegistrationPathCapacity) return E_FAIL;  // not terminated in its buffer

  std::size_t nameStart = 0;
  for (std::size_t i = 0; i < length; ++i) {
    if (path[i] == L'\\') nameStart = i + 1;
  }
  std::size_t extension = length;
  for (std::size_t i = nameStart; i < length; ++i) {
    if (path[i] == L'.') extension = i;
  }
  static const wchar_t kTlb[] = L".tlb";  // five units with its terminator
  if (extension + 5 > kRegistrationPathCapacity) return E_FAIL;
  for (std::size_t i = 0; i < 5; ++i) path[extension + i] = kTlb[i];
  return S_OK;
}

std::wstring HelpDirectoryOf(const wchar_t* helpFile) {
  if (helpFile == nullptr) return std::wstring();
  std::size_t cut = 0;
  for (std::size_t i = 0; helpFile[i] != 0; ++i) {
    if (helpFile[i] == L'\\' || helpFile[i] == L'/' || helpFile[i] == L':') cut = i + 1;
  }
  if (cut > kRegistrationPathCapacity - 1) cut = kRegistrationPathCapacity - 1;
  return std::wstring(helpFile, cut);
}

HRESULT LoadOwnTypeLibrary(HINSTANCE typeLibModule, OwnTypeLibrary* loaded) {
  if (loaded == nullptr) return E_POINTER;
  wchar_t path[kRegistrationPathCapacity];
  HRESULT hr = GetRegistrationModulePath(typeLibModule, path);
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

HRESULT RegisterOwnTypeLibrary(HINSTANCE typeLibModule) {
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
      PerUserTypeLibFunction<RegisterTypeLibFunction>("RegisterTypeLibForUser");
  if (registerFunction == nullptr) registerFunction = &RegisterTypeLib;
  return registerFunction(loaded.library.Get(), loaded.path.Get(),
                          hasHelpDirectory ? &helpDirectory[0] : nullptr);
}

HRESULT UnregisterOwnTypeLibrary(HINSTANCE typeLibModule) {
  OwnTypeLibrary loaded;
  HRESULT hr = LoadOwnTypeLibrary(typeLibModule, &loaded);
  if (FAILED(hr)) return hr;

  ScopedLibAttr attributes(loaded.library.Get());
  hr = attributes.Load();
  if (FAILED(hr)) return hr;
  const TLIBATTR& attr = *attributes.Get();

  UnregisterTypeLibFunction unregisterFunction =
      PerUserTypeLibFunction<UnregisterTypeLibFunction>("UnRegisterTypeLibForUser");
  if (unregisterFunction == nullptr) unregisterFunction = &UnRegisterTypeLib;
  return unregisterFunction(attr.guid, attr.wMajorVerNum, attr.wMinorVerNum, attr.lcid, attr.syskind);
}

HRESULT UpdateClassRegistry(CStavoraModule& module, std::uint16_t scriptId, bool registering) {
  RegistrationModuleAdapter<CStavoraModule> adapter(module);
  return RunRegistrationResource(adapter, scriptId, registering, nullptr);
}

namespace {

// The application-ID script with its one extra variable.
HRESULT RunAppIdScript(CStavoraModule& module, bool registering) {
  const RegistrationVariable variables[] = {
      {u"APPID", reinterpret_cast<const char16_t*>(kStavoraAppId)},
      {nullptr, nullptr},
  };
  RegistrationModuleAdapter<CStavoraModule> adapter(module);
  return RunRegistrationResource(adapter, kAppIdScriptId, registering, variables);
}

// Each row's own script, in table order; the first failure ends the walk.
// The rows carry no component categories, so there are none to add or remove.
HRESULT UpdateClassRows(ClassTable& table, bool registering) {
  for (ClassEntry& row : table) {
    if (row.updateRegistry == nullptr) continue;
    const HRESULT hr = row.updateRegistry(registering);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT RegisterSteps(ClassTable& table, CStavoraModule& module) {
  HRESULT hr = RunAppIdScript(module, true);
  if (FAILED(hr)) return hr;
  hr = UpdateClassRows(table, true);
  if (FAILED(hr)) return hr;
  return RegisterOwnTypeLibrary(table.TypeLibModule());
}

HRESULT UnregisterSteps(ClassTable& table, CStavoraModule& module) {
  HRESULT hr = UpdateClassRows(table, false);
  if (FAILED(hr)) return hr;
  hr = UnregisterOwnTypeLibrary(table.TypeLibModule());
  if (FAILED(hr)) return hr;
  return RunAppIdScript(module, false);
}

}  // namespace

HRESULT RegisterServer(ClassTable& table, CStavoraModule& module) {
  ThreadLocaleScope locale;
  return RegisterSteps(table, module);
}

HRESULT UnregisterServer(ClassTable& table, CStavoraModule& module) {
  ThreadLocaleScope locale;
  return UnregisterSteps(table, module);
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

  const HRESULT hr = RegisterServer(table, module);
  if (FAILED(hr)) {
    // Take back what the failed registration wrote. Its own result is not
    // reported: the caller needs to know why registration failed.
    (void)UnregisterServer(table, module);
  }
  return hr;
}

}  // namespace stavora
