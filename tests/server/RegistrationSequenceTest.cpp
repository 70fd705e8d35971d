// The order of the registration steps and what each failure stops, over a
// class table of this program's own: its row records each call and what it
// saw at that moment; its application-ID script (REGISTRY 101 of this
// program) writes below HKCU\Software\StavoraRegistrationTest; its type
// library is the ".tlb" file beside this program.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registrar/PerUserSwitch.h"
#include "server/Registration.h"
#include "tests/server/RegistrationTestSupport.h"

namespace stavora {
namespace {

using stavora_test::KeyExists;
using stavora_test::StringValue;

const wchar_t kAppScriptKey[] = L"Software\\StavoraRegistrationTest";
const CLSID kRowClsid = {0x1b2c3d4e, 0x0001, 0x4000, {0x80, 0, 0, 0, 0, 0, 0, 1}};

std::wstring TypeLibKey() { return std::wstring(L"TypeLib\\") + stavora_test::kLibId; }

bool TypeLibRegistered() { return KeyExists(HKEY_CLASSES_ROOT, TypeLibKey()); }
bool AppScriptApplied() { return KeyExists(HKEY_CURRENT_USER, kAppScriptKey); }

// What the row is to answer, and what it saw.
struct RowScript {
  HRESULT registerResult = S_OK;
  HRESULT unregisterResult = S_OK;
  LCID localeWanted = 0;
  std::vector<std::string> calls;
};
RowScript g_row;

// One entry per call: "register" or "unregister", then whether the
// application-ID script's key and the type library were present, and whether
// the thread ran in the system's locale.
HRESULT RecordingRow(CStavoraModule&, bool registering, const ScriptTarget&) {
  std::string call = registering ? "register" : "unregister";
  call += AppScriptApplied() ? " app" : " -";
  call += TypeLibRegistered() ? " tlb" : " -";
  call += GetThreadLocale() == g_row.localeWanted ? " system-locale" : " own-locale";
  g_row.calls.push_back(call);
  return registering ? g_row.registerResult : g_row.unregisterResult;
}

std::string Calls() {
  std::string out;
  for (const std::string& call : g_row.calls) out += "[" + call + "]";
  return out;
}

SYSKIND NativeSysKind() { return sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32; }

class RegistrationSequenceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    Clean();
    g_row = RowScript();
    // The locale SetThreadLocale(LOCALE_SYSTEM_DEFAULT) gives, read back.
    const LCID before = GetThreadLocale();
    SetThreadLocale(LOCALE_SYSTEM_DEFAULT);
    g_row.localeWanted = GetThreadLocale();
    SetThreadLocale(before);
    // A thread locale other than the system's, which every sequence must
    // give back as it found it.
    m_ownLocale = g_row.localeWanted == 0x0407 ? 0x040C : 0x0407;
    ASSERT_TRUE(SetThreadLocale(m_ownLocale));
    ASSERT_EQ(m_ownLocale, GetThreadLocale());
  }
  void TearDown() override {
    EXPECT_EQ(m_ownLocale, GetThreadLocale()) << "the thread locale was not restored";
    Clean();
  }
  static void Clean() {
    RegDeleteTreeW(HKEY_CURRENT_USER, kAppScriptKey);
    UnRegisterTypeLib(LibId(), 1, 0, 0, NativeSysKind());
  }
  static GUID LibId() {
    GUID id{};
    CLSIDFromString(stavora_test::kLibId, &id);
    return id;
  }
  // A table whose type library is `typeLibModule`'s (this program's by default).
  static ClassTable MakeTable(HINSTANCE typeLibModule = GetModuleHandleW(nullptr)) {
    return ClassTable(typeLibModule, ClassEntry{&kRowClsid, &RecordingRow, nullptr, nullptr},
                      &CStavoraModule::InitialiseLock);
  }

  CStavoraModule m_module{GetModuleHandleW(nullptr)};
  LCID m_ownLocale = 0;
};

TEST_F(RegistrationSequenceTest, RegisterRunsAppIdScriptThenRowsThenTypeLibrary) {
  ClassTable table = MakeTable();
  ASSERT_HR(S_OK, RegisterServer(table, m_module));
  EXPECT_EQ("[register app - system-locale]", Calls());
  EXPECT_EQ(stavora_test::Narrow(stavora_test::kAppId), StringValue(HKEY_CURRENT_USER, kAppScriptKey, L"AppId"));

  std::wstring tlb = stavora_test::ModulePath(nullptr);
  tlb = tlb.substr(0, tlb.find_last_of(L'.')) + L".tlb";
  const std::wstring win = sizeof(void*) == 8 ? L"win64" : L"win32";
  EXPECT_EQ(stavora_test::Narrow(tlb), StringValue(HKEY_CLASSES_ROOT, TypeLibKey() + L"\\1.0\\0\\" + win, nullptr));
}

TEST_F(RegistrationSequenceTest, UnregisterRunsRowsThenTypeLibraryThenAppIdScript) {
  ClassTable table = MakeTable();
  ASSERT_HR(S_OK, RegisterServer(table, m_module));
  g_row.calls.clear();
  ASSERT_HR(S_OK, UnregisterServer(table, m_module));
  EXPECT_EQ("[unregister app tlb system-locale]", Calls());
  EXPECT_FALSE(TypeLibRegistered());
  EXPECT_FALSE(AppScriptApplied());
  EXPECT_TRUE(KeyExists(HKEY_CURRENT_USER, L"Software"));
}

TEST_F(RegistrationSequenceTest, FailedRowEndsRegistrationButUnregistrationRunsEveryStep) {
  ClassTable table = MakeTable();
  g_row.registerResult = E_ACCESSDENIED;
  EXPECT_HR(E_ACCESSDENIED, RegisterServer(table, m_module));
  EXPECT_EQ("[register app - system-locale]", Calls());
  EXPECT_TRUE(AppScriptApplied()) << "DllRegisterServer by itself takes nothing back";
  EXPECT_FALSE(TypeLibRegistered()) << "the type library was registered after a failed row";
  EXPECT_EQ(m_ownLocale, GetThreadLocale());

  g_row.unregisterResult = HRESULT_FROM_WIN32(ERROR_KEY_DELETED);
  g_row.calls.clear();
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_KEY_DELETED), UnregisterServer(table, m_module));
  EXPECT_EQ("[unregister app - system-locale]", Calls());
  EXPECT_FALSE(AppScriptApplied()) << "the application-ID script did not run after a failed row";
}

TEST_F(RegistrationSequenceTest, FailedTypeLibraryStepIsTheResultAndTheOtherStepsStillRun) {
  // A type-library module that names no loaded module: its path cannot be had.
  ClassTable table = MakeTable(reinterpret_cast<HINSTANCE>(0x10000));
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), RegisterServer(table, m_module));
  EXPECT_TRUE(AppScriptApplied());
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND), UnregisterServer(table, m_module));
  EXPECT_EQ("[register app - system-locale][unregister app - system-locale]", Calls());
  EXPECT_FALSE(AppScriptApplied()) << "the application-ID script did not run after the type library failed";
}

TEST_F(RegistrationSequenceTest, UnregisteringATypeLibraryThatIsNotRegisteredCountsAsDone) {
  ClassTable table = MakeTable();
  ASSERT_HR(S_OK, RegisterServer(table, m_module));
  ASSERT_HR(S_OK, UnRegisterTypeLib(LibId(), 1, 0, 0, NativeSysKind()));
  // What the platform says for a library that is not registered.
  const HRESULT notRegistered = UnRegisterTypeLib(LibId(), 1, 0, 0, NativeSysKind());
  ASSERT_TRUE(FAILED(notRegistered)) << stavora_test::HrText(notRegistered);

  EXPECT_HR(S_OK, UnregisterServer(table, m_module));
  EXPECT_FALSE(AppScriptApplied());
  // And once more, with nothing left at all.
  EXPECT_HR(S_OK, UnregisterServer(table, m_module));
}

TEST_F(RegistrationSequenceTest, InstallUndoesAFailedRegistrationAndReturnsItsFailure) {
  ClassTable table = MakeTable();
  g_row.registerResult = E_OUTOFMEMORY;
  // The undo's own failure (the row fails it too) is not the one returned;
  // it still removes what the registration wrote.
  g_row.unregisterResult = E_ACCESSDENIED;
  EXPECT_HR(E_OUTOFMEMORY, InstallServer(table, m_module, TRUE, nullptr));
  EXPECT_EQ("[register app - system-locale][unregister app - system-locale]", Calls());
  EXPECT_FALSE(AppScriptApplied()) << "the undo left the application-ID script's entries";
  EXPECT_FALSE(PerUserRegistration());

  // A successful registration is not undone.
  g_row = RowScript{S_OK, S_OK, g_row.localeWanted, {}};
  EXPECT_HR(S_OK, InstallServer(table, m_module, TRUE, L"users"));
  EXPECT_EQ("[register app - system-locale]", Calls());
  EXPECT_TRUE(TypeLibRegistered());
  EXPECT_FALSE(PerUserRegistration()) << "\"users\" is not \"user\"";
}

// Last in this program: the per-user switch stays set once turned on.
TEST_F(RegistrationSequenceTest, InstallWithZeroFlagUnregistersAndUserTurnsPerUserOn) {
  ClassTable table = MakeTable();
  ASSERT_HR(S_OK, InstallServer(table, m_module, TRUE, L"user\t"));
  ASSERT_FALSE(PerUserRegistration());
  g_row.calls.clear();
  EXPECT_HR(S_OK, InstallServer(table, m_module, FALSE, L"User"));
  EXPECT_TRUE(PerUserRegistration());
  EXPECT_EQ("[unregister app tlb system-locale]", Calls());
  EXPECT_FALSE(AppScriptApplied());
  // The per-user unregistration works in the user's classes alone: the
  // machine's type library stays (Wine's per-user call writes through the
  // classes root, which registration maps onto the user's classes).
  EXPECT_TRUE(TypeLibRegistered()) << "a per-user unregistration removed the machine's type library";
}

}  // namespace
}  // namespace stavora
