// The per-object thread that watches the INI file's directory and reloads the
// object when a change names the file. Windows only: include from Win32 code.
#pragma once

#include <windows.h>

#include <atomic>

#include "store/IniPath.h"
#include "platform/ScopedHandles.h"
#include "store/NameRule.h"
#include "store/ProfileSource.h"
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

  // Takes the INI file's location (names already upper-cased by the name
  // rule), keeps `target` (not owned) and `reload`, and starts the thread.
  // Failures are logged, not returned. Called once; later calls are ignored.
  // An exception (memory, or the log writer unable to start) leaves to the
  // caller with no thread running.
  //
  // `location.loaded` is the INI file as it stood before the caller's own
  // load. Changes are reported only from the first pending read on, so a save
  // made between that load and the first read would go unseen; once the first
  // read is pending, the thread compares the file with `loaded` and reloads
  // once if it differs.
  void Start(const IniLocation& location, StavoraLoader* target, ReloadOperation reload);

 private:
  void StartFileNotificationThread();
  static DWORD WINAPI ThreadMain(LPVOID parameter);
  void SetUpDirectoryWatcher();
  bool OpenDirectory();
  void CloseDirectory();
  bool DirectoryStillThere() const;
  void WatchDirectory();
  bool IssueChangeRead();
  void FinishPendingRead();
  static VOID CALLBACK OnChangeCompleted(DWORD errorCode, DWORD bytesTransferred,
                                         LPOVERLAPPED overlapped);
  void ProcessChanges(DWORD bytesTransferred);
  void Reload();
  void ReloadIfChangedSinceLoad();

  WString m_fileName;
  WString m_directory;
  WString m_directoryToOpen;  // m_directory as it is opened
  WString m_filePath;         // the INI file, for comparing its state
  FileState m_loaded;         // the file as the caller loaded it; checked once
  std::atomic<bool> m_stop;
  bool m_waiting;  // a change read is pending; watcher thread only
  bool m_readErrorRun = false;  // the last completion was a failed read; thread only
  bool m_backOff = false;       // wait one slice before the next read; thread only
  ScopedHandle m_thread;
  ScopedHandle m_directoryHandle;
  StavoraLoader* m_target;
  ReloadOperation m_reload;
  // The change records; the platform needs them DWORD-aligned.
  alignas(DWORD) unsigned char m_buffer[kBufferBytes];
  OVERLAPPED m_overlapped;  // hEvent carries the watcher, no event is used
};

}  // namespace stavora
