// The type library's own loading: the ".tlb" fall-back and its path rules,
// the module path's failures, the help directory and DllInstall's command line.
#include <windows.h>

#include <oleauto.h>

#include <gtest/gtest.h>

#include <string>

#include "server/Registration.h"
#include "tests/server/RegistrationTestSupport.h"

namespace stavora {
namespace {

using stavora_test::HrText;
using stavora_test::Narrow;

// Runs ReplaceExtensionWithTlb over `path`; gives the result code and the
// buffer's text afterwards as "0x........ text".
std::string Replaced(const std::wstring& path) {
  wchar_t buffer[kModulePathCapacity];
  if (path.size() >= kModulePathCapacity) return "<path too long for the test>";
  path.copy(buffer, path.size());
  buffer[path.size()] = 0;
  const HRESULT hr = ReplaceExtensionWithTlb(buffer);
  return HrText(hr) + " " + Narrow(buffer);
}

TEST(TlbFallbackPath, ExtensionAfterTheLastBackslashIsReplaced) {
  EXPECT_EQ("0x00000000 C:\\dir\\Stavora.tlb", Replaced(L"C:\\dir\\Stavora.dll"));
  EXPECT_EQ("0x00000000 C:\\a\\b.c.tlb", Replaced(L"C:\\a\\b.c.dll"));
  // A dot in a folder name is not the file's extension.
  EXPECT_EQ("0x00000000 C:\\dir.v2\\Stavora.tlb", Replaced(L"C:\\dir.v2\\Stavora"));
  EXPECT_EQ("0x00000000 C:\\dir\\name.tlb", Replaced(L"C:\\dir\\name."));
  EXPECT_EQ("0x00000000 Stavora.tlb", Replaced(L"Stavora"));
  // Only the backslash ends a folder name: module paths use no other.
  EXPECT_EQ("0x00000000 C:/x.tlb", Replaced(L"C:/x.y/file"));
}

TEST(TlbFallbackPath, ResultMustFitTheBuffer) {
  // No extension: ".tlb" and its terminator go at the end.
  const std::wstring fits(255, L'a');
  EXPECT_EQ("0x00000000 " + Narrow(fits) + ".tlb", Replaced(fits));
  const std::wstring tooLong(256, L'a');
  EXPECT_EQ("0x80004005 " + Narrow(tooLong), Replaced(tooLong)) << "the path must stay unchanged";

  // An extension at 255 leaves room; one at 256 does not, although the
  // replaced name would be no longer than the original.
  const std::wstring dotAt255 = std::wstring(255, L'b') + L".dl";
  EXPECT_EQ("0x00000000 " + Narrow(std::wstring(255, L'b')) + ".tlb", Replaced(dotAt255));
  const std::wstring dotAt256 = std::wstring(256, L'b') + L".dl";
  EXPECT_EQ("0x80004005 " + Narrow(dotAt256), Replaced(dotAt256));
}

TEST(HelpDirectory, CutAfterTheLastSeparator) {
  EXPECT_EQ(L"C:\\help\\", HelpDirectoryOf(L"C:\\help\\lib.chm"));
  EXPECT_EQ(L"a/b/", HelpDirectoryOf(L"a/b/c.hlp"));
  EXPECT_EQ(L"d:", HelpDirectoryOf(L"d:lib.hlp"));
  EXPECT_EQ(L"", HelpDirectoryOf(L"lib.hlp"));
  EXPECT_EQ(L"", HelpDirectoryOf(nullptr));
  const std::wstring deep = std::wstring(290, L'x') + L"\\lib.hlp";
  EXPECT_EQ(std::wstring(259, L'x'), HelpDirectoryOf(deep.c_str()));
}

TEST(InstallCommandLine, OnlyTheWholeWordUserInAnyCase) {
  for (const wchar_t* yes : {L"user", L"USER", L"uSeR", L"User"}) {
    EXPECT_TRUE(IsPerUserCommandLine(yes)) << Narrow(yes);
  }
  const wchar_t withTail[] = L"user\0tail";
  EXPECT_TRUE(IsPerUserCommandLine(withTail)) << "the terminator ends the word";
  for (const wchar_t* no : {L"users", L"use", L"", L"user ", L" user", L"usr", L"machine", L"u\u0130er"}) {
    EXPECT_FALSE(IsPerUserCommandLine(no)) << Narrow(no);
  }
  EXPECT_FALSE(IsPerUserCommandLine(nullptr));
}

TEST(OwnTypeLibrary, ModulePathFailures) {
  wchar_t path[kModulePathCapacity];
  // A handle that names no loaded module.
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND),
            GetModulePath(reinterpret_cast<HINSTANCE>(0x10000), path));
  OwnTypeLibrary loaded;
  EXPECT_HR(HRESULT_FROM_WIN32(ERROR_MOD_NOT_FOUND),
            LoadOwnTypeLibrary(reinterpret_cast<HINSTANCE>(0x10000), &loaded));
  EXPECT_FALSE(loaded.library);
  EXPECT_FALSE(loaded.path);
  EXPECT_HR(E_POINTER, LoadOwnTypeLibrary(GetModuleHandleW(nullptr), nullptr));
}

TEST(OwnTypeLibrary, PathFillingTheBufferIsRefused) {
  // A copy of Stavora.dll in a folder deep enough that its path takes more
  // than 259 units.
  const std::wstring source = stavora_test::ProgramDirectory() + L"Stavora.dll";
  wchar_t temp[MAX_PATH];
  ASSERT_NE(0u, GetTempPathW(MAX_PATH, temp));
  std::wstring folder = std::wstring(L"\\\\?\\") + temp + L"stavora-long";
  CreateDirectoryW(folder.c_str(), nullptr);
  std::vector<std::wstring> made{folder};
  while (folder.size() < 300) {
    folder += L"\\" + std::wstring(60, L'd');
    CreateDirectoryW(folder.c_str(), nullptr);
    made.push_back(folder);
  }
  const std::wstring copy = folder + L"\\Stavora.dll";
  ASSERT_TRUE(CopyFileW(source.c_str(), copy.c_str(), FALSE)) << "error " << GetLastError();
  HMODULE module = LoadLibraryExW(copy.c_str(), nullptr, 0);
  if (module != nullptr) {
    wchar_t path[kModulePathCapacity];
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), GetModulePath(module, path));
    OwnTypeLibrary loaded;
    EXPECT_HR(HRESULT_FROM_WIN32(ERROR_INSUFFICIENT_BUFFER), LoadOwnTypeLibrary(module, &loaded));
    FreeLibrary(module);
  } else {
    ADD_FAILURE() << "cannot load the DLL from a long path, error " << GetLastError();
  }
  DeleteFileW(copy.c_str());
  for (auto it = made.rbegin(); it != made.rend(); ++it) RemoveDirectoryW(it->c_str());
}

// The library's identity, for a loaded library.
std::string LibraryIdentity(ITypeLib* library) {
  TLIBATTR* attributes = nullptr;
  if (FAILED(library->GetLibAttr(&attributes))) return "<no attributes>";
  wchar_t guid[40];
  StringFromGUID2(attributes->guid, guid, 40);
  std::string out = Narrow(guid) + " " + std::to_string(attributes->wMajorVerNum) + "." +
                    std::to_string(attributes->wMinorVerNum);
  library->ReleaseTLibAttr(attributes);
  return out;
}

TEST(OwnTypeLibrary, LoadsFromTheModulesOwnResource) {
  const std::wstring dllPath = stavora_test::ProgramDirectory() + L"Stavora.dll";
  HMODULE dll = LoadLibraryW(dllPath.c_str());
  ASSERT_NE(nullptr, dll) << "error " << GetLastError();
  {
    OwnTypeLibrary loaded;
    ASSERT_HR(S_OK, LoadOwnTypeLibrary(dll, &loaded));
    EXPECT_EQ(Narrow(stavora_test::ModulePath(dll)), Narrow(loaded.path.Get()));
    EXPECT_EQ(Narrow(stavora_test::kLibId) + " 1.0", LibraryIdentity(loaded.library.Get()));
  }
  FreeLibrary(dll);
}

TEST(OwnTypeLibrary, FallsBackToTheTlbFileBesideTheModule) {
  // This program carries no type library; the build puts one beside it.
  OwnTypeLibrary loaded;
  ASSERT_HR(S_OK, LoadOwnTypeLibrary(GetModuleHandleW(nullptr), &loaded));
  std::wstring expected = stavora_test::ModulePath(nullptr);
  expected = expected.substr(0, expected.find_last_of(L'.')) + L".tlb";
  EXPECT_EQ(Narrow(expected), Narrow(loaded.path.Get()));
  EXPECT_EQ(Narrow(stavora_test::kLibId) + " 1.0", LibraryIdentity(loaded.library.Get()));
}

TEST(OwnTypeLibrary, NeitherResourceNorTlbGivesTheSecondLoadsError) {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  ASSERT_NE(nullptr, kernel);
  std::wstring tlb = stavora_test::ModulePath(kernel);
  tlb = tlb.substr(0, tlb.find_last_of(L'.')) + L".tlb";
  ITypeLib* none = nullptr;
  const HRESULT expected = LoadTypeLib(tlb.c_str(), &none);
  ASSERT_TRUE(FAILED(expected)) << Narrow(tlb) << " should not exist";

  OwnTypeLibrary loaded;
  EXPECT_HR(expected, LoadOwnTypeLibrary(kernel, &loaded));
  EXPECT_FALSE(loaded.library);
  EXPECT_FALSE(loaded.path);
  EXPECT_HR(expected, RegisterOwnTypeLibrary(kernel, false));
  EXPECT_HR(expected, UnregisterOwnTypeLibrary(kernel, false));
}

// Fakes of the two WOW64 queries: what each answers, and how often it was
// asked.
struct Wow64Answers {
  BOOL succeeds2 = TRUE;
  USHORT processMachine = IMAGE_FILE_MACHINE_UNKNOWN;
  BOOL succeeds = TRUE;
  BOOL wow64 = FALSE;
  int calls2 = 0;
  int calls = 0;
} g_answers;

BOOL WINAPI FakeIsWow64Process2(HANDLE, USHORT* processMachine, USHORT* nativeMachine) {
  ++g_answers.calls2;
  *processMachine = g_answers.processMachine;
  if (nativeMachine != nullptr) *nativeMachine = 0xAA64;  // IMAGE_FILE_MACHINE_ARM64
  return g_answers.succeeds2;
}

BOOL WINAPI FakeIsWow64Process(HANDLE, PBOOL wow64) {
  ++g_answers.calls;
  *wow64 = g_answers.wow64;
  return g_answers.succeeds;
}

// "IsWow64Process": FALSE for a 32-bit program on Windows 10 on ARM, where
// IsWow64Process2 reports its x86 process machine. The newer call decides
// where it answers; the older one where the newer is missing or fails.
TEST(RunsUnderWow64, TheNewerQueryDecidesWhereTheSystemHasIt) {
  const Wow64Queries both{&FakeIsWow64Process2, &FakeIsWow64Process};
  const Wow64Queries olderOnly{nullptr, &FakeIsWow64Process};

  g_answers = Wow64Answers();
  g_answers.processMachine = IMAGE_FILE_MACHINE_I386;
  g_answers.wow64 = FALSE;  // x86 on ARM64, as the older call may say
  EXPECT_TRUE(RunsUnderWow64(both));
  EXPECT_EQ(1, g_answers.calls2);

  g_answers = Wow64Answers();
  g_answers.processMachine = IMAGE_FILE_MACHINE_UNKNOWN;  // not under WOW64
  g_answers.wow64 = TRUE;
  EXPECT_FALSE(RunsUnderWow64(both));
  EXPECT_EQ(0, g_answers.calls) << "the older query was asked although the newer one answered";

  // The newer query fails, or the system lacks it: the older one decides.
  for (BOOL wow64 : {TRUE, FALSE}) {
    g_answers = Wow64Answers();
    g_answers.succeeds2 = FALSE;
    g_answers.wow64 = wow64;
    EXPECT_EQ(wow64 != FALSE, RunsUnderWow64(both));
    g_answers.calls = 0;
    EXPECT_EQ(wow64 != FALSE, RunsUnderWow64(olderOnly));
    EXPECT_EQ(1, g_answers.calls);
  }

  // Neither answers: one registry view.
  g_answers = Wow64Answers();
  g_answers.succeeds2 = FALSE;
  g_answers.succeeds = FALSE;
  g_answers.wow64 = TRUE;
  EXPECT_FALSE(RunsUnderWow64(both));
  EXPECT_FALSE(RunsUnderWow64(Wow64Queries{nullptr, nullptr}));

  // This system's answer agrees with what the process is.
  const Wow64Queries system = SystemWow64Queries();
  ASSERT_NE(nullptr, system.isWow64Process);
  BOOL wow64 = FALSE;
  ASSERT_TRUE(IsWow64Process(GetCurrentProcess(), &wow64));
  EXPECT_EQ(wow64 != FALSE, RunsUnderWow64(system));
}

}  // namespace
}  // namespace stavora
