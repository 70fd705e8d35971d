// The log writer's services on Windows: GetTempPath2W or GetTempPathW,
// appends through a file handle opened for FILE_APPEND_DATA, MoveFileExW,
// GetLocalTime, and a byte-range lock on a lock file beside the log that
// every process writing the log shares. No link or junction at the log's
// folders or files is followed, and no log or lock file that is a second
// name of another file (a hard link) is used.
#include <windows.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "logging/FileSize.h"
#include "logging/LogFiles.h"
#include "logging/LogFilesWin32.h"
#include "platform/ScopedHandles.h"
#include "platform/WideText.h"
#include "platform/WString.h"

namespace stavora {
namespace {

// How long a step waits for another process's step before it goes ahead
// without the lock. A step takes a few milliseconds; only a holder that is
// stopped (suspended, or in a debugger) keeps it longer, and such a process
// must not stall every other process's loader and watcher for long.
constexpr ULONGLONG kLockWaitMilliseconds = 1000;

// Beside the log, in the log's own folder: only an account that may create
// files there can open it, and the system gives a byte-range lock back when
// its handle is closed or its process ends.
constexpr char16_t kLockSuffix[] = u".lock";

// Whether `handle`, opened as itself at `path`, is a plain file or folder (as
// `wantFolder` says) rather than a link, a junction or another reparse point.
// Windows reports FILE_ATTRIBUTE_REPARSE_POINT through the handle; Wine
// reports its Unix symbolic links only through the path, so both are asked.
// The caller holds the handle without sharing deletion, so the path still
// names the same entry. A file must have this one name: a hard link is an
// ordinary entry with no reparse point, and where another account can make
// entries in the temporary folder it could name any file that account
// chooses, which our lines would then be appended to.
bool IsPlain(HANDLE handle, const WString& path, bool wantFolder) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return false;
  const DWORD byPath = GetFileAttributesW(AsWide(path));
  if (byPath == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD attributes = information.dwFileAttributes | byPath;
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  if (!wantFolder && information.nNumberOfLinks > 1) return false;
  return ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) == wantFolder;
}

// The folders that the log path adds below the temporary directory, outermost
// first ("<temp>Kestrane", "<temp>Kestrane\Log"); only the log's own folder
// when the path is not below `temp`.
std::vector<WString> OwnFolders(const WString& temp, const WString& logPath) {
  std::vector<WString> folders;
  const std::size_t last = logPath.rfind(u'\\');
  if (last == WString::npos || last == 0) return folders;
  std::size_t from = temp.size();
  if (temp.empty() || logPath.compare(0, temp.size(), temp) != 0 || from > last) from = last;
  for (std::size_t at = logPath.find(u'\\', from); at != WString::npos && at <= last;
       at = logPath.find(u'\\', at + 1)) {
    if (at > 0 && logPath[at - 1] != u'\\') folders.push_back(logPath.substr(0, at));
  }
  if (folders.empty()) folders.push_back(logPath.substr(0, last));
  return folders;
}

class Win32LogFiles final : public ILogFiles {
 public:
  WString TempDirectory() override {
    const GetTempPathEntry entry = ChooseGetTempPath([](const char* name) -> FARPROC {
      const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
      return kernel32 != nullptr ? GetProcAddress(kernel32, name) : nullptr;
    });
    m_tempDirectory = QueryTempDirectory(entry);
    return m_tempDirectory;
  }

  std::int64_t FileSize(const WString& path) override { return GetFileSize(path); }

  bool AppendBytes(const WString& path, const std::string& bytes) override {
    // No sharing restriction: others may read, write, rename or delete the log
    // between and during our lines. OPEN_ALWAYS creates the file but not its
    // directory. FILE_APPEND_DATA puts every write at the end of the file,
    // also when another process has appended meanwhile. A link at the log's
    // name is opened as itself, and then not written.
    constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
    ScopedHandle file(CreateFileW(AsWide(path), FILE_APPEND_DATA | FILE_READ_ATTRIBUTES, kShareAll, nullptr,
                                  OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file || !IsPlain(file.Get(), path, false)) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
  }

  bool ReplaceFile(const WString& from, const WString& to) override {
    // One step: a rename that fails (the log held open without delete
    // sharing) leaves the old backup in place.
    return MoveFileExW(AsWide(from), AsWide(to), MOVEFILE_REPLACE_EXISTING) != FALSE;
  }

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

  StepAccess BeginLogStep(const WString& path) override {
    EndLogStep();
    // Hold each folder of our own open, as itself, for the step: a folder
    // that is a link or junction is refused, and one we hold cannot be
    // renamed, deleted or replaced by a junction meanwhile (we do not share
    // deletion). Reading and writing stay shared, so other processes'
    // steps and our own rename inside the folder go on.
    for (const WString& folder : OwnFolders(m_tempDirectory, path)) {
      ScopedHandle held(CreateFileW(AsWide(folder), FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
      if (!held || !IsPlain(held.Get(), folder, true)) {
        EndLogStep();
        return StepAccess::kRefused;
      }
      m_folders.push_back(std::move(held));
    }

    const WString lockPath = path + kLockSuffix;
    m_lockFile.Reset(CreateFileW(AsWide(lockPath), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!m_lockFile) return StepAccess::kUnlocked;
    if (!IsPlain(m_lockFile.Get(), lockPath, false)) {
      EndLogStep();
      return StepAccess::kRefused;
    }
    // Try without blocking, with short pauses, for about a second: a
    // blocking LockFileEx on a synchronous handle has no time limit.
    const ULONGLONG deadline = GetTickCount64() + kLockWaitMilliseconds;
    DWORD pause = 1;
    for (;;) {
      OVERLAPPED at{};  // byte 0, length 1; beyond the end of the empty file
      if (LockFileEx(m_lockFile.Get(), LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at)) {
        m_locked = true;
        return StepAccess::kLocked;
      }
      if (GetLastError() != ERROR_LOCK_VIOLATION) break;
      const ULONGLONG now = GetTickCount64();
      if (now >= deadline) break;
      Sleep(static_cast<DWORD>(std::min<ULONGLONG>(pause, deadline - now)));
      pause = std::min<DWORD>(pause * 2, 20);
    }
    m_lockFile.Reset();
    return StepAccess::kUnlocked;
  }

  void EndLogStep() override {
    if (m_locked) {
      OVERLAPPED at{};
      // Closing the handle below gives the range back as well.
      (void)UnlockFileEx(m_lockFile.Get(), 0, 1, 0, &at);
      m_locked = false;
    }
    m_lockFile.Reset();
    m_folders.clear();
  }

 private:
  WString m_tempDirectory;
  std::vector<ScopedHandle> m_folders;
  ScopedHandle m_lockFile;
  bool m_locked = false;
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

GetTempPathEntry ChooseGetTempPath(const std::function<FARPROC(const char* name)>& findExport) {
  // Windows 11 and the updated Windows 10 and Server 2016 onwards have it.
  if (const FARPROC found = findExport("GetTempPath2W")) {
    return reinterpret_cast<GetTempPathEntry>(reinterpret_cast<void*>(found));
  }
  return &GetTempPathW;
}

std::unique_ptr<ILogFiles> MakePlatformLogFiles() { return std::make_unique<Win32LogFiles>(); }

}  // namespace stavora
