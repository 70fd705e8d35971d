// Creating lookup objects by their ProgID's class and reading values back.
#include "bench/support/LookupObject.h"

#include <cstdio>

#include "platform/ScopedBstr.h"

namespace stavora_bench {

HRESULT FindLookupClass(CLSID* clsid) { return CLSIDFromProgID(L"Stavora.StavoraLookup", clsid); }

bool ReadyToCreate(const ScopedApartment& apartment, CLSID* lookupClass) {
  if (FAILED(apartment.Result())) {
    std::fprintf(stderr, "CoInitializeEx gave %s\n", HresultText(apartment.Result()).c_str());
    return false;
  }
  const HRESULT found = FindLookupClass(lookupClass);
  if (FAILED(found)) {
    std::fprintf(stderr, "Stavora.StavoraLookup is not registered: CLSIDFromProgID gave %s\n",
                 HresultText(found).c_str());
    return false;
  }
  return true;
}

HRESULT CreateLookup(const CLSID& clsid, LookupPtr& lookup) {
  return CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IStavoraLookup,
                          reinterpret_cast<void**>(lookup.Receive()));
}

std::wstring GetKeyText(IStavoraLookup* lookup, const wchar_t* section, const wchar_t* key, HRESULT* result) {
  stavora::ScopedBstr sectionName(SysAllocString(section));
  stavora::ScopedBstr keyName(SysAllocString(key));
  stavora::ScopedBstr value;
  *result = lookup->GetKey(sectionName.Get(), keyName.Get(), value.Receive());
  return std::wstring(value.Get() == nullptr ? L"" : value.Get(), value.Length());
}

std::string HresultText(HRESULT result) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(result));
  return text;
}

}  // namespace stavora_bench
