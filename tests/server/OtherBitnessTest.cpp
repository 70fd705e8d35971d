// Two bitnesses registered side by side: removing one registration must leave
// the other as it was, and touch nothing of it. The other bitness's
// registration is written into its registry view by this program (its scripts
// run there, naming a file of the other bitness) where this machine cannot
// run 32-bit programs; where it can, the 32-bit DLL is registered by the
// 32-bit regsvr32 as well. Where the platform keeps one registry view (32-bit
// Windows), there is no other bitness, and unregistration must write nothing
// back.
#include <windows.h>

#include <oleauto.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "registrar/PerUserSwitch.h"
#include "registrar/RegistrationModule.h"
#include "registrar/ResourceScript.h"
#include "resources/Stavora.h"
#include "server/Registration.h"
#include "server/StavoraIdentity.h"
#include "server/StavoraModule.h"
#include "tests/server/RegistrationTestSupport.h"

namespace stavora_test {
namespace {

const wchar_t kClasses[] = L"Software\\Classes";
const wchar_t kSettingsKey[] = L"SOFTWARE\\Kestrane L.P.\\Vendara\\Settings";
const wchar_t kPathValue[] = L"StavoraPath";
// What the end-to-end client checks its answers against.
const char kIniText[] = "[Database]\r\nServer=db01.example\r\nPort=5432\r\n[Paths]\r\nLogs=C:\\Logs\r\n";

constexpr bool kIs64Bit = sizeof(void*) == 8;
const REGSAM kOwnView = kIs64Bit ? KEY_WOW64_64KEY : KEY_WOW64_32KEY;
const REGSAM kOtherView = kIs64Bit ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
const stavora::RegistryView kOtherRegistryView = kIs64Bit ? stavora::RegistryView::k32 : stavora::RegistryView::k64;
const wchar_t* const kOwnPlatform = kIs64Bit ? L"win64" : L"win32";

// Every tree, relative to a classes root, that holds an entry of the product.
std::vector<std::wstring> ProductTrees() {
  return {std::wstring(L"AppID\\") + kAppId, L"AppID\\Stavora.DLL", std::wstring(L"CLSID\\") + kClsid,
          L"Stavora.StavoraLookup", L"Stavora.StavoraLookup.1", std::wstring(L"TypeLib\\") + kLibId,
          std::wstring(L"Interface\\") + kIid};
}

// The product's entries as one registry view of `root`'s classes shows them.
std::vector<std::string> ProductLines(REGSAM view, HKEY root = HKEY_LOCAL_MACHINE) {
  std::vector<std::string> all;
  for (const std::wstring& tree : ProductTrees()) {
    std::vector<std::string> lines = DumpTree(root, kClasses, tree, view);
    all.insert(all.end(), lines.begin(), lines.end());
  }
  std::sort(all.begin(), all.end());
  return all;
}
std::string ProductDump(REGSAM view, HKEY root = HKEY_LOCAL_MACHINE) { return Joined(ProductLines(view, root)); }

// The entries both bitnesses share (all but CLSID and Interface), as `view`
// shows them.
std::vector<std::string> SharedLines(REGSAM view) {
  std::vector<std::string> shared;
  for (const std::string& line : ProductLines(view)) {
    if (line.compare(0, 6, "CLSID\\") != 0 && line.compare(0, 10, "Interface\\") != 0) shared.push_back(line);
  }
  return shared;
}

// `lines` without those of this bitness's own type-library file entry, which
// the two registrations share a key with.
std::string WithoutOwnTypeLibraryFile(const std::vector<std::string>& lines) {
  const std::string own = "\\0\\" + Narrow(kOwnPlatform);
  std::vector<std::string> kept;
  for (const std::string& line : lines) {
    if (line.find(own) == std::string::npos) kept.push_back(line);
  }
  return Joined(kept);
}

void RemoveEverything() {
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    for (REGSAM view : {KEY_WOW64_32KEY, KEY_WOW64_64KEY}) {
      for (const std::wstring& tree : ProductTrees()) DeleteTreeInView(root, std::wstring(kClasses) + L"\\" + tree, view);
    }
  }
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
bool OtherBitnessRuns() { return RunProgram(L"C:\\windows\\syswow64\\cmd.exe /c exit 7") == 7; }

class OtherBitnessTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveEverything();
    m_dll = ProgramDirectory() + L"Stavora.dll";
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    const std::wstring stem = std::wstring(temp) + L"stavora-bitness-" + std::to_wstring(GetCurrentProcessId());
    m_ini = stem + L".ini";
    // Where the other bitness's DLL stands: a copy of this one, whose type
    // library the platform reads when it unregisters that library; it is
    // never loaded to run.
    m_otherFolder = stem;
    m_otherDll = stem + L"\\Stavora.dll";
    CreateDirectoryW(m_otherFolder.c_str(), nullptr);
    ASSERT_TRUE(CopyFileW(m_dll.c_str(), m_otherDll.c_str(), FALSE)) << "error " << GetLastError();
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
    DeleteFileW(m_otherDll.c_str());
    RemoveDirectoryW(m_otherFolder.c_str());
  }

  static long Regsvr32(const std::wstring& arguments) { return RunProgram(L"regsvr32.exe " + arguments); }

  // Registers one of this DLL's scripts at `target` with its module
  // variables naming `file`, as the copy of the DLL there runs it.
  std::int32_t RunScriptNaming(stavora::IRegistrationModule& module, const std::u16string& file, std::uint16_t id,
                               const stavora::RegistrationVariable* extra, const stavora::ScriptTarget& target) {
    stavora::CRegObject registrar;
    const std::int32_t hr = stavora::DefineModuleVariables(registrar, module, extra, file.c_str(), false);
    if (FAILED(hr)) return hr;
    const std::u16string dll(m_dll.begin(), m_dll.end());
    return stavora::RunResourceScriptAt(registrar, dll.c_str(), id, u"REGISTRY", true, target);
  }

  // The other bitness's registration as its own registration writes it, in
  // its view of `root`: the DLL's two scripts run there naming the other
  // file, and its type library's entries for the other platform.
  void WriteOtherBitnessRegistration(HKEY root) {
    HMODULE dll = LoadLibraryW(m_dll.c_str());
    ASSERT_NE(nullptr, dll) << "error " << GetLastError();
    {
      stavora::CStavoraModule module(dll);
      stavora::RegistrationModuleAdapter<stavora::CStavoraModule> adapter(module);
      stavora::IRegistry& other = stavora::SystemRegistryView(kOtherRegistryView);
      HKEY classes = nullptr;
      ASSERT_EQ(ERROR_SUCCESS, RegOpenKeyExW(root, kClasses, 0, KEY_READ | KEY_WRITE | kOtherView, &classes));
      const bool perUser = root == HKEY_CURRENT_USER;
      const stavora::ScriptTarget target{other, perUser ? stavora::kNoKey : reinterpret_cast<stavora::RegKey>(classes),
                                         perUser};
      const std::u16string file(m_otherDll.begin(), m_otherDll.end());
      EXPECT_HR(S_OK, RunScriptNaming(adapter, file, stavora::kAppIdScriptId, stavora::kModuleVariables, target));
      EXPECT_HR(S_OK, RunScriptNaming(adapter, file, stavora::kLookupClassScriptId, nullptr, target));
      stavora::OwnTypeLibraryCalls calls(dll);
      stavora::TypeLibraryFacts facts;
      EXPECT_HR(S_OK, calls.ReadFacts(&facts));
      const stavora::RegKey classesKey = reinterpret_cast<stavora::RegKey>(classes);
      EXPECT_EQ(0, stavora::WriteTypeLibraryEntries(other, classesKey, facts, stavora::PlatformOfView(kOtherRegistryView),
                                                    file, stavora::HelpDirectoryOfPath(file)));
      EXPECT_EQ(0, stavora::WriteInterfaceEntries(other, classesKey, facts));
      RegCloseKey(classes);
    }
    FreeLibrary(dll);
  }

  std::wstring m_dll;
  std::wstring m_ini;
  std::wstring m_otherFolder;
  std::wstring m_otherDll;
  bool m_hadPath = false;
};

#define SKIP_WITHOUT_TWO_VIEWS()                                                                    \
  if (!stavora::HasTwoRegistryViews())                                                              \
  GTEST_SKIP() << "this platform keeps one registry view (32-bit Windows): there is no other bitness"

TEST_F(OtherBitnessTest, UnregisteringThisBitnessLeavesTheOtherOneAsItWas) {
  SKIP_WITHOUT_TWO_VIEWS();
  ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
  WriteOtherBitnessRegistration(HKEY_LOCAL_MACHINE);
  // An administrator's addition to the other view's class key.
  ASSERT_TRUE(SetStringInView(HKEY_LOCAL_MACHINE, std::wstring(kClasses) + L"\\CLSID\\" + kClsid, L"AppID", kAppId,
                              kOtherView));
  const std::vector<std::string> other = ProductLines(kOtherView);
  ASSERT_NE(std::string::npos, Joined(other).find("Stavora.StavoraLookup\\CurVer")) << Joined(other);
  // The shared entries, as this process's view shows them.
  const std::vector<std::string> shared = SharedLines(kOwnView);

  ASSERT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  EXPECT_EQ(WithoutOwnTypeLibraryFile(other), ProductDump(kOtherView));
  EXPECT_EQ(WithoutOwnTypeLibraryFile(shared), ProductDump(kOwnView)) << "the shared entries did not come back";
  // This bitness's own entries are gone, and a second unregistration is done
  // already and changes nothing.
  EXPECT_EQ("", Joined(DumpTree(HKEY_LOCAL_MACHINE, kClasses, std::wstring(L"CLSID\\") + kClsid, kOwnView)));
  EXPECT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  EXPECT_EQ(WithoutOwnTypeLibraryFile(other), ProductDump(kOtherView));
}

TEST_F(OtherBitnessTest, NothingComesBackForAnOtherBitnessWhoseFileIsGone) {
  SKIP_WITHOUT_TWO_VIEWS();
  ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
  WriteOtherBitnessRegistration(HKEY_LOCAL_MACHINE);
  ASSERT_TRUE(DeleteFileW(m_otherDll.c_str()));

  ASSERT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  const std::string other = ProductDump(kOtherView);
  // The shared application-ID entries went with this registration and stay
  // gone; the other view's own class key is not this unregistration's.
  EXPECT_EQ(std::string::npos, other.find("AppID\\Stavora.DLL")) << other;
  EXPECT_NE(std::string::npos, other.find("CLSID\\" + Narrow(kClsid) + "\\InprocServer32")) << other;
}

// The other bitness's file where only that bitness finds it by the name its
// registration gives: in its own system folder named as System32, and in
// its own Program Files named through %ProgramFiles% in a REG_EXPAND_SZ
// value. Wine redirects System32 and sets the folder variables as Windows
// does. The registration is live, so its shared entries come back.
TEST_F(OtherBitnessTest, OtherBitnessFileIsLookedForAsThatBitnessSeesIt) {
  SKIP_WITHOUT_TWO_VIEWS();
  wchar_t windows[MAX_PATH];
  ASSERT_NE(0u, GetWindowsDirectoryW(windows, MAX_PATH));
  auto variable = [](const wchar_t* name) {
    wchar_t value[MAX_PATH];
    const DWORD length = GetEnvironmentVariableW(name, value, MAX_PATH);
    return length > 0 && length < MAX_PATH ? std::wstring(value, length) : std::wstring();
  };
  // The other bitness's folders as this process reaches them: a 32-bit
  // process reaches the 64-bit System32 through Sysnative.
  const std::wstring otherSystem = std::wstring(windows) + (kIs64Bit ? L"\\SysWOW64" : L"\\Sysnative");
  const std::wstring otherProgramFiles = variable(kIs64Bit ? L"ProgramFiles(x86)" : L"ProgramW6432");
  ASSERT_NE(L"", otherProgramFiles);
  const std::wstring name = L"StavoraOther-" + std::to_wstring(GetCurrentProcessId()) + L".dll";
  const struct {
    std::wstring named;
    DWORD type;
    std::wstring file;
  } cases[] = {
      {std::wstring(windows) + L"\\System32\\" + name, REG_SZ, otherSystem + L"\\" + name},
      {L"%ProgramFiles%\\" + name, REG_EXPAND_SZ, otherProgramFiles + L"\\" + name},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Narrow(c.named));
    ASSERT_TRUE(CopyFileW(m_dll.c_str(), c.file.c_str(), FALSE)) << Narrow(c.file) << ", error " << GetLastError();
    ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
    WriteOtherBitnessRegistration(HKEY_LOCAL_MACHINE);
    ASSERT_TRUE(SetStringInView(HKEY_LOCAL_MACHINE, std::wstring(kClasses) + L"\\CLSID\\" + kClsid + L"\\InprocServer32",
                                nullptr, c.named, kOtherView, c.type));
    const std::vector<std::string> other = ProductLines(kOtherView);
    const std::vector<std::string> shared = SharedLines(kOwnView);

    ASSERT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
    EXPECT_EQ(WithoutOwnTypeLibraryFile(other), ProductDump(kOtherView));
    EXPECT_EQ(WithoutOwnTypeLibraryFile(shared), ProductDump(kOwnView)) << "the shared entries did not come back";
    EXPECT_TRUE(DeleteFileW(c.file.c_str())) << "error " << GetLastError();
    RemoveEverything();
  }
}

TEST_F(OtherBitnessTest, WinePerUserClassesAreOneTreeForBothViewsSoNothingIsWrittenBack) {
  SKIP_WITHOUT_TWO_VIEWS();
  // Where per-user classes are one key for both bitnesses (Wine), the two
  // registrations are the same entries and cannot stand side by side.
  const std::wstring probe = std::wstring(kClasses) + L"\\CLSID\\" + kClsid;
  ASSERT_TRUE(SetStringInView(HKEY_CURRENT_USER, probe, nullptr, L"probe", kOtherView));
  const bool oneTree = StringValue(HKEY_CURRENT_USER, probe, nullptr) != "<none>";
  DeleteTreeInView(HKEY_CURRENT_USER, probe, kOtherView);
  if (!oneTree) GTEST_SKIP() << "this platform keeps per-user class keys per registry view";

  ASSERT_EQ(0, Regsvr32(L"/s /n /i:user \"" + m_dll + L"\""));
  ASSERT_NE("", ProductDump(kOtherView, HKEY_CURRENT_USER));
  ASSERT_EQ(0, Regsvr32(L"/u /s /n /i:user \"" + m_dll + L"\""));
  EXPECT_EQ("", ProductDump(kOtherView, HKEY_CURRENT_USER));
  EXPECT_EQ("", ProductDump(kOwnView, HKEY_CURRENT_USER));
}

TEST_F(OtherBitnessTest, OnOneRegistryViewUnregistrationWritesNothingBack) {
  if (stavora::HasTwoRegistryViews()) GTEST_SKIP() << "this platform has two registry views";
  ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
  ASSERT_NE("", ProductDump(kOwnView));
  ASSERT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  EXPECT_EQ("", ProductDump(kOwnView));
  EXPECT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  EXPECT_EQ("", ProductDump(kOwnView));
}

// The other bitness's unregistration, run here: the same sequence with the
// other view as its own, and the platform's type-library unregistration of
// the other platform's entry.
class OtherBitnessTypeLibrary final : public stavora::ITypeLibraryCalls {
 public:
  explicit OtherBitnessTypeLibrary(HMODULE dll) : m_own(dll) {}
  std::int32_t Register(bool) override { return E_NOTIMPL; }
  std::int32_t Unregister(bool) override {
    GUID libId{};
    CLSIDFromString(kLibId, &libId);
    return UnRegisterTypeLib(libId, 1, 0, 0, kIs64Bit ? SYS_WIN32 : SYS_WIN64);
  }
  std::int32_t ReadFacts(stavora::TypeLibraryFacts* facts) override { return m_own.ReadFacts(facts); }

 private:
  stavora::OwnTypeLibraryCalls m_own;
};

class OtherBitnessHost final : public stavora::IRegistrationHost {
 public:
  OtherBitnessHost(stavora::ModuleRegistrationHost& own, HMODULE dll) : m_own(own), m_typeLibrary(dll) {}
  stavora::IRegistry& Registry(stavora::RegistryView view) override { return stavora::SystemRegistryView(view); }
  stavora::RegistryView OwnView() const override { return kOtherRegistryView; }
  bool HasOtherView() const override { return true; }
  std::int32_t RunAppIdScript(bool registering, const stavora::ScriptTarget& target) override {
    return m_own.RunAppIdScript(registering, target);
  }
  std::int32_t UpdateClassRows(bool registering, const stavora::ScriptTarget& target) override {
    return m_own.UpdateClassRows(registering, target);
  }
  stavora::ITypeLibraryCalls& TypeLibrary() override { return m_typeLibrary; }
  bool FileExists(const stavora::WString& path, bool withoutRedirection) override {
    return m_own.FileExists(path, withoutRedirection);
  }
  bool EnvironmentVariable(const stavora::WString& name, stavora::WString* value) override {
    return m_own.EnvironmentVariable(name, value);
  }
  void Log(const stavora::WString& message) override { m_own.Log(message); }

 private:
  stavora::ModuleRegistrationHost& m_own;
  OtherBitnessTypeLibrary m_typeLibrary;
};

TEST_F(OtherBitnessTest, OtherBitnessUnregisteringKeepsThisOnesClientsWorking) {
  SKIP_WITHOUT_TWO_VIEWS();
  ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
  WriteOtherBitnessRegistration(HKEY_LOCAL_MACHINE);
  const std::vector<std::string> registered = ProductLines(kOwnView);
  MtaOutcome before = ReadThroughMtaClient();
  ASSERT_HR(S_OK, before.hr) << "at " << before.step;
  ASSERT_EQ("db01.example", before.value);

  HMODULE dll = LoadLibraryW(m_dll.c_str());
  ASSERT_NE(nullptr, dll) << "error " << GetLastError();
  {
    stavora::CStavoraModule module(dll);
    stavora::ClassTable table(dll,
                              stavora::ClassEntry{&CLSID_StavoraLookup,
                                                  &stavora::UpdateClassRegistryFrom<stavora::kLookupClassScriptId>,
                                                  nullptr, nullptr},
                              &stavora::CStavoraModule::InitialiseLock);
    stavora::ModuleRegistrationHost own(table, module);
    OtherBitnessHost other(own, dll);
    EXPECT_HR(S_OK, stavora::UnregisterModule(other, false, stavora::kLookupSharedRegistration));
  }
  FreeLibrary(dll);

  // This bitness's registration is whole again, the other one's is gone.
  const std::string otherPlatform = "\\0\\" + std::string(kIs64Bit ? "win32" : "win64");
  std::vector<std::string> expected;
  for (const std::string& line : registered) {
    if (line.find(otherPlatform) == std::string::npos) expected.push_back(line);
  }
  EXPECT_EQ(Joined(expected), ProductDump(kOwnView));
  MtaOutcome after = ReadThroughMtaClient();
  EXPECT_HR(S_OK, after.hr) << "at " << after.step;
  EXPECT_EQ("db01.example", after.value);
}

TEST_F(OtherBitnessTest, BothBitnessesSideBySideThroughRegsvr32) {
  const std::wstring dll32 = ProgramDirectory() + L"..\\win32\\Stavora.dll";
  SKIP_WITHOUT_TWO_VIEWS();
  if (!kIs64Bit) GTEST_SKIP() << "the 64-bit build's tests drive both DLLs; this is the 32-bit build";
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
