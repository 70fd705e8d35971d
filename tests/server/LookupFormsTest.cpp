// Both forms of a lookup object over a lookup class of the test's own, with a
// module object of its own: when the module lock is taken and given back.
#include <windows.h>

#include <gtest/gtest.h>

#include "server/LookupForms.h"
#include "server/StavoraModule.h"
#include "server/TypeInfoCache.h"

namespace stavora {
namespace {

CStavoraModule g_testModule(GetModuleHandleW(nullptr));
TypeInfoCache g_testTypeInfo(g_testModule, IID_IStavoraLookup);

// The module's lock count as the last lookup saw it while it was destroyed.
LONG g_locksDuringTeardown = -1;

// A lookup with no store; its destructor stands for the real one, which
// stops the watcher thread and waits for it: our code runs until it returns.
class TeardownLookup : public IStavoraLookup {
 public:
  virtual ~TeardownLookup() { g_locksDuringTeardown = TheModule().LockCount(); }
  HRESULT STDMETHODCALLTYPE GetSections(VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetSection(BSTR, VARIANT*) override { return E_NOTIMPL; }
  HRESULT STDMETHODCALLTYPE GetKey(BSTR, BSTR, BSTR*) override { return E_NOTIMPL; }
};

// An aggregating object that counts nothing and answers nothing.
class Outer final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void** out) override {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
};

// DllCanUnloadNow answers from the lock count: it must not reach zero while
// the object's destructor still runs.
TEST(LookupForms, TheModuleLockIsGivenBackOnlyAfterTheObjectIsDestroyed) {
  ASSERT_EQ(0, TheModule().LockCount());
  IUnknown* standalone = nullptr;
  ASSERT_EQ(S_OK, CreateLookupInstanceT<TeardownLookup>(nullptr, IID_IUnknown,
                                                        reinterpret_cast<void**>(&standalone)));
  EXPECT_EQ(1, TheModule().LockCount());
  g_locksDuringTeardown = -1;
  EXPECT_EQ(0u, standalone->Release());
  EXPECT_EQ(1, g_locksDuringTeardown) << "standalone form";
  EXPECT_EQ(0, TheModule().LockCount());

  Outer outer;
  IUnknown* aggregated = nullptr;
  ASSERT_EQ(S_OK, CreateLookupInstanceT<TeardownLookup>(&outer, IID_IUnknown,
                                                        reinterpret_cast<void**>(&aggregated)));
  EXPECT_EQ(1, TheModule().LockCount());
  g_locksDuringTeardown = -1;
  EXPECT_EQ(0u, aggregated->Release());
  EXPECT_EQ(1, g_locksDuringTeardown) << "aggregated form";
  EXPECT_EQ(0, TheModule().LockCount());

  // A form that does not give the interface asked for is destroyed at once,
  // the same way.
  IUnknown* refused = reinterpret_cast<IUnknown*>(1);
  g_locksDuringTeardown = -1;
  EXPECT_EQ(E_NOINTERFACE, CreateLookupInstanceT<TeardownLookup>(
                               nullptr, IID_IClassFactory, reinterpret_cast<void**>(&refused)));
  EXPECT_EQ(nullptr, refused);
  EXPECT_EQ(1, g_locksDuringTeardown) << "refused form";
  EXPECT_EQ(0, TheModule().LockCount());
}

}  // namespace

CStavoraModule& TheModule() { return g_testModule; }
TypeInfoCache& LookupTypeInfo() { return g_testTypeInfo; }

}  // namespace stavora
