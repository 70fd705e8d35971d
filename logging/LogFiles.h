// The few platform services the log writer needs: the temporary directory,
// file sizes, appending bytes, renaming and removing files, local time, and a
// lock that all processes writing one log share.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "store/NameRule.h"

namespace stavora {

class LogFiles {
 public:
  virtual ~LogFiles() = default;

  // The user's temporary directory as the platform gives it, with its
  // trailing separator. Throws std::runtime_error("Cannot determine temp
  // directory.") when there is none.
  virtual WString TempDirectory() = 0;

  // Size in bytes, or -1 when the file cannot be opened or measured.
  virtual std::int64_t FileSize(const WString& path) = 0;

  // Opens `path` for appending (creating the file, never its directory),
  // writes `bytes` as they are, flushes and closes. False when the file could
  // not be opened or not all bytes were written.
  virtual bool AppendBytes(const WString& path, const std::string& bytes) = 0;

  // Renames `from` to `to`; fails when `to` exists.
  virtual bool RenameFile(const WString& from, const WString& to) = 0;

  // Removes `path`; false when nothing was removed.
  virtual bool RemoveFile(const WString& path) = 0;

  // The current local time.
  virtual std::tm LocalTime() = 0;

  // Takes the lock shared by every process that writes the log at `path`, so
  // that one process's size check, rotation and append are one step for all
  // of them. True when it is held; false when the platform could not give it
  // (the step then runs without it, as it would in a single process). The
  // caller already holds the log lock, so one thread of a process at a time
  // asks.
  virtual bool LockAcrossProcesses(const WString& path) = 0;

  // Gives back the lock that the last LockAcrossProcesses returning true took.
  virtual void UnlockAcrossProcesses() = 0;
};

// The real services of the build's platform: logging/LogFilesStd.cpp natively,
// platform/LogFilesWin32.cpp on Windows.
std::unique_ptr<LogFiles> MakePlatformLogFiles();

}  // namespace stavora
