// The owners of the platform's handles: a kernel object (file, directory,
// thread, mutex), a registry key and a loaded module, each a ScopedResource.
#pragma once

#include <windows.h>

#include "platform/ScopedResource.h"

namespace stavora {

// Kernel handles hold nothing both when null (CreateThread, CreateMutexExW
// failing) and when INVALID_HANDLE_VALUE (CreateFileW failing).
struct KernelHandleTraits {
  using Value = HANDLE;
  static Value Empty() noexcept { return nullptr; }
  static bool Holds(Value handle) noexcept { return handle != nullptr && handle != INVALID_HANDLE_VALUE; }
  // Closing a handle we opened fails only for a bad value, which Holds keeps out.
  static void Free(Value handle) noexcept { CloseHandle(handle); }
};
using ScopedHandle = ScopedResource<KernelHandleTraits>;

struct RegKeyTraits : NullEmptyTraits<HKEY> {
  // A failed close leaves nothing to undo.
  static void Free(HKEY key) noexcept { RegCloseKey(key); }
};
using ScopedRegKey = ScopedResource<RegKeyTraits>;

struct ModuleTraits : NullEmptyTraits<HMODULE> {
  // Keeps the caller's view of the last error: it may be the result of the
  // call that made the owner go.
  static void Free(HMODULE module) noexcept {
    const DWORD error = GetLastError();
    FreeLibrary(module);
    SetLastError(error);
  }
};
using ScopedModule = ScopedResource<ModuleTraits>;

}  // namespace stavora
