// A kernel handle that closes itself; used by GetFileSize and the log writer
// for its files and its mutex. Move-only.
#pragma once

#include <windows.h>

namespace stavora {

class LogFileHandle {
 public:
  explicit LogFileHandle(HANDLE handle = INVALID_HANDLE_VALUE) : m_handle(handle) {}
  ~LogFileHandle() { Reset(); }
  LogFileHandle(LogFileHandle&& other) noexcept : m_handle(other.Release()) {}
  LogFileHandle& operator=(LogFileHandle&& other) noexcept {
    if (this != &other) Reset(other.Release());
    return *this;
  }
  LogFileHandle(const LogFileHandle&) = delete;
  LogFileHandle& operator=(const LogFileHandle&) = delete;

  bool IsValid() const { return m_handle != INVALID_HANDLE_VALUE && m_handle != nullptr; }
  HANDLE Get() const { return m_handle; }

  // Gives up ownership without closing.
  HANDLE Release() {
    HANDLE handle = m_handle;
    m_handle = INVALID_HANDLE_VALUE;
    return handle;
  }

  // Closes the handle held, if any, and takes `handle`.
  void Reset(HANDLE handle = INVALID_HANDLE_VALUE) {
    if (IsValid()) CloseHandle(m_handle);
    m_handle = handle;
  }

 private:
  HANDLE m_handle;
};

}  // namespace stavora
