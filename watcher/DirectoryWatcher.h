// The per-object thread that watches the INI file's directory and reloads the
// object when a change names the file. Windows only: include from Win32 code.
#pragma once

#include <windows.h>

#include <atomic>

#include "store/NameRule.h"
#include "store/StavoraLoader.h"

namespace stavora {

class DirectoryWatcher {
 public:
  // The operation to call on the target, through the virtual table; always
  // &StavoraLoader::LoadRegistry.
  using ReloadOperation = void (StavoraLoader::*)();

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

  // Copies `fileName` (already upper-cased by the name rule) and `directory`
  // (no trailing backslash), keeps `target` (not owned) and `reload`, and
  // starts the thread. Failures are logged, not returned. Called once; later
  // calls are ignored. An exception (memory, or the log writer unable to
  // start) leaves to the caller with no thread running.
  void Start(const WString& fileName, const WString& directory,
             StavoraLoader* target, ReloadOperation reload);

 private:
  void StartFileNotificationThread();
  static DWORD WINAPI ThreadMain(LPVOID parameter);
  void SetUpDirectoryWatcher();
  void WatchDirectory();
  bool IssueChangeRead();
  void FinishPendingRead();
  static VOID CALLBACK OnChangeCompleted(DWORD errorCode, DWORD bytesTransferred,
                                         LPOVERLAPPED overlapped);
  void ProcessChanges(DWORD bytesTransferred);
  void Reload();

  WString m_fileName;
  WString m_directory;
  std::atomic<bool> m_stop;
  bool m_waiting;  // a change read is pending; watcher thread only
  HANDLE m_thread;
  HANDLE m_directoryHandle;
  StavoraLoader* m_target;
  ReloadOperation m_reload;
  // The change records; the platform needs them DWORD-aligned.
  alignas(DWORD) unsigned char m_buffer[kBufferBytes];
  OVERLAPPED m_overlapped;  // hEvent carries the watcher, no event is used
};

}  // namespace stavora
