// The log lock: one process-wide lock for the log writer that exists before
// any static constructor runs and needs no teardown.
#pragma once

namespace stavora {

// Enter and leave the process's one log lock. It is not recursive. On Windows
// it is a slim reader/writer lock taken exclusively (logging/LogLockWin32.cpp),
// so the library carries no POSIX-threads runtime; elsewhere a std::mutex
// (logging/LogLockStd.cpp).
void EnterLogLock();
void LeaveLogLock();

// Holds the log lock for one scope, whichever way the scope is left.
class LogLockHold {
 public:
  LogLockHold() { EnterLogLock(); }
  ~LogLockHold() { LeaveLogLock(); }
  LogLockHold(const LogLockHold&) = delete;
  LogLockHold& operator=(const LogLockHold&) = delete;
};

}  // namespace stavora
