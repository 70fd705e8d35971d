// The per-object thread that watches the INI file's directory and reloads the
// object when a change names the file. Windows only: include from Win32 code.
#pragma once

#include <windows.h>

#include <atomic>

#include "platform/ScopedHandles.h"
#include "store/IniPath.h"
#include "store/NameRule.h"
#include "store/StavoraLoader.h"
#include "watcher/FileNameComparisonWin32.h"
#include "watcher/FolderIdentity.h"
#include "watcher/OneReadAtATime.h"
#include "watcher/ReloadSchedule.h"

namespace stavora {

class DirectoryWatcher {
 public:
  // The operation to call on the target, through the virtual table; always
  // &StavoraLoader::LoadRegistry. It returns false when the file could not be
  // read, and is then called again a second later.
  using ReloadOperation = bool (StavoraLoader::*)();

  static constexpr DWORD kBufferBytes = 16384;
  // Size, last write and creation, and file names: a save that renames a
  // temporary file over the INI file, and a deletion, name the file only in a
  // file-name record.
  static constexpr DWORD kNotifyFilter =
      FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
      FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;  // 0x59
  static constexpr DWORD kSleepMilliseconds = 1000;

  // Idle: no thread, no directory handle, stop flag clear.
  DirectoryWatcher();

  // Stops the thread and waits for it without a time limit, then closes the
  // thread and directory handles. Returns at once when no thread runs.
  ~DirectoryWatcher();

  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

  // Takes the INI file's location (names already upper-cased by the name
  // rule), keeps `target` (not owned) and `reload`, and starts the thread.
  // Failures are logged, not returned. Called once; later calls are ignored.
  // An exception (memory) leaves to the caller with no thread running.
  //
  // Changes are reported only from the first pending read on, and a file's
  // stamp cannot show every save made before it (a same-size write within
  // the file system's time resolution), so the thread reloads once, whatever
  // the file looks like, as soon as its first read is pending.
  void Start(const IniLocation& location, StavoraLoader* target, ReloadOperation reload);

 private:
  // One change read's memory, its own until its completion has run.
  struct ChangeRead {
    OVERLAPPED overlapped;
    DirectoryWatcher* watcher;
    // The change records; the platform needs them DWORD-aligned.
    alignas(DWORD) unsigned char records[kBufferBytes];
  };

  void StartFileNotificationThread();
  static DWORD WINAPI ThreadMain(LPVOID parameter);
  void SetUpDirectoryWatcher();
  bool OpenDirectory();
  void CloseDirectory();
  bool FolderReplaced();
  void WatchDirectory();
  bool IssueChangeRead();
  void FinishPendingRead();
  static VOID CALLBACK OnChangeCompleted(DWORD errorCode, DWORD bytesTransferred,
                                         LPOVERLAPPED overlapped);
  void ProcessChanges(const ChangeRead& read, DWORD bytesTransferred);
  void Reload();
  void ReloadIfDue();

  WString m_fileName;
  WString m_directoryToOpen;  // the directory as it is opened
  std::atomic<bool> m_stop;
  // Watcher thread only, from here on.
  bool m_readErrorRun = false;  // the last completion was a failed read
  bool m_backOff = false;       // wait one slice before the next read
  ScopedHandle m_thread;
  ScopedHandle m_directoryHandle;
  StavoraLoader* m_target;
  ReloadOperation m_reload;
  OneReadAtATime<ChangeRead> m_reads;
  ReloadSchedule m_schedule;
  FolderCheck m_folderCheck;
  OrdinalIgnoreCase m_sameName;
};

}  // namespace stavora
