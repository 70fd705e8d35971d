// Self-registration: the order of the scripts and of the type library, the
// thread locale around them, and loading and (un)registering the type library.
#include "server/Registration.h"

#include "platform/ScopedHandles.h"
#include "platform/WideText.h"
#include "registrar/PerUserSwitch.h"
#include "registrar/RegistrationModule.h"
#include "registrar/ResourceScript.h"
#include "resources/Stavora.h"
#include "server/TypeAttributes.h"

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
  RegistrationModuleAdapter<CStavoraModule> adapter(module);
  return RunRegistrationResource(adapter, kAppIdScriptId, registering, kModuleVariables);
}

// Each row's own script, in table order; the first failure ends the walk.
// The rows carry no component categories, so there are none to add or remove.
HRESULT UpdateClassRows(ClassTable& table, CStavoraModule& module, bool registering) {
  for (ClassEntry& row : table) {
    if (row.updateRegistry == nullptr) continue;
    const HRESULT hr = row.updateRegistry(module, registering);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

HRESULT RegisterSteps(ClassTable& table, CStavoraModule& module) {
  HRESULT hr = RunAppIdScript(module, true);
  if (FAILED(hr)) return hr;
  hr = UpdateClassRows(table, module, true);
  if (FAILED(hr)) return hr;
  return RegisterOwnTypeLibrary(table.TypeLibModule());
}

HRESULT UnregisterSteps(ClassTable& table, CStavoraModule& module) {
  HRESULT hr = UpdateClassRows(table, module, false);
  if (FAILED(hr)) return hr;
  hr = UnregisterOwnTypeLibrary(table.TypeLibModule());
  if (FAILED(hr)) return hr;
  hr = RunAppIdScript(module, false);
  if (FAILED(hr)) return hr;
  return KeepRegistrationOfView(module, table.TypeLibModule(), OtherBitnessView());
}

constexpr REGSAM ViewAccess(RegistryView view) {
  return view == RegistryView::k32 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
}

// The default value of `path` under `root` in `view`; empty when absent.
std::wstring ReadDefaultString(HKEY root, const std::wstring& path, RegistryView view) {
  ScopedRegKey key;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_QUERY_VALUE | ViewAccess(view), key.Receive()) != ERROR_SUCCESS) {
    return std::wstring();
  }
  wchar_t text[kRegistrationPathCapacity + 1];
  DWORD bytes = sizeof(text) - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key.Get(), nullptr, nullptr, &type, reinterpret_cast<BYTE*>(text), &bytes) !=
          ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::wstring();
  }
  text[bytes / sizeof(wchar_t)] = 0;
  return text;
}

std::wstring GuidText(REFGUID guid) {
  wchar_t text[40];
  if (StringFromGUID2(guid, text, 40) == 0) return std::wstring();
  return text;
}

WString Portable(const std::wstring& text) { return WString(text.begin(), text.end()); }
std::wstring Native(const WString& text) { return std::wstring(text.begin(), text.end()); }

}  // namespace

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

RegistryView OtherBitnessView() { return sizeof(void*) == 8 ? RegistryView::k32 : RegistryView::k64; }

HRESULT KeepRegistrationOfView(CStavoraModule& module, HINSTANCE typeLibModule, RegistryView view) {
  const bool perUser = PerUserRegistration();
  const HKEY scriptRoot = perUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE;
  const std::wstring classes = L"Software\\Classes";
  const std::wstring serverKey =
      classes + L"\\CLSID\\" + GuidText(CLSID_StavoraLookup) + L"\\InprocServer32";
  const std::wstring registeredFile = ReadDefaultString(scriptRoot, serverKey, view);
  if (registeredFile.empty()) return S_OK;  // no registration there to keep

  // The scripts, run as that registration ran them, in its view.
  IRegistry& registry = SystemRegistryView(view);
  const WString file = Portable(registeredFile);
  RegistrationModuleAdapter<CStavoraModule> adapter(module);
  HRESULT hr = RunRegistrationResourceFor(adapter, file.c_str(), kAppIdScriptId, true,
                                          kModuleVariables, registry);
  if (FAILED(hr)) return hr;
  hr = RunRegistrationResourceFor(adapter, file.c_str(), kLookupClassScriptId, true, nullptr, registry);
  if (FAILED(hr)) return hr;

  // The type library, when that registration registered it: per user it may
  // stand machine-wide where the platform has no per-user registration.
  OwnTypeLibrary loaded;
  hr = LoadOwnTypeLibrary(typeLibModule, &loaded);
  if (FAILED(hr)) return hr;
  TypeLibraryFacts facts;
  hr = ReadTypeLibraryFacts(loaded.library.Get(), &facts);
  if (FAILED(hr)) return hr;
  const char16_t* platform = view == RegistryView::k32 ? u"win32" : u"win64";
  const std::wstring fileKey =
      classes + L"\\" + Native(TypeLibraryFileKey(facts, platform));
  HKEY typeLibRoot = scriptRoot;
  std::wstring typeLibFile = ReadDefaultString(typeLibRoot, fileKey, view);
  if (typeLibFile.empty() && perUser) {
    typeLibRoot = HKEY_LOCAL_MACHINE;
    typeLibFile = ReadDefaultString(typeLibRoot, fileKey, view);
  }
  if (typeLibFile.empty()) return S_OK;

  RegKey classesKey = kNoKey;
  LONG error = registry.OpenKey(reinterpret_cast<RegKey>(typeLibRoot), u"Software\\Classes",
                                regaccess::kRead | regaccess::kWrite, &classesKey);
  if (error != ERROR_SUCCESS) return HRESULT_FROM_WIN32(error);
  const WString typeLibPath = Portable(typeLibFile);
  error = WriteTypeLibraryEntries(registry, classesKey, facts, platform, typeLibPath, HelpDirectoryOfPath(typeLibPath));
  if (error == ERROR_SUCCESS) error = WriteInterfaceEntries(registry, classesKey, facts);
  // The entries are written; a failed close has nothing left to undo.
  registry.CloseKey(classesKey);
  return error == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(error);
}

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
