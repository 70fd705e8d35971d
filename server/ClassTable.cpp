// ClassTable: finding a class's row, double-checked creation of its class
// object, and releasing the cached objects at unload.
#include "server/ClassTable.h"

#include <utility>

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

  PublishedResource<InterfaceTraits<IUnknown>>& classObject = m_classObjects[found - m_rows];
  HRESULT hr = S_OK;
  if (classObject.Get() == nullptr) {
    EnterCriticalSection(&m_lock);
    if (classObject.Get() == nullptr) {
      ScopedInterface<IUnknown> created;
      hr = found->createClassObject(found->createInstance, IID_IUnknown,
                                    reinterpret_cast<void**>(created.Receive()));
      if (SUCCEEDED(hr)) classObject.Publish(std::move(created));
    }
    LeaveCriticalSection(&m_lock);
  }
  if (IUnknown* object = classObject.Get()) hr = object->QueryInterface(iid, out);
  if (*out == nullptr && hr == S_OK) return CLASS_E_CLASSNOTAVAILABLE;
  return hr;
}

}  // namespace stavora
