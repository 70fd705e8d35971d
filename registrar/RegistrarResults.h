// Result codes used by the registration script interpreter, as plain 32-bit
// values so that the portable code needs no platform headers.
#pragma once

#include <cstdint>

namespace stavora {
namespace regresult {

constexpr std::int32_t kOk = 0;
constexpr std::int32_t kFalse = 1;
constexpr std::int32_t kNotImpl = static_cast<std::int32_t>(0x80004001u);
constexpr std::int32_t kPointer = static_cast<std::int32_t>(0x80004003u);
constexpr std::int32_t kFail = static_cast<std::int32_t>(0x80004005u);
constexpr std::int32_t kOutOfMemory = static_cast<std::int32_t>(0x8007000Eu);
constexpr std::int32_t kInvalidArg = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t kInsufficientBuffer = static_cast<std::int32_t>(0x8007007Au);
constexpr std::int32_t kDispException = static_cast<std::int32_t>(0x80020009u);
constexpr std::int32_t kDispTypeMismatch = static_cast<std::int32_t>(0x80020005u);
constexpr std::int32_t kDispOverflow = static_cast<std::int32_t>(0x8002000Au);

inline bool Failed(std::int32_t hr) { return hr < 0; }
inline bool Succeeded(std::int32_t hr) { return hr >= 0; }

// A system error code as a result: 0 or less passes unchanged, anything else
// becomes a failure in the Win32 facility carrying the code's low 16 bits.
inline std::int32_t FromSystemError(std::int32_t code) {
  if (code <= 0) return code;
  return static_cast<std::int32_t>(0x80070000u | (static_cast<std::uint32_t>(code) & 0xFFFFu));
}

}  // namespace regresult
}  // namespace stavora
