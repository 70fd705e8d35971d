// The log writer and GetFileSize on the real Win32 services, under the temp
// directory that GetTempPathW reports.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>

#include "logging/FileSize.h"
#include "logging/Logger.h"
#include "logging/LoggerTestSeam.h"
#include "logging/LogFilesWin32.h"

namespace stavora {
namespace {

const std::regex kLine("\\d{4}/\\d{2}/\\d{2} \\d{2}:\\d{2}:\\d{2}:\\t([^\\r\\n]*)\\r\\n");

WString W(const std::wstring& text) { return WString(reinterpret_cast<const char16_t*>(text.c_str()), text.size()); }

std::wstring TempPath() {
  wchar_t buffer[MAX_PATH + 1];
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  EXPECT_GT(length, 0u) << "GetTempPathW failed, error " << GetLastError();
  return std::wstring(buffer, length);
}

// The file's bytes, or "<missing>" when it cannot be opened.
std::string ReadBytes(const std::wstring& path) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                            nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string bytes;
  char chunk[65536];
  DWORD got = 0;
  while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) bytes.append(chunk, got);
  CloseHandle(file);
  return bytes;
}

void WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << "cannot create " << std::string(path.begin(), path.end());
  DWORD written = 0;
  ASSERT_TRUE(WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  ASSERT_EQ(written, bytes.size());
  CloseHandle(file);
}

// Deletes a directory tree that the tests made.
void RemoveTree(const std::wstring& directory) {
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &found);
  if (search != INVALID_HANDLE_VALUE) {
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      const std::wstring child = directory + L"\\" + name;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) RemoveTree(child);
      else DeleteFileW(child.c_str());
    } while (FindNextFileW(search, &found));
    FindClose(search);
  }
  RemoveDirectoryW(directory.c_str());
}

// The messages of the log's lines; fails the test on bytes outside whole lines.
std::vector<std::string> Messages(const std::string& log) {
  std::vector<std::string> messages;
  std::size_t covered = 0;
  for (auto it = std::sregex_iterator(log.begin(), log.end(), kLine); it != std::sregex_iterator(); ++it) {
    EXPECT_EQ(static_cast<std::size_t>(it->position()), covered) << "stray bytes before a line";
    covered = static_cast<std::size_t>(it->position() + it->length());
    messages.push_back((*it)[1]);
  }
  EXPECT_EQ(covered, log.size()) << "the log does not end with a whole line";
  return messages;
}

// Each test gets a temporary directory of its own through TMP and TEMP, which
// GetTempPathW reads; the process instance is forgotten before and after.
class LoggerWin32 : public ::testing::Test {
 protected:
  void SetUp() override {
    m_realTemp = TempPath();
    const auto* info = ::testing::UnitTest::GetInstance()->current_test_info();
    const std::string name = info->name();
    m_tmp = m_realTemp + L"stavora-logger-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
            std::wstring(name.begin(), name.end());
    RemoveTree(m_tmp);
    ASSERT_TRUE(CreateDirectoryW(m_tmp.c_str(), nullptr)) << "error " << GetLastError();
    UseTempDirectory(m_tmp);
  }

  void TearDown() override {
    LoggerTestSeam::ResetInstance();
    SetEnvironmentVariableW(L"TMP", m_oldTmp.empty() ? nullptr : m_oldTmp.c_str());
    SetEnvironmentVariableW(L"TEMP", m_oldTemp.empty() ? nullptr : m_oldTemp.c_str());
    RemoveTree(m_tmp);
  }

  // Points GetTempPathW at `directory` and forgets the instance.
  void UseTempDirectory(const std::wstring& directory) {
    if (!m_saved) {
      m_oldTmp = Variable(L"TMP");
      m_oldTemp = Variable(L"TEMP");
      m_saved = true;
    }
    SetEnvironmentVariableW(L"TMP", directory.c_str());
    SetEnvironmentVariableW(L"TEMP", directory.c_str());
    LoggerTestSeam::ResetInstance();
  }

  static std::wstring Variable(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    return std::wstring(buffer, length);
  }

  void MakeLogDirectory() {
    CreateDirectoryW((m_tmp + L"\\Kestrane").c_str(), nullptr);
    ASSERT_TRUE(CreateDirectoryW(LogDirectory().c_str(), nullptr)) << "error " << GetLastError();
  }
  std::wstring LogDirectory() const { return m_tmp + L"\\Kestrane\\Log"; }
  std::wstring LogFile() const { return LogDirectory() + L"\\Stavora.log"; }
  std::wstring BackupFile() const { return LogFile() + L".1"; }

  std::wstring m_realTemp;
  std::wstring m_tmp;
  std::wstring m_oldTmp, m_oldTemp;
  bool m_saved = false;
};

TEST_F(LoggerWin32, LogPathIsTheTempPathFollowedByTheLogName) {
  const std::wstring temp = TempPath();
  ASSERT_EQ(temp.back(), L'\\');
  EXPECT_EQ(Logger::GetInstance()->LogPath(), W(temp + L"Kestrane\\Log\\Stavora.log"));
}

TEST_F(LoggerWin32, OneLineWithExactBytesAndCrLf) {
  MakeLogDirectory();
  Logger::GetInstance()->Write(u"StartFileNotificationThread(): Failed to create thread.");
  const std::string log = ReadBytes(LogFile());
  ASSERT_EQ(log.size(), 19u + 2u + 55u + 2u) << log;
  EXPECT_TRUE(std::regex_match(log, kLine)) << log;
  EXPECT_EQ(log.substr(19), ":\tStartFileNotificationThread(): Failed to create thread.\r\n");
  EXPECT_EQ(GetFileSize(W(LogFile())), 78);

  Logger::GetInstance()->Write(WString(u"LoadRegistry(): second\0hidden", 29));
  EXPECT_EQ(Messages(ReadBytes(LogFile())),
            (std::vector<std::string>{"StartFileNotificationThread(): Failed to create thread.",
                                      "LoadRegistry(): second"}));
}

TEST_F(LoggerWin32, MissingDirectoryCreatesNothingAndRaisesNothing) {
  Logger* logger = Logger::GetInstance();
  logger->Write(u"lost");
  EXPECT_EQ(GetFileAttributesW((m_tmp + L"\\Kestrane").c_str()), INVALID_FILE_ATTRIBUTES);
  MakeLogDirectory();
  logger->Write(u"kept");
  EXPECT_EQ(Messages(ReadBytes(LogFile())), std::vector<std::string>{"kept"});
}

TEST_F(LoggerWin32, JustBelowTheThresholdAppends) {
  MakeLogDirectory();
  const std::string old(1048575, 'a');
  WriteBytes(LogFile(), old);
  Logger::GetInstance()->Write(u"appended");
  const std::string log = ReadBytes(LogFile());
  EXPECT_EQ(ReadBytes(BackupFile()), "<missing>");
  ASSERT_GT(log.size(), old.size());
  EXPECT_EQ(log.compare(0, old.size(), old), 0);
  EXPECT_EQ(Messages(log.substr(old.size())), std::vector<std::string>{"appended"});
}

TEST_F(LoggerWin32, AtTheThresholdRotatesOverAnExistingBackup) {
  MakeLogDirectory();
  WriteBytes(BackupFile(), "older generation\r\n");
  const std::string old(1048576, 'b');
  WriteBytes(LogFile(), old);
  Logger::GetInstance()->Write(u"fresh");
  EXPECT_EQ(GetFileSize(W(BackupFile())), 1048576);
  EXPECT_TRUE(ReadBytes(BackupFile()) == old) << "the backup is not the rotated log";
  EXPECT_EQ(Messages(ReadBytes(LogFile())), std::vector<std::string>{"fresh"});
}

TEST_F(LoggerWin32, NonAsciiTempDirectoryAndMessage) {
  // é is code unit 233 and keeps its byte; Ω (937) is written as '?'.
  const std::wstring odd = m_tmp + L"\\T\u00e9mp \u03a9";
  ASSERT_TRUE(CreateDirectoryW(odd.c_str(), nullptr)) << "error " << GetLastError();
  CreateDirectoryW((odd + L"\\Kestrane").c_str(), nullptr);
  ASSERT_TRUE(CreateDirectoryW((odd + L"\\Kestrane\\Log").c_str(), nullptr));
  UseTempDirectory(odd);
  Logger* logger = Logger::GetInstance();
  ASSERT_EQ(logger->LogPath(), W(odd + L"\\Kestrane\\Log\\Stavora.log"));
  logger->Write(u"LoadRegistry(): cannot read " + logger->LogPath());
  logger->Write(u"next");
  const std::string expected = "LoadRegistry(): cannot read " + std::string(m_tmp.begin(), m_tmp.end()) +
                               "\\T\xe9mp ?\\Kestrane\\Log\\Stavora.log";
  EXPECT_EQ(Messages(ReadBytes(odd + L"\\Kestrane\\Log\\Stavora.log")), (std::vector<std::string>{expected, "next"}));
}

using OwnedHandle = std::unique_ptr<void, decltype(&CloseHandle)>;

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring result(path, length);
  return result.substr(0, result.find_last_of(L"\\/") + 1);
}

// Starts log_writer_process.exe (beside this program) for `writer`; it waits
// for `startEvent` before it writes. Null (and a failure) when it cannot start.
OwnedHandle StartWriter(const std::wstring& writer, int count, const std::wstring& startEvent) {
  std::wstring commandLine = L"\"" + ExecutableDirectory() + L"log_writer_process.exe\" " + writer + L" " +
                             std::to_wstring(count) + L" " + startEvent;
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION started{};
  if (!CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &started)) {
    ADD_FAILURE() << "CreateProcess failed, error " << GetLastError();
    return OwnedHandle(nullptr, &CloseHandle);
  }
  CloseHandle(started.hThread);
  return OwnedHandle(started.hProcess, &CloseHandle);
}

// Two processes, each with its own Logger and log lock, write to one log at
// once across the rotation threshold: every line whole, none lost, the one
// backup holding the first megabyte. Each writes 3000 lines of 190 to 340
// bytes, about 1.5 MB together, so the log crosses 1 MiB once and the backup
// is never pushed out by a second crossing.
TEST_F(LoggerWin32, TwoProcessesWritingAcrossTheRotationLoseNothing) {
  MakeLogDirectory();
  constexpr int kLinesEach = 3000;
  const std::wstring eventName = L"Local\\stavora-log-writers-" + std::to_wstring(GetCurrentProcessId());
  OwnedHandle start(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()), &CloseHandle);
  ASSERT_NE(start.get(), nullptr) << "error " << GetLastError();

  // The children inherit TMP and TEMP, so they log to this test's directory.
  OwnedHandle writers[] = {StartWriter(L"A", kLinesEach, eventName), StartWriter(L"B", kLinesEach, eventName)};
  ASSERT_TRUE(writers[0] && writers[1]);
  ASSERT_TRUE(SetEvent(start.get()));
  HANDLE both[] = {writers[0].get(), writers[1].get()};
  ASSERT_EQ(WaitForMultipleObjects(2, both, TRUE, 120000), WAIT_OBJECT_0) << "the writers did not finish";
  for (const OwnedHandle& writer : writers) {
    DWORD exitCode = 99;
    ASSERT_TRUE(GetExitCodeProcess(writer.get(), &exitCode));
    ASSERT_EQ(exitCode, 0u) << "a writer failed";
  }

  const std::string backup = ReadBytes(BackupFile());
  const std::string log = ReadBytes(LogFile());
  ASSERT_NE(backup, "<missing>") << "no rotation happened";
  ASSERT_NE(log, "<missing>");
  // One rotation: the backup is the log as it stood when it first reached the
  // threshold, so it ends within one line above it, and what followed stays
  // below it.
  EXPECT_GE(backup.size(), 1048576u);
  EXPECT_LT(backup.size(), 1048576u + 400u);
  EXPECT_LT(log.size(), 1048576u);

  // Every line whole and in its own form; each writer's numbers all present,
  // once each, the backup's before the log's.
  const std::regex form("LogWriter\\(\\): ([AB]) (\\d+) (\\d+) (x*)");
  std::map<std::string, std::vector<int>> seen;  // writer -> numbers, backup first
  std::map<std::string, int> inBackup;
  for (const auto& [file, bytes] : {std::make_pair("backup", &backup), std::make_pair("log", &log)}) {
    for (const std::string& message : Messages(*bytes)) {
      std::smatch parts;
      if (!std::regex_match(message, parts, form) || std::stoul(parts[3]) != static_cast<unsigned long>(parts[4].length())) {
        ADD_FAILURE() << "a line of the " << file << " is not whole: " << message.substr(0, 80);
        continue;
      }
      seen[parts[1]].push_back(std::stoi(parts[2]));
      if (std::string(file) == "backup") ++inBackup[parts[1]];
    }
  }
  for (const std::string writer : {"A", "B"}) {
    const std::vector<int>& numbers = seen[writer];
    EXPECT_EQ(numbers.size(), static_cast<std::size_t>(kLinesEach)) << "writer " << writer << " lost or doubled lines";
    std::vector<int> expected(kLinesEach);
    for (int i = 0; i < kLinesEach; ++i) expected[i] = i;
    // In order across both files: a process's lines after the rotation never
    // land in the backup.
    EXPECT_TRUE(numbers == expected) << "writer " << writer << ": lines missing, doubled or out of order; "
                                     << inBackup[writer] << " in the backup";
  }
}

// GetTempPathW as Windows answers for a directory `text`: the length when it
// fits with its zero, else the room needed. Counts its calls.
struct TempPathStandIn {
  std::wstring text;
  int calls = 0;
  std::vector<DWORD> sizesSeen;
  DWORD operator()(DWORD size, wchar_t* buffer) {
    ++calls;
    sizesSeen.push_back(size);
    if (text.size() + 1 > size) return static_cast<DWORD>(text.size() + 1);
    text.copy(buffer, text.size());
    buffer[text.size()] = L'\0';
    return static_cast<DWORD>(text.size());
  }
};

TEST(QueryTempDirectory, LongDirectoryIsAskedForAgainWithTheRoomItNeeds) {
  TempPathStandIn standIn;
  standIn.text = L"C:\\" + std::wstring(400, L'd') + L"\\";
  EXPECT_EQ(QueryTempDirectory(std::ref(standIn)), W(standIn.text));
  EXPECT_EQ(standIn.sizesSeen, (std::vector<DWORD>{260, 405}));

  standIn.text = std::wstring(259, L'e');  // exactly fills 260 with its zero
  standIn.sizesSeen.clear();
  EXPECT_EQ(QueryTempDirectory(std::ref(standIn)), W(standIn.text));
  EXPECT_EQ(standIn.sizesSeen, (std::vector<DWORD>{260}));

  standIn.text = std::wstring(260, L'f');  // one more needs a second call
  standIn.sizesSeen.clear();
  EXPECT_EQ(QueryTempDirectory(std::ref(standIn)), W(standIn.text));
  EXPECT_EQ(standIn.sizesSeen, (std::vector<DWORD>{260, 261}));
}

TEST(QueryTempDirectory, ZeroOrEndlessGrowthThrowsTheKnownText) {
  const auto expectThrow = [](const GetTempPathFunction& call, const char* what) {
    try {
      QueryTempDirectory(call);
      ADD_FAILURE() << what << ": expected std::runtime_error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Cannot determine temp directory.") << what;
    }
  };
  expectThrow([](DWORD, wchar_t*) -> DWORD { return 0; }, "zero");
  // A directory that grows on every call is given up after a few rounds.
  expectThrow([](DWORD size, wchar_t*) -> DWORD { return size + 10; }, "growing");
  // A second call failing after the first asked for room.
  int calls = 0;
  expectThrow([&calls](DWORD size, wchar_t*) -> DWORD { return ++calls == 1 ? size + 5 : 0; }, "then zero");
  EXPECT_EQ(calls, 2);
}

TEST(QueryTempDirectory, TextEndsAtItsFirstZero) {
  const auto call = [](DWORD, wchar_t* buffer) -> DWORD {
    const wchar_t text[] = L"C:\\T\0junk\\";
    std::copy(text, text + 10, buffer);
    return 9;
  };
  EXPECT_EQ(QueryTempDirectory(call), u"C:\\T");
}

// Windows reports the room a longer directory needs and the logger uses it;
// Wine answers 0 for a TMP longer than MAX_PATH, and then the logger says it
// cannot determine the directory.
TEST_F(LoggerWin32, TempDirectoryLongerThan260Characters) {
  std::wstring deep = m_tmp;
  while (deep.size() <= 300) deep += L"\\" + std::wstring(40, L'd');
  UseTempDirectory(deep);
  std::wstring platform(1024, L'\0');
  const DWORD length = GetTempPathW(static_cast<DWORD>(platform.size()), &platform[0]);
  if (length == 0) {
    try {
      Logger::GetInstance();
      ADD_FAILURE() << "expected std::runtime_error";
    } catch (const std::runtime_error& error) {
      EXPECT_STREQ(error.what(), "Cannot determine temp directory.");
    }
  } else {
    platform.resize(length);
    EXPECT_EQ(Logger::GetInstance()->LogPath(), W(platform + L"Kestrane\\Log\\Stavora.log"));
  }
}

TEST_F(LoggerWin32, GetFileSizeOfRealFiles) {
  const std::wstring file = m_tmp + L"\\sized.bin";
  EXPECT_EQ(GetFileSize(W(file)), -1);
  WriteBytes(file, "");
  EXPECT_EQ(GetFileSize(W(file)), 0);
  WriteBytes(file, std::string(12345, 'z'));
  EXPECT_EQ(GetFileSize(W(file)), 12345);
  EXPECT_EQ(GetFileSize(W(m_tmp)), -1) << "a directory cannot be opened as a file";
  EXPECT_EQ(GetFileSize(W(m_tmp + L"\\no\\such\\dir\\file")), -1);
  EXPECT_EQ(GetFileSize(u""), -1);

}

// Measuring the file must never make another program's save fail: a save
// that renames a new file over it opens it for deletion, which a measuring
// handle that does not share deletion refuses.
struct Measuring {
  std::wstring path;
  std::atomic<bool> stop{false};
  std::atomic<int> measured{0};
};

// A thread function of the platform's calling convention (stdcall on i686).
DWORD WINAPI MeasureUntilStopped(LPVOID parameter) {
  auto* state = static_cast<Measuring*>(parameter);
  while (!state->stop) {
    if (GetFileSize(W(state->path)) >= 0) ++state->measured;
  }
  return 0;
}

TEST_F(LoggerWin32, SavesByRenameSucceedWhileTheFileIsMeasured) {
  const std::wstring file = m_tmp + L"\\measured.ini";
  const std::wstring saved = m_tmp + L"\\measured.tmp";
  WriteBytes(file, "[a]\r\n");
  Measuring measuring;
  measuring.path = file;
  HANDLE thread = CreateThread(nullptr, 0, MeasureUntilStopped, &measuring, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  int failedSaves = 0;
  for (int save = 0; save < 200; ++save) {
    WriteBytes(saved, "[a]\r\nk=" + std::to_string(save) + "\r\n");
    if (!MoveFileExW(saved.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING)) ++failedSaves;
  }
  measuring.stop = true;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_EQ(failedSaves, 0) << "of 200 saves";
  EXPECT_GT(measuring.measured, 0) << "the file was never measured meanwhile";
  EXPECT_EQ(ReadBytes(file), "[a]\r\nk=199\r\n");
}

}  // namespace
}  // namespace stavora
