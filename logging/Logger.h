// The process-wide log writer: one time-stamped line per failure report,
// appended to %TEMP%\Kestrane\Log\Stavora.log, rotated to ".1" at 1 MiB.
#pragma once

#include <memory>
#include <vector>

#include "platform/WString.h"

namespace stavora {

class ILogFiles;

class Logger {
 public:
  // The one instance, created on first use under the log lock. Throws
  // std::runtime_error("Cannot determine temp directory.") when the temporary
  // directory is unknown; the next call then tries again.
  static Logger* GetInstance();

  // Appends one line for `message` (up to its first zero). Never fails. The
  // product logs through WriteLines, which holds the lock once for a batch.
  void Write(WString message);

  // Appends one line for each of `messages`, in order, waiting for the lock
  // shared with other processes once at most. Never fails.
  void WriteLines(const std::vector<WString>& messages);

  virtual ~Logger();

  // The log file's full path, fixed at construction; the tests of where the
  // log goes read it.
  const WString& LogPath() const { return m_logPath; }

 private:
  friend class LoggerTestSeam;

  Logger();
  // Takes its services from `files`; the default constructor uses the
  // platform's.
  explicit Logger(std::unique_ptr<ILogFiles> files);
  void WriteBatch(const WString* messages, std::size_t count) noexcept;
  void RotateLogFile();

  WString m_logPath;
  std::unique_ptr<ILogFiles> m_files;
};

// Best effort, for every caller outside the log writer: writes each of
// `messages` as one line, in order, under one hold of the lock shared with
// other processes. Never throws and never fails its caller; when no logger
// can be had, the lines are dropped.
void WriteLogLines(const std::vector<WString>& messages) noexcept;
void WriteLogLine(const WString& message) noexcept;

}  // namespace stavora
