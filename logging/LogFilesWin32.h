// The log writer's Win32 services; the temporary-directory query and the
// choice of the call that answers it are exposed for their tests.
#pragma once

#include <windows.h>

#include <functional>

#include "platform/WString.h"

namespace stavora {

// GetTempPathW's shape: fills `buffer` of `size` characters and returns the
// length without the zero, or returns the room needed (zero included) when
// `size` is too small, or 0 on failure.
using GetTempPathFunction = std::function<DWORD(DWORD size, wchar_t* buffer)>;
using GetTempPathEntry = DWORD(WINAPI*)(DWORD size, LPWSTR buffer);

// The temporary directory up to its first zero, asked first with room for 260
// characters and again with the room the call reports as needed. Throws
// std::runtime_error("Cannot determine temp directory.") when the call
// returns 0 or keeps asking for more.
WString QueryTempDirectory(const GetTempPathFunction& getTempPath);

// GetTempPath2W when `findExport` (GetProcAddress on kernel32) finds it, else
// GetTempPathW. The newer call gives a process running as SYSTEM a folder of
// its own that other accounts cannot write, rather than C:\Windows\Temp; for
// every other account both answer alike.
GetTempPathEntry ChooseGetTempPath(const std::function<FARPROC(const char* name)>& findExport);

}  // namespace stavora
