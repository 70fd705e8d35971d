// Registration scripts against the real registry under Wine: scripts loaded
// from this program's and a DLL's resources, the standard variables, the undo
// of a failed root block, resource failures, per-user mode and the adapters.
// Everything is written below HKCU\Software\StavoraRegistrarTest and removed.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "registrar/PerUserSwitch.h"
#include "registrar/RegScriptParser.h"
#include "registrar/RegistrarResults.h"
#include "registrar/ResourceScript.h"

namespace stavora {
namespace {

const wchar_t kTestKey[] = L"Software\\StavoraRegistrarTest";

std::string HrText(std::int32_t hr) {
  char text[16];
  std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(hr));
  return text;
}

#define EXPECT_HR(expected, actual) EXPECT_EQ(HrText(expected), HrText(actual))
#define ASSERT_HR(expected, actual) ASSERT_EQ(HrText(expected), HrText(actual))

std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t unit : text) out.push_back(unit < 0x80 ? static_cast<char>(unit) : '?');
  return out;
}

// A module whose common variable and handle the test chooses.
class TestModule final : public IRegistrationModule {
 public:
  explicit TestModule(HINSTANCE instance, std::int32_t result = regresult::kOk)
      : m_instance(instance), m_result(result) {}
  std::int32_t AddCommonVariables(IRegistrarBase* registrar) override {
    ++calls;
    if (m_result != regresult::kOk) return m_result;
    return registrar->DefineVariable(u"APPID", u"{common}");
  }
  void* ModuleInstance() const override { return m_instance; }
  int calls = 0;

 private:
  HINSTANCE m_instance;
  std::int32_t m_result;
};

class RegistrarWineTest : public ::testing::Test {
 protected:
  void SetUp() override { RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey); }
  void TearDown() override { RegDeleteTreeW(HKEY_CURRENT_USER, kTestKey); }

  static bool KeyExists(HKEY root, const std::wstring& path) {
    HKEY key = nullptr;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
  }
  // The value's type and bytes as "T<type>:<hex>", or "<none>".
  static std::string Value(HKEY root, const std::wstring& path, const wchar_t* name) {
    BYTE data[1024];
    DWORD size = sizeof(data);
    DWORD type = 0;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY | RRF_NOEXPAND, &type, data, &size) != ERROR_SUCCESS) {
      return "<none>";
    }
    std::string out = "T" + std::to_string(type) + ":";
    char pair[3];
    for (DWORD i = 0; i < size; ++i) {
      std::snprintf(pair, sizeof(pair), "%02x", data[i]);
      out += pair;
    }
    return out;
  }
  static std::string StringValue(HKEY root, const std::wstring& path, const wchar_t* name) {
    wchar_t data[1024];
    DWORD size = sizeof(data);
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_REG_SZ, nullptr, data, &size) != ERROR_SUCCESS) {
      return "<none>";
    }
    return Narrow(data);
  }
  static std::wstring ModulePath(HMODULE module) {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(module, path, MAX_PATH);
    return std::wstring(path, length);
  }
};

TEST_F(RegistrarWineTest, RegistersFromOwnResourceWithQuotedModule) {
  const RegistrationVariable extras[] = {{u"Extra", u"from caller"}, {u"APPID", u"{caller}"}, {nullptr, nullptr}};
  TestModule module(GetModuleHandleW(nullptr));
  ASSERT_HR(regresult::kOk, RunRegistrationResource(module, 201, true, extras));
  EXPECT_EQ(1, module.calls);

  const std::string path = Narrow(ModulePath(nullptr));
  EXPECT_EQ("\"" + path + "\"", StringValue(HKEY_CURRENT_USER, kTestKey, nullptr));
  EXPECT_EQ(path, StringValue(HKEY_CURRENT_USER, kTestKey, L"Raw"));
  // The caller's definition comes first and wins over the module's.
  EXPECT_EQ("{caller}", StringValue(HKEY_CURRENT_USER, kTestKey, L"AppId"));
  EXPECT_EQ("from caller", StringValue(HKEY_CURRENT_USER, kTestKey, L"Extra"));
  EXPECT_EQ("T4:00100000", Value(HKEY_CURRENT_USER, kTestKey, L"Number"));
  EXPECT_EQ("T3:0a1b", Value(HKEY_CURRENT_USER, kTestKey, L"Bytes"));
  EXPECT_EQ("T7:61000000620000000000", Value(HKEY_CURRENT_USER, kTestKey, L"List"));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, std::wstring(kTestKey) + L"\\Sub"));

  ASSERT_HR(regresult::kOk, RunRegistrationResource(module, 201, false, extras));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTestKey));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software")) << "NoRemove Software was removed";
}

TEST_F(RegistrarWineTest, ModulePathWithApostropheReachesRegistryIntact) {
  wchar_t temp[MAX_PATH];
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
  const std::wstring directory = std::wstring(temp) + L"stavora it's";
  const std::wstring copy = directory + L"\\registrar_test_module.dll";
  CreateDirectoryW(directory.c_str(), nullptr);
  HMODULE original = LoadLibraryW(L"registrar_test_module.dll");
  ASSERT_NE(nullptr, original) << "error " << GetLastError();
  ASSERT_TRUE(CopyFileW(ModulePath(original).c_str(), copy.c_str(), FALSE)) << "error " << GetLastError();
  FreeLibrary(original);

  HMODULE dll = LoadLibraryW(copy.c_str());
  ASSERT_NE(nullptr, dll) << "error " << GetLastError();
  TestModule module(dll);
  const RegistrationVariable extras[] = {{u"Extra", u"e"}, {nullptr, nullptr}};
  EXPECT_HR(regresult::kOk, RunRegistrationResource(module, 201, true, extras));
  const std::string path = Narrow(ModulePath(dll));
  EXPECT_NE(std::string::npos, path.find("it's")) << path;
  // A library's path goes in unquoted, and a single apostrophe comes out.
  EXPECT_EQ(path, StringValue(HKEY_CURRENT_USER, kTestKey, nullptr));
  EXPECT_EQ(path, StringValue(HKEY_CURRENT_USER, kTestKey, L"Raw"));
  EXPECT_EQ("{common}", StringValue(HKEY_CURRENT_USER, kTestKey, L"AppId"));
  EXPECT_HR(regresult::kOk, RunRegistrationResource(module, 201, false, extras));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTestKey));

  FreeLibrary(dll);
  DeleteFileW(copy.c_str());
  RemoveDirectoryW(directory.c_str());
}

TEST_F(RegistrarWineTest, FailuresOfTheRunAndOfItsResource) {
  // The module's own failure ends the run before anything is written.
  TestModule failing(GetModuleHandleW(nullptr), regresult::kOutOfMemory);
  EXPECT_HR(regresult::kOutOfMemory, RunRegistrationResource(failing, 201, true, nullptr));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTestKey));

  // Without "Extra" the script refers to an undefined variable.
  TestModule module(GetModuleHandleW(nullptr));
  EXPECT_HR(regresult::kDispException, RunRegistrationResource(module, 201, true, nullptr));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTestKey));

  // An empty resource fails at the text conversion.
  EXPECT_HR(regresult::FromSystemError(ERROR_INVALID_PARAMETER), RunRegistrationResource(module, 202, true, nullptr));
  EXPECT_HR(regresult::FromSystemError(ERROR_RESOURCE_NAME_NOT_FOUND),
            RunRegistrationResource(module, 299, true, nullptr));

  CRegObject registrar;
  const std::u16string exe = reinterpret_cast<const char16_t*>(ModulePath(nullptr).c_str());
  EXPECT_HR(regresult::FromSystemError(ERROR_RESOURCE_TYPE_NOT_FOUND),
            RunResourceScript(registrar, exe.c_str(), 201, u"NOSUCHTYPE", true));
  const std::int32_t missing = RunResourceScript(registrar, u"C:\\no\\such\\module.dll", 201, u"REGISTRY", true);
  EXPECT_TRUE(missing == regresult::FromSystemError(ERROR_FILE_NOT_FOUND) ||
              missing == regresult::FromSystemError(ERROR_PATH_NOT_FOUND) ||
              missing == regresult::FromSystemError(ERROR_MOD_NOT_FOUND))
      << "got " << HrText(missing);
}

TEST_F(RegistrarWineTest, FailedSecondRootBlockIsUndoneInTheRegistry) {
  TestModule module(GetModuleHandleW(nullptr));
  EXPECT_HR(regresult::kDispTypeMismatch, RunRegistrationResource(module, 203, true, nullptr));
  const std::wstring key = kTestKey;
  EXPECT_EQ("1", StringValue(HKEY_CURRENT_USER, key + L"\\First", nullptr));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key + L"\\Second"));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key + L"\\Bad"));
  EXPECT_HR(regresult::kOk, RunRegistrationResource(module, 203, false, nullptr));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
}

TEST_F(RegistrarWineTest, RegistryAdapterAndTextServices) {
  EXPECT_EQ(reinterpret_cast<RegKey>(HKEY_CLASSES_ROOT), regkey::kClassesRoot);
  EXPECT_EQ(reinterpret_cast<RegKey>(HKEY_CURRENT_USER), regkey::kCurrentUser);
  EXPECT_EQ(reinterpret_cast<RegKey>(HKEY_LOCAL_MACHINE), regkey::kLocalMachine);
  EXPECT_EQ(reinterpret_cast<RegKey>(HKEY_USERS), regkey::kUsers);
  EXPECT_EQ(reinterpret_cast<RegKey>(HKEY_CURRENT_CONFIG), regkey::kCurrentConfig);

  const std::wstring key = kTestKey;
  for (const wchar_t* sub : {L"\\Tree\\A\\B", L"\\Tree\\A\\C", L"\\Tree\\D"}) {
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (key + sub).c_str(), 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &created, nullptr));
    RegCloseKey(created);
  }
  CRegObject registrar;
  CRegScriptParser parser(registrar, SystemRegistry());
  RegKey parent = kNoKey;
  ASSERT_EQ(ERROR_SUCCESS, SystemRegistry().OpenKey(regkey::kCurrentUser, reinterpret_cast<const char16_t*>(kTestKey),
                                                    regaccess::kRead | regaccess::kWrite, &parent));
  EXPECT_EQ(ERROR_SUCCESS, parser.DeleteKeyTree(parent, u"tree"));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, parser.DeleteKeyTree(parent, u"Tree"));
  EXPECT_EQ(ERROR_SUCCESS, SystemRegistry().CloseKey(parent));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key + L"\\Tree"));

  // Word-based keywords and numbers go through the platform's own services.
  EXPECT_HR(regresult::kOk, parser.RunScript(u"hkey_current_user { Software { StavoraRegistrarTest "
                                             u"{ val N = D '  4096 ' } } }", true));
  EXPECT_EQ("T4:00100000", Value(HKEY_CURRENT_USER, kTestKey, L"N"));
  EXPECT_HR(regresult::kDispOverflow,
            parser.RunScript(u"HKCU { Software { StavoraRegistrarTest { val N = d 4294967296 } } }", true));
}

// An empty key name would name the parent key itself to the registry: a
// removal would empty and delete the parent, an unregistration would delete a
// NoRemove key. Both walks refuse it and leave the registry as it was.
TEST_F(RegistrarWineTest, EmptyKeyNameIsRefusedAndRemovesNothing) {
  const std::wstring key = kTestKey;
  for (const wchar_t* sub : {L"\\Box\\Class\\Server", L"\\Box\\Leaf"}) {
    HKEY created = nullptr;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_CURRENT_USER, (key + sub).c_str(), 0, nullptr, 0, KEY_WRITE,
                                             nullptr, &created, nullptr));
    RegCloseKey(created);
  }
  CRegObject registrar;
  CRegScriptParser parser(registrar, SystemRegistry());
  EXPECT_HR(regresult::kDispException,
            parser.RunScript(u"HKCU { NoRemove Software { NoRemove StavoraRegistrarTest { NoRemove Box "
                             u"{ ForceRemove '' } } } }", true));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, key + L"\\Box\\Class\\Server")) << "ForceRemove '' emptied its parent";
  EXPECT_HR(regresult::kDispException,
            parser.RunScript(u"HKCU { NoRemove Software { NoRemove StavoraRegistrarTest { NoRemove Box "
                             u"{ NoRemove Leaf { '' } } } } }", false));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, key + L"\\Box\\Leaf")) << "unregistering '' deleted a NoRemove key";
}

// A module object of the server's shape, reached through the adapter.
class ServerShapedModule {
 public:
  explicit ServerShapedModule(HRESULT result) : m_result(result) {}
  HRESULT AddCommonVariables(IRegistrarBase* registrar) {
    if (FAILED(m_result)) return m_result;
    return registrar->DefineVariable(u"APPID", u"{adapted}");
  }
  HINSTANCE ModuleHandle() const { return GetModuleHandleW(nullptr); }

 private:
  HRESULT m_result;
};

TEST_F(RegistrarWineTest, AdapterPassesResultAndHandleThrough) {
  ServerShapedModule refusing(E_ACCESSDENIED);
  RegistrationModuleAdapter<ServerShapedModule> refusingAdapter(refusing);
  EXPECT_HR(static_cast<std::int32_t>(E_ACCESSDENIED), RunRegistrationResource(refusingAdapter, 201, true, nullptr));

  ServerShapedModule module(S_OK);
  RegistrationModuleAdapter<ServerShapedModule> adapter(module);
  const RegistrationVariable extras[] = {{u"Extra", u"e"}, {nullptr, nullptr}};
  ASSERT_HR(regresult::kOk, RunRegistrationResource(adapter, 201, true, extras));
  EXPECT_EQ("{adapted}", StringValue(HKEY_CURRENT_USER, kTestKey, L"AppId"));
  EXPECT_EQ("\"" + Narrow(ModulePath(nullptr)) + "\"", StringValue(HKEY_CURRENT_USER, kTestKey, nullptr));
  EXPECT_HR(regresult::kOk, RunRegistrationResource(adapter, 201, false, extras));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, kTestKey));
}

// The switch stays on for the rest of the process: keep this test last.
TEST_F(RegistrarWineTest, PerUserRegistrationWritesUnderCurrentUserClasses) {
  const std::wstring key = L"Software\\Classes\\StavoraRegistrarTest.PerUser";
  RegDeleteTreeW(HKEY_CURRENT_USER, key.c_str());
  SetPerUserRegistration();
  ASSERT_TRUE(PerUserRegistration());
  TestModule module(GetModuleHandleW(nullptr));
  ASSERT_HR(regresult::kOk, RunRegistrationResource(module, 204, true, nullptr));
  EXPECT_EQ("x", StringValue(HKEY_CURRENT_USER, key, nullptr));
  EXPECT_HR(regresult::kOk, RunRegistrationResource(module, 204, false, nullptr));
  EXPECT_FALSE(KeyExists(HKEY_CURRENT_USER, key));
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software"));
}

}  // namespace
}  // namespace stavora
