// Reading the INI path value from the registry.
#include "store/ConfigurationWin32.h"

#include <windows.h>

#include "platform/ScopedHandles.h"
#include "platform/WideText.h"

namespace stavora {

std::int32_t RegistryPathValueReader::ReadPathValue(char16_t* buffer, std::uint32_t& byteCount) {
  ScopedRegKey key;
  const LONG opened =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, AsWide(kSettingsKeyName), 0, KEY_READ, key.Receive());
  if (opened != ERROR_SUCCESS) return opened;

  DWORD type = REG_NONE;  // received, never examined: any data is taken as text
  DWORD size = byteCount;
  const LONG queried = RegQueryValueExW(key.Get(), AsWide(kIniPathValueName), nullptr, &type,
                                        reinterpret_cast<BYTE*>(buffer), &size);
  if (queried != ERROR_SUCCESS) return queried;
  byteCount = size;
  return kPathValueRead;
}

}  // namespace stavora
