// The lookup class without its COM forms, for tests that build and destroy it
// directly: IUnknown and IDispatch are answered trivially (no COM in play).
// It may read through a profile service of the test's own.
#pragma once

#include <memory>
#include <utility>

#include "store/StavoraLookup.h"

namespace stavora {

class DirectLookup final : public CStavoraLookup {
 public:
  DirectLookup() = default;
  explicit DirectLookup(std::shared_ptr<IProfileSource> source) : CStavoraLookup(std::move(source)) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    if (out != nullptr) *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
    return E_NOTIMPL;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                   UINT*) override {
    return E_NOTIMPL;
  }
};

}  // namespace stavora
