// The few text and memory services the script interpreter takes from the
// platform: character stepping, case-insensitive comparison, number
// conversion and the allocator of the expanded script text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace stavora {

class ITextServices {
 public:
  // The position of the character after the one at `p` (CharNextW). At the
  // terminator, `p` itself.
  virtual const char16_t* NextChar(const char16_t* p) const = 0;
  // Negative, zero or positive as `a` sorts before, equal to or after `b`,
  // ignoring case (lstrcmpiW).
  virtual int CompareNoCase(const char16_t* a, const char16_t* b) const = 0;
  // Converts text to an unsigned 32-bit number (VarUI4FromStr with locale 0
  // and no flags). Returns a result code; `*out` is set only on success.
  virtual std::int32_t ParseUInt32(const char16_t* text, std::uint32_t* out) const = 0;
  // The allocator of the expanded script text (the COM task allocator).
  virtual void* Allocate(std::size_t bytes) const = 0;
  virtual void* Reallocate(void* block, std::size_t bytes) const = 0;
  virtual void Free(void* block) const = 0;

 protected:
  ~ITextServices() = default;
};

// The services of this build: the Win32 calls on Windows, standard stand-ins
// elsewhere (ASCII case folding, decimal numbers only, malloc and friends).
const ITextServices& PlatformTextServices();

}  // namespace stavora
