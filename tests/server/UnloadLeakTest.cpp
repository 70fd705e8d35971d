// Loading and unloading the built Stavora.dll again and again, the way a
// script host does, costs nothing: after 50 cycles of load, create, call,
// release and unload the process holds the same handles and heap as after the
// first, whether or not an exception was thrown inside the DLL. The DLL is
// loaded here alone (no shared test environment keeps it loaded), from this
// program's folder.
#include <windows.h>

#include <ole2.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "resources/Stavora.h"
#include "tests/support/ProcessFootprint.h"

namespace {

using stavora_test::Footprint;
using stavora_test::Measure;

const wchar_t kSettingsKey[] = L"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
const wchar_t kPathValue[] = L"StavoraPath";

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring result(path, length);
  return result.substr(0, result.find_last_of(L"\\/") + 1);
}

class UnloadCycles : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
    m_dllPath = ExecutableDirectory() + L"Stavora.dll";
    ASSERT_EQ(GetModuleHandleW(m_dllPath.c_str()), nullptr) << "the DLL is loaded before the test";

    wchar_t temp[MAX_PATH];
    ASSERT_GT(GetTempPathW(MAX_PATH, temp), 0u);
    m_iniDirectory = std::wstring(temp) + L"stavora-unload-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_iniDirectory.c_str(), nullptr);
    m_iniPath = m_iniDirectory + L"\\Stavora.ini";
    const char text[] = "[Database]\r\nServer=db01.example\r\n";
    HANDLE file = CreateFileW(m_iniPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(file, INVALID_HANDLE_VALUE) << "error " << GetLastError();
    DWORD written = 0;
    WriteFile(file, text, sizeof text - 1, &written, nullptr);
    CloseHandle(file);

    // The log goes to a temporary directory of the test's own.
    m_oldTemp = Variable(L"TEMP");
    m_oldTmp = Variable(L"TMP");
    const std::wstring logTemp = m_iniDirectory + L"\\temp";
    CreateDirectoryW(logTemp.c_str(), nullptr);
    CreateDirectoryW((logTemp + L"\\Kestrane").c_str(), nullptr);
    CreateDirectoryW((logTemp + L"\\Kestrane\\Log").c_str(), nullptr);
    m_logPath = logTemp + L"\\Kestrane\\Log\\Stavora.log";
    SetEnvironmentVariableW(L"TEMP", logTemp.c_str());
    SetEnvironmentVariableW(L"TMP", logTemp.c_str());
  }

  static std::wstring Variable(const wchar_t* name) {
    wchar_t buffer[32768];
    const DWORD length = GetEnvironmentVariableW(name, buffer, 32768);
    return std::wstring(buffer, length);
  }

  // Points StavoraPath at `path` for the objects created from now on.
  static void SetIniPath(const std::wstring& path) {
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    RegSetValueExW(key, kPathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(path.c_str()),
                   static_cast<DWORD>((path.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }

  // The number of lines in the log.
  long LogLines() const {
    HANDLE file = CreateFileW(m_logPath.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return 0;
    long lines = 0;
    char chunk[4096];
    DWORD got = 0;
    while (ReadFile(file, chunk, sizeof chunk, &got, nullptr) && got > 0) {
      for (DWORD i = 0; i < got; ++i) lines += chunk[i] == '\n';
    }
    CloseHandle(file);
    return lines;
  }

  void TearDown() override {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &key) == ERROR_SUCCESS) {
      RegDeleteValueW(key, kPathValue);
      RegCloseKey(key);
    }
    SetEnvironmentVariableW(L"TEMP", m_oldTemp.empty() ? nullptr : m_oldTemp.c_str());
    SetEnvironmentVariableW(L"TMP", m_oldTmp.empty() ? nullptr : m_oldTmp.c_str());
    DeleteFileW(m_logPath.c_str());
    DeleteFileW((m_logPath + L".lock").c_str());
    const std::wstring logTemp = m_iniDirectory + L"\\temp";
    RemoveDirectoryW((logTemp + L"\\Kestrane\\Log").c_str());
    RemoveDirectoryW((logTemp + L"\\Kestrane").c_str());
    RemoveDirectoryW(logTemp.c_str());
    DeleteFileW(m_iniPath.c_str());
    RemoveDirectoryW(m_iniDirectory.c_str());
    CoUninitialize();
  }

  // The DLL's two exports that a client of the class needs.
  struct Exports {
    HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* canUnloadNow)() = nullptr;
  };
  // Loads the DLL, finds its exports and asks it for its class object.
  void Load(HMODULE* module, Exports* exports, IClassFactory** factory) {
    *module = LoadLibraryW(m_dllPath.c_str());
    ASSERT_NE(*module, nullptr) << "LoadLibrary failed, error " << GetLastError();
    exports->getClassObject = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(*module, "DllGetClassObject")));
    exports->canUnloadNow =
        reinterpret_cast<HRESULT(WINAPI*)()>(reinterpret_cast<void*>(GetProcAddress(*module, "DllCanUnloadNow")));
    ASSERT_TRUE(exports->getClassObject && exports->canUnloadNow);
    ASSERT_EQ(exports->getClassObject(CLSID_StavoraLookup, IID_IClassFactory, reinterpret_cast<void**>(factory)),
              S_OK);
  }

  // Unloads the DLL once DllCanUnloadNow agrees, as CoFreeUnusedLibraries
  // does. A DLL that has handed out its class stays loaded: it pins itself.
  void Unload(HMODULE module, const Exports& exports) {
    ASSERT_EQ(exports.canUnloadNow(), S_OK);
    ASSERT_TRUE(FreeLibrary(module));
    ASSERT_EQ(GetModuleHandleW(m_dllPath.c_str()), module) << "the DLL did not stay loaded once it served its class";
  }

  // One cycle: load the DLL, get its class object, create an object, look a
  // value up late-bound (which loads the type information), create a second
  // object over a missing file (which writes two log lines, so the log writer
  // and its lock exist), release it all, and unload once DllCanUnloadNow
  // agrees.
  void Cycle() {
    HMODULE module = nullptr;
    Exports exports;
    IClassFactory* factory = nullptr;
    ASSERT_NO_FATAL_FAILURE(Load(&module, &exports, &factory));
    ASSERT_NO_FATAL_FAILURE(SetIniPath(m_iniDirectory + L"\\Missing.ini"));
    IUnknown* failing = nullptr;
    const HRESULT createdFailing = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&failing));
    ASSERT_NO_FATAL_FAILURE(SetIniPath(m_iniPath));
    IDispatch* lookup = nullptr;
    const HRESULT created = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&lookup));
    factory->Release();
    ASSERT_EQ(createdFailing, S_OK);
    EXPECT_EQ(failing->Release(), 0u);
    ASSERT_EQ(created, S_OK);

    OLECHAR name[] = L"GetKey";
    LPOLESTR names[] = {name};
    DISPID id = 0;
    EXPECT_EQ(lookup->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id), S_OK);
    EXPECT_EQ(id, 3);
    VARIANT args[2];  // in reverse order: key, then section
    args[0].vt = VT_BSTR;
    args[0].bstrVal = SysAllocString(L"server");
    args[1].vt = VT_BSTR;
    args[1].bstrVal = SysAllocString(L"database");
    DISPPARAMS parameters{args, nullptr, 2, 0};
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(lookup->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &parameters, &result, nullptr,
                             nullptr),
              S_OK);
    EXPECT_EQ(result.vt, VT_BSTR);
    if (result.vt == VT_BSTR) {
      EXPECT_STREQ(result.bstrVal, L"db01.example");
    }
    VariantClear(&result);
    VariantClear(&args[0]);
    VariantClear(&args[1]);
    EXPECT_EQ(lookup->Release(), 0u);
    ASSERT_NO_FATAL_FAILURE(Unload(module, exports));
  }

  // One cycle in which the DLL throws and catches an exception: with a
  // temporary directory too long to be had, the log writer cannot be created
  // for the object over a missing file. The object is still created.
  void ThrowingCycle() {
    HMODULE module = nullptr;
    Exports exports;
    IClassFactory* factory = nullptr;
    ASSERT_NO_FATAL_FAILURE(Load(&module, &exports, &factory));
    IUnknown* object = nullptr;
    const HRESULT created = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&object));
    factory->Release();
    ASSERT_EQ(created, S_OK) << "a log that cannot be written failed the creation";
    EXPECT_EQ(object->Release(), 0u);
    ASSERT_NO_FATAL_FAILURE(Unload(module, exports));
  }

  std::wstring m_dllPath;
  std::wstring m_iniDirectory;
  std::wstring m_iniPath;
  std::wstring m_logPath;
  std::wstring m_oldTemp, m_oldTmp;
};

// Handles are compared with the first cycle's. Heap and committed memory are
// compared with the tenth's: measured here, the first loads leave a one-off
// of about 1.2 KiB of heap (100 bytes a cycle that stop after cycle 9) and one
// 64 KiB block of committed memory with Wine's loader and OLE caches. That
// block comes at a varying time, now and then after the tenth cycle (seen in
// one run of about ten), so committed memory may grow by that one block and no
// more; the heap must not grow at all. Linked as before, with the C++
// runtime's emergency exception pool never freed, each cycle left about 73 KiB
// of heap behind.
TEST_F(UnloadCycles, FiftyLoadsAndUnloadsCostWhatTheFirstDid) {
  // A load that never asks for the class, as a registration tool's, unloads
  // for real.
  HMODULE probe = LoadLibraryW(m_dllPath.c_str());
  ASSERT_NE(probe, nullptr) << "LoadLibrary failed, error " << GetLastError();
  ASSERT_TRUE(FreeLibrary(probe));
  ASSERT_EQ(GetModuleHandleW(m_dllPath.c_str()), nullptr) << "a load without a class request stayed loaded";

  ASSERT_NO_FATAL_FAILURE(Cycle());
  const Footprint first = Measure();
  ASSERT_GT(first.handles, 0) << "no handles found";
  for (int cycle = 2; cycle <= 10; ++cycle) {
    ASSERT_NO_FATAL_FAILURE(Cycle()) << "cycle " << cycle;
  }
  const Footprint tenth = Measure();
  for (int cycle = 11; cycle <= 50; ++cycle) {
    ASSERT_NO_FATAL_FAILURE(Cycle()) << "cycle " << cycle;
  }
  const Footprint last = Measure();
  std::printf("after 1 cycle: %ld handles, %lld heap bytes, %lld private bytes\n", first.handles,
              static_cast<long long>(first.heapBytes), static_cast<long long>(first.privateBytes));
  std::printf("after 10 cycles: %ld handles, %lld heap bytes, %lld private bytes\n", tenth.handles,
              static_cast<long long>(tenth.heapBytes), static_cast<long long>(tenth.privateBytes));
  std::printf("after 50 cycles: %ld handles, %lld heap bytes, %lld private bytes\n", last.handles,
              static_cast<long long>(last.heapBytes), static_cast<long long>(last.privateBytes));
  // Each cycle's object over the missing file logs two lines as it loads,
  // and two more when its watcher's first pending read, which reloads, comes
  // before the release.
  const int lines = LogLines();
  EXPECT_GE(lines, 100) << "fewer than two lines a cycle";
  EXPECT_LE(lines, 200) << "more than two loads a cycle";
  EXPECT_EQ(0, lines % 2) << "a load's lines were not written whole";
  EXPECT_EQ(last.handles, first.handles) << "handles leaked by 49 load/unload cycles";
  EXPECT_EQ(last.heapBytes, tenth.heapBytes) << "heap leaked by 40 load/unload cycles";
  EXPECT_LE(last.privateBytes, tenth.privateBytes + 65536) << "committed memory leaked by 40 load/unload cycles";
}

// The statically linked GCC runtime sets up kernel objects that it never gives
// back when the DLL unloads: on i686 the lock behind the registration of the
// DLL's unwind tables (one semaphore each load), and on both builds what the
// first exception after a load creates. Unpinned, this test leaves one handle
// per cycle behind on x86_64 and two on i686.
TEST_F(UnloadCycles, FiftyLoadsThatThrowCostWhatTheFirstDid) {
  // Longer than a temporary directory may be: the log writer's constructor
  // throws, and the object's creation catches it.
  const std::wstring tooLong = m_iniDirectory + L"\\" + std::wstring(300, L't');
  SetEnvironmentVariableW(L"TEMP", tooLong.c_str());
  SetEnvironmentVariableW(L"TMP", tooLong.c_str());
  ASSERT_NO_FATAL_FAILURE(SetIniPath(m_iniDirectory + L"\\Missing.ini"));

  ASSERT_NO_FATAL_FAILURE(ThrowingCycle());
  const Footprint first = Measure();
  for (int cycle = 2; cycle <= 50; ++cycle) {
    ASSERT_NO_FATAL_FAILURE(ThrowingCycle()) << "cycle " << cycle;
  }
  const Footprint last = Measure();
  std::printf("throwing: after 1 cycle %ld handles, after 50 cycles %ld handles\n", first.handles, last.handles);
  EXPECT_EQ(last.handles, first.handles) << "handles leaked by 49 throwing load/unload cycles";
}

}  // namespace
