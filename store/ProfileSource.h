// The profile-string service the loader reads an INI file through: one call
// per list or value, in the manner of GetPrivateProfileStringW.
#pragma once

#include <cstdint>

#include "store/NameRule.h"

namespace stavora {

class ProfileSource {
 public:
  // Fills `buffer` (room for `size` code units) from the INI file at `path`,
  // with no default string:
  //   section == nullptr            the section list
  //   key == nullptr                the key list of `section`
  //   otherwise                     the value of `key` in `section`
  // A list is names each ended by a zero, the whole ended by one more zero.
  // Returns the number of code units stored, the final zero not counted. A
  // value cut short returns size - 1, a list cut short size - 2.
  virtual std::uint32_t GetString(const char16_t* section, const char16_t* key,
                                  char16_t* buffer, std::uint32_t size,
                                  const WString& path) = 0;

  // The file's size in bytes, or -1 when it cannot be opened or measured.
  virtual std::int64_t GetFileSize(const WString& path) = 0;

 protected:
  ~ProfileSource() = default;
};

}  // namespace stavora
