// The calling thread's last error as a result, and the path of a loaded
// module's file: one of each for every Win32 adapter.
#pragma once

#include <windows.h>

#include <string>

namespace stavora {

// The last error as a result. A failing call that left no error code still
// fails: passing 0 through would report the failure as success.
inline HRESULT LastErrorResult() {
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return E_FAIL;
  return HRESULT_FROM_WIN32(error);
}

// The full path of `module`'s file (null: the program's), however long: a
// DLL installed below a long path is found as well as one in Program Files.
inline HRESULT ModuleFilePath(HMODULE module, std::wstring* path) {
  // The longest path the system hands out, in UTF-16 units with the
  // terminator.
  constexpr DWORD kLongestPath = 32768;
  for (DWORD capacity = MAX_PATH;; capacity *= 2) {
    path->assign(capacity, L'\0');
    const DWORD length = GetModuleFileNameW(module, &(*path)[0], capacity);
    if (length == 0) return LastErrorResult();
    // A path that fills the buffer was cut short.
    if (length < capacity) {
      path->resize(length);
      return S_OK;
    }
    if (capacity >= kLongestPath) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  }
}

}  // namespace stavora
