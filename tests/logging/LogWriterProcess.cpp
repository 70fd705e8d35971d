// A second process for the log tests: waits for a named start event, then
// writes `count` lines through the process's Logger, each naming its writer,
// its number and the length of the filler that makes it up to a known size.
//
//   log_writer_process.exe <writer> <count> <start-event>
//
// Exit codes: 0 written, 2 bad arguments, 3 no start event, 4 no logger.
#include <windows.h>

#include <cstdlib>
#include <exception>
#include <string>

#include "logging/Logger.h"

int wmain(int argc, wchar_t** argv) {
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
