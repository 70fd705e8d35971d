// Reading the INI path value from the registry.
#include "store/ConfigurationWin32.h"

#include <windows.h>

namespace stavora {
namespace {

// Owns one open registry key and closes it on every way out.
class ScopedRegKey {
 public:
  ScopedRegKey() = default;
  ~ScopedRegKey() {
    // Closing a key we opened cannot fail in a way we could act on.
    if (m_key != nullptr) RegCloseKey(m_key);
  }
  ScopedRegKey(const ScopedRegKey&) = delete;
  ScopedRegKey& operator=(const ScopedRegKey&) = delete;

  HKEY Get() const { return m_key; }
  HKEY* Receive() { return &m_key; }

 private:
  HKEY m_key = nullptr;
};

const wchar_t* Wide(const char16_t* text) { return reinterpret_cast<const wchar_t*>(text); }

}  // namespace

std::int32_t RegistryPathValueReader::ReadPathValue(char16_t* buffer, std::uint32_t& byteCount) {
  ScopedRegKey key;
  const LONG opened =
      RegOpenKeyExW(HKEY_LOCAL_MACHINE, Wide(kSettingsKeyName), 0, KEY_READ, key.Receive());
  if (opened != ERROR_SUCCESS) return opened;

  DWORD type = REG_NONE;  // received, never examined: any data is taken as text
  DWORD size = byteCount;
  const LONG queried = RegQueryValueExW(key.Get(), Wide(kIniPathValueName), nullptr, &type,
                                        reinterpret_cast<BYTE*>(buffer), &size);
  if (queried != ERROR_SUCCESS) return queried;
  byteCount = size;
  return kPathValueRead;
}

}  // namespace stavora
