// The three lookups over a store, shaped as automation results: name lists as
// VT_ARRAY | VT_VARIANT arrays of VT_BSTR, values as BSTRs. CStavoraLookup
// answers its clients through these; tests give them failing allocators.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include "store/Store.h"
#include "store/StoreLock.h"

namespace stavora {

// The automation calls that allocate a lookup's result. Only the real ones
// are used in the product; tests substitute calls that fail on demand.
struct AutomationCalls {
  SAFEARRAY*(STDAPICALLTYPE* createArray)(VARTYPE elementType, UINT dimensions,
                                          SAFEARRAYBOUND* bounds);
  HRESULT(STDAPICALLTYPE* putElement)(SAFEARRAY* array, LONG* indices, void* element);
  BSTR(STDAPICALLTYPE* allocString)(const OLECHAR* text, UINT length);
};

// SafeArrayCreate, SafeArrayPutElement and SysAllocStringLen.
const AutomationCalls& RealAutomationCalls();

// The client's name as the store keys it: read up to its first zero (a null
// BSTR is the empty name), copied and upper-cased by the name rule.
WString ClientName(const OLECHAR* name);

// Every lookup holds `lock` from its first step to its last, lets no
// exception out (memory running out gives E_OUTOFMEMORY with an empty
// result), and gives E_POINTER for a null out pointer. The results belong to
// the caller.

// The names of all sections, in store order. S_OK; an empty store gives a
// zero-element array.
HRESULT LookUpSections(const SectionMap& store, IStoreLock& lock, VARIANT* sections,
                       const AutomationCalls& calls = RealAutomationCalls());

// The key names of `section`: S_OK with the list (a section without keys
// gives a zero-element array), or S_FALSE with VT_EMPTY when it is absent.
HRESULT LookUpSection(const SectionMap& store, IStoreLock& lock, const OLECHAR* section,
                      VARIANT* keys, const AutomationCalls& calls = RealAutomationCalls());

// The value of `key` in `section`, case as stored: S_OK, or S_FALSE with a
// new empty (non-null) string when either name is absent.
HRESULT LookUpKey(const SectionMap& store, IStoreLock& lock, const OLECHAR* section,
                  const OLECHAR* key, BSTR* value,
                  const AutomationCalls& calls = RealAutomationCalls());

}  // namespace stavora
