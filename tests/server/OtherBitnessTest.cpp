// Two bitnesses registered side by side: removing one registration must leave
// the other working. The other bitness's registration is written into its
// registry view by hand where this machine cannot run 32-bit programs; where
// it can, the 32-bit DLL is registered by the 32-bit regsvr32 as well.
#include <windows.h>

#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registrar/PerUserSwitch.h"
#include "resources/Stavora.h"
#include "server/Registration.h"
#include "server/StavoraModule.h"
#include "tests/server/RegistrationTestSupport.h"

namespace stavora_test {
namespace {

const wchar_t kClasses[] = L"Software\\Classes";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
const wchar_t kPathValue[] = L"StavoraPath";
const char kIniText[] = "[Database]\r\nServer=db01.example\r\nPort=5432\r\n";

constexpr bool kIs64Bit = sizeof(void*) == 8;
const REGSAM kOwnView = kIs64Bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
const REGSAM kOtherView = kIs64Bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
const stavora::RegistryView kOwnRegistryView = kIs64Bit ? stavora::RegistryView::k64 : stavora::RegistryView::k32;
const wchar_t* const kOtherPlatform = kIs64Bit ? L"win32" : L"win64";
// Where an installation of the other bitness keeps its DLL; the file itself
// is never loaded by these tests.
const wchar_t* const kOtherDll = kIs64Bit ? L"C:\\Program Files (x86)\\Kestrane\\Stavora\\Stavora.dll"
                                          : L"C:\\Program Files\\Kestrane\\Stavora\\Stavora.dll";

// Every tree, relative to a classes root, that holds an entry of the product.
std::vector<std::wstring> ProductTrees() {
  return {std::wstring(L"AppID\\") + kAppId, L"AppID\\Stavora.DLL", std::wstring(L"CLSID\\") + kClsid,
          L"Stavora.StavoraLookup", L"Stavora.StavoraLookup.1", std::wstring(L"TypeLib\\") + kLibId,
          std::wstring(L"Interface\\") + kIid};
}

// The product's entries as one registry view of `root`'s classes shows them.
std::string ProductDump(REGSAM view, HKEY root = HKEY_LOCAL_MACHINE) {
  std::vector<std::string> all;
  for (const std::wstring& tree : ProductTrees()) {
    std::vector<std::string> lines = DumpTree(root, kClasses, tree, view);
    all.insert(all.end(), lines.begin(), lines.end());
  }
  std::sort(all.begin(), all.end());
  return Joined(all);
}

void RemoveEverything() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      for (const std::wstring& tree : ProductTrees()) DeleteTreeInView(root, std::wstring(kClasses) + L"\\" + tree, view);
    }
  }
}

std::string DirectoryWithoutSlash(const std::wstring& file) { return Narrow(file.substr(0, file.find_last_of(L'\\'))); }

// What a registration of the DLL at `dll` for `platform` shows in its view:
// the scripts' entries, the type library's (HELPDIR as the first registration
// recorded it) and the dual interface's key.
std::string FullRegistration(const std::wstring& dll, const wchar_t* platform, const std::string& helpDirectory) {
  const std::string lib = Narrow(kLibId);
  const std::string version = "TypeLib\\" + lib + "\\1.0";
  const std::string itf = "Interface\\" + Narrow(kIid);
  const std::string marshaler = "\"{00020424-0000-0000-C000-000000000046}\"";
  std::vector<std::string> lines = ScriptEntryLines(dll);
  lines.insert(lines.end(), {
      "TypeLib\\" + lib,
      version + " = \"Stavora 1.0 Type Library\"",
      version + "\\0",
      version + "\\0\\" + Narrow(platform) + " = \"" + Narrow(dll) + "\"",
      version + "\\FLAGS = \"8\"",
      version + "\\HELPDIR = \"" + helpDirectory + "\"",
      itf + " = \"IStavoraLookup\"",
      itf + "\\ProxyStubClsid = " + marshaler,
      itf + "\\ProxyStubClsid32 = " + marshaler,
      itf + "\\TypeLib = \"" + lib + "\"",
      itf + "\\TypeLib [Version] = \"1.0\"",
  });
  std::sort(lines.begin(), lines.end());
  return Joined(lines);
}

// What a client in a multithreaded apartment gets: the object is created in
// a single-threaded apartment of COM's own, so every call crosses apartments
// through the marshaler that the dual interface's registration names.
struct MtaOutcome {
  HRESULT hr = E_FAIL;
  std::string step;
  std::string value;
};

DWORD WINAPI RunMtaClient(void* argument) {
  MtaOutcome& outcome = *static_cast<MtaOutcome*>(argument);
  outcome.step = "CoInitializeEx";
  outcome.hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  if (FAILED(outcome.hr)) return 0;
  CLSID clsid{};
  outcome.step = "CLSIDFromProgID";
  outcome.hr = CLSIDFromProgID(L"Stavora.StavoraLookup", &clsid);
  if (SUCCEEDED(outcome.hr)) {
    IStavoraLookup* lookup = nullptr;
    outcome.step = "CoCreateInstance";
    outcome.hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IStavoraLookup,
                                  reinterpret_cast<void**>(&lookup));
    if (SUCCEEDED(outcome.hr)) {
      BSTR section = SysAllocString(L"database");
      BSTR name = SysAllocString(L"SERVER");
      BSTR value = nullptr;
      outcome.step = "GetKey";
      outcome.hr = lookup->GetKey(section, name, &value);
      if (value != nullptr) outcome.value = Narrow(std::wstring(value, SysStringLen(value)));
      SysFreeString(value);
      SysFreeString(name);
      SysFreeString(section);
      lookup->Release();
    }
  }
  CoUninitialize();
  return 0;
}

MtaOutcome ReadThroughMtaClient() {
  MtaOutcome outcome;
  HANDLE thread = CreateThread(nullptr, 0, &RunMtaClient, &outcome, 0, nullptr);
  if (thread == nullptr) {
    outcome.step = "CreateThread";
    return outcome;
  }
  WaitForSingleObject(thread, 30000);
  CloseHandle(thread);
  return outcome;
}

// True when this machine runs programs of the other bitness; under Wine on a
// kernel without 32-bit support the 32-bit loader cannot start at all.
bool OtherBitnessRuns() {
  if (!kIs64Bit) return false;
  return RunProgram(L"C:\\windows\\syswow64\\cmd.exe /c exit 7") == 7;
}

class OtherBitnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveEverything();
    m_dll = ProgramDirectory() + L"Stavora.dll";
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    m_ini = std::wstring(temp) + L"stavora-bitness-" + std::to_wstring(GetCurrentProcessId()) + L".ini";
    ASSERT_TRUE(WriteBytes(m_ini, kIniText));
    m_hadPath = StringValue(HKEY_LOCAL_MACHINE, kSettingsKey, kPathValue) != "<none>";
    ASSERT_FALSE(m_hadPath) << "StavoraPath is set by something else in this prefix";
    ASSERT_TRUE(SetStringInView(HKEY_LOCAL_MACHINE, kSettingsKey, kPathValue, m_ini, 0));
    ASSERT_EQ("", ProductDump(KEY_WOW64_32KEY)) << "entries left from an earlier run";
    ASSERT_EQ("", ProductDump(KEY_WOW64_64KEY)) << "entries left from an earlier run";
  }
  void TearDown() override {
    RemoveEverything();
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      HKEY key = nullptr;
      if (RegOpenKeyExW(HKEY_LOCAL_MACHINE, kSettingsKey, 0, KEY_SET_VALUE | view, &key) == ERROR_SUCCESS) {
        RegDeleteValueW(key, kPathValue);
        RegCloseKey(key);
      }
    }
    DeleteFileW(m_ini.c_str());
  }

  static long Regsvr32(const std::wstring& arguments) { return RunProgram(L"regsvr32.exe " + arguments); }

  // The other bitness's registration as its regsvr32 leaves it in its own
  // view: the class key naming its DLL and its type library's file entry.
  static void WriteOtherBitnessRegistration(HKEY root) {
    const std::wstring classes = kClasses;
    ASSERT_TRUE(SetStringInView(root, classes + L"\\CLSID\\" + kClsid + L"\\InprocServer32", nullptr, kOtherDll,
                                kOtherView));
    ASSERT_TRUE(SetStringInView(root, classes + L"\\TypeLib\\" + kLibId + L"\\1.0\\0\\" + kOtherPlatform, nullptr,
                                kOtherDll, kOtherView));
  }

  std::wstring m_dll;
  std::wstring m_ini;
  bool m_hadPath = false;
};

TEST_F(OtherBitnessTest, UnregisteringThisBitnessKeepsWhatTheOtherOneNeeds) {
  ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
  WriteOtherBitnessRegistration(HKEY_LOCAL_MACHINE);

  ASSERT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  // The other view holds the other bitness's whole registration: the shared
  // ProgID and application-ID entries, the type library's version key (with
  // the help folder the first registration recorded) and the dual
  // interface's key, which the type-library unregistration had removed.
  EXPECT_EQ(FullRegistration(kOtherDll, kOtherPlatform, DirectoryWithoutSlash(m_dll)), ProductDump(kOtherView));
  // This bitness's own entries are gone.
  const std::wstring ownClass = std::wstring(kClasses) + L"\\CLSID\\" + kClsid;
  HKEY key = nullptr;
  EXPECT_NE(ERROR_SUCCESS, RegOpenKeyExW(HKEY_LOCAL_MACHINE, ownClass.c_str(), 0, KEY_READ | kOwnView, &key));
  EXPECT_EQ("<none>", StringValue(HKEY_CLASSES_ROOT,
                                  std::wstring(L"TypeLib\\") + kLibId + L"\\1.0\\0\\" + (kIs64Bit ? L"win64" : L"win32"),
                                  nullptr));
}

TEST_F(OtherBitnessTest, PerUserUnregisteringKeepsWhatTheOtherOneNeeds) {
  // Where per-user classes are one key for both bitnesses (Wine), the two
  // registrations are the same entries and cannot stand side by side.
  const std::wstring probe = std::wstring(kClasses) + L"\\CLSID\\" + kClsid;
  ASSERT_TRUE(SetStringInView(HKEY_CURRENT_USER, probe, nullptr, L"probe", kOtherView));
  const bool separate = StringValue(HKEY_CURRENT_USER, probe, nullptr) == "<none>";
  DeleteTreeInView(HKEY_CURRENT_USER, probe, kOtherView);
  if (!separate) GTEST_SKIP() << "this platform keeps per-user class keys in one registry view for both bitnesses";

  ASSERT_EQ(0, Regsvr32(L"/s /n /i:user \"" + m_dll + L"\""));
  WriteOtherBitnessRegistration(HKEY_CURRENT_USER);
  ASSERT_EQ(0, Regsvr32(L"/u /s /n /i:user \"" + m_dll + L"\""));
  const std::string other = ProductDump(kOtherView, HKEY_CURRENT_USER);
  for (const char* entry : {"Stavora.StavoraLookup\\CurVer = \"Stavora.StavoraLookup.1\"",
                            "Stavora.StavoraLookup.1 = \"StavoraLookup Class\"", "AppID\\Stavora.DLL"}) {
    EXPECT_NE(std::string::npos, other.find(entry)) << entry << " is missing from:\n" << other;
  }
}

TEST_F(OtherBitnessTest, OtherBitnessUnregisteringKeepsThisOnesClientsWorking) {
  ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
  const std::string registered = ProductDump(kOwnView);
  MtaOutcome before = ReadThroughMtaClient();
  ASSERT_HR(S_OK, before.hr) << "at " << before.step;
  ASSERT_EQ("db01.example", before.value);

  // What the other bitness's unregistration removes of what the views share:
  // the ProgID keys (one pair for both views on Windows), the application
  // ID, and the dual interface's key, which the platform's type-library
  // unregistration removes from both views.
  for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
    for (const std::wstring& tree : {std::wstring(L"Stavora.StavoraLookup"), std::wstring(L"Stavora.StavoraLookup.1"),
                                     std::wstring(L"AppID\\") + kAppId, std::wstring(L"AppID\\Stavora.DLL"),
                                     std::wstring(L"Interface\\") + kIid}) {
      DeleteTreeInView(HKEY_LOCAL_MACHINE, std::wstring(kClasses) + L"\\" + tree, view);
    }
  }
  MtaOutcome broken = ReadThroughMtaClient();
  ASSERT_TRUE(FAILED(broken.hr)) << "the client still worked without the shared entries";

  // The other bitness's DLL then runs this code, naming this view.
  HMODULE dll = LoadLibraryW(m_dll.c_str());
  ASSERT_NE(nullptr, dll) << "error " << GetLastError();
  {
    stavora::CStavoraModule module(dll);
    EXPECT_HR(S_OK, stavora::KeepRegistrationOfView(module, dll, kOwnRegistryView));
  }
  FreeLibrary(dll);

  EXPECT_EQ(registered, ProductDump(kOwnView));
  MtaOutcome after = ReadThroughMtaClient();
  EXPECT_HR(S_OK, after.hr) << "at " << after.step;
  EXPECT_EQ("db01.example", after.value);
}

TEST_F(OtherBitnessTest, BothBitnessesSideBySideThroughRegsvr32) {
  const std::wstring dll32 = ProgramDirectory() + L"..\\win32\\Stavora.dll";
  if (!OtherBitnessRuns()) {
    GTEST_SKIP() << "32-bit programs cannot run on this machine: the side-by-side registration of the 32-bit DLL "
                    "is not tried here";
  }
  if (GetFileAttributesW(dll32.c_str()) == INVALID_FILE_ATTRIBUTES) GTEST_SKIP() << "no 32-bit build beside this one";
  const std::wstring regsvr32x86 = L"C:\\windows\\syswow64\\regsvr32.exe ";
  const std::wstring client = L"//nologo \"" + ProgramDirectory() + L"e2e\\LookupClient.vbs\" \"" + m_ini + L"\"";
  const std::wstring output = m_ini + L".out";
  auto clientPasses = [&](const wchar_t* host) {
    if (!WriteBytes(m_ini, kIniText)) return false;
    const long code = RunProgram(std::wstring(host) + L" " + client, output);
    const std::string text = ReadBytes(output);
    DeleteFileW(output.c_str());
    return code == 0 && text.find("STAVORA-E2E-PASS") != std::string::npos;
  };
  const wchar_t* const host32 = L"C:\\windows\\syswow64\\cscript.exe";
  // The 32-bit DLL reads its configuration from the 32-bit view.
  ASSERT_TRUE(SetStringInView(HKEY_LOCAL_MACHINE, kSettingsKey, kPathValue, m_ini, KEY_WOW64_32KEY));
  const wchar_t* const host64 = L"C:\\windows\\system32\\cscript.exe";

  ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
  ASSERT_EQ(0, RunProgram(regsvr32x86 + L"/s \"" + dll32 + L"\""));
  EXPECT_TRUE(clientPasses(host32));
  EXPECT_TRUE(clientPasses(host64));

  ASSERT_EQ(0, RunProgram(regsvr32x86 + L"/u /s \"" + dll32 + L"\""));
  EXPECT_TRUE(clientPasses(host64)) << "after the 32-bit DLL was unregistered";
  EXPECT_HR(S_OK, ReadThroughMtaClient().hr) << "after the 32-bit DLL was unregistered";

  ASSERT_EQ(0, RunProgram(regsvr32x86 + L"/s \"" + dll32 + L"\""));
  ASSERT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  EXPECT_TRUE(clientPasses(host32)) << "after the 64-bit DLL was unregistered";

  ASSERT_EQ(0, RunProgram(regsvr32x86 + L"/u /s \"" + dll32 + L"\""));
  EXPECT_EQ("", ProductDump(KEY_WOW64_32KEY));
  EXPECT_EQ("", ProductDump(KEY_WOW64_64KEY));
}

}  // namespace
}  // namespace stavora_test
