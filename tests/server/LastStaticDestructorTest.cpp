// LastStaticDestructor in a DLL of its own, loaded and unloaded here: its
// clean-up runs after DllMain and after every other static destructor, with
// the real runtime's order of unload.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::string> g_events;
void Record(const char* event) { g_events.emplace_back(event); }

std::wstring ExecutableDirectory() {
  wchar_t path[MAX_PATH];
  const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
  const std::wstring result(path, length);
  return result.substr(0, result.find_last_of(L"\\/") + 1);
}

TEST(LastStaticDestructor, RunsAfterDllMainAndEveryOtherStaticDestructor) {
  HMODULE module = LoadLibraryW((ExecutableDirectory() + L"last_destructor_module.dll").c_str());
  ASSERT_NE(nullptr, module) << "error " << GetLastError();
  using SetReport = void (*)(void (*)(const char*));
  auto set = reinterpret_cast<SetReport>(reinterpret_cast<void (*)()>(GetProcAddress(module, "SetReport")));
  ASSERT_NE(nullptr, set);
  set(&Record);
  g_events.clear();
  ASSERT_TRUE(FreeLibrary(module));
  EXPECT_EQ((std::vector<std::string>{"detach", "function static", "static", "clean-up"}),
            g_events);
}

}  // namespace
