// The process-wide log writer on real files: each test points $TMPDIR at a
// directory of its own before the instance is created.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "logging/FileSize.h"
#include "logging/Logger.h"
#include "logging/LoggerTestSeam.h"
#include "logging/NativePath.h"

namespace stavora {
namespace {

namespace fs = std::filesystem;

const std::regex kLine("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}:\\t([^\\r\\n]*)\\r\\n");

std::string ReadBytes(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>());
}

void WriteBytes(const fs::path& path, const std::string& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << bytes;
}

// The messages of a log's lines; fails the test on any byte outside a whole line.
std::vector<std::string> Messages(const std::string& log) {
  std::vector<std::string> messages;
  auto begin = std::sregex_iterator(log.begin(), log.end(), kLine);
  std::size_t covered = 0;
  for (auto it = begin; it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(static_cast<std::size_t>(it->position()), covered) << "stray bytes before a line";
    covered = static_cast<std::size_t>(it->position() + it->length());
    messages.push_back((*it)[1]);
  }
  EXPECT_EQ(covered, log.size()) << "the log does not end with a whole line: [" << log << "]";
  return messages;
}

// A fresh temporary directory as $TMPDIR, the instance forgotten before and
// after, and the log directory created unless a test asks otherwise.
class LoggerFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    static std::atomic<int> counter{0};
    m_tmp = fs::temp_directory_path() /
            ("stavora-logger-" + std::to_string(getpid()) + "-" + std::to_string(counter++));
    fs::remove_all(m_tmp);
    fs::create_directories(m_tmp);
    if (const char* old = std::getenv("TMPDIR")) m_oldTmpdir = old, m_hadTmpdir = true;
    setenv("TMPDIR", m_tmp.c_str(), 1);
    LoggerTestSeam::ResetInstance();
  }

  void TearDown() override {
    LoggerTestSeam::ResetInstance();
    if (m_hadTmpdir) setenv("TMPDIR", m_oldTmpdir.c_str(), 1);
    else unsetenv("TMPDIR");
    std::error_code ignored;
    fs::remove_all(m_tmp, ignored);
  }

  void MakeLogDirectory() { fs::create_directories(LogDirectory()); }
  fs::path LogDirectory() const { return m_tmp / "Kestrane" / "Log"; }
  fs::path LogFile() const { return LogDirectory() / "Stavora.log"; }
  fs::path BackupFile() const { return LogDirectory() / "Stavora.log.1"; }

  fs::path m_tmp;
  std::string m_oldTmpdir;
  bool m_hadTmpdir = false;
};

TEST_F(LoggerFiles, PathIsTmpdirWithSeparatorThenTheLogName) {
  Logger* logger = Logger::GetInstance();
  EXPECT_EQ(logger->LogPath(), NativeUtf16(m_tmp.string() + "/Kestrane\\Log\\Stavora.log"));
  // A trailing separator already present is not doubled.
  LoggerTestSeam::ResetInstance();
  setenv("TMPDIR", (m_tmp.string() + "/").c_str(), 1);
  EXPECT_EQ(Logger::GetInstance()->LogPath(), NativeUtf16(m_tmp.string() + "/Kestrane\\Log\\Stavora.log"));
}

TEST_F(LoggerFiles, FirstLineCreatesTheFileWithExactBytes) {
  MakeLogDirectory();
  Logger::GetInstance()->Write(u"StartFileNotificationThread(): Failed to create thread.");
  const std::string log = ReadBytes(LogFile());
  ASSERT_EQ(log.size(), 19u + 2u + 55u + 2u) << log;
  EXPECT_TRUE(std::regex_match(log, kLine)) << log;
  EXPECT_EQ(log.substr(19), ":\tStartFileNotificationThread(): Failed to create thread.\r\n");

  Logger::GetInstance()->Write(u"LoadRegistry(): second.");
  EXPECT_EQ(Messages(ReadBytes(LogFile())),
            (std::vector<std::string>{"StartFileNotificationThread(): Failed to create thread.",
                                      "LoadRegistry(): second."}));
}

TEST_F(LoggerFiles, MissingDirectoryLosesLinesSilentlyUntilItExists) {
  Logger* logger = Logger::GetInstance();
  logger->Write(u"lost");
  EXPECT_FALSE(fs::exists(m_tmp / "Kestrane")) << "the writer must not create directories";
  MakeLogDirectory();
  logger->Write(u"kept");
  EXPECT_EQ(Messages(ReadBytes(LogFile())), std::vector<std::string>{"kept"});
}

TEST_F(LoggerFiles, JustBelowTheThresholdAppends) {
  MakeLogDirectory();
  const std::string old(1048575, 'a');
  WriteBytes(LogFile(), old);
  Logger::GetInstance()->Write(u"appended");
  const std::string log = ReadBytes(LogFile());
  EXPECT_FALSE(fs::exists(BackupFile()));
  ASSERT_GT(log.size(), old.size());
  EXPECT_EQ(log.substr(0, old.size()), old);
  EXPECT_EQ(Messages(log.substr(old.size())), std::vector<std::string>{"appended"});
}

TEST_F(LoggerFiles, AtTheThresholdTheLogBecomesTheBackup) {
  MakeLogDirectory();
  const std::string old = std::string(1048574, 'b') + "\r\n";
  WriteBytes(LogFile(), old);
  Logger::GetInstance()->Write(u"fresh");
  EXPECT_EQ(ReadBytes(BackupFile()), old);
  EXPECT_EQ(Messages(ReadBytes(LogFile())), std::vector<std::string>{"fresh"});
}

TEST_F(LoggerFiles, ExistingBackupIsReplacedByTheCurrentLog) {
  MakeLogDirectory();
  WriteBytes(BackupFile(), "older generation\r\n");
  const std::string old(1048576 + 100, 'c');
  WriteBytes(LogFile(), old);
  Logger::GetInstance()->Write(u"after rotation");
  EXPECT_EQ(GetFileSize(NativeUtf16(BackupFile().string())), static_cast<std::int64_t>(old.size()));
  EXPECT_EQ(ReadBytes(BackupFile()), old);
  EXPECT_EQ(Messages(ReadBytes(LogFile())), std::vector<std::string>{"after rotation"});
}

TEST_F(LoggerFiles, EmbeddedZeroAndWideCharactersKeepLinesWhole) {
  MakeLogDirectory();
  Logger* logger = Logger::GetInstance();
  logger->Write(WString(u"LoadRegistry(): up to here\0 and not this", 40));
  logger->Write(u"LoadRegistry(): C:\\Dat\u00e9n\\\u041a\u0438\u0442.ini");
  logger->Write(u"next");
  EXPECT_EQ(Messages(ReadBytes(LogFile())),
            (std::vector<std::string>{"LoadRegistry(): up to here", "LoadRegistry(): C:\\Dat\xe9n\\???.ini", "next"}));
}

TEST_F(LoggerFiles, LinesFromManyThreadsStayWhole) {
  MakeLogDirectory();
  constexpr int kThreads = 8;
  constexpr int kLines = 40;
  std::atomic<bool> go{false};
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([t, &go] {
      while (!go.load()) std::this_thread::yield();
      for (int i = 0; i < kLines; ++i) {
        const std::string text = "Thread" + std::to_string(t) + "(): line " + std::to_string(i) + " " +
                                 std::string(static_cast<std::size_t>(50 + t * 7), 'x');
        Logger::GetInstance()->Write(WString(text.begin(), text.end()));
      }
    });
  }
  go = true;
  for (auto& thread : threads) thread.join();

  const std::vector<std::string> messages = Messages(ReadBytes(LogFile()));
  ASSERT_EQ(messages.size(), static_cast<std::size_t>(kThreads * kLines));
  std::set<std::string> distinct(messages.begin(), messages.end());
  EXPECT_EQ(distinct.size(), messages.size()) << "a line was written twice";
}

TEST_F(LoggerFiles, FileSizeOfMissingEmptyKnownAndDirectory) {
  const fs::path file = m_tmp / "sized.bin";
  EXPECT_EQ(GetFileSize(NativeUtf16(file.string())), -1);
  WriteBytes(file, "");
  EXPECT_EQ(GetFileSize(NativeUtf16(file.string())), 0);
  WriteBytes(file, std::string(12345, 'z'));
  EXPECT_EQ(GetFileSize(NativeUtf16(file.string())), 12345);
  EXPECT_EQ(GetFileSize(NativeUtf16(m_tmp.string())), -1) << "a directory has no file size";
  // Backslashes separate as they do on Windows.
  fs::create_directories(m_tmp / "a" / "b");
  WriteBytes(m_tmp / "a" / "b" / "c.txt", "four");
  EXPECT_EQ(GetFileSize(NativeUtf16(m_tmp.string() + "\\a\\b\\c.txt")), 4);
}

// Native paths are UTF-8; what cannot be converted becomes U+FFFD rather than
// being dropped or running past the end.
TEST(NativePath, ConvertsUtf16AndMarksWhatItCannot) {
  const WString text = u"K\u00e9\u03a9\u20ac\U0001F600";
  EXPECT_EQ(NativeUtf8(text), "K\xc3\xa9\xce\xa9\xe2\x82\xac\xf0\x9f\x98\x80");
  EXPECT_EQ(NativeUtf16(NativeUtf8(text)), text);
  EXPECT_EQ(NativeUtf8(WString(1, u'\xd800') + u"a"), "\xef\xbf\xbd" "a");  // lone surrogate
  EXPECT_EQ(NativeUtf16("a\xff" "b\xc3"), u"a\ufffdb\ufffd");             // bad and cut-short bytes
  EXPECT_EQ(NativeUtf16("\xe0\x80\x80"), u"\ufffd\ufffd\ufffd");         // overlong form
  EXPECT_EQ(NativePath(u"a\\b\\c.log"), fs::path("a/b/c.log"));
}

}  // namespace
}  // namespace stavora
