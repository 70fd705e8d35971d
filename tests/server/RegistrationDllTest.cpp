// Stavora.dll registering itself: through regsvr32 in a process of its own,
// and through its exports in this one, per machine and per user; with copies
// of the DLL whose class script is broken or whose type library is missing.
// Each case starts and ends with none of the DLL's entries in the registry.
#include <windows.h>

#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/server/RegistrationTestSupport.h"

namespace stavora_test {
namespace {

const wchar_t kUserClasses[] = L"Software\\Classes";
const wchar_t kMachineClasses[] = L"Software\\Classes";
const HRESULT kDispException = static_cast<HRESULT>(0x80020009);
// What a copy carries instead of its type library (Wine's UpdateResource
// cannot remove a resource).
const char kNotATypeLibrary[] = "not a type library";

// The keys whose trees registration writes, relative to a classes root.
std::vector<std::wstring> OwnTrees() {
  return {std::wstring(L"AppID\\") + kAppId, L"AppID\\Stavora.DLL", std::wstring(L"CLSID\\") + kClsid,
          L"Stavora.StavoraLookup", L"Stavora.StavoraLookup.1"};
}

// Everything under those trees, below `base` of `root`.
std::string Entries(HKEY root, const std::wstring& base) {
  std::vector<std::string> all;
  for (const std::wstring& tree : OwnTrees()) {
    std::vector<std::string> lines = DumpTree(root, base, tree);
    all.insert(all.end(), lines.begin(), lines.end());
  }
  std::sort(all.begin(), all.end());
  return Joined(all);
}

std::string MachineEntries() { return Entries(HKEY_LOCAL_MACHINE, kMachineClasses); }
std::string UserEntries() { return Entries(HKEY_CURRENT_USER, kUserClasses); }

// What a registration of the DLL at `dllPath` writes, in Entries' form.
std::string ExpectedEntries(const std::wstring& dllPath) {
  std::vector<std::string> lines = ScriptEntryLines(dllPath);
  std::sort(lines.begin(), lines.end());
  return Joined(lines);
}

// The application-ID entries alone.
std::string ExpectedAppIdEntries() {
  const std::string app = Narrow(kAppId);
  std::vector<std::string> lines = {"AppID\\" + app + " = \"Stavora\"", "AppID\\Stavora.DLL",
                                    "AppID\\Stavora.DLL [AppID] = \"" + app + "\""};
  std::sort(lines.begin(), lines.end());
  return Joined(lines);
}

std::wstring TypeLibKey() { return std::wstring(L"TypeLib\\") + kLibId; }
std::wstring PlatformKey() { return sizeof(void*) == 8 ? L"win64" : L"win32"; }
SYSKIND NativeSysKind() { return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32; }

// Where the type library is registered from, or "<none>": through the
// classes root, or in the classes of `root` itself.
std::string TypeLibPath() { return StringValue(HKEY_CLASSES_ROOT, TypeLibKey() + L"\\1.0\\0\\" + PlatformKey(), nullptr); }
std::string TypeLibPathIn(HKEY root) {
  return StringValue(root, std::wstring(kUserClasses) + L"\\" + TypeLibKey() + L"\\1.0\\0\\" + PlatformKey(), nullptr);
}

GUID LibId() {
  GUID id{};
  CLSIDFromString(kLibId, &id);
  return id;
}

// Removes every entry the DLL may have written, per machine and per user.
void RemoveAllEntries() {
  UnRegisterTypeLib(LibId(), 1, 0, 0, NativeSysKind());
  for (HKEY root : {HKEY_LOCAL_MACHINE, HKEY_CURRENT_USER}) {
    for (const std::wstring& tree : OwnTrees()) RegDeleteTreeW(root, (std::wstring(kUserClasses) + L"\\" + tree).c_str());
    RegDeleteTreeW(root, (std::wstring(kUserClasses) + L"\\" + TypeLibKey()).c_str());
    RegDeleteTreeW(root, (std::wstring(kUserClasses) + L"\\Interface\\" + kIid).c_str());
  }
}

// One loaded copy of the DLL with its exports.
class LoadedDll {
 public:
  explicit LoadedDll(const std::wstring& path) : m_module(LoadLibraryW(path.c_str())) {
    if (m_module == nullptr) {
      ADD_FAILURE() << "cannot load " << Narrow(path) << ", error " << GetLastError();
      return;
    }
    auto find = [this](const char* name) { return reinterpret_cast<void*>(GetProcAddress(m_module, name)); };
    registerServer = reinterpret_cast<decltype(registerServer)>(find("DllRegisterServer"));
    unregisterServer = reinterpret_cast<decltype(unregisterServer)>(find("DllUnregisterServer"));
    install = reinterpret_cast<decltype(install)>(find("DllInstall"));
    if (!registerServer || !unregisterServer || !install) ADD_FAILURE() << "an export is missing";
  }
  ~LoadedDll() {
    if (m_module != nullptr) FreeLibrary(m_module);
  }
  LoadedDll(const LoadedDll&) = delete;
  LoadedDll& operator=(const LoadedDll&) = delete;
  bool Loaded() const { return registerServer && unregisterServer && install; }

  HRESULT(WINAPI* registerServer)() = nullptr;
  HRESULT(WINAPI* unregisterServer)() = nullptr;
  HRESULT(WINAPI* install)(BOOL, LPCWSTR) = nullptr;

 private:
  HMODULE m_module;
};

class RegistrationDllTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveAllEntries();
    m_dll = ProgramDirectory() + L"Stavora.dll";
    wchar_t temp[MAX_PATH];
    ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
    m_copies = std::wstring(temp) + L"stavora-registration-" + std::to_wstring(GetCurrentProcessId());
    CreateDirectoryW(m_copies.c_str(), nullptr);
    ASSERT_EQ("", MachineEntries()) << "entries left from an earlier run";
    ASSERT_EQ("", UserEntries()) << "entries left from an earlier run";
  }
  void TearDown() override {
    RemoveAllEntries();
    for (const std::wstring& file : m_made) DeleteFileW(file.c_str());
    RemoveDirectoryW(m_copies.c_str());
  }

  // A copy of Stavora.dll named `name` in the test's folder, with resource
  // `type`/`id` replaced by `text`.
  std::wstring MakeCopy(const std::wstring& name, const wchar_t* type, WORD id, const char* text) {
    const std::wstring copy = m_copies + L"\\" + name;
    m_made.push_back(copy);
    if (!CopyFileW(m_dll.c_str(), copy.c_str(), FALSE)) {
      ADD_FAILURE() << "copy failed, error " << GetLastError();
      return copy;
    }
    HANDLE update = BeginUpdateResourceW(copy.c_str(), FALSE);
    if (update == nullptr) {
      ADD_FAILURE() << "BeginUpdateResource failed, error " << GetLastError();
      return copy;
    }
    const BOOL changed = UpdateResourceW(update, type, MAKEINTRESOURCEW(id), MAKELANGID(LANG_ENGLISH, SUBLANG_ENGLISH_US),
                                         const_cast<char*>(text), static_cast<DWORD>(strlen(text)));
    EXPECT_TRUE(changed) << "UpdateResource failed, error " << GetLastError();
    EXPECT_TRUE(EndUpdateResourceW(update, FALSE)) << "EndUpdateResource failed, error " << GetLastError();
    // The copy must really carry the change.
    HMODULE data = LoadLibraryExW(copy.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
    HRSRC found = data ? FindResourceW(data, MAKEINTRESOURCEW(id), type) : nullptr;
    const DWORD size = found ? SizeofResource(data, found) : 0;
    EXPECT_EQ(strlen(text), size) << "the resource was not replaced in the copy";
    if (data) FreeLibrary(data);
    return copy;
  }
  std::wstring AddFile(const std::wstring& name, const std::wstring& from) {
    const std::wstring path = m_copies + L"\\" + name;
    m_made.push_back(path);
    EXPECT_TRUE(CopyFileW(from.c_str(), path.c_str(), FALSE)) << "error " << GetLastError();
    return path;
  }

  static long Regsvr32(const std::wstring& arguments) { return RunProgram(L"regsvr32.exe " + arguments); }

  std::wstring m_dll;
  std::wstring m_copies;
  std::vector<std::wstring> m_made;
};

TEST_F(RegistrationDllTest, Regsvr32WritesTheListedEntriesAndUnregistersThem) {
  ASSERT_EQ(0, Regsvr32(L"/s \"" + m_dll + L"\""));
  EXPECT_EQ(ExpectedEntries(m_dll), MachineEntries());
  EXPECT_EQ("", UserEntries());
  EXPECT_EQ("Stavora 1.0 Type Library", StringValue(HKEY_CLASSES_ROOT, TypeLibKey() + L"\\1.0", nullptr));
  EXPECT_EQ(Narrow(m_dll), TypeLibPath());
  // The dual interface is recorded with the type library.
  EXPECT_EQ(Narrow(kLibId), StringValue(HKEY_CLASSES_ROOT, std::wstring(L"Interface\\") + kIid + L"\\TypeLib", nullptr));

  ASSERT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  EXPECT_EQ("", MachineEntries());
  // Unregistering what is not registered is done already.
  EXPECT_EQ(0, Regsvr32(L"/u /s \"" + m_dll + L"\""));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"AppID"));
  EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"CLSID"));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, TypeLibKey()));
  EXPECT_FALSE(KeyExists(HKEY_CLASSES_ROOT, std::wstring(L"Interface\\") + kIid));
}

// The type library too: Wine's RegisterTypeLibForUser writes through the
// classes root, which is the machine's classes there, unless the classes
// root is mapped onto the user's for the call.
TEST_F(RegistrationDllTest, Regsvr32PerUserWritesUnderTheUsersClasses) {
  ASSERT_EQ(0, Regsvr32(L"/s /n /i:user \"" + m_dll + L"\""));
  EXPECT_EQ(ExpectedEntries(m_dll), UserEntries());
  EXPECT_EQ("", MachineEntries());
  EXPECT_EQ(Narrow(m_dll), TypeLibPathIn(HKEY_CURRENT_USER));
  EXPECT_EQ("<none>", TypeLibPathIn(HKEY_LOCAL_MACHINE)) << "the per-user type library went to the machine";
  EXPECT_EQ(Narrow(kLibId), StringValue(HKEY_CURRENT_USER, std::wstring(kUserClasses) + L"\\Interface\\" + kIid +
                                                               L"\\TypeLib", nullptr));

  // A zero flag with "user" in another case unregisters per user.
  LoadedDll dll(m_dll);
  ASSERT_TRUE(dll.Loaded());
  EXPECT_HR(S_OK, dll.install(FALSE, L"uSER"));
  EXPECT_EQ("", UserEntries());
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + L"\\AppID"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + L"\\CLSID"));
  EXPECT_EQ("<none>", TypeLibPathIn(HKEY_CURRENT_USER));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, std::wstring(kUserClasses) + L"\\Interface\\" + kIid));
}

TEST_F(RegistrationDllTest, PerUserSwitchHoldsForLaterCallsInTheProcess) {
  LoadedDll dll(m_dll);
  ASSERT_TRUE(dll.Loaded());
  // No command line, or one that is not exactly "user": per machine.
  ASSERT_HR(S_OK, dll.install(TRUE, nullptr));
  EXPECT_EQ(ExpectedEntries(m_dll), MachineEntries());
  ASSERT_HR(S_OK, dll.install(FALSE, L"users"));
  EXPECT_EQ("", MachineEntries());
  ASSERT_HR(S_OK, dll.install(TRUE, L"user "));
  EXPECT_EQ(ExpectedEntries(m_dll), MachineEntries());
  ASSERT_HR(S_OK, dll.unregisterServer());
  EXPECT_EQ("", MachineEntries());

  ASSERT_HR(S_OK, dll.install(TRUE, L"USER"));
  EXPECT_EQ(ExpectedEntries(m_dll), UserEntries());
  EXPECT_EQ("", MachineEntries());
  ASSERT_HR(S_OK, dll.unregisterServer());
  EXPECT_EQ("", UserEntries());
  // The switch stays on for the plain exports too.
  ASSERT_HR(S_OK, dll.registerServer());
  EXPECT_EQ(ExpectedEntries(m_dll), UserEntries());
  EXPECT_EQ("", MachineEntries());
  ASSERT_HR(S_OK, dll.install(FALSE, nullptr));
  EXPECT_EQ("", UserEntries());
  EXPECT_EQ("<none>", TypeLibPath());
}

TEST_F(RegistrationDllTest, UnregisteringAfterTheTypeLibraryWentRemovesTheRest) {
  LoadedDll dll(m_dll);
  ASSERT_TRUE(dll.Loaded());
  ASSERT_HR(S_OK, dll.registerServer());
  ASSERT_HR(S_OK, UnRegisterTypeLib(LibId(), 1, 0, 0, NativeSysKind()));
  const HRESULT notRegistered = UnRegisterTypeLib(LibId(), 1, 0, 0, NativeSysKind());
  ASSERT_TRUE(FAILED(notRegistered)) << HrText(notRegistered);

  EXPECT_HR(S_OK, dll.unregisterServer());
  EXPECT_EQ("", MachineEntries());
}

TEST_F(RegistrationDllTest, ThreadLocaleIsRestoredWhetherRegistrationSucceedsOrFails) {
  const LCID own = GetSystemDefaultLCID() == 0x0407 ? 0x040C : 0x0407;
  ASSERT_TRUE(SetThreadLocale(own));
  {
    LoadedDll dll(m_dll);
    ASSERT_TRUE(dll.Loaded());
    EXPECT_HR(S_OK, dll.registerServer());
    EXPECT_EQ(own, GetThreadLocale()) << "after a registration that succeeded";
    EXPECT_HR(S_OK, dll.unregisterServer());
    EXPECT_EQ(own, GetThreadLocale()) << "after an unregistration that succeeded";
  }
  {
    const std::wstring broken = MakeCopy(L"Stavora.dll", L"REGISTRY", 102, "HKCR\r\n{\r\n\tBroken\\Name\r\n}\r\n");
    LoadedDll dll(broken);
    ASSERT_TRUE(dll.Loaded());
    EXPECT_HR(kDispException, dll.registerServer());
    EXPECT_EQ(own, GetThreadLocale()) << "after a registration that failed";
    EXPECT_HR(kDispException, dll.install(TRUE, nullptr));
    EXPECT_EQ(own, GetThreadLocale()) << "after an install that failed";
    EXPECT_HR(kDispException, dll.unregisterServer());
    EXPECT_EQ(own, GetThreadLocale()) << "after an unregistration that failed";
  }
  SetThreadLocale(LOCALE_USER_DEFAULT);
}

TEST_F(RegistrationDllTest, BrokenClassScriptStopsRegistrationButNotItsUndo) {
  // The class script fails at its second entry, after writing the first.
  const std::wstring broken = MakeCopy(L"Stavora.dll", L"REGISTRY", 102,
                                       "HKCR\r\n{\r\n\tStavora.StavoraLookup.1 = s 'StavoraLookup Class'\r\n"
                                       "\tBroken\\Name\r\n}\r\n");
  LoadedDll dll(broken);
  ASSERT_TRUE(dll.Loaded());
  EXPECT_HR(kDispException, dll.registerServer());
  // The application-ID script ran and stays; the failed block was taken back;
  // the type library was never reached.
  EXPECT_EQ(ExpectedAppIdEntries(), MachineEntries());
  EXPECT_EQ("<none>", TypeLibPath());

  RemoveAllEntries();
  // Install's undo runs the class script first, which fails again, and goes
  // on to remove the application-ID entries; the registration's failure is
  // returned.
  EXPECT_HR(kDispException, dll.install(TRUE, nullptr));
  EXPECT_EQ("", MachineEntries());
}

TEST_F(RegistrationDllTest, TypeLibraryComesFromTheTlbBesideAModuleWithoutOne) {
  const std::wstring copy = MakeCopy(L"StavoraCopy.dll", L"TYPELIB", 1, kNotATypeLibrary);
  const std::wstring tlb = AddFile(L"StavoraCopy.tlb", ProgramDirectory() + L"server\\generated\\Stavora.tlb");
  LoadedDll dll(copy);
  ASSERT_TRUE(dll.Loaded());
  ASSERT_HR(S_OK, dll.registerServer());
  EXPECT_EQ(ExpectedEntries(copy), MachineEntries());
  EXPECT_EQ(Narrow(tlb), TypeLibPath());
  ASSERT_HR(S_OK, dll.unregisterServer());
  EXPECT_EQ("", MachineEntries());
  EXPECT_EQ("<none>", TypeLibPath());
}

TEST_F(RegistrationDllTest, InstallWithoutAnyTypeLibraryFailsAndUndoesEverything) {
  const std::wstring copy = MakeCopy(L"StavoraCopy.dll", L"TYPELIB", 1, kNotATypeLibrary);
  const std::wstring tlb = m_copies + L"\\StavoraCopy.tlb";
  ITypeLib* none = nullptr;
  const HRESULT expected = LoadTypeLib(tlb.c_str(), &none);
  ASSERT_TRUE(FAILED(expected)) << Narrow(tlb) << " should not exist";

  LoadedDll dll(copy);
  ASSERT_TRUE(dll.Loaded());
  EXPECT_HR(expected, dll.install(TRUE, nullptr));
  // The undo removed the class entries, failed at the type library, and
  // still removed the application-ID entries.
  EXPECT_EQ("", MachineEntries());
}

}  // namespace
}  // namespace stavora_test
