// Helpers shared by the registration and end-to-end tests: result codes as
// text, reading registry trees back as sorted lines, files and processes.
#pragma once

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

namespace stavora_test {

inline const wchar_t kClsid[] = L"{5D3E8C21-9B47-4F0A-8C6E-2B71D4A9E013}";
inline const wchar_t kLibId[] = L"{A1C94E72-3F58-4B6D-9E20-7C5D18F3B6A4}";
inline const wchar_t kAppId[] = L"{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}";
inline const wchar_t kIid[] = L"{6F2A9D14-C83B-4E57-A1D6-93E0B74C25F8}";

inline std::string HrText(long hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08lX", static_cast<unsigned long>(hr));
  return text;
}

#define EXPECT_HR(expected, actual) EXPECT_EQ(::stavora_test::HrText(expected), ::stavora_test::HrText(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(::stavora_test::HrText(expected), ::stavora_test::HrText(actual))

inline std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t unit : text) out.push_back(unit > 0 && unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

inline bool KeyExists(HKEY root, const std::wstring& path) {
  HKEY key = nullptr;
  if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
  RegCloseKey(key);
  return true;
}

// A string value, or "<none>" when it is absent or not a string.
inline std::string StringValue(HKEY root, const std::wstring& path, const wchar_t* name) {
  wchar_t data[1024];
  DWORD size = sizeof(data);
  if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
    return "<none>";
  }
  return Narrow(data);
}

// One line per key ("path" or "path = \"default\"") and per named value
// ("path [name] = \"text\"", or "path [name] type N" for non-strings),
// everything under `path` included, sorted. Empty when the key is absent.
// `view` is 0 for this process's registry view, or KEY_WOW64_32KEY or
// KEY_WOW64_64KEY.
inline void DumpKey(HKEY key, const std::string& shown, std::vector<std::string>& lines, REGSAM view = 0) {
  std::string keyLine = shown;
  wchar_t name[512];
  BYTE data[2048];
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = 512;
    DWORD dataSize = sizeof(data) - 2;
    DWORD type = 0;
    if (RegEnumValueW(key, index, name, &nameSize, nullptr, &type, data, &dataSize) != ERROR_SUCCESS) break;
    std::string rendered;
    if (type == REG_SZ) {
      data[dataSize] = 0;
      data[dataSize + 1] = 0;
      rendered = "\"" + Narrow(reinterpret_cast<const wchar_t*>(data)) + "\"";
    } else {
      rendered = "type " + std::to_string(type);
    }
    if (nameSize == 0) {
      keyLine += " = " + rendered;
    } else {
      lines.push_back(shown + " [" + Narrow(std::wstring(name, nameSize)) + "] = " + rendered);
    }
  }
  lines.push_back(keyLine);
  for (DWORD index = 0;; ++index) {
    DWORD nameSize = 512;
    if (RegEnumKeyExW(key, index, name, &nameSize, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS) break;
    HKEY sub = nullptr;
    if (RegOpenKeyExW(key, name, 0, KEY_READ | view, &sub) != ERROR_SUCCESS) continue;
    DumpKey(sub, shown + "\\" + Narrow(std::wstring(name, nameSize)), lines, view);
    RegCloseKey(sub);
  }
}

inline std::vector<std::string> DumpTree(HKEY root, const std::wstring& base, const std::wstring& path,
                                         REGSAM view = 0) {
  std::vector<std::string> lines;
  HKEY key = nullptr;
  const std::wstring full = base.empty() ? path : base + L"\\" + path;
  if (RegOpenKeyExW(root, full.c_str(), 0, KEY_READ | view, &key) != ERROR_SUCCESS) return lines;
  DumpKey(key, Narrow(path), lines, view);
  RegCloseKey(key);
  std::sort(lines.begin(), lines.end());
  return lines;
}

// Deletes `path` under `root` with everything below it, in `view`.
inline void DeleteTreeInView(HKEY root, const std::wstring& path, REGSAM view) {
  const std::size_t cut = path.find_last_of(L'\\');
  HKEY parent = nullptr;
  const std::wstring parentPath = cut == std::wstring::npos ? std::wstring() : path.substr(0, cut);
  if (RegOpenKeyExW(root, parentPath.c_str(), 0, KEY_READ | KEY_WRITE | view, &parent) != ERROR_SUCCESS) return;
  HKEY doomed = nullptr;
  const std::wstring name = path.substr(cut + 1);
  if (RegOpenKeyExW(parent, name.c_str(), 0, KEY_READ | KEY_WRITE | DELETE | view, &doomed) == ERROR_SUCCESS) {
    RegDeleteTreeW(doomed, nullptr);
    RegCloseKey(doomed);
    RegDeleteKeyExW(parent, name.c_str(), view, 0);
  }
  RegCloseKey(parent);
}

// Writes `text` as the default value (or the value `name`) of `path` in
// `view`, as a REG_SZ or, given `type`, a REG_EXPAND_SZ value.
inline bool SetStringInView(HKEY root, const std::wstring& path, const wchar_t* name, const std::wstring& text,
                            REGSAM view, DWORD type = REG_SZ) {
  HKEY key = nullptr;
  if (RegCreateKeyExW(root, path.c_str(), 0, nullptr, 0, KEY_WRITE | view, nullptr, &key, nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG set = RegSetValueExW(key, name, 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                                  static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
  RegCloseKey(key);
  return set == ERROR_SUCCESS;
}

inline std::string Joined(const std::vector<std::string>& lines) {
  std::string out;
  for (const std::string& line : lines) out += line + "\n";
  return out;
}

// The entries the two registration scripts write for the DLL at `dllPath`,
// in Entries' form, unsorted.
inline std::vector<std::string> ScriptEntryLines(const std::wstring& dllPath) {
  const std::string app = Narrow(kAppId);
  const std::string clsid = Narrow(kClsid);
  const std::string key = "CLSID\\" + clsid;
  return {
      "AppID\\" + app + " = \"Stavora\"",
      "AppID\\Stavora.DLL",
      "AppID\\Stavora.DLL [AppID] = \"" + app + "\"",
      key + " = \"StavoraLookup Class\"",
      key + "\\InprocServer32 = \"" + Narrow(dllPath) + "\"",
      key + "\\InprocServer32 [ThreadingModel] = \"Apartment\"",
      key + "\\ProgID = \"Stavora.StavoraLookup.1\"",
      key + "\\Programmable",
      key + "\\TypeLib = \"" + Narrow(kLibId) + "\"",
      key + "\\VersionIndependentProgID = \"Stavora.StavoraLookup\"",
      "Stavora.StavoraLookup = \"StavoraLookup Class\"",
      "Stavora.StavoraLookup\\CLSID = \"" + clsid + "\"",
      "Stavora.StavoraLookup\\CurVer = \"Stavora.StavoraLookup.1\"",
      "Stavora.StavoraLookup.1 = \"StavoraLookup Class\"",
      "Stavora.StavoraLookup.1\\CLSID = \"" + clsid + "\"",
  };
}

inline std::wstring ModulePath(HMODULE module) {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
  return std::wstring(path, length);
}

inline std::wstring DirectoryOf(const std::wstring& path) {
  return path.substr(0, path.find_last_of(L"\\/") + 1);
}

// The folder of this test program, with a trailing backslash.
inline std::wstring ProgramDirectory() { return DirectoryOf(ModulePath(nullptr)); }

inline bool WriteBytes(const std::wstring& path, const std::string& bytes) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == bytes.size();
}

inline std::string ReadBytes(const std::wstring& path) {
  std::string out;
  HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return out;
  char buffer[4096];
  DWORD got = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &got, nullptr) && got > 0) out.append(buffer, got);
  CloseHandle(file);
  return out;
}

// Runs `commandLine` with its output (both streams) going to `outputFile`
// (when given) and waits up to `timeoutMs`. Returns the exit code, or -1
// when the program could not be started or did not finish in time.
inline long RunProgram(std::wstring commandLine, const std::wstring& outputFile = std::wstring(),
                       DWORD timeoutMs = 60000) {
  SECURITY_ATTRIBUTES inherit{sizeof(inherit), nullptr, TRUE};
  HANDLE output = INVALID_HANDLE_VALUE;
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  if (!outputFile.empty()) {
    output = CreateFileW(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                         CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (output == INVALID_HANDLE_VALUE) return -1;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
    startup.hStdOutput = output;
    startup.hStdError = output;
  }
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, &commandLine[0], nullptr, nullptr, output != INVALID_HANDLE_VALUE,
                                      0, nullptr, nullptr, &startup, &process);
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!started) return -1;
  DWORD code = static_cast<DWORD>(-1);
  if (WaitForSingleObject(process.hProcess, timeoutMs) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &code);
  } else {
    TerminateProcess(process.hProcess, 1);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return static_cast<long>(code);
}

}  // namespace stavora_test
