// The per-object thread that watches the INI file's directory and reloads the
// object when a change names the file. Windows only: include from Win32 code.
#pragma once

#include <windows.h>

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/ScopedHandles.h"
#include "platform/WString.h"
#include "store/ChangeEvidence.h"
#include "store/IniPath.h"
#include "store/StavoraLoader.h"
#include "watcher/CreatorIdentity.h"
#include "watcher/FileNameComparisonWin32.h"
#include "watcher/FolderIdentity.h"
#include "watcher/OneReadAtATime.h"
#include "watcher/ReloadPlan.h"
#include "watcher/ThreadTokensWin32.h"

namespace stavora {

class DirectoryWatcher final : public IChangeEvidence {
 public:
  // The operation to call on the target, through the virtual table; always
  // &StavoraLoader::LoadRegistry. What it returns decides what comes next
  // (ReloadPlan): a settle read, a read after a back-off, or nothing.
  using ReloadOperation = LoadResult (StavoraLoader::*)(EmptyFile);

  static constexpr DWORD kBufferBytes = 16384;
  // Size, last write and creation, and file names: a save that renames a
  // temporary file over the INI file, and a deletion, name the file only in a
  // file-name record.
  static constexpr DWORD kNotifyFilter =
      FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_SIZE |
      FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_CREATION;  // 0x59
  static constexpr DWORD kSleepMilliseconds = 1000;
  // How long the creating thread waits for the first change read to be
  // pending before it loads the file all the same.
  static constexpr DWORD kStartWaitMilliseconds = 2000;
  // How long a release waits for the thread to end (Stop). The thread ends
  // within milliseconds unless a call of the file system holds it up: a
  // profile call, an open of the folder or a look at it, on a share that
  // does not answer, can take tens of seconds.
  static constexpr DWORD kReleaseWaitMilliseconds = 1000;

  // Idle: no thread, no directory handle, stop flag clear.
  DirectoryWatcher();

  // Stops the thread and waits for it without a time limit, unless the
  // thread holds an owner (Start): the owner then goes only after the thread
  // is done with the watcher, and nothing is waited for. Then closes the
  // thread and directory handles. Returns at once when no thread runs.
  ~DirectoryWatcher();

  DirectoryWatcher(const DirectoryWatcher&) = delete;
  DirectoryWatcher& operator=(const DirectoryWatcher&) = delete;

  // Takes the INI file's location (names already upper-cased by the name
  // rule), keeps `target` (not owned) and `reload`, and the calling thread's
  // impersonation token, if it has one, and starts the thread, which reads
  // under that token. The thread holds `owner` (the block that holds this
  // watcher and the target, if any) and a reference to the module its code
  // is in until it ends, so that both outlive a Stop that gave up waiting.
  // Failures are logged, not returned. Called once; later calls are ignored.
  // An exception (memory) leaves to the caller with no thread running.
  void Start(const IniLocation& location, StavoraLoader* target, ReloadOperation reload,
             std::shared_ptr<void> owner = nullptr);

  // Sets the stop flag, wakes the thread and waits for it to end, at most
  // `waitMilliseconds`. True when it ended, or none ran. A thread that is
  // in a reload stops at the reload's next call of the profile service.
  bool Stop(DWORD waitMilliseconds);

  // On the creating thread, after Start: waits until the first change read
  // is pending (true), or the thread could not start or open the directory,
  // or kStartWaitMilliseconds passed (false). Changes are reported only from
  // the first pending read on, so the object loads the file after this.
  bool WaitUntilWatching();

  // On the creating thread: the object's first load ended with `result`,
  // begun when WaitUntilWatching had answered `watching`. A file that could
  // not be read is read again after the back-off; a load begun before the
  // first read was pending is followed by a reload once it is.
  void FirstLoadDone(LoadResult result, bool watching);

  // The changes naming the file reported so far. On the watcher thread (a
  // reload) it also looks at the pending read: a read that has completed,
  // while its routine has not run yet, is counted at once.
  std::uint64_t ChangesSeen() override;

 private:
  // One change read's memory, its own until its completion has run.
  struct ChangeRead {
    OVERLAPPED overlapped;
    DirectoryWatcher* watcher;
    bool peeked;   // its completion was looked at during a reload
    bool counted;  // it named the file and was counted then
    // The change records; the platform needs them DWORD-aligned.
    alignas(DWORD) unsigned char records[kBufferBytes];
  };

  struct ThreadStart;
  void StartFileNotificationThread(std::shared_ptr<void> owner);
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
  void ProcessChanges(ChangeRead& read, DWORD bytesTransferred);
  bool NamesFile(const ChangeRead& read, DWORD bytesTransferred);
  void PeekPendingRead();
  void SignalStarted(bool watching);
  void TakeUpFirstLoad();
  void ReloadIfDue();

  WString m_fileName;
  WString m_directoryToOpen;  // the directory as it is opened
  std::atomic<bool> m_stop;
  ScopedHandle m_started;  // set once the first read is pending, or never will be
  bool m_startSignalled = false;  // watcher thread only
  std::atomic<bool> m_watchingAtStart{false};
  std::atomic<bool> m_firstLoadUnreadable{false};
  std::atomic<bool> m_reloadOnceWatching{false};
  std::atomic<std::uint64_t> m_changesSeen{0};
  DWORD m_threadId = 0;
  // Set by the thread once it no longer uses the watcher, before it lets go
  // of its owner.
  std::atomic<bool> m_threadDone{false};
  ThreadTokensWin32 m_tokens;
  CreatorIdentity m_creator{m_tokens};
  // Watcher thread only, from here on.
  bool m_readErrorRun = false;  // the last completion was a failed read
  bool m_backOff = false;       // wait one slice before the next read
  ScopedHandle m_thread;
  ScopedHandle m_directoryHandle;
  StavoraLoader* m_target;
  ReloadOperation m_reload;
  OneReadAtATime<ChangeRead> m_reads;
  ReloadPlan m_plan;
  std::uint64_t m_lastFolderCheck = 0;
  FolderCheck m_folderCheck;
  OrdinalIgnoreCase m_sameName;
};

}  // namespace stavora
