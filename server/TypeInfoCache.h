// TypeInfoCache: the type information of one interface, read once per process
// from the module's own file, and the name cache that answers single-name
// GetIDsOfNames calls without a call into the type information.
#pragma once

#include <oaidl.h>
#include <windows.h>

#include "platform/PublishedResource.h"
#include "platform/ScopedBstr.h"
#include "platform/ScopedInterface.h"

namespace stavora {

class CStavoraModule;

class TypeInfoCache {
 public:
  TypeInfoCache(CStavoraModule& module, const IID& iid) : m_module(module), m_iid(iid) {}
  TypeInfoCache(const TypeInfoCache&) = delete;
  TypeInfoCache& operator=(const TypeInfoCache&) = delete;

  // The four IDispatch operations; `instance` is the dispatch pointer of the
  // object on whose behalf Invoke calls into the type information.
  static HRESULT GetTypeInfoCount(UINT* count);
  HRESULT GetTypeInfo(UINT index, LCID locale, ITypeInfo** typeInfo);
  HRESULT GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT nameCount, LCID locale, DISPID* dispIds);
  HRESULT Invoke(IDispatch* instance, DISPID member, REFIID iid, LCID locale, WORD flags,
                 DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception, UINT* argumentError);

  // Loads the type information and builds the name cache unless both are
  // present. Failures are retried by the next call.
  HRESULT EnsureLoaded();

  // Releases the type information and frees the name cache; registered as a
  // termination callback of the module.
  static void CleanUp(void* cache);

 private:
  struct NameCacheEntry {
    ScopedBstr name;
    UINT length = 0;
    DISPID dispId = -1;
  };
  struct NameCacheTraits : NullEmptyTraits<NameCacheEntry*> {
    static void Free(NameCacheEntry* entries) noexcept { delete[] entries; }
  };

  HRESULT LoadTypeInformation();
  HRESULT BuildNameCache();
  bool FindCachedName(const OLECHAR* name, DISPID* dispId) const;

  CStavoraModule& m_module;
  const IID m_iid;
  // Each is published only when complete (see PublishedResource), the name
  // cache after the type information it was read from, so a reader that sees
  // both needs no lock. The writers hold the module lock.
  PublishedResource<InterfaceTraits<ITypeInfo>> m_typeInfo;
  PublishedResource<NameCacheTraits> m_nameCache;
  LONG m_entryCount = 0;  // written before m_nameCache is published
};

}  // namespace stavora
