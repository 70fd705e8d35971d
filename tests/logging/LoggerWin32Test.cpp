// The log writer and GetFileSize on the real Win32 services, under the temp
// directory that GetTempPathW reports.
#include <windows.h>
#include <winioctl.h>

#include <gtest/gtest.h>

#include <atomic>

#include <algorithm>
#include <functional>
#include <map>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "logging/FileSize.h"
#include "logging/LogFiles.h"
#include "logging/LogFilesWin32.h"
#include "logging/Logger.h"
#include "logging/LoggerTestSeam.h"
#include "platform/ScopedBstr.h"
#include "store/IniPath.h"
#include "store/StavoraLookup.h"
#include "tests/support/DirectLookup.h"

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

// Starts log_writer_process.exe (beside this program) with `arguments`. Null
// (and a failure) when it cannot start.
OwnedHandle StartWriterProcess(const std::wstring& arguments) {
  std::wstring commandLine = L"\"" + ExecutableDirectory() + L"log_writer_process.exe\" " + arguments;
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

// Starts log_writer_process.exe for `writer`; it waits for `startEvent`
// before it writes. Null (and a failure) when it cannot start.
OwnedHandle StartWriter(const std::wstring& writer, int count, const std::wstring& startEvent) {
  return StartWriterProcess(writer + L" " + std::to_wstring(count) + L" " + startEvent);
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

// Starts log_writer_process.exe to hold a lock of `kind` on this test's log
// for a minute; returns once it holds it. Null (and a failure) otherwise.
OwnedHandle StartHolder(const std::wstring& kind) {
  const std::wstring eventName = L"Local\\stavora-log-holder-" + std::to_wstring(GetCurrentProcessId());
  OwnedHandle ready(CreateEventW(nullptr, TRUE, FALSE, eventName.c_str()), &CloseHandle);
  if (!ready) {
    ADD_FAILURE() << "CreateEvent failed, error " << GetLastError();
    return OwnedHandle(nullptr, &CloseHandle);
  }
  OwnedHandle holder = StartWriterProcess(L"hold " + kind + L" " + eventName + L" 60");
  if (!holder) return holder;
  HANDLE either[] = {ready.get(), holder.get()};
  if (WaitForMultipleObjects(2, either, FALSE, 20000) != WAIT_OBJECT_0) {
    DWORD exitCode = 99;
    GetExitCodeProcess(holder.get(), &exitCode);
    ADD_FAILURE() << "the holder did not take the lock; exit code " << exitCode;
    TerminateProcess(holder.get(), 1);
    return OwnedHandle(nullptr, &CloseHandle);
  }
  return holder;
}

void EndHolder(const OwnedHandle& holder) {
  if (!holder) return;
  TerminateProcess(holder.get(), 0);
  WaitForSingleObject(holder.get(), 10000);
}

// Points HKLM\...\Settings\StavoraPath at a file for one test and deletes the
// value afterwards.
class PathValue {
 public:
  PathValue() {
    EXPECT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, reinterpret_cast<const wchar_t*>(kSettingsKeyName), 0, nullptr, 0,
                              KEY_SET_VALUE, nullptr, &m_key, nullptr),
              ERROR_SUCCESS);
  }
  ~PathValue() {
    if (m_key == nullptr) return;
    RegDeleteValueW(m_key, reinterpret_cast<const wchar_t*>(kIniPathValueName));
    RegCloseKey(m_key);
  }
  PathValue(const PathValue&) = delete;
  PathValue& operator=(const PathValue&) = delete;

  void Set(const std::wstring& path) {
    ASSERT_EQ(RegSetValueExW(m_key, reinterpret_cast<const wchar_t*>(kIniPathValueName), 0, REG_SZ,
                             reinterpret_cast<const BYTE*>(path.c_str()),
                             static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t))),
              ERROR_SUCCESS);
  }

 private:
  HKEY m_key = nullptr;
};

double MillisecondsSince(const LARGE_INTEGER& start) {
  LARGE_INTEGER now, frequency;
  QueryPerformanceCounter(&now);
  QueryPerformanceFrequency(&frequency);
  return 1000.0 * static_cast<double>(now.QuadPart - start.QuadPart) / static_cast<double>(frequency.QuadPart);
}

LARGE_INTEGER Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now;
}

// Lookups on a live object, timed one by one until stopped.
struct LookupLoop {
  CStavoraLookup* object = nullptr;
  std::atomic<bool> stop{false};
  std::atomic<int> answered{0};
  double slowest = 0;  // milliseconds; read after the thread has ended
};

DWORD WINAPI LookUpUntilStopped(LPVOID parameter) {
  auto* loop = static_cast<LookupLoop*>(parameter);
  ScopedBstr section(SysAllocString(L"Main"));
  ScopedBstr key(SysAllocString(L"Colour"));
  while (!loop->stop) {
    BSTR value = nullptr;
    const LARGE_INTEGER start = Now();
    const HRESULT hr = loop->object->GetKey(section.Get(), key.Get(), &value);
    loop->slowest = std::max(loop->slowest, MillisecondsSince(start));
    if (hr == S_OK && value != nullptr && std::wstring(value) == L"blue") ++loop->answered;
    SysFreeString(value);
    Sleep(1);
  }
  return 0;
}

// Objects over a live INI file and over a missing one, built while another
// process holds a lock on the log.
class LoggerLockHeld : public LoggerWin32 {
 protected:
  void SetUp() override {
    LoggerWin32::SetUp();
    MakeLogDirectory();
    m_ini = m_tmp + L"\\Live.ini";
    WriteBytes(m_ini, "[Main]\r\nColour=blue\r\n");
    m_missing = m_tmp + L"\\Missing.ini";
  }

  // Builds an object over the missing file while lookups run on one over the
  // live file, and checks that the lookups never waited. The milliseconds
  // the creation took.
  double CreateOverMissingFileBesideLookups() {
    m_value.Set(m_ini);
    auto live = std::make_unique<DirectLookup>();
    LookupLoop loop;
    loop.object = live.get();
    OwnedHandle thread(CreateThread(nullptr, 0, &LookUpUntilStopped, &loop, 0, nullptr), &CloseHandle);
    EXPECT_TRUE(thread);
    while (loop.answered == 0) Sleep(1);

    m_value.Set(m_missing);
    const LARGE_INTEGER start = Now();
    { DirectLookup overMissing; }
    const double took = MillisecondsSince(start);

    loop.stop = true;
    WaitForSingleObject(thread.get(), INFINITE);
    EXPECT_GT(loop.answered.load(), 0);
    EXPECT_LT(loop.slowest, 250.0) << "a lookup on the live object waited";
    return took;
  }

  std::vector<std::string> MissingFileLines() const {
    std::string path(m_missing.begin(), m_missing.end());
    for (char& c : path) c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    return {"GetFileSize(): Failed to get file handle or file size for " + path,
            "LoadRegistry(): GetPrivateProfileString() failed to retrieve sections."};
  }

  std::wstring m_ini, m_missing;
  PathValue m_value;
};

// Another process holds the log's lock: the two lines of a load over a
// missing file wait for it once, about a second, and are then written whole;
// lookups on another object never wait.
TEST_F(LoggerLockHeld, ByAnotherProcessTheLinesOfOneLoadWaitOnceAndLookupsNever) {
  OwnedHandle holder = StartHolder(L"step");
  ASSERT_TRUE(holder);
  const double took = CreateOverMissingFileBesideLookups();
  EndHolder(holder);
  EXPECT_GE(took, 900.0) << "the lines did not wait for the other process's lock";
  EXPECT_LT(took, 3000.0) << "creation waited for the log's lock more than once or too long";
  EXPECT_EQ(Messages(ReadBytes(LogFile())), MissingFileLines());
}

// A mutex of the name that earlier versions waited for, held by another
// process (as any account could): nothing waits for it.
TEST_F(LoggerLockHeld, MutexOfTheOldNameHeldElsewhereKeepsNothingWaiting) {
  OwnedHandle holder = StartHolder(L"old-mutex");
  ASSERT_TRUE(holder);
  const double took = CreateOverMissingFileBesideLookups();
  EndHolder(holder);
  EXPECT_LT(took, 500.0) << "creation waited";
  EXPECT_EQ(Messages(ReadBytes(LogFile())), MissingFileLines());
}

// A log writer that cannot be made (here: no temporary directory) fails no
// object creation; the object serves its file.
TEST_F(LoggerLockHeld, ObjectIsMadeWhenNoLoggerCanBe) {
  LoggerTestSeam::SetFactory([]() -> std::unique_ptr<ILogFiles> {
    throw std::runtime_error("Cannot determine temp directory.");
  });
  m_value.Set(m_missing);
  try {
    DirectLookup overMissing;
    m_value.Set(m_ini);
    DirectLookup live;
    ScopedBstr section(SysAllocString(L"Main"));
    ScopedBstr key(SysAllocString(L"Colour"));
    BSTR value = nullptr;
    EXPECT_EQ(live.GetKey(section.Get(), key.Get(), &value), S_OK);
    EXPECT_EQ(std::wstring(value ? value : L""), L"blue");
    SysFreeString(value);
  } catch (const std::exception& error) {
    ADD_FAILURE() << "creation failed: " << error.what();
  }
  LoggerTestSeam::SetFactory({});
  EXPECT_EQ(ReadBytes(LogFile()), "<missing>");
}

// A viewer holds the log open without delete sharing as it reaches the
// threshold: the rename is refused, the old backup stays and the line goes
// to the large log; once the viewer lets go, the next line rotates.
TEST_F(LoggerWin32, RotationRefusedByAViewerKeepsTheBackup) {
  MakeLogDirectory();
  WriteBytes(BackupFile(), "older generation\r\n");
  const std::string full(1048576, 'v');
  WriteBytes(LogFile(), full);
  HANDLE viewer = CreateFileW(LogFile().c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(viewer, INVALID_HANDLE_VALUE);
  Logger::GetInstance()->Write(u"while viewed");
  CloseHandle(viewer);
  EXPECT_EQ(ReadBytes(BackupFile()), "older generation\r\n") << "the backup was lost to a refused rotation";
  const std::string log = ReadBytes(LogFile());
  ASSERT_GT(log.size(), full.size());
  EXPECT_EQ(Messages(log.substr(full.size())), std::vector<std::string>{"while viewed"});

  Logger::GetInstance()->Write(u"after");
  EXPECT_EQ(GetFileSize(W(BackupFile())), static_cast<std::int64_t>(log.size()));
  EXPECT_EQ(Messages(ReadBytes(LogFile())), std::vector<std::string>{"after"});
}

// Under Wine only: runs `program` with `option` and the Unix names of
// `first` and `second` (when not empty), and waits for it. False elsewhere.
bool RunUnixOnPaths(const char* program, const char* option, const std::wstring& first, const std::wstring& second) {
  using UnixName = char*(CDECL*)(LPCWSTR);
  using UnixSpawn = LONG(WINAPI*)(char* const* argv, int wait);
  const auto unixName = reinterpret_cast<UnixName>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"kernel32.dll"), "wine_get_unix_file_name")));
  const auto spawn = reinterpret_cast<UnixSpawn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "__wine_unix_spawnvp")));
  if (unixName == nullptr || spawn == nullptr) return false;
  char* unixFirst = unixName(first.c_str());
  char* unixSecond = second.empty() ? nullptr : unixName(second.c_str());
  bool ran = false;
  if (unixFirst != nullptr && (second.empty() || unixSecond != nullptr)) {
    char* const argv[] = {const_cast<char*>(program), const_cast<char*>(option), unixFirst, unixSecond, nullptr};
    ran = spawn(argv, 1) == 0;
  }
  HeapFree(GetProcessHeap(), 0, unixFirst);
  if (unixSecond != nullptr) HeapFree(GetProcessHeap(), 0, unixSecond);
  return ran;
}

// Makes `link` lead to the existing `target`: a junction where the system
// has them (Windows; a folder only), else, under Wine, which has neither
// junctions nor symbolic links of its own, a Unix symbolic link, which Wine
// reports with FILE_ATTRIBUTE_REPARSE_POINT. False when neither can be made.
bool MakeLink(const std::wstring& link, const std::wstring& target, bool folder) {
  if (folder && CreateDirectoryW(link.c_str(), nullptr)) {
    HANDLE handle = CreateFileW(link.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (handle != INVALID_HANDLE_VALUE) {
      // REPARSE_DATA_BUFFER for a mount point: tag, data length, reserved,
      // then substitute and print names (offsets and lengths in bytes) and
      // the names themselves, each ended by a zero.
      const std::wstring substitute = L"\\??\\" + target;
      std::vector<BYTE> buffer(8 + 8 + (substitute.size() + 2) * sizeof(wchar_t), 0);
      auto* words = reinterpret_cast<WORD*>(buffer.data());
      *reinterpret_cast<DWORD*>(buffer.data()) = IO_REPARSE_TAG_MOUNT_POINT;
      words[2] = static_cast<WORD>(buffer.size() - 8);
      words[4] = 0;
      words[5] = static_cast<WORD>(substitute.size() * sizeof(wchar_t));
      words[6] = static_cast<WORD>(words[5] + sizeof(wchar_t));
      words[7] = 0;
      std::copy(substitute.begin(), substitute.end(), reinterpret_cast<wchar_t*>(buffer.data() + 16));
      DWORD returned = 0;
      const BOOL made = DeviceIoControl(handle, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                        static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr);
      CloseHandle(handle);
      if (made) return true;
    }
    RemoveDirectoryW(link.c_str());
  }
  if (!folder) {
    // Needs the symbolic-link privilege or developer mode on Windows; Wine 8
    // answers TRUE and makes nothing.
    constexpr DWORD kUnprivileged = 0x2;  // SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE
    if (CreateSymbolicLinkW(link.c_str(), target.c_str(), kUnprivileged) &&
        GetFileAttributesW(link.c_str()) != INVALID_FILE_ATTRIBUTES) {
      return true;
    }
  }
  if (!RunUnixOnPaths("/bin/ln", "-s", target, link)) return false;
  // Wine 8 reports a link to a folder as a reparse point, but a link to a
  // file as the file itself.
  const DWORD attributes = GetFileAttributesW(link.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return true;
  RunUnixOnPaths("/bin/rm", "-f", link, L"");
  return false;
}

// Removes a link that MakeLink made, not what it leads to.
void RemoveLink(const std::wstring& link) {
  // Under Wine, RemoveDirectoryW on a link to an empty folder removes that
  // folder: remove the Unix link itself. On Windows, RemoveDirectoryW
  // removes a junction, not its target.
  if (!RunUnixOnPaths("/bin/rm", "-f", link, L"") && !RemoveDirectoryW(link.c_str())) DeleteFileW(link.c_str());
  EXPECT_EQ(GetFileAttributesW(link.c_str()), INVALID_FILE_ATTRIBUTES) << "the link is still there";
}

// A link or junction at either folder of the log, or at the log itself,
// takes no line and creates nothing where it leads; plain folders again
// take lines at once.
TEST_F(LoggerWin32, LinksAtTheLogsFoldersOrFileAreNotFollowed) {
  const std::wstring elsewhere = m_tmp + L"\\Elsewhere";
  ASSERT_TRUE(CreateDirectoryW(elsewhere.c_str(), nullptr));
  ASSERT_TRUE(CreateDirectoryW((elsewhere + L"\\Log").c_str(), nullptr));
  const std::wstring kestrane = m_tmp + L"\\Kestrane";
  if (!MakeLink(kestrane, elsewhere, true)) GTEST_SKIP() << "this system makes no links";
  Logger* logger = Logger::GetInstance();
  logger->Write(u"through a linked Kestrane");
  EXPECT_EQ(ReadBytes(elsewhere + L"\\Log\\Stavora.log"), "<missing>");
  EXPECT_EQ(GetFileAttributesW((elsewhere + L"\\Log\\Stavora.log.lock").c_str()), INVALID_FILE_ATTRIBUTES);
  RemoveLink(kestrane);

  ASSERT_TRUE(CreateDirectoryW(kestrane.c_str(), nullptr));
  ASSERT_TRUE(MakeLink(LogDirectory(), elsewhere + L"\\Log", true));
  logger->Write(u"through a linked Log");
  EXPECT_EQ(ReadBytes(elsewhere + L"\\Log\\Stavora.log"), "<missing>");
  EXPECT_EQ(GetFileAttributesW((elsewhere + L"\\Log\\Stavora.log.lock").c_str()), INVALID_FILE_ATTRIBUTES);
  RemoveLink(LogDirectory());

  ASSERT_TRUE(CreateDirectoryW(LogDirectory().c_str(), nullptr));
  const std::wstring victim = elsewhere + L"\\victim.txt";
  WriteBytes(victim, "untouched");
  // A link at the log file itself: Windows reports it through the handle.
  if (MakeLink(LogFile(), victim, false)) {
    logger->Write(u"through a linked log file");
    EXPECT_EQ(ReadBytes(victim), "untouched");
    RemoveLink(LogFile());
  }

  logger->Write(u"plain folders");
  EXPECT_EQ(Messages(ReadBytes(LogFile())), std::vector<std::string>{"plain folders"});
}

// A log or lock file that is a second name of another file (a hard link,
// which has no reparse point) takes no line: the other file neither grows
// nor is locked. Plain files again take lines at once.
TEST_F(LoggerWin32, HardLinkedLogOrLockFileIsNotWritten) {
  MakeLogDirectory();
  const std::wstring victim = m_tmp + L"\\victim.txt";
  WriteBytes(victim, "untouched");
  Logger* logger = Logger::GetInstance();
  ASSERT_TRUE(CreateHardLinkW(LogFile().c_str(), victim.c_str(), nullptr)) << "error " << GetLastError();
  logger->Write(u"through a hard-linked log file");
  EXPECT_EQ(ReadBytes(victim), "untouched");
  ASSERT_TRUE(DeleteFileW(LogFile().c_str())) << "error " << GetLastError();

  const std::wstring lockFile = LogFile() + L".lock";
  DeleteFileW(lockFile.c_str());
  ASSERT_TRUE(CreateHardLinkW(lockFile.c_str(), victim.c_str(), nullptr)) << "error " << GetLastError();
  logger->Write(u"with a hard-linked lock file");
  EXPECT_EQ(ReadBytes(LogFile()), "<missing>");
  EXPECT_EQ(ReadBytes(victim), "untouched");
  ASSERT_TRUE(DeleteFileW(lockFile.c_str())) << "error " << GetLastError();

  logger->Write(u"plain files");
  EXPECT_EQ(Messages(ReadBytes(LogFile())), std::vector<std::string>{"plain files"});
  EXPECT_EQ(ReadBytes(victim), "untouched");
}

// GetTempPath2W where kernel32 has it, else GetTempPathW.
DWORD WINAPI TempPath2StandIn(DWORD, LPWSTR) { return 0; }

TEST(ChooseGetTempPath, TheNewerCallWhereTheSystemHasIt) {
  std::vector<std::string> asked;
  const auto finds = [&asked](const char* name) -> FARPROC {
    asked.push_back(name);
    return reinterpret_cast<FARPROC>(reinterpret_cast<void*>(&TempPath2StandIn));
  };
  EXPECT_EQ(ChooseGetTempPath(finds), &TempPath2StandIn);
  EXPECT_EQ(asked, std::vector<std::string>{"GetTempPath2W"});
  EXPECT_EQ(ChooseGetTempPath([](const char*) -> FARPROC { return nullptr; }), &GetTempPathW);
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
