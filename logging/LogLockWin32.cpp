// The log lock on Windows: an SRWLOCK taken exclusively. SRWLOCK_INIT makes it
// constant-initialised, so it exists before any static constructor of the
// library can log, and it owns nothing, so unloading the library leaves no
// handle or memory behind. std::mutex would pull the POSIX-threads runtime
// into the DLL, which costs handles and memory on every load and unload.
#include <windows.h>

#include "logging/LogLock.h"

namespace stavora {
namespace {

SRWLOCK g_logLock = SRWLOCK_INIT;

}  // namespace

void EnterLogLock() { AcquireSRWLockExclusive(&g_logLock); }
void LeaveLogLock() { ReleaseSRWLockExclusive(&g_logLock); }

}  // namespace stavora
