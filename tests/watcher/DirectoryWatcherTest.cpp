// DirectoryWatcher over a real temporary directory, with a loader that counts
// its reloads. Waits poll the counter with generous limits; a check that
// nothing happened watches the counter for a quiet spell and is always
// followed by a change that must reload, so a dead watcher cannot pass.
#include "watcher/DirectoryWatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <string>

namespace stavora {
namespace {

constexpr DWORD kWaitLimitMs = 15000;
constexpr DWORD kQuietSpellMs = 400;

const WString kIniName = u"STAVORA.INI";

// The location of STAVORA.INI in `directory`, as a lookup object hands it over.
IniLocation IniIn(const WString& directory) { return LocateIniFile(directory + u"\\" + kIniName); }

LPCWSTR W(const WString& text) { return reinterpret_cast<LPCWSTR>(text.c_str()); }

// Owns one kernel handle for the tests' own files and events.
class TestHandle {
 public:
  explicit TestHandle(HANDLE handle) : m_handle(handle) {}
  ~TestHandle() {
    if (m_handle != nullptr && m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  }
  TestHandle(const TestHandle&) = delete;
  TestHandle& operator=(const TestHandle&) = delete;
  HANDLE Get() const { return m_handle; }

 private:
  HANDLE m_handle;
};

// Counts reloads; can throw or block on a chosen call, or report that it
// could not read the file. Given the watcher's evidence, it reads again as
// the real loader does while changes are reported during its read.
class CountingLoader : public StavoraLoader {
 public:
  LoadResult LoadRegistry(EmptyFile emptyFile) override {
    ++m_loads;
    m_lastEmptyFile = emptyFile;
    if (m_throwNext.exchange(false)) throw std::bad_alloc();
    std::uint64_t changes = Changes();
    if (m_blockNext.exchange(false)) {
      SetEvent(m_entered.Get());
      WaitForSingleObject(m_release.Get(), kWaitLimitMs);
    }
    for (std::uint64_t now = Changes(); now != changes; now = Changes()) {
      ++m_rereads;
      changes = now;
    }
    if (m_unreadableLoads > 0) {
      --m_unreadableLoads;
      return LoadResult::kUnreadable;
    }
    return LoadResult::kServed;
  }

  int Loads() const { return m_loads; }
  std::uint64_t Changes() { return m_evidence == nullptr ? 0 : m_evidence->ChangesSeen(); }

  IChangeEvidence* m_evidence = nullptr;
  std::atomic<int> m_rereads{0};
  std::atomic<EmptyFile> m_lastEmptyFile{EmptyFile::kServe};

  std::atomic<bool> m_throwNext{false};
  std::atomic<bool> m_blockNext{false};
  std::atomic<int> m_unreadableLoads{0};
  TestHandle m_entered{CreateEventW(nullptr, TRUE, FALSE, nullptr)};
  TestHandle m_release{CreateEventW(nullptr, TRUE, FALSE, nullptr)};

 private:
  std::atomic<int> m_loads{0};
};

// Polls until the loader has reloaded at least `atLeast` times.
bool WaitForLoads(const CountingLoader& loader, int atLeast) {
  const ULONGLONG limit = GetTickCount64() + kWaitLimitMs;
  while (loader.Loads() < atLeast) {
    if (GetTickCount64() > limit) return false;
    Sleep(5);
  }
  return true;
}

// The count once it has stayed the same for a quiet spell.
int SettledLoads(const CountingLoader& loader) {
  int seen = loader.Loads();
  ULONGLONG quietSince = GetTickCount64();
  while (GetTickCount64() - quietSince < kQuietSpellMs) {
    Sleep(5);
    const int now = loader.Loads();
    if (now != seen) {
      seen = now;
      quietSince = GetTickCount64();
    }
  }
  return seen;
}

bool WriteText(const WString& path, const std::string& text, DWORD disposition) {
  TestHandle file(CreateFileW(W(path), FILE_APPEND_DATA | GENERIC_WRITE, FILE_SHARE_READ,
                              nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) return false;
  if (disposition == OPEN_ALWAYS) SetFilePointer(file.Get(), 0, nullptr, FILE_END);
  DWORD written = 0;
  return WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written,
                   nullptr) && written == text.size();
}

bool CreateWithText(const WString& path, const std::string& text) {
  return WriteText(path, text, CREATE_ALWAYS);
}

bool AppendText(const WString& path, const std::string& text) {
  return WriteText(path, text, OPEN_ALWAYS);
}

WString TempPath() {
  wchar_t buffer[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, buffer);
  return WString(reinterpret_cast<const char16_t*>(buffer), length);
}

// The log file the watcher writes to, and its contents as raw bytes.
WString LogPath() { return TempPath() + u"Kestrane\\Log\\Stavora.log"; }

std::string ReadLogBytes() {
  TestHandle file(CreateFileW(W(LogPath()), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
  if (file.Get() == INVALID_HANDLE_VALUE) return {};
  std::string bytes;
  char chunk[4096];
  DWORD got = 0;
  while (ReadFile(file.Get(), chunk, sizeof chunk, &got, nullptr) && got > 0) {
    bytes.append(chunk, got);
  }
  return bytes;
}

// How often `message` was written after `before` (the log's bytes earlier),
// in a single-byte encoding or in UTF-16LE. A rotated log is searched whole.
int LoggedSince(const std::string& before, const std::string& message) {
  std::string after = ReadLogBytes();
  if (after.size() >= before.size() && after.compare(0, before.size(), before) == 0) {
    after.erase(0, before.size());
  }
  std::string wide;
  for (char c : message) {
    wide.push_back(c);
    wide.push_back('\0');
  }
  int count = 0;
  for (const std::string* form : {&message, static_cast<const std::string*>(&wide)}) {
    for (std::size_t at = after.find(*form); at != std::string::npos;
         at = after.find(*form, at + form->size())) {
      ++count;
    }
  }
  return count;
}

class DirectoryWatcherTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    const WString kestrane = TempPath() + u"Kestrane";
    CreateDirectoryW(W(kestrane), nullptr);  // may exist already
    CreateDirectoryW(W(kestrane + u"\\Log"), nullptr);
  }

  void SetUp() override {
    static int serial = 0;
    m_directory = TempPath() + u"stavora-watch-" +
                  Utf16(std::to_string(GetCurrentProcessId())) + u"-" +
                  Utf16(std::to_string(++serial));
    ASSERT_TRUE(CreateDirectoryW(W(m_directory), nullptr))
        << "CreateDirectoryW failed with " << GetLastError();
    ASSERT_TRUE(CreateWithText(Path(u"stavora.ini"), "[A]\r\nB=1\r\n"));
  }

  void TearDown() override { RemoveTree(m_directory); }

  static WString Utf16(const std::string& ascii) { return WString(ascii.begin(), ascii.end()); }

  WString Path(const WString& name) const { return m_directory + u"\\" + name; }

  static void RemoveTree(const WString& directory) {
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW(W(directory + u"\\*"), &found);
    if (search != INVALID_HANDLE_VALUE) {
      do {
        const WString name(reinterpret_cast<const char16_t*>(found.cFileName));
        if (name == u"." || name == u"..") continue;
        const WString full = directory + u"\\" + name;
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
          RemoveTree(full);
        } else {
          DeleteFileW(W(full));
        }
      } while (FindNextFileW(search, &found));
      FindClose(search);
    }
    RemoveDirectoryW(W(directory));
  }

  void StartWatching(DirectoryWatcher& watcher, CountingLoader& loader) {
    watcher.Start(IniIn(m_directory), &loader, &StavoraLoader::LoadRegistry);
  }

  // The first read is issued on the watcher thread some time after Start;
  // changes before it are not reported. Appends to the INI file until a
  // reload shows the watcher is reading, then returns the settled count.
  int PrimeWatcher(const CountingLoader& loader) {
    const ULONGLONG limit = GetTickCount64() + kWaitLimitMs;
    while (loader.Loads() == 0 && GetTickCount64() < limit) {
      AppendText(Path(u"stavora.ini"), ";\r\n");
      for (int i = 0; i < 20 && loader.Loads() == 0; ++i) Sleep(5);
    }
    EXPECT_GT(loader.Loads(), 0) << "the watcher never reloaded on an INI write";
    return SettledLoads(loader);
  }

  // A change that must reload: proves the watcher is still watching after a
  // check that something did not reload.
  void ExpectReloadOnIniWrite(const CountingLoader& loader, int loads) {
    ASSERT_TRUE(AppendText(Path(u"stavora.ini"), ";again\r\n"));
    EXPECT_TRUE(WaitForLoads(loader, loads + 1))
        << "expected a reload after an INI write; loads stayed at " << loader.Loads();
  }

  WString m_directory;
};

TEST_F(DirectoryWatcherTest, ChangesThatNameTheIniFileReload) {
  CountingLoader loader;
  DirectoryWatcher watcher;
  StartWatching(watcher, loader);
  int loads = PrimeWatcher(loader);

  // In-place write.
  ASSERT_TRUE(AppendText(Path(u"STAVORA.INI"), "C=2\r\n"));
  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "in-place write; loads " << loader.Loads();
  loads = SettledLoads(loader);

  // Save through a temporary file renamed over the INI file.
  ASSERT_TRUE(CreateWithText(Path(u"stavora.tmp"), "[A]\r\nB=3\r\n"));
  ASSERT_TRUE(MoveFileExW(W(Path(u"stavora.tmp")), W(Path(u"stavora.ini")),
                          MOVEFILE_REPLACE_EXISTING))
      << "MoveFileExW failed with " << GetLastError();
  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "rename over; loads " << loader.Loads();
  loads = SettledLoads(loader);

  // Deletion.
  ASSERT_TRUE(DeleteFileW(W(Path(u"stavora.ini"))));
  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "deletion; loads " << loader.Loads();
  loads = SettledLoads(loader);

  // Creation again.
  ASSERT_TRUE(CreateWithText(Path(u"Stavora.Ini"), "[A]\r\n"));
  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "creation; loads " << loader.Loads();
}

// The object loads once its watcher's first read is pending, so the watcher
// adds no read of its own at creation; a save from then on reloads.
TEST_F(DirectoryWatcherTest, WatchingBeforeTheFirstLoadAddsNoReload) {
  CountingLoader loader;
  DirectoryWatcher watcher;
  StartWatching(watcher, loader);
  EXPECT_TRUE(watcher.WaitUntilWatching()) << "the first read was not pending in time";
  watcher.FirstLoadDone(LoadResult::kServed, true);
  EXPECT_EQ(0, SettledLoads(loader)) << "a reload at creation";
  ExpectReloadOnIniWrite(loader, 0);
  EXPECT_EQ(EmptyFile::kHold, loader.m_lastEmptyFile.load()) << "an empty find after a change is held";

  // A first load that began before the watcher watched is followed by one
  // reload once it does.
  CountingLoader late;
  DirectoryWatcher lateWatcher;
  StartWatching(lateWatcher, late);
  lateWatcher.FirstLoadDone(LoadResult::kServed, false);
  EXPECT_TRUE(WaitForLoads(late, 1));
  EXPECT_EQ(1, SettledLoads(late));
}

// A first load that could not read the file (locked, denied) is read again
// after 1 s, then 2 s later, and so on; a load that reads it ends the retries.
TEST_F(DirectoryWatcherTest, AFileThatCannotBeReadIsReadAgainWithABackOff) {
  CountingLoader loader;
  loader.m_unreadableLoads = 1;
  DirectoryWatcher watcher;
  StartWatching(watcher, loader);
  ASSERT_TRUE(watcher.WaitUntilWatching());
  const ULONGLONG start = GetTickCount64();
  watcher.FirstLoadDone(LoadResult::kUnreadable, true);
  ASSERT_TRUE(WaitForLoads(loader, 1)) << "no retry";
  const ULONGLONG first = GetTickCount64() - start;
  ASSERT_TRUE(WaitForLoads(loader, 2)) << "no second retry";
  const ULONGLONG second = GetTickCount64() - start;
  EXPECT_GE(first, 900u) << "the first retry came before a second";
  EXPECT_LT(first, 2000u);
  EXPECT_GE(second - first, 1900u) << "the back-off did not double";
  EXPECT_LT(second - first, 3500u);
  Sleep(1500);
  EXPECT_EQ(2, SettledLoads(loader)) << "a load that read the file must end the retries";
  ExpectReloadOnIniWrite(loader, 2);
}

TEST_F(DirectoryWatcherTest, ChangesToOtherFilesDoNotReload) {
  ASSERT_TRUE(CreateDirectoryW(W(Path(u"sub")), nullptr));
  ASSERT_TRUE(CreateWithText(Path(u"sub\\stavora.ini"), "[A]\r\n"));
  CountingLoader loader;
  DirectoryWatcher watcher;
  StartWatching(watcher, loader);
  const int loads = PrimeWatcher(loader);

  ASSERT_TRUE(CreateWithText(Path(u"other.ini"), "[X]\r\n"));
  ASSERT_TRUE(AppendText(Path(u"other.ini"), "Y=1\r\n"));
  ASSERT_TRUE(AppendText(Path(u"stavora.ini.bak"), "x"));
  ASSERT_TRUE(AppendText(Path(u"sub\\stavora.ini"), "Z=1\r\n"));  // subtree not watched
  ASSERT_TRUE(MoveFileExW(W(Path(u"other.ini")), W(Path(u"other2.ini")), 0));
  EXPECT_EQ(loads, SettledLoads(loader)) << "no record named STAVORA.INI";

  ExpectReloadOnIniWrite(loader, loads);
}

// A reload runs with the next change read pending: a save during the reload
// completes that read, and the reload sees it at once (its routine has not
// run) and reads again. The changes after it wait in the directory handle
// and arrive as one batch: one more reload, however many records match.
TEST_F(DirectoryWatcherTest, AChangeDuringAReloadIsSeenByItAndTheRestComeAsOneBatch) {
  CountingLoader loader;
  DirectoryWatcher watcher;
  loader.m_evidence = &watcher;
  StartWatching(watcher, loader);
  int loads = PrimeWatcher(loader);
  loader.m_rereads = 0;

  loader.m_blockNext = true;
  ASSERT_TRUE(AppendText(Path(u"stavora.ini"), "1\r\n"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(loader.m_entered.Get(), kWaitLimitMs));
  loads = loader.Loads();
  for (int i = 0; i < 5; ++i) ASSERT_TRUE(AppendText(Path(u"stavora.ini"), "2\r\n"));
  ASSERT_TRUE(CreateWithText(Path(u"stavora.tmp"), "[A]\r\n"));
  ASSERT_TRUE(MoveFileExW(W(Path(u"stavora.tmp")), W(Path(u"stavora.ini")),
                          MOVEFILE_REPLACE_EXISTING));
  Sleep(50);  // the records reach the pending read
  SetEvent(loader.m_release.Get());

  // The records may all reach the read the reload saw; at most one batch
  // is left for one more reload.
  EXPECT_LE(SettledLoads(loader), loads + 1) << "one batch of many matching records";
  EXPECT_GE(loader.m_rereads.load(), 1) << "the held reload never saw the change made during it";
}

TEST_F(DirectoryWatcherTest, OverflowReloadsAndWatchingGoesOn) {
  CountingLoader loader;
  DirectoryWatcher watcher;
  StartWatching(watcher, loader);
  PrimeWatcher(loader);

  // Hold a reload and make far more than 16384 bytes of records meanwhile:
  // the next read completes with no records (buffer overflow). None of them
  // names the INI file, so only the overflow can reload.
  loader.m_blockNext = true;
  ASSERT_TRUE(AppendText(Path(u"stavora.ini"), "1\r\n"));
  ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(loader.m_entered.Get(), kWaitLimitMs));
  const int loads = loader.Loads();
  const WString longName(100, u'n');
  for (int i = 0; i < 200; ++i) {
    ASSERT_TRUE(CreateWithText(Path(longName + Utf16(std::to_string(i))), "x"));
  }
  SetEvent(loader.m_release.Get());

  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "no reload after the overflow";
  ExpectReloadOnIniWrite(loader, SettledLoads(loader));
}

TEST_F(DirectoryWatcherTest, ReloadThatThrowsDoesNotEndWatching) {
  const std::string logBefore = ReadLogBytes();
  CountingLoader loader;
  DirectoryWatcher watcher;
  loader.m_throwNext = true;
  StartWatching(watcher, loader);
  const int loads = PrimeWatcher(loader);  // the first reload throws
  EXPECT_FALSE(loader.m_throwNext);
  EXPECT_EQ(1, LoggedSince(logBefore, "ProcessChanges(): The reload ended with an exception."));

  ExpectReloadOnIniWrite(loader, loads);
}

TEST_F(DirectoryWatcherTest, DirectoryThatCannotBeOpenedIsLogged) {
  const std::string logBefore = ReadLogBytes();
  CountingLoader loader;
  {
    DirectoryWatcher watcher;
    watcher.Start(IniIn(Path(u"missing")), &loader, &StavoraLoader::LoadRegistry);
  }  // the destructor waits for the thread, which logs before it ends
  EXPECT_EQ(1, LoggedSince(logBefore, "SetUpDirectoryWatcher(): Failed to get directory handle."));

  const std::string logBeforeEmpty = ReadLogBytes();
  {
    DirectoryWatcher watcher;
    watcher.Start(IniLocation(), &loader, &StavoraLoader::LoadRegistry);
  }
  EXPECT_EQ(1, LoggedSince(logBeforeEmpty,
                           "SetUpDirectoryWatcher(): Failed to get directory handle."))
      << "empty path";
  EXPECT_EQ(0, loader.Loads());
}

// A plain file opens like a directory, but no change read can be issued on
// it: the failure is logged once, the object reloaded once, and the read
// tried again each second without further lines.
TEST_F(DirectoryWatcherTest, ReadThatCannotBeIssuedIsLoggedOnceAndReloads) {
  const std::string logBefore = ReadLogBytes();
  CountingLoader loader;
  {
    DirectoryWatcher watcher;
    watcher.Start(IniIn(Path(u"stavora.ini")), &loader, &StavoraLoader::LoadRegistry);
    EXPECT_TRUE(WaitForLoads(loader, 1)) << "no reload after the failed read";
    // Two retries fall in this spell.
    const ULONGLONG until = GetTickCount64() + 2500;
    while (GetTickCount64() < until) Sleep(20);
  }
  EXPECT_EQ(1, loader.Loads());
  EXPECT_EQ(1, LoggedSince(logBefore, "WatchDirectory(): Failed to issue a change read."));
}

// The watched directory may be renamed away and deleted while it is watched,
// and made again later: the watcher must stand in the way of neither, and
// must watch the new directory once it is there.
TEST_F(DirectoryWatcherTest, ReplacedDirectoryIsWatchedAgainOnceItIsBack) {
  const std::string logBefore = ReadLogBytes();
  const WString moved = m_directory + u"-gone";
  CountingLoader loader;
  DirectoryWatcher watcher;
  StartWatching(watcher, loader);
  int loads = PrimeWatcher(loader);

  ASSERT_TRUE(MoveFileW(W(m_directory), W(moved)))
      << "the watched directory could not be renamed: error " << GetLastError();
  ASSERT_TRUE(DeleteFileW(W(moved + u"\\stavora.ini")));
  EXPECT_TRUE(RemoveDirectoryW(W(moved)))
      << "the watched directory could not be deleted: error " << GetLastError();
  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "the loss was not seen";
  Sleep(2500);  // the path stays empty across two attempts to open it
  loads = SettledLoads(loader);

  ASSERT_TRUE(CreateDirectoryW(W(m_directory), nullptr))
      << "the directory could not be made again: error " << GetLastError();
  ASSERT_TRUE(CreateWithText(Path(u"stavora.ini"), "[A]\r\nB=2\r\n"));
  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "no reload once the directory was back";
  ExpectReloadOnIniWrite(loader, SettledLoads(loader));

  EXPECT_EQ(1, LoggedSince(logBefore,
                           "WatchDirectory(): The directory is gone; opening it again every "
                           "second."));
  EXPECT_EQ(1, LoggedSince(logBefore, "WatchDirectory(): The directory is back; watching it again."));
  RemoveTree(moved);
}

// A folder replaced within a second (renamed away, made again with a new
// file) opens again at once: what it holds must still be read.
TEST_F(DirectoryWatcherTest, DirectoryReplacedAtOnceIsReadAfresh) {
  const WString moved = m_directory + u"-old";
  CountingLoader loader;
  DirectoryWatcher watcher;
  StartWatching(watcher, loader);
  const int loads = PrimeWatcher(loader);

  ASSERT_TRUE(MoveFileW(W(m_directory), W(moved))) << "error " << GetLastError();
  ASSERT_TRUE(CreateDirectoryW(W(m_directory), nullptr)) << "error " << GetLastError();
  ASSERT_TRUE(CreateWithText(Path(u"stavora.ini"), "[A]\r\nB=3\r\n"));
  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "the new folder's file was never read";
  ExpectReloadOnIniWrite(loader, SettledLoads(loader));
  RemoveTree(moved);
}

// A directory missing when watching starts is watched from when it appears.
TEST_F(DirectoryWatcherTest, DirectoryCreatedAfterTheStartIsWatched) {
  CountingLoader loader;
  DirectoryWatcher watcher;
  watcher.Start(IniIn(Path(u"later")), &loader, &StavoraLoader::LoadRegistry);
  EXPECT_EQ(0, SettledLoads(loader));
  ASSERT_TRUE(CreateDirectoryW(W(Path(u"later")), nullptr));
  EXPECT_TRUE(WaitForLoads(loader, 1)) << "no reload once the directory appeared";
  const int loads = SettledLoads(loader);
  ASSERT_TRUE(CreateWithText(Path(u"later\\stavora.ini"), "[A]\r\n"));
  EXPECT_TRUE(WaitForLoads(loader, loads + 1)) << "the new directory is not watched";
}

TEST_F(DirectoryWatcherTest, StartWithoutTargetIsLoggedAndStartsNothing) {
  const std::string logBefore = ReadLogBytes();
  {
    DirectoryWatcher watcher;
    watcher.Start(IniIn(m_directory), nullptr, &StavoraLoader::LoadRegistry);
    ASSERT_TRUE(AppendText(Path(u"stavora.ini"), "1\r\n"));
  }
  EXPECT_EQ(1, LoggedSince(logBefore, "Start(): No object to reload."));
}

// A stop wakes the watcher at once instead of waiting out its sleep: every
// stop must take less than half of one sleep slice. Stops take a few to a few
// tens of milliseconds on a busy machine; a stop that waited for the slice
// takes a whole second.
TEST_F(DirectoryWatcherTest, StopsPromptly) {
  LARGE_INTEGER frequency, begin, end;
  QueryPerformanceFrequency(&frequency);
  auto milliseconds = [&] {
    return 1000.0 * double(end.QuadPart - begin.QuadPart) / double(frequency.QuadPart);
  };
  const double bound = DirectoryWatcher::kSleepMilliseconds / 2.0;
  CountingLoader loader;

  {
    DirectoryWatcher never;  // never started
    QueryPerformanceCounter(&begin);
  }
  QueryPerformanceCounter(&end);
  EXPECT_LT(milliseconds(), bound) << "stop, never started";

  {
    DirectoryWatcher watcher;
    StartWatching(watcher, loader);
    QueryPerformanceCounter(&begin);
  }
  QueryPerformanceCounter(&end);
  EXPECT_LT(milliseconds(), bound) << "stop right after Start";

  {
    DirectoryWatcher watcher;
    StartWatching(watcher, loader);
    PrimeWatcher(loader);
    QueryPerformanceCounter(&begin);
  }
  QueryPerformanceCounter(&end);
  EXPECT_LT(milliseconds(), bound) << "stop while a read pends";

  // After the watcher has gone, changes reach nothing.
  const int loads = loader.Loads();
  ASSERT_TRUE(AppendText(Path(u"stavora.ini"), "after\r\n"));
  EXPECT_EQ(loads, SettledLoads(loader));
}

}  // namespace
}  // namespace stavora
