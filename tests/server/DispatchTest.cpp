// Late-bound and early-bound calls on lookup objects of Stavora.dll: names to
// DISPIDs, Invoke through the type information, GetTypeInfo's rules.
#include <windows.h>

#include <gtest/gtest.h>

#include "tests/server/StavoraDllFixture.h"

namespace stavora_test {
namespace {

class DispatchTest : public ::testing::Test {
 protected:
  void SetUp() override {
    m_object = CreateLookup<IStavoraLookup>(IID_IStavoraLookup);
    ASSERT_NE(nullptr, m_object);
  }
  void TearDown() override {
    if (m_object != nullptr) {
      EXPECT_EQ(0u, m_object->Release());
    }
  }

  HRESULT IdOfName(IDispatch* dispatch, const wchar_t* name, DISPID* id) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    *id = 12345;
    return dispatch->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, id);
  }

  // Invokes `member` as a method with `args` given in call order; the
  // result goes to *result.
  HRESULT CallMethod(IDispatch* dispatch, DISPID member, std::initializer_list<const wchar_t*> args,
                     VARIANT* result, UINT* argumentError = nullptr) {
    VARIANT params[4];
    UINT count = 0;
    // DISPPARAMS holds the arguments last first.
    for (auto it = args.end(); it != args.begin();) {
      --it;
      VariantInit(&params[count]);
      params[count].vt = VT_BSTR;
      params[count].bstrVal = SysAllocString(*it);
      ++count;
    }
    DISPPARAMS dispParams = {params, nullptr, count, 0};
    EXCEPINFO exception = {};
    UINT errorIndex = 0;
    HRESULT hr = dispatch->Invoke(member, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                  &dispParams, result, &exception, &errorIndex);
    for (UINT i = 0; i < count; ++i) VariantClear(&params[i]);
    if (argumentError != nullptr) *argumentError = errorIndex;
    return hr;
  }

  IStavoraLookup* m_object = nullptr;
};

TEST_F(DispatchTest, NamesMapToTheirDispatchIds) {
  DISPID id;
  EXPECT_EQ(S_OK, IdOfName(m_object, L"GetKey", &id));
  EXPECT_EQ(3, id);
  EXPECT_EQ(S_OK, IdOfName(m_object, L"getkey", &id)) << "names are matched without regard to case";
  EXPECT_EQ(3, id);
  EXPECT_EQ(S_OK, IdOfName(m_object, L"GETKEY", &id));
  EXPECT_EQ(3, id);
  EXPECT_EQ(S_OK, IdOfName(m_object, L"GetSections", &id));
  EXPECT_EQ(1, id);
  EXPECT_EQ(S_OK, IdOfName(m_object, L"GetSection", &id));
  EXPECT_EQ(2, id);
}

TEST_F(DispatchTest, UnknownNamesAreRefusedByTheTypeInformation) {
  DISPID id;
  EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOfName(m_object, L"GetKeys", &id));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOfName(m_object, L"GetKe", &id));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOfName(m_object, L"", &id));
  EXPECT_EQ(DISP_E_UNKNOWNNAME, IdOfName(m_object, L"QueryInterface2", &id));
}

TEST_F(DispatchTest, ParameterNamesGoToTheTypeInformation) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetKey"), const_cast<LPOLESTR>(L"key"),
                      const_cast<LPOLESTR>(L"section")};
  DISPID ids[3] = {-5, -5, -5};
  ASSERT_EQ(S_OK, m_object->GetIDsOfNames(IID_NULL, names, 3, LOCALE_USER_DEFAULT, ids));
  EXPECT_EQ(3, ids[0]);
  EXPECT_EQ(1, ids[1]) << "key is the second parameter";
  EXPECT_EQ(0, ids[2]) << "section is the first parameter";
}

TEST_F(DispatchTest, InvokeCallsTheLookups) {
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, CallMethod(m_object, 3, {L"database", L"SERVER"}, &result));
  ASSERT_EQ(VT_BSTR, result.vt);
  EXPECT_STREQ(L"db01.example", result.bstrVal);
  VariantClear(&result);

  // A missing key is S_FALSE to the method, which a late-bound caller sees
  // as success with an empty string.
  ASSERT_TRUE(SUCCEEDED(CallMethod(m_object, 3, {L"Database", L"NoSuchKey"}, &result)));
  ASSERT_EQ(VT_BSTR, result.vt);
  EXPECT_EQ(0u, SysStringLen(result.bstrVal));
  VariantClear(&result);

  ASSERT_EQ(S_OK, CallMethod(m_object, 1, {}, &result));
  ASSERT_EQ(VT_ARRAY | VT_VARIANT, result.vt);
  LONG upper = -1;
  SafeArrayGetUBound(result.parray, 1, &upper);
  EXPECT_EQ(1, upper) << "two sections expected";
  VariantClear(&result);

  ASSERT_EQ(S_OK, CallMethod(m_object, 2, {L"Paths"}, &result));
  ASSERT_EQ(VT_ARRAY | VT_VARIANT, result.vt);
  LONG index = 0;
  VARIANT key;
  VariantInit(&key);
  ASSERT_EQ(S_OK, SafeArrayGetElement(result.parray, &index, &key));
  EXPECT_STREQ(L"LOGS", key.bstrVal);
  VariantClear(&key);
  VariantClear(&result);
}

TEST_F(DispatchTest, BadCallsGetTheTypeInformationsErrors) {
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, CallMethod(m_object, 3, {L"Database"}, &result));
  EXPECT_EQ(VT_EMPTY, result.vt);
  EXPECT_EQ(DISP_E_BADPARAMCOUNT, CallMethod(m_object, 2, {L"a", L"b"}, &result));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, CallMethod(m_object, 4, {}, &result));
  EXPECT_EQ(DISP_E_MEMBERNOTFOUND, CallMethod(m_object, 0, {}, &result));
  EXPECT_EQ(VT_EMPTY, result.vt);

  // An argument that cannot become a string.
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, 1);
  VARIANT params[2];
  params[0].vt = VT_BSTR;
  params[0].bstrVal = SysAllocString(L"Port");
  params[1].vt = VT_ARRAY | VT_VARIANT;
  params[1].parray = array;
  DISPPARAMS dispParams = {params, nullptr, 2, 0};
  UINT errorIndex = 0;
  EXPECT_EQ(DISP_E_TYPEMISMATCH, m_object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &dispParams,
                                                  &result, nullptr, &errorIndex));
  EXPECT_EQ(VT_EMPTY, result.vt);
  VariantClear(&params[0]);
  VariantClear(&params[1]);
}

// Arrays a late-bound caller left out must be refused, not followed: the type
// information would read or write through them and fault in the host.
TEST_F(DispatchTest, MissingArraysAreRefusedBeforeTheTypeInformation) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetKey"), nullptr};
  DISPID ids[2] = {12345, 12345};
  EXPECT_EQ(E_POINTER, m_object->GetIDsOfNames(IID_NULL, names, 1, 0, nullptr));
  EXPECT_EQ(E_POINTER, m_object->GetIDsOfNames(IID_NULL, nullptr, 1, 0, nullptr))
      << "the out array is tested first";
  EXPECT_EQ(E_INVALIDARG, m_object->GetIDsOfNames(IID_NULL, nullptr, 1, 0, ids));
  EXPECT_EQ(E_INVALIDARG, m_object->GetIDsOfNames(IID_NULL, names, 0, 0, ids));
  EXPECT_EQ(E_INVALIDARG, m_object->GetIDsOfNames(IID_NULL, names, 2, 0, ids)) << "a null name";
  EXPECT_EQ(12345, ids[0]);

  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(E_INVALIDARG,
            m_object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, nullptr, &result, nullptr, nullptr));
  DISPPARAMS noArguments = {nullptr, nullptr, 2, 0};
  EXPECT_EQ(E_INVALIDARG, m_object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &noArguments, &result,
                                           nullptr, nullptr));
  VARIANT args[2];  // last argument first: GetKey("Database", "Port")
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocString(L"Port");
  args[1].vt = VT_BSTR;
  args[1].bstrVal = SysAllocString(L"Database");
  DISPPARAMS noNames = {args, nullptr, 2, 1};
  EXPECT_EQ(E_INVALIDARG, m_object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &noNames, &result,
                                           nullptr, nullptr));
  DISPID named[3] = {0, 1, 2};
  DISPPARAMS moreNamesThanArguments = {args, named, 2, 3};
  EXPECT_EQ(E_INVALIDARG, m_object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD,
                                           &moreNamesThanArguments, &result, nullptr, nullptr));
  EXPECT_EQ(VT_EMPTY, result.vt);

  // The same object still answers a well-formed call.
  DISPPARAMS wellFormed = {args, nullptr, 2, 0};
  EXPECT_EQ(S_OK, m_object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &wellFormed, &result, nullptr,
                                   nullptr));
  ASSERT_EQ(VT_BSTR, result.vt);
  EXPECT_STREQ(L"5432", result.bstrVal);
  VariantClear(&result);
  for (VARIANT& arg : args) VariantClear(&arg);
}

// IDispatch reserves the interface parameter: a call naming any interface but
// IID_NULL is refused before it reaches the type information or a lookup.
TEST_F(DispatchTest, CallsForAnotherInterfaceAreRefused) {
  LPOLESTR names[] = {const_cast<LPOLESTR>(L"GetKey")};
  DISPID id = 12345;
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
            m_object->GetIDsOfNames(IID_IStavoraLookup, names, 1, LOCALE_USER_DEFAULT, &id));
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
            m_object->GetIDsOfNames(IID_IDispatch, names, 1, LOCALE_USER_DEFAULT, &id));
  EXPECT_EQ(12345, id);

  VARIANT args[2];  // last argument first: GetKey("Database", "Port")
  args[0].vt = VT_BSTR;
  args[0].bstrVal = SysAllocString(L"Port");
  args[1].vt = VT_BSTR;
  args[1].bstrVal = SysAllocString(L"Database");
  DISPPARAMS call = {args, nullptr, 2, 0};
  VARIANT result;
  VariantInit(&result);
  EXPECT_EQ(DISP_E_UNKNOWNINTERFACE, m_object->Invoke(3, IID_IStavoraLookup, 0, DISPATCH_METHOD,
                                                      &call, &result, nullptr, nullptr));
  EXPECT_EQ(VT_EMPTY, result.vt) << "the lookup ran";

  // The same calls with IID_NULL are answered.
  EXPECT_EQ(S_OK, m_object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id));
  EXPECT_EQ(3, id);
  EXPECT_EQ(S_OK, m_object->Invoke(3, IID_NULL, 0, DISPATCH_METHOD, &call, &result, nullptr,
                                   nullptr));
  ASSERT_EQ(VT_BSTR, result.vt);
  EXPECT_STREQ(L"5432", result.bstrVal);
  VariantClear(&result);
  for (VARIANT& arg : args) VariantClear(&arg);
}

TEST_F(DispatchTest, TypeInfoRules) {
  UINT count = 7;
  EXPECT_EQ(S_OK, m_object->GetTypeInfoCount(&count));
  EXPECT_EQ(1u, count);
  EXPECT_EQ(E_POINTER, m_object->GetTypeInfoCount(nullptr));

  EXPECT_EQ(E_POINTER, m_object->GetTypeInfo(1, 0, nullptr)) << "the out pointer is tested first";
  EXPECT_EQ(E_POINTER, m_object->GetTypeInfo(0, 0, nullptr));
  // A bad index still clears the caller's pointer.
  ITypeInfo* typeInfo = reinterpret_cast<ITypeInfo*>(1);
  EXPECT_EQ(DISP_E_BADINDEX, m_object->GetTypeInfo(1, 0, &typeInfo));
  EXPECT_EQ(nullptr, typeInfo);

  typeInfo = nullptr;
  ASSERT_EQ(S_OK, m_object->GetTypeInfo(0, LOCALE_USER_DEFAULT, &typeInfo));
  ASSERT_NE(nullptr, typeInfo);
  TYPEATTR* attributes = nullptr;
  ASSERT_EQ(S_OK, typeInfo->GetTypeAttr(&attributes));
  EXPECT_TRUE(IsEqualGUID(IID_IStavoraLookup, attributes->guid));
  typeInfo->ReleaseTypeAttr(attributes);

  // Every object shares the one record.
  IDispatch* other = CreateLookup<IDispatch>(IID_IDispatch);
  ASSERT_NE(nullptr, other);
  ITypeInfo* otherTypeInfo = nullptr;
  ASSERT_EQ(S_OK, other->GetTypeInfo(0, 0x0407, &otherTypeInfo));
  EXPECT_EQ(typeInfo, otherTypeInfo);
  otherTypeInfo->Release();
  other->Release();
  typeInfo->Release();
}

TEST_F(DispatchTest, EarlyBoundCalls) {
  BSTR value = nullptr;
  BSTR section = SysAllocString(L"DATABASE");
  BSTR key = SysAllocString(L"port");
  EXPECT_EQ(S_OK, m_object->GetKey(section, key, &value));
  EXPECT_STREQ(L"5432", value);
  SysFreeString(value);
  SysFreeString(key);
  key = SysAllocString(L"Nothing");
  value = nullptr;
  EXPECT_EQ(S_FALSE, m_object->GetKey(section, key, &value));
  EXPECT_EQ(0u, SysStringLen(value));
  SysFreeString(value);
  SysFreeString(key);

  VARIANT keys;
  VariantInit(&keys);
  EXPECT_EQ(S_OK, m_object->GetSection(section, &keys));
  EXPECT_EQ(VT_ARRAY | VT_VARIANT, keys.vt);
  VariantClear(&keys);
  SysFreeString(section);

  VARIANT sections;
  VariantInit(&sections);
  EXPECT_EQ(S_OK, m_object->GetSections(&sections));
  EXPECT_EQ(VT_ARRAY | VT_VARIANT, sections.vt);
  VariantClear(&sections);
}

TEST_F(DispatchTest, AggregatedInnerPartDispatchesToo) {
  IClassFactory* factory = GetClassFactory();
  ASSERT_NE(nullptr, factory);
  // The outer object here is a plain standalone lookup object: it only has to
  // be a valid controlling unknown.
  IUnknown* holder = nullptr;
  ASSERT_EQ(S_OK, factory->CreateInstance(m_object, IID_IUnknown, reinterpret_cast<void**>(&holder)));
  factory->Release();
  IDispatch* inner = nullptr;
  ASSERT_EQ(S_OK, holder->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(&inner)));
  DISPID id;
  EXPECT_EQ(S_OK, IdOfName(inner, L"GetKey", &id));
  EXPECT_EQ(3, id);
  VARIANT result;
  VariantInit(&result);
  ASSERT_EQ(S_OK, CallMethod(inner, 3, {L"Paths", L"Logs"}, &result));
  EXPECT_STREQ(L"C:\\Logs", result.bstrVal);
  VariantClear(&result);
  inner->Release();  // a reference on the outer object
  EXPECT_EQ(0u, holder->Release());
}

}  // namespace
}  // namespace stavora_test
