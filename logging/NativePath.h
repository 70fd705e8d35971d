// Native builds only: UTF-16 paths as std::filesystem paths, with '\' taken
// as a separator so Windows-shaped relative names land in subdirectories.
#pragma once

#include <filesystem>
#include <string>

#include "platform/WString.h"

namespace stavora {

// UTF-16 to UTF-8; an unpaired surrogate becomes U+FFFD.
std::string NativeUtf8(WStringView text);

// UTF-8 to UTF-16; a malformed byte becomes U+FFFD.
WString NativeUtf16(const std::string& text);

// `path` as a native path, every '\' turned into '/'.
std::filesystem::path NativePath(WStringView path);

}  // namespace stavora
