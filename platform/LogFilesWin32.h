// The log writer's Win32 services; the temporary-directory query and the name
// of the log's mutex are exposed for their tests.
#pragma once

#include <windows.h>

#include <functional>

#include "store/NameRule.h"

namespace stavora {

// GetTempPathW's shape: fills `buffer` of `size` characters and returns the
// length without the zero, or returns the room needed (zero included) when
// `size` is too small, or 0 on failure.
using GetTempPathFunction = std::function<DWORD(DWORD size, wchar_t* buffer)>;

// The temporary directory up to its first zero, asked first with room for 260
// characters and again with the room the call reports as needed. Throws
// std::runtime_error("Cannot determine temp directory.") when the call
// returns 0 or keeps asking for more.
WString QueryTempDirectory(const GetTempPathFunction& getTempPath);

// The name of the mutex that every process writing the log at `logPath`
// shares: "Global\Kestrane.Stavora.Log:" and the path upper-cased with '/'
// for '\', or a hash of that path when the name would not fit in MAX_PATH.
WString LogMutexName(const WString& logPath);

}  // namespace stavora
