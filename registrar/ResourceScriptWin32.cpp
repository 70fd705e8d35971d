// Loading a registration script from a module's resources and running it,
// and the run of one of the module's own scripts with its standard variables.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>

#include "platform/ScopedHandles.h"
#include "platform/WideText.h"
#include "registrar/RegScriptParser.h"
#include "registrar/RegistrarResults.h"
#include "registrar/ResourceScript.h"

namespace stavora {
namespace {

constexpr DWORD kModulePathCapacity = 260;
constexpr std::size_t kEscapedPathCapacity = 520;
constexpr std::size_t kQuotedPathCapacity = 523;
// Scripts whose UTF-16 form fits this many units are converted on the stack.
constexpr std::size_t kInlineTextUnits = 512;

// The result for the calling thread's last error. A failing call that left no
// error code still fails.
std::int32_t LastErrorResult() {
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return regresult::kFail;
  return regresult::FromSystemError(static_cast<std::int32_t>(error));
}

}  // namespace

std::int32_t RunResourceScript(CRegObject& registrar, const char16_t* moduleFile, std::uint16_t resourceId,
                               const char16_t* resourceType, bool doRegister, IRegistry& registry) {
  if (moduleFile == nullptr || resourceType == nullptr) return regresult::kPointer;
  ScopedModule module(LoadLibraryExW(AsWide(moduleFile), nullptr, LOAD_LIBRARY_AS_DATAFILE));
  if (module.Get() == nullptr) return LastErrorResult();

  HRSRC resource = FindResourceW(module.Get(), MAKEINTRESOURCEW(resourceId), AsWide(resourceType));
  if (resource == nullptr) return LastErrorResult();
  HGLOBAL loaded = LoadResource(module.Get(), resource);
  if (loaded == nullptr) return LastErrorResult();
  const DWORD size = SizeofResource(module.Get(), resource);
  const char* bytes = static_cast<const char*>(LockResource(loaded));
  if (bytes == nullptr && size != 0) return LastErrorResult();
  if (size > 0x3FFFFFFE) return regresult::kOutOfMemory;

  // The resource is 8-bit text of exactly `size` bytes, with no terminator.
  wchar_t inlineText[kInlineTextUnits];
  std::unique_ptr<wchar_t[]> heapText;
  wchar_t* text = inlineText;
  if (size + 1 > kInlineTextUnits) {
    heapText.reset(new (std::nothrow) wchar_t[size + 1]);
    if (!heapText) return regresult::kOutOfMemory;
    text = heapText.get();
  }
  const int converted = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), text,
                                            static_cast<int>(size));
  if (converted == 0) return LastErrorResult();
  text[converted] = 0;

  CRegScriptParser parser(registrar, registry);
  return parser.RunScript(AsText(text), doRegister);
}

std::int32_t ResourceRegister(CRegObject& registrar, const char16_t* moduleFile, std::uint16_t resourceId,
                              const char16_t* resourceType) {
  return RunResourceScript(registrar, moduleFile, resourceId, resourceType, true);
}

std::int32_t ResourceUnregister(CRegObject& registrar, const char16_t* moduleFile, std::uint16_t resourceId,
                                const char16_t* resourceType) {
  return RunResourceScript(registrar, moduleFile, resourceId, resourceType, false);
}

namespace {

// The module's own file path; a failure result when there is none or it
// fills the whole buffer.
std::int32_t OwnModulePath(HMODULE instance, wchar_t (&path)[kModulePathCapacity], DWORD* length) {
  *length = GetModuleFileNameW(instance, path, kModulePathCapacity);
  if (*length == 0) return LastErrorResult();
  if (*length == kModulePathCapacity) return regresult::kInsufficientBuffer;
  return regresult::kOk;
}

// Defines the caller's variables, the module's common ones, then "Module"
// and "Module_Raw" for `registeredPath` (the module's own file when null),
// and runs script `resourceId` of the module's own file.
std::int32_t RunWithModuleVariables(IRegistrationModule& module, const wchar_t* registeredPath,
                                    std::uint16_t resourceId, bool doRegister,
                                    const RegistrationVariable* extraVariables, IRegistry& registry) {
  CRegObject registrar;
  if (extraVariables != nullptr) {
    for (const RegistrationVariable* pair = extraVariables; pair->name != nullptr; ++pair) {
      // A caller variable that cannot be defined is simply absent; the
      // script's expansion reports any use of it.
      registrar.DefineVariable(pair->name, pair->value);
    }
  }
  std::int32_t hr = module.AddCommonVariables(&registrar);
  if (regresult::Failed(hr)) return hr;

  HMODULE instance = static_cast<HMODULE>(module.ModuleInstance());
  wchar_t path[kModulePathCapacity];
  DWORD length = 0;
  hr = OwnModulePath(instance, path, &length);
  if (regresult::Failed(hr)) return hr;
  const wchar_t* named = registeredPath != nullptr ? registeredPath : path;
  const std::size_t namedLength = registeredPath != nullptr ? wcslen(registeredPath) : length;

  // Apostrophes doubled, so that the path can stand inside a quoted token.
  char16_t escaped[kEscapedPathCapacity];
  std::size_t used = 0;
  for (std::size_t i = 0; i < namedLength && used < kEscapedPathCapacity - 1; ++i) {
    escaped[used++] = static_cast<char16_t>(named[i]);
    if (named[i] == L'\'' && used < kEscapedPathCapacity - 1) escaped[used++] = u'\'';
  }
  escaped[used] = 0;

  const char16_t* moduleValue = escaped;
  char16_t quoted[kQuotedPathCapacity];
  if (instance == nullptr || instance == GetModuleHandleW(nullptr)) {
    if (used + 3 > kQuotedPathCapacity) return regresult::kFail;
    quoted[0] = u'"';
    for (std::size_t i = 0; i < used; ++i) quoted[i + 1] = escaped[i];
    quoted[used + 1] = u'"';
    quoted[used + 2] = 0;
    moduleValue = quoted;
  }

  hr = registrar.DefineVariable(u"Module", moduleValue);
  if (regresult::Failed(hr)) return hr;
  hr = registrar.DefineVariable(u"Module_Raw", escaped);
  if (regresult::Failed(hr)) return hr;

  return RunResourceScript(registrar, AsText(path), resourceId, u"REGISTRY", doRegister,
                           registry);
}

}  // namespace

std::int32_t RunRegistrationResource(IRegistrationModule& module, std::uint16_t resourceId, bool doRegister,
                                     const RegistrationVariable* extraVariables, IRegistry& registry) {
  return RunWithModuleVariables(module, nullptr, resourceId, doRegister, extraVariables, registry);
}

std::int32_t RunRegistrationResourceFor(IRegistrationModule& module, const char16_t* registeredPath,
                                        std::uint16_t resourceId, bool doRegister,
                                        const RegistrationVariable* extraVariables, IRegistry& registry) {
  if (registeredPath == nullptr) return regresult::kPointer;
  return RunWithModuleVariables(module, AsWide(registeredPath), resourceId, doRegister,
                                extraVariables, registry);
}

}  // namespace stavora
