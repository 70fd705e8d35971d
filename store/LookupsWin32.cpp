// The lookups of a lookup object: name lists and values built under the
// store's lock, with every partial result freed by its owner on a way out.
#include "store/LookupsWin32.h"

#include "store/NameRule.h"

#include <limits>
#include <new>

#include "platform/ComBoundary.h"
#include "platform/ScopedBstr.h"
#include "platform/ScopedSafeArray.h"
#include "platform/ScopedVariant.h"
#include "platform/WideText.h"

namespace stavora {
namespace {

constexpr VARTYPE kNameListType = VT_ARRAY | VT_VARIANT;

BSTR CopyText(const WString& text, const AutomationCalls& calls) {
  // Stored names and values never hold a zero and are far below UINT_MAX.
  return calls.allocString(AsWide(text.data()), static_cast<UINT>(text.size()));
}

// Builds the list of the names (map keys) of `names` into `out`, which is
// VT_EMPTY on entry and stays so on any failure. An array that cannot be
// created is answered with S_OK and a null array, as clients have always
// been given.
template <typename NameMap>
HRESULT BuildNameList(const NameMap& names, VARIANT* out, const AutomationCalls& calls) {
  if (names.size() > static_cast<std::size_t>(std::numeric_limits<LONG>::max())) {
    return E_OUTOFMEMORY;
  }
  SAFEARRAYBOUND bound{static_cast<ULONG>(names.size()), 0};
  ScopedSafeArray array(calls.createArray(VT_VARIANT, 1, &bound));
  if (!array) {
    out->vt = kNameListType;
    out->parray = nullptr;
    return S_OK;
  }

  ScopedVariant working;
  LONG index = 0;
  for (const auto& entry : names) {
    working.Reset();
    ScopedBstr copy(CopyText(entry.first, calls));
    if (!copy) return E_OUTOFMEMORY;
    working.SetBstr(copy.Release());
    // The array stores its own copy; `working` keeps and frees ours.
    const HRESULT put = calls.putElement(array.Get(), &index, working.Ptr());
    if (FAILED(put)) return put;
    ++index;
  }

  out->vt = kNameListType;
  out->parray = array.Release();
  return S_OK;
}

}  // namespace

const AutomationCalls& RealAutomationCalls() {
  static const AutomationCalls real{&SafeArrayCreate, &SafeArrayPutElement, &SysAllocStringLen};
  return real;
}

WString ClientName(const OLECHAR* name) {
  WString copy;
  if (name != nullptr) copy = AsText(name);
  UpperCaseName(copy);
  return copy;
}

HRESULT LookUpSections(const SectionMap& store, IStoreLock& lock, VARIANT* sections,
                       const AutomationCalls& calls) {
  if (sections == nullptr) return E_POINTER;
  VariantInit(sections);
  return CallAtBoundary([&]() -> HRESULT {
    StoreLockGuard guard(lock);
    return BuildNameList(store, sections, calls);
  });
}

HRESULT LookUpSection(const SectionMap& store, IStoreLock& lock, const OLECHAR* section,
                      VARIANT* keys, const AutomationCalls& calls) {
  if (keys == nullptr) return E_POINTER;
  VariantInit(keys);
  return CallAtBoundary([&]() -> HRESULT {
    StoreLockGuard guard(lock);
    const auto found = store.find(ClientName(section));
    if (found == store.end()) return S_FALSE;
    return BuildNameList(found->second, keys, calls);
  });
}

HRESULT LookUpKey(const SectionMap& store, IStoreLock& lock, const OLECHAR* section,
                  const OLECHAR* key, BSTR* value, const AutomationCalls& calls) {
  if (value == nullptr) return E_POINTER;
  *value = nullptr;
  return CallAtBoundary([&]() -> HRESULT {
    StoreLockGuard guard(lock);
    const WString sectionName = ClientName(section);
    const WString keyName = ClientName(key);

    const WString* stored = nullptr;
    const auto foundSection = store.find(sectionName);
    if (foundSection != store.end()) {
      const auto foundKey = foundSection->second.find(keyName);
      if (foundKey != foundSection->second.end()) stored = &foundKey->second;
    }

    ScopedBstr result(CopyText(stored != nullptr ? *stored : WString(), calls));
    // A null string is never handed out as an answer: not even the empty
    // string could be made, so memory is short.
    if (!result) return E_OUTOFMEMORY;
    *value = result.Release();
    return stored != nullptr ? S_OK : S_FALSE;
  });
}

}  // namespace stavora
