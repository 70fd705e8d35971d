// The size of a file by path, with the standard library.
#include <filesystem>
#include <system_error>

#include "logging/FileSize.h"
#include "logging/NativePath.h"

namespace stavora {

std::int64_t GetFileSize(const WString& path) {
  std::error_code error;
  const auto target = NativePath(path);
  // Like an open of the file itself: a directory has no size here.
  if (!std::filesystem::is_regular_file(target, error)) return -1;
  const std::uintmax_t size = std::filesystem::file_size(target, error);
  if (error) return -1;
  return static_cast<std::int64_t>(size);
}

}  // namespace stavora
