// Points StavoraPath (HKLM\SOFTWARE\Kestrane L.P.\Vendara\Settings) at a
// benchmark's INI file for the owner's life and puts back what was there.
#pragma once

#include <windows.h>

#include <string>

namespace stavora_bench {

class ScopedIniPath {
 public:
  explicit ScopedIniPath(const std::wstring& iniPath);
  ~ScopedIniPath();
  ScopedIniPath(const ScopedIniPath&) = delete;
  ScopedIniPath& operator=(const ScopedIniPath&) = delete;

  // 0 when the value was set, else the registry error.
  LONG Result() const noexcept { return m_result; }

 private:
  LONG m_result = ERROR_SUCCESS;
  bool m_hadValue = false;
  std::wstring m_previous;
};

}  // namespace stavora_bench
