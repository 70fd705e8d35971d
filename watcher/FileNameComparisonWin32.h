// The file system's own comparison of file names on Windows: ordinal, each
// UTF-16 unit upper-cased by the system's table (CompareStringOrdinal with
// bIgnoreCase TRUE), which folds non-ASCII letters too.
#pragma once

#include "watcher/FileNameComparison.h"

namespace stavora {

class OrdinalIgnoreCase final : public IFileNameComparison {
 public:
  bool SameFileName(WStringView recorded, WStringView watched) const override;
  WStringView WatchedShortName() const override { return m_shortName; }

  // Takes the short name of the file `fileName` in `directory` (as the
  // watcher opens it) from the file system: GetShortPathNameW. Empty when
  // the file has none of its own (its name is short already, the volume
  // makes no short names) or is not there now.
  void TakeShortName(const WString& directory, const WString& fileName);

 private:
  WString m_shortName;
};

}  // namespace stavora
