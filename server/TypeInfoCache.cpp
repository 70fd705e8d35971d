// TypeInfoCache: one-time loading of the interface's type information from
// the module's own file, the name cache, and the IDispatch operations.
#include "server/TypeInfoCache.h"

#include <new>

#include "server/StavoraModule.h"

namespace stavora {

namespace {

// Room for the module's path, as the platform's classic path limit allows.
constexpr DWORD kModulePathCapacity = 260;

}  // namespace

HRESULT TypeInfoCache::GetTypeInfoCount(UINT* count) {
  if (count == nullptr) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT TypeInfoCache::GetTypeInfo(UINT index, LCID /*locale*/, ITypeInfo** typeInfo) {
  if (index != 0) return DISP_E_BADINDEX;
  if (typeInfo == nullptr) return E_POINTER;
  HRESULT hr = S_OK;
  if (m_typeInfo == nullptr) hr = EnsureLoaded();
  *typeInfo = m_typeInfo;
  if (*typeInfo == nullptr) return FAILED(hr) ? hr : E_FAIL;
  (*typeInfo)->AddRef();
  return S_OK;
}

HRESULT TypeInfoCache::GetIDsOfNames(REFIID /*iid*/, LPOLESTR* names, UINT nameCount,
                                     LCID /*locale*/, DISPID* dispIds) {
  // The type information reads every name it is given and writes one DISPID
  // for each; it checks none of the arrays, so a caller's slip must be
  // caught here rather than fault inside it.
  if (dispIds == nullptr) return E_POINTER;
  if (names == nullptr || nameCount == 0) return E_INVALIDARG;
  for (UINT i = 0; i < nameCount; ++i) {
    if (names[i] == nullptr) return E_INVALIDARG;
  }
  HRESULT hr = EnsureLoaded();
  ITypeInfo* typeInfo = m_typeInfo;
  if (typeInfo == nullptr) return hr;
  if (nameCount == 1 && FindCachedName(names[0], &dispIds[0])) {
    return S_OK;
  }
  return typeInfo->GetIDsOfNames(names, nameCount, dispIds);
}

HRESULT TypeInfoCache::Invoke(IDispatch* instance, DISPID member, REFIID /*iid*/,
                              LCID /*locale*/, WORD flags, DISPPARAMS* params, VARIANT* result,
                              EXCEPINFO* exception, UINT* argumentError) {
  // The arguments are read without checks on the way to the method; the
  // result, exception and argument-error pointers may be null.
  if (params == nullptr) return E_INVALIDARG;
  if (params->cArgs > 0 && params->rgvarg == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs) return E_INVALIDARG;
  HRESULT hr = EnsureLoaded();
  ITypeInfo* typeInfo = m_typeInfo;
  if (typeInfo == nullptr) return hr;
  return typeInfo->Invoke(instance, member, flags, params, result, exception, argumentError);
}

HRESULT TypeInfoCache::EnsureLoaded() {
  // Both parts are published only when complete, so a reader that sees both
  // needs no lock.
  if (m_typeInfo != nullptr && m_nameCache != nullptr) return S_OK;
  if (!m_module.IsInitialised()) return E_UNEXPECTED;

  m_module.EnterModuleLock();
  HRESULT hr = S_OK;
  if (m_typeInfo == nullptr) hr = LoadTypeInformation();
  if (m_typeInfo != nullptr && m_nameCache == nullptr) hr = BuildNameCache();
  m_module.LeaveModuleLock();
  return hr;
}

HRESULT TypeInfoCache::LoadTypeInformation() {
  wchar_t path[kModulePathCapacity];
  DWORD length = GetModuleFileNameW(m_module.ModuleHandle(), path, kModulePathCapacity);
  if (length == 0 || length >= kModulePathCapacity) return E_FAIL;

  ITypeLib* typeLib = nullptr;
  HRESULT hr = LoadTypeLib(path, &typeLib);
  if (FAILED(hr)) return hr;

  ITypeInfo* typeInfo = nullptr;
  hr = typeLib->GetTypeInfoOfGuid(m_iid, &typeInfo);
  if (SUCCEEDED(hr)) {
    m_typeInfo = typeInfo;
    // Without the callback the type information is merely kept until the
    // process ends; nothing else depends on it, so the result is not examined.
    m_module.AddTerminationCallback(&TypeInfoCache::CleanUp, this);
  }
  typeLib->Release();
  return hr;
}

HRESULT TypeInfoCache::BuildNameCache() {
  TYPEATTR* attributes = nullptr;
  // Without attributes there is no cache; names go to the type information,
  // and the next call tries again.
  if (FAILED(m_typeInfo->GetTypeAttr(&attributes))) return S_OK;

  const LONG count = attributes->cFuncs;
  NameCacheEntry* entries = nullptr;
  if (count != 0) {
    entries = new (std::nothrow) NameCacheEntry[count];
    if (entries == nullptr) {
      m_typeInfo->ReleaseTypeAttr(attributes);
      return E_OUTOFMEMORY;
    }
  }
  for (LONG index = 0; index < count; ++index) {
    FUNCDESC* function = nullptr;
    if (FAILED(m_typeInfo->GetFuncDesc(index, &function))) continue;
    BSTR name = nullptr;
    if (SUCCEEDED(m_typeInfo->GetDocumentation(function->memid, &name, nullptr, nullptr, nullptr))) {
      entries[index].name = name;
      entries[index].length = SysStringLen(name);
      entries[index].dispId = function->memid;
    }
    m_typeInfo->ReleaseFuncDesc(function);
  }
  m_entryCount = count;
  // An interface without functions still gets a (one-element, unused) array
  // so that "present" is distinguishable from "not built".
  if (entries == nullptr) entries = new (std::nothrow) NameCacheEntry[1];
  MemoryBarrier();
  m_nameCache = entries;
  m_typeInfo->ReleaseTypeAttr(attributes);
  return entries != nullptr ? S_OK : E_OUTOFMEMORY;
}

bool TypeInfoCache::FindCachedName(const OLECHAR* name, DISPID* dispId) const {
  const NameCacheEntry* entries = m_nameCache;
  if (entries == nullptr) return false;
  const UINT length = static_cast<UINT>(lstrlenW(name));
  for (LONG index = m_entryCount - 1; index >= 0; --index) {
    const NameCacheEntry& entry = entries[index];
    if (entry.name == nullptr || entry.length != length) continue;
    if (memcmp(entry.name, name, length * sizeof(OLECHAR)) == 0) {
      *dispId = entry.dispId;
      return true;
    }
  }
  return false;
}

void TypeInfoCache::CleanUp(void* argument) {
  auto* cache = static_cast<TypeInfoCache*>(argument);
  if (cache->m_typeInfo != nullptr) {
    cache->m_typeInfo->Release();
    cache->m_typeInfo = nullptr;
  }
  NameCacheEntry* entries = cache->m_nameCache;
  if (entries != nullptr) {
    for (LONG index = 0; index < cache->m_entryCount; ++index) SysFreeString(entries[index].name);
    delete[] entries;
    cache->m_nameCache = nullptr;
  }
  cache->m_entryCount = 0;
}

}  // namespace stavora
