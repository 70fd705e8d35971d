// How the file system holding the INI file compares two file names, as the
// change-record walk asks it. On Windows: ordinal, without regard to case.
#pragma once

#include "platform/WString.h"

namespace stavora {

class IFileNameComparison {
 public:
  // Whether `recorded` (a name from a change record, as the file system
  // spelled it) names the same file as `watched` (the INI file's name).
  virtual bool SameFileName(WStringView recorded, WStringView watched) const = 0;

  // The INI file's short (8.3) name where the file system gave it one other
  // than its long name, else empty. A change record may carry that name
  // instead of the long one (a save made through the short name).
  virtual WStringView WatchedShortName() const { return WStringView(); }

 protected:
  ~IFileNameComparison() = default;
};

}  // namespace stavora
