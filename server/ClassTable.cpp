// ClassTable: finding a class's row, double-checked creation of its class
// object, and releasing the cached objects at unload.
#include "server/ClassTable.h"

#include "server/StavoraModule.h"

namespace stavora {

ClassTable::ClassTable(HINSTANCE typeLibModule, const ClassEntry& row,
                       LockInitialiser initialiseLock)
    : m_typeLibModule(typeLibModule), m_rows{row} {
  if (initialiseLock(&m_lock)) {
    m_initialised = true;
  } else {
    g_initialisationFailed = true;
  }
}

ClassTable::~ClassTable() {
  if (!m_initialised) return;
  for (ClassEntry& row : *this) {
    if (row.classObject != nullptr) {
      row.classObject->Release();
      row.classObject = nullptr;
    }
  }
  DeleteCriticalSection(&m_lock);
  m_initialised = false;
}

HRESULT ClassTable::GetClassObject(REFCLSID clsid, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (!m_initialised) return E_UNEXPECTED;

  ClassEntry* found = nullptr;
  for (ClassEntry& row : *this) {
    if (row.createClassObject != nullptr && IsEqualCLSID(*row.clsid, clsid)) {
      found = &row;
      break;
    }
  }
  if (found == nullptr) return CLASS_E_CLASSNOTAVAILABLE;

  HRESULT hr = S_OK;
  if (found->classObject == nullptr) {
    EnterCriticalSection(&m_lock);
    if (found->classObject == nullptr) {
      IUnknown* created = nullptr;
      hr = found->createClassObject(found->createInstance, IID_IUnknown,
                                    reinterpret_cast<void**>(&created));
      if (SUCCEEDED(hr)) {
        MemoryBarrier();  // the object is complete before others can see it
        found->classObject = created;
      }
    }
    LeaveCriticalSection(&m_lock);
  }
  if (found->classObject != nullptr) hr = found->classObject->QueryInterface(iid, out);
  if (*out == nullptr && hr == S_OK) return CLASS_E_CLASSNOTAVAILABLE;
  return hr;
}

}  // namespace stavora
