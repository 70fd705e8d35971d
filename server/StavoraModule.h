// CStavoraModule: the library as a whole. Counts the reasons that keep the DLL
// loaded, owns the module lock, and runs clean-up callbacks at unload.
#pragma once

#include <windows.h>

#include "registrar/ResourceScript.h"

namespace stavora {

class IRegistrarBase;

// Set when a static object of the library (class table or module object)
// could not initialise its lock; the process-attach notification then refuses
// the load.
extern bool g_initialisationFailed;

// The module's registration variables, ended by a pair without a name:
// AddCommonVariables defines them for every script run, and the
// application-ID script is handed them ahead of that.
extern const RegistrationVariable kModuleVariables[];

class CStavoraModule {
 public:
  using TerminationCallback = void (*)(void* argument);
  // How the module lock is set up; replaceable so that a failed set-up can be
  // exercised. Returns false when the lock could not be initialised.
  using LockInitialiser = bool (*)(CRITICAL_SECTION* lock);

  explicit CStavoraModule(HINSTANCE moduleHandle,
                          LockInitialiser initialiseLock = &InitialiseLock);
  // Teardown: runs the termination callbacks newest first, then deletes the
  // lock. Does nothing when the lock was never initialised.
  virtual ~CStavoraModule();

  CStavoraModule(const CStavoraModule&) = delete;
  CStavoraModule& operator=(const CStavoraModule&) = delete;

  virtual LONG AddLock();
  virtual LONG ReleaseLock();
  virtual LONG LockCount();
  // Defines "APPID" through the registrar and returns that call's result.
  virtual HRESULT AddCommonVariables(IRegistrarBase* registrar);

  // Pushes a callback to run at unload. E_OUTOFMEMORY when no node can be
  // allocated; E_UNEXPECTED when the module lock was never initialised.
  HRESULT AddTerminationCallback(TerminationCallback callback, void* argument);

  // The module lock, taken by the dispatch layer while it loads type
  // information. Only valid while IsInitialised().
  void EnterModuleLock() { EnterCriticalSection(&m_lock); }
  void LeaveModuleLock() { LeaveCriticalSection(&m_lock); }

  bool IsInitialised() const { return m_initialised; }
  HINSTANCE ModuleHandle() const { return m_moduleHandle; }

  // The real lock set-up: false only when memory is exhausted.
  static bool InitialiseLock(CRITICAL_SECTION* lock);

 private:
  struct TerminationNode {
    TerminationCallback callback;
    void* argument;
    TerminationNode* next;
  };

  void RunTerminationCallbacks();

  bool m_initialised = false;
  volatile LONG m_lockCount = 0;
  TerminationNode* m_terminationList = nullptr;
  CRITICAL_SECTION m_lock{};
  HINSTANCE m_moduleHandle;
};

}  // namespace stavora
