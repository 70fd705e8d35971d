// Standard-library stand-ins for the platform's text services, used by native
// builds: one code unit per character (a surrogate pair counts as one), ASCII
// case folding, unsigned decimal numbers only, and malloc/realloc/free.
#include "registrar/TextServices.h"

#include <cstdlib>

#include "registrar/RegistrarResults.h"

namespace stavora {
namespace {

char16_t FoldAscii(char16_t unit) {
  return (unit >= u'a' && unit <= u'z') ? static_cast<char16_t>(unit - (u'a' - u'A')) : unit;
}

class StdTextServices final : public ITextServices {
 public:
  const char16_t* NextChar(const char16_t* p) const override {
    if (*p == 0) return p;
    if (p[0] >= 0xD800 && p[0] <= 0xDBFF && p[1] >= 0xDC00 && p[1] <= 0xDFFF) return p + 2;
    return p + 1;
  }

  int CompareNoCase(const char16_t* a, const char16_t* b) const override {
    for (;; ++a, ++b) {
      const char16_t fa = FoldAscii(*a);
      const char16_t fb = FoldAscii(*b);
      if (fa != fb) return fa < fb ? -1 : 1;
      if (fa == 0) return 0;
    }
  }

  std::int32_t ParseUInt32(const char16_t* text, std::uint32_t* out) const override {
    if (*text == 0) return regresult::kDispTypeMismatch;
    bool overflow = false;
    std::uint64_t value = 0;
    for (const char16_t* p = text; *p; ++p) {
      if (*p < u'0' || *p > u'9') return regresult::kDispTypeMismatch;
      if (!overflow) {
        value = value * 10 + static_cast<std::uint64_t>(*p - u'0');
        if (value > 0xFFFFFFFFull) overflow = true;
      }
    }
    if (overflow) return regresult::kDispOverflow;
    *out = static_cast<std::uint32_t>(value);
    return regresult::kOk;
  }

  void* Allocate(std::size_t bytes) const override { return std::malloc(bytes); }
  void* Reallocate(void* block, std::size_t bytes) const override { return std::realloc(block, bytes); }
  void Free(void* block) const override { std::free(block); }
};

}  // namespace

const ITextServices& PlatformTextServices() {
  static const StdTextServices services;
  return services;
}

}  // namespace stavora
