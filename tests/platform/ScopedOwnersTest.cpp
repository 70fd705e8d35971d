// The platform's owners: that each kind is freed by its own call, exactly
// once, and what the BSTR and VARIANT owners add. The template's moves,
// Release, Reset and Receive are tested once, in ScopedResourceTest.
#include <gtest/gtest.h>

#include <utility>

#include "platform/ScopedBstr.h"
#include "platform/ScopedHandles.h"
#include "platform/ScopedInterface.h"
#include "platform/ScopedSafeArray.h"
#include "platform/ScopedVariant.h"
#include "tests/support/BstrOf.h"

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

TEST(ScopedBstr, TextAndLengthReadEveryUnit) {
  const WString text(u"ab\0c", 4);
  ScopedBstr s = BstrOf(text);
  ASSERT_TRUE(s);
  EXPECT_EQ(s.Length(), 4u);
  EXPECT_EQ(s.Text(), text);

  ScopedBstr empty = BstrOf(u"");
  ASSERT_TRUE(empty) << "an empty text is a real, non-null BSTR";
  EXPECT_EQ(empty.Length(), 0u);
  EXPECT_EQ(empty.Get()[0], L'\0');

  ScopedBstr none;
  EXPECT_FALSE(none);
  EXPECT_EQ(none.Length(), 0u);
  EXPECT_EQ(none.Text(), u"");
  ASSERT_EQ(VarBstrFromI4(-42, LOCALE_INVARIANT, 0, none.Receive()), S_OK);
  EXPECT_EQ(none.Text(), u"-42");
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

TEST(ScopedVariant, ReceiveOwnsTheResult) {
  CountedUnknown object;
  ScopedVariant v(HoldingReference(object));
  VARIANT source;
  VariantInit(&source);
  source.vt = VT_I4;
  source.lVal = 7;
  // Receive is for an empty VARIANT only; a release build clears a full one.
  EXPECT_DEBUG_DEATH(VariantCopy(v.Receive(), &source), "holds a value");
#ifdef NDEBUG
  EXPECT_EQ(object.references, 1) << "Receive must clear the old content first";
#endif
  v.Reset();
  ASSERT_EQ(VariantCopy(v.Receive(), &source), S_OK);
  EXPECT_EQ(v.Type(), VT_I4);
  EXPECT_EQ(v.Get().lVal, 7);
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

TEST(ScopedInterface, ReleasesItsReferenceOnce) {
  CountedUnknown object;
  {
    ScopedInterface<IUnknown> held;
    ASSERT_EQ(object.QueryInterface(IID_IUnknown, reinterpret_cast<void**>(held.Receive())), S_OK);
    EXPECT_EQ(object.references, 2);
  }
  EXPECT_EQ(object.references, 1) << "the owner must release its one reference";
}

TEST(ScopedHandles, EachKindIsClosedByItsOwnCall) {
  EXPECT_FALSE(ScopedHandle());
  EXPECT_FALSE(ScopedHandle(INVALID_HANDLE_VALUE)) << "a failed CreateFileW must read as holding nothing";
  ScopedHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
  ASSERT_TRUE(event);
  const HANDLE rawEvent = event.Get();
  DWORD flags = 0;
  ASSERT_TRUE(GetHandleInformation(rawEvent, &flags));
  event.Reset();
  EXPECT_FALSE(GetHandleInformation(rawEvent, &flags)) << "the event handle is still open";

  ScopedRegKey key;
  ASSERT_EQ(RegOpenKeyExW(HKEY_CURRENT_USER, L"Software", 0, KEY_READ, key.Receive()), ERROR_SUCCESS);
  const HKEY rawKey = key.Get();
  DWORD subkeys = 0;
  ASSERT_EQ(RegQueryInfoKeyW(rawKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_SUCCESS);
  key.Reset();
  EXPECT_EQ(RegQueryInfoKeyW(rawKey, nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr),
            ERROR_INVALID_HANDLE)
      << "the key is still open";

  // A module loaded as a data file, as the registrar loads one: freed, its
  // image is unmapped. A copy, since a loaded image would be handed out again.
  wchar_t self[MAX_PATH], copy[MAX_PATH];
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  ASSERT_GT(GetTempPathW(MAX_PATH - 32, copy), 0u);
  lstrcatW(copy, L"ScopedModuleTest.dat");
  ASSERT_TRUE(CopyFileW(self, copy, FALSE));
  ScopedModule module(LoadLibraryExW(copy, nullptr, LOAD_LIBRARY_AS_DATAFILE));
  ASSERT_TRUE(module);
  const auto* image = reinterpret_cast<const char*>(reinterpret_cast<ULONG_PTR>(module.Get()) & ~ULONG_PTR{3});
  MEMORY_BASIC_INFORMATION region{};
  ASSERT_EQ(VirtualQuery(image, &region, sizeof region), sizeof region);
  ASSERT_NE(region.State, static_cast<DWORD>(MEM_FREE));
  SetLastError(ERROR_FILE_NOT_FOUND);
  module.Reset();
  ASSERT_EQ(VirtualQuery(image, &region, sizeof region), sizeof region);
  EXPECT_EQ(region.State, static_cast<DWORD>(MEM_FREE)) << "the module is still mapped";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND)) << "freeing must keep the caller's last error";
  EXPECT_TRUE(DeleteFileW(copy));
}

}  // namespace
}  // namespace stavora
