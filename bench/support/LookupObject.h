// Lookup objects made as clients make them: the class that the ProgID
// Stavora.StavoraLookup names, created with CoCreateInstance; GetKey as text.
#pragma once

#include <windows.h>

#include <ole2.h>

#include <string>

#include "resources/Stavora.h"
#include "platform/ScopedInterface.h"

namespace stavora_bench {

using LookupPtr = stavora::ScopedInterface<IStavoraLookup>;

// A single-threaded apartment for the owner's life, as script hosts use.
class ScopedApartment {
 public:
  ScopedApartment() noexcept : m_result(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)) {}
  ~ScopedApartment() {
    if (SUCCEEDED(m_result)) CoUninitialize();
  }
  ScopedApartment(const ScopedApartment&) = delete;
  ScopedApartment& operator=(const ScopedApartment&) = delete;

  HRESULT Result() const noexcept { return m_result; }

 private:
  HRESULT m_result;
};

// The class registered for Stavora.StavoraLookup (CLSIDFromProgID).
HRESULT FindLookupClass(CLSID* clsid);

// A benchmark's start: `apartment` must have started and the class must be
// registered. Says on stderr what is missing and returns false then.
bool ReadyToCreate(const ScopedApartment& apartment, CLSID* lookupClass);

// CoCreateInstance of `clsid` in process, asking for IStavoraLookup.
HRESULT CreateLookup(const CLSID& clsid, LookupPtr& lookup);

// The value GetKey(section, key) gives; `result` receives its HRESULT.
std::wstring GetKeyText(IStavoraLookup* lookup, const wchar_t* section, const wchar_t* key, HRESULT* result);

// "0x80040154" and the like, for failure messages.
std::string HresultText(HRESULT result);

}  // namespace stavora_bench
