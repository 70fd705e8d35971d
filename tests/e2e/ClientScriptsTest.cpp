// End to end: Stavora.dll registered per machine by regsvr32, then script
// clients run by cscript create the object by its ProgID, read the INI file
// through it and see an edit of the file. A client passes only when it exits
// with 0 and its last line is the pass marker (the script host may exit 0
// after a script error).
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/server/RegistrationTestSupport.h"

namespace stavora_test {
namespace {

const wchar_t kSettingsKey[] = L"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
const wchar_t kPathValue[] = L"StavoraPath";
const char kPassMarker[] = "STAVORA-E2E-PASS";
const char kIniText[] =
    "[Database]\r\nServer=db01.example\r\nPort=5432\r\n"
    "[Paths]\r\nLogs=C:\\Logs\r\n";

struct Environment {
  std::wstring dll;
  std::wstring folder;
  std::wstring ini;
  bool hadPathValue = false;
  std::wstring previousPathValue;
};
Environment g_env;

std::wstring ScriptPath(const wchar_t* name) { return ProgramDirectory() + L"e2e\\" + name; }

// The last line of `text` that is not blank.
std::string LastLine(const std::string& text) {
  std::size_t end = text.find_last_not_of("\r\n \t");
  if (end == std::string::npos) return std::string();
  std::size_t start = text.find_last_of("\r\n", end);
  start = start == std::string::npos ? 0 : start + 1;
  return text.substr(start, end - start + 1);
}

class E2eEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    g_env.dll = ProgramDirectory() + L"Stavora.dll";
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    g_env.folder = std::wstring(temp) + L"stavora-e2e-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(g_env.folder.c_str(), nullptr);
    g_env.ini = g_env.folder + L"\\Stavora.ini";

    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                                             KEY_QUERY_VALUE | KEY_SET_VALUE, nullptr, &key, nullptr));
    wchar_t previous[1024];
    DWORD size = sizeof(previous) - sizeof(wchar_t);
    DWORD type = 0;
    if (RegQueryValueExW(key, kPathValue, nullptr, &type, reinterpret_cast<BYTE*>(previous), &size) ==
            ERROR_SUCCESS &&
        type == REG_SZ) {
      previous[size / sizeof(wchar_t)] = 0;
      g_env.hadPathValue = true;
      g_env.previousPathValue = previous;
    }
    const LONG set = RegSetValueExW(key, kPathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(g_env.ini.c_str()),
                                    static_cast<DWORD>((g_env.ini.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
    ASSERT_EQ(ERROR_SUCCESS, set);

    ASSERT_EQ(0, RunProgram(L"regsvr32.exe /s \"" + g_env.dll + L"\"")) << "per-machine registration failed";
  }

  void TearDown() override {
    EXPECT_EQ(0, RunProgram(L"regsvr32.exe /u /s \"" + g_env.dll + L"\"")) << "unregistration failed";
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      if (g_env.hadPathValue) {
        RegSetValueExW(key, kPathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(g_env.previousPathValue.c_str()),
                       static_cast<DWORD>((g_env.previousPathValue.size() + 1) * sizeof(wchar_t)));
      } else {
        RegDeleteValueW(key, kPathValue);
      }
      RegCloseKey(key);
    }
    DeleteFileW(g_env.ini.c_str());
    DeleteFileW((g_env.folder + L"\\output.txt").c_str());
    RemoveDirectoryW(g_env.folder.c_str());
  }
};

const ::testing::Environment* const g_environment = ::testing::AddGlobalTestEnvironment(new E2eEnvironment);

// The outcome of one client run: its exit code and everything it printed.
struct ClientRun {
  long exitCode = -1;
  std::string output;
  bool Passed() const { return exitCode == 0 && LastLine(output) == kPassMarker; }
};

// Rewrites the INI file to its starting contents and runs `script` with
// cscript, the INI path as its one argument.
ClientRun RunClient(const wchar_t* script) {
  ClientRun run;
  if (!WriteBytes(g_env.ini, kIniText)) {
    ADD_FAILURE() << "cannot write the INI file, error " << GetLastError();
    return run;
  }
  const std::wstring output = g_env.folder + L"\\output.txt";
  run.exitCode = RunProgram(L"cscript.exe //nologo \"" + ScriptPath(script) + L"\" \"" + g_env.ini + L"\"", output);
  run.output = ReadBytes(output);
  return run;
}

TEST(ClientScripts, VbscriptClientReadsTheFileAndSeesItsEdit) {
  const ClientRun run = RunClient(L"LookupClient.vbs");
  EXPECT_TRUE(run.Passed()) << "exit code " << run.exitCode << ", output:\n" << run.output;
}

TEST(ClientScripts, JscriptClientReadsTheFileAndSeesItsEdit) {
  const ClientRun run = RunClient(L"LookupClient.js");
  EXPECT_TRUE(run.Passed()) << "exit code " << run.exitCode << ", output:\n" << run.output;
}

TEST(ClientScripts, ScriptStoppedByAnErrorIsAFailure) {
  const ClientRun run = RunClient(L"Failing.vbs");
  EXPECT_NE(std::string::npos, run.output.find("starting")) << "the script did not run:\n" << run.output;
  EXPECT_FALSE(run.Passed()) << "a script that stopped early counted as passed:\n" << run.output;
}

}  // namespace
}  // namespace stavora_test
