// The log writer's steps over scripted services: the path it forms, when it
// rotates and in which order, what it does when a service fails, and how the
// process instance is created.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <new>
#include <thread>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "logging/LogFiles.h"
#include "logging/Logger.h"
#include "logging/LoggerTestSeam.h"
#include "logging/NativePath.h"
#include "store/Loader.h"
#include "tests/store/ScriptedSource.h"

namespace stavora {
namespace {

constexpr char16_t kLog[] = u"C:\\Temp\\Kestrane\\Log\\Stavora.log";
constexpr char16_t kBackup[] = u"C:\\Temp\\Kestrane\\Log\\Stavora.log.1";

// Services that answer from a script and record every call as one word.
struct Script {
  WString tempDirectory = u"C:\\Temp\\";
  bool tempDirectoryThrows = false;
  std::map<WString, std::int64_t> sizes;  // missing: -1
  std::vector<bool> replaceResults;       // consumed in order; empty: succeed
  bool appendResult = true;
  ILogFiles::StepAccess stepAccess = ILogFiles::StepAccess::kLocked;
  std::vector<std::string> calls;
  std::vector<std::string> appended;
};

std::string Narrow(const WString& path) {
  if (path == kLog) return "log";
  if (path == kBackup) return "backup";
  return NativeUtf8(path);
}

class ScriptedLogFiles final : public ILogFiles {
 public:
  explicit ScriptedLogFiles(Script& script) : m_script(script) {}

  WString TempDirectory() override {
    m_script.calls.push_back("temp");
    if (m_script.tempDirectoryThrows) throw std::runtime_error("Cannot determine temp directory.");
    return m_script.tempDirectory;
  }
  std::int64_t FileSize(const WString& path) override {
    m_script.calls.push_back("size " + Narrow(path));
    const auto found = m_script.sizes.find(path);
    return found == m_script.sizes.end() ? -1 : found->second;
  }
  bool AppendBytes(const WString& path, const std::string& bytes) override {
    m_script.calls.push_back("append " + Narrow(path));
    if (m_script.appendResult) m_script.appended.push_back(bytes);
    return m_script.appendResult;
  }
  bool ReplaceFile(const WString& from, const WString& to) override {
    m_script.calls.push_back("replace " + Narrow(from) + " " + Narrow(to));
    if (m_script.replaceResults.empty()) return true;
    const bool result = m_script.replaceResults.front();
    m_script.replaceResults.erase(m_script.replaceResults.begin());
    return result;
  }
  std::tm LocalTime() override {
    std::tm when{};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 11;
    when.tm_mday = 8;
    when.tm_hour = 6;
    when.tm_min = 8;
    when.tm_sec = 20;
    return when;
  }
  StepAccess BeginLogStep(const WString& path) override {
    m_script.calls.push_back("begin " + Narrow(path));
    return m_script.stepAccess;
  }
  void EndLogStep() override { m_script.calls.push_back("end"); }

 private:
  Script& m_script;
};

std::unique_ptr<Logger> LoggerOver(Script& script) {
  auto logger = LoggerTestSeam::Create(std::make_unique<ScriptedLogFiles>(script));
  script.calls.clear();
  return logger;
}

using Calls = std::vector<std::string>;

TEST(LoggerPath, TempDirectoryFollowedAtOnceByTheLogName) {
  Script script;
  EXPECT_EQ(LoggerOver(script)->LogPath(), kLog);

  script.tempDirectory = WString(u"D:\\T\0junk\\", 10);  // text ends at its first zero
  EXPECT_EQ(LoggerOver(script)->LogPath(), u"D:\\TKestrane\\Log\\Stavora.log");

  script.tempDirectory = u"E:\\Caf\u00e9\u03a9\\";  // kept as the platform gives it
  EXPECT_EQ(LoggerOver(script)->LogPath(), u"E:\\Caf\u00e9\u03a9\\Kestrane\\Log\\Stavora.log");
}

TEST(LoggerPath, ConstructionTouchesNoFile) {
  Script script;
  auto logger = LoggerTestSeam::Create(std::make_unique<ScriptedLogFiles>(script));
  EXPECT_EQ(script.calls, Calls{"temp"});
}

TEST(LoggerPath, UnknownTempDirectoryThrowsItsText) {
  Script script;
  script.tempDirectoryThrows = true;
  try {
    LoggerTestSeam::Create(std::make_unique<ScriptedLogFiles>(script));
    ADD_FAILURE() << "expected std::runtime_error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Cannot determine temp directory.");
  }
}

TEST(LoggerRotation, BelowTheThresholdOrUnmeasuredAppends) {
  for (const std::int64_t size : {std::int64_t{0}, std::int64_t{1}, std::int64_t{1048575}}) {
    Script script;
    script.sizes[kLog] = size;
    LoggerOver(script)->Write(u"x");
    EXPECT_EQ(script.calls, (Calls{"begin log", "size log", "append log", "end"})) << "size " << size;
  }
  Script missing;  // -1: no file or no size
  LoggerOver(missing)->Write(u"x");
  EXPECT_EQ(missing.calls, (Calls{"begin log", "size log", "append log", "end"}));
}

TEST(LoggerRotation, AtTheThresholdReplacesTheBackupFirst) {
  for (const std::int64_t size : {std::int64_t{1048576}, std::int64_t{5000000}}) {
    Script script;
    script.sizes[kLog] = size;
    LoggerOver(script)->Write(u"x");
    EXPECT_EQ(script.calls, (Calls{"begin log", "size log", "replace log backup", "append log", "end"})) << "size " << size;
  }
}

// A log and its backup in memory. Replacing fails while a viewer holds the
// log without delete sharing, as MoveFileExW does then; removing the backup
// would succeed.
class ModelLogFiles final : public ILogFiles {
 public:
  std::map<WString, std::string> files;
  bool viewerHoldsLog = false;
  int steps = 0;

  WString TempDirectory() override { return u"C:\\Temp\\"; }
  std::int64_t FileSize(const WString& path) override {
    const auto found = files.find(path);
    return found == files.end() ? -1 : static_cast<std::int64_t>(found->second.size());
  }
  bool AppendBytes(const WString& path, const std::string& bytes) override {
    files[path] += bytes;
    return true;
  }
  bool ReplaceFile(const WString& from, const WString& to) override {
    if (from == kLog && viewerHoldsLog) return false;
    const auto found = files.find(from);
    if (found == files.end()) return false;
    files[to] = std::move(found->second);
    files.erase(from);
    return true;
  }
  std::tm LocalTime() override { return std::tm{}; }
  StepAccess BeginLogStep(const WString&) override {
    ++steps;
    return StepAccess::kLocked;
  }
  void EndLogStep() override {}
};

TEST(LoggerRotation, RotationThatCannotRenameKeepsTheBackupAndTriesAgain) {
  auto owned = std::make_unique<ModelLogFiles>();
  ModelLogFiles& model = *owned;
  auto logger = LoggerTestSeam::Create(std::move(owned));
  const std::string full(1048576, 'a');
  model.files[kBackup] = "older generation\r\n";
  model.files[kLog] = full;

  model.viewerHoldsLog = true;
  logger->Write(u"while viewed");
  EXPECT_EQ(model.files[kBackup], "older generation\r\n") << "the backup was lost to a failed rotation";
  EXPECT_EQ(model.files[kLog].size(), full.size() + 19 + 2 + 12 + 2) << "the line goes to the large log";

  model.viewerHoldsLog = false;
  logger->Write(u"after");
  EXPECT_EQ(model.files[kBackup].size(), full.size() + 35) << "the next line rotates";
  EXPECT_EQ(model.files[kLog].substr(19), ":\tafter\r\n");
}

TEST(LoggerWrite, FailedAppendIsDroppedWithoutRetryOrError) {
  Script script;
  script.appendResult = false;
  auto logger = LoggerOver(script);
  logger->Write(u"lost");
  EXPECT_EQ(script.calls, (Calls{"begin log", "size log", "append log", "end"}));
  // The logger carries on with the next line.
  script.appendResult = true;
  script.calls.clear();
  logger->Write(u"kept");
  EXPECT_EQ(script.calls, (Calls{"begin log", "size log", "append log", "end"}));
  ASSERT_EQ(script.appended.size(), 1u);
  EXPECT_EQ(script.appended[0], "2026/12/08 06:08:20:\tkept\r\n");
}

TEST(LoggerWrite, StepWithoutTheLockStillWritesAndRefusedStepWritesNothing) {
  Script script;
  script.sizes[kLog] = 1048576;
  script.stepAccess = ILogFiles::StepAccess::kUnlocked;
  auto logger = LoggerOver(script);
  logger->Write(u"alone");
  EXPECT_EQ(script.calls, (Calls{"begin log", "size log", "replace log backup", "append log", "end"}));
  ASSERT_EQ(script.appended.size(), 1u);
  EXPECT_EQ(script.appended[0], "2026/12/08 06:08:20:\talone\r\n");

  // Folders that are links: no rotation, no line, and no step to end.
  script.stepAccess = ILogFiles::StepAccess::kRefused;
  script.calls.clear();
  logger->WriteLines({u"one", u"two"});
  EXPECT_EQ(script.calls, Calls{"begin log"});
  EXPECT_EQ(script.appended.size(), 1u);
}

// A batch is one step: one wait for the lock shared with other processes,
// however many lines, with the rotation checked before each line so that a
// batch that crosses the threshold rotates in its midst.
TEST(LoggerWrite, BatchOfLinesIsOneStep) {
  Script script;
  script.sizes[kLog] = 1048575;
  auto logger = LoggerOver(script);
  logger->WriteLines({u"one", u"two", u"three"});
  EXPECT_EQ(script.calls, (Calls{"begin log", "size log", "append log", "size log", "append log", "size log",
                                 "append log", "end"}));
  EXPECT_EQ(script.appended, (std::vector<std::string>{"2026/12/08 06:08:20:\tone\r\n",
                                                       "2026/12/08 06:08:20:\ttwo\r\n",
                                                       "2026/12/08 06:08:20:\tthree\r\n"}));
  script.calls.clear();
  logger->WriteLines({});
  EXPECT_TRUE(script.calls.empty()) << "an empty batch takes no step";
}

TEST(LoggerInstance, FailedCreationStoresNothingAndTheNextCallTriesAgain) {
  Script script;
  script.tempDirectoryThrows = true;
  int made = 0;
  LoggerTestSeam::ResetInstance();
  LoggerTestSeam::SetFactory([&] {
    ++made;
    return std::make_unique<ScriptedLogFiles>(script);
  });
  try {
    Logger::GetInstance();
    ADD_FAILURE() << "expected std::runtime_error";
  } catch (const std::runtime_error& error) {
    EXPECT_STREQ(error.what(), "Cannot determine temp directory.");
  }
  script.tempDirectoryThrows = false;
  Logger* first = Logger::GetInstance();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(first->LogPath(), kLog);
  EXPECT_EQ(Logger::GetInstance(), first);
  EXPECT_EQ(made, 2) << "one failed and one good construction";
  EXPECT_EQ(script.calls, (Calls{"temp", "temp"}));

  LoggerTestSeam::ResetInstance();
  LoggerTestSeam::SetFactory({});
}


// Logging is best effort for its callers: a load over a missing file, which
// logs two lines, finishes as usual when no logger can be made, whether the
// temporary directory is unknown or memory runs out making it.
TEST(LoggerInstance, LoggerThatCannotBeMadeFailsNoLoad) {
  Script script;
  script.tempDirectoryThrows = true;
  LoggerTestSeam::ResetInstance();
  for (const bool outOfMemory : {false, true}) {
    LoggerTestSeam::SetFactory([&script, outOfMemory]() -> std::unique_ptr<ILogFiles> {
      if (outOfMemory) throw std::bad_alloc();
      return std::make_unique<ScriptedLogFiles>(script);
    });
    testing_support::RecordingLock lock;
    testing_support::ScriptedSource source(lock);
    source.FileGone();
    source.SetFileSize(-1);
    source.AnswerNothing();
    SectionMap store;
    ServedStore served(store, lock);
    EXPECT_NO_THROW(WriteLogLines(LoadStore(served, source, u"C:\\DATA\\MISSING.INI").logLines))
        << "out of memory: " << outOfMemory;
    EXPECT_TRUE(store.empty()) << "the load did not finish";
    EXPECT_EQ(lock.enters, lock.leaves);
    EXPECT_FALSE(lock.held);
  }
  EXPECT_EQ(script.calls, Calls{"temp"}) << "one construction that threw, one that ran out of memory";
  LoggerTestSeam::SetFactory({});
}

// Services that notice when two calls are inside them at once; each call
// yields a few times to give an unguarded caller every chance to overlap.
class OverlapDetectingLogFiles final : public ILogFiles {
 public:
  template <typename F>
  decltype(std::declval<F>()()) Enter(F body) {
    if (inside.fetch_add(1) != 0) ++overlaps;
    for (int i = 0; i < 20; ++i) std::this_thread::yield();
    auto result = body();
    --inside;
    return result;
  }

  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> lines{0};

  WString TempDirectory() override { return Enter([] { return WString(u"C:\\Temp\\"); }); }
  std::int64_t FileSize(const WString&) override { return Enter([] { return std::int64_t{-1}; }); }
  bool AppendBytes(const WString&, const std::string&) override {
    return Enter([this] {
      ++lines;
      return true;
    });
  }
  bool ReplaceFile(const WString&, const WString&) override { return true; }
  std::tm LocalTime() override {
    return Enter([] { return std::tm{}; });
  }
  StepAccess BeginLogStep(const WString&) override { return StepAccess::kLocked; }
  void EndLogStep() override {}
};

TEST(LoggerLock, WritesFromManyThreadsNeverOverlap) {
  auto owned = std::make_unique<OverlapDetectingLogFiles>();
  OverlapDetectingLogFiles* files = owned.get();
  auto logger = LoggerTestSeam::Create(std::move(owned));
  std::vector<std::thread> threads;
  for (int t = 0; t < 6; ++t) {
    threads.emplace_back([&logger] {
      for (int i = 0; i < 50; ++i) logger->Write(u"line");
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(files->overlaps.load(), 0) << "two writes ran at once";
  EXPECT_EQ(files->lines.load(), 300);
}

TEST(LoggerLock, ConcurrentFirstUseConstructsOnce) {
  LoggerTestSeam::ResetInstance();
  std::atomic<int> made{0};
  LoggerTestSeam::SetFactory([&made] {
    ++made;
    return std::make_unique<OverlapDetectingLogFiles>();
  });
  std::atomic<int> ready{0};
  std::vector<Logger*> seen(8, nullptr);
  std::vector<std::thread> threads;
  for (std::size_t t = 0; t < seen.size(); ++t) {
    threads.emplace_back([t, &ready, &seen] {
      ++ready;
      while (ready.load() < 8) std::this_thread::yield();
      seen[t] = Logger::GetInstance();
    });
  }
  for (auto& thread : threads) thread.join();
  EXPECT_EQ(made.load(), 1);
  for (std::size_t t = 0; t < seen.size(); ++t) EXPECT_EQ(seen[t], seen[0]) << "thread " << t;
  LoggerTestSeam::ResetInstance();
  LoggerTestSeam::SetFactory({});
}

}  // namespace
}  // namespace stavora
