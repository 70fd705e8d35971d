// The log writer's services on Windows: GetTempPathW, appends through a file
// handle opened for FILE_APPEND_DATA, MoveFileW, DeleteFileW, GetLocalTime,
// and a named mutex that every process writing the log shares.
#include <windows.h>

#include <sddl.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "logging/FileSize.h"
#include "logging/LogFiles.h"
#include "platform/LogFilesWin32.h"
#include "platform/ScopedHandles.h"
#include "platform/WideText.h"
#include "store/NameRule.h"

namespace stavora {
namespace {

// How long a line waits for another process's step before it goes ahead
// without the lock. A step takes a few milliseconds; only a holder that is
// stopped (suspended, or in a debugger) keeps it longer, and such a process
// must not stop every other process's loader and watcher with it.
constexpr DWORD kLockWaitMilliseconds = 10000;

// The mutex of the log at `path`: in the global namespace, so that processes
// of every session that share this temporary directory meet (a service or a
// scheduled task in session 0 and the user's desktop scripts share the
// user's %TEMP%; a Local\ name would keep them apart). Its access list lets
// every account wait for it and release it, since several accounts can share
// one temporary directory (services share C:\Windows\Temp). Where global
// names are refused (a restricted token), the session's namespace still
// serialises the processes of this session. Null when neither can be had.
HANDLE CreateLogMutex(const WString& path) {
  const WString name = LogMutexName(path);
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  // SYNCHRONIZE | MUTEX_MODIFY_STATE for Everyone; the creator owns it.
  (void)ConvertStringSecurityDescriptorToSecurityDescriptorW(L"D:(A;;0x00100001;;;WD)", SDDL_REVISION_1,
                                                             &descriptor, nullptr);
  SECURITY_ATTRIBUTES attributes{sizeof attributes, descriptor, FALSE};
  // Ask for no more than that access list grants: CreateMutexW would ask for
  // all access, which opening another process's mutex is then refused.
  constexpr DWORD kAccess = SYNCHRONIZE | MUTEX_MODIFY_STATE;
  HANDLE mutex = CreateMutexExW(descriptor ? &attributes : nullptr, AsWide(name), 0, kAccess);
  if (descriptor != nullptr) LocalFree(descriptor);
  if (mutex != nullptr) return mutex;
  const WString local = u"Local" + name.substr(name.find(u'\\'));
  return CreateMutexExW(nullptr, AsWide(local), 0, kAccess);
}

class Win32LogFiles final : public LogFiles {
 public:
  WString TempDirectory() override { return QueryTempDirectory(GetTempPathW); }

  std::int64_t FileSize(const WString& path) override { return GetFileSize(path); }

  bool AppendBytes(const WString& path, const std::string& bytes) override {
    // No sharing restriction: others may read, write, rename or delete the log
    // between and during our lines. OPEN_ALWAYS creates the file but not its
    // directory. FILE_APPEND_DATA puts every write at the end of the file,
    // also when another process has appended meanwhile.
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ScopedHandle file(CreateFileW(AsWide(path), FILE_APPEND_DATA, kShareAll, nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                                  nullptr));
    if (!file) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
  }

  bool RenameFile(const WString& from, const WString& to) override {
    return MoveFileW(AsWide(from), AsWide(to)) != FALSE;
  }

  bool RemoveFile(const WString& path) override { return DeleteFileW(AsWide(path)) != FALSE; }

  std::tm LocalTime() override {
    SYSTEMTIME now;
    GetLocalTime(&now);
    std::tm local{};
    local.tm_year = now.wYear - 1900;
    local.tm_mon = now.wMonth - 1;
    local.tm_mday = now.wDay;
    local.tm_hour = now.wHour;
    local.tm_min = now.wMinute;
    local.tm_sec = now.wSecond;
    local.tm_wday = now.wDayOfWeek;
    local.tm_isdst = -1;
    return local;
  }

  bool LockAcrossProcesses(const WString& path) override {
    // Made on first use and kept until the logger goes, at unload.
    if (!m_mutex.IsValid() || path != m_mutexPath) {
      m_mutex.Reset(CreateLogMutex(path));
      m_mutexPath = path;
    }
    if (!m_mutex.IsValid()) return false;
    const DWORD waited = WaitForSingleObject(m_mutex.Get(), kLockWaitMilliseconds);
    // WAIT_ABANDONED: the holder ended without releasing it. We own it now,
    // and the file holds whatever whole writes that process made.
    return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED;
  }

  void UnlockAcrossProcesses() override {
    // Only called after a successful wait on this very handle.
    (void)ReleaseMutex(m_mutex.Get());
  }

 private:
  WString m_mutexPath;
  ScopedHandle m_mutex;
};

}  // namespace

WString QueryTempDirectory(const GetTempPathFunction& getTempPath) {
  // Room for 260 characters first; a longer directory makes the call report
  // the room it needs, and we ask again with that much. The directory can
  // change between two calls, so a few rounds.
  std::vector<wchar_t> buffer(MAX_PATH, L'\0');
  for (int round = 0; round < 4; ++round) {
    const DWORD length = getTempPath(static_cast<DWORD>(buffer.size()), buffer.data());
    if (length == 0) break;
    if (length < buffer.size()) {
      WString directory = AsText(buffer.data(), length);
      const std::size_t end = directory.find(u'\0');
      if (end != WString::npos) directory.resize(end);
      return directory;
    }
    buffer.assign(std::max<std::size_t>(length, buffer.size() + 1), L'\0');
  }
  throw std::runtime_error("Cannot determine temp directory.");
}

WString LogMutexName(const WString& logPath) {
  static constexpr char16_t kPrefix[] = u"Global\\Kestrane.Stavora.Log:";
  // File names compare without regard to case, so differently cased spellings
  // of one path must give one name: upper-case it the way the file system
  // does, independent of any locale.
  WString folded = logPath;
  if (!folded.empty()) {
    const int length = LCMapStringEx(LOCALE_NAME_INVARIANT, LCMAP_UPPERCASE, AsWide(logPath),
                                     static_cast<int>(logPath.size()), AsWide(&folded[0]),
                                     static_cast<int>(folded.size()), nullptr, nullptr, 0);
    if (length != static_cast<int>(logPath.size())) {
      folded = logPath;
      UpperCaseName(folded);
    }
  }
  // '\\' separates namespaces in object names.
  for (char16_t& unit : folded) {
    if (unit == u'\\') unit = u'/';
  }
  WString name = kPrefix;
  // Object names end at MAX_PATH characters; a longer path is named by a
  // 64-bit FNV-1a hash of its folded form instead.
  if (name.size() + folded.size() < MAX_PATH) return name + folded;
  std::uint64_t hash = 14695981039346656037ull;
  for (const char16_t unit : folded) {
    hash = (hash ^ (unit & 0xFF)) * 1099511628211ull;
    hash = (hash ^ (unit >> 8)) * 1099511628211ull;
  }
  static constexpr char16_t kHex[] = u"0123456789ABCDEF";
  name += u"#";
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 0xF];
  return name;
}

std::unique_ptr<LogFiles> MakePlatformLogFiles() { return std::make_unique<Win32LogFiles>(); }

}  // namespace stavora
