// The size of a file by path, shared by the loader and the log writer.
#pragma once

#include <cstdint>

#include "platform/WString.h"

namespace stavora {

// The file's size in bytes, or -1 when it cannot be opened or measured.
// Writes nothing to the log.
std::int64_t GetFileSize(const WString& path);

}  // namespace stavora
