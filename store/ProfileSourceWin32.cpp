// GetPrivateProfileStringW behind the loader's ProfileSource.
#include "store/ProfileSourceWin32.h"

#include <windows.h>

#include "logging/FileSize.h"
#include "store/FileState.h"
#include "platform/WideText.h"

namespace stavora {
std::uint32_t ProfileSourceWin32::GetString(const char16_t* section, const char16_t* key,
                                            char16_t* buffer, std::uint32_t size,
                                            const WString& path) {
  // No default string: a missing section, key or file gives 0.
  return GetPrivateProfileStringW(AsWide(section), AsWide(key), nullptr, AsWide(buffer), size, AsWide(path));
}

std::int64_t ProfileSourceWin32::GetFileSize(const WString& path) {
  return stavora::GetFileSize(path);
}

FileState ProfileSourceWin32::GetFileState(const WString& path) {
  return ReadFileState(path);
}

}  // namespace stavora
