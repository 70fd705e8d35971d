// The lookup class's interface table: IStavoraLookup, then IDispatch, both
// answered by the one dispatch pointer, which is also the object's IUnknown.
#pragma once

#include "resources/Stavora.h"

namespace stavora {

// Searches the table for `iid`. A hit stores `dispatch` in *out after an
// AddRef through it (which an aggregated inner part forwards to its outer
// object) and gives S_OK; a miss leaves *out null and gives E_NOINTERFACE.
inline HRESULT SearchLookupInterfaceTable(IStavoraLookup* dispatch, REFIID iid, void** out) {
  if (out == nullptr) return E_POINTER;
  *out = nullptr;
  if (IsEqualIID(iid, IID_IUnknown) || IsEqualIID(iid, IID_IStavoraLookup) ||
      IsEqualIID(iid, IID_IDispatch)) {
    dispatch->AddRef();
    *out = dispatch;
    return S_OK;
  }
  return E_NOINTERFACE;
}

}  // namespace stavora
