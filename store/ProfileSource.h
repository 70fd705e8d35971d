// The profile-string service the loader reads an INI file through: one call
// per list or value, in the manner of GetPrivateProfileStringW.
#pragma once

#include <cstdint>

#include "platform/WString.h"

namespace stavora {

// What a file looked like at one moment: whether it existed, its size and its
// last write time. Two states of one file differ when it was written,
// replaced, created or deleted between them.
struct FileState {
  bool exists = false;
  std::uint64_t size = 0;
  std::uint64_t lastWrite = 0;

  bool operator==(const FileState& other) const {
    return exists == other.exists && size == other.size && lastWrite == other.lastWrite;
  }
  bool operator!=(const FileState& other) const { return !(*this == other); }
};

class IProfileSource {
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

  // The file's state now; a file that cannot be examined counts as missing.
  virtual FileState GetFileState(const WString& path) = 0;

 protected:
  ~IProfileSource() = default;
};

}  // namespace stavora
