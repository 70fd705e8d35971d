// The process-wide log writer: instance creation, line writing and rotation,
// all under the one log lock; each batch of lines (its size checks, rotations
// and appends) also under one hold of the lock shared with other processes.
// The platform's services come through LogFiles.
#include "logging/Logger.h"

#include <new>
#include <stdexcept>
#include <utility>

#include "logging/LogFiles.h"
#include "logging/LogLine.h"
#include "logging/LogLock.h"
#include "logging/LoggerTestSeam.h"
#include "platform/BestEffort.h"

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

// One step of writing to the log (ILogFiles::BeginLogStep) for one scope.
class LogStep {
 public:
  LogStep(ILogFiles& files, const WString& logPath)
      : m_files(files), m_access(files.BeginLogStep(logPath)) {}
  ~LogStep() {
    if (m_access != ILogFiles::StepAccess::kRefused) m_files.EndLogStep();
  }
  LogStep(const LogStep&) = delete;
  LogStep& operator=(const LogStep&) = delete;

  bool Refused() const { return m_access == ILogFiles::StepAccess::kRefused; }

 private:
  ILogFiles& m_files;
  const ILogFiles::StepAccess m_access;
};

}  // namespace

Logger::Logger() : Logger(TestFactory() ? TestFactory()() : MakePlatformLogFiles()) {}

Logger::Logger(std::unique_ptr<ILogFiles> files) : m_files(std::move(files)) {
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

void Logger::Write(WString message) { WriteBatch(&message, 1); }

void Logger::WriteLines(const std::vector<WString>& messages) {
  WriteBatch(messages.data(), messages.size());
}

void Logger::WriteBatch(const WString* messages, std::size_t count) noexcept {
  if (count == 0) return;
  LogLockHold hold;
  // Out of memory while forming a line loses the rest of the batch.
  DoBestEffort([&] {
    // Other processes write the same file: the size checks, the rotation and
    // the appends happen under the lock they share, or one process could
    // rotate between another's check and its rename. The whole batch goes
    // out under one hold, so a batch waits for that lock once at most.
    LogStep step(*m_files, m_logPath);
    if (step.Refused()) return;
    for (std::size_t i = 0; i < count; ++i) {
      const std::string line = FormatLogLine(m_files->LocalTime(), messages[i]);
      RotateLogFile();
      // A missing directory or a file that cannot be opened drops the line;
      // nobody is told.
      (void)m_files->AppendBytes(m_logPath, line);
    }
  });
}

void Logger::RotateLogFile() {
  const std::int64_t size = m_files->FileSize(m_logPath);
  if (size == -1 || size < kRotationSize) return;

  // One step that replaces the backup. When it fails (a viewer holds the log
  // without delete sharing, say), the old backup stays, the line goes to the
  // large file and the next line tries again.
  (void)m_files->ReplaceFile(m_logPath, m_logPath + kBackupSuffix);
}

void WriteLogLines(const std::vector<WString>& messages) noexcept {
  if (messages.empty()) return;
  // No logger (no temporary directory, or no memory): the lines are lost.
  DoBestEffort([&] { Logger::GetInstance()->WriteLines(messages); });
}

void WriteLogLine(const WString& message) noexcept {
  // No logger, or no memory for the copy: the line is lost.
  DoBestEffort([&] { Logger::GetInstance()->WriteLines({message}); });
}

std::unique_ptr<Logger> LoggerTestSeam::Create(std::unique_ptr<ILogFiles> files) {
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
