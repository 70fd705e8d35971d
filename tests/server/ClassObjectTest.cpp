// CStavoraClassFactory and ClassTable against a module object and creation
// functions of the test's own: who holds module locks, what CreateInstance
// refuses, and the one-time creation of the cached class object.
#include <windows.h>

#include <gtest/gtest.h>

#include "server/ClassFactory.h"
#include "server/ClassTable.h"
#include "server/StavoraModule.h"

namespace stavora {
namespace {

struct CreationRecord {
  int calls = 0;
  IUnknown* outer = nullptr;
  IID iid{};
  HRESULT result = E_NOINTERFACE;
};
CreationRecord g_creation;

HRESULT RecordCreation(IUnknown* outer, REFIID iid, void** out) {
  ++g_creation.calls;
  g_creation.outer = outer;
  g_creation.iid = iid;
  *out = nullptr;
  return g_creation.result;
}

class ClassFactoryTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_creation = CreationRecord{};
    // The class table's own first reference.
    ASSERT_EQ(S_OK, CStavoraClassFactory::Create(&RecordCreation, m_module, IID_IUnknown,
                                                 reinterpret_cast<void**>(&m_tableReference)));
    ASSERT_NE(nullptr, m_tableReference);
    ASSERT_EQ(0, m_module.LockCount()) << "the table's reference must hold no module lock";
  }
  void TearDown() override {
    if (m_tableReference != nullptr) {
      EXPECT_EQ(0u, m_tableReference->Release());
    }
  }

  IClassFactory* ClientReference() {
    IClassFactory* factory = nullptr;
    EXPECT_EQ(S_OK, m_tableReference->QueryInterface(IID_IClassFactory,
                                                     reinterpret_cast<void**>(&factory)));
    return factory;
  }

  CStavoraModule m_module{GetModuleHandleW(nullptr)};
  IUnknown* m_tableReference = nullptr;
};

TEST_F(ClassFactoryTest, ClientReferencesHoldExactlyOneModuleLock) {
  IClassFactory* first = ClientReference();
  EXPECT_EQ(1, m_module.LockCount());
  IClassFactory* second = ClientReference();
  EXPECT_EQ(1, m_module.LockCount()) << "a second client reference took another lock";
  EXPECT_EQ(2u, second->Release());
  EXPECT_EQ(1, m_module.LockCount());
  EXPECT_EQ(1u, first->Release());
  EXPECT_EQ(0, m_module.LockCount());
}

TEST_F(ClassFactoryTest, QueryInterfaceAnswersOnlyUnknownAndClassFactory) {
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, m_tableReference->QueryInterface(IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, m_tableReference->QueryInterface(IID_IUnknown, nullptr));
  IUnknown* unknown = nullptr;
  ASSERT_EQ(S_OK, m_tableReference->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)));
  EXPECT_EQ(m_tableReference, unknown);
  unknown->Release();
}

TEST_F(ClassFactoryTest, CreateInstanceRefusesAggregationExceptForIUnknown) {
  IClassFactory* factory = ClientReference();
  IUnknown* outer = reinterpret_cast<IUnknown*>(m_tableReference);  // any non-null pointer
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, g_creation.calls) << "an object was created for a refused aggregation";

  EXPECT_EQ(E_NOINTERFACE, factory->CreateInstance(outer, IID_IUnknown, &out));
  EXPECT_EQ(1, g_creation.calls);
  EXPECT_EQ(outer, g_creation.outer);
  EXPECT_TRUE(IsEqualIID(IID_IUnknown, g_creation.iid));

  g_creation.result = S_FALSE;  // the creation function's result passes unchanged
  EXPECT_EQ(S_FALSE, factory->CreateInstance(nullptr, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, g_creation.outer);
  EXPECT_TRUE(IsEqualIID(IID_IDispatch, g_creation.iid));

  EXPECT_EQ(E_POINTER, factory->CreateInstance(nullptr, IID_IUnknown, nullptr));
  EXPECT_EQ(2, g_creation.calls);
  factory->Release();
}

TEST_F(ClassFactoryTest, LockServerCountsEveryCallWithoutChecking) {
  IClassFactory* factory = ClientReference();
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(S_OK, factory->LockServer(TRUE));
  EXPECT_EQ(3, m_module.LockCount());
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));
  EXPECT_EQ(S_OK, factory->LockServer(FALSE));  // unmatched: not refused
  EXPECT_EQ(0, m_module.LockCount());
  factory->Release();
  m_module.AddLock();  // give back the unmatched unlock
}

TEST(ClassFactoryCreateTest, FailedQueryInterfaceDestroysTheNewObject) {
  CStavoraModule module(GetModuleHandleW(nullptr));
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, CStavoraClassFactory::Create(&RecordCreation, module, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(0, module.LockCount());
  EXPECT_EQ(E_POINTER, CStavoraClassFactory::Create(&RecordCreation, module, IID_IUnknown, nullptr));
}

// --- ClassTable ---

const CLSID kTestClsid = {0x5d3e8c21, 0x9b47, 0x4f0a, {0x8c, 0x6e, 0x2b, 0x71, 0xd4, 0xa9, 0xe0, 0x13}};
const CLSID kOtherClsid = {0xa1c94e72, 0x3f58, 0x4b6d, {0x9e, 0x20, 0x7c, 0x5d, 0x18, 0xf3, 0xb6, 0xa4}};

CStavoraModule* g_tableModule = nullptr;
int g_classObjectCreations = 0;
HRESULT g_classObjectResult = S_OK;

HRESULT CreateTestClassObject(InstanceCreationFunction createInstance, REFIID iid, void** out) {
  ++g_classObjectCreations;
  if (FAILED(g_classObjectResult)) {
    *out = nullptr;
    return g_classObjectResult;
  }
  return CStavoraClassFactory::Create(createInstance, *g_tableModule, iid, out);
}

HRESULT NoRegistry(CStavoraModule&, bool, const ScriptTarget&) { return E_NOTIMPL; }

bool FailToInitialise(CRITICAL_SECTION*) { return false; }

class ClassTableTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_tableModule = &m_module;
    g_classObjectCreations = 0;
    g_classObjectResult = S_OK;
  }
  void TearDown() override { g_tableModule = nullptr; }

  static ClassEntry Row() {
    return ClassEntry{&kTestClsid, &NoRegistry, &CreateTestClassObject, &RecordCreation};
  }

  CStavoraModule m_module{GetModuleHandleW(nullptr)};
};

TEST_F(ClassTableTest, CreatesTheClassObjectOnceAndHandsOutNewReferences) {
  ClassTable table(GetModuleHandleW(nullptr), Row(), &CStavoraModule::InitialiseLock);
  IClassFactory* first = nullptr;
  IClassFactory* second = nullptr;
  ASSERT_EQ(S_OK, table.GetClassObject(kTestClsid, IID_IClassFactory, reinterpret_cast<void**>(&first)));
  ASSERT_EQ(S_OK, table.GetClassObject(kTestClsid, IID_IClassFactory, reinterpret_cast<void**>(&second)));
  EXPECT_EQ(first, second);
  EXPECT_EQ(1, g_classObjectCreations);
  EXPECT_EQ(1, m_module.LockCount());
  first->Release();
  EXPECT_EQ(1u, second->Release()) << "the table's own reference should be the last one left";
  EXPECT_EQ(0, m_module.LockCount());
}

TEST_F(ClassTableTest, UnknownClassesAndBadArguments) {
  ClassTable table(GetModuleHandleW(nullptr), Row(), &CStavoraModule::InitialiseLock);
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE, table.GetClassObject(kOtherClsid, IID_IUnknown, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(E_POINTER, table.GetClassObject(kTestClsid, IID_IUnknown, nullptr));
  EXPECT_EQ(0, g_classObjectCreations);

  out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_NOINTERFACE, table.GetClassObject(kTestClsid, IID_IDispatch, &out));
  EXPECT_EQ(nullptr, out);
  EXPECT_EQ(1, g_classObjectCreations) << "the class object is cached even when the IID is refused";
  EXPECT_EQ(0, m_module.LockCount());
}

TEST_F(ClassTableTest, FailedCreationIsNotCachedAndIsRetried) {
  ClassTable table(GetModuleHandleW(nullptr), Row(), &CStavoraModule::InitialiseLock);
  g_classObjectResult = E_OUTOFMEMORY;
  void* out = reinterpret_cast<void*>(1);
  EXPECT_EQ(E_OUTOFMEMORY, table.GetClassObject(kTestClsid, IID_IClassFactory, &out));
  EXPECT_EQ(nullptr, out);
  g_classObjectResult = S_OK;
  ASSERT_EQ(S_OK, table.GetClassObject(kTestClsid, IID_IClassFactory, &out));
  EXPECT_EQ(2, g_classObjectCreations);
  static_cast<IUnknown*>(out)->Release();
}

struct ClassObjectRequest {
  ClassTable* table;
  IUnknown* result;
  HRESULT hr;
};

DWORD WINAPI RequestClassObject(void* argument) {
  auto* request = static_cast<ClassObjectRequest*>(argument);
  request->hr = request->table->GetClassObject(kTestClsid, IID_IUnknown,
                                               reinterpret_cast<void**>(&request->result));
  return 0;
}

TEST_F(ClassTableTest, ConcurrentFirstRequestsCreateOneClassObject) {
  ClassTable table(GetModuleHandleW(nullptr), Row(), &CStavoraModule::InitialiseLock);
  constexpr int kThreads = 8;
  using Request = ClassObjectRequest;
  Request requests[kThreads];
  HANDLE threads[kThreads];
  for (int i = 0; i < kThreads; ++i) {
    requests[i] = Request{&table, nullptr, E_FAIL};
    threads[i] = CreateThread(nullptr, 0, &RequestClassObject, &requests[i], 0, nullptr);
    ASSERT_NE(nullptr, threads[i]);
  }
  WaitForMultipleObjects(kThreads, threads, TRUE, INFINITE);
  for (int i = 0; i < kThreads; ++i) {
    CloseHandle(threads[i]);
    EXPECT_EQ(S_OK, requests[i].hr) << "request " << i;
    EXPECT_EQ(requests[0].result, requests[i].result) << "request " << i;
  }
  EXPECT_EQ(1, g_classObjectCreations);
  for (Request& request : requests) request.result->Release();
  EXPECT_EQ(0, m_module.LockCount());
}

TEST_F(ClassTableTest, UninitialisedTableRefusesEveryRequest) {
  g_initialisationFailed = false;
  {
    ClassTable table(GetModuleHandleW(nullptr), Row(), &FailToInitialise);
    EXPECT_FALSE(table.IsInitialised());
    EXPECT_TRUE(g_initialisationFailed);
    void* out = reinterpret_cast<void*>(1);
    EXPECT_EQ(E_UNEXPECTED, table.GetClassObject(kTestClsid, IID_IUnknown, &out));
    EXPECT_EQ(nullptr, out);
    EXPECT_EQ(0, g_classObjectCreations);
  }
  g_initialisationFailed = false;
}

}  // namespace
}  // namespace stavora
