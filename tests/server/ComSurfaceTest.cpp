// The COM surface of Stavora.dll as a client sees it: the class object, the
// standalone and aggregated object forms, and when the DLL may be unloaded.
#include <windows.h>

#include <ocidl.h>

#include <gtest/gtest.h>

#include "tests/server/StavoraDllFixture.h"

namespace stavora_test {
namespace {

const GUID kLibId = {0xa1c94e72, 0x3f58, 0x4b6d, {0x9e, 0x20, 0x7c, 0x5d, 0x18, 0xf3, 0xb6, 0xa4}};
const GUID kAppId = {0x2e7b5f90, 0xc4a1, 0x4d83, {0xb9, 0x62, 0x0f, 0x8a, 0x3c, 0x6d, 0x51, 0xe7}};

// Every test starts and must end with nothing holding the DLL.
class ComSurfaceTest : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(S_OK, CanUnloadNow()) << "a previous test left a lock"; }
  void TearDown() override { EXPECT_EQ(S_OK, CanUnloadNow()) << "this test left a lock"; }
};

// A controlling outer object that counts what the aggregated part asks of it.
class OuterUnknown final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    ++queries;
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (IsEqualIID(iid, IID_IUnknown)) {
      AddRef();
      *out = this;
      return S_OK;
    }
    // Everything else is what the outer object delegates to its inner part.
    if (inner != nullptr) return inner->QueryInterface(iid, out);
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++count; }
  ULONG STDMETHODCALLTYPE Release() override { return --count; }

  ULONG count = 1;
  int queries = 0;
  IUnknown* inner = nullptr;  // the holder
};

TEST_F(ComSurfaceTest, QueryInterfaceGivesOnePointerAndCountsEachCall) {
  IUnknown* object = CreateLookup<IUnknown>(IID_IUnknown);
  ASSERT_NE(nullptr, object);
  EXPECT_EQ(1u, RefCount(object));

  IUnknown* unknown = nullptr;
  IDispatch* dispatch = nullptr;
  IStavoraLookup* lookup = nullptr;
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
  EXPECT_EQ(2u, RefCount(object));
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  EXPECT_EQ(3u, RefCount(object));
  ASSERT_EQ(S_OK, object->QueryInterface(IID_IStavoraLookup, reinterpret_cast<void**>(&lookup)));
  EXPECT_EQ(4u, RefCount(object));
  EXPECT_EQ(static_cast<void*>(object), static_cast<void*>(unknown));
  EXPECT_EQ(static_cast<void*>(object), static_cast<void*>(dispatch));
  EXPECT_EQ(static_cast<void*>(object), static_cast<void*>(lookup));

  EXPECT_EQ(3u, lookup->Release());
  EXPECT_EQ(2u, dispatch->Release());
  EXPECT_EQ(1u, unknown->Release());
  EXPECT_EQ(S_FALSE, CanUnloadNow()) << "a live object must keep the DLL loaded";
  EXPECT_EQ(0u, object->Release());
}

TEST_F(ComSurfaceTest, UnsupportedInterfacesGiveNoInterfaceAndNull) {
  IStavoraLookup* object = CreateLookup<IStavoraLookup>(IID_IStavoraLookup);
  ASSERT_NE(nullptr, object);
  for (const IID* iid : {&IID_IClassFactory, &IID_ISupportErrorInfo, &IID_IProvideClassInfo,
                         &IID_IConnectionPointContainer}) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_NOINTERFACE, object->QueryInterface(*iid, &out));
    EXPECT_EQ(nullptr, out);
  }
  EXPECT_EQ(E_POINTER, object->QueryInterface(IID_IUnknown, nullptr));
  EXPECT_EQ(1u, RefCount(object)) << "a failed QueryInterface changed the count";
  EXPECT_EQ(0u, object->Release());
}

TEST_F(ComSurfaceTest, CreateInstanceForDispatchGivesCountOne) {
  IDispatch* object = CreateLookup<IDispatch>(IID_IDispatch);
  ASSERT_NE(nullptr, object);
  EXPECT_EQ(1u, RefCount(object));
  EXPECT_EQ(0u, object->Release());
}

TEST_F(ComSurfaceTest, CreateInstanceForAnUnsupportedInterfaceBuildsAndDestroys) {
  IClassFactory* factory = GetClassFactory();
  ASSERT_NE(nullptr, factory);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(nullptr, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
  factory->Release();
  // The fixture checks that the destroyed object gave back its module lock.
}

TEST_F(ComSurfaceTest, AggregationOnlyForIUnknown) {
  IClassFactory* factory = GetClassFactory();
  ASSERT_NE(nullptr, factory);
  OuterUnknown outer;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IStavoraLookup, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(&outer, IID_IDispatch, &out));
  EXPECT_EQ(1u, outer.count) << "a refused aggregation touched the outer object";

  IUnknown* holder = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(&outer, IID_IUnknown, reinterpret_cast<void**>(&holder)));
  factory->Release();
  ASSERT_NE(nullptr, holder);
  EXPECT_NE(static_cast<void*>(&outer), static_cast<void*>(holder));
  EXPECT_EQ(1u, RefCount(holder));
  EXPECT_EQ(1u, outer.count) << "the controlling unknown must not be counted";
  outer.inner = holder;

  IStavoraLookup* lookup = nullptr;
  ASSERT_EQ(S_OK, holder->QueryInterface(IID_IStavoraLookup, reinterpret_cast<void**>(&lookup)));
  EXPECT_NE(static_cast<void*>(holder), static_cast<void*>(lookup));
  EXPECT_EQ(2u, outer.count) << "the inner pointer's reference belongs to the outer object";
  EXPECT_EQ(1u, RefCount(holder)) << "the holder's own count moved";

  // The inner part's IUnknown is the outer object's.
  IUnknown* identity = nullptr;
  const int queriesBefore = outer.queries;
  ASSERT_EQ(S_OK, lookup->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
  EXPECT_EQ(static_cast<IUnknown*>(&outer), identity);
  EXPECT_EQ(queriesBefore + 1, outer.queries);
  EXPECT_EQ(4u, lookup->AddRef()) << "AddRef must go to the outer object";
  EXPECT_EQ(3u, lookup->Release());
  identity->Release();

  IDispatch* dispatch = nullptr;
  ASSERT_EQ(S_OK, lookup->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&dispatch)));
  EXPECT_EQ(static_cast<void*>(lookup), static_cast<void*>(dispatch));
  dispatch->Release();
  lookup->Release();
  EXPECT_EQ(1u, outer.count);

  EXPECT_EQ(S_FALSE, CanUnloadNow()) << "a live aggregated object must keep the DLL loaded";
  outer.inner = nullptr;
  EXPECT_EQ(0u, holder->Release());
}

TEST_F(ComSurfaceTest, ClassObjectReferencesAndLockServerKeepTheDllLoaded) {
  IClassFactory* factory = GetClassFactory();
  ASSERT_NE(nullptr, factory);
  EXPECT_EQ(S_FALSE, CanUnloadNow());
  IClassFactory* second = GetClassFactory();
  ASSERT_NE(nullptr, second);
  EXPECT_EQ(factory, second) << "the class object must be created once and cached";
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  second->Release();
  factory->Release();
  EXPECT_EQ(S_FALSE, CanUnloadNow()) << "LockServer(TRUE) must keep the DLL loaded";
  IClassFactory* third = GetClassFactory();
  ASSERT_NE(nullptr, third);
  EXPECT_EQ(factory, third) << "the cached class object must outlive its client references";
  EXPECT_EQ(S_OK, third->LockServer(FALSE));
  third->Release();
  // The fixture checks that the cached reference alone allows unloading.
}

TEST_F(ComSurfaceTest, DllGetClassObjectRefusesOtherClassesAndBadArguments) {
  for (const GUID* clsid : {&kLibId, &kAppId, &IID_IStavoraLookup}) {
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, Dll().getClassObject(*clsid, IID_IClassFactory, &out));
    EXPECT_EQ(nullptr, out);
  }
  EXPECT_EQ(E_POINTER, Dll().getClassObject(CLSID_StavoraLookup, IID_IClassFactory, nullptr));
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, Dll().getClassObject(CLSID_StavoraLookup, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(S_OK, Dll().getClassObject(CLSID_StavoraLookup, IID_IUnknown,
                                       reinterpret_cast<void**>(&unknown)));
  unknown->Release();
}

// --- The module lock is held until the object is destroyed. ---
//
// The lookup's destructor ends its watcher thread. Every thread that ends
// runs this program's TLS callbacks, so the callback sees the watcher's end,
// which happens inside the teardown, and asks the DLL whether it may unload:
// it must not, since its code still runs.

volatile LONG g_probeArmed = 0;
volatile LONG g_detachesSeen = 0;
volatile LONG g_detachesLocked = 0;

void NTAPI ThreadEndProbe(PVOID, DWORD reason, PVOID) {
  if (reason != DLL_THREAD_DETACH || g_probeArmed == 0) return;
  InterlockedIncrement(&g_detachesSeen);
  if (Dll().canUnloadNow() != S_OK) InterlockedIncrement(&g_detachesLocked);
}

extern "C" {
__attribute__((section(".CRT$XLY"), used)) const PIMAGE_TLS_CALLBACK g_threadEndProbe = ThreadEndProbe;
}

TEST_F(ComSurfaceTest, ModuleLockIsHeldUntilTheObjectIsDestroyed) {
  IStavoraLookup* object = CreateLookup<IStavoraLookup>(IID_IStavoraLookup);
  ASSERT_NE(nullptr, object);
  ASSERT_EQ(S_FALSE, CanUnloadNow());
  g_detachesSeen = 0;
  g_detachesLocked = 0;
  InterlockedExchange(&g_probeArmed, 1);
  EXPECT_EQ(0u, object->Release());
  InterlockedExchange(&g_probeArmed, 0);
  ASSERT_GE(g_detachesSeen, 1) << "the watcher thread did not end inside the teardown";
  EXPECT_EQ(g_detachesSeen, g_detachesLocked)
      << "the DLL could be unloaded while the object was being destroyed";
  EXPECT_EQ(S_OK, CanUnloadNow()) << "the lock was not given back afterwards";
}

}  // namespace
}  // namespace stavora_test
