// The size of a file by path, read from its directory entry.
#include <windows.h>

#include "logging/FileSize.h"
#include "platform/WideText.h"

namespace stavora {

std::int64_t GetFileSize(const WString& path) {
  // No handle is opened: while any handle is open on the file, a program
  // that saves by renaming a new file over it can be refused (Wine refuses
  // it whatever the handle shares), and the log and the loader measure
  // often. The directory entry holds the same size.
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(AsWide(path), GetFileExInfoStandard, &data)) {
    return -1;
  }
  // Like an open of the file itself: a directory has no size here.
  if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return -1;
  return static_cast<std::int64_t>((static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) |
                                   data.nFileSizeLow);
}

}  // namespace stavora
