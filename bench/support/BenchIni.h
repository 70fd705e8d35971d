// Generated INI files for the benchmarks (sections "Section<n>" of keys
// "Key<k>", a probe key in the last section) and the two ways editors save them.
#pragma once

#include <windows.h>

#include <string>

namespace stavora_bench {

constexpr int kKeysPerSection = 10;

// `sections` sections of kKeysPerSection keys each, CR LF lines; the last
// section also holds Probe=<probe>, the value a reload must bring in.
std::string IniText(int sections, const std::string& probe);
std::wstring ProbeSection(int sections);
constexpr const wchar_t* kProbeKey = L"Probe";

// %TEMP%\<name>, created when missing; no trailing backslash.
std::wstring BenchFolder(const std::wstring& name);

// Writes `text` into the file itself (created or truncated and rewritten).
// Returns 0 or the Win32 error of the step that failed.
DWORD SaveInPlace(const std::wstring& path, const std::string& text);

// Writes `text` to <path>.new and renames it over `path`, as editors and
// deployment tools save. Returns 0 or the Win32 error of the step that failed.
DWORD SaveByRename(const std::wstring& path, const std::string& text);

}  // namespace stavora_bench
