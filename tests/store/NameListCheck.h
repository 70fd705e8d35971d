// Reading a lookup's name list back, checking its shape on the way: a
// VT_ARRAY | VT_VARIANT one-dimensional array, lower bound 0, VT_BSTR elements.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <gtest/gtest.h>

#include <vector>

#include "platform/ScopedVariant.h"
#include "platform/WString.h"

namespace stavora {

using Names = std::vector<WString>;

// The names held by `list`, in index order; any wrong shape fails the test.
inline Names NamesIn(const VARIANT& list) {
  Names names;
  EXPECT_EQ(list.vt, VT_ARRAY | VT_VARIANT) << "vt";
  if (list.vt != (VT_ARRAY | VT_VARIANT) || list.parray == nullptr) {
    ADD_FAILURE() << "no array";
    return names;
  }
  SAFEARRAY* array = list.parray;
  EXPECT_EQ(SafeArrayGetDim(array), 1u);
  VARTYPE elementType = VT_ILLEGAL;
  EXPECT_EQ(SafeArrayGetVartype(array, &elementType), S_OK);
  EXPECT_EQ(elementType, VT_VARIANT);
  LONG lower = -1, upper = -2;
  EXPECT_EQ(SafeArrayGetLBound(array, 1, &lower), S_OK);
  EXPECT_EQ(SafeArrayGetUBound(array, 1, &upper), S_OK);
  EXPECT_EQ(lower, 0) << "lower bound";
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

}  // namespace stavora
