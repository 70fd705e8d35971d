// OrdinalIgnoreCase through CompareStringOrdinal.
#include "watcher/FileNameComparisonWin32.h"

#include <windows.h>

#include <climits>

namespace stavora {

bool OrdinalIgnoreCase::SameFileName(WStringView recorded, WStringView watched) const {
  // Names come from records of at most 16 KiB and from a path read into 1024
  // units: both fit an int. Anything longer is no file name.
  if (recorded.size() > INT_MAX || watched.size() > INT_MAX) return false;
  return CompareStringOrdinal(reinterpret_cast<const wchar_t*>(recorded.data()),
                              static_cast<int>(recorded.size()),
                              reinterpret_cast<const wchar_t*>(watched.data()),
                              static_cast<int>(watched.size()), TRUE) == CSTR_EQUAL;
}

}  // namespace stavora
