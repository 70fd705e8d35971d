// Writing the benchmarks' INI files, in place and by rename.
#include "bench/support/BenchIni.h"

namespace stavora_bench {
namespace {

// The one owner of a file handle opened here.
class ScopedFile {
 public:
  explicit ScopedFile(HANDLE owned) noexcept : m_handle(owned) {}
  ~ScopedFile() {
    if (m_handle != INVALID_HANDLE_VALUE) CloseHandle(m_handle);
  }
  ScopedFile(const ScopedFile&) = delete;
  ScopedFile& operator=(const ScopedFile&) = delete;

  HANDLE Get() const noexcept { return m_handle; }
  bool Valid() const noexcept { return m_handle != INVALID_HANDLE_VALUE; }
  // Closes now and reports whether the close succeeded.
  bool Close() noexcept {
    const bool closed = CloseHandle(m_handle) != FALSE;
    m_handle = INVALID_HANDLE_VALUE;
    return closed;
  }

 private:
  HANDLE m_handle;
};

// A save that meets a reader holding the file without write sharing is
// retried for up to this long, as editors retry.
constexpr int kSaveAttempts = 200;

DWORD WriteWhole(const std::wstring& path, const std::string& text) {
  for (int attempt = 1;; ++attempt) {
    ScopedFile file(CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                                FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!file.Valid()) {
      const DWORD error = GetLastError();
      if ((error == ERROR_SHARING_VIOLATION || error == ERROR_ACCESS_DENIED) && attempt < kSaveAttempts) {
        Sleep(1);
        continue;
      }
      return error;
    }
    DWORD written = 0;
    if (!WriteFile(file.Get(), text.data(), static_cast<DWORD>(text.size()), &written, nullptr)) {
      return GetLastError();
    }
    if (written != text.size()) return ERROR_WRITE_FAULT;
    return file.Close() ? 0 : GetLastError();
  }
}

}  // namespace

std::string IniText(int sections, const std::string& probe) {
  std::string text;
  for (int s = 0; s < sections; ++s) {
    text += "[Section" + std::to_string(s) + "]\r\n";
    for (int k = 0; k < kKeysPerSection; ++k) {
      text += "Key" + std::to_string(k) + "=value " + std::to_string(s) + "." + std::to_string(k) + "\r\n";
    }
  }
  text += "Probe=" + probe + "\r\n";
  return text;
}

std::wstring ProbeSection(int sections) { return L"Section" + std::to_wstring(sections - 1); }

std::wstring BenchFolder(const std::wstring& name) {
  wchar_t temp[MAX_PATH + 1] = {};
  const DWORD length = GetTempPathW(MAX_PATH + 1, temp);
  std::wstring folder(temp, length);
  if (!folder.empty() && folder.back() != L'\\') folder += L'\\';
  folder += name;
  // An existing folder is fine; a real failure shows at the first write.
  CreateDirectoryW(folder.c_str(), nullptr);
  return folder;
}

DWORD SaveInPlace(const std::wstring& path, const std::string& text) { return WriteWhole(path, text); }

DWORD SaveByRename(const std::wstring& path, const std::string& text) {
  const std::wstring temporary = path + L".new";
  if (const DWORD error = WriteWhole(temporary, text)) return error;
  for (int attempt = 1;; ++attempt) {
    if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) return 0;
    const DWORD error = GetLastError();
    if ((error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED) || attempt >= kSaveAttempts) {
      return error;
    }
    Sleep(1);
  }
}

}  // namespace stavora_bench
