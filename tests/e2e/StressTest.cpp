// The built Stavora.dll under load: four apartments look values up while a
// writer saves the INI file a few hundred times, in place, by rename and by
// delete and create; then objects are created and released, and the DLL
// loaded and unloaded, many times. Prints a report; fails on an answer that
// matches no version of the file (every version holds every key), a hang, a
// leak or a final file not served (a crash fails the run by itself).
#include <windows.h>

#include <ole2.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <vector>

#include "resources/Stavora.h"
#include "tests/support/ProcessFootprint.h"

namespace {

using stavora_test::CountOwnHandles;
using stavora_test::CountOwnThreads;
using stavora_test::CommittedPrivateBytes;

// The build this report comes from: its lines start with it.
#ifdef _WIN64
#define STRESS_BUILD "win64"
#else
#define STRESS_BUILD "win32"
#endif

constexpr int kSections = 10;
constexpr int kKeys = 5;
constexpr int kApartments = 4;
constexpr int kSaves = 300;
constexpr int kFinalVersion = 99999;
constexpr DWORD kHangLimitMs = 45000;
constexpr DWORD kFinalWaitMs = 15000;

const wchar_t kSettingsKey[] = L"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
const wchar_t kPathValue[] = L"StavoraPath";

std::wstring Directory() {
  wchar_t temp[MAX_PATH];
  GetTempPathW(MAX_PATH, temp);
  return std::wstring(temp) + L"stavora-stress-" + std::to_wstring(GetCurrentProcessId());
}

// The value of one key in one version: every version holds every key.
std::string ValueOf(int version, int section, int key) {
  char text[40];
  std::snprintf(text, sizeof text, "v%05d:S%02d:K%02d", version, section, key);
  return text;
}

std::string IniText(int version) {
  std::string text;
  for (int s = 0; s < kSections; ++s) {
    text += "[S" + std::to_string(s) + "]\r\n";
    for (int k = 0; k < kKeys; ++k) {
      text += "K" + std::to_string(k) + "=" + ValueOf(version, s, k) + "\r\n";
    }
  }
  return text;
}

// One write of the whole text, as an editor saves: the file is emptied, then
// written. Answers given while it stands empty find no key.
bool WriteWhole(const std::wstring& path, const std::string& text) {
  HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                            CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD written = 0;
  const BOOL ok = WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
  return ok && written == text.size();
}

// The DLL loaded from the test program's folder, with the two exports a
// client of the class needs.
struct LoadedDll {
  HMODULE module = nullptr;
  HRESULT(WINAPI* canUnloadNow)() = nullptr;
  HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;

  bool Load() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dll(path, length);
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"Stavora.dll";
    module = LoadLibraryW(dll.c_str());
    if (module == nullptr) return false;
    canUnloadNow = reinterpret_cast<decltype(canUnloadNow)>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllCanUnloadNow")));
    getClassObject = reinterpret_cast<decltype(getClassObject)>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    return canUnloadNow != nullptr && getClassObject != nullptr;
  }

  IStavoraLookup* Create() const {
    IClassFactory* factory = nullptr;
    if (getClassObject(CLSID_StavoraLookup, IID_IClassFactory,
                       reinterpret_cast<void**>(&factory)) != S_OK) {
      return nullptr;
    }
    IStavoraLookup* object = nullptr;
    factory->CreateInstance(nullptr, IID_IStavoraLookup, reinterpret_cast<void**>(&object));
    factory->Release();
    return object;
  }

  // Unloads only when the DLL says it may, as the COM runtime would.
  bool Unload() {
    const bool may = canUnloadNow() == S_OK;
    if (may) FreeLibrary(module);
    module = nullptr;
    return may;
  }
};

// A value by early binding, or late binding through Invoke; "<missing>" for
// S_FALSE, "<error>" for a failure.
std::string LookUp(IStavoraLookup* object, int section, int key, bool lateBound) {
  const std::wstring sectionName = L"s" + std::to_wstring(section);
  const std::wstring keyName = L"k" + std::to_wstring(key);
  BSTR sectionText = SysAllocString(sectionName.c_str());
  BSTR keyText = SysAllocString(keyName.c_str());
  std::string answer = "<error>";
  HRESULT hr;
  BSTR value = nullptr;
  VARIANT result;
  VariantInit(&result);
  if (lateBound) {
    VARIANT args[2];  // last argument first
    args[0].vt = VT_BSTR;
    args[0].bstrVal = keyText;
    args[1].vt = VT_BSTR;
    args[1].bstrVal = sectionText;
    DISPPARAMS params = {args, nullptr, 2, 0};
    hr = object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &params, &result, nullptr, nullptr);
    if (SUCCEEDED(hr) && result.vt == VT_BSTR) value = result.bstrVal;
  } else {
    hr = object->GetKey(sectionText, keyText, &value);
  }
  if (hr == S_FALSE) {
    answer = "<missing>";
  } else if (SUCCEEDED(hr) && value != nullptr) {
    answer.clear();
    for (const wchar_t* c = value; *c != 0; ++c) answer.push_back(static_cast<char>(*c));
  }
  if (lateBound) {
    VariantClear(&result);
  } else {
    SysFreeString(value);
  }
  SysFreeString(sectionText);
  SysFreeString(keyText);
  return answer;
}

struct Shared {
  LoadedDll* dll = nullptr;
  std::atomic<int> newestVersion{0};  // the newest version whose save has begun
  std::atomic<bool> writerDone{false};
  std::atomic<long> answers{0};
  std::atomic<long> strayAnswers{0};  // match no version of the file
  std::atomic<long> emptyAnswers{0};    // of those, S_OK with ""
  std::atomic<long> missingAnswers{0};  // of those, S_FALSE
  // Per save: whether an answer given after it began matched no version. The
  // count of such saves does not grow with the lookup rate, so it compares
  // builds and machines that answer at different speeds.
  std::atomic<bool> strayAfterSave[kSaves + 1] = {};
  std::atomic<int> apartmentsCreated{0};
  std::atomic<int> apartmentsServingFinal{0};
  std::atomic<int> apartmentsFailed{0};
};

// Whether `answer` is the value of (section, key) in some saved version.
bool InSomeVersion(const std::string& answer, int section, int key, int newest) {
  int version = -1;
  if (std::sscanf(answer.c_str(), "v%5d:", &version) != 1) return false;
  if (version != kFinalVersion && (version < 0 || version > newest)) return false;
  return answer == ValueOf(version, section, key);
}

DWORD WINAPI Apartment(LPVOID parameter) {
  auto* shared = static_cast<Shared*>(parameter);
  if (FAILED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) {
    ++shared->apartmentsFailed;
    return 1;
  }
  IStavoraLookup* object = shared->dll->Create();
  ++shared->apartmentsCreated;
  if (object == nullptr) {
    ++shared->apartmentsFailed;
    CoUninitialize();
    return 1;
  }
  unsigned call = GetCurrentThreadId();
  while (!shared->writerDone) {
    ++call;
    const int section = static_cast<int>(call % kSections);
    const int key = static_cast<int>((call / kSections) % kKeys);
    const std::string answer = LookUp(object, section, key, call % 4 == 0);
    ++shared->answers;
    const int newest = shared->newestVersion;
    if (!InSomeVersion(answer, section, key, newest)) {
      ++shared->strayAnswers;
      if (newest >= 0 && newest <= kSaves) shared->strayAfterSave[newest] = true;
      if (answer.empty()) ++shared->emptyAnswers;
      if (answer == "<missing>") ++shared->missingAnswers;
    }
  }
  // Once the writer has saved the final version, every key must show it.
  const ULONGLONG limit = GetTickCount64() + kFinalWaitMs;
  bool servesFinal = false;
  while (!servesFinal && GetTickCount64() < limit) {
    servesFinal = true;
    for (int s = 0; s < kSections && servesFinal; ++s) {
      for (int k = 0; k < kKeys && servesFinal; ++k) {
        servesFinal = LookUp(object, s, k, (s + k) % 2 == 0) == ValueOf(kFinalVersion, s, k);
      }
    }
    if (!servesFinal) Sleep(20);
  }
  if (servesFinal) ++shared->apartmentsServingFinal;
  object->Release();
  CoUninitialize();
  return 0;
}

class StressTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_directory = Directory();
    CreateDirectoryW(m_directory.c_str(), nullptr);
    m_iniPath = m_directory + L"\\Stress.ini";
    ASSERT_TRUE(WriteWhole(m_iniPath, IniText(0)));
    HKEY key = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, nullptr, 0,
                                             KEY_SET_VALUE, nullptr, &key, nullptr));
    RegSetValueExW(key, kPathValue, 0, REG_SZ, reinterpret_cast<const BYTE*>(m_iniPath.c_str()),
                   static_cast<DWORD>((m_iniPath.size() + 1) * sizeof(wchar_t)));
    RegCloseKey(key);
  }

  void TearDown() override {
    HKEY key = nullptr;
    if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE, &key) ==
        ERROR_SUCCESS) {
      RegDeleteValueW(key, kPathValue);
      RegCloseKey(key);
    }
    DeleteFileW(m_iniPath.c_str());
    DeleteFileW((m_directory + L"\\Stress.tmp").c_str());
    RemoveDirectoryW(m_directory.c_str());
  }

  enum class SaveMode { kInPlace, kByRename, kDeleteAndCreate };

  // One save of `version`: in place (emptied, then written), a temporary file
  // renamed over the INI file, or the INI file deleted and written anew. Wine
  // refuses a rename over, or a deletion of, a file that anyone has open,
  // and the profile-string service opens it for every call of a load, so a
  // refused save is tried again for up to 10 s; the refusals are counted. A
  // save that never goes through is a hang of the loads.
  void Save(int version, SaveMode mode) {
    const std::string text = IniText(version);
    const std::wstring temporary = m_directory + L"\\Stress.tmp";
    const ULONGLONG limit = GetTickCount64() + 10000;
    for (;;) {
      bool saved = false;
      switch (mode) {
        case SaveMode::kInPlace:
          saved = WriteWhole(m_iniPath, text);
          break;
        case SaveMode::kByRename:
          saved = WriteWhole(temporary, text) &&
                  MoveFileExW(temporary.c_str(), m_iniPath.c_str(), MOVEFILE_REPLACE_EXISTING);
          break;
        case SaveMode::kDeleteAndCreate:
          saved = (DeleteFileW(m_iniPath.c_str()) || GetLastError() == ERROR_FILE_NOT_FOUND) &&
                  WriteWhole(m_iniPath, text);
          break;
      }
      if (saved) return;
      ++m_refusedSaves;
      if (GetTickCount64() > limit) break;
      Sleep(2);
    }
    ADD_FAILURE() << "save of version " << version << " refused for 10 s, error "
                  << GetLastError();
  }

  std::wstring m_directory;
  std::wstring m_iniPath;
  int m_refusedSaves = 0;
};

TEST_F(StressTest, LookupsDuringSavesThenCreateReleaseAndUnloadCycles) {
  ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED)));
  LoadedDll dll;
  ASSERT_TRUE(dll.Load()) << "Stavora.dll could not be loaded, error " << GetLastError();

  // --- Lookups while the file is saved.
  Shared shared;
  shared.dll = &dll;
  HANDLE threads[kApartments];
  for (HANDLE& thread : threads) {
    thread = CreateThread(nullptr, 0, Apartment, &shared, 0, nullptr);
    ASSERT_NE(thread, nullptr);
  }
  // Every apartment creates its object before the saves begin: an object
  // created while the file is mid-save has no version to serve yet.
  const ULONGLONG createLimit = GetTickCount64() + kHangLimitMs;
  while (shared.apartmentsCreated < kApartments && GetTickCount64() < createLimit) Sleep(10);
  ASSERT_EQ(kApartments, shared.apartmentsCreated.load()) << "an apartment hung in creation";
  const ULONGLONG started = GetTickCount64();
  for (int version = 1; version <= kSaves; ++version) {
    shared.newestVersion = version;  // from here on its values may be served
    Save(version, static_cast<SaveMode>(version % 3));
    Sleep(version % 7 * 5);  // 0 to 30 ms between saves
  }
  Save(kFinalVersion, SaveMode::kByRename);
  shared.writerDone = true;
  const DWORD waited = WaitForMultipleObjects(kApartments, threads, TRUE, kHangLimitMs);
  const ULONGLONG seconds = (GetTickCount64() - started) / 1000;
  for (HANDLE thread : threads) CloseHandle(thread);
  ASSERT_NE(waited, static_cast<DWORD>(WAIT_TIMEOUT)) << "an apartment hung";

  std::printf(STRESS_BUILD ": stress: %d saves (%d refused and retried) in about %llu s\n", kSaves + 1,
              m_refusedSaves, static_cast<unsigned long long>(seconds));
  std::printf(STRESS_BUILD ": stress: %ld answers on %d apartments; %ld matched no version of the file:"
              " %ld empty values, %ld missing keys\n",
              shared.answers.load(), kApartments, shared.strayAnswers.load(),
              shared.emptyAnswers.load(), shared.missingAnswers.load());
  int straySaves = 0;
  for (const auto& stray : shared.strayAfterSave) straySaves += stray ? 1 : 0;
  std::printf(STRESS_BUILD ": stress: after %d of %d saves some answer matched no version"
              " (a load that read the file mid-save and was served)\n",
              straySaves, kSaves);
  std::printf(STRESS_BUILD ": stress: %d of %d objects served the final file\n",
              shared.apartmentsServingFinal.load(), kApartments);
  EXPECT_EQ(0, shared.apartmentsFailed.load()) << "an apartment could not create its object";
  // Only whole versions are served: every version holds every key.
  EXPECT_EQ(0, shared.emptyAnswers.load()) << "empty answers for keys every version holds";
  EXPECT_EQ(0, shared.missingAnswers.load()) << "keys every version holds answered as missing";
  EXPECT_EQ(0, shared.strayAnswers.load()) << "answers that match no version of the file";
  EXPECT_EQ(kApartments, shared.apartmentsServingFinal.load())
      << "an object did not serve the final file";

  // --- Create and release within one load.
  IStavoraLookup* first = dll.Create();
  ASSERT_NE(first, nullptr);
  first->Release();
  const long handlesBefore = CountOwnHandles();
  const long threadsBefore = CountOwnThreads();
  for (int cycle = 0; cycle < 200; ++cycle) {
    IStavoraLookup* object = dll.Create();
    ASSERT_NE(object, nullptr);
    object->Release();
  }
  const long handlesAfter = CountOwnHandles();
  const long threadsAfter = CountOwnThreads();
  std::printf(STRESS_BUILD ": stress: 200 create/release: handles %ld -> %ld, threads %ld -> %ld\n", handlesBefore,
              handlesAfter, threadsBefore, threadsAfter);
  EXPECT_EQ(handlesBefore, handlesAfter) << "create/release leaks handles";
  EXPECT_EQ(threadsBefore, threadsAfter) << "create/release leaks threads";

  // --- Load and unload, as the COM runtime does once the DLL may go.
  ASSERT_TRUE(dll.Unload()) << "DllCanUnloadNow refused with no object alive";
  auto cycle = [] {
    LoadedDll once;
    if (!once.Load()) return false;
    IStavoraLookup* object = once.Create();
    if (object == nullptr) return false;
    object->Release();
    return once.Unload();
  };
  ASSERT_TRUE(cycle());
  const long loadHandlesBefore = CountOwnHandles();
  const long loadThreadsBefore = CountOwnThreads();
  const long long memoryBefore = CommittedPrivateBytes() / 1024;
  for (int i = 0; i < 50; ++i) ASSERT_TRUE(cycle()) << "load/unload cycle " << i;
  const long loadHandlesAfter = CountOwnHandles();
  const long loadThreadsAfter = CountOwnThreads();
  const long long memoryAfter = CommittedPrivateBytes() / 1024;
  std::printf(STRESS_BUILD ": stress: 50 load/unload: handles %ld -> %ld, threads %ld -> %ld, private memory %lld KiB"
              " -> %lld KiB\n",
              loadHandlesBefore, loadHandlesAfter, loadThreadsBefore, loadThreadsAfter,
              memoryBefore, memoryAfter);
  EXPECT_EQ(loadHandlesBefore, loadHandlesAfter) << "load/unload leaks handles";
  EXPECT_EQ(loadThreadsBefore, loadThreadsAfter) << "load/unload leaks threads";
  CoUninitialize();
}

}  // namespace
