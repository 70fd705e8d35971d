// The test environment of the Stavora.dll tests: writes the INI file, points
// the registry value StavoraPath at it, loads the DLL; undoes all of it after.
#include "tests/server/StavoraDllFixture.h"

#include <gtest/gtest.h>

namespace stavora_test {
namespace {

const wchar_t kSettingsKey[] = L"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
const wchar_t kPathValue[] = L"StavoraPath";

StavoraDll g_dll;
std::wstring g_iniPath;
std::wstring g_iniDirectory;

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring result(path, length);
  return result.substr(0, result.find_last_of(L"\\/") + 1);
}

void WriteIniFile() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  g_iniDirectory = std::wstring(temp) + L"stavora-server-tests-" + std::to_wstring(GetCurrentProcessId());
  CreateDirectoryW(g_iniDirectory.c_str(), nullptr);
  g_iniPath = g_iniDirectory + L"\\Stavora.ini";
  const char text[] =
      "[Database]\r\nServer=db01.example\r\nPort=5432\r\n"
      "[Paths]\r\nLogs=C:\\Logs\r\n";
  HANDLE file = CreateFileW(g_iniPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(INVALID_HANDLE_VALUE, file) << "cannot write the INI file, error " << GetLastError();
  DWORD written = 0;
  WriteFile(file, text, sizeof(text) - 1, &written, nullptr);
  CloseHandle(file);
}

class StavoraDllEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    WriteIniFile();
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &key, nullptr));
    RegSetValueExW(key, kPathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(g_iniPath.c_str()),
                   static_cast<DWORD>((g_iniPath.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);

    g_dll.path = ExecutableDirectory() + L"Stavora.dll";
    g_dll.module = LoadLibraryW(g_dll.path.c_str());
    ASSERT_NE(nullptr, g_dll.module) << "LoadLibrary failed, error " << GetLastError();
    // Through void*: the exports' real types are given by the casts below.
    auto find = [](const char* name) {
      return reinterpret_cast<void*>(GetProcAddress(g_dll.module, name));
    };
    g_dll.canUnloadNow = reinterpret_cast<decltype(g_dll.canUnloadNow)>(find("DllCanUnloadNow"));
    g_dll.getClassObject = reinterpret_cast<decltype(g_dll.getClassObject)>(find("DllGetClassObject"));
    g_dll.registerServer = reinterpret_cast<decltype(g_dll.registerServer)>(find("DllRegisterServer"));
    g_dll.unregisterServer =
        reinterpret_cast<decltype(g_dll.unregisterServer)>(find("DllUnregisterServer"));
    g_dll.install = reinterpret_cast<decltype(g_dll.install)>(find("DllInstall"));
    ASSERT_TRUE(g_dll.canUnloadNow && g_dll.getClassObject && g_dll.registerServer &&
                g_dll.unregisterServer && g_dll.install)
        << "an export is missing";
  }

  void TearDown() override {
    if (g_dll.module != nullptr) FreeLibrary(g_dll.module);
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, kPathValue);
      RegCloseKey(key);
    }
    DeleteFileW(g_iniPath.c_str());
    RemoveDirectoryW(g_iniDirectory.c_str());
    CoUninitialize();
  }
};

const ::testing::Environment* const g_environment =
    ::testing::AddGlobalTestEnvironment(new StavoraDllEnvironment);

}  // namespace

const StavoraDll& Dll() { return g_dll; }

const std::wstring& IniPath() { return g_iniPath; }

IClassFactory* GetClassFactory() {
  IClassFactory* factory = nullptr;
  HRESULT hr = g_dll.getClassObject(CLSID_StavoraLookup, IID_IClassFactory,
                                    reinterpret_cast<void**>(&factory));
  if (hr != S_OK) ADD_FAILURE() << "DllGetClassObject gave 0x" << std::hex << hr;
  return factory;
}

}  // namespace stavora_test
