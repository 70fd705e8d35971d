// A file's existence, size and last write time by path, read without opening
// the file, so that nobody's save is ever blocked by the look.
#pragma once

#include "store/ProfileSource.h"

namespace stavora {

FileState ReadFileState(const WString& path);

}  // namespace stavora
