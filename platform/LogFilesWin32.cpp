// The log writer's services on Windows: GetTempPathW, appends through a file
// handle opened for FILE_APPEND_DATA, MoveFileW, DeleteFileW, GetLocalTime.
#include <windows.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "logging/FileSize.h"
#include "logging/LogFiles.h"
#include "platform/LogFileHandle.h"
#include "platform/LogFilesWin32.h"

namespace stavora {
namespace {

const wchar_t* Wide(const WString& text) { return reinterpret_cast<const wchar_t*>(text.c_str()); }

class Win32LogFiles final : public LogFiles {
 public:
  WString TempDirectory() override { return QueryTempDirectory(GetTempPathW); }

  std::int64_t FileSize(const WString& path) override { return GetFileSize(path); }

  bool AppendBytes(const WString& path, const std::string& bytes) override {
    // No sharing restriction: others may read, write, rename or delete the log
    // between and during our lines. OPEN_ALWAYS creates the file but not its
    // directory. FILE_APPEND_DATA puts every write at the end of the file,
    // also when another process has appended meanwhile.
    LogFileHandle file(CreateFileW(Wide(path), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.IsValid()) return false;
    DWORD written = 0;
    const BOOL ok = WriteFile(file.Get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
    return ok && written == bytes.size();
  }

  bool RenameFile(const WString& from, const WString& to) override {
    return MoveFileW(Wide(from), Wide(to)) != FALSE;
  }

  bool RemoveFile(const WString& path) override { return DeleteFileW(Wide(path)) != FALSE; }

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
      const auto* text = reinterpret_cast<const char16_t*>(buffer.data());
      WString directory(text, length);
      const std::size_t end = directory.find(u'\0');
      if (end != WString::npos) directory.resize(end);
      return directory;
    }
    buffer.assign(std::max<std::size_t>(length, buffer.size() + 1), L'\0');
  }
  throw std::runtime_error("Cannot determine temp directory.");
}

std::unique_ptr<LogFiles> MakePlatformLogFiles() { return std::make_unique<Win32LogFiles>(); }

}  // namespace stavora
