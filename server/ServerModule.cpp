// The library's process-wide objects, its process notifications and its five
// exported entry points.
#include <windows.h>

#include <olectl.h>

#include "platform/ComBoundary.h"
#include "resources/Stavora.h"
#include "server/ClassFactory.h"
#include "server/ClassTable.h"
#include "server/LastStaticDestructor.h"
#include "server/LookupForms.h"
#include "server/Registration.h"
#include "server/ServerGlobals.h"
#include "server/StavoraModule.h"
#include "server/TypeInfoCache.h"
#include "store/StavoraLookup.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace stavora {

using CStavoraLookupObject = CStavoraLookupObjectT<CStavoraLookup>;
using CStavoraLookupInner = CStavoraLookupInnerT<CStavoraLookup>;
using CStavoraLookupAggregate = CStavoraLookupAggregateT<CStavoraLookup>;

namespace {

HINSTANCE ThisModule() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

HRESULT CreateLookupInstance(IUnknown* outer, REFIID iid, void** out) {
  return CreateLookupInstanceT<CStavoraLookup>(outer, iid, out);
}

HRESULT CreateLookupClassObject(InstanceCreationFunction createInstance, REFIID iid, void** out) {
  return CStavoraClassFactory::Create(createInstance, TheModule(), iid, out);
}

// Construction order matters: the class table first, then the shared type
// information record, then the module object. Teardown runs in reverse, so
// the module's termination callbacks (which clear the type information) run
// while the record still exists, and the class table releases the class
// object last.
ClassTable g_classTable(ThisModule(),
                        ClassEntry{&CLSID_StavoraLookup, &UpdateClassRegistryFrom<kLookupClassScriptId>,
                                   &CreateLookupClassObject, &CreateLookupInstance},
                        &CStavoraModule::InitialiseLock);
TypeInfoCache g_lookupTypeInfo(TheModule(), IID_IStavoraLookup);
CStavoraModule g_module(ThisModule());

// Set once the library has pinned itself in its process.
LONG g_pinned = 0;

// Keeps the library loaded until its process ends, from the first time a
// client asks for a class. The statically linked GCC runtime creates kernel
// objects that nothing gives back when the library is unloaded: on i686 the
// lock behind the registration of the DWARF unwind tables, made on every load,
// and on both builds what the first exception thrown after a load sets up.
// Loaded and unloaded again and again, as COM does with CoFreeUnusedLibraries,
// the library would leave those behind each time. Pinned, it is loaded once
// per process and costs that once; DllCanUnloadNow still answers as before.
void PinInProcess() {
  if (InterlockedCompareExchange(&g_pinned, 0, 0) != 0) return;
  HMODULE self = nullptr;
  // A failure leaves the library unpinned, as it was; the next request tries
  // again.
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                         reinterpret_cast<LPCWSTR>(&__ImageBase), &self)) {
    InterlockedExchange(&g_pinned, 1);
  }
}

}  // namespace

CStavoraModule& TheModule() { return g_module; }

TypeInfoCache& LookupTypeInfo() { return g_lookupTypeInfo; }

}  // namespace stavora

// The statically linked C++ runtime sets aside an emergency pool for
// exceptions thrown while memory is short (about 73 KiB on x64) when the
// library loads, and never gives it back on its own: every load and unload
// would leave it behind in the host's heap. libstdc++ frees it through this
// hook, which it provides for leak checkers. It runs after the last static
// destructor, which may still throw and catch.
namespace __gnu_cxx {
void __freeres() noexcept;
}

namespace {
void FreeRuntimePool() { __gnu_cxx::__freeres(); }
__attribute__((init_priority(101))) stavora::LastStaticDestructor g_runtimePool(&FreeRuntimePool);
}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE /*instance*/, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_ATTACH && stavora::g_initialisationFailed) return FALSE;
  // The static destructors run after this returns; the pool goes after them.
  if (reason == DLL_PROCESS_DETACH) g_runtimePool.Detaching(reserved);
  return TRUE;
}

STDAPI DllCanUnloadNow() { return stavora::TheModule().LockCount() == 0 ? S_OK : S_FALSE; }

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, LPVOID* out) {
  stavora::PinInProcess();
  return stavora::CallAtBoundary(
      [&] { return stavora::g_classTable.GetClassObject(clsid, iid, out); });
}

STDAPI DllRegisterServer() {
  return stavora::CallAtBoundary(
      [] { return stavora::RegisterServer(stavora::g_classTable, stavora::TheModule()); });
}

STDAPI DllUnregisterServer() {
  return stavora::CallAtBoundary(
      [] { return stavora::UnregisterServer(stavora::g_classTable, stavora::TheModule()); });
}

STDAPI DllInstall(BOOL install, LPCWSTR commandLine) {
  return stavora::CallAtBoundary([&] {
    return stavora::InstallServer(stavora::g_classTable, stavora::TheModule(), install,
                                  commandLine);
  });
}
