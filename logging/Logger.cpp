// The process-wide log writer: instance creation, line writing and rotation,
// all under the one log lock; each line's size check, rotation and append also
// under the lock shared with other processes. The platform's services come
// through LogFiles.
#include "logging/Logger.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "logging/LogFiles.h"
#include "logging/LogLine.h"
#include "logging/LogLock.h"
#include "logging/LoggerTestSeam.h"

namespace stavora {
namespace {

constexpr char16_t kLogFileName[] = u"Kestrane\\Log\\Stavora.log";
constexpr char16_t kBackupSuffix[] = u".1";
constexpr std::int64_t kRotationSize = 1048576;
static_assert(kRotationSize == LoggerTestSeam::kRotationSize, "one threshold");

// The log lock (LogLock.h) guards creation of the instance and every line.
// It is the innermost lock of the library; nothing called while it is held
// takes another library lock.

// Deletes the instance when the library is unloaded.
struct InstanceOwner {
  Logger* instance = nullptr;
  ~InstanceOwner() {
    delete instance;
    instance = nullptr;
  }
};
InstanceOwner g_owner;

// Tests can replace how the instance gets its services; guarded by the log
// lock. At namespace scope rather than in a function: a function-local static
// would need a thread-safe guard, which the runtime implements with a lock of
// its own that outlives the library.
LoggerTestSeam::Factory g_testFactory;

LoggerTestSeam::Factory& TestFactory() { return g_testFactory; }

// Holds the lock shared with other processes writing the log, when the
// platform gives it, for one scope.
class CrossProcessHold {
 public:
  CrossProcessHold(LogFiles& files, const WString& logPath)
      : m_files(files), m_held(files.LockAcrossProcesses(logPath)) {}
  ~CrossProcessHold() {
    if (m_held) m_files.UnlockAcrossProcesses();
  }
  CrossProcessHold(const CrossProcessHold&) = delete;
  CrossProcessHold& operator=(const CrossProcessHold&) = delete;

 private:
  LogFiles& m_files;
  const bool m_held;
};

}  // namespace

Logger::Logger() : Logger(TestFactory() ? TestFactory()() : MakePlatformLogFiles()) {}

Logger::Logger(std::unique_ptr<LogFiles> files) : m_files(std::move(files)) {
  m_logPath = m_files->TempDirectory();
  // The platform's text ends at its first zero.
  const std::size_t end = m_logPath.find(u'\0');
  if (end != WString::npos) m_logPath.resize(end);
  m_logPath += kLogFileName;
}

Logger::~Logger() = default;

Logger* Logger::GetInstance() {
  LogLockHold hold;
  if (g_owner.instance == nullptr) {
    // A constructor that throws frees its memory and stores nothing, so the
    // next call tries again.
    g_owner.instance = new Logger();
  }
  return g_owner.instance;
}

void Logger::Write(WString message) {
  LogLockHold hold;
  try {
    const std::string line = FormatLogLine(m_files->LocalTime(), message);
    // Other processes write the same file: the size check, the rotation and
    // the append happen under the lock they share, or one process could
    // rotate between another's check and its rename and take its backup away.
    CrossProcessHold across(*m_files, m_logPath);
    RotateLogFile();
    // A missing directory or a file that cannot be opened drops the line;
    // nobody is told.
    (void)m_files->AppendBytes(m_logPath, line);
  } catch (const std::exception&) {
    // Out of memory while forming the line: the line is lost, the caller
    // carries on.
  }
}

void Logger::RotateLogFile() {
  const std::int64_t size = m_files->FileSize(m_logPath);
  if (size == -1 || size < kRotationSize) return;

  const WString backupPath = m_logPath + kBackupSuffix;
  if (m_files->RenameFile(m_logPath, backupPath)) return;
  // The rename fails while a backup exists: drop the backup and try once
  // more. Should the second rename fail too, the line goes to the large file
  // and a later line tries again.
  if (m_files->RemoveFile(backupPath)) {
    (void)m_files->RenameFile(m_logPath, backupPath);
  }
}

void WriteLogLines(const std::vector<WString>& messages) noexcept {
  if (messages.empty()) return;
  try {
    Logger* logger = Logger::GetInstance();
    for (const WString& message : messages) logger->Write(message);
  } catch (...) {
    // No logger (no temporary directory, or no memory): the lines are lost
    // and the caller carries on.
  }
}

void WriteLogLine(const WString& message) noexcept {
  try {
    WriteLogLines(std::vector<WString>{message});
  } catch (...) {
    // The vector's copy ran out of memory: the line is lost.
  }
}

std::unique_ptr<Logger> LoggerTestSeam::Create(std::unique_ptr<LogFiles> files) {
  return std::unique_ptr<Logger>(new Logger(std::move(files)));
}

void LoggerTestSeam::ResetInstance() {
  Logger* old = nullptr;
  {
    LogLockHold hold;
    old = std::exchange(g_owner.instance, nullptr);
  }
  delete old;
}

void LoggerTestSeam::SetFactory(Factory factory) {
  LogLockHold hold;
  TestFactory() = std::move(factory);
}

}  // namespace stavora
