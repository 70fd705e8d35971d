// The one class object the COM runtime gets for the lookup class: it makes
// lookup objects and keeps the library loaded while a client locks it.
#include "server/ClassFactory.h"

#include <new>

#include "server/StavoraModule.h"

namespace stavora {

HRESULT CStavoraClassFactory::Create(InstanceCreationFunction createInstance,
                                     CStavoraModule& module, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  auto* factory = new (std::nothrow) CStavoraClassFactory(createInstance, module);
  if (factory == nullptr) return E_OUTOFMEMORY;
  const HRESULT hr = factory->QueryInterface(iid, out);
  if (FAILED(hr)) delete factory;
  return hr;
}

HRESULT CStavoraClassFactory::QueryInterface(REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IClassFactory)) {
    AddRef();
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  return E_NOINTERFACE;
}

ULONG CStavoraClassFactory::AddRef() {
  const LONG count = InterlockedIncrement(&m_refCount);
  // The first client reference on top of the class table's own one.
  if (count == 2) m_module.AddLock();
  return static_cast<ULONG>(count);
}

ULONG CStavoraClassFactory::Release() {
  const LONG count = InterlockedDecrement(&m_refCount);
  if (count == 0) {
    delete this;
  } else if (count == 1) {
    // The last client reference is gone; only the class table's remains.
    m_module.ReleaseLock();
  }
  return static_cast<ULONG>(count);
}

HRESULT CStavoraClassFactory::CreateInstance(IUnknown* outer, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (outer != nullptr && !IsEqualIID(iid, IID_IUnknown)) return CLASS_E_NOAGGREGATION;
  return m_createInstance(outer, iid, out);
}

HRESULT CStavoraClassFactory::LockServer(BOOL lock) {
  if (lock) {
    m_module.AddLock();
  } else {
    m_module.ReleaseLock();
  }
  return S_OK;
}

}  // namespace stavora
