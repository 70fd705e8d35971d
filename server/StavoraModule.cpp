// The library-wide state every object and export shares: how many objects and
// locks keep the library loaded, what runs at unload, and the Module variable
// that registration scripts expand.
#include "server/StavoraModule.h"

#include <new>

#include "platform/WideText.h"
#include "registrar/RegistrarBase.h"
#include "registrar/ResourceScript.h"
#include "server/StavoraIdentity.h"

namespace stavora {

bool g_initialisationFailed = false;

const RegistrationVariable kModuleVariables[] = {
    {u"APPID", kStavoraAppIdText},
    {nullptr, nullptr},
};

bool CStavoraModule::InitialiseLock(CRITICAL_SECTION* lock) {
  // The spin-count form reports a failed allocation instead of raising.
  return InitializeCriticalSectionAndSpinCount(lock, 0) != FALSE;
}

CStavoraModule::CStavoraModule(HINSTANCE moduleHandle, LockInitialiser initialiseLock)
    : m_moduleHandle(moduleHandle) {
  if (initialiseLock(&m_lock)) {
    m_initialised = true;
  } else {
    g_initialisationFailed = true;
  }
}

CStavoraModule::~CStavoraModule() {
  if (!m_initialised) return;
  RunTerminationCallbacks();
  DeleteCriticalSection(&m_lock);
  m_initialised = false;
}

void CStavoraModule::RunTerminationCallbacks() {
  // At unload no other thread can reach the library, so the list is walked
  // without the lock.
  TerminationNode* node = m_terminationList;
  m_terminationList = nullptr;
  while (node != nullptr) {
    TerminationNode* next = node->next;
    node->callback(node->argument);
    delete node;
    node = next;
  }
}

LONG CStavoraModule::AddLock() { return InterlockedIncrement(&m_lockCount); }

LONG CStavoraModule::ReleaseLock() { return InterlockedDecrement(&m_lockCount); }

LONG CStavoraModule::LockCount() { return m_lockCount; }

HRESULT CStavoraModule::AddCommonVariables(IRegistrarBase* registrar) {
  if (registrar == nullptr) return E_POINTER;
  HRESULT hr = S_OK;
  for (const RegistrationVariable* variable = kModuleVariables;
       variable->name != nullptr && SUCCEEDED(hr); ++variable) {
    hr = registrar->DefineVariable(variable->name, variable->value);
  }
  return hr;
}

HRESULT CStavoraModule::AddTerminationCallback(TerminationCallback callback, void* argument) {
  if (!m_initialised) return E_UNEXPECTED;
  auto* node = new (std::nothrow) TerminationNode{callback, argument, nullptr};
  if (node == nullptr) return E_OUTOFMEMORY;
  EnterCriticalSection(&m_lock);
  node->next = m_terminationList;
  m_terminationList = node;
  LeaveCriticalSection(&m_lock);
  return S_OK;
}

}  // namespace stavora
