// The platform's text services for the script interpreter: CharNextW,
// lstrcmpiW, VarUI4FromStr and the COM task allocator.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>

#include "platform/WideText.h"
#include "registrar/TextServices.h"

namespace stavora {
namespace {

class Win32TextServices final : public ITextServices {
 public:
  const char16_t* NextChar(const char16_t* p) const override {
    return AsText(CharNextW(AsWide(p)));
  }
  int CompareNoCase(const char16_t* a, const char16_t* b) const override { return lstrcmpiW(AsWide(a), AsWide(b)); }
  std::int32_t ParseUInt32(const char16_t* text, std::uint32_t* out) const override {
    ULONG value = 0;
    const HRESULT hr = VarUI4FromStr(const_cast<LPOLESTR>(AsWide(text)), 0, 0, &value);
    if (SUCCEEDED(hr)) *out = value;
    return hr;
  }
  void* Allocate(std::size_t bytes) const override { return CoTaskMemAlloc(bytes); }
  void* Reallocate(void* block, std::size_t bytes) const override { return CoTaskMemRealloc(block, bytes); }
  void Free(void* block) const override { CoTaskMemFree(block); }
};

}  // namespace

const ITextServices& PlatformTextServices() {
  static const Win32TextServices services;
  return services;
}

}  // namespace stavora
