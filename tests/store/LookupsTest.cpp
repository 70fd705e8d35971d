// The three lookups over a store built by hand, with automation calls that
// fail on demand: every row of the failure table, and every result built
// under the store's lock. The name rule and the result shapes over real files
// are tested through the lookup object (StavoraLookupTest.cpp).
#include "store/LookupsWin32.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/ScopedBstr.h"
#include "platform/ScopedVariant.h"
#include "tests/store/NameListCheck.h"
#include "tests/support/BstrOf.h"

namespace stavora {
namespace {

// A lock that counts, so that the automation calls can see it held.
class CountingLock final : public IStoreLock {
 public:
  void Enter() override {
    ++depth;
    ++entered;
  }
  void Leave() override { --depth; }
  int depth = 0;
  int entered = 0;
};

// What the failing automation calls do; reset by each fixture.
struct FaultPlan {
  const CountingLock* lock = nullptr;
  bool failCreate = false;
  int failPutAt = -1;    // index whose SafeArrayPutElement fails
  int failAllocAt = -1;  // number of the string allocation that fails, from 0
  HRESULT putFailure = DISP_E_BADINDEX;
  int allocations = 0;
  int callsOutsideLock = 0;
};
FaultPlan g_plan;

void CountCall() {
  if (g_plan.lock == nullptr || g_plan.lock->depth != 1) ++g_plan.callsOutsideLock;
}

SAFEARRAY* STDAPICALLTYPE FakeCreate(VARTYPE type, UINT dimensions, SAFEARRAYBOUND* bounds) {
  CountCall();
  if (g_plan.failCreate) return nullptr;
  return SafeArrayCreate(type, dimensions, bounds);
}

HRESULT STDAPICALLTYPE FakePut(SAFEARRAY* array, LONG* indices, void* element) {
  CountCall();
  if (*indices == g_plan.failPutAt) return g_plan.putFailure;
  return SafeArrayPutElement(array, indices, element);
}

BSTR STDAPICALLTYPE FakeAlloc(const OLECHAR* text, UINT length) {
  CountCall();
  if (g_plan.allocations++ == g_plan.failAllocAt) return nullptr;
  return SysAllocStringLen(text, length);
}

const AutomationCalls kFakeCalls{&FakeCreate, &FakePut, &FakeAlloc};

// One BSTR made from UTF-16 text, zeros included.
ScopedBstr Name(const WString& text) { return BstrOf(text); }

class Lookups : public ::testing::Test {
 protected:
  void SetUp() override {
    g_plan = FaultPlan();
    g_plan.lock = &lock;
    store[u"ALPHA"] = {{u"A", u"Value One"}, {u"B", u"two"}};
    store[u"BETA"] = {{u"X", u"D:\\Data"}};
    store[u"EMPTY"] = {};
    store[u"GR\u00f6\u00dfE"] = {{u"K", u"v"}};
    store[u"VOID"] = {{u"NOTHING", u""}};
  }
  void TearDown() override {
    EXPECT_EQ(lock.depth, 0) << "a lookup left the lock held";
    EXPECT_EQ(g_plan.callsOutsideLock, 0) << "a result was built outside the lock";
  }

  // Runs LookUpSection with the fake calls and returns its result code.
  HRESULT Section(const WString& name, ScopedVariant& keys) {
    ScopedBstr bstr = Name(name);
    return LookUpSection(store, lock, bstr.Get(), keys.Receive(), kFakeCalls);
  }
  HRESULT Key(const WString& section, const WString& key, ScopedBstr& value) {
    ScopedBstr s = Name(section), k = Name(key);
    return LookUpKey(store, lock, s.Get(), k.Get(), value.Receive(), kFakeCalls);
  }

  SectionMap store;
  CountingLock lock;
};

TEST_F(Lookups, SectionsInStoreOrder) {
  ScopedVariant sections;
  EXPECT_EQ(LookUpSections(store, lock, sections.Receive(), kFakeCalls), S_OK);
  EXPECT_EQ(NamesIn(sections.Get()),
            (Names{u"ALPHA", u"BETA", u"EMPTY", u"GR\u00f6\u00dfE", u"VOID"}));
  EXPECT_EQ(lock.entered, 1);
}

TEST_F(Lookups, EmptyStoreGivesZeroElementArrays) {
  store.clear();
  ScopedVariant sections;
  EXPECT_EQ(LookUpSections(store, lock, sections.Receive(), kFakeCalls), S_OK);
  ASSERT_EQ(sections.Type(), VT_ARRAY | VT_VARIANT);
  ASSERT_NE(sections.Get().parray, nullptr) << "an empty list is an array, not a missing one";
  EXPECT_EQ(sections.Get().parray->rgsabound[0].cElements, 0u);
  EXPECT_EQ(sections.Get().parray->rgsabound[0].lLbound, 0);

  ScopedVariant keys;
  EXPECT_EQ(Section(u"ALPHA", keys), S_FALSE);
  EXPECT_EQ(keys.Type(), VT_EMPTY);
  ScopedBstr value;
  EXPECT_EQ(Key(u"ALPHA", u"A", value), S_FALSE);
  ASSERT_NE(value.Get(), nullptr);
  EXPECT_EQ(value.Length(), 0u);
}

TEST_F(Lookups, NullOutPointersGivePointerErrors) {
  ScopedBstr name = Name(u"ALPHA");
  EXPECT_EQ(LookUpSections(store, lock, nullptr, kFakeCalls), E_POINTER);
  EXPECT_EQ(LookUpSection(store, lock, name.Get(), nullptr, kFakeCalls), E_POINTER);
  EXPECT_EQ(LookUpKey(store, lock, name.Get(), name.Get(), nullptr, kFakeCalls), E_POINTER);
  EXPECT_EQ(g_plan.allocations, 0);
}

TEST_F(Lookups, ArrayThatCannotBeCreatedGivesANullArray) {
  g_plan.failCreate = true;
  ScopedVariant sections;
  EXPECT_EQ(LookUpSections(store, lock, sections.Receive(), kFakeCalls), S_OK);
  EXPECT_EQ(sections.Type(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(sections.Get().parray, nullptr);

  ScopedVariant keys;
  EXPECT_EQ(Section(u"alpha", keys), S_OK);
  EXPECT_EQ(keys.Type(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(keys.Get().parray, nullptr);
}

TEST_F(Lookups, FailedPutGivesItsResultAndAnEmptyVariant) {
  g_plan.failPutAt = 1;
  ScopedVariant sections;
  EXPECT_EQ(LookUpSections(store, lock, sections.Receive(), kFakeCalls), DISP_E_BADINDEX);
  EXPECT_EQ(sections.Type(), VT_EMPTY);

  g_plan.putFailure = E_OUTOFMEMORY;
  ScopedVariant keys;
  EXPECT_EQ(Section(u"alpha", keys), E_OUTOFMEMORY);
  EXPECT_EQ(keys.Type(), VT_EMPTY);
}

TEST_F(Lookups, NameCopyFailureGivesOutOfMemoryAndAnEmptyVariant) {
  g_plan.failAllocAt = 2;  // the third section name
  ScopedVariant sections;
  EXPECT_EQ(LookUpSections(store, lock, sections.Receive(), kFakeCalls), E_OUTOFMEMORY);
  EXPECT_EQ(sections.Type(), VT_EMPTY);

  g_plan.allocations = 0;
  g_plan.failAllocAt = 0;
  ScopedVariant keys;
  EXPECT_EQ(Section(u"beta", keys), E_OUTOFMEMORY);
  EXPECT_EQ(keys.Type(), VT_EMPTY);
}

TEST_F(Lookups, ValueCopyFailureGivesOutOfMemoryNeverANullSuccess) {
  g_plan.failAllocAt = 0;
  // The out value holds a stale string on entry, which the lookup must
  // overwrite (a ScopedBstr's Receive would clear it first).
  ScopedBstr stale = Name(u"stale"), section = Name(u"alpha"), key = Name(u"a"), missing = Name(u"missing");
  BSTR value = stale.Get();
  EXPECT_EQ(LookUpKey(store, lock, section.Get(), key.Get(), &value, kFakeCalls), E_OUTOFMEMORY);
  EXPECT_EQ(value, nullptr);

  g_plan.allocations = 0;
  value = stale.Get();
  EXPECT_EQ(LookUpKey(store, lock, section.Get(), missing.Get(), &value, kFakeCalls), E_OUTOFMEMORY)
      << "not even the empty answer could be made";
  EXPECT_EQ(value, nullptr);
}

}  // namespace
}  // namespace stavora
