// The three lookups over a store built by hand: result shapes, result codes,
// the name rule on the client's names, and every failure of the automation
// calls that build a result, all under the store's lock.
#include "store/LookupsWin32.h"

#include <gtest/gtest.h>

#include <vector>

#include "platform/ScopedBstr.h"
#include "platform/ScopedVariant.h"

namespace stavora {
namespace {

// A lock that counts, so that the automation calls can see it held.
class CountingLock final : public StoreLock {
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
ScopedBstr Name(const WString& text) { return ScopedBstr::FromText(text); }

// The names held by a name list; fails the test on any wrong shape.
std::vector<WString> NamesIn(const VARIANT& list) {
  std::vector<WString> names;
  EXPECT_EQ(list.vt, VT_ARRAY | VT_VARIANT) << "vt";
  if (list.vt != (VT_ARRAY | VT_VARIANT) || list.parray == nullptr) return names;
  SAFEARRAY* array = list.parray;
  EXPECT_EQ(SafeArrayGetDim(array), 1u);
  LONG lower = -1, upper = -2;
  EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
  EXPECT_EQ(lower, 0) << "lower bound";
  VARTYPE elementType = VT_ILLEGAL;
  EXPECT_EQ(SafeArrayGetVartype(array, &elementType), S_OK);
  EXPECT_EQ(elementType, VT_VARIANT);
  for (LONG i = lower; i <= upper; ++i) {
    ScopedVariant element;
    EXPECT_EQ(SafeArrayGetElement(array, &i, element.Receive()), S_OK);
    EXPECT_EQ(element.Type(), VT_BSTR) << "element " << i;
    if (element.Type() == VT_BSTR) {
      names.emplace_back(reinterpret_cast<const char16_t*>(element.Get().bstrVal),
                         SysStringLen(element.Get().bstrVal));
    }
  }
  return names;
}

using Names = std::vector<WString>;

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

TEST_F(Lookups, SectionNamesMatchByAsciiCaseOnly) {
  for (const WString name : {u"alpha", u"Alpha", u"ALPHA", u"aLpHa"}) {
    ScopedVariant keys;
    EXPECT_EQ(Section(name, keys), S_OK) << "section " << testing::PrintToString(name);
    EXPECT_EQ(NamesIn(keys.Get()), (Names{u"A", u"B"}));
  }
  ScopedVariant keys;
  EXPECT_EQ(Section(u"gr\u00f6\u00dfe", keys), S_OK) << "only a-z fold";
  EXPECT_EQ(NamesIn(keys.Get()), (Names{u"K"}));
  for (const WString name : {u"GR\u00d6SSE", u"GR\u00d6\u00dfE", u" ALPHA", u"ALPHA ", u"ALPH",
                             u"ALPHAS", u""}) {
    ScopedVariant missing;
    EXPECT_EQ(Section(name, missing), S_FALSE) << "section " << testing::PrintToString(name);
    EXPECT_EQ(missing.Type(), VT_EMPTY);
  }
}

TEST_F(Lookups, NameIsReadUpToItsFirstZero) {
  ScopedVariant keys;
  EXPECT_EQ(Section(WString(u"alpha\0junk", 10), keys), S_OK);
  EXPECT_EQ(NamesIn(keys.Get()), (Names{u"A", u"B"}));
  ScopedBstr value;
  EXPECT_EQ(Key(WString(u"beta\0", 5), WString(u"x\0y", 3), value), S_OK);
  EXPECT_EQ(value.Text(), u"D:\\Data");
  EXPECT_EQ(ClientName(nullptr), u"");
}

TEST_F(Lookups, NullNamesReadAsTheEmptyName) {
  ScopedVariant keys;
  EXPECT_EQ(LookUpSection(store, lock, nullptr, keys.Receive(), kFakeCalls), S_FALSE);
  EXPECT_EQ(keys.Type(), VT_EMPTY);
  ScopedBstr value;
  EXPECT_EQ(LookUpKey(store, lock, nullptr, nullptr, value.Receive(), kFakeCalls), S_FALSE);
  ASSERT_NE(value.Get(), nullptr);
  EXPECT_EQ(value.Length(), 0u);
  ScopedBstr section = Name(u"alpha");
  EXPECT_EQ(LookUpKey(store, lock, section.Get(), nullptr, value.Receive(), kFakeCalls),
            S_FALSE);
  EXPECT_EQ(value.Length(), 0u);
}

TEST_F(Lookups, KeyValuesKeepTheirCase) {
  ScopedBstr value;
  EXPECT_EQ(Key(u"alpha", u"a", value), S_OK);
  EXPECT_EQ(value.Text(), u"Value One");
  EXPECT_EQ(Key(u"Beta", u"X", value), S_OK);
  EXPECT_EQ(value.Text(), u"D:\\Data");
}

TEST_F(Lookups, MissingSectionOrKeyGivesFalseAndAnEmptyString) {
  const WString cases[][2] = {{u"GAMMA", u"A"}, {u"ALPHA", u"C"}, {u"ALPHA", u" A"},
                              {u"EMPTY", u"A"}, {u"BETA", u"A"}};
  for (const auto& c : cases) {
    ScopedBstr value = Name(u"stale");
    EXPECT_EQ(Key(c[0], c[1], value), S_FALSE) << testing::PrintToString(c[0]) << "/"
                                               << testing::PrintToString(c[1]);
    ASSERT_NE(value.Get(), nullptr) << "a missing key is an empty string, never null";
    EXPECT_EQ(value.Length(), 0u);
  }
}

TEST_F(Lookups, KeylessSectionAndEmptyValueAreFound) {
  ScopedVariant keys;
  EXPECT_EQ(Section(u"empty", keys), S_OK);
  ASSERT_EQ(keys.Type(), VT_ARRAY | VT_VARIANT);
  ASSERT_NE(keys.Get().parray, nullptr);
  EXPECT_EQ(NamesIn(keys.Get()), Names{});

  ScopedBstr value;
  EXPECT_EQ(Key(u"void", u"nothing", value), S_OK) << "a stored empty value is found";
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
  ScopedBstr value = Name(u"stale");
  EXPECT_EQ(Key(u"alpha", u"a", value), E_OUTOFMEMORY);
  EXPECT_EQ(value.Get(), nullptr);

  g_plan.allocations = 0;
  EXPECT_EQ(Key(u"alpha", u"missing", value), E_OUTOFMEMORY)
      << "not even the empty answer could be made";
  EXPECT_EQ(value.Get(), nullptr);
}

TEST_F(Lookups, ResultsAreFreshCopiesEachCall) {
  ScopedBstr first, second;
  EXPECT_EQ(Key(u"alpha", u"b", first), S_OK);
  EXPECT_EQ(Key(u"alpha", u"b", second), S_OK);
  EXPECT_NE(first.Get(), second.Get());
  EXPECT_EQ(first.Text(), second.Text());
  EXPECT_EQ(lock.entered, 2);
}

}  // namespace
}  // namespace stavora
