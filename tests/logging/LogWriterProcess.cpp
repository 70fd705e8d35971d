// A second process for the log tests. Either it waits for a named start
// event, then writes `count` lines through the process's Logger, each naming
// its writer, its number and the length of the filler that makes it up to a
// known size:
//
//   log_writer_process.exe <writer> <count> <start-event>
//
// or it holds a lock on the log for `seconds`, after setting the named ready
// event: "step" is the lock that the log's writers share, taken as they take
// it; "old-mutex" is a mutex of the name that earlier versions waited for,
// "Global\Kestrane.Stavora.Log:" and the log's path upper-cased with '/'
// for '\':
//
//   log_writer_process.exe hold <step|old-mutex> <ready-event> <seconds>
//
// Exit codes: 0 written or held, 2 bad arguments, 3 no start event, 4 no
// logger, 5 the lock was not had.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <memory>
#include <string>

#include "logging/LogFiles.h"
#include "logging/Logger.h"

namespace {

int Hold(const std::wstring& kind, const wchar_t* readyEvent, long seconds) {
  stavora::WString logPath;
  try {
    logPath = stavora::Logger::GetInstance()->LogPath();
  } catch (const std::exception&) {
    return 4;
  }
  std::unique_ptr<stavora::ILogFiles> files;
  HANDLE mutex = nullptr;
  if (kind == L"step") {
    files = stavora::MakePlatformLogFiles();
    if (files->BeginLogStep(logPath) != stavora::ILogFiles::StepAccess::kLocked) return 5;
  } else if (kind == L"old-mutex") {
    std::wstring name = L"Global\\Kestrane.Stavora.Log:";
    for (const char16_t unit : logPath) {
      wchar_t c = static_cast<wchar_t>(unit);
      if (c >= L'a' && c <= L'z') c = static_cast<wchar_t>(c - L'a' + L'A');
      name += c == L'\\' ? L'/' : c;
    }
    mutex = CreateMutexW(nullptr, TRUE, name.c_str());
    if (mutex == nullptr || GetLastError() == ERROR_ALREADY_EXISTS) return 5;
  } else {
    return 2;
  }
  HANDLE ready = OpenEventW(EVENT_MODIFY_STATE, FALSE, readyEvent);
  if (ready == nullptr) return 3;
  SetEvent(ready);
  CloseHandle(ready);
  Sleep(static_cast<DWORD>(seconds) * 1000);
  if (files) files->EndLogStep();
  if (mutex != nullptr) {
    ReleaseMutex(mutex);
    CloseHandle(mutex);
  }
  return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc == 5 && std::wstring(argv[1]) == L"hold") {
    const long seconds = std::wcstol(argv[4], nullptr, 10);
    return seconds > 0 ? Hold(argv[2], argv[3], seconds) : 2;
  }
  if (argc != 4) return 2;
  const std::wstring writer = argv[1];
  const long count = std::wcstol(argv[2], nullptr, 10);
  if (writer.empty() || count <= 0) return 2;

  HANDLE start = OpenEventW(SYNCHRONIZE, FALSE, argv[3]);
  if (start == nullptr) return 3;
  const DWORD waited = WaitForSingleObject(start, 60000);
  CloseHandle(start);
  if (waited != WAIT_OBJECT_0) return 3;

  stavora::Logger* logger = nullptr;
  try {
    logger = stavora::Logger::GetInstance();
  } catch (const std::exception&) {
    return 4;
  }
  const std::u16string name(writer.begin(), writer.end());
  for (long i = 0; i < count; ++i) {
    // 150 to 299 filler characters, so lines differ in length.
    const std::size_t filler = 150 + static_cast<std::size_t>(i % 150);
    const std::string number = std::to_string(i) + " " + std::to_string(filler) + " ";
    stavora::WString message = u"LogWriter(): " + name + u" ";
    message.append(number.begin(), number.end());
    message.append(filler, u'x');
    logger->Write(message);
  }
  return 0;
}
