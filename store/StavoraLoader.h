// The one view the directory watcher has of a lookup object: something that
// can load its INI file again.
#pragma once

#include "store/LoadResult.h"

namespace stavora {

class StavoraLoader {
 public:
  // Reads the INI file into a store built aside and serves it (see
  // LoadStore); reports failures only to the log. Takes the store's lock
  // itself, for the swap alone. `emptyFile` says what to do with a file
  // found empty or gone; the result says whether to read again, and when.
  virtual LoadResult LoadRegistry(EmptyFile emptyFile) = 0;
  virtual ~StavoraLoader() = default;
};

}  // namespace stavora
