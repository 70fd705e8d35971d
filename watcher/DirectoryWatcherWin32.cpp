// DirectoryWatcher: one thread per lookup object, an asynchronous change read
// on the INI file's directory, and a reload when a completed read names the
// file.
//
// All reads and their completion routines belong to the watcher thread: the
// routine runs only while that thread sleeps alertably. The thread cancels its
// own pending read and waits for that completion before it returns, so once
// the destructor's wait is over no read can still write into m_buffer or
// m_overlapped and no completion routine can run on them.
#include "watcher/DirectoryWatcher.h"

#include <cstring>

#include "logging/Logger.h"
#include "platform/FileState.h"
#include "platform/WideText.h"
#include "watcher/ChangesNameFile.h"

namespace stavora {
namespace {

// Wine completes a read with this code when the directory handle is closed
// under it; it is not named in the SDK headers.
constexpr DWORD kErrorReadHandleClosed = 676;

// How long the ending thread waits, in one-second alertable slices, for the
// completion of the read it has just cancelled. The completion normally
// arrives at once; the bound only keeps a lost completion from hanging the
// destructor.
constexpr int kCancelWaitSlices = 5;

constexpr char16_t kThreadFailed[] =
    u"StartFileNotificationThread(): Failed to create thread.";
constexpr char16_t kDirectoryFailed[] =
    u"SetUpDirectoryWatcher(): Failed to get directory handle.";
constexpr char16_t kReadFailed[] =
    u"WatchDirectory(): Failed to issue a change read.";
constexpr char16_t kDirectoryLost[] =
    u"WatchDirectory(): The directory is gone; opening it again every second.";
constexpr char16_t kDirectoryBack[] =
    u"WatchDirectory(): The directory is back; watching it again.";

// Sharing that lets other programs do anything in the directory while it is
// watched: rename a saved file over the INI file (which opens the directory
// for writing), create and delete files, and delete the directory itself.
constexpr DWORD kDirectoryShareMode = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr char16_t kReloadThrew[] =
    u"ProcessChanges(): The reload ended with an exception.";
constexpr char16_t kNoTarget[] = u"Start(): No object to reload.";

// The watcher thread's barrier: runs `step` and reports whether it ended
// without an exception. Nothing may unwind into the system's thread start,
// and nobody up the thread's stack could report a failure anyway, so every
// step that can throw runs through here and decides for itself what a
// failure means.
template <class Step>
bool CompletedOnWatcherThread(Step&& step) noexcept {
  try {
    step();
    return true;
  } catch (...) {
    return false;
  }
}

// Writes a line from the watcher thread. An exception from the log writer
// (it could not start, or memory ran out) must not end the thread, and there
// is nowhere else to report it, so the line is dropped.
void LogOnWatcherThread(const char16_t* message) noexcept {
  (void)CompletedOnWatcherThread([message] { Logger::GetInstance()->Write(message); });
}

// Queued to the watcher thread to end its alertable sleep at once.
VOID CALLBACK WakeUp(ULONG_PTR) {}

}  // namespace

DirectoryWatcher::DirectoryWatcher()
    : m_stop(false),
      m_waiting(true),
      m_target(nullptr),
      m_reload(nullptr),
      m_buffer{},
      m_overlapped{} {}

DirectoryWatcher::~DirectoryWatcher() {
  m_stop = true;
  if (m_thread) {
    // Fails only when the thread has ended already; the wait then returns at
    // once, so the result is not needed.
    QueueUserAPC(WakeUp, m_thread.Get(), 0);
    WaitForSingleObject(m_thread.Get(), INFINITE);
  }
  // The thread has ended (or never existed): the members close its handle and
  // the directory handle, ours alone now.
}

void DirectoryWatcher::Start(const IniLocation& location, StavoraLoader* target,
                             ReloadOperation reload) {
  if (m_thread) return;
  if (target == nullptr || reload == nullptr) {
    WriteLogLine(kNoTarget);
    return;
  }
  m_fileName = location.fileName;
  m_directory = location.directory;
  m_directoryToOpen = location.directoryToOpen;
  m_filePath = location.path;
  m_loaded = location.loaded;
  m_target = target;
  m_reload = reload;
  StartFileNotificationThread();
}

void DirectoryWatcher::StartFileNotificationThread() {
  m_thread.Reset(CreateThread(nullptr, 0, ThreadMain, this, 0, nullptr));
  if (!m_thread) WriteLogLine(kThreadFailed);
}

DWORD WINAPI DirectoryWatcher::ThreadMain(LPVOID parameter) {
  auto* watcher = static_cast<DirectoryWatcher*>(parameter);
  // Everything that can throw on this thread is guarded where it runs; this
  // is the last guard, so that nothing unwinds into the system's thread start.
  (void)CompletedOnWatcherThread([watcher] { watcher->SetUpDirectoryWatcher(); });
  return 0;
}

void DirectoryWatcher::SetUpDirectoryWatcher() {
  if (!OpenDirectory()) LogOnWatcherThread(kDirectoryFailed);
  WatchDirectory();
}

bool DirectoryWatcher::OpenDirectory() {
  m_directoryHandle.Reset(CreateFileW(AsWide(m_directoryToOpen), FILE_LIST_DIRECTORY,
                                      kDirectoryShareMode, nullptr, OPEN_EXISTING,
                                      FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr));
  return m_directoryHandle.IsValid();
}

// Closes the directory handle; on Windows a deleted directory is removed
// only once every handle to it is closed, so a lost one must not be held.
void DirectoryWatcher::CloseDirectory() { m_directoryHandle.Reset(); }

namespace {

// Which directory a handle is open on: the volume and the index on it.
bool IdentityOf(HANDLE handle, ULONGLONG* identity, DWORD* volume) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return false;
  *identity = (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) |
              information.nFileIndexLow;
  *volume = information.dwVolumeSerialNumber;
  return true;
}

}  // namespace

// Whether the directory at the watched path is still the one the handle is
// open on. A directory deleted while open refuses new opens until its last
// handle goes (or, under Wine, stays until then), and one renamed away, or
// deleted and made again, is another directory at the path: in each case
// only a new open watches what the path names now.
bool DirectoryWatcher::DirectoryStillThere() const {
  const ScopedHandle probe(CreateFileW(AsWide(m_directoryToOpen), 0, kDirectoryShareMode, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!probe) return false;
  ULONGLONG watched = 0, atPath = 0;
  DWORD watchedVolume = 0, pathVolume = 0;
  return IdentityOf(m_directoryHandle.Get(), &watched, &watchedVolume) &&
         IdentityOf(probe.Get(), &atPath, &pathVolume) && watched == atPath && watchedVolume == pathVolume;
}

// One pass per read: issue it, then sleep alertably until its completion has
// been handled or the stop flag is seen. A read that cannot be issued is
// tried again after one sleep, never in a tight loop. Reading is blind while
// reads fail, so the object is reloaded once when they start failing (logged
// once) and once when a read goes out again.
//
// A directory that is gone (deleted, or never there) is opened again once a
// second until it is back; the loss and the return are logged once each, and
// the object is reloaded once the first read on the new handle is pending.
void DirectoryWatcher::WatchDirectory() {
  m_waiting = false;  // nothing is pending until the first read goes out
  bool readsFailing = false;
  bool firstRead = true;
  bool lost = !m_directoryHandle;  // logged by the caller
  bool regained = false;
  // Once per loss: a line, and a reload, since the file went with it.
  auto noteLoss = [&] {
    if (lost) return;
    lost = true;
    LogOnWatcherThread(kDirectoryLost);
    Reload();
  };
  while (!m_stop) {
    if (m_backOff) {
      // The last read ended with an error: wait one slice before the next,
      // so that reads failing at once every time cannot spin.
      m_backOff = false;
      SleepEx(kSleepMilliseconds, TRUE);
      if (m_stop) break;
    }
    if (!m_directoryHandle) {
      if (!OpenDirectory()) {
        noteLoss();
      } else if (lost) {
        lost = false;
        regained = true;
        LogOnWatcherThread(kDirectoryBack);
      }
    }
    if (!m_directoryHandle) {
      m_waiting = false;  // still gone: the sleep below is the wait
    } else if (IssueChangeRead()) {
      m_waiting = true;
      if (firstRead) ReloadIfChangedSinceLoad();
      firstRead = false;
      if (readsFailing || regained) {
        readsFailing = false;
        regained = false;
        Reload();
      }
    } else {
      m_waiting = false;
      // The handle may belong to a directory that has been deleted: only a
      // new open can tell, and a failed one means the directory is gone.
      CloseDirectory();
      if (!OpenDirectory()) {
        noteLoss();
      } else if (!readsFailing) {
        readsFailing = true;
        LogOnWatcherThread(kReadFailed);
        Reload();
      }
    }
    do {
      if (m_stop) break;
      SleepEx(kSleepMilliseconds, TRUE);
      // A platform may leave the read on a deleted directory pending for
      // good; the check once a second notices the loss all the same.
      if (m_waiting && !m_stop && !DirectoryStillThere()) {
        FinishPendingRead();
        CloseDirectory();
        // Whatever stands at the path now is read afresh once it is watched,
        // even when it opens at once (a folder replaced within the second).
        regained = true;
        break;
      }
    } while (m_waiting);
  }
  FinishPendingRead();
}

bool DirectoryWatcher::IssueChangeRead() {
  std::memset(m_buffer, 0, sizeof m_buffer);
  std::memset(&m_overlapped, 0, sizeof m_overlapped);
  m_overlapped.hEvent = this;
  return ReadDirectoryChangesW(m_directoryHandle.Get(), m_buffer, kBufferBytes, FALSE,
                               kNotifyFilter, nullptr, &m_overlapped,
                               OnChangeCompleted) != FALSE;
}

// Called on the way out: cancels this thread's pending read and lets its
// completion (error 995, or records that arrived first) run here, so the
// thread ends with nothing pending on m_buffer or m_overlapped.
void DirectoryWatcher::FinishPendingRead() {
  if (!m_waiting) return;
  if (!CancelIo(m_directoryHandle.Get())) return;
  for (int slice = 0; m_waiting && slice < kCancelWaitSlices; ++slice) {
    SleepEx(kSleepMilliseconds, TRUE);
  }
}

VOID CALLBACK DirectoryWatcher::OnChangeCompleted(DWORD errorCode, DWORD bytesTransferred,
                                                  LPOVERLAPPED overlapped) {
  auto* watcher = static_cast<DirectoryWatcher*>(overlapped->hEvent);
  if (errorCode == ERROR_SUCCESS && bytesTransferred > 0) {
    watcher->ProcessChanges(bytesTransferred);
    return;
  }
  // No records. The end of the read during the stop reloads nothing.
  const bool stopping = errorCode == ERROR_OPERATION_ABORTED ||
                        errorCode == kErrorReadHandleClosed;
  if (!stopping) {
    if (errorCode == ERROR_SUCCESS || errorCode == ERROR_NOTIFY_ENUM_DIR) {
      // An overflow: changes were made, which ones is not known.
      watcher->m_readErrorRun = false;
      watcher->Reload();
    } else {
      // A read that failed: changes may have been missed, so reload, once
      // per run of such failures, and wait a slice before the next read.
      if (!watcher->m_readErrorRun) {
        watcher->m_readErrorRun = true;
        watcher->Reload();
      }
      watcher->m_backOff = true;
    }
  }
  watcher->m_waiting = false;
}

void DirectoryWatcher::ProcessChanges(DWORD bytesTransferred) {
  const std::size_t reported =
      bytesTransferred < kBufferBytes ? bytesTransferred : kBufferBytes;
  // After a run of failed reads, changes may have gone unreported.
  bool namesFile = m_readErrorRun;
  m_readErrorRun = false;
  // Only the copy of a name can fail (memory). The batch may have named the
  // file, so a failed walk reloads rather than miss it.
  if (!CompletedOnWatcherThread(
          [&] { namesFile = ChangesNameFile(m_buffer, reported, m_fileName) || namesFile; })) {
    namesFile = true;
  }
  if (namesFile) Reload();
  m_waiting = false;
}

// Called once, with the first read pending: from here on every change is
// reported, and a change made since the caller's load is caught by the stamp.
void DirectoryWatcher::ReloadIfChangedSinceLoad() {
  if (ReadFileState(m_filePath) != m_loaded) Reload();
}

// The one place the target is reloaded. Nothing is reloaded once the stop is
// under way, and an exception from the reload ends only that reload.
void DirectoryWatcher::Reload() {
  if (m_stop) return;
  if (!CompletedOnWatcherThread([this] { (m_target->*m_reload)(); })) {
    LogOnWatcherThread(kReloadThrew);
  }
}

}  // namespace stavora
