// The size of a file by path: an open for no access, GetFileSizeEx, close.
#include <windows.h>

#include "logging/FileSize.h"
#include "platform/LogFileHandle.h"

namespace stavora {

std::int64_t GetFileSize(const WString& path) {
  // Access 0 asks only for attributes; share mode 0 as well, so a file that
  // someone else holds open cannot be measured and counts as -1.
  LogFileHandle file(CreateFileW(reinterpret_cast<const wchar_t*>(path.c_str()), 0, 0, nullptr,
                                 OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.IsValid()) return -1;
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size)) return -1;
  return static_cast<std::int64_t>(size.QuadPart);
}

}  // namespace stavora
