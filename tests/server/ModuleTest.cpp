// CStavoraModule on instances of its own: lock count, termination callbacks,
// the common registration variable, and a module whose lock failed.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "registrar/RegistrarBase.h"
#include "server/StavoraModule.h"

namespace stavora {
namespace {

HINSTANCE ThisExecutable() { return GetModuleHandleW(nullptr); }

// Records the variables it is given; DefineVariable returns `result`.
class RecordingRegistrar final : public IRegistrarBase {
 public:
  explicit RecordingRegistrar(std::int32_t result = 0) : m_result(result) {}
  std::int32_t QueryInterface(const void*, void**) override { return E_NOTIMPL; }
  std::uint32_t AddRef() override { return 1; }
  std::uint32_t Release() override { return 0; }
  std::int32_t DefineVariable(const char16_t* name, const char16_t* value) override {
    names.emplace_back(name);
    values.emplace_back(value);
    return m_result;
  }
  std::int32_t ClearVariables() override { return 0; }

  std::vector<std::u16string> names;
  std::vector<std::u16string> values;

 private:
  std::int32_t m_result;
};

std::vector<int>* g_calls = nullptr;

void RecordCall(void* argument) { g_calls->push_back(static_cast<int>(reinterpret_cast<INT_PTR>(argument))); }

bool FailToInitialise(CRITICAL_SECTION*) { return false; }

TEST(ModuleTest, LockCountStartsAtZeroAndMovesOneAtATime) {
  CStavoraModule module(ThisExecutable());
  ASSERT_TRUE(module.IsInitialised());
  EXPECT_EQ(0, module.LockCount());
  EXPECT_EQ(1, module.AddLock());
  EXPECT_EQ(2, module.AddLock());
  EXPECT_EQ(1, module.ReleaseLock());
  EXPECT_EQ(1, module.LockCount());
  EXPECT_EQ(ThisExecutable(), module.ModuleHandle());
}

constexpr int kRounds = 20000;

DWORD WINAPI ChangeLockCount(void* argument) {
  auto* module = static_cast<CStavoraModule*>(argument);
  for (int i = 0; i < kRounds; ++i) {
    module->AddLock();
    module->AddLock();
    module->ReleaseLock();
  }
  return 0;
}

TEST(ModuleTest, LockCountIsExactUnderConcurrentChanges) {
  CStavoraModule module(ThisExecutable());
  constexpr int kThreads = 4;
  HANDLE threads[kThreads];
  for (HANDLE& thread : threads) {
    thread = CreateThread(nullptr, 0, &ChangeLockCount, &module, 0, nullptr);
    ASSERT_NE(nullptr, thread);
  }
  WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
  for (HANDLE thread : threads) CloseHandle(thread);
  EXPECT_EQ(kThreads * kRounds, module.LockCount());
}

TEST(ModuleTest, TerminationCallbacksRunNewestFirstWithTheirArguments) {
  std::vector<int> calls;
  g_calls = &calls;
  {
    CStavoraModule module(ThisExecutable());
    ASSERT_EQ(S_OK, module.AddTerminationCallback(&RecordCall, reinterpret_cast<void*>(1)));
    ASSERT_EQ(S_OK, module.AddTerminationCallback(&RecordCall, reinterpret_cast<void*>(2)));
    ASSERT_EQ(S_OK, module.AddTerminationCallback(&RecordCall, reinterpret_cast<void*>(3)));
    EXPECT_TRUE(calls.empty()) << "callbacks ran before unload";
  }
  EXPECT_EQ((std::vector<int>{3, 2, 1}), calls);
  g_calls = nullptr;
}

TEST(ModuleTest, CommonVariablesDefineTheApplicationIdOncePerCall) {
  CStavoraModule module(ThisExecutable());
  RecordingRegistrar registrar;
  EXPECT_EQ(S_OK, module.AddCommonVariables(&registrar));
  ASSERT_EQ(1u, registrar.names.size());
  EXPECT_TRUE(registrar.names[0] == u"APPID");
  EXPECT_TRUE(registrar.values[0] == u"{2E7B5F90-C4A1-4D83-B962-0F8A3C6D51E7}");
  EXPECT_EQ(S_OK, module.AddCommonVariables(&registrar));
  EXPECT_EQ(2u, registrar.names.size());
}

TEST(ModuleTest, CommonVariablesPassOnTheRegistrarsFailure) {
  CStavoraModule module(ThisExecutable());
  RecordingRegistrar failing(E_OUTOFMEMORY);
  EXPECT_EQ(E_OUTOFMEMORY, module.AddCommonVariables(&failing));
  EXPECT_EQ(E_POINTER, module.AddCommonVariables(nullptr));
}

TEST(ModuleTest, FailedLockSetsTheFailureFlagAndDisablesTheModule) {
  g_initialisationFailed = false;
  std::vector<int> calls;
  g_calls = &calls;
  {
    CStavoraModule module(ThisExecutable(), &FailToInitialise);
    EXPECT_FALSE(module.IsInitialised());
    EXPECT_TRUE(g_initialisationFailed);
    // The lock does not exist: nothing may be queued behind it.
    EXPECT_EQ(E_UNEXPECTED, module.AddTerminationCallback(&RecordCall, nullptr));
  }
  EXPECT_TRUE(calls.empty());
  g_calls = nullptr;
  g_initialisationFailed = false;

  CStavoraModule healthy(ThisExecutable());
  EXPECT_FALSE(g_initialisationFailed) << "a sound module must not set the failure flag";
}

}  // namespace
}  // namespace stavora
