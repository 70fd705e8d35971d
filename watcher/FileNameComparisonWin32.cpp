// OrdinalIgnoreCase through CompareStringOrdinal.
#include "watcher/FileNameComparisonWin32.h"

#include <windows.h>

#include <climits>
#include <vector>

#include "platform/BestEffort.h"
#include "platform/WideText.h"

namespace stavora {

bool OrdinalIgnoreCase::SameFileName(WStringView recorded, WStringView watched) const {
  // Names come from records of at most 16 KiB and from a path read into 1024
  // units: both fit an int. Anything longer is no file name.
  if (recorded.size() > INT_MAX || watched.size() > INT_MAX) return false;
  return CompareStringOrdinal(AsWide(recorded.data()), static_cast<int>(recorded.size()), AsWide(watched.data()),
                              static_cast<int>(watched.size()), TRUE) == CSTR_EQUAL;
}

void OrdinalIgnoreCase::TakeShortName(const WString& directory, const WString& fileName) {
  m_shortName.clear();
  if (directory.empty() || fileName.empty()) return;
  // Runs on the watcher thread: memory that runs out leaves the long name
  // alone to match.
  DoBestEffort([&] {
    const WString path = directory.back() == u'\\' ? directory + fileName : directory + u"\\" + fileName;
    std::vector<wchar_t> shortPath(MAX_PATH);
    for (int round = 0; round < 3; ++round) {
      const DWORD length = GetShortPathNameW(AsWide(path), shortPath.data(), static_cast<DWORD>(shortPath.size()));
      if (length == 0) return;  // not there, or not to be asked
      if (length < shortPath.size()) {
        const WString text = AsText(shortPath.data(), length);
        const std::size_t last = text.rfind(u'\\');
        const WString name = last == WString::npos ? text : text.substr(last + 1);
        if (!name.empty() && !SameFileName(name, fileName)) m_shortName = name;
        return;
      }
      shortPath.resize(length);  // the room it needs, its zero included
    }
  });
}

}  // namespace stavora
