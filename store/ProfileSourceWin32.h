// The loader's profile-string service on Windows: GetPrivateProfileStringW
// for lists and values, the shared GetFileSize for the buffer's size, and
// the file's state around each load.
#pragma once

#include "store/ProfileSource.h"

namespace stavora {

class ProfileSourceWin32 : public IProfileSource {
 public:
  ProfileSourceWin32() = default;
  virtual ~ProfileSourceWin32() = default;

  std::uint32_t GetString(const char16_t* section, const char16_t* key, char16_t* buffer,
                          std::uint32_t size, const WString& path) override;
  std::int64_t GetFileSize(const WString& path) override;
  FileState GetFileState(const WString& path) override;
};

}  // namespace stavora
