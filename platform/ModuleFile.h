// The calling thread's last error as a result, and the path of a loaded
// module's file: one of each for every Win32 adapter.
#pragma once

#include <windows.h>

namespace stavora {

// Room for a module's path, as the classic path limit allows.
constexpr DWORD kModulePathCapacity = 260;
using ModulePath = wchar_t[kModulePathCapacity];

// The last error as a result. A failing call that left no error code still
// fails: passing 0 through would report the failure as success.
inline HRESULT LastErrorResult() {
  const DWORD error = GetLastError();
  if (error == ERROR_SUCCESS) return E_FAIL;
  return HRESULT_FROM_WIN32(error);
}

// The path of `module`'s file (null: the program's), terminated, in `path`.
// No path gives the last error; a path that fills the whole buffer may have
// been cut short and gives ERROR_INSUFFICIENT_BUFFER.
inline HRESULT GetModulePath(HMODULE module, ModulePath& path) {
  path[0] = 0;
  const DWORD length = GetModuleFileNameW(module, path, kModulePathCapacity);
  if (length == 0) return LastErrorResult();
  if (length >= kModulePathCapacity) return HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER);
  path[length] = 0;
  return S_OK;
}

}  // namespace stavora
