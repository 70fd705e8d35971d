// CStavoraClassFactory: the class object of the lookup class. Only client
// references hold a module lock; the class table's own first reference does
// not, so the cached class object alone never keeps the library loaded.
#pragma once

#include <windows.h>

#include <unknwn.h>

namespace stavora {

class CStavoraModule;

using InstanceCreationFunction = HRESULT (*)(IUnknown* outer, REFIID iid, void** out);

class CStavoraClassFactory final : public IClassFactory {
 public:
  // Creates a class object around `createInstance` and asks it for `iid`
  // (IUnknown gives the count 1). A failed QueryInterface destroys it again.
  static HRESULT Create(InstanceCreationFunction createInstance, CStavoraModule& module,
                        REFIID iid, void** out);

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID iid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
  virtual ~CStavoraClassFactory() = default;

 private:
  CStavoraClassFactory(InstanceCreationFunction createInstance, CStavoraModule& module)
      : m_createInstance(createInstance), m_module(module) {}

  volatile LONG m_refCount = 0;
  InstanceCreationFunction m_createInstance;
  CStavoraModule& m_module;
};

}  // namespace stavora
