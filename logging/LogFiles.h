// The few platform services the log writer needs: the temporary directory,
// file sizes, appending bytes, replacing one file by another, local time, and
// a lock that all processes writing one log share.
#pragma once

#include <cstdint>
#include <ctime>
#include <memory>
#include <string>

#include "platform/WString.h"

namespace stavora {

class ILogFiles {
 public:
  virtual ~ILogFiles() = default;

  // The user's temporary directory as the platform gives it, with its
  // trailing separator. Throws std::runtime_error("Cannot determine temp
  // directory.") when there is none.
  virtual WString TempDirectory() = 0;

  // Size in bytes, or -1 when the file cannot be opened or measured.
  virtual std::int64_t FileSize(const WString& path) = 0;

  // Opens `path` for appending (creating the file, never its directory),
  // writes `bytes` as they are, flushes and closes. A `path` that is a link
  // or junction is not followed and not written, nor is a file that has
  // another name too (a hard link). False when the file could not be opened
  // or not all bytes were written.
  virtual bool AppendBytes(const WString& path, const std::string& bytes) = 0;

  // Renames `from` to `to` in one step, replacing `to` when it exists. When
  // it fails, both files stay as they were.
  virtual bool ReplaceFile(const WString& from, const WString& to) = 0;

  // The current local time.
  virtual std::tm LocalTime() = 0;

  // What BeginLogStep found.
  enum class StepAccess {
    kLocked,    // the lock shared with other processes is held: call EndLogStep
    kUnlocked,  // no lock could be had in time: go ahead without it
    kRefused,   // the log's folders are missing or are not plain folders
                // (a link or junction could send the lines elsewhere), or
                // the lock file is a link or has another name: write nothing
  };

  // Begins one step of writing to the log at `path` (the size check, any
  // rotation and the appends of one batch of lines): keeps the log's own
  // folders from being replaced until EndLogStep, and takes the lock that
  // every process writing this log shares, waiting about a second at most.
  // The caller already holds the log lock, so one thread of a process at a
  // time asks.
  virtual StepAccess BeginLogStep(const WString& path) = 0;

  // Ends the step that the last BeginLogStep answering kLocked or kUnlocked
  // began.
  virtual void EndLogStep() = 0;
};

// The real services of the build's platform: logging/LogFilesStd.cpp natively,
// logging/LogFilesWin32.cpp on Windows.
std::unique_ptr<ILogFiles> MakePlatformLogFiles();

}  // namespace stavora
