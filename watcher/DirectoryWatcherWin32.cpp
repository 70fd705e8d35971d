// DirectoryWatcher: one thread per lookup object, an asynchronous change read
// on the INI file's directory, and a reload when a completed read names the
// file.
//
// All reads and their completion routines belong to the watcher thread: the
// routine runs only while that thread sleeps alertably. One read is out at a
// time, in a block of its own (OneReadAtATime) that its completion frees; no
// read goes out while an earlier one may still complete. At the end the
// thread cancels its read and waits for that completion; should it never
// come, the block is left to the read, so nothing the system may still write
// to is ever freed or used again.
#include "watcher/DirectoryWatcher.h"

#include <cstring>
#include <memory>
#include <optional>

#include "logging/Logger.h"
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
constexpr char16_t kTokenRefused[] =
    u"SetUpDirectoryWatcher(): Failed to take on the creating thread's token; reloads read "
    u"as the process.";
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

// Writes a line from the watcher thread, which holds no lock then. Best
// effort: a line the log writer cannot take is dropped, since there is
// nowhere else to report it.
void LogOnWatcherThread(const char16_t* message) noexcept {
  (void)CompletedOnWatcherThread([message] { WriteLogLine(message); });
}

// FileIdInfo of FILE_INFO_BY_HANDLE_CLASS and its result (Windows 8 and
// later; ReFS needs all 128 bits). Spelled out here because the SDK headers
// declare them only for builds aimed at Windows 8.
constexpr int kFileIdInfoClass = 18;
struct FileIdInformation {
  ULONGLONG volumeSerialNumber;
  BYTE identifier[16];
};

// The identity of the folder `handle` is open on: its 128-bit identifier
// where the system has FileIdInfo, else the 64-bit index; with its creation
// time in either case. Nothing when neither query answers.
std::optional<FolderIdentity> IdentityOf(HANDLE handle) {
  BY_HANDLE_FILE_INFORMATION information;
  if (!GetFileInformationByHandle(handle, &information)) return std::nullopt;
  FolderIdentity identity;
  identity.volume = information.dwVolumeSerialNumber;
  const ULONGLONG index =
      (static_cast<ULONGLONG>(information.nFileIndexHigh) << 32) | information.nFileIndexLow;
  for (int i = 0; i < 8; ++i) identity.fileId[i] = static_cast<std::uint8_t>(index >> (8 * i));
  identity.created = (static_cast<ULONGLONG>(information.ftCreationTime.dwHighDateTime) << 32) |
                     information.ftCreationTime.dwLowDateTime;
  FileIdInformation wide;
  if (GetFileInformationByHandleEx(handle, static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileIdInfoClass),
                                   &wide, sizeof wide)) {
    identity.volume = wide.volumeSerialNumber;
    std::memcpy(identity.fileId.data(), wide.identifier, sizeof wide.identifier);
  }
  return identity;
}

ULONGLONG Now() { return GetTickCount64(); }

// Queued to the watcher thread to end its alertable sleep at once.
VOID CALLBACK WakeUp(ULONG_PTR) {}

}  // namespace

DirectoryWatcher::DirectoryWatcher()
    : m_stop(false), m_target(nullptr), m_reload(nullptr) {}

DirectoryWatcher::~DirectoryWatcher() {
  // A thread that holds an owner has let go of it, and so of this watcher,
  // by the time the owner goes: on its own stack, or before another thread
  // takes the owner down. Either way there is nothing to wait for.
  if (m_thread && !m_threadDone.load(std::memory_order_acquire) &&
      GetCurrentThreadId() != m_threadId) {
    (void)Stop(INFINITE);
  }
  // The thread has ended (or never existed, or is done with the watcher):
  // the members close its handle and the directory handle, ours alone now.
}

bool DirectoryWatcher::Stop(DWORD waitMilliseconds) {
  m_stop = true;
  if (!m_thread || m_threadDone.load(std::memory_order_acquire)) return true;
  // Fails only when the thread has ended already; the wait then returns at
  // once, so the result is not needed.
  QueueUserAPC(WakeUp, m_thread.Get(), 0);
  return WaitForSingleObject(m_thread.Get(), waitMilliseconds) == WAIT_OBJECT_0;
}

void DirectoryWatcher::Start(const IniLocation& location, StavoraLoader* target,
                             ReloadOperation reload, std::shared_ptr<void> owner) {
  if (m_thread) return;
  if (target == nullptr || reload == nullptr) {
    WriteLogLine(kNoTarget);
    return;
  }
  m_fileName = location.fileName;
  m_directoryToOpen = location.directoryToOpen;
  m_target = target;
  m_reload = reload;
  m_creator.CaptureOnCreatingThread();
  // Without the event the creating thread does not wait for the first read.
  m_started.Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  StartFileNotificationThread(std::move(owner));
}

// What the thread is given: the watcher, the owner it holds until it ends,
// and its reference to the module, given back as it exits.
struct DirectoryWatcher::ThreadStart {
  DirectoryWatcher* watcher;
  std::shared_ptr<void> owner;
  HMODULE module;
};

void DirectoryWatcher::StartFileNotificationThread(std::shared_ptr<void> owner) {
  auto start = std::make_unique<ThreadStart>(ThreadStart{this, std::move(owner), nullptr});
  // A thread that outlives its object runs this module's code: a reference
  // keeps the module loaded until the thread has left it. Without one (it
  // cannot fail for an address in a loaded module) the thread runs all the
  // same.
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&DirectoryWatcher::ThreadMain),
                          &start->module)) {
    start->module = nullptr;
  }
  m_thread.Reset(CreateThread(nullptr, 0, ThreadMain, start.get(), 0, &m_threadId));
  if (!m_thread) {
    if (start->module != nullptr) FreeLibrary(start->module);
    WriteLogLine(kThreadFailed);
    return;
  }
  (void)start.release();  // the thread's now
}

bool DirectoryWatcher::WaitUntilWatching() {
  if (!m_thread || !m_started) return false;
  if (WaitForSingleObject(m_started.Get(), kStartWaitMilliseconds) != WAIT_OBJECT_0) return false;
  return m_watchingAtStart.load(std::memory_order_acquire);
}

void DirectoryWatcher::FirstLoadDone(LoadResult result, bool watching) {
  if (!m_thread) return;
  if (result == LoadResult::kUnreadable) m_firstLoadUnreadable = true;
  // A file that kept changing under the load was not served: read it again.
  if (!watching || result == LoadResult::kUnsettled) m_reloadOnceWatching = true;
  if (result == LoadResult::kUnreadable || m_reloadOnceWatching) {
    // Ends the thread's sleep so that it plans at once; fails only when the
    // thread has ended, and then there is nothing to plan.
    QueueUserAPC(WakeUp, m_thread.Get(), 0);
  }
}

void DirectoryWatcher::SignalStarted(bool watching) {
  // Once: the creating thread has its answer. The event stays open until the
  // watcher goes, since the creating thread may be waiting on it.
  if (m_startSignalled || !m_started) return;
  m_startSignalled = true;
  m_watchingAtStart.store(watching, std::memory_order_release);
  SetEvent(m_started.Get());
}

DWORD WINAPI DirectoryWatcher::ThreadMain(LPVOID parameter) {
  std::unique_ptr<ThreadStart> start(static_cast<ThreadStart*>(parameter));
  DirectoryWatcher* watcher = start->watcher;
  // Reads as the account that created the object; a token that cannot be
  // taken on leaves the process's, and says so.
  if (!watcher->m_creator.AdoptOnWatcherThread()) LogOnWatcherThread(kTokenRefused);
  // Everything that can throw on this thread is guarded where it runs; this
  // is the last guard, so that nothing unwinds into the system's thread start.
  (void)CompletedOnWatcherThread([watcher] { watcher->SetUpDirectoryWatcher(); });
  watcher->SignalStarted(false);  // if it never came to watch
  watcher->m_creator.RevertOnWatcherThread();
  // The last use of the watcher. Letting go of the owner may free it, here,
  // when the object has been released meanwhile.
  watcher->m_threadDone.store(true, std::memory_order_release);
  const HMODULE module = start->module;
  start.reset();
  if (module != nullptr) FreeLibraryAndExitThread(module, 0);
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
  if (!m_directoryHandle.IsValid()) return false;
  m_folderCheck.Opened(IdentityOf(m_directoryHandle.Get()));
  // Change records may name the file by its short name; it is taken anew
  // with each open, since the file may have been made again meanwhile.
  m_sameName.TakeShortName(m_directoryToOpen, m_fileName);
  return true;
}

// Closes the directory handle; on Windows a deleted directory is removed
// only once every handle to it is closed, so a lost one must not be held.
void DirectoryWatcher::CloseDirectory() { m_directoryHandle.Reset(); }

// Whether the folder at the watched path is to be opened again: it is gone
// (a folder deleted while open refuses new opens until its last handle goes,
// or under Wine stays until then), or another folder stands at the path
// (renamed away, or deleted and made again). FolderCheck decides from the
// identities, so that an identifier a server reports unreliably cannot make
// the folder look replaced every second.
bool DirectoryWatcher::FolderReplaced() {
  const ScopedHandle probe(CreateFileW(AsWide(m_directoryToOpen), 0, kDirectoryShareMode, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
  if (!probe) return m_folderCheck.Reopen(false, std::nullopt, std::nullopt);
  return m_folderCheck.Reopen(true, IdentityOf(probe.Get()), IdentityOf(m_directoryHandle.Get()));
}

// One pass per read: issue it, then run the reloads that are due (with the
// read pending, so that a save during a reload is reported), then sleep
// alertably until the read's completion has been handled or the stop flag is
// seen. Completion routines only record what they saw (ReloadPlan); the
// reloads run here. A read that cannot be issued is tried again after one
// sleep, never in a tight loop. Reading is blind while reads fail, so the
// object is reloaded once when they start failing (logged once) and once when
// a read goes out again.
//
// A directory that is gone (deleted, or never there) is opened again once a
// second until it is back; the loss and the return are logged once each, and
// the object is reloaded once the first read on the new handle is pending.
void DirectoryWatcher::WatchDirectory() {
  bool readsFailing = false;
  bool lost = !m_directoryHandle;  // logged by the caller
  bool regained = false;
  // Once per loss: a line, and a reload, since the file went with it.
  auto noteLoss = [&] {
    if (lost) return;
    lost = true;
    LogOnWatcherThread(kDirectoryLost);
    m_plan.ChangeRecorded();
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
    if (!m_directoryHandle || m_reads.Outstanding()) {
      // Still gone, or a cancelled read has not completed yet: the sleep
      // below is the wait.
    } else if (IssueChangeRead()) {
      SignalStarted(true);
      if (readsFailing || regained) {
        readsFailing = false;
        regained = false;
        m_plan.ChangeRecorded();
      }
    } else {
      // The handle may belong to a directory that has been deleted: only a
      // new open can tell, and a failed one means the directory is gone.
      CloseDirectory();
      if (!OpenDirectory()) {
        noteLoss();
      } else if (!readsFailing) {
        readsFailing = true;
        LogOnWatcherThread(kReadFailed);
        m_plan.ChangeRecorded();
      }
    }
    // The object need not wait for a directory that is not there.
    if (!m_reads.Outstanding()) SignalStarted(false);
    do {
      if (m_stop) break;
      TakeUpFirstLoad();
      ReloadIfDue();
      if (m_stop) break;
      SleepEx(static_cast<DWORD>(m_plan.SleepFrom(Now(), kSleepMilliseconds)), TRUE);
      if (m_stop) break;
      // A platform may leave the read on a deleted directory pending for
      // good; a look once a second notices the loss all the same.
      const ULONGLONG now = Now();
      if (m_reads.Outstanding() && m_directoryHandle && now - m_lastFolderCheck >= kSleepMilliseconds) {
        m_lastFolderCheck = now;
        if (FolderReplaced()) {
          FinishPendingRead();
          CloseDirectory();
          // Whatever stands at the path now is read afresh once it is
          // watched, even when it opens at once (a folder replaced within
          // the second).
          regained = true;
          break;
        }
      }
    } while (m_reads.Outstanding());
  }
  FinishPendingRead();
  // Waited for long enough: a completion that never came leaves its block
  // to the read.
  if (m_reads.Outstanding()) m_reads.Abandon();
}

bool DirectoryWatcher::IssueChangeRead() {
  ChangeRead* read = m_reads.Begin();
  if (read == nullptr) return false;  // memory ran out; tried again later
  read->watcher = this;
  read->peeked = false;
  read->counted = false;
  if (ReadDirectoryChangesW(m_directoryHandle.Get(), read->records, kBufferBytes, FALSE,
                            kNotifyFilter, nullptr, &read->overlapped, OnChangeCompleted)) {
    return true;
  }
  m_reads.NotIssued(read);  // no completion will come for it
  return false;
}

// Cancels this thread's pending read and lets its completion (error 995, or
// records that arrived first) run here, for at most a few seconds.
void DirectoryWatcher::FinishPendingRead() {
  if (!m_reads.Outstanding()) return;
  if (!CancelIo(m_directoryHandle.Get())) return;
  for (int slice = 0; m_reads.Outstanding() && slice < kCancelWaitSlices; ++slice) {
    SleepEx(kSleepMilliseconds, TRUE);
  }
}

VOID CALLBACK DirectoryWatcher::OnChangeCompleted(DWORD errorCode, DWORD bytesTransferred,
                                                  LPOVERLAPPED overlapped) {
  ChangeRead* read = CONTAINING_RECORD(overlapped, ChangeRead, overlapped);
  DirectoryWatcher* watcher = read->watcher;
  if (errorCode == ERROR_SUCCESS && bytesTransferred > 0) {
    watcher->ProcessChanges(*read, bytesTransferred);
  } else if (errorCode == ERROR_OPERATION_ABORTED || errorCode == kErrorReadHandleClosed) {
    // The end of the read during a stop or a reopen reloads nothing.
  } else if (errorCode == ERROR_SUCCESS || errorCode == ERROR_NOTIFY_ENUM_DIR) {
    // An overflow: changes were made, which ones is not known. While
    // overflows go on, one reload a second is enough.
    watcher->m_readErrorRun = false;
    if (!read->counted) {
      watcher->m_changesSeen.fetch_add(1, std::memory_order_acq_rel);
      watcher->m_plan.OverflowRecorded(Now());
    }
  } else {
    // A read that failed: changes may have been missed, so reload, once
    // per run of such failures, and wait a slice before the next read.
    if (!watcher->m_readErrorRun) {
      watcher->m_readErrorRun = true;
      watcher->m_changesSeen.fetch_add(1, std::memory_order_acq_rel);
      watcher->m_plan.ChangeRecorded();
    }
    watcher->m_backOff = true;
  }
  watcher->m_reads.Completed(read);  // the system is done with the block
}

// Whether a completed read's records name the file. Only the copy of a name
// can fail (memory); the batch may have named the file, so a failed walk
// counts as naming it rather than miss it.
bool DirectoryWatcher::NamesFile(const ChangeRead& read, DWORD bytesTransferred) {
  const std::size_t reported =
      bytesTransferred < kBufferBytes ? bytesTransferred : kBufferBytes;
  bool namesFile = true;
  (void)CompletedOnWatcherThread(
      [&] { namesFile = ChangesNameFile(read.records, reported, m_fileName, m_sameName); });
  return namesFile;
}

void DirectoryWatcher::ProcessChanges(ChangeRead& read, DWORD bytesTransferred) {
  // After a run of failed reads, changes may have gone unreported.
  const bool afterFailures = m_readErrorRun;
  m_readErrorRun = false;
  // A read counted during a reload made that reload read again: done.
  if (read.counted) return;
  if (afterFailures || NamesFile(read, bytesTransferred)) {
    m_changesSeen.fetch_add(1, std::memory_order_acq_rel);
    m_plan.ChangeRecorded();
  }
}

// During a reload on this thread the completion routine does not run, but
// the read's status is set the moment it completes: a completion that names
// the file (or an overflow, whose changes are unknown) is counted at once,
// and the reload reads again. Then the routine is let run (it only records)
// and the next read goes out, so that the reload goes on seeing changes:
// the stamp of a same-size save within one tick of the file system's clock
// shows none.
void DirectoryWatcher::PeekPendingRead() {
  ChangeRead* read = m_reads.Current();
  if (read == nullptr || !HasOverlappedIoCompleted(&read->overlapped)) return;
  if (!read->peeked) {
    read->peeked = true;
    // Internal holds the read's status, InternalHigh the bytes it wrote.
    const auto status = static_cast<LONG>(read->overlapped.Internal);
    const auto bytes = static_cast<DWORD>(read->overlapped.InternalHigh);
    bool counts = false;
    if (status == 0 && bytes > 0) {
      counts = NamesFile(*read, bytes);
    } else if (status == 0 || status == static_cast<LONG>(0x0000010C) /* STATUS_NOTIFY_ENUM_DIR */) {
      counts = true;  // an overflow
    }
    // A failed or cancelled read is left to its routine, which counts it.
    if (counts) {
      read->counted = true;
      m_changesSeen.fetch_add(1, std::memory_order_acq_rel);
    }
  }
  // Runs the queued routine, which frees the read; changes meanwhile wait in
  // the directory handle for the next read.
  SleepEx(0, TRUE);
  if (!m_stop && m_directoryHandle && !m_reads.Outstanding()) (void)IssueChangeRead();
}

std::uint64_t DirectoryWatcher::ChangesSeen() {
  if (GetCurrentThreadId() == m_threadId) PeekPendingRead();
  return m_changesSeen.load(std::memory_order_acquire);
}

// What the creating thread said of its first load, taken up by the plan.
void DirectoryWatcher::TakeUpFirstLoad() {
  if (m_firstLoadUnreadable.exchange(false)) m_plan.LoadEndedElsewhere(Now(), LoadResult::kUnreadable);
  // Only with a read pending: the reload must follow the start of watching.
  if (m_reads.Outstanding() && m_reloadOnceWatching.exchange(false)) m_plan.ChangeRecorded();
}

// The one place the target is reloaded: when the plan says a reload is due.
// Nothing is reloaded once the stop is under way, and an exception from the
// reload ends only that reload (and is not retried: the next change reloads
// again).
void DirectoryWatcher::ReloadIfDue() {
  const ULONGLONG now = Now();
  if (m_stop || !m_plan.Due(now)) return;
  const EmptyFile emptyFile = m_plan.EmptyFileAt(now);
  LoadResult result = LoadResult::kServed;
  if (!CompletedOnWatcherThread([&] { result = (m_target->*m_reload)(emptyFile); })) {
    LogOnWatcherThread(kReloadThrew);
  }
  m_plan.Reloaded(Now(), result);
}

}  // namespace stavora
