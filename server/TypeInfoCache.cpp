// TypeInfoCache: one-time loading of the interface's type information from
// the module's own file, the name cache, and the IDispatch operations.
#include "server/TypeInfoCache.h"

#include <new>
#include <utility>

#include "platform/ModuleFile.h"
#include "server/StavoraModule.h"
#include "server/TypeAttributes.h"

namespace stavora {

HRESULT TypeInfoCache::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT TypeInfoCache::GetTypeInfo(UINT index, LCID /*locale*/, ITypeInfo** typeInfo) {
  // The out pointer first: every failure leaves it null, a bad index too.
  if (typeInfo == nullptr) return E_POINTER;
  *typeInfo = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  HRESULT hr = S_OK;
  if (m_typeInfo.Get() == nullptr) hr = EnsureLoaded();
  *typeInfo = m_typeInfo.Get();
  if (*typeInfo == nullptr) return FAILED(hr) ? hr : E_FAIL;
  (*typeInfo)->AddRef();
  return S_OK;
}

HRESULT TypeInfoCache::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount,
                                     LCID /*locale*/, DISPID* dispIds) {
  // IDispatch reserves the parameter: anything but IID_NULL is refused.
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  // The type information reads every name it is given and writes one DISPID
  // for each; it checks none of the arrays, so a caller's slip must be
  // caught here rather than fault inside it.
  if (dispIds == nullptr) return E_POINTER;
  if (names == nullptr || nameCount == 0) return E_INVALIDARG;
  for (UINT i = 0; i < nameCount; ++i) {
    if (names[i] == nullptr) return E_INVALIDARG;
  }
  HRESULT hr = EnsureLoaded();
  ITypeInfo* typeInfo = m_typeInfo.Get();
  if (typeInfo == nullptr) return hr;
  if (nameCount == 1 && FindCachedName(names[0], &dispIds[0])) {
    return S_OK;
  }
  return typeInfo->GetIDsOfNames(names, nameCount, dispIds);
}

HRESULT TypeInfoCache::Invoke(IDispatch* instance, DISPID member, REFIID iid,
                              LCID /*locale*/, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* exception, UINT* argumentError) {
  if (!IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  // The arguments are read without checks on the way to the method; the
  // result, exception and argument-error pointers may be null.
  if (params == nullptr) return E_INVALIDARG;
  if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs) return E_INVALIDARG;
  HRESULT hr = EnsureLoaded();
  ITypeInfo* typeInfo = m_typeInfo.Get();
  if (typeInfo == nullptr) return hr;
  return typeInfo->Invoke(instance, member, flags, params, result, exception, argumentError);
}

HRESULT TypeInfoCache::EnsureLoaded() {
  // Both parts are published only when complete, so a reader that sees both
  // needs no lock.
  if (m_typeInfo.Get() != nullptr && m_nameCache.Get() != nullptr) return S_OK;
  if (!m_module.IsInitialised()) return E_UNEXPECTED;

  m_module.EnterModuleLock();
  HRESULT hr = S_OK;
  if (m_typeInfo.Get() == nullptr) hr = LoadTypeInformation();
  if (m_typeInfo.Get() != nullptr && m_nameCache.Get() == nullptr) hr = BuildNameCache();
  m_module.LeaveModuleLock();
  return hr;
}

HRESULT TypeInfoCache::LoadTypeInformation() {
  ModulePath path;
  // Whatever keeps the path from being had, the type information is not.
  if (FAILED(GetModulePath(m_module.ModuleHandle(), path))) return E_FAIL;

  ScopedInterface<ITypeLib> typeLib;
  HRESULT hr = LoadTypeLib(path, typeLib.Receive());
  if (FAILED(hr)) return hr;

  ScopedInterface<ITypeInfo> typeInfo;
  hr = typeLib->GetTypeInfoOfGuid(m_iid, typeInfo.Receive());
  if (FAILED(hr)) return hr;
  m_typeInfo.Publish(std::move(typeInfo));
  // Without the callback the type information is kept until this record
  // goes; nothing else depends on it, so the result is not examined.
  m_module.AddTerminationCallback(&TypeInfoCache::CleanUp, this);
  return hr;
}

HRESULT TypeInfoCache::BuildNameCache() {
  ITypeInfo* typeInfo = m_typeInfo.Get();
  ScopedTypeAttr attributes(typeInfo);
  // Without attributes there is no cache; names go to the type information,
  // and the next call tries again.
  if (FAILED(attributes.Load())) return S_OK;

  const LONG count = attributes.Get()->cFuncs;
  // An interface without functions still gets a (one-element, unused) array
  // so that "present" is distinguishable from "not built".
  ScopedResource<NameCacheTraits> entries(new (std::nothrow) NameCacheEntry[count != 0 ? count : 1]);
  if (!entries) return E_OUTOFMEMORY;
  for (LONG index = 0; index < count; ++index) {
    FUNCDESC* function = nullptr;
    if (FAILED(typeInfo->GetFuncDesc(index, &function))) continue;
    NameCacheEntry& entry = entries.Get()[index];
    if (SUCCEEDED(typeInfo->GetDocumentation(function->memid, entry.name.Receive(), nullptr, nullptr, nullptr))) {
      entry.length = static_cast<UINT>(entry.name.Length());
      entry.dispId = function->memid;
    }
    typeInfo->ReleaseFuncDesc(function);
  }
  m_entryCount = count;
  m_nameCache.Publish(std::move(entries));
  return S_OK;
}

bool TypeInfoCache::FindCachedName(const OLECHAR* name, DISPID* dispId) const {
  const NameCacheEntry* entries = m_nameCache.Get();
  if (entries == nullptr) return false;
  const UINT length = static_cast<UINT>(lstrlenW(name));
  for (LONG index = m_entryCount - 1; index >= 0; --index) {
    const NameCacheEntry& entry = entries[index];
    if (!entry.name || entry.length != length) continue;
    if (memcmp(entry.name.Get(), name, length * sizeof(OLECHAR)) == 0) {
      *dispId = entry.dispId;
      return true;
    }
  }
  return false;
}

void TypeInfoCache::CleanUp(void* argument) {
  auto* cache = static_cast<TypeInfoCache*>(argument);
  cache->m_nameCache.Reset();  // its entries' names free themselves
  cache->m_typeInfo.Reset();
  cache->m_entryCount = 0;
}

}  // namespace stavora
