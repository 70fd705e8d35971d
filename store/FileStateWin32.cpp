// ReadFileState through GetFileAttributesExW: the directory entry only.
#include "store/FileState.h"

#include <windows.h>

#include "platform/WideText.h"

namespace stavora {

FileState ReadFileState(const WString& path) {
  FileState state;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (GetFileAttributesExW(AsWide(path), GetFileExInfoStandard, &data)) {
    state.exists = true;
    state.size = (static_cast<std::uint64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
    state.lastWrite =
        (static_cast<std::uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) |
        data.ftLastWriteTime.dwLowDateTime;
  }
  return state;
}

}  // namespace stavora
