// The file system's own comparison of file names on Windows: ordinal, each
// UTF-16 unit upper-cased by the system's table (CompareStringOrdinal with
// bIgnoreCase TRUE), which folds non-ASCII letters too.
#pragma once

#include "watcher/FileNameComparison.h"

namespace stavora {

class OrdinalIgnoreCase final : public FileNameComparison {
 public:
  bool SameFileName(WStringView recorded, WStringView watched) const override;
};

}  // namespace stavora
