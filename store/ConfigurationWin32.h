// The configured INI path on Windows: the registry value StavoraPath under
// HKEY_LOCAL_MACHINE\SOFTWARE\Kestrane L.P.\Vendara\Settings.
#pragma once

#include "store/IniPath.h"

namespace stavora {

class RegistryPathValueReader final : public IPathValueReader {
 public:
  // Opens the key for reading (options 0, KEY_READ, the default view),
  // queries the value into `buffer` and closes the key again. Returns the
  // registry's status: ERROR_SUCCESS (kPathValueRead) or the failing call's.
  std::int32_t ReadPathValue(char16_t* buffer, std::uint32_t& byteCount) override;
};

}  // namespace stavora
