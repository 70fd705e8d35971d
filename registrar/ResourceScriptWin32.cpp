// Loading a registration script from a module's resources and running it,
// and the run of one of the module's own scripts with its standard variables.
#include <windows.h>

#include <cwchar>
#include <memory>
#include <new>

#include "platform/ModuleFile.h"
#include "platform/ScopedHandles.h"
#include "platform/WideText.h"
#include "registrar/RegScriptParser.h"
#include "registrar/RegistrarResults.h"
#include "registrar/ResourceScript.h"

namespace stavora {
namespace {

// Scripts whose UTF-16 form fits this many units are converted on the stack.
constexpr std::size_t kInlineTextUnits = 512;

// A script's text: inside the object when it is short, else on the heap.
struct ScriptText {
  wchar_t inlineText[kInlineTextUnits];
  std::unique_ptr<wchar_t[]> heapText;
  wchar_t* text = nullptr;
};

// The module's script `resourceId` of type `resourceType` as text, converted
// from the thread's ANSI code page (terminated).
std::int32_t LoadResourceText(const char16_t* moduleFile, std::uint16_t resourceId, const char16_t* resourceType,
                              ScriptText* script) {
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
  script->text = script->inlineText;
  if (size + 1 > kInlineTextUnits) {
    script->heapText.reset(new (std::nothrow) wchar_t[size + 1]);
    if (!script->heapText) return regresult::kOutOfMemory;
    script->text = script->heapText.get();
  }
  const int converted = MultiByteToWideChar(CP_THREAD_ACP, 0, bytes, static_cast<int>(size), script->text,
                                            static_cast<int>(size));
  if (converted == 0) return LastErrorResult();
  script->text[converted] = 0;
  return regresult::kOk;
}

}  // namespace

std::int32_t RunResourceScript(CRegObject& registrar, const char16_t* moduleFile, std::uint16_t resourceId,
                               const char16_t* resourceType, bool doRegister, IRegistry& registry) {
  ScriptText script;
  const std::int32_t hr = LoadResourceText(moduleFile, resourceId, resourceType, &script);
  if (regresult::Failed(hr)) return hr;
  CRegScriptParser parser(registrar, registry);
  return parser.RunScript(AsText(script.text), doRegister);
}

std::int32_t RunResourceScriptAt(CRegObject& registrar, const char16_t* moduleFile, std::uint16_t resourceId,
                                 const char16_t* resourceType, bool doRegister, const ScriptTarget& target) {
  ScriptText script;
  const std::int32_t hr = LoadResourceText(moduleFile, resourceId, resourceType, &script);
  if (regresult::Failed(hr)) return hr;
  return RunScriptAt(registrar, AsText(script.text), doRegister, target);
}

namespace {

// Defines the caller's variables, the module's common ones, then "Module"
// and "Module_Raw" for the module's own file, and runs script `resourceId` of
// that file, at `target` when one is given and otherwise against `registry`
// as the per-user switch says.
std::int32_t RunWithModuleVariables(IRegistrationModule& module, std::uint16_t resourceId, bool doRegister,
                                    const RegistrationVariable* extraVariables, IRegistry& registry,
                                    const ScriptTarget* target = nullptr) {
  CRegObject registrar;
  HMODULE instance = static_cast<HMODULE>(module.ModuleInstance());
  ModulePath path;
  std::int32_t hr = GetModulePath(instance, path);
  if (regresult::Failed(hr)) return hr;
  const bool quote = instance == nullptr || instance == GetModuleHandleW(nullptr);
  hr = DefineModuleVariables(registrar, module, extraVariables, AsText(path), quote);
  if (regresult::Failed(hr)) return hr;
  if (target != nullptr) {
    return RunResourceScriptAt(registrar, AsText(path), resourceId, u"REGISTRY", doRegister, *target);
  }
  return RunResourceScript(registrar, AsText(path), resourceId, u"REGISTRY", doRegister, registry);
}

}  // namespace

std::int32_t RunRegistrationResource(IRegistrationModule& module, std::uint16_t resourceId, bool doRegister,
                                     const RegistrationVariable* extraVariables, IRegistry& registry) {
  return RunWithModuleVariables(module, resourceId, doRegister, extraVariables, registry);
}

std::int32_t RunRegistrationResourceAt(IRegistrationModule& module, std::uint16_t resourceId, bool doRegister,
                                       const RegistrationVariable* extraVariables, const ScriptTarget& target) {
  return RunWithModuleVariables(module, resourceId, doRegister, extraVariables, target.registry, &target);
}

}  // namespace stavora
