// Setting and restoring the StavoraPath value around a benchmark.
#include "bench/support/ScopedIniPath.h"

namespace stavora_bench {
namespace {

const wchar_t kSettingsKey[] = L"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
const wchar_t kPathValue[] = L"StavoraPath";

LONG SetPath(HKEY key, const std::wstring& path) {
  return RegSetValueExW(key, kPathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                        static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
}

}  // namespace

ScopedIniPath::ScopedIniPath(const std::wstring& iniPath) {
  HKEY key = nullptr;
  m_result = RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_QUERY_VALUE | KEY_SET_VALUE,
                             nullptr, &key, nullptr);
  if (m_result != ERROR_SUCCESS) return;
  wchar_t previous[1024];
  DWORD size = sizeof(previous) - sizeof(wchar_t);
  DWORD type = 0;
  if (RegQueryValueExW(key, kPathValue, nullptr, &type, reinterpret_cast<BYTE*>(previous), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    previous[size / sizeof(wchar_t)] = 0;
    m_hadValue = true;
    m_previous = previous;
  }
  m_result = SetPath(key, iniPath);
  RegCloseKey(key);
}

ScopedIniPath::~ScopedIniPath() {
  if (m_result != ERROR_SUCCESS) return;
  HKEY key = nullptr;
  if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &key) != ERROR_SUCCESS) return;
  // Best effort on the way out: a failure leaves the benchmark's path behind,
  // which the next run overwrites.
  if (m_hadValue) {
    SetPath(key, m_previous);
  } else {
    RegDeleteValueW(key, kPathValue);
  }
  RegCloseKey(key);
}

}  // namespace stavora_bench
