// The log writer's steps over scripted services: the path it forms, when it
// rotates and in which order, what it does when a service fails, and how the
// process instance is created.
#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <thread>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "logging/LogFiles.h"
#include "logging/Logger.h"
#include "logging/LoggerTestSeam.h"
#include "logging/NativePath.h"

namespace stavora {
namespace {

constexpr char16_t kLog[] = u"C:\\Temp\\Kestrane\\Log\\Stavora.log";
constexpr char16_t kBackup[] = u"C:\\Temp\\Kestrane\\Log\\Stavora.log.1";

// Services that answer from a script and record every call as one word.
struct Script {
  WString tempDirectory = u"C:\\Temp\\";
  bool tempDirectoryThrows = false;
  std::map<WString, std::int64_t> sizes;  // missing: -1
  std::vector<bool> renameResults;        // consumed in order; empty: succeed
  bool removeResult = true;
  bool appendResult = true;
  bool lockResult = true;  // whether the lock across processes is given
  std::vector<std::string> calls;
  std::vector<std::string> appended;
};

std::string Narrow(const WString& path) {
  if (path == kLog) return "log";
  if (path == kBackup) return "backup";
  return NativeUtf8(path);
}

class ScriptedLogFiles final : public LogFiles {
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
  bool RenameFile(const WString& from, const WString& to) override {
    m_script.calls.push_back("rename " + Narrow(from) + " " + Narrow(to));
    if (m_script.renameResults.empty()) return true;
    const bool result = m_script.renameResults.front();
    m_script.renameResults.erase(m_script.renameResults.begin());
    return result;
  }
  bool RemoveFile(const WString& path) override {
    m_script.calls.push_back("remove " + Narrow(path));
    return m_script.removeResult;
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
  bool LockAcrossProcesses(const WString& path) override {
    m_script.calls.push_back("lock " + Narrow(path));
    return m_script.lockResult;
  }
  void UnlockAcrossProcesses() override { m_script.calls.push_back("unlock"); }

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
    EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "append log", "unlock"})) << "size " << size;
  }
  Script missing;  // -1: no file or no size
  LoggerOver(missing)->Write(u"x");
  EXPECT_EQ(missing.calls, (Calls{"lock log", "size log", "append log", "unlock"}));
}

TEST(LoggerRotation, AtTheThresholdRenamesToTheBackupFirst) {
  for (const std::int64_t size : {std::int64_t{1048576}, std::int64_t{5000000}}) {
    Script script;
    script.sizes[kLog] = size;
    LoggerOver(script)->Write(u"x");
    EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "rename log backup", "append log", "unlock"})) << "size " << size;
  }
}

TEST(LoggerRotation, BackupInTheWayIsRemovedAndTheRenameTriedOnce) {
  Script script;
  script.sizes[kLog] = 1048576;
  script.renameResults = {false, true};
  LoggerOver(script)->Write(u"x");
  EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "rename log backup", "remove backup", "rename log backup", "append log", "unlock"}));
}

TEST(LoggerRotation, SecondRenameFailingStillWritesTheLine) {
  Script script;
  script.sizes[kLog] = 1048576;
  script.renameResults = {false, false};
  auto logger = LoggerOver(script);
  logger->Write(u"first");
  EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "rename log backup", "remove backup", "rename log backup", "append log", "unlock"}));
  EXPECT_EQ(script.appended.size(), 1u);
  // The next line tries the whole rotation again.
  script.renameResults = {false, false};
  script.calls.clear();
  logger->Write(u"second");
  EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "rename log backup", "remove backup", "rename log backup", "append log", "unlock"}));
}

TEST(LoggerRotation, BackupThatCannotBeRemovedLeavesTheLogInPlace) {
  Script script;
  script.sizes[kLog] = 1048576;
  script.renameResults = {false};
  script.removeResult = false;
  LoggerOver(script)->Write(u"x");
  EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "rename log backup", "remove backup", "append log", "unlock"}));
  ASSERT_EQ(script.appended.size(), 1u);
  EXPECT_EQ(script.appended[0], "2026/12/08 06:08:20:\tx\r\n");
}

TEST(LoggerWrite, FailedAppendIsDroppedWithoutRetryOrError) {
  Script script;
  script.appendResult = false;
  auto logger = LoggerOver(script);
  logger->Write(u"lost");
  EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "append log", "unlock"}));
  // The logger carries on with the next line.
  script.appendResult = true;
  script.calls.clear();
  logger->Write(u"kept");
  EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "append log", "unlock"}));
  ASSERT_EQ(script.appended.size(), 1u);
  EXPECT_EQ(script.appended[0], "2026/12/08 06:08:20:\tkept\r\n");
}

TEST(LoggerWrite, LockAcrossProcessesRefusedStillWritesAndReleasesNothing) {
  Script script;
  script.sizes[kLog] = 1048576;
  script.lockResult = false;
  LoggerOver(script)->Write(u"alone");
  EXPECT_EQ(script.calls, (Calls{"lock log", "size log", "rename log backup", "append log"}));
  ASSERT_EQ(script.appended.size(), 1u);
  EXPECT_EQ(script.appended[0], "2026/12/08 06:08:20:\talone\r\n");
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


// Services that notice when two calls are inside them at once; each call
// yields a few times to give an unguarded caller every chance to overlap.
class OverlapDetectingLogFiles final : public LogFiles {
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
  bool RenameFile(const WString&, const WString&) override { return true; }
  bool RemoveFile(const WString&) override { return true; }
  std::tm LocalTime() override {
    return Enter([] { return std::tm{}; });
  }
  bool LockAcrossProcesses(const WString&) override { return true; }
  void UnlockAcrossProcesses() override {}

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
