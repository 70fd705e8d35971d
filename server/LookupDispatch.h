// The IDispatch half of the lookup class's dispatch interface, shared by the
// standalone form and the aggregated inner part: every operation goes to the
// process-wide type information of IStavoraLookup.
#pragma once

#include "platform/ComBoundary.h"
#include "resources/Stavora.h"
#include "server/ServerGlobals.h"
#include "server/TypeInfoCache.h"

namespace stavora {

// `Lookup` is the lookup class: a class deriving from IStavoraLookup that
// implements GetSections, GetSection and GetKey.
template <class Lookup>
class CStavoraDispatch : public Lookup {
 public:
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    return TypeInfoCache::GetTypeInfoCount(count);
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo) override {
    return LookupTypeInfo().GetTypeInfo(index, locale, typeInfo);
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount,
                                          LCID locale, DISPID* dispIds) override {
    return CallAtBoundary([&] {
      return LookupTypeInfo().GetIDsOfNames(iid, names, nameCount, locale, dispIds);
    });
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID member, REFIID iid, LCID locale, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* argumentError) override {
    return CallAtBoundary([&] {
      return LookupTypeInfo().Invoke(static_cast<IStavoraLookup*>(this), member, iid, locale,
                                     flags, params, result, exception, argumentError);
    });
  }
};

}  // namespace stavora
