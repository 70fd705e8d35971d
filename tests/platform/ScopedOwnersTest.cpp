// The BSTR, VARIANT and SAFEARRAY owners: who holds what after each move,
// and that everything held is freed exactly once.
#include <gtest/gtest.h>

#include <utility>

#include "platform/ScopedBstr.h"
#include "platform/ScopedSafeArray.h"
#include "platform/ScopedVariant.h"

namespace stavora {
namespace {

// An IUnknown that counts its references, so that a VARIANT or array holding
// it shows whether it was cleared (one Release) or not, or twice.
class CountedUnknown final : public IUnknown {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    if (!IsEqualIID(iid, IID_IUnknown)) return E_NOINTERFACE;
    *out = this;
    AddRef();
    return S_OK;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return ++references; }
  ULONG STDMETHODCALLTYPE Release() override { return --references; }

  long references = 1;
};

// A VARIANT of type VT_UNKNOWN that owns one new reference to `object`.
VARIANT HoldingReference(CountedUnknown& object) {
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_UNKNOWN;
  v.punkVal = &object;
  object.AddRef();
  return v;
}

// A one-dimensional VT_VARIANT array whose elements each own a reference.
SAFEARRAY* ArrayHolding(CountedUnknown& object, ULONG count) {
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, count);
  for (LONG i = 0; i < static_cast<LONG>(count); ++i) {
    VARIANT element = HoldingReference(object);
    EXPECT_EQ(SafeArrayPutElement(array, &i, &element), S_OK);
    VariantClear(&element);
  }
  return array;
}

TEST(ScopedBstr, FromTextKeepsEveryUnitAndOwnsTheCopy) {
  const WString text(u"ab\0c", 4);
  ScopedBstr s = ScopedBstr::FromText(text);
  ASSERT_TRUE(s);
  EXPECT_EQ(s.Length(), 4u);
  EXPECT_EQ(s.Text(), text);

  ScopedBstr empty = ScopedBstr::FromText(u"");
  ASSERT_TRUE(empty) << "an empty text is a real, non-null BSTR";
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_EQ(empty.Get()[0], L'\0');

  ScopedBstr none;
  EXPECT_FALSE(none);
  EXPECT_EQ(none.Length(), 0u);
  EXPECT_EQ(none.Text(), u"");
}

TEST(ScopedBstr, OwnershipMovesAndLeavesByReleaseOnly) {
  ScopedBstr first = ScopedBstr::FromText(u"value");
  const BSTR raw = first.Get();

  ScopedBstr second(std::move(first));
  EXPECT_EQ(first.Get(), nullptr) << "moved-from owner still holds the string";
  EXPECT_EQ(second.Get(), raw);

  ScopedBstr third;
  third = std::move(second);
  EXPECT_EQ(second.Get(), nullptr);
  EXPECT_EQ(third.Get(), raw);

  ScopedBstr& same = third;
  third = std::move(same);  // self-move keeps the string
  EXPECT_EQ(third.Get(), raw);

  BSTR released = third.Release();
  EXPECT_EQ(released, raw);
  EXPECT_EQ(third.Get(), nullptr);
  SysFreeString(released);  // the caller's now
}

TEST(ScopedBstr, ReceiveFillsFromAnOutParameter) {
  ScopedBstr s = ScopedBstr::FromText(u"old");
  ASSERT_EQ(VarBstrFromI4(-42, LOCALE_INVARIANT, 0, s.Receive()), S_OK);
  EXPECT_EQ(s.Text(), u"-42");

  s.Reset(SysAllocString(L"replaced"));
  EXPECT_EQ(s.Text(), u"replaced");
  s.Reset(s.Get());  // resetting to what is held must not free it
  EXPECT_EQ(s.Text(), u"replaced");
}

TEST(ScopedVariant, ClearsWhatItHoldsExactlyOnce) {
  CountedUnknown object;
  {
    ScopedVariant v(HoldingReference(object));
    EXPECT_EQ(v.Type(), VT_UNKNOWN);
    EXPECT_EQ(object.references, 2);
  }
  EXPECT_EQ(object.references, 1) << "destruction did not release the held reference once";

  ScopedVariant v(HoldingReference(object));
  v.Reset();
  EXPECT_EQ(object.references, 1);
  EXPECT_EQ(v.Type(), VT_EMPTY);
  v.Reset();  // clearing an empty VARIANT is harmless
  EXPECT_EQ(object.references, 1);

  v.Reset(HoldingReference(object));
  v.SetBstr(SysAllocString(L"text"));  // replaces, releasing the reference
  EXPECT_EQ(object.references, 1);
  EXPECT_EQ(v.Type(), VT_BSTR);
  EXPECT_EQ(WString(reinterpret_cast<const char16_t*>(v.Get().bstrVal)), u"text");
}

TEST(ScopedVariant, MovesAndReleaseHandOverEverythingHeld) {
  CountedUnknown object;
  ScopedVariant first(HoldingReference(object));
  ScopedVariant second(std::move(first));
  EXPECT_EQ(first.Type(), VT_EMPTY);
  EXPECT_EQ(second.Type(), VT_UNKNOWN);
  EXPECT_EQ(object.references, 2);

  ScopedVariant third;
  third = std::move(second);
  EXPECT_EQ(second.Type(), VT_EMPTY);
  EXPECT_EQ(object.references, 2);

  VARIANT out = third.Release();
  EXPECT_EQ(third.Type(), VT_EMPTY);
  EXPECT_EQ(out.vt, VT_UNKNOWN);
  EXPECT_EQ(object.references, 2) << "Release must not clear what it hands over";
  EXPECT_EQ(VariantClear(&out), S_OK);
  EXPECT_EQ(object.references, 1);
}

TEST(ScopedVariant, ReceiveAndSetArrayOwnTheResult) {
  CountedUnknown object;
  ScopedVariant v(HoldingReference(object));
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_I4;
  source.lVal = 7;
  ASSERT_EQ(VariantCopy(v.Receive(), &source), S_OK);
  EXPECT_EQ(object.references, 1) << "Receive must clear the old content first";
  EXPECT_EQ(v.Type(), VT_I4);
  EXPECT_EQ(v.Get().lVal, 7);

  v.SetArray(ArrayHolding(object, 3), VT_VARIANT);
  EXPECT_EQ(v.Type(), VT_ARRAY | VT_VARIANT);
  EXPECT_EQ(object.references, 4);
  v.Reset();
  EXPECT_EQ(object.references, 1) << "clearing the VARIANT must destroy its array and elements";
}

TEST(ScopedSafeArray, DestroysTheArrayAndItsElements) {
  CountedUnknown object;
  {
    ScopedSafeArray array(ArrayHolding(object, 2));
    ASSERT_TRUE(array);
    EXPECT_EQ(object.references, 3);
  }
  EXPECT_EQ(object.references, 1);

  ScopedSafeArray array(ArrayHolding(object, 2));
  array.Reset(ArrayHolding(object, 1));
  EXPECT_EQ(object.references, 2) << "Reset must destroy the old array";
  array.Reset();
  EXPECT_EQ(object.references, 1);
  EXPECT_FALSE(array);
}

TEST(ScopedSafeArray, MovesReleaseAndReceive) {
  CountedUnknown object;
  ScopedSafeArray first(ArrayHolding(object, 1));
  SAFEARRAY* raw = first.Get();
  ScopedSafeArray second(std::move(first));
  EXPECT_EQ(first.Get(), nullptr);
  EXPECT_EQ(second.Get(), raw);
  first = std::move(second);
  EXPECT_EQ(first.Get(), raw);
  EXPECT_EQ(object.references, 2);

  ScopedSafeArray copy;
  ASSERT_EQ(SafeArrayCopy(first.Get(), copy.Receive()), S_OK);
  EXPECT_EQ(object.references, 3);

  SAFEARRAY* released = first.Release();
  EXPECT_EQ(released, raw);
  EXPECT_FALSE(first);
  EXPECT_EQ(object.references, 3) << "Release must not destroy what it hands over";
  EXPECT_EQ(SafeArrayDestroy(released), S_OK);
  EXPECT_EQ(object.references, 2);
  copy.Reset();
  EXPECT_EQ(object.references, 1);
}

}  // namespace
}  // namespace stavora
